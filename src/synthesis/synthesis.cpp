#include "synthesis/synthesis.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <new>
#include <optional>
#include <vector>

#include "dsp/fastmath.h"
#include "dsp/lanes.h"
#include "synthesis/cepstrum.h"
#include "synthesis/harmonics.h"
#include "synthesis/noise.h"
#include "synthesis/shaping.h"

namespace vallisynth {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kGridStep = 100.0;    // Hz between noise-envelope points
constexpr double kMaxMinF0 = 500.0;    // cap of the utterance's minimum f0
constexpr double kLowestF0 = 10.0;     // voiced frames below become unvoiced
constexpr double kHighestF0 = 1000.0;  // voiced frames above become unvoiced
constexpr double kC0MaxFv = 4500.0;    // fv of the loudest voiced frame without an fv track

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

struct C0Range {
  double min = DBL_MAX;
  double max = -DBL_MAX;
};

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

// Maximum voiced frequency of a voiced frame without an fv track: c0 mapped
// linearly so that the utterance's smallest c0 gives 0 Hz and the loudest
// voiced frame 4500 Hz. When all voiced frames share the smallest c0 the
// map is undefined (0/0) and every voiced frame gets 4500 Hz.
double fvfromc0(double c0, const C0Range& r) {
  if (r.max == r.min) {
    return kC0MaxFv;
  }
  return (c0 - r.min) * kC0MaxFv / (r.max - r.min);
}

}  // namespace

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
                 double alpha, double gamma, NoisePhaseSource& rng) {
  const std::size_t nframes = f0.size();
  const std::size_t p = std::size_t{order} + 1u;
  if (L == 0 || L > (1u << 30) || nframes > 0xFFFFFFFFu || cc.size() / p != nframes ||
      cc.size() % p != 0 || (!fv.empty() && fv.size() < nframes) ||
      (nframes + 1u) * L >= 0xFFFFFFFFu || x.size() < (nframes + 1u) * L) {
    return -1;
  }
  const auto pcols = static_cast<std::uint32_t>(p);

  const double minf0 = applyf0rules(f0);
  C0Range c0range;
  if (fv.empty()) {
    c0range = getc0range(f0, cc, p);
  }
  const std::uint32_t hmax = hanoharms(fs, fs, minf0);
  const std::uint32_t grid = hanoharms(fs, fs, kGridStep);
  const std::uint32_t nfft = getwinlengthceilpot2(2u * L);
  const std::size_t frame = 2u * std::size_t{L};

  // Three work areas, sized for the worst frame, carved into their parts.
  std::vector<double> matrices;
  std::vector<double> vectors;
  std::vector<double> frames;
  std::optional<NoisePlan> noiseplan;
  std::optional<ResamplePlan> resampleplan;
  try {
    matrices.resize(2u * std::size_t{grid} * p);
    vectors.resize(2u * std::size_t{hmax} + grid);
    frames.resize(2u * std::size_t{nfft});
    noiseplan.emplace(nfft);
    resampleplan.emplace(kGridStep, grid, fs / static_cast<double>(nfft), nfft / 2 - 1);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  const std::span<double> gridrows(matrices.data(), grid * p);
  const std::span<double> gridcols(matrices.data() + grid * p, grid * p);
  const std::span<double> amps(vectors.data(), hmax);
  const std::span<double> phases(vectors.data() + hmax, hmax);
  const std::span<double> envelope(vectors.data() + 2u * std::size_t{hmax}, grid);
  const std::span<double> buffer(frames.data(), nfft);
  const std::span<double> scratch(frames.data() + nfft, nfft);

  // x is cleared just ahead of the frames instead of in one pass before
  // them: each stretch is zeroed while it is about to be used and stays in
  // the cache for the overlap-add.
  std::fill_n(x.begin(), L, 0.0);
  // The noise envelope matrix is built once and kept transposed (P x G), so
  // that the per-frame product runs along contiguous grid points.
  matccharmonic(order, grid, kGridStep, fs, alpha, gridrows, {});
  for (std::size_t i = 0; i < grid; ++i) {
    for (std::size_t j = 0; j < p; ++j) {
      gridcols[j * grid + i] = gridrows[i * p + j];
    }
  }

  double phi = 0.0;  // phase of the fundamental at the frame centre
  for (std::size_t k = 0; k < nframes; ++k) {
    const std::span<const double> row = cc.subspan(k * p, p);
    const double f0k = f0[k];
    const bool voiced = f0k > 0.0;

    // envelope = matrix x row, formed as row x transposed matrix: the same
    // products, summed in the same order.
    prodmat(row, gridcols, envelope, 1, pcols, grid);
    highfreqenhancelog(kGridStep, envelope, fs);

    double fvk = 0.0;
    std::uint32_t nh = 0;
    if (voiced) {
      fvk = fv.empty() ? fvfromc0(row[0], c0range) : fv[k];
      nh = std::min(hanoharms(fs, fvk, f0k), hmax);
      if (nh > 0) {
        // The noise gives way to the harmonics below fv.
        applyhpfilterlog(kGridStep, envelope, fvk);
      }
    }

    resamplelogampenvelope(envelope, buffer.subspan(1, nfft / 2 - 1), *resampleplan);
    gennoisefromlogspectrum(buffer, scratch, fs, rng, &*noiseplan);

    if (voiced && nh > 0) {
      const std::span<double> a = amps.first(nh);
      const std::span<double> ph = phases.first(nh);
      // The harmonics' log amplitudes and minimum phases: the harmonic
      // matrices times the row, without storing the matrices.
      ccharmonics(order, nh, f0k, fs, alpha, row, a, ph);
      highfreqenhancelog(f0k, a, fs);
      // Harmonic amplitude 2 sqrt(f0) exp(L): the noise's power per hertz.
      const double scale = std::sqrt(f0k) + std::sqrt(f0k);
      expvector(a, a);
      for (double& v : a) {
        v = v * scale;
      }
      applyantihpfilter(f0k, a, fvk);
      if (gamma != 0.0) {
        postfilteringmcaq(a, kTwoPi * f0k / fs, gamma);
      }
      // Advance the fundamental by the mean angular frequency of the two
      // frames over one frame shift; restart after an unvoiced frame.
      if (k > 0 && f0[k - 1] > 0.0) {
        phi = phi + kPi * (f0[k - 1] + f0k) * static_cast<double>(L) / fs;
      } else {
        phi = 0.0;
      }
      genharmonics(buffer.first(frame), L, L, fs, f0k, a, ph, phi, 1);
    } else if (voiced) {
      phi = 0.0;
    }

    const auto centre = static_cast<std::uint32_t>((k + 1u) * L);
    std::fill_n(x.begin() + centre, L, 0.0);  // the frame's second half, not yet touched
    olatriang(x, buffer.first(frame), centre - L, centre, centre + L);
  }
  std::fill(x.begin() + static_cast<std::ptrdiff_t>((nframes + 1u) * L), x.end(), 0.0);
  return 0;
}

}  // namespace vallisynth
