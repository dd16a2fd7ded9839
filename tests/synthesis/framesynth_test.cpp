// The frame synthesizer against the one-shot synthesis: every way of cutting
// an utterance into pushes gives the one-shot samples bit for bit, and
// pushing never allocates. This program counts the allocations of the whole
// process (its own operator new), which is why it is a test program of its
// own.
#include "synthesis/framesynth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "synthesis/synthesis.h"
#include "synthesis/utterances.h"
#include "vallisynth/vallisynth.hpp"

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

TEST(FrameSynthesizer, EveryCutGivesTheOneShotSamples) {
  std::mt19937 gen(12);
  std::vector<Utterance> all = shippedutterances();
  ASSERT_GE(all.size(), 8u);
  for (const std::uint32_t L : {1u, 2u, 7u, 33u, 80u, 111u, 240u}) {
    all.push_back(randomutterance(gen, L, false));
    all.push_back(randomutterance(gen, L, true));
  }
  for (const Utterance& u : all) {
    SCOPED_TRACE(u.name);
    NoisePhaseSource rng;
    const std::vector<double> want = oneshot(u, rng);
    const std::size_t frames = u.f0.size();
    std::vector<std::vector<std::size_t>> cuts = {{}, std::vector<std::size_t>(frames, 1)};
    for (int c = 0; c < 3; ++c) {
      std::vector<std::size_t> cut;
      for (std::size_t k = 0; k < frames;) {
        cut.push_back(std::uniform_int_distribution<std::size_t>(0, 50)(gen));
        k += cut.back();
      }
      cuts.push_back(cut);
    }
    for (const auto& cut : cuts) {
      NoisePhaseSource rng2;
      FrameSynthesizer s(u.fs, u.L, u.order, u.alpha, u.gamma, declaredrange(u), rng2);
      EXPECT_TRUE(identical(streamed(s, u, cut), want)) << cut.size() << " pushes";
    }
  }
}

TEST(FrameSynthesizer, C0RangeAddsUpInPieces) {
  std::mt19937 gen(3);
  const Utterance u = randomutterance(gen, 80, false);
  C0Range whole;
  ASSERT_EQ(addc0range(whole, u.f0, u.cc, u.order), 0);
  const std::size_t p = std::size_t{u.order} + 1;
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{300}}) {
    C0Range r;
    for (std::size_t k = 0; k < u.f0.size(); k += piece) {
      const std::size_t n = std::min(piece, u.f0.size() - k);
      ASSERT_EQ(addc0range(r, std::span(u.f0).subspan(k, n), std::span(u.cc).subspan(k * p, n * p),
                           u.order),
                0);
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r.min), std::bit_cast<std::uint64_t>(whole.min))
        << piece;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r.max), std::bit_cast<std::uint64_t>(whole.max))
        << piece;
  }
  C0Range r;
  EXPECT_EQ(addc0range(r, u.f0, std::span(u.cc).first(u.cc.size() - 1), u.order), -1);
}

TEST(FrameSynthesizer, ResetFlushAndBatches) {
  std::mt19937 gen(5);
  Utterance a = randomutterance(gen, 80, true);
  while (a.f0.size() < 30) {
    a = randomutterance(gen, 80, true);
  }
  // Voiced where the state would carry over: the last frame, and the
  // frames on either side of an abandoned push.
  a.f0[0] = a.f0[19] = a.f0.back() = 150.0;
  a.fv[0] = a.fv[19] = a.fv.back() = 4000.0;
  Utterance b = a;
  std::reverse(b.f0.begin(), b.f0.end());
  std::reverse(b.fv.begin(), b.fv.end());
  NoisePhaseSource rng;
  const std::vector<double> wanta = oneshot(a, rng), wantb = oneshot(b, rng);

  // One object, one source passed on: two utterances as two one-shot calls.
  NoisePhaseSource rng2;
  FrameSynthesizer s(16000.0, 80, a.order, a.alpha, a.gamma, std::nullopt, rng2);
  EXPECT_TRUE(identical(streamed(s, a, {3, 1}), wanta));
  EXPECT_EQ(s.framecount(), 0u);  // flushed
  EXPECT_TRUE(identical(streamed(s, b, {}), wantb));

  // A half-rendered utterance abandoned: reset and a restarted source give
  // the utterance afresh.
  std::vector<double> scratch(std::size_t{20} * 80);
  ASSERT_EQ(s.push(std::span(a.f0).first(20), std::span(a.fv).first(20),
                   std::span(a.cc).first(std::size_t{20} * (a.order + 1)), scratch),
            0);
  EXPECT_EQ(s.framecount(), 20u);
  s.reset();
  rng2 = NoisePhaseSource();
  EXPECT_TRUE(identical(streamed(s, a, {7}), wanta));
}

