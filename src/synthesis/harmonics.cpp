#include "synthesis/harmonics.h"

#include <algorithm>
#include <cmath>

#include "dsp/fastmath.h"
#include "dsp/lanes.h"

namespace vallisynth {

namespace {
constexpr double kTwoPi = 6.283185307179586;
// sqrt(2)/3: scales the modulation (2 + cos) to unit mean square per period.
constexpr double kModulationScale = 0.47140452079103173;

// Harmonics go kGroup at a time, one per lane in up to kSets sets of lanes:
// four independent recurrence chains in flight hide the latency of each.
constexpr std::size_t kSets = 4;
constexpr std::size_t kGroup = kSets * kLaneCount;
// Samples per pass: their per-lane sums (8 KiB) stay in the L1 cache while
// every group adds to them.
constexpr std::size_t kChunk = 256;

// Recurrence state of one group: each lane's harmonic term a cos(x) at the
// current sample (y0) and the next (y1), and the factor 2 cos(h w0) of the
// second-order (Chebyshev) recurrence a cos(x + h w0) = 2 cos(h w0)
// a cos(x) - a cos(x - h w0): one product and one difference per sample
// and harmonic, with the amplitude folded in.
struct Group {
  Lanes y0[kSets];
  Lanes y1[kSets];
  Lanes k[kSets];
};

// acc += the sets' terms y[0..Sets-1], summed pairwise; or acc = their sum
// for the first group of a pass (as if added to 0).
template <std::size_t Sets, bool First>
__attribute__((always_inline)) inline void addterms(const Lanes* y, Lanes& acc) {
  Lanes sum = y[0];
  if constexpr (Sets == 4) {
    sum = (y[0] + y[1]) + (y[2] + y[3]);
  } else if constexpr (Sets == 3) {
    sum = (y[0] + y[1]) + y[2];
  } else if constexpr (Sets == 2) {
    sum = y[0] + y[1];
  }
  acc = First ? sum : sum + acc;
}

// acc[i] += the group's terms at samples 0..n-1, the sets' terms summed
// pairwise. The first group of a pass sets acc[i] instead (as if added to
// 0).
template <std::size_t Sets, bool First>
__attribute__((always_inline)) inline void accumulate(const Group& g, Lanes* acc, std::size_t n) {
  Lanes y0[Sets];
  Lanes y1[Sets];
  Lanes k[Sets];
  for (std::size_t v = 0; v < Sets; ++v) {
    y0[v] = g.y0[v];
    y1[v] = g.y1[v];
    k[v] = g.k[v];
  }
  // Two samples per pass, the two terms taking turns as the newer one, so
  // that no value is moved between registers.
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    addterms<Sets, First>(y0, acc[i]);
    for (std::size_t v = 0; v < Sets; ++v) {
      y0[v] = k[v] * y1[v] - y0[v];
    }
    addterms<Sets, First>(y1, acc[i + 1]);
    for (std::size_t v = 0; v < Sets; ++v) {
      y1[v] = k[v] * y0[v] - y1[v];
    }
  }
  if (i < n) {
    addterms<Sets, First>(y0, acc[i]);
  }
}

// (Inlined so that it is compiled for the instruction set of each clone of
// generate_harmonics.)
template <bool First>
__attribute__((always_inline)) inline void addgroup(const Group& g, std::size_t sets, Lanes* acc,
                                                    std::size_t n) {
  switch (sets) {
    case 1:
      accumulate<1, First>(g, acc, n);
      break;
    case 2:
      accumulate<2, First>(g, acc, n);
      break;
    case 3:
      accumulate<3, First>(g, acc, n);
      break;
    default:
      accumulate<4, First>(g, acc, n);
      break;
  }
}

}  // namespace

