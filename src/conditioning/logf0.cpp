#include "conditioning/logf0.h"

#include <cmath>
#include <cstdint>

#include "conditioning/finite.h"

namespace vallisynth {

namespace {
bool is_voiced(double lf0) {
  return lf0 > kUnvoicedLogF0;
}
}  // namespace

void shift_lf0(std::span<double> lf0, double shift) {
  if (shift == 0.0) {
    return;
  }
  for (double& v : lf0) {
    if (is_voiced(v)) {
      v = v + shift;
    }
  }
}

void add_lf0_sum(std::span<const double> lf0, double& sum, std::uint64_t& count) {
  // A frame whose log-f0 or f0 is not finite stays out of the mean (and is
  // left as it is, unvoiced later): one bad frame must not move the others.
  for (const double v : lf0) {
    if (is_voiced(v) && has_finite_f0(v)) {
      sum += v;
      ++count;
    }
  }
}

void scale_lf0_range_around(std::span<double> lf0, double factor, double mean) {
  for (double& v : lf0) {
    if (is_voiced(v) && has_finite_f0(v)) {
      v = (v - mean) * factor + mean;
    }
  }
}

void lf0_to_f0(std::span<double> lf0) {
  for (double& v : lf0) {
    v = is_voiced(v) ? std::exp(v) : 0.0;
  }
}

}  // namespace vallisynth
