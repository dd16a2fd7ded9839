#include "synthesis/noise.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "dsp/fastmath.h"
#include "dsp/fft.h"
#include "dsp/lanes.h"

namespace vallisynth {

namespace {
// 2 pi / (2^31 - 1): maps the phase source's range onto [0, 2 pi].
constexpr double kPhaseScale = 2.925836159896768e-09;
constexpr double kTwoPi = 6.283185307179586;

// Z = (P + Q) + j (P - Q) w, the half-length spectrum entry of a real
// signal's transform, from P = X[k], Q = X[k + N/2] and w = W^k. T is a
// double or four lanes of entries.
template <typename T>
__attribute__((always_inline)) inline void halfspectrum(const T& pr, const T& pi, const T& qr,
                                                        const T& qi, const T& wr, const T& wi,
                                                        T& zr, T& zi) {
  const T dr = pr - qr;
  const T di = pi - qi;
  const T tr = dr * wr - di * wi;
  const T ti = dr * wi + di * wr;
  zr = (pr + qr) - ti;
  zi = (pi + qi) + tr;
}

// Entries p .. p+3 of Z and their partners h-p .. h-p-3 (p + 3 < h - p - 3,
// p <= h/2): x points at X[p], y at X[h-p-3], w at W^p. (zkr, zki) lane l
// holds entry p + l, (zjr, zji) lane l its partner h - p - l.
__attribute__((always_inline)) inline void entrypairs(const double* xr, const double* xi,
                                                      const double* yr, const double* yi,
                                                      const double* wr, const double* wi,
                                                      Lanes& zkr, Lanes& zki, Lanes& zjr,
                                                      Lanes& zji) {
  Lanes xkr;
  Lanes xki;
  Lanes xjr;
  Lanes xji;
  Lanes ur;
  Lanes ui;
  loadlanes(xkr, xr);
  loadlanes(xki, xi);
  loadlanes(xjr, yr);
  loadlanes(xji, yi);
  loadlanes(ur, wr);
  loadlanes(ui, wi);
  reverse(xjr);
  reverse(xji);
  halfspectrum(xkr, xki, xjr, -xji, ur, ui, zkr, zki);
  halfspectrum(xjr, xji, xkr, -xki, -ur, ui, zjr, zji);
}

// Four doubles stored as doubles: unlike a byte copy, such a store is
// known to leave a table of places (integers) alone, so the places are not
// read again after each store.
using Row = double __attribute__((vector_size(32), aligned(8)));

// Rows l = 0..3 of (a, c, b, d) to the places at[l] .. at[l] + 3, with c
// and d in reversed lane order: a 4 x 4 transpose whose halves are joined
// first, so that the reversal costs nothing.
__attribute__((always_inline)) inline void storecolumns(double* z, const std::uint32_t* at,
                                                        const Lanes& a, const Lanes& b,
                                                        const Lanes& crev, const Lanes& drev) {
  const Lanes u0 = __builtin_shufflevector(a, b, 0, 1, 4, 5);        // a0 a1 b0 b1
  const Lanes u1 = __builtin_shufflevector(a, b, 2, 3, 6, 7);        // a2 a3 b2 b3
  const Lanes v0 = __builtin_shufflevector(crev, drev, 2, 3, 6, 7);  // c1 c0 d1 d0
  const Lanes v1 = __builtin_shufflevector(crev, drev, 0, 1, 4, 5);  // c3 c2 d3 d2
  *reinterpret_cast<Row*>(z + at[0]) = __builtin_shufflevector(u0, v0, 0, 5, 2, 7);
  *reinterpret_cast<Row*>(z + at[1]) = __builtin_shufflevector(u0, v0, 1, 4, 3, 6);
  *reinterpret_cast<Row*>(z + at[2]) = __builtin_shufflevector(u1, v1, 0, 5, 2, 7);
  *reinterpret_cast<Row*>(z + at[3]) = __builtin_shufflevector(u1, v1, 1, 4, 3, 6);
}

// The split step of the planned transform for h >= 32, each entry of Z
// stored at its bit-reversed place. Entries e, e + h/4, e + h/2, e + 3h/4
// (e < h/4) have their two top bits 00, 01, 10, 11 and the same rest: their
// places are rev[e] + 0, 2, 1, 3, four consecutive ones. Four such columns
// e = k .. k+3 are transposed in registers and stored as whole rows. The
// partners of column e are column h/4 - e (e + m h/4 pairs with h - e - m
// h/4), so the columns k .. k+3 are made with their partners k2 = h/4-k-3
// .. h/4-k, the lower halves' entries (quarters 0 and 1) directly, the
// upper halves' as partners: the same operations on the same operands as
// splitstep. The last pair of runs meets at column h/8, its own partner,
// which is made twice, the same both times. wcols holds, for each k in
// turn, the factors W^p .. W^(p+3) (real parts, then imaginary) of p = k,
// k + h/4, k2, k2 + h/4, and atcols the places rev[k .. k+3], rev[k2 ..
// k2+3]: one stream each, read in order.
__attribute__((always_inline)) inline void splitcolumns(
    const double* re, const double* im, double* zr, double* zi, std::size_t h, const double* wcols,
    const std::uint32_t* atcols, const double* wr, const double* wi, const std::uint32_t* rev) {
  const std::size_t q = h / 4;
  // Quarter m of X starts at re + m q, im + m q.
  const double* r1 = re + q;
  const double* r2 = re + 2 * q;
  const double* r3 = re + 3 * q;
  const double* i1 = im + q;
  const double* i2 = im + 2 * q;
  const double* i3 = im + 3 * q;
  for (std::size_t k = 1; k + 3 <= h / 8; k += 4, wcols += 32, atcols += 8) {
    const std::size_t k2 = q - k - 3;
    Lanes akr;
    Lanes aki;
    Lanes dk2r;
    Lanes dk2i;
    Lanes bkr;
    Lanes bki;
    Lanes ck2r;
    Lanes ck2i;
    Lanes ak2r;
    Lanes ak2i;
    Lanes dkr;
    Lanes dki;
    Lanes bk2r;
    Lanes bk2i;
    Lanes ckr;
    Lanes cki;
    // k with h-k-3 = 3q + k2, k + q with h-k-q-3 = 2q + k2, and the same
    // with k and k2 swapped.
    entrypairs(re + k, im + k, r3 + k2, i3 + k2, wcols, wcols + 4, akr, aki, dk2r, dk2i);
    entrypairs(r1 + k, i1 + k, r2 + k2, i2 + k2, wcols + 8, wcols + 12, bkr, bki, ck2r, ck2i);
    entrypairs(re + k2, im + k2, r3 + k, i3 + k, wcols + 16, wcols + 20, ak2r, ak2i, dkr, dki);
    entrypairs(r1 + k2, i1 + k2, r2 + k, i2 + k, wcols + 24, wcols + 28, bk2r, bk2i, ckr, cki);
    storecolumns(zr, atcols, akr, bkr, ckr, dkr);
    storecolumns(zi, atcols, aki, bki, cki, dki);
    storecolumns(zr, atcols + 4, ak2r, bk2r, ck2r, dk2r);
    storecolumns(zi, atcols + 4, ak2i, bk2i, ck2i, dk2i);
  }
  // Column 0: entry 0 is set by the caller, h/2 is its own partner.
  for (const std::size_t e : {q, 2 * q}) {
    const std::size_t j = h - e;
    const double xkr = re[e];
    const double xki = im[e];
    const double xjr = re[j];
    const double xji = im[j];
    halfspectrum(xkr, xki, xjr, -xji, wr[e - 1], wi[e - 1], zr[rev[e]], zi[rev[e]]);
    if (j != e) {
      halfspectrum(xjr, xji, xkr, -xki, -wr[e - 1], wi[e - 1], zr[rev[j]], zi[rev[j]]);
    }
  }
}

// The split step for entries k = 1 .. h-1 of Z (see noise_from_log_spectrum)
// from X in re, im [1 .. h-1]. Entry k goes to (zr, zi)[k] in place, or,
// when Scatter, to (zr, zi)[rev[k]] in other arrays. Four entries k and
// their four partners h - k go at a time, while the two runs stay apart;
// the partners' run is read (and, in place, written) reversed.
template <bool Scatter>
__attribute__((always_inline)) inline void splitstep(const double* re, const double* im, double* zr,
                                                     double* zi, std::size_t h, const double* wr,
                                                     const double* wi, const std::uint32_t* rev) {
  std::size_t k = 1;
  for (; 2 * k + 6 < h; k += 4) {
    const std::size_t j = h - k - 3;
    Lanes zkr;
    Lanes zki;
    Lanes zjr;
    Lanes zji;
    entrypairs(re + k, im + k, re + j, im + j, wr + k - 1, wi + k - 1, zkr, zki, zjr, zji);
    if constexpr (Scatter) {
      // Lane l holds entry k + l, and its partner h - k - l.
      for (std::size_t l = 0; l < kLaneCount; ++l) {
        zr[rev[k + l]] = zkr[l];
        zi[rev[k + l]] = zki[l];
        zr[rev[h - k - l]] = zjr[l];
        zi[rev[h - k - l]] = zji[l];
      }
    } else {
      storelanes(zr + k, zkr);
      storelanes(zi + k, zki);
      reverse(zjr);
      reverse(zji);
      storelanes(zr + j, zjr);
      storelanes(zi + j, zji);
    }
  }
  for (; 2 * k <= h; ++k) {
    const std::size_t j = h - k;
    const double xkr = re[k];
    const double xki = im[k];
    const double xjr = re[j];
    const double xji = im[j];
    const std::size_t dk = Scatter ? rev[k] : k;
    const std::size_t dj = Scatter ? rev[j] : j;
    halfspectrum(xkr, xki, xjr, -xji, wr[k - 1], wi[k - 1], zr[dk], zi[dk]);
    if (j != k) {
      halfspectrum(xjr, xji, xkr, -xki, -wr[k - 1], wi[k - 1], zr[dj], zi[dj]);
    }
  }
}

// W^k = e^{j 2 pi k / n} for k = 1 .. count, from a rotation recurrence
// started at 1.
void split_factors(std::size_t n, std::size_t count, double* wr, double* wi) {
  const double step = kTwoPi / static_cast<double>(n);
  const double c = std::cos(step);
  const double s = std::sin(step);
  double xr = 1.0;
  double xi = 0.0;
  for (std::size_t k = 0; k < count; ++k) {
    const double nxr = xr * c - xi * s;
    xi = xr * s + xi * c;
    xr = nxr;
    wr[k] = xr;
    wi[k] = xi;
  }
}
}  // namespace

NoisePlan::NoisePlan(std::size_t n) : n_(n), fft_(n / 2, -1) {
  if (n >= 4) {
    wr_.resize(n / 4);
    wi_.resize(n / 4);
    split_factors(n, n / 4, wr_.data(), wi_.data());
    // Index k of the half-length transform with its bits reversed.
    const std::size_t h = n / 2;
    rev_.resize(h);
    const int bits = std::countr_zero(h);
    for (std::size_t k = 0; k < h; ++k) {
      std::size_t r = 0;
      for (int b = 0; b < bits; ++b) {
        r |= ((k >> b) & 1u) << (bits - 1 - b);
      }
      rev_[k] = static_cast<std::uint32_t>(r);
    }
    // The column split step's factors and places, in the order it reads
    // them.
    if (h >= 32) {
      const std::size_t q = h / 4;
      for (std::size_t k = 1; k + 3 <= h / 8; k += 4) {
        const std::size_t k2 = q - k - 3;
        for (const std::size_t p : {k, k + q, k2, k2 + q}) {
          wcols_.insert(wcols_.end(), wr_.begin() + static_cast<std::ptrdiff_t>(p - 1),
                        wr_.begin() + static_cast<std::ptrdiff_t>(p + 3));
          wcols_.insert(wcols_.end(), wi_.begin() + static_cast<std::ptrdiff_t>(p - 1),
                        wi_.begin() + static_cast<std::ptrdiff_t>(p + 3));
        }
        for (const std::size_t p : {k, k2}) {
          atcols_.insert(atcols_.end(), rev_.begin() + static_cast<std::ptrdiff_t>(p),
                         rev_.begin() + static_cast<std::ptrdiff_t>(p + 4));
        }
      }
    }
  }
}

namespace {

// The segment walk of the resampling: for each destination point i it
// calls visit(i, f, fa, a, b) with the point's frequency f and the current
// segment from fa, whose end values are src[a] and src[b]. The extra point
// at 0 Hz repeats src[0]; past the last point the envelope stays flat.
template <typename Visit>
void walk_segments(double stepsrc, std::size_t nsrc, double stepdst, std::size_t ndst,
                   Visit&& visit) {
  double fa = 0.0;
  double fb = stepsrc;
  std::size_t a = 0;
  std::size_t b = 0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < ndst; ++i) {
    const double f = static_cast<double>(i + 1) * stepdst;
    while (j <= nsrc && f > fb) {
      ++j;
      fa = fb;
      fb = fb + stepsrc;
      a = b;
      if (j < nsrc) {
        b = j;
      }
    }
    visit(i, f, fa, a, b);
  }
}

}  // namespace

