#include "analysis/pitch.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vallisynth {

namespace {
constexpr double kReferenceSeconds = 0.02;  // reference window, one period at 50 Hz
constexpr double kCandidateFloor = 0.3;     // weaker correlation peaks are no candidates
// Tracker costs (dimensionless, on the scale of 1 - correlation).
constexpr double kLagWeight = 0.3;           // favours the shortest period among multiples
constexpr double kFrequencyWeight = 0.6;     // per unit of |ln f0 ratio| between frames
constexpr double kVoicingTransition = 0.45;  // entering or leaving a voiced stretch
constexpr double kUnvoicedBias = -0.125;     // added to the unvoiced state's cost
// At the edge of a voiced stretch the signal one lag away reaches further
// into the other side the longer the lag, so a long period correlates less
// there than a short one does: the unvoiced state's cost rises by this
// much per reference window's length of the strongest candidate's period.
constexpr double kEdgeWeight = 0.05;
constexpr double kSilenceRms = 3e-5;  // about -90 dB: too quiet to be voiced
}  // namespace

PitchCandidates::PitchCandidates(double rate, double f0_min, double f0_max)
    : rate_(rate),
      half_ref_(static_cast<std::size_t>(std::lround(0.5 * kReferenceSeconds * rate))),
      min_lag_(std::max<std::size_t>(2, static_cast<std::size_t>(std::floor(rate / f0_max)))),
      max_lag_(static_cast<std::size_t>(std::ceil(rate / f0_min)) + 1),
      n_(std::bit_ceil(2 * (half_ref_ + max_lag_))),
      forward_(n_, 1),
      inverse_(n_ / 2, -1),
      re_(n_),
      im_(n_),
      energy_(2 * (half_ref_ + max_lag_) + 1),
      nccf_(max_lag_ + 2),
      weight_(2 * half_ref_),
      weighted_energy_(2 * max_lag_),
      correlation_(2 * max_lag_) {
  half_length_twiddles(n_, twiddle_cos_, twiddle_sin_);
  static_assert(kNestedWindows == 3, "the weighted energy sums three nested windows");
  // Nested windows of equal weight: the reference counts the samples
  // nearest the frame's centre most, so that a frame at the edge of a
  // voiced stretch is judged by its own neighbourhood, while the outer
  // window keeps a long period's measurement steady.
  for (std::size_t j = 0; j < kNestedWindows; ++j) {
    nested_half_[j] = std::max<std::size_t>(1, half_ref_ >> j);
    for (std::size_t i = half_ref_ - nested_half_[j]; i < half_ref_ + nested_half_[j]; ++i) {
      weight_[i] += 1.0 / static_cast<double>(kNestedWindows);
    }
  }
}

