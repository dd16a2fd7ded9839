#include "synthesis/synthesis.h"

#include <algorithm>
#include <cmath>

#include "conditioning/finite.h"
#include "synthesis/framesynth.h"

namespace vallisynth {

namespace {

constexpr double kMaxMinF0 = 500.0;       // cap of the utterance's minimum f0
constexpr std::size_t kRangeBlock = 256;  // frames per block of add_c0_range

// Applies the f0 rules in place and returns the minimum f0 that sizes the
// harmonic work areas: the smallest positive f0, at most 500 Hz, at least
// 10 Hz. Every f0 left voiced is at least that minimum.
double apply_f0_rules(std::span<double> f0) {
  double minf0 = kMaxMinF0;
  for (const double v : f0) {
    if (v > 0.0 && v < minf0) {
      minf0 = v;
    }
  }
  if (minf0 < kLowestF0) {
    minf0 = kLowestF0;
    for (double& v : f0) {
      if (v > 0.0 && v < kLowestF0) {
        v = 0.0;
      }
    }
  }
  for (double& v : f0) {
    if (v > kHighestF0) {
      v = 0.0;
    }
  }
  return minf0;
}

// Smallest c0 over all frames, largest over the voiced ones. Frames whose
// cepstral row or f0 is not finite are left out, so that one bad frame
// cannot move every other frame's maximum voiced frequency.
C0Range c0_range_of(std::span<const double> f0, std::span<const double> cc, std::size_t p) {
  C0Range r;
  for (std::size_t k = 0; k < f0.size(); ++k) {
    const std::span<const double> row = cc.subspan(k * p, p);
    if (!std::isfinite(f0[k]) || !is_finite_row(row)) {
      continue;
    }
    const double c0 = cc[k * p];
    if (c0 > r.max && f0[k] > 0.0) {
      r.max = c0;
    }
    if (c0 < r.min) {
      r.min = c0;
    }
  }
  return r;
}

}  // namespace

int add_c0_range(C0Range& r, std::span<const double> f0, std::span<const double> cc,
                 std::uint32_t order) {
  const std::size_t p = std::size_t{order} + 1u;
  if (cc.size() / p != f0.size() || cc.size() % p != 0) {
    return -1;
  }
  // A block at a time: the f0 rules act frame by frame, and the range is a
  // fold with strict comparisons, so merging the blocks' ranges in order
  // gives what one pass over the whole utterance gives.
  double block[kRangeBlock];
  for (std::size_t k0 = 0; k0 < f0.size(); k0 += kRangeBlock) {
    const std::size_t m = std::min(kRangeBlock, f0.size() - k0);
    const std::span<double> rules(block, m);
    std::copy_n(f0.begin() + static_cast<std::ptrdiff_t>(k0), m, rules.begin());
    apply_f0_rules(rules);
    const C0Range b = c0_range_of(rules, cc.subspan(k0 * p, m * p), p);
    if (b.max > r.max) {
      r.max = b.max;
    }
    if (b.min < r.min) {
      r.min = b.min;
    }
  }
  return 0;
}

}  // namespace vallisynth
