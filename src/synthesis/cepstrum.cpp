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
constexpr std::size_t kRowBlock = 64;  // rows of a harmonic matrix whose angles go together
constexpr std::size_t kRowSets = 2;    // sets of lanes of rows rotated side by side
constexpr std::size_t kRowGroup = kRowSets * kLaneCount;
}  // namespace

std::uint32_t count_harmonics(double fs, double fv, double f0) {
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

namespace {

// Walks the entries of the harmonic matrices a and b of harmonic_cepstral_matrices,
// kRowGroup rows at a time in kRowSets sets of lanes (two independent
// rotation chains in flight): visit(i0, rows, j, cj, sj) receives cos(j w)
// and sin(j w) of rows i0 + l, l < rows, in cj[l / 4][l % 4] and sj
// likewise, for j = 0..cols-1 in increasing order. The entries are
// a[i][0] = 1, b[i][0] = 0, and a[i][j] = 2 cos(j w), b[i][j] = -2 sin(j w)
// from j = 1 on. After a group's last column, finish(i0, rows). Rows go in blocks of
// kRowBlock, whose angles' cosines and sines come from one vector
// evaluation. (Inlined into each instruction-set clone of its callers.)
template <typename Visit, typename Finish>
__attribute__((always_inline)) inline void forharmonicentries(std::size_t cols, std::uint32_t n,
                                                              double f0, double fs, double alpha,
                                                              Visit&& visit, Finish&& finish) {
  const double spacing = kTwoPi * f0 / fs;
  const Lanes one = {1.0, 1.0, 1.0, 1.0};
  const Lanes zero = {0.0, 0.0, 0.0, 0.0};
  for (std::size_t b0 = 0; b0 < n; b0 += kRowBlock) {
    const std::size_t rows = std::min<std::size_t>(kRowBlock, n - b0);
    // Angles of the block's rows, padded with zeros to whole groups.
    const std::size_t padded = (rows + kRowGroup - 1) / kRowGroup * kRowGroup;
    double w[kRowBlock];
    double cv[kRowBlock];
    double sv[kRowBlock];
    for (std::size_t l = 0; l < rows; ++l) {
      w[l] = static_cast<double>(b0 + l + 1) * spacing;
    }
    std::fill(w + rows, w + padded, 0.0);
    // Harmonics below half the sampling rate have angles below pi: their
    // sines and cosines need no check for arguments out of range.
    if (static_cast<double>(b0 + rows) * spacing <= kTwoPi) {
      sincos_phases(std::span<const double>(w, padded), cv, sv);
    } else {
      sincos_vector(std::span<const double>(w, padded), cv, sv);
    }
    // Each row's angle is warped; the rotation needs only the warped angle's
    // cosine and sine, which are those of the point (x, y) whose angle fwarp
    // takes: x / r and y / r, r = sqrt(x^2 + y^2). (The warped angle lies in
    // (0, pi), so r > 0; a point at the origin would be the angle 0.)
    for (std::size_t l = 0; l < padded; ++l) {
      double x = 0.0;
      double y = 0.0;
      warp_frequency_point(cv[l], sv[l], alpha, x, y);
      const double r = std::sqrt(x * x + y * y);
      cv[l] = r > 0.0 ? x / r : 1.0;
      sv[l] = r > 0.0 ? y / r : 0.0;
    }
    for (std::size_t l0 = 0; l0 < rows; l0 += kRowGroup) {
      Lanes cw[kRowSets];
      Lanes sw[kRowSets];
      Lanes re[kRowSets];
      Lanes im[kRowSets];
      for (std::size_t v = 0; v < kRowSets; ++v) {
        loadlanes(cw[v], cv + l0 + v * kLaneCount);
        loadlanes(sw[v], sv + l0 + v * kLaneCount);
        re[v] = one;
        im[v] = zero;
      }
      const std::size_t i0 = b0 + l0;
      const std::size_t group = std::min<std::size_t>(kRowGroup, rows - l0);
      visit(i0, group, 0, re, im);
      // cos(j w), sin(j w) by rotating a unit vector by w once per column.
      for (std::size_t j = 1; j < cols; ++j) {
        for (std::size_t v = 0; v < kRowSets; ++v) {
          const Lanes nre = re[v] * cw[v] - im[v] * sw[v];
          im[v] = im[v] * cw[v] + re[v] * sw[v];
          re[v] = nre;
        }
        visit(i0, group, j, re, im);
      }
      finish(i0, group);
    }
  }
}

using LaneSets = Lanes[kRowSets];

}  // namespace

VALLISYNTH_MULTIARCH int harmonic_cepstral_matrices(std::uint32_t order, std::uint32_t n, double f0,
                                                    double fs, double alpha, std::span<double> a,
                                                    std::span<double> b) {
  const std::size_t cols = std::size_t{order} + 1u;
  const bool phase = !b.empty();
  if (a.empty() || a.size() / cols < n || (phase && b.size() / cols < n)) {
    return -1;
  }
  forharmonicentries(
      cols, n, f0, fs, alpha,
      [&](std::size_t i0, std::size_t rows, std::size_t j, const LaneSets& cj, const LaneSets& sj) {
        for (std::size_t l = 0; l < rows; ++l) {
          const double cosine = cj[l / kLaneCount][l % kLaneCount];
          const double sine = sj[l / kLaneCount][l % kLaneCount];
          a[(i0 + l) * cols + j] = j == 0 ? 1.0 : cosine + cosine;
          if (phase) {
            b[(i0 + l) * cols + j] = j == 0 ? 0.0 : -2.0 * sine;
          }
        }
      },
      [](std::size_t, std::size_t) {});
  return 0;
}

// The matrices' rows are consumed as they are made: each lane sums its
// row's products with c from 0 in increasing j, as matrix_product does.
// From j = 1 on, the product of an entry 2 cos(j w) with c[j] is formed as
// cos(j w) times 2 c[j]: scaling by 2 is exact, so the products are the
// same numbers. The phase sums take sin(j w) times 2 c[j], the negated
// products of -2 sin(j w) c[j]: rounding is symmetric about 0, so every
// partial sum is the negated one, and 0 - sum gives the phase (an exact 0
// as +0, as the sum of the negated products gives it).
VALLISYNTH_MULTIARCH int harmonic_amplitudes_phases(std::uint32_t order, std::uint32_t n, double f0,
                                                    double fs, double alpha,
                                                    std::span<const double> c,
                                                    std::span<double> amp,
                                                    std::span<double> phase) {
  const std::size_t cols = std::size_t{order} + 1u;
  if (c.size() < cols || amp.size() < n || phase.size() < n) {
    return -1;
  }
  Lanes sa[kRowSets] = {};
  Lanes sb[kRowSets] = {};
  forharmonicentries(
      cols, n, f0, fs, alpha,
      [&](std::size_t, std::size_t, std::size_t j, const LaneSets& cj, const LaneSets& sj) {
        if (j == 0) {
          for (std::size_t v = 0; v < kRowSets; ++v) {
            sa[v] = Lanes{} + cj[v] * c[0];
            sb[v] = -(Lanes{} + sj[v] * c[0]);
          }
        } else {
          const double twice = c[j] + c[j];
          for (std::size_t v = 0; v < kRowSets; ++v) {
            sa[v] = sa[v] + cj[v] * twice;
            sb[v] = sb[v] + sj[v] * twice;
          }
        }
      },
      [&](std::size_t i0, std::size_t rows) {
        for (std::size_t v = 0; v < kRowSets; ++v) {
          sb[v] = Lanes{} - sb[v];
        }
        if (rows == kRowGroup) {
          for (std::size_t v = 0; v < kRowSets; ++v) {
            storelanes(amp.data() + i0 + v * kLaneCount, sa[v]);
            storelanes(phase.data() + i0 + v * kLaneCount, sb[v]);
          }
          return;
        }
        for (std::size_t l = 0; l < rows; ++l) {
          amp[i0 + l] = sa[l / kLaneCount][l % kLaneCount];
          phase[i0 + l] = sb[l / kLaneCount][l % kLaneCount];
        }
      });
  return 0;
}

namespace {

// out[v * 4 + l] = sum over j of row[j] cols[j * stride + v * 4 + l] for
// Sets sets of lanes, summed from 0 in increasing j as matrix_product sums a
// matrix-vector product; the sums stay in registers over the whole row.
template <std::size_t Sets>
__attribute__((always_inline)) inline void sumcolumns(std::span<const double> row,
                                                      const double* cols, std::size_t stride,
                                                      double* out) {
  Lanes acc[Sets] = {};
  for (std::size_t j = 0; j < row.size(); ++j) {
    const double* cj = cols + j * stride;
#pragma GCC unroll 16
    for (std::size_t v = 0; v < Sets; ++v) {
      Lanes c;
      loadlanes(c, cj + v * kLaneCount);
      acc[v] = acc[v] + row[j] * c;
    }
  }
#pragma GCC unroll 16
  for (std::size_t v = 0; v < Sets; ++v) {
    storelanes(out + v * kLaneCount, acc[v]);
  }
}

}  // namespace

// 40 points per pass (eleven of the sixteen vector registers), then 32,
// 16, 8 and 4.
VALLISYNTH_MULTIARCH void row_times_columns(std::span<const double> row, const double* cols,
                                            std::size_t stride, double* out) {
  std::size_t i = 0;
  for (; i + 10 * kLaneCount <= stride; i += 10 * kLaneCount) {
    sumcolumns<10>(row, cols + i, stride, out + i);
  }
  if (i + 8 * kLaneCount <= stride) {
    sumcolumns<8>(row, cols + i, stride, out + i);
    i += 8 * kLaneCount;
  }
  if (i + 4 * kLaneCount <= stride) {
    sumcolumns<4>(row, cols + i, stride, out + i);
    i += 4 * kLaneCount;
  }
  if (i + 2 * kLaneCount <= stride) {
    sumcolumns<2>(row, cols + i, stride, out + i);
    i += 2 * kLaneCount;
  }
  if (i < stride) {
    sumcolumns<1>(row, cols + i, stride, out + i);
  }
}

// Every C[i][j] starts at 0 and takes its products in increasing k. With a
// single result column (matrix times vector) four rows go at a time, one per
// lane, their sums side by side; a last partial block repeats its final row
// in the spare lanes and stores only the real rows. With several columns
// the loop over j is innermost, so that a row of B is used contiguously.
VALLISYNTH_MULTIARCH void matrix_product(std::span<const double> a, std::span<const double> b,
                                         std::span<double> c, std::uint32_t m, std::uint32_t n,
                                         std::uint32_t p) {
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
    return;
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
}

}  // namespace vallisynth