void PitchCandidates::analyse(std::span<const double> segment, PitchFrame& frame) {
  const std::size_t len = segment_length();
  const std::size_t ref_start = max_lag_;
  const std::size_t ref_len = 2 * half_ref_;
  // Means removed so that an offset does not correlate at every lag.
  double seg_mean = 0.0, ref_mean = 0.0;
  for (std::size_t i = 0; i < len; ++i) {
    seg_mean += segment[i];
  }
  seg_mean /= static_cast<double>(len);
  for (std::size_t i = 0; i < ref_len; ++i) {
    ref_mean += segment[ref_start + i];
  }
  ref_mean /= static_cast<double>(ref_len);
  // Both real sequences in one complex transform: the reference as the real
  // part, the whole segment as the imaginary part.
  std::fill(re_.begin() + static_cast<std::ptrdiff_t>(ref_len), re_.end(), 0.0);
  std::fill(im_.begin() + static_cast<std::ptrdiff_t>(len), im_.end(), 0.0);
  double ref_energy = 0.0, plain_energy = 0.0;
  for (std::size_t i = 0; i < ref_len; ++i) {
    const double v = segment[ref_start + i] - ref_mean;
    re_[i] = weight_[i] * v;
    ref_energy += re_[i] * v;
    plain_energy += v * v;
  }
  energy_[0] = 0.0;
  for (std::size_t i = 0; i < len; ++i) {
    im_[i] = segment[i] - seg_mean;
    energy_[i + 1] = energy_[i] + im_[i] * im_[i];
  }
  frame.rms = std::sqrt(plain_energy / static_cast<double>(ref_len));
  complex_fft(re_, im_, forward_);
  // The cross-spectrum conj(R) S, R and S separated from the packed
  // transform; its bins above n / 2 are the conjugates of those below.
  const std::size_t n = n_, half = n / 2;
  auto cross = [&](std::size_t k, double& xr, double& xi) {
    const std::size_t m = (n - k) & (n - 1);
    const double rr = 0.5 * (re_[k] + re_[m]), ri = 0.5 * (im_[k] - im_[m]);
    const double sr = 0.5 * (im_[k] + im_[m]), si = 0.5 * (re_[m] - re_[k]);
    xr = rr * sr + ri * si;
    xi = rr * si - ri * sr;
  };
  // The correlation is real: its even samples as the real part and its odd
  // ones as the imaginary part of a transform of half the length, whose
  // bin k is the even part X[k] + conj X[n/2 - k] plus j times the odd
  // part (X[k] - conj X[n/2 - k]) e^{j 2 pi k / n}. Bins k and n/2 - k
  // need the same two cross-spectrum bins and overwrite only packed bins
  // no later pair reads.
  auto fold = [&](std::size_t k, double ar, double ai, double br, double bi) {
    const double dr = ar - br, di = ai - bi;
    const double c = twiddle_cos_[k], sn = twiddle_sin_[k];
    const double odd_r = dr * c - di * sn, odd_i = dr * sn + di * c;
    re_[k] = (ar + br) - odd_i;
    im_[k] = (ai + bi) + odd_r;
  };
  for (std::size_t k = 0; k <= half / 2; ++k) {
    const std::size_t j = half - k;
    double ar = 0.0, ai = 0.0, br = 0.0, bi = 0.0;
    cross(k, ar, ai);
    cross(j, br, bi);
    fold(k, ar, ai, br, -bi);
    if (k > 0 && j != k) {
      fold(j, br, bi, ar, -ai);
    }
  }
  const std::span<double> zr(re_.data(), half), zi(im_.data(), half);
  complex_fft(zr, zi, inverse_);
  // The segment's energy under the reference's weights at every offset d:
  // the sum of its nested windows' (the 1 / kNestedWindows of each taken
  // into the reference's energy).
  const std::size_t h0 = nested_half_[0], h1 = nested_half_[1], h2 = nested_half_[2];
  const double* e = energy_.data() + half_ref_;
  for (std::size_t d = 1; d < 2 * max_lag_; ++d) {
    weighted_energy_[d] =
        ((e[d + h0] - e[d - h0]) + (e[d + h1] - e[d - h1])) + (e[d + h2] - e[d - h2]);
  }
  // The normalised correlation at offset d (sample d of the transform,
  // n times over: real part of point d / 2 when d is even, imaginary when
  // odd); offset max_lag_ +- tau is the lag +-tau.
  const double scale = 1.0 / static_cast<double>(n);
  const double floor = 1e-20 + 1e-12 * ref_energy;
  const double ref_share = ref_energy / static_cast<double>(kNestedWindows);
  auto normalised = [&](double c, std::size_t d) {
    return c * scale / std::sqrt(ref_share * weighted_energy_[d] + floor * floor);
  };
  for (std::size_t m = 0; m < max_lag_; ++m) {
    if (m > 0) {
      correlation_[2 * m] = normalised(re_[m], 2 * m);
    }
    correlation_[2 * m + 1] = normalised(im_[m], 2 * m + 1);
  }
  for (std::size_t tau = min_lag_ - 1; tau <= max_lag_ - 1; ++tau) {
    // Half the mean of both sides, half the better one: at the onset or end
    // of a voiced stretch the signal a lag before or after the frame is
    // not yet (or no longer) periodic, and the mean alone would halve a
    // clear correlation on the other side.
    const double after = correlation_[max_lag_ + tau], before = correlation_[max_lag_ - tau];
    nccf_[tau] = 0.25 * (after + before) + 0.5 * std::max(after, before);
  }
  frame.count = 0;
  frame.best_correlation = 0.0;
  for (std::size_t tau = min_lag_; tau < max_lag_ - 1; ++tau) {
    const double c = nccf_[tau];
    if (c < kCandidateFloor || c < nccf_[tau - 1] || c <= nccf_[tau + 1]) {
      continue;
    }
    // Parabola through the peak and its neighbours.
    const double a = nccf_[tau - 1], b = nccf_[tau + 1];
    const double den = a - 2.0 * c + b;
    double shift = den < 0.0 ? 0.5 * (a - b) / den : 0.0;
    shift = std::clamp(shift, -0.5, 0.5);
    const double peak = std::min(1.0, c - 0.25 * (a - b) * shift);
    const double period = static_cast<double>(tau) + shift;
    PitchCandidate cand{rate_ / period, peak, period / static_cast<double>(max_lag_)};
    frame.best_correlation = std::max(frame.best_correlation, peak);
    // Keep the strongest few, in order of lag.
    if (frame.count < kMaxPitchCandidates) {
      frame.candidates[frame.count++] = cand;
    } else {
      std::size_t weakest = 0;
      for (std::size_t i = 1; i < frame.count; ++i) {
        if (frame.candidates[i].correlation < frame.candidates[weakest].correlation) {
          weakest = i;
        }
      }
      if (frame.candidates[weakest].correlation < peak) {
        std::copy(frame.candidates + weakest + 1, frame.candidates + frame.count,
                  frame.candidates + weakest);
        frame.candidates[frame.count - 1] = cand;
      }
    }
  }
}

