// The streaming decoder against the one-shot rendering: for every utterance,
// every thread count and every way of cutting it into pushes, the samples
// are render()'s bit for bit once the decoder is given the utterance-wide
// values; utterances in a row and abandoned ones; refused pushes; and
// pushing never allocates. This program counts the allocations of the
// whole process (its own operator new), which is why it is a test program
// of its own.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/allocations.h"
#include "synthesis/noisesource.h"
#include "synthesis/parallelsynth.h"
#include "synthesis/utterances.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {
namespace {

using test::allocation_count;
using test::declared;
using test::identical;
using test::randomcut;
using test::streamed;
using test::Utterance;

constexpr unsigned kThreadCounts[] = {1, 2, 3, 7};

TEST(Streaming, EveryCutAndThreadCountGivesTheOneShotSamples) {
  std::mt19937 gen(12);
  std::vector<Utterance> all = test::shippedutterances();
  for (const std::uint32_t shift : {1u, 2u, 7u, 33u, 80u, 111u, 240u}) {
    all.push_back(test::randomutterance(gen, shift, false));
    all.push_back(test::randomutterance(gen, shift, true));
  }
  for (const Utterance& u : all) {
    SCOPED_TRACE(u.name);
    const std::vector<double> want = render(u.lf0, u.cc, u.fv, u.options);
    const std::size_t frames = u.lf0.size();
    // Whole, frame by frame, small pieces and large ones, and pieces of one
    // size (whose blocks start where the last piece's did).
    const std::vector<std::vector<std::size_t>> cuts = {
        {frames}, {1}, randomcut(gen, frames, 8), randomcut(gen, frames, 600), {100}};
    Options o = declared(u);
    for (const unsigned threads : kThreadCounts) {
      SCOPED_TRACE(threads);
      Options one = u.options;
      one.threads = threads;
      EXPECT_TRUE(identical(render(u.lf0, u.cc, u.fv, one), want));
      o.threads = threads;
      for (const auto& cut : cuts) {
        Synthesizer s(u.order(), !u.fv.empty(), o);
        EXPECT_TRUE(identical(streamed(s, u, cut), want)) << cut.size() << " pushes";
      }
    }
  }
}

// Two utterances on one noise source are the batch of two renderings. Half
// an utterance abandoned: reset with a restarted source renders it afresh;
// without, the phases drawn for the dropped frames stay drawn. Pushes and
// flushes that do not fit are refused with nothing rendered. (Options that
// need the whole utterance are refused in the package's tests.)
TEST(Streaming, UtterancesInARowAndAbandonedPushes) {
  const std::vector<Utterance> shipped = test::shippedutterances();
  const Utterance& a = shipped.back();  // long: blocks reached by jumps
  const Utterance& b = shipped[1];      // with an fv track
  const std::size_t p = a.order() + 1u;
  for (const unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(threads);
    Options oa = declared(a), ob = declared(b);
    oa.threads = ob.threads = threads;
    NoiseSource batch;
    const std::vector<double> wanta = render(a.lf0, a.cc, a.fv, oa, batch);
    const std::vector<double> wantb = render(b.lf0, b.cc, b.fv, ob, batch);
    const std::vector<double> wantbb = render(b.lf0, b.cc, b.fv, ob, batch);
    NoiseSource noise;
    Synthesizer s(a.order(), false, oa, noise);
    EXPECT_TRUE(identical(streamed(s, a, {500, 1, 300}), wanta));
    Synthesizer t(b.order(), true, ob, noise);
    EXPECT_TRUE(identical(streamed(t, b, {7}), wantb));
    EXPECT_TRUE(identical(streamed(t, b, {b.lf0.size()}), wantbb));

    std::vector<double> scratch(400 * std::size_t{80});
    const auto lf0 = std::span(a.lf0).first(400), cc = std::span(a.cc).first(400 * p);
    ASSERT_EQ(s.push(lf0, cc, {}, scratch), scratch.size());
    EXPECT_THROW(static_cast<void>(s.push(lf0, cc.first(400 * p - 1), {}, scratch)), Error);
    EXPECT_THROW(static_cast<void>(s.push(lf0, cc, lf0, scratch)),
                 Error);  // fv without an fv track
    EXPECT_THROW(
        static_cast<void>(s.push(lf0, cc, {}, std::span(scratch).first(scratch.size() - 1))),
        Error);
    EXPECT_THROW(static_cast<void>(s.flush(std::span(scratch).first(80))), Error);
    EXPECT_EQ(s.frames(), 400u);
    s.reset(true);
    EXPECT_EQ(s.frames(), 0u);
    EXPECT_TRUE(identical(streamed(s, a, {100}), render(a.lf0, a.cc, a.fv, oa)));
    static_cast<void>(s.push(lf0, cc, {}, scratch));
    s.reset(false);
    NoiseSource ranon = noise;
    EXPECT_TRUE(identical(streamed(s, a, {a.lf0.size()}), render(a.lf0, a.cc, a.fv, oa, ranon)));
  }
}

// The costliest frames (10.5 Hz once the pitch is changed, with fv at fs/2
// from the track or from a c0 above the declared range: every harmonic
// below Nyquist) beside unvoiced and ordinary ones, over more than one
// conditioning piece, at 48 kHz with every per-frame option: neither push,
// flush nor reset allocates, on one thread or several.
TEST(Streaming, PushFlushAndResetNeverAllocate) {
  const std::size_t frames = 700;
  std::vector<double> lf0(frames), cc(frames * 40, 0.01), fv(frames);
  for (std::size_t k = 0; k < frames; ++k) {
    lf0[k] = k % 4 == 3 ? -1e10 : std::log(k % 2 == 0 ? 10.0 : 180.0);
    fv[k] = k % 8 == 0 ? 1e9 : 5000.0;
    cc[k * 40] = k % 8 == 0 ? 5.0 : 4.0 + 0.01 * static_cast<double>(k % 5);
  }
  std::vector<double> out(frames * 240 + 241);
  for (const unsigned threads : {1u, 3u}) {
    for (const bool withfv : {true, false}) {
      const Options o{.sample_rate = 48000,
                      .gamma = 0.5,
                      .fv_alpha = 0.4,
                      .pitch_factor = 1.5,
                      .pitch_range = 0.5,
                      .cepstrum_form = CepstrumForm::sptk,
                      .threads = threads,
                      .c0_limits = C0Limits{4.0, 4.04},
                      .mean_lf0 = 2.0,
                      .gain = 0.5};
      const long start = allocation_count();
      Synthesizer s(39, withfv, o);
      const long before = allocation_count();
      ASSERT_GT(before, start);  // the count sees the work areas being made
      const std::span<const double> v = std::span<const double>(fv).first(withfv ? frames : 0);
      const std::size_t n = s.push(lf0, cc, v, out);
      static_cast<void>(s.flush(std::span(out).subspan(n)));
      s.reset(true);
      static_cast<void>(
          s.push(std::span(lf0).first(3), std::span(cc).first(120), v.first(withfv ? 3 : 0), out));
      s.reset(false);
      EXPECT_EQ(allocation_count() - before, 0) << threads << " threads, fv " << withfv;
    }
  }
}

TEST(NoisePhaseSource, DrawingInBulkGivesTheNumbersOneByOne) {
  // Lengths around the eight-value steps and the 256-value passes, from
  // positions that are not a multiple of either.
  NoisePhaseSource bulk;
  NoisePhaseSource single;
  for (const std::size_t m : {1u, 7u, 8u, 9u, 23u, 127u, 255u, 256u, 257u, 1000u}) {
    std::vector<double> v(m);
    bulk.draw(v, 1.0);
    for (std::size_t i = 0; i < m; ++i) {
      ASSERT_EQ(v[i], static_cast<double>(single.next())) << m << " " << i;
    }
  }
  EXPECT_EQ(bulk, single);
}

TEST(NoisePhaseSource, SkipLandsWhereDrawingLands) {
  // Both sides of the switch from stepping to jumping, and long jumps, from
  // a position reached by drawing.
  NoisePhaseSource a;
  for (const std::uint64_t n :
       {0ull, 1ull, 30ull, 31ull, 32ull, 257ull, 16383ull, 16384ull, 16385ull, 1000003ull}) {
    a.next();
    NoisePhaseSource drawn = a, skipped = a;
    for (std::uint64_t i = 0; i < n; ++i) {
      drawn.next();
    }
    skipped.skip(n);
    // A jump made once moves any other position by the same count.
    const NoisePhaseSource::Jump jump = NoisePhaseSource::jump_of(n);
    NoisePhaseSource jumped = a;
    jumped.skip(jump);
    for (int i = 0; i < 40; ++i) {
      const std::uint32_t v = drawn.next();
      ASSERT_EQ(skipped.next(), v) << n;
      ASSERT_EQ(jumped.next(), v) << n;
    }
    NoisePhaseSource later = drawn, stepped = drawn;
    later.skip(jump);
    stepped.skip(n);
    ASSERT_EQ(later, stepped) << n;
  }
  // No thread count given: every usable core.
  const ParallelFrameSynthesizer s(16000.0, 80, 24, 0.42, 0.0, std::nullopt, a, 0);
  EXPECT_EQ(s.threads(), usable_cores());
}

}  // namespace
}  // namespace vallisynth
