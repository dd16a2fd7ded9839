#include "analysis/envelope.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "conditioning/warping.h"
#include "dsp/lanes.h"

namespace vallisynth {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kPeriods = 4.0;       // window length in periods of f0
constexpr double kUnvoicedF0 = 150.0;  // Hz: window and smoothing width of unvoiced frames
constexpr std::size_t kMinGrid = 256;  // warped-axis intervals at least
// The decoder's noise frames overlap-add with triangular weights w and
// 1 - w, whose powers sum to 2/3 on average: its noise comes out that much
// weaker than an envelope's harmonics, so the envelope is raised by as much
// where the decoder renders noise.
const double kNoiseGain = 0.5 * std::log(1.5);
// The decoder lifts its envelope linearly in dB above 3.5 kHz, by 10 dB at
// half the sampling rate.
constexpr double kLiftStart = 3500.0;
constexpr double kLiftAtNyquist = 1.151292546497023;  // ln(10) / 2
// The decoder's cross-fade below fv: its knee (a share of fv) and the
// noise's log gain there, ln(10^-0.9).
constexpr double kCrossfadeKnee = 0.8;
constexpr double kCrossfadeKneeGain = -2.0723265836946414;
// The first point of the decoder's noise envelope grid: below it the noise
// takes that point's level.
constexpr double kNoiseGridStep = 100.0;
// Harmonicity above which a harmonic counts as periodic. Noise alone
// scores about 0 on average, but the bands' re-centring (below) draws them
// towards whatever power is near, which lifts noise's score: the threshold
// sits above that.
constexpr double kPeriodicThreshold = 0.3;
// The most a band is moved towards its power's centre, as a share of its
// half-width (a quarter of f0): an f0 off by a percent drifts a hundredth
// of f0 per harmonic, well within it, while noise is not chased far.
constexpr double kLargestRecentring = 0.25;
// The search for the split ends once the running score has fallen this
// far below its best (some fifteen aperiodic harmonics on): a voice whose
// harmonics turn periodic again that far above is not one split would
// describe, and at high rates most harmonics lie up there.
constexpr double kGiveUp = 5.0;
// A period twice the voice's leaves the bands at its odd harmonics, which
// fall between the voice's, as troughs: at least 10 dB below the geometric
// mean of their neighbours, in most of the first few.
constexpr double kTroughRatio = 0.1;
constexpr int kOddBandsJudged = 4;
constexpr double kPowerFloor = 1e-30;           // keeps the log of digital silence finite
constexpr double kRelativeFloor = 1e-9;         // 90 dB below the frame's loudest band
constexpr std::size_t kBlock = 4 * kLaneCount;  // values kept in registers at a time
constexpr std::size_t kShortestHalf = 8;        // the shortest transform is of 16 points

std::size_t round_up(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}

// out[c] = start + the sum over r of m[r][c] v[r], for c < stride (a
// multiple of kBlock), m being rows of stride values. Each sum runs over r
// in order, as a scalar loop would: the file is compiled without fused
// multiply-adds, so every processor gives the same bits.
VALLISYNTH_MULTIARCH void weighted_row_sum(const double* m, std::size_t stride, const double* v,
                                           std::size_t rows, double start, double* out) {
  for (std::size_t c = 0; c < stride; c += kBlock) {
    Lanes a0 = {start, start, start, start}, a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t r = 0; r < rows; ++r) {
      const double* p = m + r * stride + c;
      const Lanes x = {v[r], v[r], v[r], v[r]};
      Lanes r0, r1, r2, r3;
      loadlanes(r0, p);
      loadlanes(r1, p + kLaneCount);
      loadlanes(r2, p + 2 * kLaneCount);
      loadlanes(r3, p + 3 * kLaneCount);
      a0 += r0 * x;
      a1 += r1 * x;
      a2 += r2 * x;
      a3 += r3 * x;
    }
    storelanes(out + c, a0);
    storelanes(out + c + kLaneCount, a1);
    storelanes(out + c + 2 * kLaneCount, a2);
    storelanes(out + c + 3 * kLaneCount, a3);
  }
}

