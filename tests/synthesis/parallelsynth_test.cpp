// The frame step shared out between threads: the same bits as one thread
// for every thread count and every way of cutting an utterance into
// pushes; the noise source's jump-ahead that it relies on; and no
// allocation once constructed.
#include "synthesis/parallelsynth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "synthesis/framesynth.h"
#include "synthesis/noisesource.h"
#include "synthesis/synthesis.h"
#include "synthesis/utterances.h"

namespace vallisynth {
namespace {

using test::allocationcount;
using test::declaredrange;
using test::identical;
using test::oneshot;
using test::randomutterance;
using test::shippedutterances;
using test::streamed;
using test::Utterance;

constexpr unsigned kThreadCounts[] = {2, 3, 7};

// Random push sizes, small and large, summing to at least frames.
std::vector<std::size_t> randomcut(std::mt19937& gen, std::size_t frames) {
  std::vector<std::size_t> cut;
  for (std::size_t k = 0; k < frames;) {
    const bool large = std::uniform_int_distribution<int>(0, 2)(gen) == 0;
    cut.push_back(std::uniform_int_distribution<std::size_t>(0, large ? 600 : 40)(gen));
    k += cut.back();
  }
  return cut;
}

// The examples one after the other: long enough for blocks of several
// hundred frames, whose noise positions are reached by jumps.
Utterance longutterance(const std::vector<Utterance>& shipped) {
  Utterance u = shipped.front();
  u.name = "examples end to end";
  for (std::size_t i = 1; i < 3; ++i) {
    u.f0.insert(u.f0.end(), shipped[i].f0.begin(), shipped[i].f0.end());
    u.cc.insert(u.cc.end(), shipped[i].cc.begin(), shipped[i].cc.end());
  }
  return u;
}

TEST(ParallelFrameSynthesizer, EveryThreadCountGivesTheSameBits) {
  std::mt19937 gen(14);
  std::vector<Utterance> all = shippedutterances();
  ASSERT_GE(all.size(), 13u);
  all.push_back(longutterance(all));
  for (const std::uint32_t L : {1u, 2u, 7u, 80u, 240u}) {
    for (int i = 0; i < 2; ++i) {
      all.push_back(randomutterance(gen, L, i == 0));
    }
  }
  for (const Utterance& u : all) {
    SCOPED_TRACE(u.name);
    NoisePhaseSource rng;
    const std::vector<double> want = oneshot(u, rng, 1);
    const NoisePhaseSource after = rng;
    for (const unsigned threads : kThreadCounts) {
      SCOPED_TRACE(threads);
      NoisePhaseSource rng2;
      EXPECT_TRUE(identical(oneshot(u, rng2, threads), want));
      EXPECT_EQ(rng2.next(), NoisePhaseSource(after).next());  // left where one thread leaves it

      NoisePhaseSource rng3;
      ParallelFrameSynthesizer s(u.fs, u.L, u.order, u.alpha, u.gamma, declaredrange(u), rng3,
                                 threads);
      ASSERT_EQ(s.threads(), threads);
      const std::vector<std::size_t> cut = randomcut(gen, u.f0.size());
      EXPECT_TRUE(identical(streamed(s, u, cut), want)) << cut.size() << " pushes";
    }
  }
}

TEST(ParallelFrameSynthesizer, UtterancesInARowAndAbandonedPushes) {
  // Two utterances on one object and one source, then one abandoned half
  // way: reset and a fresh source give it afresh, as with one thread.
  std::mt19937 gen(7);
  const Utterance a = longutterance(shippedutterances());
  Utterance b = randomutterance(gen, 80, false);
  b.order = a.order;
  b.cc.resize(b.f0.size() * (a.order + 1), -4.0);
  NoisePhaseSource rng;
  const std::vector<double> wanta = oneshot(a, rng), wantb = oneshot(b, rng);
  for (const unsigned threads : kThreadCounts) {
    NoisePhaseSource rng2;
    C0Range range;
    ASSERT_EQ(addc0range(range, a.f0, a.cc, a.order), 0);
    ParallelFrameSynthesizer s(16000.0, 80, a.order, a.alpha, a.gamma, range, rng2, threads);
    EXPECT_TRUE(identical(streamed(s, a, {500, 1, 300}), wanta));
    EXPECT_EQ(s.framecount(), 0u);
    ParallelFrameSynthesizer t(16000.0, 80, b.order, b.alpha, b.gamma, declaredrange(b), rng2,
                               threads);
    EXPECT_TRUE(identical(streamed(t, b, {}), wantb));

    std::vector<double> scratch(std::size_t{400} * 80);
    const std::size_t p = a.order + 1u;
    ASSERT_EQ(s.push(std::span(a.f0).first(400), {}, std::span(a.cc).first(400 * p), scratch), 0);
    EXPECT_EQ(s.framecount(), 400u);
    EXPECT_EQ(s.push(std::span(a.f0).first(400), {}, std::span(a.cc).first(400 * p - 1), scratch),
              -1);
    EXPECT_EQ(s.framecount(), 400u);
    s.reset();
    rng2 = NoisePhaseSource();
    EXPECT_TRUE(identical(streamed(s, a, {}), wanta));
  }
}

TEST(ParallelFrameSynthesizer, PushAndFlushNeverAllocate) {
  constexpr std::uint32_t kOrder = 24, L = 80;
  const std::size_t frames = 300;
  std::vector<double> f0(frames), fv(frames, 8000.0), cc(frames * (kOrder + 1), 0.01);
  for (std::size_t k = 0; k < frames; ++k) {
    f0[k] = k % 4 == 3 ? 0.0 : k % 2 == 0 ? 10.0 : 180.0;
  }
  std::vector<double> out(frames * L), tail(L + 1);
  NoisePhaseSource rng;
  ParallelFrameSynthesizer s(16000.0, L, kOrder, 0.42, 0.5, std::nullopt, rng, 3);
  const long before = allocationcount();
  EXPECT_EQ(s.push(f0, fv, cc, out), 0);
  EXPECT_EQ(s.push(std::span(f0).first(1), std::span(fv).first(1), std::span(cc).first(kOrder + 1),
                   std::span(out).first(L)),
            0);
  EXPECT_EQ(s.flush(tail), 0);
  EXPECT_EQ(allocationcount() - before, 0);
}

TEST(ParallelFrameSynthesizer, ZeroThreadsMeansEveryUsableCore) {
  NoisePhaseSource rng;
  const ParallelFrameSynthesizer s(16000.0, 80, 24, 0.42, 0.0, std::nullopt, rng, 0);
  EXPECT_GE(s.threads(), 1u);
  EXPECT_EQ(s.threads(), usablecores());
}

TEST(NoisePhaseSource, SkipLandsWhereDrawingLands) {
  // Both sides of the switch from stepping to jumping, and long jumps.
  for (const std::uint64_t n :
       {0ull, 1ull, 30ull, 31ull, 32ull, 257ull, 16383ull, 16384ull, 16385ull, 1000003ull}) {
    NoisePhaseSource drawn;
    NoisePhaseSource skipped;
    for (std::uint64_t i = 0; i < n; ++i) {
      drawn.next();
    }
    skipped.skip(n);
    for (int i = 0; i < 40; ++i) {
      ASSERT_EQ(skipped.next(), drawn.next()) << n;
    }
  }
  // Skips add up.
  NoisePhaseSource a;
  NoisePhaseSource b;
  a.skip(5000000);
  b.skip(1234567);
  b.skip(3765433);
  EXPECT_EQ(a.next(), b.next());
}

}  // namespace
}  // namespace vallisynth
