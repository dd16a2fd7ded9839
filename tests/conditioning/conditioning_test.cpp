#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "conditioning/logf0.h"
#include "conditioning/warping.h"

namespace vallisynth {
namespace {

constexpr double kPi = std::numbers::pi;

bool samebits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(LogF0, ShiftThenConvert) {
  std::vector<double> t{std::log(100.0), -1e10, std::log(200.0), -9.9e9, -2e10, std::nan("")};
  EXPECT_EQ(shiftlogpitch(t, std::log(2.0)), 0);
  EXPECT_DOUBLE_EQ(t[0], std::log(200.0));
  EXPECT_EQ(t[1], -1e10);  // the marker itself is unvoiced
  EXPECT_DOUBLE_EQ(t[2], std::log(400.0));
  EXPECT_EQ(t[3], -9.9e9 + std::log(2.0));  // still voiced, however low
  EXPECT_EQ(t[4], -2e10);
  EXPECT_TRUE(std::isnan(t[5]));

  EXPECT_EQ(logf02f0(t), 0);
  EXPECT_NEAR(t[0], 200.0, 1e-9);
  EXPECT_NEAR(t[2], 400.0, 1e-9);
  for (const std::size_t i : {1u, 3u, 4u, 5u}) {
    EXPECT_EQ(t[i], 0.0) << i;  // underflow for the voiced -9.9e9, 0 for unvoiced
  }
}

TEST(LogF0, RangeScalingAroundVoicedMean) {
  std::vector<double> t{std::log(100.0), -1e10, std::log(400.0), std::nan("")};
  EXPECT_EQ(scalelogpitchrange(t, 0.0), 0);
  EXPECT_DOUBLE_EQ(t[0], std::log(200.0));
  EXPECT_EQ(t[1], -1e10);
  EXPECT_DOUBLE_EQ(t[2], std::log(200.0));
  EXPECT_TRUE(std::isnan(t[3]));

  std::vector<double> u{4.0, -1e10, 6.0};
  scalelogpitchrange(u, 0.5);
  EXPECT_EQ(u, (std::vector<double>{4.5, -1e10, 5.5}));

  std::vector<double> single{-1e10, 5.1, -1e10};
  scalelogpitchrange(single, 3.0);
  EXPECT_EQ(single, (std::vector<double>{-1e10, 5.1, -1e10}));

  std::vector<double> unvoiced{-1e10, -3e10, -1e10};
  scalelogpitchrange(unvoiced, 2.0);
  EXPECT_EQ(unvoiced, (std::vector<double>{-1e10, -3e10, -1e10}));
  logf02f0(unvoiced);
  EXPECT_EQ(unvoiced, std::vector<double>(3, 0.0));
}

TEST(LogF0, NeutralValuesLeaveTheTrackBitForBit) {
  // (v - mean) * 1 + mean would round some of these differently, and
  // -0.0 + 0.0 would lose the sign.
  const std::vector<double> orig{-0.0, 0.1, 4.7, 5.300000000000001, -1e10, 1e-300, 7.77};
  std::vector<double> t = orig;
  shiftlogpitch(t, 0.0);
  EXPECT_TRUE(samebits(t, orig));
  scalelogpitchrange(t, 1.0);
  EXPECT_TRUE(samebits(t, orig));
}

TEST(Warping, FixedPointsIdentityAndInverse) {
  for (const double a : {-0.9, -0.42, 0.0, 0.42, 0.9}) {
    EXPECT_EQ(fwarp(0.0, a), 0.0) << a;
    EXPECT_NEAR(fwarp(kPi, a), kPi, 1e-12) << a;
    double prev = 0.0;
    for (int k = 1; k <= 64; ++k) {
      const double w = kPi * k / 64.0;
      const double v = fwarp(w, a);
      EXPECT_GT(v, prev) << "monotonic, a=" << a << " w=" << w;
      prev = v;
      EXPECT_NEAR(fwarp(v, -a), w, 1e-12) << a << ' ' << w;
      if (a == 0.0) {
        EXPECT_NEAR(v, w, 1e-15);
      }
    }
  }
  // Positive alpha stretches the low frequencies by (1 + a) / (1 - a).
  EXPECT_NEAR(fwarp(1e-6, 0.42) / 1e-6, 1.42 / 0.58, 1e-9);
}

TEST(Warping, CompositionOfConstants) {
  EXPECT_EQ(composewarp(0.42, 0.2), 0.24017467248908292);
  EXPECT_NEAR(composewarp(0.42, 0.1), 0.33403, 5e-6);
  EXPECT_NEAR(composewarp(0.42, -0.1), 0.49904, 5e-6);
  EXPECT_EQ(composewarp(0.42, 0.0), 0.42);
  EXPECT_EQ(composewarp(0.1234567, 0.0), 0.1234567);
  for (double w = 0.05; w < kPi; w += 0.25) {
    EXPECT_NEAR(fwarp(fwarp(w, 0.42), -0.2), fwarp(w, composewarp(0.42, 0.2)), 1e-12) << w;
  }
}

TEST(Warping, VoicingUnwarp) {
  const std::vector<double> orig{-5.0, 0.0, 2000.0, 4000.0, 8000.0, 12000.0};
  std::vector<double> fv = orig;
  EXPECT_EQ(fvoicingunwarp(fv, 16000.0, 0.0), 0);
  EXPECT_TRUE(samebits(fv, orig));  // no clipping at all without warping

  EXPECT_EQ(fvoicingunwarp(fv, 16000.0, 0.42), 0);
  EXPECT_EQ(fv[0], 0.0);
  EXPECT_EQ(fv[1], 0.0);
  EXPECT_NEAR(fv[2], 853.57, 0.01);
  EXPECT_NEAR(fv[3], 1974.90, 0.01);
  EXPECT_EQ(fv[4], 8000.0);
  EXPECT_EQ(fv[5], 8000.0);

  // Undoes a warping by the same constant.
  std::vector<double> warped{fwarp(3000.0 * kPi / 8000.0, 0.3) * 8000.0 / kPi};
  fvoicingunwarp(warped, 16000.0, 0.3);
  EXPECT_NEAR(warped[0], 3000.0, 1e-9);
}

TEST(Warping, CepstralDeadaptation) {
  std::vector<double> cc{5.0, 2.0, -4.0, 6.0, 0.5, 8.0};
  EXPECT_EQ(invhtsadapteradhoc(cc, 2), 0);
  EXPECT_EQ(cc, (std::vector<double>{0.0, 1.0, -2.0, 1.0, 0.25, 4.0}));
  std::vector<double> c0only{5.0, 7.0};
  invhtsadapteradhoc(c0only, 0);
  EXPECT_EQ(c0only, (std::vector<double>{0.0, 2.0}));
}

}  // namespace
}  // namespace vallisynth
