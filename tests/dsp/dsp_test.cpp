#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/fastmath.h"
#include "dsp/fft.h"

namespace vallisynth {
namespace {

// Both directions against the defining sum; a plan, which holds what the
// transform derives on each call, gives the same bits (its bit-reversed
// entry is checked by the noise's planned frames). Other lengths are
// refused, the data untouched.
TEST(Fft, BothDirectionsMatchTheDirectSumPlannedOrNot) {
  using C = std::complex<double>;
  std::mt19937 gen(12345);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (const std::size_t n : {1u, 2u, 4u, 16u, 128u, 1024u}) {
    for (const std::int8_t direction : {std::int8_t{1}, std::int8_t{-1}}) {
      std::vector<double> re(n), im(n);
      std::generate(re.begin(), re.end(), [&] { return dist(gen); });
      std::generate(im.begin(), im.end(), [&] { return dist(gen); });
      // The defining sum, with k t reduced modulo N to keep the angle exact.
      const double w = -direction * 2.0 * std::numbers::pi / double(n);
      std::vector<C> ref(n);
      for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t t = 0; t < n; ++t) {
          ref[k] += C(re[t], im[t]) * std::polar(1.0, w * double((k * t) % n));
        }
      }
      std::vector<double> pre = re, pim = im;
      const FftPlan plan(n, direction);
      ASSERT_EQ(complex_fft(re, im, direction), 0);
      ASSERT_EQ(complex_fft(pre, pim, plan), 0);
      for (std::size_t k = 0; k < n; ++k) {
        ASSERT_LT(std::abs(ref[k] - C(re[k], im[k])), 1e-9) << n << ' ' << int{direction};
      }
      EXPECT_TRUE(re == pre && im == pim) << n;
    }
  }
  for (const std::size_t n : {0u, 3u, 12u, 100u, 8u}) {
    std::vector<double> re(n, 1.5), im(n == 8 ? 4 : n, -2.5);  // 8 and 4 do not match
    EXPECT_EQ(forward_fft(re, im), -1) << n;
    EXPECT_EQ(re, std::vector<double>(n, 1.5));
  }
  std::vector<double> re(8, 1.0), im(8, 1.0);
  EXPECT_EQ(complex_fft(re, im, FftPlan(16, 1)), -1);
  EXPECT_EQ(complex_fft(re, im, FftPlan(12, 1)), -1);
  EXPECT_EQ(re, std::vector<double>(8, 1.0));
}

// Absolute error, or in units of the last place of want; NaN unless both or
// neither are NaN.
double error(double got, double want, bool inulps) {
  const double unit = inulps ? std::fabs(std::nextafter(want, INFINITY) - want) : 1.0;
  return got == want || (std::isnan(got) && std::isnan(want)) ? 0.0 : std::fabs(got - want) / unit;
}

// An odd-length sweep (the vector loops' remainders) over the exponential's
// range (to 705), the sine's fast range (to 9.9e7) and its quadrant
// boundaries, then overflow, denormal and zero results, non-numbers and
// arguments beyond the fast range, where the library's functions take over.
TEST(FastMath, FollowsTheLibrary) {
  std::vector<double> x = {709.78,    709.79, 1e300, INFINITY, -745.0, -746.0,
                           -INFINITY, -0.0,   1.5e8, -3e15,    NAN,    0.5};
  for (int i = -50000; i <= 50000; ++i) {
    const double quadrant = i * 1.5707963267948966;
    x.insert(x.end(), {i * 0.0141, i * 1979.3, std::nextafter(quadrant, -INFINITY), quadrant,
                       std::nextafter(quadrant, INFINITY)});
  }
  std::vector<double> e(x.size()), c(x.size()), s(x.size());
  exp_vector(x, e);
  sincos_vector(x, c, s);
  std::vector<double> inplace = x;
  exp_vector(inplace, inplace);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double want = std::exp(x[i]);
    EXPECT_LE(error(e[i], want, true), want < 2.2250738585072014e-308 ? 1.0 : 2.0) << x[i];
    EXPECT_EQ(std::bit_cast<std::uint64_t>(inplace[i]), std::bit_cast<std::uint64_t>(e[i])) << x[i];
    // Absolute error: near a zero of sine or cosine a relative measure says
    // nothing about the phase accuracy that the synthesis needs.
    EXPECT_LE(error(c[i], std::cos(x[i]), false), 3e-16) << x[i];
    EXPECT_LE(error(s[i], std::sin(x[i]), false), 3e-16) << x[i];
  }
  // Arrays whose results are all normal numbers take the exponential's
  // short path: the same values.
  std::vector<double> normal;
  std::vector<double> general;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::fabs(x[i]) <= 708.0) {
      normal.push_back(x[i]);
      general.push_back(e[i]);
    }
  }
  std::vector<double> fast(normal.size());
  exp_vector(normal, fast);
  EXPECT_EQ(fast, general);
  // Phases in [0, 2 pi], the range the unchecked evaluation is for, with
  // its ends and the quadrant boundaries: the same values.
  std::vector<double> phases;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] >= 0.0 && x[i] <= 6.283185307179586) {
      phases.push_back(x[i]);
    }
  }
  phases.insert(phases.end(), {0.0, 6.283185307179586, 2.925836159896768e-09});
  std::vector<double> pc(phases.size()), ps(phases.size()), vc(phases.size()), vs(phases.size());
  sincos_phases(phases, pc, ps);
  sincos_vector(phases, vc, vs);
  EXPECT_EQ(pc, vc);
  EXPECT_EQ(ps, vs);
  // The polar spectrum: the same bits as the exponential, the sines and
  // cosines and the products, in place too, with log amplitudes in and out
  // of the normal range.
  for (const bool normalonly : {true, false}) {
    std::vector<double> loga(phases.size());
    for (std::size_t i = 0; i < loga.size(); ++i) {
      loga[i] = normalonly ? normal[(i * 7919) % normal.size()] : x[(i * 7919) % x.size()];
    }
    std::vector<double> amp(loga.size()), re(loga.size()), im(loga.size());
    exp_vector(loga, amp);
    polar_from_log(loga, phases, 0.75, re, im);
    std::vector<double> inre = loga, inim = phases;
    polar_from_log(inre, inim, 0.75, inre, inim);
    const auto same = [](double got, double want) {
      return std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want) ||
             (std::isnan(got) && std::isnan(want));
    };
    for (std::size_t i = 0; i < loga.size(); ++i) {
      const double a = amp[i] * 0.75;
      EXPECT_TRUE(same(re[i], a * pc[i]) && same(inre[i], a * pc[i])) << loga[i] << ' ' << i;
      EXPECT_TRUE(same(im[i], a * ps[i]) && same(inim[i], a * ps[i])) << loga[i] << ' ' << i;
    }
  }
}

}  // namespace
}  // namespace vallisynth
