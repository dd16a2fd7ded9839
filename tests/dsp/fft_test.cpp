#include "dsp/fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace vallisynth {

TEST(Fft, BothDirectionsMatchTheDirectSum) {
  using C = std::complex<double>;
  std::mt19937 gen(12345);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (const std::size_t n : {1u, 2u, 8u, 64u, 1024u}) {
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
      ASSERT_EQ(dofftr(re, im, direction), 0);
      for (std::size_t k = 0; k < n; ++k) {
        ASSERT_LT(std::abs(ref[k] - C(re[k], im[k])), 1e-9) << n << ' ' << int{direction};
      }
    }
  }
}

TEST(Fft, RejectsOtherLengthsUntouched) {
  for (const std::size_t n : {0u, 3u, 12u, 100u, 8u}) {
    std::vector<double> re(n, 1.5), im(n == 8 ? 4 : n, -2.5);  // 8 and 4 do not match
    EXPECT_EQ(fftr(re, im), -1) << n;
    EXPECT_EQ(re, std::vector<double>(n, 1.5));
  }
}

}  // namespace vallisynth
