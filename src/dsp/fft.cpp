#include "dsp/fft.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "dsp/lanes.h"

namespace vallisynth {

namespace {

constexpr double kTwoPi = 6.283185307179586;
// Twiddle factors are generated this many at a time into a stack buffer, so
// that the butterflies of a stage can run over contiguous indices.
constexpr std::size_t kTwiddleBlock = 512;

bool is_power_of_two(std::size_t n) {
  return n != 0 && (n & (n - 1)) == 0;
}

// Visits the bit-reversal permutation's swaps (i, r), i < r, in increasing
// i. r follows i in reversed bit order: adding 1 in reversed order clears
// the leading ones from the top bit down and sets the first zero.
template <typename Swap>
void for_bit_reversal(std::size_t n, Swap swap) {
  std::size_t r = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (r > i) {
      swap(i, r);
    }
    std::size_t bit = n >> 1;
    while (bit != 0 && (r & bit) != 0) {
      r ^= bit;
      bit >>= 1;
    }
    r |= bit;
  }
}

// The twiddle factors of one stage, e^{-+j 2 pi t / span} for t = 0, 1, ...:
// a rotation recurrence started at 1, with one cos/sin pair per stage. The
// recurrence values are part of the output's exact rounding.
class Twiddles {
 public:
  Twiddles(std::size_t span, std::int8_t direction) {
    const double sign = direction == -1 ? 1.0 : -1.0;
    const double theta = sign * kTwoPi / static_cast<double>(span);
    c_ = std::cos(theta);
    s_ = std::sin(theta);
  }
  // The next count factors.
  void next(std::size_t count, double* wr, double* wi) {
    for (std::size_t t = 0; t < count; ++t) {
      wr[t] = xr_;
      wi[t] = xi_;
      const double nxr = xr_ * c_ - xi_ * s_;
      xi_ = xr_ * s_ + xi_ * c_;
      xr_ = nxr;
    }
  }

