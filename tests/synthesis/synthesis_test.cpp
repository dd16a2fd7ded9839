// The pieces of a frame (noise, spectral shaping, the cepstral envelope at
// the harmonics, the harmonics themselves), then whole utterances.
#include "synthesis/synthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <tuple>
#include <vector>

#include "conditioning/warping.h"
#include "dsp/fft.h"
#include "synthesis/cepstrum.h"
#include "synthesis/harmonics.h"
#include "synthesis/noise.h"
#include "synthesis/shaping.h"

namespace vallisynth {

TEST(Noise, SourceResamplingAndSpectrum) {
  NoisePhaseSource rng;
  for (const std::uint32_t first : {1804289383u, 846930886u, 1681692777u, 1714636915u}) {
    EXPECT_EQ(rng.next(), first);
  }
  // Drawing in bulk (over several internal blocks) and one at a time give
  // the same sequence, and either continues where the other stopped.
  NoisePhaseSource one = rng;
  std::vector<double> bulk(600);
  rng.draw(bulk, 0.5);
  for (const double v : bulk) {
    ASSERT_EQ(v, 0.5 * one.next());
  }
  EXPECT_EQ(rng.next(), one.next());
  std::vector<double> more(5);
  one.draw(more, 1.0);
  for (const double v : more) {
    ASSERT_EQ(v, rng.next());
  }
  // Source points at 100, 200, 300 Hz: 0 Hz repeats the first, and the
  // envelope stays at the last value beyond the last point.
  std::vector<double> dst(8, -99.0);
  EXPECT_EQ(resamplelogampenvelope(100.0, std::vector<double>{1.0, 2.0, 4.0}, 50.0, dst), 0);
  EXPECT_EQ(dst, (std::vector<double>{1.0, 1.0, 1.5, 2.0, 3.0, 4.0, 4.0, 4.0}));

  // Every bin 1..N/2-1 gets amplitude sqrt(fs/N) exp(L), bins 0 and N/2
  // none, whatever the ignored entries and the imaginary input hold.
  constexpr std::size_t kN = 256;
  std::vector<double> logamp(kN, 9.0), re(kN, 9.0), im(kN, 123.0);
  for (std::size_t k = 1; k < kN / 2; ++k) {
    logamp[k] = re[k] = -2.0 + std::sin(0.05 * static_cast<double>(k));
  }
  ASSERT_EQ(gennoisefromlogspectrum(re, im, 16000.0, rng), 0);
  im.assign(kN, 0.0);
  fftr(re, im);
  for (std::size_t k = 0; k <= kN / 2; ++k) {
    const double amp = k % (kN / 2) == 0 ? 0.0 : std::sqrt(16000.0 * 256) * std::exp(logamp[k]);
    EXPECT_NEAR(std::hypot(re[k], im[k]), amp, 1e-6) << k;
  }
}

// The resampling plan gives the walk's very values, on grids that put
// destination points exactly on source points and beyond the last one.
TEST(Noise, PlannedResamplingIsIdentical) {
  std::vector<double> src(79);
  for (std::size_t m = 0; m < src.size(); ++m) {
    src[m] = std::sin(0.3 * static_cast<double>(m)) - 2.0;
  }
  for (const std::size_t n : {4u, 16u, 256u, 2048u}) {
    const double step = 16000.0 / static_cast<double>(n);
    std::vector<double> want(n / 2 - 1), got(want.size(), 7.0);
    resamplelogampenvelope(100.0, src, step, want);
    ASSERT_EQ(resamplelogampenvelope(src, got, ResamplePlan(100.0, src.size(), step, got.size())),
              0);
    EXPECT_EQ(got, want) << n;
  }
  std::vector<double> dst(3, 7.0);
  EXPECT_EQ(resamplelogampenvelope(src, dst, ResamplePlan(100.0, 78, 50.0, 3)), -1);
  EXPECT_EQ(resamplelogampenvelope(src, dst, ResamplePlan(100.0, 79, 50.0, 4)), -1);
  EXPECT_EQ(dst, std::vector<double>(3, 7.0));
}

// A plan changes nothing but speed: frames with and without one are the
// same bits, and both continue the same phase sequence.
TEST(Noise, PlannedFramesAreIdentical) {
  for (const std::size_t n : {4u, 8u, 256u, 1024u}) {
    NoisePhaseSource a, b, c;
    const NoisePlan plan(n);
    const NoisePlan other(2 * n);  // a plan of another length is not used
    for (int frame = 0; frame < 3; ++frame) {
      std::vector<double> re(n), im(n, 5.0);
      for (std::size_t k = 1; k < n / 2; ++k) {
        re[k] = -3.0 + 0.1 * static_cast<double>((k * 7 + static_cast<std::size_t>(frame)) % 11);
      }
      std::vector<double> pre = re, pim = im, ore = re, oim = im;
      gennoisefromlogspectrum(re, im, 16000.0, a);
      gennoisefromlogspectrum(pre, pim, 16000.0, b, &plan);
      gennoisefromlogspectrum(ore, oim, 16000.0, c, &other);
      ASSERT_EQ(re, pre) << n << ' ' << frame;
      ASSERT_EQ(re, ore) << n << ' ' << frame;
    }
  }
}

constexpr double kDb = std::numbers::ln10 / 20.0;  // 1 dB as a natural-log amplitude

TEST(Shaping, LiftHighPassAndPostfilter) {
  // The lift: 0 dB up to 3500 Hz, then linear up to +10 dB at 8000 Hz.
  std::vector<double> loga(32, -1.0);
  highfreqenhancelog(250.0, loga, 16000.0);
  for (std::uint32_t k = 0; k < loga.size(); ++k) {  // points at 250, 500, ..., 8000 Hz
    EXPECT_NEAR(loga[k], -1.0 + kDb * std::fmax(0.0, (k - 13.0) * 250.0 / 450.0), 1e-12) << k;
  }
  // The high-pass below a cut-off of 1000 Hz at 100..1200 Hz, and its power
  // complement on the harmonics.
  const double gains[] = {-28.5, -27.0, -25.5, -24.0, -22.5, -21.0, -19.5, -18.0, -9.0, 0, 0, 0};
  std::vector<double> noise(12, 0.5), harmonics(12, 2.0);
  applyhpfilterlog(100.0, noise, 1000.0);
  applyantihpfilter(100.0, harmonics, 1000.0);
  for (std::size_t k = 0; k < 12; ++k) {
    EXPECT_NEAR(noise[k], 0.5 + kDb * gains[k], 1e-12) << k;
    const double power = k < 9 ? std::pow(10.0, gains[k] / 10) : 0.0;  // of the noise
    EXPECT_NEAR(harmonics[k], 2.0 * std::sqrt(1.0 - power), 1e-12) << k;
  }
  // The postfilter's examples. Gamma 0 is off; one harmonic is its own one-pole model; no energy,
  // or w0 a multiple of 2 pi, leaves nothing to weigh against.
  const std::tuple<std::vector<double>, double, double, std::vector<double>> cases[] = {
      {{1.0, 1.0}, 0.5, 10.0, {0.54393, 1.30543}},
      {{1.0, 1.0}, 0.5, 0.5, {0.86248, 1.12077}},
      {{0.37}, 0.3, 10.0, {0.37}},
      {{1.0, 2.0, 3.0}, 0.4, 0.0, {1.0, 2.0, 3.0}},
      {{0.0, 0.0}, 0.4, 1.0, {0.0, 0.0}},
      {{1.0, 1.0}, 2 * std::numbers::pi, 1.0, {1.0, 1.0}}};
  for (auto [a, w0, gamma, expected] : cases) {
    EXPECT_EQ(postfilteringmcaq(a, w0, gamma), 0);
    for (std::size_t k = 0; k < a.size(); ++k) {
      EXPECT_NEAR(a[k], expected[k], 5e-5) << "gamma " << gamma << " k " << k;
    }
  }
}

TEST(Harmonics, CountsMatricesAndOneHarmonicInClosedForm) {
  // fv, f0 and the count: fv itself is not counted, fs/2 limits.
  const std::tuple<double, double, std::uint32_t> cases[] = {
      {4000, 100, 39}, {4000, 130, 30}, {20000, 100, 79}, {16000, 10, 799}, {4000, 4000, 0},
      {NAN, 100, 0},   {4000, NAN, 0},  {4000, 0, 0},     {4000, -100, 0}};
  for (const auto& [fv, f0, count] : cases) {
    EXPECT_EQ(hanoharms(16000.0, fv, f0), count) << fv << ' ' << f0;
  }
  // Row i: 1, 2 cos(j w), and 0, -2 sin(j w), w the warped angle of (i + 1) f0.
  constexpr std::uint32_t kOrder = 24, kRows = 40;
  std::vector<double> a((kOrder + 1) * kRows), b(a.size());
  ASSERT_EQ(matccharmonic(kOrder, kRows, 170.0, 16000.0, 0.42, a, b), 0);
  for (std::uint32_t i = 0; i < kRows; ++i) {
    const double w = fwarp((i + 1.0) * 2.0 * std::numbers::pi * 170.0 / 16000.0, 0.42);
    for (std::uint32_t j = 0; j <= kOrder; ++j) {
      EXPECT_NEAR(a[i * (kOrder + 1) + j], j == 0 ? 1.0 : 2.0 * std::cos(j * w), 1e-12) << i << j;
      EXPECT_NEAR(b[i * (kOrder + 1) + j], j == 0 ? 0.0 : -2.0 * std::sin(j * w), 1e-12) << i << j;
    }
  }
  EXPECT_EQ(matccharmonic(kOrder, kRows + 1, 170.0, 16000.0, 0.42, a, b), -1);  // too small

  // Harmonic h adds amp cos(h phi + phase + h w0 t) around the centre: a
  // zero first amplitude adds nothing, the second harmonic keeps 2 w0, and
  // mode 0 leaves the noise already in the buffer alone.
  const std::vector<double> amp{0.0, 0.7}, phase{1.0, -0.4};
  const double w0 = 2.0 * std::numbers::pi * 210.0 / 16000.0;
  std::vector<double> y(160, 0.5);
  EXPECT_EQ(genharmonics(y, 80, 80, 16000.0, 210.0, amp, phase, -0.6, 0), 0);
  for (std::uint32_t i = 0; i < y.size(); ++i) {
    ASSERT_NEAR(y[i], 0.5 + 0.7 * std::cos(2 * -0.6 - 0.4 + 2 * w0 * (i - 80.0)), 1e-9) << i;
  }
}

// The fused evaluation gives the very values of the matrices times the row,
// for counts around the blocks of rows and lanes.
TEST(Harmonics, FusedEvaluationMatchesTheMatrices) {
  constexpr std::uint32_t kOrder = 24;
  std::vector<double> c(kOrder + 1);
  for (std::uint32_t j = 0; j <= kOrder; ++j) {
    c[j] = j == 0 ? -4.5 : 0.7 * std::cos(0.8 * j) / j;
  }
  for (const std::uint32_t n : {1u, 3u, 4u, 5u, 63u, 64u, 65u, 130u, 799u}) {
    const double f0 = 7990.0 / n;
    std::vector<double> a((kOrder + 1) * n), b(a.size()), amp(n), phase(n), ref(n), refp(n);
    ASSERT_EQ(matccharmonic(kOrder, n, f0, 16000.0, 0.42, a, b), 0);
    prodmat(a, c, ref, n, kOrder + 1, 1);
    prodmat(b, c, refp, n, kOrder + 1, 1);
    ASSERT_EQ(ccharmonics(kOrder, n, f0, 16000.0, 0.42, c, amp, phase), 0);
    EXPECT_EQ(amp, ref) << n;
    EXPECT_EQ(phase, refp) << n;
  }
  std::vector<double> amp(4), phase(3);
  EXPECT_EQ(ccharmonics(kOrder, 4, 100.0, 16000.0, 0.42, c, amp, phase), -1);
}

// Many harmonics over a frame longer than one pass of the generator, with
// the modulation: the sum of the closed forms, to the recurrences' accuracy.
TEST(Harmonics, ManyHarmonicsOverALongFrame) {
  constexpr std::uint32_t kShift = 320;
  constexpr double kF0 = 97.0, kPhi = 2.5;
  const double w0 = 2.0 * std::numbers::pi * kF0 / 16000.0;
  std::vector<double> amp(81), phase(81);
  for (std::size_t k = 0; k < amp.size(); ++k) {
    amp[k] = k % 7 == 3 ? 0.0 : 0.01 + 0.001 * static_cast<double>(k % 5);
    phase[k] = 0.3 * static_cast<double>(k) - 1.0;
  }
  std::vector<double> y(2 * kShift);
  for (std::size_t i = 0; i < y.size(); ++i) {
    y[i] = 0.1 * std::sin(0.37 * static_cast<double>(i));
  }
  const std::vector<double> noise = y;
  ASSERT_EQ(genharmonics(y, kShift, kShift, 16000.0, kF0, amp, phase, kPhi, 1), 0);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double t = static_cast<double>(i) - kShift;
    double want = (2.0 + std::cos(kPhi + w0 * t)) * std::sqrt(2.0) / 3.0 * noise[i];
    for (std::size_t k = 0; k < amp.size(); ++k) {
      const double h = static_cast<double>(k + 1);
      want += amp[k] * std::cos(h * kPhi + phase[k] + h * w0 * t);
    }
    ASSERT_NEAR(y[i], want, 1e-10) << i;
  }
}