// The power of bins 1 to half - 1 of a real sequence's transform, from the
// complex transform z of its even (real part) and odd (imaginary part)
// samples: X = E + W O, E and O from the symmetric and antisymmetric parts
// of z at k and half - k, W = c - j s the twiddle of bin k.
// T is double or Lanes: the same operations on one bin or four (Lanes are
// handed out through a reference, as lanes.h explains).
template <typename T>
__attribute__((always_inline)) inline void unpacked_power(const T& ar, const T& ai, const T& br,
                                                          const T& bi, const T& c, const T& s,
                                                          T& power) {
  const T er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
  const T odr = 0.5 * (ai + bi), odi = -0.5 * (ar - br);
  const T xr = er + c * odr + s * odi, xi = ei + c * odi - s * odr;
  power = xr * xr + xi * xi;
}

VALLISYNTH_MULTIARCH void unpack_power(const double* zr, const double* zi, const double* wc,
                                       const double* ws, std::size_t half, double* power) {
  // Four bins at a time, the same operations lane by lane; bins half - k
  // are read four at a time and reversed.
  std::size_t k = 1;
  for (; k + kLaneCount <= half; k += kLaneCount) {
    const std::size_t b = half - k - (kLaneCount - 1);
    Lanes ar, ai, br, bi, c, s;
    loadlanes(ar, zr + k);
    loadlanes(ai, zi + k);
    loadlanes(br, zr + b);
    loadlanes(bi, zi + b);
    loadlanes(c, wc + k);
    loadlanes(s, ws + k);
    reverse(br);
    reverse(bi);
    Lanes p;
    unpacked_power(ar, ai, br, bi, c, s, p);
    storelanes(power + k, p);
  }
  for (; k < half; ++k) {
    unpacked_power(zr[k], zi[k], zr[half - k], zi[half - k], wc[k], ws[k], power[k]);
  }
}
}  // namespace

EnvelopeAnalyser::EnvelopeAnalyser(double fs, std::uint32_t order, double alpha, double f0_min,
                                   double f0_max)
    : fs_(fs), order_(order), f0_min_(f0_min), f0_max_(f0_max) {
  grid_ = std::max<std::size_t>(kMinGrid, std::bit_ceil(std::size_t{4} * (order + 1)));
  grid_hz_.resize(grid_ + 1);
  grid_correction_.resize(grid_ + 1);
  lift_slope_ = kLiftAtNyquist / (0.5 * fs - kLiftStart);
  for (std::size_t i = 0; i <= grid_; ++i) {
    const double warped = kPi * static_cast<double>(i) / static_cast<double>(grid_);
    grid_hz_[i] = warp_frequency(warped, -alpha) * fs / kTwoPi;
    if (i == grid_) {
      grid_hz_[i] = 0.5 * fs;
    }
    grid_correction_[i] =
        grid_hz_[i] > kLiftStart ? -(grid_hz_[i] - kLiftStart) * lift_slope_ : 0.0;
  }
  // The series evaluated back on the grid (2 cos(j w~), j >= 1), and each
  // grid point's share of the linear frequency axis.
  grid_stride_ = round_up(grid_ + 1, kBlock);
  series_.assign(order * grid_stride_, 0.0);
  grid_weight_.resize(grid_ + 1);
  grid_span_.resize(grid_ + 1);
  density_.resize(grid_ + 1);
  model_.resize(grid_stride_);
  for (std::size_t i = 0; i <= grid_; ++i) {
    const double warped = kPi * static_cast<double>(i) / static_cast<double>(grid_);
    for (std::size_t j = 1; j <= order; ++j) {
      series_[(j - 1) * grid_stride_ + i] = 2.0 * std::cos(static_cast<double>(j) * warped);
    }
    const double lo = grid_hz_[i == 0 ? 0 : i - 1], hi = grid_hz_[i == grid_ ? grid_ : i + 1];
    // The linear bandwidth of the point, times the power the decoder adds
    // by its lift and takes away from its noise.
    grid_span_[i] = 0.5 * (hi - lo);
    grid_weight_[i] = grid_span_[i] * std::exp(-2.0 * (grid_correction_[i] + kNoiseGain));
  }
  low_index_ = 0;
  while (low_index_ + 1 < grid_ && grid_hz_[low_index_ + 1] <= kNoiseGridStep) {
    ++low_index_;
  }
  low_frac_ =
      (kNoiseGridStep - grid_hz_[low_index_]) / (grid_hz_[low_index_ + 1] - grid_hz_[low_index_]);
  coefficient_stride_ = round_up(order + 1, kBlock);
  cosines_.assign((grid_ + 1) * coefficient_stride_, 0.0);
  coefficients_.resize(coefficient_stride_);
  for (std::size_t j = 0; j <= order; ++j) {
    for (std::size_t i = 0; i <= grid_; ++i) {
      const double weight = (i == 0 || i == grid_) ? 0.5 : 1.0;
      const double angle =
          kPi * static_cast<double>(j * i % (2 * grid_)) / static_cast<double>(grid_);
      cosines_[i * coefficient_stride_ + j] = weight * std::cos(angle) / static_cast<double>(grid_);
    }
  }
  const std::size_t longest = std::bit_ceil(2 * (2 * max_half_window() + 1));
  // A real sequence of n points is transformed as a complex one of n / 2.
  plans_.resize(static_cast<std::size_t>(std::countr_zero(longest)) + 1);
  for (std::size_t n = 2 * kShortestHalf, b = 4; n <= longest; n *= 2, ++b) {
    plans_[b] = std::make_unique<FftPlan>(n / 2, 1);
  }
  // Each length's twiddles e^{-j2 pi k / n}, k < n / 2, one table after the
  // other from the shortest, taken from the longest's so that every length
  // has the same values.
  std::vector<double> longest_cos, longest_sin;
  half_length_twiddles(longest, longest_cos, longest_sin);
  twiddle_cos_.resize(longest - kShortestHalf);
  twiddle_sin_.resize(longest - kShortestHalf);
  for (std::size_t n = 2 * kShortestHalf; n <= longest; n *= 2) {
    const std::size_t stride = longest / n, table = n / 2 - kShortestHalf;
    for (std::size_t k = 0; k < n / 2; ++k) {
      twiddle_cos_[table + k] = longest_cos[k * stride];
      twiddle_sin_[table + k] = longest_sin[k * stride];
    }
  }
  frame_.resize(longest + 1);
  re_.resize(longest / 2);
  im_.resize(longest / 2);
  power_.resize(longest / 2 + 1);
  sums_.resize(longest + 16);
  log_env_.resize(grid_ + 1);
}