int resample_log_envelope(double stepsrc, std::span<const double> src, double stepdst,
                          std::span<double> dst) {
  if (src.empty() || dst.empty()) {
    return -1;
  }
  walk_segments(stepsrc, src.size(), stepdst, dst.size(),
                [&](std::size_t i, double f, double fa, std::size_t a, std::size_t b) {
                  dst[i] = (f - fa) * (src[b] - src[a]) / stepsrc + src[a];
                });
  return 0;
}

namespace {
// Whether the multi-architecture functions run their AVX2 code.
bool permutes_in_registers() {
#if defined(__x86_64__) && !defined(VALLISYNTH_BASELINE_ONLY)
  return __builtin_cpu_supports("x86-64-v3") != 0;
#else
  return false;
#endif
}
}  // namespace

ResamplePlan::ResamplePlan(double stepsrc, std::size_t nsrc, double stepdst, std::size_t ndst)
    : stepsrc_(stepsrc), nsrc_(nsrc) {
  if (nsrc > 0xFFFFFFFFu) {
    return;  // indices are 32-bit: an empty plan, which resamples nothing
  }
  offset_.resize(ndst);
  first_.resize(ndst);
  second_.resize(ndst);
  walk_segments(stepsrc, nsrc, stepdst, ndst,
                [&](std::size_t i, double f, double fa, std::size_t a, std::size_t b) {
                  offset_[i] = f - fa;
                  first_[i] = static_cast<std::uint32_t>(a);
                  second_[i] = static_cast<std::uint32_t>(b);
                });
  // Four destination points at most one source step apart each take their
  // values from a few neighbouring source points: from a window of four
  // (or eight) loaded whole, picked out by a permutation within registers.
  // The window of each group of four starts at the lowest point it needs,
  // moved back where it would run past the end; the plan takes the
  // narrowest width that every group fits in, else none. Only where the
  // AVX2 code runs: without its permutation by indices in a register (the
  // baseline code) the lanes would be picked one by one through memory,
  // which costs more than loading them from the source directly.
  if (!permutes_in_registers()) {
    return;
  }
  const std::size_t groups = ndst / kLaneCount;
  for (const std::size_t width : {std::size_t{4}, std::size_t{8}}) {
    if (nsrc < width) {
      break;
    }
    bool fits = true;
    for (std::size_t g = 0; g < groups && fits; ++g) {
      const std::size_t i = g * kLaneCount;
      const std::uint32_t lo =
          *std::min_element(first_.begin() + static_cast<std::ptrdiff_t>(i),
                            first_.begin() + static_cast<std::ptrdiff_t>(i + 4));
      const std::uint32_t hi =
          *std::max_element(second_.begin() + static_cast<std::ptrdiff_t>(i),
                            second_.begin() + static_cast<std::ptrdiff_t>(i + 4));
      fits = hi < std::min<std::size_t>(lo, nsrc - width) + width;
    }
    if (!fits) {
      continue;
    }
    window_ = width;
    start_.resize(groups);
    picks_.resize(groups * 4 * kLaneCount);
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t i = g * kLaneCount;
      const std::size_t w = std::min<std::size_t>(
          *std::min_element(first_.begin() + static_cast<std::ptrdiff_t>(i),
                            first_.begin() + static_cast<std::ptrdiff_t>(i + 4)),
          nsrc - width);
      start_[g] = static_cast<std::uint32_t>(w);
      // A double is the pair of floats 2 d, 2 d + 1 of the window. Of a
      // window of eight, a pick from the upper four is a negative number
      // whose low three bits give the float within them.
      const auto pick = [](std::uint32_t d) {
        return d < 4 ? static_cast<std::int32_t>(2 * d)
                     : static_cast<std::int32_t>(2 * d - 8) - 0x7FFFFFFF - 1;
      };
      std::int32_t* p = picks_.data() + g * 4 * kLaneCount;
      for (std::size_t l = 0; l < kLaneCount; ++l) {
        const std::int32_t pa = pick(static_cast<std::uint32_t>(first_[i + l] - w));
        const std::int32_t pb = pick(static_cast<std::uint32_t>(second_[i + l] - w));
        p[2 * l] = pa;
        p[2 * l + 1] = pa + 1;
        p[2 * kLaneCount + 2 * l] = pb;
        p[2 * kLaneCount + 2 * l + 1] = pb + 1;
      }
    }
    break;
  }
}