 private:
  double c_;
  double s_;
  double xr_ = 1.0;
  double xi_ = 0.0;
};

// One butterfly: p and q of the pair exchange their sum and difference with
// the q point rotated by the twiddle (wr, wi). T is a double or four lanes
// of butterflies.
template <typename T>
__attribute__((always_inline)) inline void butterfly(T& pr, T& pi, T& qr, T& qi, const T& wr,
                                                     const T& wi) {
  const T tre = qr * wr - qi * wi;
  const T tim = qr * wi + qi * wr;
  qr = pr - tre;
  qi = pi - tim;
  pr = pr + tre;
  pi = pi + tim;
}

// Positions within eight points for the first two stages, pairs H = 1 or 2
// points apart: the p point of pair l (l = 0..3) is at pfirst(H, l), its q
// point H further on; point e is the p or q point of pair pair_of(H, e).
constexpr int pfirst(int h, int l) {
  return 2 * h * (l / h) + l % h;
}
constexpr int pair_of(int h, int e) {
  return (e / (2 * h)) * h + e % h;
}
// Where point e is found among the four p points followed by the four q.
constexpr int source(int h, int e) {
  return (e % (2 * h) < h ? 0 : 4) + pair_of(h, e);
}

// The first two stages eight points at a time: shuffles gather the p points
// of the four pairs into one set of lanes and the q points into another,
// and put them back after the butterflies. Returns the points done, a
// multiple of 8. (Inlined into each instruction-set clone of butterflies.)
template <int H>
__attribute__((always_inline)) inline std::size_t shortpairs(double* re, double* im, std::size_t n,
                                                             const double* wr, const double* wi) {
  const Lanes tr = {wr[0], wr[H - 1], wr[0], wr[H - 1]};
  const Lanes ti = {wi[0], wi[H - 1], wi[0], wi[H - 1]};
  std::size_t m = 0;
  for (; m + 8 <= n; m += 8) {
    Lanes a[2][2];  // [real, imaginary][points 0-3, 4-7]
    loadlanes(a[0][0], re + m);
    loadlanes(a[0][1], re + m + 4);
    loadlanes(a[1][0], im + m);
    loadlanes(a[1][1], im + m + 4);
    Lanes p[2];
    Lanes q[2];
    for (int c = 0; c < 2; ++c) {
      p[c] = __builtin_shufflevector(a[c][0], a[c][1], pfirst(H, 0), pfirst(H, 1), pfirst(H, 2),
                                     pfirst(H, 3));
      q[c] = __builtin_shufflevector(a[c][0], a[c][1], pfirst(H, 0) + H, pfirst(H, 1) + H,
                                     pfirst(H, 2) + H, pfirst(H, 3) + H);
    }
    butterfly(p[0], p[1], q[0], q[1], tr, ti);
    for (int c = 0; c < 2; ++c) {
      a[c][0] = __builtin_shufflevector(p[c], q[c], source(H, 0), source(H, 1), source(H, 2),
                                        source(H, 3));
      a[c][1] = __builtin_shufflevector(p[c], q[c], source(H, 4), source(H, 5), source(H, 6),
                                        source(H, 7));
    }
    storelanes(re + m, a[0][0]);
    storelanes(re + m + 4, a[0][1]);
    storelanes(im + m, a[1][0]);
    storelanes(im + m + 4, a[1][1]);
  }
  return m;
}

// The first two stages together, eight points at a time, kept in registers
// between them: the first pairs (0, 1), (2, 3), (4, 5), (6, 7) with the
// twiddle wa, the second (0, 2), (1, 3), (4, 6), (5, 7) with the twiddles
// wb[0], wb[1], wb[0], wb[1]: the butterflies shortpairs makes, on the same
// values. n is a multiple of 8.
VALLISYNTH_MULTIARCH void firststages(double* re, double* im, std::size_t n, const double* war,
                                      const double* wai, const double* wbr, const double* wbi) {
  const Lanes ar = {war[0], war[0], war[0], war[0]};
  const Lanes ai = {wai[0], wai[0], wai[0], wai[0]};
  const Lanes br = {wbr[0], wbr[1], wbr[0], wbr[1]};
  const Lanes bi = {wbi[0], wbi[1], wbi[0], wbi[1]};
  for (std::size_t m = 0; m < n; m += 8) {
    Lanes lr;
    Lanes hr;
    Lanes li;
    Lanes hi;
    loadlanes(lr, re + m);
    loadlanes(hr, re + m + 4);
    loadlanes(li, im + m);
    loadlanes(hi, im + m + 4);
    // Points 0 2 4 6 and 1 3 5 7.
    Lanes pr = __builtin_shufflevector(lr, hr, 0, 2, 4, 6);
    Lanes pi = __builtin_shufflevector(li, hi, 0, 2, 4, 6);
    Lanes qr = __builtin_shufflevector(lr, hr, 1, 3, 5, 7);
    Lanes qi = __builtin_shufflevector(li, hi, 1, 3, 5, 7);
    butterfly(pr, pi, qr, qi, ar, ai);
    // Points 0 1 4 5 and 2 3 6 7.
    Lanes sr = __builtin_shufflevector(pr, qr, 0, 4, 2, 6);
    Lanes si = __builtin_shufflevector(pi, qi, 0, 4, 2, 6);
    Lanes tr = __builtin_shufflevector(pr, qr, 1, 5, 3, 7);
    Lanes ti = __builtin_shufflevector(pi, qi, 1, 5, 3, 7);
    butterfly(sr, si, tr, ti, br, bi);
    storelanes(re + m, __builtin_shufflevector(sr, tr, 0, 1, 4, 5));
    storelanes(re + m + 4, __builtin_shufflevector(sr, tr, 2, 3, 6, 7));
    storelanes(im + m, __builtin_shufflevector(si, ti, 0, 1, 4, 5));
    storelanes(im + m + 4, __builtin_shufflevector(si, ti, 2, 3, 6, 7));
  }
}

// Butterflies of twiddles j0 .. j0 + count - 1 of one stage, in every block.
// Each butterfly of a stage reads and writes its own pair only, so the order
// in which they run does not change any value: runs of contiguous pairs go
// four at a time, and the first two stages, whose runs are shorter than
// that, go by shuffles (and one at a time in transforms of fewer than
// eight points).
VALLISYNTH_MULTIARCH void butterflies(double* re, double* im, std::size_t n, std::size_t span,
                                      std::size_t j0, std::size_t count, const double* wr,
                                      const double* wi) {
  const std::size_t half = span / 2;
  if (count < kLaneCount) {
    // Here j0 = 0 and count = half, 1 or 2.
    const std::size_t done =
        half == 1 ? shortpairs<1>(re, im, n, wr, wi) : shortpairs<2>(re, im, n, wr, wi);
    for (std::size_t t = 0; t < count; ++t) {
      for (std::size_t p = done + j0 + t; p < n; p += span) {
        butterfly(re[p], im[p], re[p + half], im[p + half], wr[t], wi[t]);
      }
    }
    return;
  }
  // count is a power of two here, a multiple of the lane count.
  for (std::size_t m = j0; m < n; m += span) {
    for (std::size_t t = 0; t < count; t += kLaneCount) {
      const std::size_t p = m + t;
      const std::size_t q = p + half;
      Lanes pr;
      Lanes pi;
      Lanes qr;
      Lanes qi;
      Lanes tr;
      Lanes ti;
      loadlanes(pr, re + p);
      loadlanes(pi, im + p);
      loadlanes(qr, re + q);
      loadlanes(qi, im + q);
      loadlanes(tr, wr + t);
      loadlanes(ti, wi + t);
      butterfly(pr, pi, qr, qi, tr, ti);
      storelanes(re + p, pr);
      storelanes(im + p, pi);
      storelanes(re + q, qr);
      storelanes(im + q, qi);
    }
  }
}

// Two stages at once: the stage of pairs h apart (span 2 h, twiddles wa)
// and the next, of pairs 2 h apart (span 4 h, twiddles wb), for h a
// multiple of the lane count. Points p, p + h, p + 2 h, p + 3 h stay in
// registers between the two: the first stage pairs (p, p + h) and
// (p + 2 h, p + 3 h), both with twiddle t; the second (p, p + 2 h) with
// twiddle t and (p + h, p + 3 h) with twiddle t + h. Every butterfly is the
// one the stages make one after the other, on the same values.
VALLISYNTH_MULTIARCH void butterfly_pairs(double* re, double* im, std::size_t n, std::size_t h,
                                          const double* war, const double* wai, const double* wbr,
                                          const double* wbi) {
  for (std::size_t m = 0; m < n; m += 4 * h) {
    double* r0 = re + m;
    double* i0 = im + m;
    for (std::size_t t = 0; t < h; t += kLaneCount) {
      Lanes ar;
      Lanes ai;
      Lanes br;
      Lanes bi;
      Lanes cr;
      Lanes ci;
      loadlanes(ar, war + t);
      loadlanes(ai, wai + t);
      loadlanes(br, wbr + t);
      loadlanes(bi, wbi + t);
      loadlanes(cr, wbr + t + h);
      loadlanes(ci, wbi + t + h);
      Lanes x0r;
      Lanes x0i;
      Lanes x1r;
      Lanes x1i;
      Lanes x2r;
      Lanes x2i;
      Lanes x3r;
      Lanes x3i;
      loadlanes(x0r, r0 + t);
      loadlanes(x0i, i0 + t);
      loadlanes(x1r, r0 + t + h);
      loadlanes(x1i, i0 + t + h);
      loadlanes(x2r, r0 + t + 2 * h);
      loadlanes(x2i, i0 + t + 2 * h);
      loadlanes(x3r, r0 + t + 3 * h);
      loadlanes(x3i, i0 + t + 3 * h);
      butterfly(x0r, x0i, x1r, x1i, ar, ai);
      butterfly(x2r, x2i, x3r, x3i, ar, ai);
      butterfly(x0r, x0i, x2r, x2i, br, bi);
      butterfly(x1r, x1i, x3r, x3i, cr, ci);
      storelanes(r0 + t, x0r);
      storelanes(i0 + t, x0i);
      storelanes(r0 + t + h, x1r);
      storelanes(i0 + t + h, x1i);
      storelanes(r0 + t + 2 * h, x2r);
      storelanes(i0 + t + 2 * h, x2i);
      storelanes(r0 + t + 3 * h, x3r);
      storelanes(i0 + t + 3 * h, x3i);
    }
  }
}

}  // namespace