std::size_t EnvelopeAnalyser::half_window(double f0) const {
  const double f = f0 > 0.0 ? std::clamp(f0, f0_min_, f0_max_) : kUnvoicedF0;
  return static_cast<std::size_t>(std::lround(0.5 * kPeriods * fs_ / f));
}

void EnvelopeAnalyser::power_spectrum(const FftPlan& plan, std::size_t half) {
  // Even samples as the real part, odd ones as the imaginary part; the
  // spectra of the two halves are separated from the transform's symmetric
  // and antisymmetric parts and recombined with the twiddle e^{-j2 pi k/n}.
  const std::size_t filled = std::min(half, (len_ + 1) / 2);
  for (std::size_t m = 0; m < filled; ++m) {
    re_[m] = frame_[2 * m];
    im_[m] = frame_[2 * m + 1];
  }
  std::fill(re_.begin() + static_cast<std::ptrdiff_t>(filled),
            re_.begin() + static_cast<std::ptrdiff_t>(half), 0.0);
  std::fill(im_.begin() + static_cast<std::ptrdiff_t>(filled),
            im_.begin() + static_cast<std::ptrdiff_t>(half), 0.0);
  complex_fft(std::span<double>(re_.data(), half), std::span<double>(im_.data(), half), plan);
  const double* zr = re_.data();
  const double* zi = im_.data();
  double* power = power_.data();
  // Bins 0 and n / 2 are the sum and the difference of the two halves' DC.
  power[0] = (zr[0] + zi[0]) * (zr[0] + zi[0]);
  power[half] = (zr[0] - zi[0]) * (zr[0] - zi[0]);
  const std::size_t table = half - kShortestHalf;
  unpack_power(zr, zi, twiddle_cos_.data() + table, twiddle_sin_.data() + table, half, power);
}