namespace {
using Floats = float __attribute__((vector_size(32)));
using Picks = std::int32_t __attribute__((vector_size(32)));

// The whole groups of four of n points, both ends of their segments picked
// from one window of Window source points (four or eight) loaded at once
// and rearranged as pairs of floats: the same bits as four loads each.
// Returns the number of points done. (Inlined so that it is compiled for
// the instruction set of each clone of its caller.)
template <int Window>
__attribute__((always_inline)) inline std::size_t interpolate_windows(
    const double* src, const std::uint32_t* start, const std::int32_t* picks, const double* offset,
    double step, std::size_t n, double* dst) {
  const std::size_t groups = n / kLaneCount;
  for (std::size_t g = 0; g < groups; ++g) {
    Floats low;
    Picks pa;
    Picks pb;
    std::memcpy(&low, src + start[g], sizeof low);
    std::memcpy(&pa, picks + 16 * g, sizeof pa);
    std::memcpy(&pb, picks + 16 * g + 2 * kLaneCount, sizeof pb);
    Floats fa;
    Floats fb;
    if constexpr (Window == 4) {
      fa = __builtin_shuffle(low, pa);
      fb = __builtin_shuffle(low, pb);
    } else {
      // A negative pick names a float of the upper four doubles.
      Floats high;
      std::memcpy(&high, src + start[g] + 4, sizeof high);
      fa = pa < 0 ? __builtin_shuffle(high, pa) : __builtin_shuffle(low, pa);
      fb = pb < 0 ? __builtin_shuffle(high, pb) : __builtin_shuffle(low, pb);
    }
    Lanes va;
    Lanes vb;
    std::memcpy(&va, &fa, sizeof va);
    std::memcpy(&vb, &fb, sizeof vb);
    Lanes o;
    const std::size_t i4 = g * kLaneCount;
    loadlanes(o, offset + i4);
    storelanes(dst + i4, o * (vb - va) / step + va);
  }
  return groups * kLaneCount;
}
}  // namespace