int complex_fft(std::span<double> re, std::span<double> im, std::int8_t direction) {
  const std::size_t n = re.size();
  if (im.size() != n || !is_power_of_two(n)) {
    return -1;
  }
  for_bit_reversal(n, [&](std::size_t i, std::size_t r) {
    std::swap(re[i], re[r]);
    std::swap(im[i], im[r]);
  });
  // Decimation in time; the twiddles are generated a block at a time.
  double wr[kTwiddleBlock];
  double wi[kTwiddleBlock];
  for (std::size_t span = 2, half = 1; span <= n; half = span, span *= 2) {
    Twiddles twiddles(span, direction);
    for (std::size_t j0 = 0; j0 < half; j0 += kTwiddleBlock) {
      const std::size_t count = std::min(kTwiddleBlock, half - j0);
      twiddles.next(count, wr, wi);
      butterflies(re.data(), im.data(), n, span, j0, count, wr, wi);
    }
  }
  return 0;
}

FftPlan::FftPlan(std::size_t n, std::int8_t direction) : n_(n) {
  if (!is_power_of_two(n) || n > (std::size_t{1} << 32)) {
    n_ = 0;
    return;
  }
  for_bit_reversal(n, [&](std::size_t i, std::size_t r) {
    swaps_.push_back(static_cast<std::uint32_t>(i));
    swaps_.push_back(static_cast<std::uint32_t>(r));
  });
  wr_.resize(n - 1);
  wi_.resize(n - 1);
  for (std::size_t span = 2, half = 1; span <= n; half = span, span *= 2) {
    Twiddles(span, direction).next(half, wr_.data() + half - 1, wi_.data() + half - 1);
  }
}

