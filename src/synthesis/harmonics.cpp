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
// Harmonics whose starting terms are made together, a whole number of groups.
constexpr std::size_t kSetupBlock = 4 * kGroup;
// Harmonics whose steps are kept from pass to pass: every harmonic below
// 24 kHz of a 10 Hz fundamental.
constexpr std::size_t kKeptSteps = 2432;

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
  // Two samples per step, the two terms taking turns as the newer one, so
  // that no value is moved between registers; eight steps per pass.
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (std::size_t s = 0; s < 16; s += 2) {
      addterms<Sets, First>(y0, acc[i + s]);
      for (std::size_t v = 0; v < Sets; ++v) {
        y0[v] = k[v] * y1[v] - y0[v];
      }
      addterms<Sets, First>(y1, acc[i + s + 1]);
      for (std::size_t v = 0; v < Sets; ++v) {
        y1[v] = k[v] * y0[v] - y1[v];
      }
    }
  }
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

// Starting terms of the recurrence for a block of harmonics, as in Group,
// and room for the cosines and sines of their steps.
struct Starts {
  double y0[kSetupBlock];
  double y1[kSetupBlock];
  double k[kSetupBlock];
  double sc[kSetupBlock];
  double ss[kSetupBlock];
};

// cos and sin of h w0 for harmonics h = b0 + 1 .. b0 + count, by rotation
// by w0 from harmonic to harmonic: (stepc, steps) holds cos and sin of
// (b0 + 1) w0 on entry, and of (b0 + count + 1) w0 on return.
__attribute__((always_inline)) inline void rotatesteps(std::size_t count, double cw, double sw,
                                                       double& stepc, double& steps, double* sc,
                                                       double* ss) {
  for (std::size_t l = 0; l < count; ++l) {
    sc[l] = stepc;
    ss[l] = steps;
    const double nstepc = stepc * cw - steps * sw;
    steps = stepc * sw + steps * cw;
    stepc = nstepc;
  }
}

// The recurrence's starting terms for harmonics b0 + 1 .. b0 + count at the
// first sample of a pass, whose fundamental angle is `start`: y0 = a cos(x),
// y1 = a cos(x + h w0) from the exact cosine and sine of x, and the factor
// 2 cos(h w0); (sc, ss) hold cos and sin of h w0. Entries from count up to
// the next whole group are zeros.
__attribute__((always_inline)) inline void startterms(std::size_t b0, std::size_t count,
                                                      double start, const double* amp,
                                                      const double* phase, const double* sc,
                                                      const double* ss, Starts& s) {
  double x[kSetupBlock];
  double cx[kSetupBlock];
  double sx[kSetupBlock];
  // Four harmonic numbers at a time, counted in doubles (exact far beyond
  // any count).
  const auto first = static_cast<double>(b0 + 1);
  Lanes number = {first, first + 1.0, first + 2.0, first + 3.0};
  std::size_t i = 0;
  for (; i + kLaneCount <= count; i += kLaneCount) {
    Lanes ph;
    loadlanes(ph, phase + i);
    storelanes(x + i, number * start + ph);
    number = number + 4.0;
  }
  for (; i < count; ++i) {
    x[i] = static_cast<double>(b0 + i + 1) * start + phase[i];
  }
  sincos_vector(std::span<const double>(x, count), std::span<double>(cx, count),
                std::span<double>(sx, count));
  // Harmonics of amplitude 0 hold 0 and add nothing.
  std::size_t l = 0;
  for (; l + kLaneCount <= count; l += kLaneCount) {
    Lanes a;
    Lanes c;
    Lanes sn;
    Lanes stc;
    Lanes sts;
    loadlanes(a, amp + l);
    loadlanes(c, cx + l);
    loadlanes(sn, sx + l);
    loadlanes(stc, sc + l);
    loadlanes(sts, ss + l);
    const Lanes zero = {};
    const auto silent = a == zero;
    storelanes(s.y0 + l, silent ? zero : a * c);
    storelanes(s.y1 + l, silent ? zero : a * (c * stc - sn * sts));
    storelanes(s.k + l, stc + stc);
  }
  for (; l < count; ++l) {
    const double a = amp[l];
    const bool silent = a == 0.0;
    s.y0[l] = silent ? 0.0 : a * cx[l];
    s.y1[l] = silent ? 0.0 : a * (cx[l] * sc[l] - sx[l] * ss[l]);
    s.k[l] = sc[l] + sc[l];
  }
  for (; l % kGroup != 0; ++l) {
    s.y0[l] = 0.0;
    s.y1[l] = 0.0;
    s.k[l] = 0.0;
  }
}

// x, opaque to the optimizer: a product passed through it is rounded on
// its own, never fused into a multiply-add. Where a difference of two
// products starts a recurrence, this fixes which of them is fused, so that
// the samples do not depend on the compiler's choice.
__attribute__((always_inline)) inline double rounded(double x) {
#if defined(__x86_64__)
  asm("" : "+x"(x));
#else
  asm("" : "+m"(x));
#endif
  return x;
}

