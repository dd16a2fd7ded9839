#include "synthesis/noise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "dsp/fft.h"
#include "synthesis/noisesource.h"

namespace vallisynth {
namespace {

constexpr double kFs = 16000.0;
constexpr double kPhaseScale = 2.925836159896768e-09;  // 2 pi / (2^31 - 1)

TEST(NoisePhaseSourceTest, ReproducesTheUnseededSequence) {
  NoisePhaseSource a;
  NoisePhaseSource b;
  for (std::uint32_t expected : {1804289383u, 846930886u, 1681692777u, 1714636915u, 1957747793u}) {
    EXPECT_EQ(a.next(), expected);
  }
  for (int i = 0; i < 5; ++i) {
    b.next();
  }
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t v = a.next();
    ASSERT_EQ(v, b.next()) << i;
    ASSERT_LE(v, 2147483647u);
  }
}

struct ResampleCase {
  double stepdst;
  std::vector<double> expected;
};

TEST(ResampleLogAmpEnvelopeTest, PiecewiseLinearWithFlatEnds) {
  // Source points at 100, 200, 300 Hz; 0 Hz repeats the first, and the
  // envelope stays at the last value up to 400 Hz.
  const std::vector<double> src{1.0, 2.0, 4.0};
  const std::vector<ResampleCase> cases{
      {30.0, {1.0, 1.0, 1.0, 1.2}},
      {50.0, {1.0, 1.0, 1.5, 2.0, 3.0, 4.0, 4.0, 4.0}},
      {100.0, {1.0, 2.0, 4.0, 4.0}},
      {75.0, {1.0, 1.5, 2.5, 4.0, 4.0}},
  };
  for (const auto& c : cases) {
    std::vector<double> dst(c.expected.size(), -99.0);
    EXPECT_EQ(resamplelogampenvelope(100.0, src, c.stepdst, dst), 0);
    for (std::size_t i = 0; i < dst.size(); ++i) {
      EXPECT_NEAR(dst[i], c.expected[i], 1e-12) << "step " << c.stepdst << " point " << i;
    }
  }
}

TEST(ResampleLogAmpEnvelopeTest, FlatEnvelopeStaysFlat) {
  const std::vector<double> src(79, -3.25);
  std::vector<double> dst(127);
  resamplelogampenvelope(100.0, src, kFs / 256.0, dst);
  for (double v : dst) {
    EXPECT_EQ(v, -3.25);
  }
}

TEST(ResampleLogAmpEnvelopeTest, EmptyArgumentsFailUntouched) {
  const std::vector<double> src{1.0, 2.0};
  std::vector<double> dst(3, 7.0);
  EXPECT_EQ(resamplelogampenvelope(100.0, std::span<const double>(), 50.0, dst), -1);
  EXPECT_EQ(dst, std::vector<double>(3, 7.0));
  EXPECT_EQ(resamplelogampenvelope(100.0, src, 50.0, std::span<double>()), -1);
}

// Noise frame of N samples from log amplitudes logamp[1..N/2-1].
std::vector<double> noiseframe(std::vector<double> logamp, NoisePhaseSource& rng,
                               double imfill = 0.0) {
  std::vector<double> im(logamp.size(), imfill);
  EXPECT_EQ(gennoisefromlogspectrum(logamp, im, kFs, rng), 0);
  return logamp;
}

TEST(GenNoiseTest, TwoPointFrameIsSilentAndDrawsNothing) {
  NoisePhaseSource rng;
  const auto x = noiseframe({5.0, 5.0}, rng);
  EXPECT_EQ(x, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(rng.next(), NoisePhaseSource().next());
}

TEST(GenNoiseTest, FourPointFrameIsOneSinusoid) {
  const double l1 = -0.7;
  NoisePhaseSource rng;
  const auto x = noiseframe({3.0, l1, 3.0, 3.0}, rng);
  const double phi = static_cast<double>(NoisePhaseSource().next()) * kPhaseScale;
  const double amp = 2.0 * std::sqrt(kFs / 4.0) * std::exp(l1);
  for (std::size_t t = 0; t < 4; ++t) {
    EXPECT_NEAR(x[t], amp * std::cos(std::numbers::pi * static_cast<double>(t) / 2.0 + phi),
                1e-12 * amp)
        << t;
  }
}

TEST(GenNoiseTest, SpectrumFollowsTheEnvelope) {
  constexpr std::size_t kN = 256;
  std::vector<double> logamp(kN, 9.0);  // bins 0 and N/2..N-1 must be ignored
  for (std::size_t k = 1; k < kN / 2; ++k) {
    logamp[k] = -2.0 + std::sin(0.05 * static_cast<double>(k));
  }
  NoisePhaseSource rng;
  auto re = noiseframe(logamp, rng, 123.0);  // the imaginary input is ignored
  NoisePhaseSource rng2;
  EXPECT_EQ(re, noiseframe(logamp, rng2, -4.0));

  double sum = 0.0;
  for (double v : re) {
    sum += v;
  }
  EXPECT_NEAR(sum, 0.0, 1e-9);

  std::vector<double> im(kN, 0.0);
  fftr(re, im);
  const double g = std::sqrt(kFs / static_cast<double>(kN));
  EXPECT_NEAR(std::hypot(re[0], im[0]), 0.0, 1e-9);
  EXPECT_NEAR(std::hypot(re[kN / 2], im[kN / 2]), 0.0, 1e-9);
  for (std::size_t k = 1; k < kN / 2; ++k) {
    const double expected = static_cast<double>(kN) * g * std::exp(logamp[k]);
    EXPECT_NEAR(std::hypot(re[k], im[k]), expected, 1e-9 * expected) << k;
  }
}

TEST(GenNoiseTest, ConsecutiveFramesContinueTheSequence) {
  const std::vector<double> logamp(16, 0.5);
  NoisePhaseSource rng;
  const auto first = noiseframe(logamp, rng);
  const auto second = noiseframe(logamp, rng);
  EXPECT_NE(first, second);

  // Seven draws per 16-point frame: a source advanced by seven gives the
  // second frame.
  NoisePhaseSource advanced;
  for (int i = 0; i < 7; ++i) {
    advanced.next();
  }
  EXPECT_EQ(noiseframe(logamp, advanced), second);
  EXPECT_EQ(advanced.next(), rng.next());
}

}  // namespace
}  // namespace vallisynth