PitchTracker::PitchTracker(std::size_t lag) : lag_(lag), ring_(lag + 2) {
}

void PitchTracker::reset() {
  first_ = 0;
  count_ = 0;
}

void PitchTracker::add(const PitchFrame& frame) {
  Node& node = at(count_);
  node.states = frame.count + 1;
  node.f0[0] = 0.0;
  double local[kMaxPitchCandidates + 1];
  double strongest_period = 0.0, strongest = -1.0;
  for (std::size_t i = 0; i < frame.count; ++i) {
    if (frame.candidates[i].correlation > strongest) {
      strongest = frame.candidates[i].correlation;
      strongest_period = 1.0 / frame.candidates[i].f0;
    }
  }
  local[0] = frame.rms < kSilenceRms ? -1.0
                                     : kUnvoicedBias + frame.best_correlation +
                                           kEdgeWeight * strongest_period / kReferenceSeconds;
  for (std::size_t i = 0; i < frame.count; ++i) {
    const PitchCandidate& c = frame.candidates[i];
    node.f0[i + 1] = c.f0;
    local[i + 1] = 1.0 - c.correlation * (1.0 - kLagWeight * c.lag_share);
  }
  if (count_ == 0) {
    for (std::size_t s = 0; s < node.states; ++s) {
      node.cost[s] = local[s];
      node.back[s] = 0;
    }
  } else {
    const Node& prev = at(count_ - 1);
    for (std::size_t s = 0; s < node.states; ++s) {
      double best = 0.0;
      std::uint8_t arg = 0;
      for (std::size_t p = 0; p < prev.states; ++p) {
        double t = 0.0;
        const bool pv = p > 0, sv = s > 0;
        if (pv && sv) {
          t = kFrequencyWeight * std::fabs(std::log(node.f0[s] / prev.f0[p]));
        } else if (pv != sv) {
          t = kVoicingTransition;
        }
        const double c = prev.cost[p] + t;
        if (p == 0 || c < best) {
          best = c;
          arg = static_cast<std::uint8_t>(p);
        }
      }
      node.cost[s] = best + local[s];
      node.back[s] = arg;
    }
  }
  // Costs relative to the best path, so that they stay bounded.
  double low = node.cost[0];
  for (std::size_t s = 1; s < node.states; ++s) {
    low = std::min(low, node.cost[s]);
  }
  for (std::size_t s = 0; s < node.states; ++s) {
    node.cost[s] -= low;
  }
  ++count_;
}

double PitchTracker::take() {
  const Node& newest = at(count_ - 1);
  std::size_t state = 0;
  for (std::size_t s = 1; s < newest.states; ++s) {
    if (newest.cost[s] < newest.cost[state]) {
      state = s;
    }
  }
  for (std::size_t age = count_ - 1; age > 0; --age) {
    state = at(age).back[state];
  }
  const double f0 = at(0).f0[state];
  first_ = (first_ + 1) % ring_.size();
  --count_;
  return f0;
}

}  // namespace vallisynth
