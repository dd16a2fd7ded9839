#include "synthesis/cepstrum.h"

#include <algorithm>
#include <cmath>

#include "conditioning/warping.h"
#include "dsp/fastmath.h"
#include "dsp/lanes.h"

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

// Rows go four at a time, one per lane: the warped angles' cosines and sines
// come from one vector evaluation, and the four rotations run side by side.
__attribute__((target_clones("arch=x86-64-v3", "default"))) int matccharmonic(
    std::uint32_t order, std::uint32_t n, double f0, double fs, double alpha, std::span<double> a,
    std::span<double> b) {
  const std::size_t cols = std::size_t{order} + 1u;
  const bool phase = !b.empty();
  if (a.empty() || a.size() / cols < n || (phase && b.size() / cols < n)) {
    return -1;
  }
  const double spacing = kTwoPi * f0 / fs;
  for (std::size_t i0 = 0; i0 < n; i0 += kLaneCount) {
    const std::size_t rows = std::min<std::size_t>(kLaneCount, n - i0);
    double w[kLaneCount] = {};
    for (std::size_t l = 0; l < rows; ++l) {
      w[l] = fwarp(static_cast<double>(i0 + l + 1) * spacing, alpha);
    }
    Lanes cw;
    Lanes sw;
    {
      double cv[kLaneCount];
      double sv[kLaneCount];
      sincosvector(w, cv, sv);
      loadlanes(cw, cv);
      loadlanes(sw, sv);
    }
    for (std::size_t l = 0; l < rows; ++l) {
      a[(i0 + l) * cols] = 1.0;
      if (phase) {
        b[(i0 + l) * cols] = 0.0;
      }
    }
    // cos(j w), sin(j w) by rotating a unit vector by w once per column.
    Lanes re = {1.0, 1.0, 1.0, 1.0};
    Lanes im = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = 1; j < cols; ++j) {
      const Lanes nre = re * cw - im * sw;
      im = im * cw + re * sw;
      re = nre;
      const Lanes av = re + re;
      const Lanes bv = -2.0 * im;
      for (std::size_t l = 0; l < rows; ++l) {
        a[(i0 + l) * cols + j] = av[l];
        if (phase) {
          b[(i0 + l) * cols + j] = bv[l];
        }
      }
    }
  }
  return 0;
}

// Four result rows at a time, one per lane: each lane still sums its row in
// increasing k, and the four sums proceed side by side. A last partial block
// repeats its final row in the spare lanes and stores only the real rows.
__attribute__((target_clones("arch=x86-64-v3", "default"))) int prodmat(
    std::span<const double> a, std::span<const double> b, std::span<double> c, std::uint32_t m,
    std::uint32_t n, std::uint32_t p) {
  for (std::size_t i = 0; i < m; i += kLaneCount) {
    const std::size_t rows = std::min<std::size_t>(kLaneCount, m - i);
    const double* r[kLaneCount];
    for (std::size_t l = 0; l < kLaneCount; ++l) {
      r[l] = a.data() + (i + std::min(l, rows - 1)) * n;
    }
    for (std::size_t j = 0; j < p; ++j) {
      Lanes acc = {0.0, 0.0, 0.0, 0.0};
      for (std::size_t k = 0; k < n; ++k) {
        const Lanes v = {r[0][k], r[1][k], r[2][k], r[3][k]};
        acc = acc + v * b[k * p + j];
      }
      for (std::size_t l = 0; l < rows; ++l) {
        c[(i + l) * p + j] = acc[l];
      }
    }
  }
  return 0;
}

}  // namespace vallisynth
