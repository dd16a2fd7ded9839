#include "dsp/fastmath.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "dsp/lanes.h"

namespace vallisynth {

namespace {

// Adding and subtracting 1.5 * 2^52 rounds a double of magnitude below 2^51
// to the nearest integer: the sum has no bits below the units.
constexpr double kRoundMagic = 6755399441055744.0;

// v limited to [-limit, limit]; NaN stays NaN.
double clamp(double v, double limit) {
  const double low = v < -limit ? -limit : v;
  return low > limit ? limit : low;
}

double roundnearest(double v) {
  return (v + kRoundMagic) - kRoundMagic;
}

// 2^k for an integral k in -1022..1023: k + 1023 in the exponent field.
double powtwo(double k) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(k + (1023.0 + kRoundMagic)) << 52);
}

// exp: x = n ln 2 + r with |r| <= ln(2)/2, exp(x) = 2^n exp(r). ln 2 is split
// so that n times its leading part is exact for every n in range.
constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2Hi = 0.6931471803691238;  // 32 significant bits
constexpr double kLn2Lo = 1.9082149292705877e-10;
constexpr double kExpLimit = 746.0;  // exp overflows above 709.8, is 0 below -745.2

// sin, cos: x = q pi/2 + r with |r| <= pi/4; pi/2 in three parts of which
// the first two times any q below 2^26 are exact.
constexpr double kTwoOverPi = 0.6366197723675814;
constexpr double kPio2Hi = 1.570796325802803;       // 27 significant bits
constexpr double kPio2Mid = 9.920935739593517e-10;  // next 27 bits
constexpr double kPio2Lo = 5.721188726109832e-18;
constexpr double kTrigLimit = 1.0e8;  // q below 2^26

// Taylor series on the reduced range; the first omitted term is below half
// a unit in the last place there.
double exppoly(double r) {
  double p = 1.0 / 6227020800.0;  // 1/13!
  p = p * r + 1.0 / 479001600.0;
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  return p * r + 1.0;
}

double sinpoly(double r) {
  const double r2 = r * r;
  double p = -1.0 / 355687428096000.0;  // -1/17!
  p = p * r2 + 1.0 / 1307674368000.0;
  p = p * r2 - 1.0 / 6227020800.0;
  p = p * r2 + 1.0 / 39916800.0;
  p = p * r2 - 1.0 / 362880.0;
  p = p * r2 + 1.0 / 5040.0;
  p = p * r2 - 1.0 / 120.0;
  p = p * r2 + 1.0 / 6.0;
  return r - (p * r2) * r;
}

double cospoly(double r) {
  const double r2 = r * r;
  double p = 1.0 / 6402373705728000.0;  // 1/18!
  p = p * r2 - 1.0 / 20922789888000.0;
  p = p * r2 + 1.0 / 87178291200.0;
  p = p * r2 - 1.0 / 479001600.0;
  p = p * r2 + 1.0 / 3628800.0;
  p = p * r2 - 1.0 / 40320.0;
  p = p * r2 + 1.0 / 720.0;
  p = p * r2 - 1.0 / 24.0;
  p = p * r2 + 0.5;
  return 1.0 - p * r2;
}

}  // namespace

VALLISYNTH_MULTIARCH void expvector(std::span<const double> x, std::span<double> y) {
  const std::size_t n = x.size();
  for (std::size_t i = 0; i < n; ++i) {
    // Beyond the clamp the result has overflowed to infinity or underflowed
    // to 0 anyway; NaN passes through.
    const double v = clamp(x[i], kExpLimit);
    const double k = roundnearest(v * kLog2e);
    const double r = (v - k * kLn2Hi) - k * kLn2Lo;
    // 2^k as 2^k1 2^k2, both normal numbers, so that results near overflow
    // and subnormal results come out right from the products.
    const double k1 = roundnearest(0.5 * k);
    const double k2 = k - k1;
    y[i] = (exppoly(r) * powtwo(k1)) * powtwo(k2);
  }
}

VALLISYNTH_MULTIARCH void sincosvector(std::span<const double> x, std::span<double> c,
                                       std::span<double> s) {
  const std::size_t n = x.size();
  unsigned outside = 0;  // whether any argument is beyond the fast range or NaN
  for (std::size_t i = 0; i < n; ++i) {
    outside |= static_cast<unsigned>(!(std::fabs(x[i]) <= kTrigLimit));
    const double v = clamp(x[i], kTrigLimit);
    // q = v 2/pi rounded; its low bits, read from the rounding sum, give
    // the quadrant q mod 4 (also for negative q).
    const double t = v * kTwoOverPi + kRoundMagic;
    const double q = t - kRoundMagic;
    const std::uint64_t quadrant = std::bit_cast<std::uint64_t>(t);
    const double r = ((v - q * kPio2Hi) - q * kPio2Mid) - q * kPio2Lo;
    const double sr = sinpoly(r);
    const double cr = cospoly(r);
    // Odd quadrants swap sine and cosine; the sine is negative in quadrants
    // 2 and 3, the cosine in 1 and 2: bit 1 of q, of q + 1, to the sign.
    const bool odd = (quadrant & 1u) != 0;
    const std::uint64_t sv = std::bit_cast<std::uint64_t>(odd ? cr : sr);
    const std::uint64_t cv = std::bit_cast<std::uint64_t>(odd ? sr : cr);
    s[i] = std::bit_cast<double>(sv ^ ((quadrant & 2u) << 62));
    c[i] = std::bit_cast<double>(cv ^ (((quadrant + 1u) & 2u) << 62));
  }
  for (std::size_t i = 0; outside != 0 && i < n; ++i) {
    if (!(std::fabs(x[i]) <= kTrigLimit)) {
      c[i] = std::cos(x[i]);
      s[i] = std::sin(x[i]);
    }
  }
}

}  // namespace vallisynth
