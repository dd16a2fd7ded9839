#include "dsp/fft.h"

#include <bit>
#include <cmath>
#include <utility>

namespace vallisynth {

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::size_t reversebits(std::size_t i, int bits) {
  std::size_t r = 0;
  for (int b = 0; b < bits; ++b) {
    r = (r << 1) | ((i >> b) & 1u);
  }
  return r;
}

}  // namespace

int dofftr(std::span<double> re, std::span<double> im, std::int8_t direction) {
  const std::size_t n = re.size();
  if (im.size() != n || !std::has_single_bit(n)) {
    return -1;
  }
  const int bits = std::countr_zero(n);  // log2 N

  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t r = reversebits(i, bits);
    if (r > i) {
      std::swap(re[i], re[r]);
      std::swap(im[i], im[r]);
    }
  }

  // Decimation in time. The twiddle of each stage comes from a rotation
  // recurrence started at 1, with one cos/sin pair per stage; the recurrence
  // values are part of the output's exact rounding.
  const double sign = direction == -1 ? 1.0 : -1.0;
  for (std::size_t span = 2, half = 1; span <= n; half = span, span *= 2) {
    const double theta = sign * kTwoPi / static_cast<double>(span);
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    double wr = 1.0;
    double wi = 0.0;
    for (std::size_t j = 0; j < half; ++j) {
      for (std::size_t m = 0; m < n; m += span) {
        const std::size_t p = m + j;
        const std::size_t q = p + half;
        const double tre = re[q] * wr - im[q] * wi;
        const double tim = re[q] * wi + im[q] * wr;
        re[q] = re[p] - tre;
        im[q] = im[p] - tim;
        re[p] = re[p] + tre;
        im[p] = im[p] + tim;
      }
      const double nwr = wr * c - wi * s;
      wi = wr * s + wi * c;
      wr = nwr;
    }
  }
  return 0;
}

int fftr(std::span<double> re, std::span<double> im) {
  return dofftr(re, im, 1);
}

int ifftr(std::span<double> re, std::span<double> im) {
  return dofftr(re, im, -1);
}

}  // namespace vallisynth