TEST(Synthesis, OverlapAddAndAWholeUtterance) {
  // Triangular windows at the frame shift sum to one.
  std::vector<double> ola(getxsize(80, 5), 0.0);
  const std::vector<double> ones(160, 1.0);
  for (std::uint32_t k = 0; k < 5; ++k) {
    olatriang(ola, ones, k * 80, (k + 1) * 80, (k + 2) * 80);
  }
  for (std::uint32_t n = 0; n < ola.size(); ++n) {  // rising into the first frame
    EXPECT_DOUBLE_EQ(ola[n], std::min({n / 80.0, 1.0, (480.0 - n) / 80.0})) << n;
  }

  // An utterance of 200 frames: steady 125 Hz in frames 40 to 159, a
  // one-resonance envelope of order 24, and the f0 rules' edge values around.
  constexpr std::uint32_t kFrames = 200, kOrder = 24;
  std::vector<double> f0(kFrames, 0.0), fv(kFrames, 0.0), cc(kFrames * (kOrder + 1), 0.0);
  for (std::size_t k = 0; k < kFrames; ++k) {
    f0[k] = k >= 40 && k < 160 ? 125.0 : std::vector<double>{0, 5, 10, 1000, 1000.5}[k % 5];
    fv[k] = f0[k] > 0.0 ? 4000.0 : 0.0;
    cc[k * (kOrder + 1)] = -7.5;
    for (std::uint32_t j = 1; j <= kOrder; ++j) {  // a pole of radius 0.9 at 0.45 rad
      cc[k * (kOrder + 1) + j] = std::pow(0.9, j) * std::cos(j * 0.45) / j;
    }
  }
  std::vector<double> x(getxsize(80, kFrames), 0.0), again(x.size(), 1.0);
  NoisePhaseSource rng, rng2;
  ASSERT_EQ(ccs2waveform(x, 16000.0, 80, f0, fv, kOrder, cc, 0.42, 0.0, rng), 0);
  EXPECT_EQ(x.size(), (kFrames + 1) * 80 + 1);
  // Below 10 Hz or above 1000 Hz is unvoiced.
  EXPECT_EQ(std::vector<double>(f0.begin(), f0.begin() + 5),
            (std::vector<double>{0, 0, 10, 1000, 0}));
  EXPECT_TRUE(std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); }));
  ccs2waveform(again, 16000.0, 80, f0, fv, kOrder, cc, 0.42, 0.0, rng2);
  EXPECT_EQ(x, again);  // a fresh noise source, the same samples

  // 4096 samples inside the 125 Hz stretch hold 32 whole periods, so the
  // harmonics fall on bins 32 h, and their power dwarfs that between them.
  std::vector<double> re(x.begin() + 4000, x.begin() + 4000 + 4096), im(4096, 0.0);
  fftr(re, im);
  const auto power = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
    return std::inner_product(re.begin() + from, re.begin() + to, re.begin() + from, 0.0) +
           std::inner_product(im.begin() + from, im.begin() + to, im.begin() + from, 0.0);
  };
  for (std::ptrdiff_t h = 1; h <= 24; ++h) {
    EXPECT_GT(power(32 * h - 1, 32 * h + 2), 30.0 * power(32 * h + 8, 32 * h + 25)) << h;
  }
}

}  // namespace vallisynth