// Each harmonic starts its recurrence from an exact cos/sin of its phase at
// the first sample of a pass; its per-sample step h w0 comes from a
// rotation by w0 from harmonic to harmonic. Per pass every group
// adds its terms into per-lane sums, one set of lanes per sample; the four
// lanes are summed pairwise and added to the (modulated) sample at the end.
VALLISYNTH_MULTIARCH void generate_harmonics(std::span<double> y, std::uint32_t left,
                                             std::uint32_t right, double fs, double f0,
                                             std::span<const double> amp,
                                             std::span<const double> phase, double phi,
                                             std::uint8_t mode) {
  const std::size_t total = std::size_t{left} + right;
  const std::size_t nh = amp.size();
  if (nh == 0 || total == 0 || y.size() < total || phase.size() < nh) {
    return;
  }
  const double w0 = kTwoPi * f0 / fs;
  const double cw = std::cos(w0);
  const double sw = std::sin(w0);
  // Linear phase of the fundamental at sample 0.
  const double theta = static_cast<double>(left) * -w0 + phi;
  if (mode == 1) {
    // Pitch-synchronous modulation of the noise, following the fundamental's
    // linear phase: loudest where it is a multiple of 2 pi. Two chains of
    // the second-order recurrence, each started from exact values, run
    // over the two halves side by side.
    const std::size_t half = total / 2;
    const double k = cw + cw;
    const double s1 = std::sin(theta);
    double c1 = std::cos(theta);
    double d1 = c1 * cw - s1 * sw;  // the next sample's cosine
    const double mid = static_cast<double>(half) * w0 + theta;
    const double s2 = std::sin(mid);
    double c2 = std::cos(mid);
    double d2 = c2 * cw - s2 * sw;
    for (std::size_t i = 0; i < total - half; ++i) {
      if (i < half) {
        y[i] = (2.0 + c1) * kModulationScale * y[i];
      }
      y[half + i] = (2.0 + c2) * kModulationScale * y[half + i];
      const double e1 = k * d1 - c1;
      c1 = d1;
      d1 = e1;
      const double e2 = k * d2 - c2;
      c2 = d2;
      d2 = e2;
    }
  }

  Lanes acc[kChunk];
  for (std::size_t i0 = 0; i0 < total; i0 += kChunk) {
    const std::size_t n = std::min(kChunk, total - i0);
    const double start = i0 == 0 ? theta : static_cast<double>(i0) * w0 + theta;
    double stepc = cw;
    double steps = sw;
    for (std::size_t k0 = 0; k0 < nh; k0 += kGroup) {
      const std::size_t count = std::min(kGroup, nh - k0);
      double x[kGroup];
      double cx[kGroup];
      double sx[kGroup];
      for (std::size_t l = 0; l < count; ++l) {
        x[l] = static_cast<double>(k0 + l + 1) * start + phase[k0 + l];
      }
      sincos_vector(std::span<const double>(x, count), cx, sx);
      // Lanes past the last harmonic, and harmonics of amplitude 0, hold
      // 0 and add nothing. Both starting terms come from the exact cosine
      // and sine of the first sample's angle, the second one step of
      // rotation further on.
      Group g{};
      for (std::size_t l = 0; l < count; ++l) {
        const std::size_t v = l / kLaneCount;
        const std::size_t e = l % kLaneCount;
        const double a = amp[k0 + l];
        const bool silent = a == 0.0;
        g.y0[v][e] = silent ? 0.0 : a * cx[l];
        g.y1[v][e] = silent ? 0.0 : a * (cx[l] * stepc - sx[l] * steps);
        g.k[v][e] = stepc + stepc;
        const double nstepc = stepc * cw - steps * sw;
        steps = stepc * sw + steps * cw;
        stepc = nstepc;
      }
      const std::size_t sets = (count + kLaneCount - 1) / kLaneCount;
      if (k0 == 0) {
        addgroup<true>(g, sets, acc, n);
      } else {
        addgroup<false>(g, sets, acc, n);
      }
    }
    double* out = y.data() + i0;
    for (std::size_t i = 0; i < n; ++i) {
      const Lanes& t = acc[i];
      out[i] = ((t[0] + t[2]) + (t[1] + t[3])) + out[i];
    }
  }
}

}  // namespace vallisynth
