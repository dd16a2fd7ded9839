#include "conditioning/finite.h"

#include <cmath>

#include "dsp/lanes.h"

namespace vallisynth {

namespace {
// log(DBL_MAX): the largest log-f0 whose exponential is finite.
constexpr double kMaxLogF0 = 709.782712893384;
}  // namespace

bool has_finite_f0(double lf0) {
  return std::isfinite(lf0) && lf0 <= kMaxLogF0;
}

// Four values a step: v - v is 0 for a finite v and NaN for NaN and the
// infinities, so a sum of such differences is 0 exactly when all are
// finite (a NaN, once in, stays).
VALLISYNTH_MULTIARCH bool is_finite_row(std::span<const double> row) {
  Lanes sums = {};
  std::size_t i = 0;
  for (; i + kLaneCount <= row.size(); i += kLaneCount) {
    Lanes v;
    loadlanes(v, row.data() + i);
    sums = sums + (v - v);
  }
  double sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
  for (; i < row.size(); ++i) {
    sum += row[i] - row[i];
  }
  return sum == 0.0;
}

std::uint64_t count_nonfinite_rows(std::span<const double> lf0, std::span<const double> cc,
                                   std::size_t rowlen, std::span<const double> fv) {
  std::uint64_t count = 0;
  for (std::size_t k = 0; k < lf0.size(); ++k) {
    const bool bad = !has_finite_f0(lf0[k]) || !is_finite_row(cc.subspan(k * rowlen, rowlen)) ||
                     (k < fv.size() && !std::isfinite(fv[k]));
    count += bad ? 1u : 0u;
  }
  return count;
}

}  // namespace vallisynth
