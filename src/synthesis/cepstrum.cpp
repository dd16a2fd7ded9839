#include "synthesis/cepstrum.h"

#include <algorithm>
#include <cmath>

#include "conditioning/warping.h"
#include "dsp/fastmath.h"
#include "dsp/lanes.h"

namespace vallisynth {

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr std::size_t kColumnLanes = 4;  // sets of lanes of result columns summed side by side
constexpr std::size_t kColumnBlock = kColumnLanes * kLaneCount;
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
    // Each row's angle is warped (fwarp from the angle's cosine and sine),
    // then the warped angle's own cosine and sine start the rotation.
    double w[kLaneCount] = {};
    double cv[kLaneCount];
    double sv[kLaneCount];
    for (std::size_t l = 0; l < rows; ++l) {
      w[l] = static_cast<double>(i0 + l + 1) * spacing;
    }
    sincosvector(w, cv, sv);
    for (std::size_t l = 0; l < rows; ++l) {
      w[l] = fwarpcs(cv[l], sv[l], alpha);
    }
    sincosvector(w, cv, sv);
    Lanes cw;
    Lanes sw;
    loadlanes(cw, cv);
    loadlanes(sw, sv);
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

// Every C[i][j] starts at 0 and takes its products in increasing k. With a
// single result column (matrix times vector) four rows go at a time, one per
// lane, their sums side by side; a last partial block repeats its final row
// in the spare lanes and stores only the real rows. With several columns
// the loop over j is innermost, so that a row of B is used contiguously.
__attribute__((target_clones("arch=x86-64-v3", "default"))) int prodmat(
    std::span<const double> a, std::span<const double> b, std::span<double> c, std::uint32_t m,
    std::uint32_t n, std::uint32_t p) {
  if (p != 1) {
    // Columns go kColumnBlock at a time, their sums held in registers. A
    // last partial block is moved back to end at column p: the columns it
    // shares with the block before are recomputed to the same values.
    for (std::size_t i = 0; i < m; ++i) {
      const double* ai = a.data() + i * n;
      double* ci = c.data() + i * p;
      if (p < kColumnBlock) {
        std::fill(ci, ci + p, 0.0);
        for (std::size_t k = 0; k < n; ++k) {
          for (std::size_t j = 0; j < p; ++j) {
            ci[j] = ci[j] + ai[k] * b[k * p + j];
          }
        }
        continue;
      }
      for (std::size_t j0 = 0; j0 < p; j0 += kColumnBlock) {
        const std::size_t first = std::min(j0, p - kColumnBlock);
        Lanes acc[kColumnLanes] = {};
        for (std::size_t k = 0; k < n; ++k) {
          const double* bk = b.data() + k * p + first;
          for (std::size_t v = 0; v < kColumnLanes; ++v) {
            Lanes bv;
            loadlanes(bv, bk + v * kLaneCount);
            acc[v] = acc[v] + ai[k] * bv;
          }
        }
        for (std::size_t v = 0; v < kColumnLanes; ++v) {
          storelanes(ci + first + v * kLaneCount, acc[v]);
        }
      }
    }
    return 0;
  }
  for (std::size_t i = 0; i < m; i += kLaneCount) {
    const std::size_t rows = std::min<std::size_t>(kLaneCount, m - i);
    const double* r[kLaneCount];
    for (std::size_t l = 0; l < kLaneCount; ++l) {
      r[l] = a.data() + (i + std::min(l, rows - 1)) * n;
    }
    Lanes acc = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n; ++k) {
      const Lanes v = {r[0][k], r[1][k], r[2][k], r[3][k]};
      acc = acc + v * b[k];
    }
    for (std::size_t l = 0; l < rows; ++l) {
      c[i + l] = acc[l];
    }
  }
  return 0;
}

}  // namespace vallisynth
