#include "dsp/fastmath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace vallisynth {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Distance in units of the last place of `want`.
double ulps(double got, double want) {
  if (got == want) {
    return 0.0;
  }
  return std::fabs(got - want) / std::fabs(std::nextafter(want, kInf) - want);
}

std::vector<double> uniform(double lo, double hi, std::size_t n) {
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> x(n);
  for (double& v : x) {
    v = dist(gen);
  }
  return x;
}

// Odd lengths exercise the vector loops' remainders.
TEST(FastMathTest, ExpFollowsTheLibraryOverItsRange) {
  for (const double range : {0.5, 20.0, 700.0}) {
    const std::vector<double> x = uniform(-range, range, 10001);
    std::vector<double> y(x.size());
    expvector(x, y);
    for (std::size_t i = 0; i < x.size(); ++i) {
      ASSERT_LE(ulps(y[i], std::exp(x[i])), 2.0) << x[i];
    }
  }
}

// Also in place, where nothing of the argument is left to look at again.
TEST(FastMathTest, ExpAtTheEdgesOfItsRange) {
  const std::vector<double> x = {705.0,  709.78, 709.79, 710.0,  1e300,  kInf,  -700.0, -708.5,
                                 -720.0, -745.0, -745.2, -746.0, -1e300, -kInf, 0.0,    -0.0};
  std::vector<double> y(x.size());
  expvector(x, y);
  std::vector<double> z = x;
  expvector(z, z);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double want = std::exp(x[i]);
    const double tolerance = want < 2.2250738585072014e-308 ? 1.0 : 2.0;
    EXPECT_LE(ulps(y[i], want), tolerance) << x[i];
    EXPECT_EQ(z[i], y[i]) << x[i];
  }
  std::vector<double> nan = {kNaN};
  expvector(nan, nan);
  EXPECT_TRUE(std::isnan(nan[0]));
}

// Absolute error: near the zeros of sine and cosine a relative measure says
// nothing about the phase accuracy that the synthesis needs.
TEST(FastMathTest, SineAndCosineFollowTheLibrary) {
  for (const double range : {0.8, 7.0, 5000.0, 9.9e7}) {
    const std::vector<double> x = uniform(-range, range, 10001);
    std::vector<double> c(x.size());
    std::vector<double> s(x.size());
    sincosvector(x, c, s);
    for (std::size_t i = 0; i < x.size(); ++i) {
      ASSERT_NEAR(c[i], std::cos(x[i]), 3e-16) << x[i];
      ASSERT_NEAR(s[i], std::sin(x[i]), 3e-16) << x[i];
    }
  }
}

TEST(FastMathTest, SineAndCosineAtQuadrantBoundaries) {
  std::vector<double> x;
  for (int q = -8; q <= 8; ++q) {
    const double b = q * 1.5707963267948966;
    x.insert(x.end(),
             {std::nextafter(b, -kInf), b, std::nextafter(b, kInf), b + 0.7853981633974483});
  }
  std::vector<double> c(x.size());
  std::vector<double> s(x.size());
  sincosvector(x, c, s);
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(c[i], std::cos(x[i]), 3e-16) << x[i];
    EXPECT_NEAR(s[i], std::sin(x[i]), 3e-16) << x[i];
  }
}

TEST(FastMathTest, SineAndCosineOutsideTheRangeAreTheLibrarys) {
  const std::vector<double> x = {1.5e8, -3e15, 1e300, kInf, -kInf, kNaN};
  std::vector<double> c(x.size());
  std::vector<double> s(x.size());
  sincosvector(x, c, s);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(c[i], std::cos(x[i])) << x[i];
    EXPECT_EQ(s[i], std::sin(x[i])) << x[i];
  }
  for (std::size_t i = 3; i < x.size(); ++i) {
    EXPECT_TRUE(std::isnan(c[i]) && std::isnan(s[i])) << x[i];
  }
}

}  // namespace
}  // namespace vallisynth
