#include "synthesis/shaping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <tuple>
#include <vector>

namespace vallisynth {

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

}  // namespace vallisynth
