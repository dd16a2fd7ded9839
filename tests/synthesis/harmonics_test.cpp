#include "synthesis/harmonics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace vallisynth {
namespace {

constexpr double kFs = 16000.0;
constexpr std::uint32_t kHalf = 80;  // samples on each side of the centre

double angle(double f0) {
  return 2.0 * std::numbers::pi * f0 / kFs;
}

// Sum of harmonics h = 1..amp.size() with the generator's phase convention.
std::vector<double> closedform(double f0, const std::vector<double>& amp,
                               const std::vector<double>& phase, double phi) {
  std::vector<double> y(2 * kHalf, 0.0);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double t = static_cast<double>(i) - static_cast<double>(kHalf);
    for (std::size_t k = 0; k < amp.size(); ++k) {
      const auto h = static_cast<double>(k + 1);
      y[i] += amp[k] * std::cos(h * phi + phase[k] + h * angle(f0) * t);
    }
  }
  return y;
}

struct HarmonicCase {
  double f0;
  std::vector<double> amp;
  std::vector<double> phase;
  double phi;
};

TEST(GenHarmonicsTest, MatchesTheClosedForm) {
  const std::vector<HarmonicCase> cases{
      {125.0, {0.8}, {0.0}, 0.0},
      {97.5, {1.0, 0.5, 0.25, 0.125}, {0.3, -1.2, 2.0, 0.7}, 1.1},
      // Zero amplitudes add nothing; the later harmonics keep h w0.
      {210.0, {0.0, 0.7, 0.0, 0.0, 0.3}, {1.0, -0.4, 2.0, 0.5, 0.9}, -0.6},
      {1000.0, std::vector<double>(7, 0.1), std::vector<double>(7, 0.25), 3.0},
  };
  for (const auto& c : cases) {
    std::vector<double> y(2 * kHalf, 0.0);
    EXPECT_EQ(genharmonics(y, kHalf, kHalf, kFs, c.f0, c.amp, c.phase, c.phi, 0), 0);
    const auto expected = closedform(c.f0, c.amp, c.phase, c.phi);
    for (std::size_t i = 0; i < y.size(); ++i) {
      ASSERT_NEAR(y[i], expected[i], 1e-9) << "f0 " << c.f0 << " sample " << i;
    }
  }
}

TEST(GenHarmonicsTest, SingleHarmonicAddsItsAmplitudeAtTheCentre) {
  std::vector<double> y(2 * kHalf, 0.5);
  const std::vector<double> amp{0.75};
  const std::vector<double> phase{0.0};
  genharmonics(y, kHalf, kHalf, kFs, 150.0, amp, phase, 0.0, 2);
  EXPECT_NEAR(y[kHalf], 0.5 + 0.75, 1e-12);
}

TEST(GenHarmonicsTest, ModeOneModulatesTheNoiseFirst) {
  const std::vector<double> noise(2 * kHalf, 1.0);
  const std::vector<double> amp{0.2, 0.1};
  const std::vector<double> phase{0.4, -0.2};
  constexpr double kF0 = 200.0;
  constexpr double kPhi = 0.0;
  std::vector<double> y = noise;
  genharmonics(y, kHalf, kHalf, kFs, kF0, amp, phase, kPhi, 1);
  const auto harmonics = closedform(kF0, amp, phase, kPhi);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double t = static_cast<double>(i) - static_cast<double>(kHalf);
    const double factor = (2.0 + std::cos(kPhi + angle(kF0) * t)) * std::numbers::sqrt2 / 3.0;
    ASSERT_NEAR(y[i] - harmonics[i], factor, 1e-9) << i;
  }
  // The fundamental's phase is 0 at the centre: the largest factor, sqrt 2.
  EXPECT_NEAR(y[kHalf] - harmonics[kHalf], std::numbers::sqrt2, 1e-12);
}

TEST(GenHarmonicsTest, OtherModesOnlyAdd) {
  const std::vector<double> amp{0.3};
  const std::vector<double> phase{0.0};
  std::vector<double> y(2 * kHalf, 2.0);
  genharmonics(y, kHalf, kHalf, kFs, 100.0, amp, phase, 0.5, 0);
  const auto harmonics = closedform(100.0, amp, phase, 0.5);
  for (std::size_t i = 0; i < y.size(); ++i) {
    ASSERT_NEAR(y[i], 2.0 + harmonics[i], 1e-9) << i;
  }
}

TEST(GenHarmonicsTest, NoHarmonicsOrNoSamplesLeaveTheBufferAlone) {
  std::vector<double> y(2 * kHalf, 0.6);
  const std::vector<double> amp{1.0};
  const std::vector<double> phase{0.0};
  genharmonics(y, kHalf, kHalf, kFs, 100.0, std::span<const double>(), std::span<const double>(),
               0.0, 1);
  EXPECT_EQ(y, std::vector<double>(2 * kHalf, 0.6));
  genharmonics(y, 0, 0, kFs, 100.0, amp, phase, 0.0, 1);
  EXPECT_EQ(y, std::vector<double>(2 * kHalf, 0.6));
}

}  // namespace
}  // namespace vallisynth