void EnvelopeAnalyser::match_power(std::span<double> cc, double f0, double fv) {
  // The truncated cosine series smooths the log envelope, which lowers its
  // formant peaks more than it raises its valleys, and between the sparse
  // harmonics of a high voice a log-domain curve carries less power than
  // the measured spectrum: c0 takes back the difference. It is measured
  // where the decoder renders the envelope: its harmonics sample it at
  // k f0 below fv, each carrying f0 of bandwidth; its noise spans the rest
  // and takes its level below 100 Hz (its envelope grid's first point)
  // from 100 Hz. Both are weighed by the decoder's lift.
  // The series on the grid: model_[i] = cc[0] + the sum over j of
  // 2 cos(j w~_i) cc[j].
  weighted_row_sum(series_.data(), grid_stride_, cc.data() + 1, order_, cc[0], model_.data());
  const double model_low =
      model_[low_index_] + low_frac_ * (model_[low_index_ + 1] - model_[low_index_]);
  double wanted = 0.0, got = 0.0;
  std::size_t first_noise = 0;
  if (f0 > 0.0) {
    const double top = std::min(fv, 0.5 * fs_);
    double harmonics_wanted = 0.0, harmonics_got = 0.0;
    std::size_t i = 0;
    for (double f = f0; f < top; f += f0) {
      while (i + 1 < grid_ && grid_hz_[i + 1] <= f) {
        ++i;
      }
      const double t = (f - grid_hz_[i]) / (grid_hz_[i + 1] - grid_hz_[i]);
      const double lift = f > kLiftStart ? 2.0 * (f - kLiftStart) * lift_slope_ : 0.0;
      harmonics_wanted +=
          std::exp(2.0 * (log_env_[i] + t * (log_env_[i + 1] - log_env_[i])) + lift);
      harmonics_got += std::exp(2.0 * (model_[i] + t * (model_[i + 1] - model_[i])) + lift);
    }
    wanted = f0 * harmonics_wanted;
    got = f0 * harmonics_got;
    while (first_noise <= grid_ && grid_hz_[first_noise] < fv) {
      ++first_noise;
    }
  }
  for (std::size_t i = first_noise; i <= grid_; ++i) {
    const double rendered = grid_hz_[i] < kNoiseGridStep ? model_low : model_[i];
    // The weight undoes the lift and the noise's gain that the level
    // carries: what is wanted is the measured density itself.
    wanted += grid_span_[i] * density_[i];
    got += grid_weight_[i] * std::exp(2.0 * rendered);
  }
  if (got > 0.0 && wanted > 0.0 && std::isfinite(wanted) && std::isfinite(got)) {
    cc[0] += 0.5 * std::log(wanted / got);
  }
}

double EnvelopeAnalyser::cumulative(double position) const {
  // sums_[j] is the power of the bins below j - margin_, each bin spanning
  // half a bin either side of its centre: the integral of the spectrum up
  // to position, linear within a bin.
  const double u = position + 0.5 + static_cast<double>(margin_);
  const double top = static_cast<double>(n_ / 2 + 2 * margin_);
  const double clamped = std::clamp(u, 0.0, top);
  const auto j = static_cast<std::size_t>(clamped);
  const double frac = clamped - static_cast<double>(j);
  return sums_[j] + frac * (sums_[j + 1] - sums_[j]);
}

double EnvelopeAnalyser::power_share_above(double hz) const {
  const double top = static_cast<double>(n_ / 2);
  const double total = cumulative(top) - cumulative(-0.5);
  const double above =
      cumulative(top) - cumulative(std::min(top, hz * static_cast<double>(n_) / fs_));
  return total > 0.0 ? above / total : 0.0;
}

bool EnvelopeAnalyser::odd_harmonics_missing(double f0) const {
  const double bins_per_hz = static_cast<double>(n_) / fs_;
  const double top = static_cast<double>(n_ / 2);
  const double reach = 0.25 * f0 * bins_per_hz;
  auto band = [&](int k) {
    const double centre = k * f0 * bins_per_hz;
    return cumulative(centre + reach) - cumulative(centre - reach);
  };
  int tried = 0, troughs = 0;
  for (int k = 1; tried < kOddBandsJudged; k += 2) {
    if ((k + 1) * f0 * bins_per_hz + reach > top) {
      break;
    }
    const double neighbours = k == 1 ? band(2) : std::sqrt(band(k - 1) * band(k + 1));
    ++tried;
    troughs += band(k) < kTroughRatio * neighbours ? 1 : 0;
  }
  // Three of the first four (or all, where fewer fit below half the rate).
  return tried >= 2 && 4 * troughs >= 3 * tried;
}