int complex_fft(std::span<double> re, std::span<double> im, const FftPlan& plan) {
  const std::size_t n = plan.n_;
  if (n == 0 || re.size() != n || im.size() != n) {
    return -1;
  }
  for (std::size_t k = 0; k < plan.swaps_.size(); k += 2) {
    const std::uint32_t i = plan.swaps_[k];
    const std::uint32_t r = plan.swaps_[k + 1];
    std::swap(re[i], re[r]);
    std::swap(im[i], im[r]);
  }
  return complex_fft_bit_reversed(re, im, plan);
}

int complex_fft_bit_reversed(std::span<double> re, std::span<double> im, const FftPlan& plan) {
  const std::size_t n = plan.n_;
  if (n == 0 || re.size() != n || im.size() != n) {
    return -1;
  }
  const double* wr = plan.wr_.data();
  const double* wi = plan.wi_.data();
  std::size_t half = 1;
  // The stages of short pairs together (one at a time below eight points),
  // then two at a time while two are left (the twiddles of the stage of
  // pairs h apart start at h - 1).
  if (n >= 8) {
    firststages(re.data(), im.data(), n, wr, wi, wr + 1, wi + 1);
    half = 4;
  }
  for (; half < kLaneCount && 2 * half <= n; half *= 2) {
    butterflies(re.data(), im.data(), n, 2 * half, 0, half, wr + half - 1, wi + half - 1);
  }
  for (; 4 * half <= n; half *= 4) {
    butterfly_pairs(re.data(), im.data(), n, half, wr + half - 1, wi + half - 1, wr + 2 * half - 1,
                    wi + 2 * half - 1);
  }
  if (2 * half <= n) {
    butterflies(re.data(), im.data(), n, 2 * half, 0, half, wr + half - 1, wi + half - 1);
  }
  return 0;
}

int forward_fft(std::span<double> re, std::span<double> im) {
  return complex_fft(re, im, 1);
}

int inverse_fft(std::span<double> re, std::span<double> im) {
  return complex_fft(re, im, -1);
}

void half_length_twiddles(std::size_t n, std::vector<double>& cosines, std::vector<double>& sines) {
  cosines.resize(n / 2);
  sines.resize(n / 2);
  for (std::size_t k = 0; k < n / 2; ++k) {
    const double angle = kTwoPi * static_cast<double>(k) / static_cast<double>(n);
    cosines[k] = std::cos(angle);
    sines[k] = std::sin(angle);
  }
}

}  // namespace vallisynth
