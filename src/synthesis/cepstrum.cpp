#include "synthesis/cepstrum.h"

#include <cmath>

#include "conditioning/warping.h"

namespace vallisynth {

namespace {
constexpr double kTwoPi = 6.283185307179586;
}  // namespace

std::uint32_t hanoharms(double fs, double fv, double f0) {
  const double half = 0.5 * fs;
  // Written so that NaN in any argument gives no harmonics.
  if (!(f0 > 0.0) || !(f0 < fv) || !(f0 < half)) {
    return 0;
  }
  const double limit = fv > half ? half : fv;
  // A multiple that falls exactly on the limit is not counted.
  const double count = std::ceil(limit / f0) - 1.0;
  if (count >= 4294967295.0) {
    return 0xFFFFFFFFu;
  }
  return static_cast<std::uint32_t>(count);
}

int matccharmonic(std::uint32_t order, std::uint32_t n, double f0, double fs, double alpha,
                  std::span<double> a, std::span<double> b) {
  const std::size_t cols = std::size_t{order} + 1u;
  const bool phase = !b.empty();
  if (a.empty() || a.size() / cols < n || (phase && b.size() / cols < n)) {
    return -1;
  }
  const double spacing = kTwoPi * f0 / fs;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = fwarp(static_cast<double>(i + 1) * spacing, alpha);
    const double cw = std::cos(w);
    const double sw = std::sin(w);
    double* arow = a.data() + i * cols;
    double* brow = phase ? b.data() + i * cols : nullptr;
    arow[0] = 1.0;
    if (phase) {
      brow[0] = 0.0;
    }
    // cos(j w), sin(j w) by rotating a unit vector by w once per column.
    double re = 1.0;
    double im = 0.0;
    for (std::size_t j = 1; j < cols; ++j) {
      const double nre = re * cw - im * sw;
      im = im * cw + re * sw;
      re = nre;
      arow[j] = re + re;
      if (phase) {
        brow[j] = -2.0 * im;
      }
    }
  }
  return 0;
}

int prodmat(std::span<const double> a, std::span<const double> b, std::span<double> c,
            std::uint32_t m, std::uint32_t n, std::uint32_t p) {
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < p; ++j) {
      double acc = 0.0;
      for (std::size_t k = 0; k < n; ++k) {
        acc += a[i * n + k] * b[k * p + j];
      }
      c[i * p + j] = acc;
    }
  }
  return 0;
}

}  // namespace vallisynth
