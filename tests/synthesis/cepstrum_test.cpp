#include "synthesis/cepstrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "conditioning/warping.h"

namespace vallisynth {
namespace {

constexpr double kFs = 16000.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct HarmonicCountCase {
  double fv;
  double f0;
  std::uint32_t expected;
};

TEST(HanoharmsTest, CountsMultiplesStrictlyBelowTheLimit) {
  const std::vector<HarmonicCountCase> cases{
      {16000.0, 100.0, 79}, {4000.0, 100.0, 39},   // 4000 Hz itself not counted
      {4000.0, 130.0, 30},  {20000.0, 100.0, 79},  // limited to fs/2
      {4000.0, 4000.0, 0},  {16000.0, 8000.0, 0}, {16000.0, 10.0, 799}, {kNaN, 100.0, 0},
      {4000.0, kNaN, 0},    {4000.0, 0.0, 0},     {4000.0, -100.0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hanoharms(kFs, c.fv, c.f0), c.expected) << "fv " << c.fv << " f0 " << c.f0;
  }
}

// Rows of (order + 1) columns for n frequencies.
struct Matrices {
  std::vector<double> a;
  std::vector<double> b;
  Matrices(std::uint32_t order, std::uint32_t n)
      : a(std::size_t{n} * (order + 1u), -9.0), b(std::size_t{n} * (order + 1u), -9.0) {
  }
};

TEST(MatccharmonicTest, RowsHoldCosinesAndSinesOfTheWarpedAngle) {
  constexpr std::uint32_t kOrder = 24;
  constexpr std::uint32_t kRows = 40;
  constexpr double kF0 = 170.0;
  for (double alpha : {0.0, 0.42, -0.3}) {
    Matrices m(kOrder, kRows);
    ASSERT_EQ(matccharmonic(kOrder, kRows, kF0, kFs, alpha, m.a, m.b), 0);
    for (std::size_t i = 0; i < kRows; ++i) {
      const double angle = static_cast<double>(i + 1) * 2.0 * std::numbers::pi * kF0 / kFs;
      // With alpha 0 the warping is the identity.
      const double w = alpha == 0.0 ? angle : fwarp(angle, alpha);
      EXPECT_EQ(m.a[i * (kOrder + 1)], 1.0);
      EXPECT_EQ(m.b[i * (kOrder + 1)], 0.0);
      for (std::size_t j = 1; j <= kOrder; ++j) {
        const double jw = static_cast<double>(j) * w;
        EXPECT_NEAR(m.a[i * (kOrder + 1) + j], 2.0 * std::cos(jw), 1e-12) << i << "," << j;
        EXPECT_NEAR(m.b[i * (kOrder + 1) + j], -2.0 * std::sin(jw), 1e-12) << i << "," << j;
      }
    }
  }
}

TEST(MatccharmonicTest, ProductGivesTheLogAmplitudeOfTheCepstrum) {
  const std::vector<double> c{-1.5, 0.8, -0.35, 0.2, 0.05, -0.12, 0.03};
  constexpr auto kOrder = 6u;
  constexpr auto kRows = 79u;
  Matrices m(kOrder, kRows);
  matccharmonic(kOrder, kRows, 100.0, kFs, 0.0, m.a, std::span<double>());
  std::vector<double> loga(kRows);
  prodmat(m.a, c, loga, kRows, kOrder + 1, 1);
  for (std::size_t i = 0; i < kRows; ++i) {
    const double w = static_cast<double>(i + 1) * 2.0 * std::numbers::pi * 100.0 / kFs;
    double expected = c[0];
    for (std::size_t j = 1; j <= kOrder; ++j) {
      expected += 2.0 * c[j] * std::cos(static_cast<double>(j) * w);
    }
    EXPECT_NEAR(loga[i], expected, 1e-12) << i;
  }
}

TEST(MatccharmonicTest, OrderZeroAndNoRows) {
  Matrices m(0, 5);
  EXPECT_EQ(matccharmonic(0, 5, 200.0, kFs, 0.42, m.a, m.b), 0);
  EXPECT_EQ(m.a, std::vector<double>(5, 1.0));
  EXPECT_EQ(m.b, std::vector<double>(5, 0.0));

  Matrices none(3, 2);
  EXPECT_EQ(matccharmonic(3, 0, 200.0, kFs, 0.42, none.a, none.b), 0);
  EXPECT_EQ(none.a, std::vector<double>(8, -9.0));
  EXPECT_EQ(none.b, std::vector<double>(8, -9.0));
}

TEST(MatccharmonicTest, MatricesTooSmallAreRejectedUntouched) {
  Matrices m(4, 3);
  std::vector<double> shortb(14, -9.0);  // one value short of 3 rows of 5
  EXPECT_EQ(matccharmonic(4, 4, 200.0, kFs, 0.0, m.a, m.b), -1);
  EXPECT_EQ(matccharmonic(4, 3, 200.0, kFs, 0.0, m.a, shortb), -1);
  EXPECT_EQ(matccharmonic(4, 3, 200.0, kFs, 0.0, std::span<double>(), m.b), -1);
  EXPECT_EQ(m.a, std::vector<double>(15, -9.0));
  EXPECT_EQ(m.b, std::vector<double>(15, -9.0));
  EXPECT_EQ(shortb, std::vector<double>(14, -9.0));
}

TEST(ProdmatTest, MatrixProduct) {
  const std::vector<double> a{1, 2, 3, -4, 5, 6};     // 2 x 3
  const std::vector<double> b{7, -8, 9, 10, 11, 12};  // 3 x 2
  std::vector<double> c(4, 99.0);
  EXPECT_EQ(prodmat(a, b, c, 2, 3, 2), 0);
  EXPECT_EQ(c, (std::vector<double>{58, 48, 83, 154}));

  std::vector<double> zeros(6, 99.0);
  prodmat(std::span<const double>(), std::span<const double>(), zeros, 2, 0, 3);
  EXPECT_EQ(zeros, std::vector<double>(6, 0.0));
}

}  // namespace
}  // namespace vallisynth
