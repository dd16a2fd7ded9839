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

double round_nearest(double v) {
  return (v + kRoundMagic) - kRoundMagic;
}

// 2^k for an integral k in -1022..1023: k + 1023 in the exponent field.
double pow_two(double k) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(k + (1023.0 + kRoundMagic)) << 52);
}

// exp: x = n ln 2 + r with |r| <= ln(2)/2, exp(x) = 2^n exp(r). ln 2 is split
// so that n times its leading part is exact for every n in range.
constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2Hi = 0.6931471803691238;  // 32 significant bits
constexpr double kLn2Lo = 1.9082149292705877e-10;
constexpr double kExpLimit = 746.0;   // exp overflows above 709.8, is 0 below -745.2
constexpr double kExpNormal = 708.0;  // within it 2^k and exp(x) are normal numbers

// sin, cos: x = q pi/2 + r with |r| <= pi/4; pi/2 in three parts of which
// the first two times any q below 2^26 are exact.
constexpr double kTwoOverPi = 0.6366197723675814;
constexpr double kPio2Hi = 1.570796325802803;       // 27 significant bits
constexpr double kPio2Mid = 9.920935739593517e-10;  // next 27 bits
constexpr double kPio2Lo = 5.721188726109832e-18;
constexpr double kTrigLimit = 1.0e8;  // q below 2^26

// Polynomials on the reduced ranges, their coefficients fitted in Chebyshev
// nodes (near-minimax) in 40-digit arithmetic and rounded to double. The
// terms of lowest degree are kept exact and added last; over each range
// the result is within 0.85 (exp), 0.8 (sin) and 1.07 (cos) units in the
// last place, measured against 40-digit values at 200000 points.

// x = k ln 2 + r: returns r, |r| <= ln(2)/2, and sets k.
double exp_reduce(double x, double& k) {
  k = round_nearest(x * kLog2e);
  return (x - k * kLn2Hi) - k * kLn2Lo;
}

// exp(r) = 1 + r + r^2 q(r), |r| <= ln(2)/2.
double exp_poly(double r) {
  double q = 2.5100375832561234e-08;
  q = q * r + 2.7620075879983367e-07;
  q = q * r + 2.7557268480310024e-06;
  q = q * r + 2.4801521322368692e-05;
  q = q * r + 0.00019841269863040545;
  q = q * r + 0.0013888888917196719;
  q = q * r + 0.008333333333330065;
  q = q * r + 0.041666666666624164;
  q = q * r + 0.16666666666666669;
  q = q * r + 0.5000000000000001;
  return 1.0 + (r + (r * r) * q);
}

// sin(r) = r + r^3 g(r^2), |r| <= pi/4.
double sin_poly(double r) {
  const double t = r * r;
  double g = 1.5918129294866608e-10;
  g = g * t - 2.5051131845003624e-08;
  g = g * t + 2.755731610255244e-06;
  g = g * t - 0.00019841269836758574;
  g = g * t + 0.008333333333330948;
  g = g * t - 0.16666666666666666;
  return r + (g * t) * r;
}

// cos(r) = 1 - r^2/2 + r^4 h(r^2), |r| <= pi/4.
double cos_poly(double r) {
  const double t = r * r;
  double h = -1.1382632425521717e-11;
  h = h * t + 2.08761462684032e-09;
  h = h * t - 2.7557317271729793e-07;
  h = h * t + 2.480158729876569e-05;
  h = h * t - 0.0013888888888887398;
  h = h * t + 0.041666666666666664;
  return 1.0 + t * (h * t - 0.5);
}

// exp(x) for x within +-708: one power of two scales the result out of
// the polynomial.
__attribute__((always_inline)) inline double exp_normal(double x) {
  double k = 0.0;
  const double r = exp_reduce(x, k);
  return exp_poly(r) * pow_two(k);
}

// exp(x) for any x. Beyond the clamp the result has overflowed to infinity
// or underflowed to 0 anyway; NaN passes through. 2^k goes as 2^k1 2^k2,
// both normal numbers, so that results near overflow and subnormal results
// come out right from the products.
__attribute__((always_inline)) inline double exp_general(double x) {
  double k = 0.0;
  const double r = exp_reduce(clamp(x, kExpLimit), k);
  const double k1 = round_nearest(0.5 * k);
  const double k2 = k - k1;
  return (exp_poly(r) * pow_two(k1)) * pow_two(k2);
}