// The walk is done: each point is one interpolation, in the same order of
// operations.
VALLISYNTH_MULTIARCH int resample_log_envelope(std::span<const double> src, std::span<double> dst,
                                               const ResamplePlan& plan) {
  const std::size_t n = plan.offset_.size();
  if (src.size() != plan.nsrc_ || dst.size() != n || n == 0 || src.empty()) {
    return -1;
  }
  const double step = plan.stepsrc_;
  const double* offset = plan.offset_.data();
  const std::uint32_t* first = plan.first_.data();
  const std::uint32_t* second = plan.second_.data();
  // Four points at a time, lane by lane the same operations as one at a
  // time (the division, too, is done four at once).
  std::size_t i = 0;
  if (plan.window_ == 4) {
    i = interpolate_windows<4>(src.data(), plan.start_.data(), plan.picks_.data(), offset, step, n,
                               dst.data());
  } else if (plan.window_ == 8) {
    i = interpolate_windows<8>(src.data(), plan.start_.data(), plan.picks_.data(), offset, step, n,
                               dst.data());
  } else {
    for (; i + kLaneCount <= n; i += kLaneCount) {
      const Lanes va = {src[first[i]], src[first[i + 1]], src[first[i + 2]], src[first[i + 3]]};
      const Lanes vb = {src[second[i]], src[second[i + 1]], src[second[i + 2]], src[second[i + 3]]};
      Lanes o;
      loadlanes(o, offset + i);
      storelanes(dst.data() + i, o * (vb - va) / step + va);
    }
  }
  for (; i < n; ++i) {
    const double va = src[first[i]];
    dst[i] = offset[i] * (src[second[i]] - va) / step + va;
  }
  return 0;
}

