#include "synthesis/shaping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <random>
#include <vector>

namespace vallisynth {
namespace {

constexpr double kFs = 16000.0;

double dbtolog(double db) {
  return db * std::numbers::ln10 / 20.0;
}

TEST(HighFreqEnhanceTest, LiftIsLinearInDbAboveThreeAndAHalfKilohertz) {
  // Points at 250, 500, ..., 8000 Hz.
  std::vector<double> loga(32, -1.0);
  highfreqenhancelog(250.0, loga, kFs);
  for (std::size_t k = 0; k < loga.size(); ++k) {
    const double f = 250.0 * static_cast<double>(k + 1);
    const double db = f > 3500.0 ? (f - 3500.0) / 4500.0 * 10.0 : 0.0;
    EXPECT_NEAR(loga[k], -1.0 + dbtolog(db), 1e-12) << f;
  }
  EXPECT_EQ(loga[13], -1.0);                                      // 3500 Hz
  EXPECT_NEAR(loga[22], -1.0 + dbtolog(5.0), 1e-12);              // 5750 Hz
  EXPECT_NEAR(loga[31], -1.0 + std::numbers::ln10 / 2.0, 1e-12);  // 8000 Hz
}

// Points at 100..1200 Hz against a cut-off of 1000 Hz (knee at 800 Hz).
const std::vector<double> kHighPassDb{-28.5, -27.0, -25.5, -24.0, -22.5, -21.0,
                                      -19.5, -18.0, -9.0,  0.0,   0.0,   0.0};

TEST(HighPassTest, NoiseGainAtTheListedPoints) {
  std::vector<double> loga(kHighPassDb.size(), 0.5);
  applyhpfilterlog(100.0, loga, 1000.0);
  for (std::size_t k = 0; k < loga.size(); ++k) {
    EXPECT_NEAR(loga[k], 0.5 + dbtolog(kHighPassDb[k]), 1e-12) << k;
  }
  EXPECT_EQ(loga[9], 0.5);  // exactly at the cut-off: untouched
}

TEST(HighPassTest, HarmonicGainIsThePowerComplement) {
  std::vector<double> amps(kHighPassDb.size(), 2.0);
  applyantihpfilter(100.0, amps, 1000.0);
  for (std::size_t k = 0; k < amps.size(); ++k) {
    const double h = amps[k] / 2.0;
    const double g = k < 9 ? std::pow(10.0, kHighPassDb[k] / 20.0) : 0.0;
    EXPECT_NEAR(g * g + h * h, 1.0, 1e-12) << k;
  }
  EXPECT_EQ(amps[9], 2.0);
}

TEST(HighPassTest, CutOffNotAboveStepChangesNothing) {
  for (double fmax : {100.0, 60.0, 0.0, -5.0}) {
    std::vector<double> loga(10, 0.25);
    std::vector<double> amps(10, 0.25);
    applyhpfilterlog(100.0, loga, fmax);
    applyantihpfilter(100.0, amps, fmax);
    EXPECT_EQ(loga, std::vector<double>(10, 0.25)) << fmax;
    EXPECT_EQ(amps, std::vector<double>(10, 0.25)) << fmax;
  }
}

double energy(const std::vector<double>& a) {
  double e = 0.0;
  for (double v : a) {
    e += v * v;
  }
  return e;
}

struct PostfilterCase {
  std::vector<double> input;
  double w0;
  double gamma;
  std::vector<double> expected;
};

TEST(PostfilterTest, WeighsAgainstTheOnePoleModelAndKeepsTheEnergy) {
  const std::vector<PostfilterCase> cases{
      {{1.0, 1.0}, 0.5, 10.0, {0.54393, 1.30543}},
      {{1.0, 1.0}, 0.5, 0.5, {0.86248, 1.12077}},
      // One harmonic is its own one-pole model: weight 1.
      {{0.37}, 0.3, 10.0, {0.37}},
      {{4.0}, 2.0, -3.0, {4.0}},
  };
  for (const auto& c : cases) {
    std::vector<double> a = c.input;
    EXPECT_EQ(postfilteringmcaq(a, c.w0, c.gamma), 0);
    ASSERT_EQ(a.size(), c.expected.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
      EXPECT_NEAR(a[k], c.expected[k], 5e-5) << "gamma " << c.gamma << " k " << k;
    }
    EXPECT_NEAR(energy(a), energy(c.input), 1e-12);
  }
}

TEST(PostfilterTest, WeightsStayWithinTheLimits) {
  // An irregular spectrum and a strong postfilter: some weights hit each
  // limit, so the largest relative change is exactly 1.2 / 0.5 times the
  // smallest.
  std::mt19937 gen(2024);
  std::uniform_real_distribution<double> dist(0.05, 1.0);
  for (double gamma : {2.0, -3.0}) {
    std::vector<double> a(60);
    for (double& v : a) {
      v = dist(gen);
    }
    const std::vector<double> input = a;
    postfilteringmcaq(a, 0.05, gamma);
    double lo = 1e300;
    double hi = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) {
      lo = std::min(lo, a[k] / input[k]);
      hi = std::max(hi, a[k] / input[k]);
    }
    EXPECT_NEAR(hi / lo, 2.4, 1e-12) << gamma;
    EXPECT_NEAR(energy(a), energy(input), 1e-12);
  }
}

TEST(PostfilterTest, OffOrDegenerateLeavesAmplitudesAlone) {
  const std::vector<PostfilterCase> cases{
      {{1.0, 2.0, 3.0}, 0.4, 0.0, {1.0, 2.0, 3.0}},           // gamma 0
      {{0.0, 0.0, 0.0}, 0.4, 1.0, {0.0, 0.0, 0.0}},           // no energy
      {{1.0, 1.0}, 2.0 * std::numbers::pi, 1.0, {1.0, 1.0}},  // C = E
      {{}, 0.4, 1.0, {}},
  };
  for (const auto& c : cases) {
    std::vector<double> a = c.input;
    postfilteringmcaq(a, c.w0, c.gamma);
    EXPECT_EQ(a, c.expected);
  }
}

}  // namespace
}  // namespace vallisynth
