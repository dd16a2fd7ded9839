#include "conditioning/finite.h"

#include <cmath>

namespace vallisynth {

namespace {
// log(DBL_MAX): the largest log-f0 whose exponential is finite.
constexpr double kMaxLogF0 = 709.782712893384;
}  // namespace

bool has_finite_f0(double lf0) {
  return std::isfinite(lf0) && lf0 <= kMaxLogF0;
}

bool is_finite_row(std::span<const double> row) {
  for (const double v : row) {
    if (!std::isfinite(v)) {
      return false;
    }
  }
  return true;
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