// y[i] = (2 + wave[i]) sqrt(2)/3 y[i] for i < n.
__attribute__((always_inline)) inline void modulate(double* y, const double* wave, std::size_t n) {
  std::size_t i = 0;
  for (; i + kLaneCount <= n; i += kLaneCount) {
    Lanes w;
    Lanes v;
    loadlanes(w, wave + i);
    loadlanes(v, y + i);
    storelanes(y + i, (2.0 + w) * kModulationScale * v);
  }
  for (; i < n; ++i) {
    y[i] = (2.0 + wave[i]) * kModulationScale * y[i];
  }
}

// out[i] += the sum of acc[i]'s four lanes, ((t0 + t2) + (t1 + t3)). Four
// samples at a time the sums are formed lane by lane after a transposition,
// with the same operands in the same order.
__attribute__((always_inline)) inline void reducelanes(const Lanes* acc, double* out,
                                                       std::size_t n) {
  std::size_t i = 0;
  for (; i + kLaneCount <= n; i += kLaneCount) {
    // u = (t0 + t2, t1 + t3) of samples i and i + 2, v of i + 1 and i + 3.
    const Lanes u = __builtin_shufflevector(acc[i], acc[i + 2], 0, 1, 4, 5) +
                    __builtin_shufflevector(acc[i], acc[i + 2], 2, 3, 6, 7);
    const Lanes v = __builtin_shufflevector(acc[i + 1], acc[i + 3], 0, 1, 4, 5) +
                    __builtin_shufflevector(acc[i + 1], acc[i + 3], 2, 3, 6, 7);
    Lanes o;
    loadlanes(o, out + i);
    storelanes(out + i, (__builtin_shufflevector(u, v, 0, 4, 2, 6) +
                         __builtin_shufflevector(u, v, 1, 5, 3, 7)) +
                            o);
  }
  for (; i < n; ++i) {
    const Lanes& t = acc[i];
    out[i] = ((t[0] + t[2]) + (t[1] + t[3])) + out[i];
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
    double d1 = rounded(c1 * cw) - s1 * sw;  // the next sample's cosine
    const double mid = static_cast<double>(half) * w0 + theta;
    const double s2 = std::sin(mid);
    double c2 = std::cos(mid);
    double d2 = c2 * cw - rounded(s2 * sw);
    // The chains' values a pass at a time into buffers, then the products
    // four samples at a time.
    double wave1[kChunk];
    double wave2[kChunk];
    for (std::size_t b = 0; b < total - half; b += kChunk) {
      const std::size_t m = std::min(kChunk, total - half - b);
      // Two samples per step, each chain's pair updated in place: the
      // value two samples on, k d - c, replaces c, and the one after it,
      // k c' - d, replaces d (the same operations as one sample at a time,
      // without a register copy per sample).
      std::size_t i = 0;
      for (; i + 2 <= m; i += 2) {
        wave1[i] = c1;
        wave1[i + 1] = d1;
        wave2[i] = c2;
        wave2[i + 1] = d2;
        c1 = k * d1 - c1;
        d1 = k * c1 - d1;
        c2 = k * d2 - c2;
        d2 = k * c2 - d2;
      }
      if (i < m) {
        wave1[i] = c1;
        wave2[i] = c2;
        const double e1 = k * d1 - c1;
        c1 = d1;
        d1 = e1;
        const double e2 = k * d2 - c2;
        c2 = d2;
        d2 = e2;
      }
      // The first half is one sample shorter when the frame is odd.
      modulate(y.data() + b, wave1, std::min(m, half - b));
      modulate(y.data() + half + b, wave2, m);
    }
  }

  Lanes acc[kChunk];
  Starts starts;
  // The steps h w0 are the same in every pass: those of the first are kept
  // for the others when they fit.
  double keptc[kKeptSteps];
  double kepts[kKeptSteps];
  const bool keep = nh <= kKeptSteps && total > kChunk;
  for (std::size_t i0 = 0; i0 < total; i0 += kChunk) {
    const std::size_t n = std::min(kChunk, total - i0);
    const double start = i0 == 0 ? theta : static_cast<double>(i0) * w0 + theta;
    double stepc = cw;
    double steps = sw;
    for (std::size_t b0 = 0; b0 < nh; b0 += kSetupBlock) {
      const std::size_t count = std::min(kSetupBlock, nh - b0);
      double* sc = keep ? keptc + b0 : starts.sc;
      double* ss = keep ? kepts + b0 : starts.ss;
      if (i0 == 0 || !keep) {
        rotatesteps(count, cw, sw, stepc, steps, sc, ss);
      }
      startterms(b0, count, start, amp.data() + b0, phase.data() + b0, sc, ss, starts);
      for (std::size_t g0 = 0; g0 < count; g0 += kGroup) {
        Group g;
        for (std::size_t v = 0; v < kSets; ++v) {
          loadlanes(g.y0[v], starts.y0 + g0 + v * kLaneCount);
          loadlanes(g.y1[v], starts.y1 + g0 + v * kLaneCount);
          loadlanes(g.k[v], starts.k + g0 + v * kLaneCount);
        }
        const std::size_t sets = (std::min(kGroup, count - g0) + kLaneCount - 1) / kLaneCount;
        if (b0 == 0 && g0 == 0) {
          addgroup<true>(g, sets, acc, n);
        } else {
          addgroup<false>(g, sets, acc, n);
        }
      }
    }
    reducelanes(acc, y.data() + i0, n);
  }
}

}  // namespace vallisynth