TEST(FrameSynthesizer, RefusesInconsistentCalls) {
  NoisePhaseSource rng;
  EXPECT_THROW(FrameSynthesizer(16000.0, 0, 24, 0.42, 0.0, std::nullopt, rng),
               std::invalid_argument);
  EXPECT_THROW(FrameSynthesizer(NAN, 80, 24, 0.42, 0.0, std::nullopt, rng), std::invalid_argument);
  FrameSynthesizer s(16000.0, 80, 2, 0.42, 0.0, C0Range{-5.0, -1.0}, rng);
  std::vector<double> f0 = {100.0, 0.0}, cc(6, -3.0), fv = {4000.0, 0.0}, out(160, 7.0);
  EXPECT_EQ(s.push(f0, fv, cc, out), -1);  // an fv track against a declared c0 range
  EXPECT_EQ(s.push(f0, {}, std::span(cc).first(5), out), -1);
  EXPECT_EQ(s.push(f0, {}, cc, std::span(out).first(159)), -1);
  EXPECT_EQ(s.flush(std::span(out).first(79)), -1);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](double v) { return v == 7.0; }));
  EXPECT_EQ(s.framecount(), 0u);
  EXPECT_EQ(s.push(f0, {}, cc, out), 0);
}

TEST(FrameSynthesizer, PushAndFlushNeverAllocate) {
  // The costliest frames (10 Hz with fv at fs/2: every harmonic below
  // Nyquist) beside ordinary ones, at 16 and 48 kHz, with the postfilter.
  for (const auto& [fs, L] : {std::pair{16000.0, 80u}, std::pair{48000.0, 240u}}) {
    constexpr std::uint32_t kOrder = 39;
    const std::size_t frames = 40;
    std::vector<double> f0(frames), fv(frames, fs / 2.0), cc(frames * (kOrder + 1), 0.01);
    for (std::size_t k = 0; k < frames; ++k) {
      f0[k] = k % 4 == 3 ? 0.0 : k % 2 == 0 ? 10.0 : 180.0;
      cc[k * (kOrder + 1)] = -4.0;
    }
    std::vector<double> out(frames * L), tail(L + 1);
    NoisePhaseSource rng;
    const long start = allocationcount();
    FrameSynthesizer s(fs, L, kOrder, 0.55, 0.5, std::nullopt, rng);
    FrameSynthesizer c(fs, L, kOrder, 0.55, 0.5, C0Range{-6.0, -4.0}, rng);
    const long before = allocationcount();
    ASSERT_GT(before, start);  // the count sees the work areas being made
    s.push(f0, fv, cc, out);
    s.push(std::span(f0).first(1), std::span(fv).first(1), std::span(cc).first(kOrder + 1),
           std::span(out).first(L));
    s.flush(tail);
    c.push(f0, {}, cc, out);
    s.reset();
    EXPECT_EQ(allocationcount() - before, 0) << fs;
  }
}

// The public streaming decoder adds only the per-frame conditioning, in
// buffers of its own made with it: its pushes allocate nothing either.
TEST(FrameSynthesizer, PublicPushNeverAllocates) {
  const std::size_t frames = 700;  // more than one conditioning piece
  std::vector<double> lf0(frames), cc(frames * 25, 0.02), fv(frames, 5000.0);
  for (std::size_t k = 0; k < frames; ++k) {
    lf0[k] = k % 5 == 0 ? -1e10 : std::log(k % 3 == 0 ? 10.0 : 150.0);
    cc[k * 25] = 4.0;
  }
  Options o;
  o.sample_rate = 48000;
  o.pitch_factor = 1.5;
  o.pitch_range = 2.0;
  o.mean_lf0 = 5.0;
  o.fv_alpha = 0.4;
  o.gain = 0.5;
  o.cepstrum_form = CepstrumForm::sptk;
  std::vector<double> out(frames * 240 + 241);
  vallisynth::Synthesizer synth(24, true, o);
  const long before = allocationcount();
  const std::size_t n = synth.push(lf0, cc, fv, out);
  synth.flush(std::span(out).subspan(n));
  synth.reset(true);
  synth.push(std::span(lf0).first(3), std::span(cc).first(75), std::span(fv).first(3), out);
  EXPECT_EQ(allocationcount() - before, 0);
}

}  // namespace
}  // namespace vallisynth