double EnvelopeAnalyser::refine(double f0, double bins_per_hz) const {
  // Each harmonic's peak, interpolated on the log power spectrum, and the
  // f0 that fits them best in the least-squares sense, each weighed by the
  // fourth root of its power. Weighed by power, the strongest harmonic or
  // two decide alone, and they sit beside the first formant, whose phase
  // bends their peaks while f0 moves; the higher ones measure f0 finer.
  const double limit = std::min(0.5 * fs_ - f0, 4000.0);
  const double q = std::max(1.0, 0.25 * f0 * bins_per_hz);
  double num = 0.0, den = 0.0;
  for (int k = 1; k * f0 < limit; ++k) {
    const double centre = k * f0 * bins_per_hz;
    const auto lo = static_cast<std::size_t>(std::max(1.0, std::ceil(centre - q)));
    const auto hi = std::min(n_ / 2 - 1, static_cast<std::size_t>(centre + q));
    if (lo > hi) {
      break;
    }
    std::size_t peak = lo;
    for (std::size_t b = lo + 1; b <= hi; ++b) {
      if (power_[b] > power_[peak]) {
        peak = b;
      }
    }
    if (peak == lo || peak == hi || power_[peak] <= 0.0) {
      continue;  // no maximum inside the harmonic's band
    }
    const double a = std::log(power_[peak - 1] + kPowerFloor);
    const double c = std::log(power_[peak] + kPowerFloor);
    const double b = std::log(power_[peak + 1] + kPowerFloor);
    const double d = a - 2.0 * c + b;
    const double shift = d < 0.0 ? std::clamp(0.5 * (a - b) / d, -0.5, 0.5) : 0.0;
    const double fk = (static_cast<double>(peak) + shift) / bins_per_hz;
    const double weight = std::sqrt(std::sqrt(power_[peak]));
    num += weight * k * fk;
    den += weight * k * k;
  }
  if (den <= 0.0) {
    return f0;
  }
  const double refined = num / den;
  return std::fabs(refined / f0 - 1.0) < 0.05 ? refined : f0;
}

double EnvelopeAnalyser::voiced_frequency(double f0, double bins_per_hz) const {
  // Harmonicity of harmonic k: the power within a quarter of f0 of it
  // against the power between a quarter and a half of f0 away, where a
  // resolved sinusoid leaves little. The split keeps the harmonics below
  // it that are periodic on the whole, the rest above.
  //
  // An f0 off by half a percent puts the fiftieth harmonic a quarter of f0
  // from k f0, so the bands walk from harmonic to harmonic: each is centred
  // where the power within it is centred, and the next is looked for one
  // f0 above.
  const double spacing = f0 * bins_per_hz;
  const double q = 0.25 * spacing;
  const std::size_t top = n_ / 2;
  double score = 0.0, best = 0.0;
  double at = 0.0, best_at = spacing;
  double expected = spacing;
  while (expected + 2.0 * q < static_cast<double>(top)) {
    const auto lo = static_cast<std::size_t>(std::max(0.0, std::ceil(expected - q)));
    const auto hi = std::min(top, static_cast<std::size_t>(expected + q));
    double m0 = 0.0, m1 = 0.0;
    for (std::size_t b = lo; b <= hi; ++b) {
      m0 += power_[b];
      m1 += power_[b] * static_cast<double>(b);
    }
    const double shift = m0 > 0.0 ? m1 / m0 - expected : 0.0;
    at = expected + std::clamp(shift, -kLargestRecentring * q, kLargestRecentring * q);
    const double c1 = cumulative(at - 2.0 * q), c2 = cumulative(at - q);
    const double c3 = cumulative(at + q), c4 = cumulative(at + 2.0 * q);
    const double peak = c3 - c2, valley = (c4 - c3) + (c2 - c1);
    const double h = (peak - valley) / (peak + valley + kPowerFloor);
    score += h - kPeriodicThreshold;
    if (score > best) {
      best = score;
      best_at = at;
    } else if (score < best - kGiveUp) {
      break;
    }
    expected = at + spacing;
  }
  return std::min(0.5 * fs_, (best_at + 0.5 * spacing) / bins_per_hz);
}