std::size_t noise_draws_per_frame(std::size_t n) {
  return n / 2 < 2 ? 0 : n / 2 - 1;
}

VALLISYNTH_MULTIARCH void noise_from_log_spectrum(std::span<double> re, std::span<double> im,
                                                  double fs, NoisePhaseSource& rng,
                                                  const NoisePlan* plan, std::size_t wanted) {
  const std::size_t n = re.size();
  if (im.size() != n || n == 0) {
    return;
  }
  const std::size_t h = n / 2;
  if (h < 2) {
    // No bin between 0 Hz and half the sampling rate: silence, no draw.
    std::fill(re.begin(), re.end(), 0.0);
    std::fill(im.begin(), im.end(), 0.0);
    return;
  }
  // Bin amplitude sqrt(fs/N) exp(L): the same power per hertz as a harmonic
  // of amplitude 2 sqrt(f0) exp(L) spaced f0 apart.
  const double g = std::sqrt(fs / static_cast<double>(n));

  // Bins 1..h-1: the phases are drawn into im[1..h-1], and the bins'
  // spectrum replaces the log amplitudes and the phases. Entry h, free
  // until the split step, is taken along as a harmless (0, 0), so that the
  // count, h, is a whole number of vector lanes.
  const std::size_t bins = h - 1;
  rng.draw(im.subspan(1, bins), kPhaseScale);
  re[h] = 0.0;
  im[h] = 0.0;
  polar_from_log(re.subspan(1, h), im.subspan(1, h), g, re.subspan(1, h), im.subspan(1, h));

  // The spectrum X is conjugate-symmetric with X[0] = X[h] = 0, so its
  // inverse transform is real and half of it is redundant. The even samples
  // and the odd samples come from one transform of length h:
  //   Z[k] = (X[k] + X[k+h]) + j (X[k] - X[k+h]) W^k,  W = e^{j 2 pi / N},
  // with X[k+h] = conj(X[h-k]); then z = ifft(Z) holds x[2m] in its real
  // part and x[2m+1] in its imaginary part. Entries k and h - k are formed
  // together from X[k] and X[h - k], with W^(h-k) = -conj(W^k). Without a
  // plan the factors W^k are made in the upper halves, free by now.
  const bool planned = plan != nullptr && plan->n_ == n;
  const double* wr = re.data() + h + 1;  // W^k at wr[k - 1]
  const double* wi = im.data() + h + 1;
  if (planned) {
    wr = plan->wr_.data();
    wi = plan->wi_.data();
  } else {
    split_factors(n, h / 2, re.data() + h + 1, im.data() + h + 1);
  }
  if (planned) {
    // The transform's bit-reversal permutation folded into the split step:
    // Z goes straight to its permuted place in the upper halves.
    const std::span<double> zr = re.subspan(h);
    const std::span<double> zi = im.subspan(h);
    if (h >= 32) {
      splitcolumns(re.data(), im.data(), zr.data(), zi.data(), h, plan->wcols_.data(),
                   plan->atcols_.data(), wr, wi, plan->rev_.data());
    } else {
      splitstep<true>(re.data(), im.data(), zr.data(), zi.data(), h, wr, wi, plan->rev_.data());
    }
    zr[0] = 0.0;
    zi[0] = 0.0;
    complex_fft_bit_reversed(zr, zi, plan->fft_);
    // Interleave from the bottom up, as far as the samples wanted: samples
    // 2m and 2m + 1 overwrite only entries m' <= m of z, already read.
    const std::size_t pairs = std::min(h, wanted / 2 + wanted % 2);
    std::size_t m = 0;
    for (; m + 4 <= pairs; m += 4) {
      Lanes even;
      Lanes odd;
      loadlanes(even, zr.data() + m);
      loadlanes(odd, zi.data() + m);
      storelanes(re.data() + 2 * m, __builtin_shufflevector(even, odd, 0, 4, 1, 5));
      storelanes(re.data() + 2 * m + 4, __builtin_shufflevector(even, odd, 2, 6, 3, 7));
    }
    for (; m < pairs; ++m) {
      const double even = zr[m];
      const double odd = zi[m];
      re[2 * m] = even;
      re[2 * m + 1] = odd;
    }
    return;
  }
  splitstep<false>(re.data(), im.data(), re.data(), im.data(), h, wr, wi, nullptr);
  re[0] = 0.0;
  im[0] = 0.0;
  inverse_fft(re.first(h), im.first(h));

  // Interleave from the top down, four entries at a time: samples 2m and
  // 2m + 1 never overwrite an entry m' < m that is still to be read.
  std::size_t m = h;
  for (; m >= 4; m -= 4) {
    Lanes even;
    Lanes odd;
    loadlanes(even, re.data() + m - 4);
    loadlanes(odd, im.data() + m - 4);
    storelanes(re.data() + 2 * m - 8, __builtin_shufflevector(even, odd, 0, 4, 1, 5));
    storelanes(re.data() + 2 * m - 4, __builtin_shufflevector(even, odd, 2, 6, 3, 7));
  }
  while (m-- > 0) {
    const double odd = im[m];
    re[2 * m] = re[m];
    re[2 * m + 1] = odd;
  }
}

}  // namespace vallisynth
