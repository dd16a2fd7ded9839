#include "dsp/fastmath.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vallisynth {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Absolute error, or in units of the last place of want; NaN unless both or
// neither are NaN.
double error(double got, double want, bool inulps) {
  if (got == want || (std::isnan(got) && std::isnan(want))) {
    return 0.0;
  }
  return std::fabs(got - want) / (inulps ? std::fabs(std::nextafter(want, kInf) - want) : 1.0);
}

// An odd-length sweep (the vector loops' remainders) over the exponential's
// range (to 705), the sine's fast range (to 9.9e7) and its quadrant
// boundaries, then overflow, denormal and zero results, non-numbers and
// arguments beyond the fast range, where the library's functions take over.
TEST(FastMathTest, FollowsTheLibrary) {
  std::vector<double> x = {709.78, 709.79, 1e300, kInf,  -745.0, -746.0,
                           -kInf,  -0.0,   1.5e8, -3e15, kNaN,   0.5};
  for (int i = -50000; i <= 50000; ++i) {
    const double quadrant = i * 1.5707963267948966;
    x.insert(x.end(), {i * 0.0141, i * 1979.3, std::nextafter(quadrant, -kInf), quadrant,
                       std::nextafter(quadrant, kInf)});
  }
  std::vector<double> e(x.size()), c(x.size()), s(x.size());
  expvector(x, e);
  sincosvector(x, c, s);
  std::vector<double> inplace = x;
  expvector(inplace, inplace);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double want = std::exp(x[i]);
    EXPECT_LE(error(e[i], want, true), want < 2.2250738585072014e-308 ? 1.0 : 2.0) << x[i];
    EXPECT_EQ(std::bit_cast<std::uint64_t>(inplace[i]), std::bit_cast<std::uint64_t>(e[i])) << x[i];
    // Absolute error: near a zero of sine or cosine a relative measure says
    // nothing about the phase accuracy that the synthesis needs.
    EXPECT_LE(error(c[i], std::cos(x[i]), false), 3e-16) << x[i];
    EXPECT_LE(error(s[i], std::sin(x[i]), false), 3e-16) << x[i];
  }
}

}  // namespace
}  // namespace vallisynth
