#include "synthesis/synthesis.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <new>
#include <optional>
#include <stdexcept>

#include "dsp/lanes.h"
#include "synthesis/framesynth.h"
#include "synthesis/parallelsynth.h"

namespace vallisynth {

namespace {

constexpr double kMaxMinF0 = 500.0;       // cap of the utterance's minimum f0
constexpr std::size_t kRangeBlock = 256;  // frames per block of addc0range

// Applies the f0 rules in place and returns the minimum f0 that sizes the
// harmonic work areas: the smallest positive f0, at most 500 Hz, at least
// 10 Hz. Every f0 left voiced is at least that minimum.
double applyf0rules(std::span<double> f0) {
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
C0Range getc0range(std::span<const double> f0, std::span<const double> cc, std::size_t p) {
  C0Range r;
  for (std::size_t k = 0; k < f0.size(); ++k) {
    const std::span<const double> row = cc.subspan(k * p, p);
    if (!std::isfinite(f0[k]) ||
        !std::all_of(row.begin(), row.end(), [](double v) { return std::isfinite(v); })) {
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

int addc0range(C0Range& r, std::span<const double> f0, std::span<const double> cc,
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
    applyf0rules(rules);
    const C0Range b = getc0range(rules, cc.subspan(k0 * p, m * p), p);
    if (b.max > r.max) {
      r.max = b.max;
    }
    if (b.min < r.min) {
      r.min = b.min;
    }
  }
  return 0;
}

std::uint32_t getolasynthesislength(std::uint32_t L, std::uint32_t K) {
  return (K + 1u) * L + 1u;
}

std::uint32_t getxsize(std::uint32_t L, std::uint32_t K) {
  return getolasynthesislength(L, K);
}

std::uint32_t getwinlengthceilpot2(std::uint32_t n) {
  std::uint32_t v = 1;
  while (v < n) {
    v *= 2u;
  }
  return v;
}

VALLISYNTH_MULTIARCH int olatriang(std::span<double> x, std::span<const double> y,
                                   std::uint32_t start, std::uint32_t centre, std::uint32_t end) {
  if (!(start < centre && centre < end) || end > x.size() || y.size() < end - start) {
    return 0;
  }
  const std::uint32_t rise = centre - start;
  const std::uint32_t total = end - start;
  const std::uint32_t fall = end - centre;
  double* out = x.data() + start;
  for (std::uint32_t i = 0; i < rise; ++i) {
    out[i] += y[i] * static_cast<double>(i) / static_cast<double>(rise);
  }
  for (std::uint32_t i = rise; i < total; ++i) {
    out[i] += y[i] * static_cast<double>(total - i) / static_cast<double>(fall);
  }
  return 0;
}

int ccs2waveform(std::span<double> x, double fs, std::uint32_t L, std::span<double> f0,
                 std::span<const double> fv, std::uint32_t order, std::span<const double> cc,
                 double alpha, double gamma, NoisePhaseSource& rng, unsigned threads) {
  const std::size_t nframes = f0.size();
  const std::size_t p = std::size_t{order} + 1u;
  if (L == 0 || L > (1u << 30) || nframes > 0xFFFFFFFFu || cc.size() / p != nframes ||
      cc.size() % p != 0 || (!fv.empty() && fv.size() < nframes) ||
      (nframes + 1u) * L >= 0xFFFFFFFFu || x.size() < (nframes + 1u) * L) {
    return -1;
  }

  applyf0rules(f0);
  std::optional<C0Range> c0range;
  if (fv.empty()) {
    c0range = getc0range(f0, cc, p);
  }
  std::optional<ParallelFrameSynthesizer> synth;
  try {
    synth.emplace(fs, L, order, alpha, gamma, c0range, rng, threads);
  } catch (const std::bad_alloc&) {
    return -1;
  } catch (const std::invalid_argument&) {
    return -1;
  }
  // All frames in one push, straight into x; the flush writes the last
  // frame's falling half and clears the rest.
  const std::size_t body = nframes * L;
  synth->push(f0, fv.first(fv.empty() ? 0 : nframes), cc, x.first(body));
  synth->flush(x.subspan(body));
  return 0;
}

}  // namespace vallisynth