// Whether any of x lies beyond +-708 or is NaN: a pass that picks the
// general loop or the one for normal results.
__attribute__((always_inline)) inline bool exp_outside_normal(std::span<const double> x) {
  std::uint64_t outside = 0;
#pragma GCC unroll 4
  for (const double v : x) {
    outside |= static_cast<std::uint64_t>(!(std::fabs(v) <= kExpNormal));
  }
  return outside != 0;
}

}  // namespace

VALLISYNTH_MULTIARCH void exp_vector(std::span<const double> x, std::span<double> y) {
  const std::size_t n = x.size();
  if (!exp_outside_normal(x)) {
    for (std::size_t i = 0; i < n; ++i) {
      y[i] = exp_normal(x[i]);
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = exp_general(x[i]);
  }
}

namespace {

// cos and sin of v, |v| below 1e8.
__attribute__((always_inline)) inline void sincos_one(double v, double& c, double& s) {
  // q = v 2/pi rounded; its low bits, read from the rounding sum, give
  // the quadrant q mod 4 (also for negative q).
  const double t = v * kTwoOverPi + kRoundMagic;
  const double q = t - kRoundMagic;
  const std::uint64_t quadrant = std::bit_cast<std::uint64_t>(t);
  const double r = ((v - q * kPio2Hi) - q * kPio2Mid) - q * kPio2Lo;
  const double sr = sin_poly(r);
  const double cr = cos_poly(r);
  // Odd quadrants swap sine and cosine; the sine is negative in quadrants
  // 2 and 3, the cosine in 1 and 2: bit 1 of q, of q + 1, to the sign.
  const bool odd = (quadrant & 1u) != 0;
  const std::uint64_t sv = std::bit_cast<std::uint64_t>(odd ? cr : sr);
  const std::uint64_t cv = std::bit_cast<std::uint64_t>(odd ? sr : cr);
  s = std::bit_cast<double>(sv ^ ((quadrant & 2u) << 62));
  c = std::bit_cast<double>(cv ^ (((quadrant + 1u) & 2u) << 62));
}

// The fast evaluation of sincos_vector; with Checked, whether any argument
// is beyond the fast range or NaN (those give garbage here).
template <bool Checked>
__attribute__((always_inline)) inline bool sincos_fast(std::span<const double> x,
                                                       std::span<double> c, std::span<double> s) {
  const std::size_t n = x.size();
  std::uint64_t outside = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = x[i];
    if constexpr (Checked) {
      outside |= static_cast<std::uint64_t>(!(std::fabs(v) <= kTrigLimit));
    }
    sincos_one(v, c[i], s[i]);
  }
  return outside != 0;
}

}  // namespace

VALLISYNTH_MULTIARCH void sincos_vector(std::span<const double> x, std::span<double> c,
                                        std::span<double> s) {
  if (!sincos_fast<true>(x, c, s)) {
    return;
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!(std::fabs(x[i]) <= kTrigLimit)) {
      c[i] = std::cos(x[i]);
      s[i] = std::sin(x[i]);
    }
  }
}

VALLISYNTH_MULTIARCH void sincos_phases(std::span<const double> x, std::span<double> c,
                                        std::span<double> s) {
  sincos_fast<false>(x, c, s);
}

namespace {

// polar_from_log's loop, with the exponential for arguments within +-708
// (Normal) or for any.
template <bool Normal>
__attribute__((always_inline)) inline void polar_entries(std::span<const double> logamp,
                                                         std::span<const double> phase, double gain,
                                                         std::span<double> re,
                                                         std::span<double> im) {
  for (std::size_t i = 0; i < logamp.size(); ++i) {
    const double a = (Normal ? exp_normal(logamp[i]) : exp_general(logamp[i])) * gain;
    double c = 0.0;
    double s = 0.0;
    sincos_one(phase[i], c, s);
    im[i] = a * s;
    re[i] = a * c;
  }
}

}  // namespace

// One loop: the exponential, the sine and cosine and the products of each
// entry go through registers only.
VALLISYNTH_MULTIARCH void polar_from_log(std::span<const double> logamp,
                                         std::span<const double> phase, double gain,
                                         std::span<double> re, std::span<double> im) {
  if (!exp_outside_normal(logamp)) {
    polar_entries<true>(logamp, phase, gain, re, im);
  } else {
    polar_entries<false>(logamp, phase, gain, re, im);
  }
}

}  // namespace vallisynth