EnvelopeAnalyser::Result EnvelopeAnalyser::analyse(std::span<const double> segment, double f0,
                                                   std::span<double> cc) {
  const std::size_t len = segment.size();
  len_ = len;
  // Voiced frames are zero-padded to at least twice their length, which
  // places the harmonic peaks finely enough for the f0 refinement; unvoiced
  // ones are only smoothed.
  n_ = std::max<std::size_t>(2 * kShortestHalf, std::bit_ceil(f0 > 0.0 ? 2 * len : len));
  const FftPlan& plan = *plans_[static_cast<std::size_t>(std::countr_zero(n_))];
  // Hann window over len samples, by a rotating phasor; the weighted mean
  // is removed so that an offset leaks nothing into the low bins.
  const double step = kTwoPi / static_cast<double>(len + 1);
  const double cs = std::cos(step), sn = std::sin(step);
  double c = cs, s = sn;
  double wsum = 0.0, wxsum = 0.0, w2sum = 0.0;
  for (std::size_t i = 0; i < len; ++i) {
    const double w = 0.5 - 0.5 * c;
    frame_[i] = w;
    wsum += w;
    wxsum += w * segment[i];
    w2sum += w * w;
    const double nc = c * cs - s * sn;
    s = s * cs + c * sn;
    c = nc;
  }
  const double mean = wxsum / wsum;
  for (std::size_t i = 0; i < len; ++i) {
    frame_[i] *= segment[i] - mean;
  }
  // One zero after the samples covers an odd length's last pair.
  frame_[len] = 0.0;
  const std::size_t half = n_ / 2;
  power_spectrum(plan, half);
  const double bins_per_hz = static_cast<double>(n_) / fs_;
  const double width_hz = f0 > 0.0 ? f0 : kUnvoicedF0;
  // Running sums of the spectrum mirrored at 0 Hz and at half the rate.
  margin_ = static_cast<std::size_t>(std::ceil(0.5 * width_hz * bins_per_hz)) + 2;
  sums_[0] = 0.0;
  for (std::size_t j = 0; j < half + 1 + 2 * margin_; ++j) {
    const auto e = static_cast<std::ptrdiff_t>(j) - static_cast<std::ptrdiff_t>(margin_);
    std::size_t bin = static_cast<std::size_t>(e < 0 ? -e : e);
    if (bin > half) {
      bin = 2 * half - bin;
    }
    sums_[j + 1] = sums_[j] + power_[bin];
  }
  Result result;
  if (f0 > 0.0) {
    result.f0 = refine(f0, bins_per_hz);
    result.fv = voiced_frequency(result.f0, bins_per_hz);
  }
  const double f = f0 > 0.0 ? result.f0 : kUnvoicedF0;
  // Power per hertz (one-sided) averaged over one f0: 2 |X|^2 / (fs sum w^2)
  // per bin. The decoder gives a harmonic 2 sqrt(f0) e^L, power 2 f0 e^2L
  // per f0 of bandwidth: hence L = ln(density / 2) / 2.
  const double hw = 0.5 * f * bins_per_hz;
  const double to_density = 2.0 / (fs_ * w2sum) / (2.0 * hw);
  double loudest = 0.0;
  for (std::size_t i = 0; i <= grid_; ++i) {
    // Below f0 there is no harmonic to measure: the envelope stays at its
    // value at f0.
    const double hz = f0 > 0.0 ? std::max(grid_hz_[i], f) : grid_hz_[i];
    const double pos = hz * bins_per_hz;
    log_env_[i] = (cumulative(pos + hw) - cumulative(pos - hw)) * to_density;
    loudest = std::max(loudest, log_env_[i]);
  }
  // A band far below the frame's loudest (a recording band-limited below
  // the Nyquist frequency, digital silence) is held at a floor relative to
  // it: a deeper cliff would ring through the truncated cepstrum and shift
  // the level of the whole envelope.
  const double floor = kRelativeFloor * loudest + kPowerFloor;
  // Below fv the decoder cross-fades its harmonics (power 1 - g^2) into its
  // noise (g^2, of which the overlap-add keeps two thirds), g rising from
  // -18 dB at 0.8 fv to 0 dB at fv: that band is raised by the power lost.
  const double knee = kCrossfadeKnee * result.fv;
  for (std::size_t i = 0; i <= grid_; ++i) {
    density_[i] = 0.5 * std::max(log_env_[i], floor);
    double level = 0.5 * std::log(density_[i]) + grid_correction_[i];
    if (f0 <= 0.0 || grid_hz_[i] >= result.fv) {
      level += kNoiseGain;
    } else if (grid_hz_[i] >= knee) {
      const double g2 =
          std::exp(2.0 * kCrossfadeKneeGain * (result.fv - grid_hz_[i]) / (result.fv - knee));
      level -= 0.5 * std::log(1.0 - g2 / 3.0);
    }
    log_env_[i] = level;
  }
  weighted_row_sum(cosines_.data(), coefficient_stride_, log_env_.data(), grid_ + 1, 0.0,
                   coefficients_.data());
  std::copy_n(coefficients_.begin(), order_ + 1, cc.begin());
  match_power(cc, result.f0, result.fv);
  return result;
}

}  // namespace vallisynth
