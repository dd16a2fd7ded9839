#include "synthesis/framesynth.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "dsp/fastmath.h"
#include "dsp/lanes.h"
#include "synthesis/cepstrum.h"
#include "synthesis/harmonics.h"
#include "synthesis/shaping.h"
#include "synthesis/synthesis.h"

namespace vallisynth {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kGridStep = 100.0;            // Hz between noise-envelope points
constexpr double kC0MaxFv = 4500.0;            // fv of the loudest voiced frame without an fv track
constexpr std::uint32_t kMaxShift = 1u << 30;  // keeps the noise frame length in 32 bits

// Maximum voiced frequency of a voiced frame without an fv track: c0 mapped
// linearly so that the utterance's smallest c0 gives 0 Hz and the loudest
// voiced frame 4500 Hz. When all voiced frames share the smallest c0 the
// map is undefined (0/0) and every voiced frame gets 4500 Hz.
double fv_from_c0(double c0, const C0Range& r) {
  if (r.max == r.min) {
    return kC0MaxFv;
  }
  return (c0 - r.min) * kC0MaxFv / (r.max - r.min);
}

// The f0 rules of one frame. Below 10 Hz is unvoiced: the utterance-wide
// rule makes every such frame unvoiced whenever there is one, so the rule
// is the same frame by frame.
double frame_f0(double f0) {
  if (f0 > 0.0 && f0 < kLowestF0) {
    return 0.0;
  }
  if (f0 > kHighestF0) {
    return 0.0;
  }
  return f0;
}

std::uint32_t checked_shift(double fs, std::uint32_t L, std::uint32_t order) {
  if (!(fs > 0.0) || !std::isfinite(fs) || L == 0 || L > kMaxShift || order == 0xFFFFFFFFu) {
    throw std::invalid_argument("sampling rate, frame shift or order out of range");
  }
  return L;
}

// Adds the frame y (2 L samples) under the triangular window: the rising
// half onto rise[0..L-1], the falling half laid into fall[0..L-1] as if
// added to zeros (0 + v, so that a -0 comes out as +0, as a sum onto a
// cleared buffer gives it). The weights are formed as i / L and
// (2 L - i) / L, divided last, so that a frame split across two buffers
// adds the same values as a whole one.
VALLISYNTH_MULTIARCH void add_triangle_halves(double* rise, double* fall, const double* y,
                                              std::uint32_t L) {
  const auto d = static_cast<double>(L);
  // Four samples at a time, the weights' numerators counted in doubles
  // (exact: L is at most 2^30).
  const double* y2 = y + L;
  const Lanes zero = {};
  Lanes up = {0.0, 1.0, 2.0, 3.0};
  Lanes down = {d, d - 1.0, d - 2.0, d - 3.0};
  std::uint32_t i = 0;
  for (; i + kLaneCount <= L; i += kLaneCount) {
    Lanes v;
    Lanes sum;
    loadlanes(v, y + i);
    loadlanes(sum, rise + i);
    storelanes(rise + i, sum + v * up / d);
    loadlanes(v, y2 + i);
    storelanes(fall + i, zero + v * down / d);
    up = up + 4.0;
    down = down - 4.0;
  }
  for (; i < L; ++i) {
    rise[i] += y[i] * static_cast<double>(i) / d;
    fall[i] = 0.0 + y2[i] * static_cast<double>(L - i) / d;
  }
}

}  // namespace

FrameSynthesizer::FrameSynthesizer(double fs, std::uint32_t L, std::uint32_t order, double alpha,
                                   double gamma, std::optional<C0Range> c0range,
                                   NoisePhaseSource& rng)
    : fs_(fs),
      L_(checked_shift(fs, L, order)),
      p_(order + 1u),
      alpha_(alpha),
      gamma_(gamma),
      c0range_(c0range),
      rng_(&rng),
      hmax_(count_harmonics(fs, fs, kLowestF0)),
      grid_(count_harmonics(fs, fs, kGridStep)),
      nfft_(std::bit_ceil(2u * L)),
      gridstride_((std::size_t{grid_} + kLaneCount - 1) / kLaneCount * kLaneCount),
      gridcols_(gridstride_ * p_, 0.0),
      gridlift_(grid_, 0.0),
      vectors_(2u * std::size_t{hmax_} + gridstride_),
      frames_(2u * std::size_t{nfft_}),
      tail_(L, 0.0),
      noiseplan_(nfft_),
      resampleplan_(kGridStep, grid_, fs / static_cast<double>(nfft_), nfft_ / 2 - 1) {
  // The noise envelope matrix is built once and kept transposed (P x G), so
  // that the per-frame product runs along contiguous grid points.
  // The lift of each grid point: lift_high_frequencies on zeros gives its
  // terms exactly (0 + t = t for t > 0), and leaves the points below the
  // lift's start at 0.
  lift_high_frequencies(kGridStep, gridlift_, fs);
  while (liftfrom_ < grid_ && gridlift_[liftfrom_] == 0.0) {
    ++liftfrom_;
  }
  std::vector<double> gridrows(gridcols_.size());
  harmonic_cepstral_matrices(order, grid_, kGridStep, fs, alpha, gridrows, {});
  for (std::size_t i = 0; i < grid_; ++i) {
    for (std::size_t j = 0; j < p_; ++j) {
      gridcols_[j * gridstride_ + i] = gridrows[i * p_ + j];
    }
  }
}

void FrameSynthesizer::reset() {
  std::fill(tail_.begin(), tail_.end(), 0.0);
  carry_ = Carry{};
  nframes_ = 0;
}

void FrameSynthesizer::render_frame(double f0k, double fvtrack, std::span<const double> row) {
  const std::size_t hmax = hmax_;
  const std::span<double> amps(vectors_.data(), hmax);
  const std::span<double> phases(vectors_.data() + hmax, hmax);
  const std::span<double> envelope(vectors_.data() + 2u * hmax, grid_);
  const std::span<double> buffer(frames_.data(), nfft_);
  const std::span<double> scratch(frames_.data() + nfft_, nfft_);
  const bool voiced = f0k > 0.0;

  // envelope = matrix x row, formed as row x transposed matrix: the same
  // products, summed in the same order.
  row_times_columns(row, gridcols_.data(), gridstride_, envelope.data());
  // The high-frequency lift on the fixed grid, made once: the same sums
  // as lift_high_frequencies, which adds the same values to the points above
  // its start.
  for (std::size_t i = liftfrom_; i < grid_; ++i) {
    envelope[i] = envelope[i] + gridlift_[i];
  }

  const double fvk = voiced ? frame_fv(fvtrack, row[0]) : 0.0;
  const std::uint32_t nh = voiced ? harmonic_count(f0k, fvk) : 0;
  if (nh > 0) {
    // The noise gives way to the harmonics below fv.
    apply_noise_highpass(kGridStep, envelope, fvk);
  }

  resample_log_envelope(envelope, buffer.subspan(1, nfft_ / 2 - 1), resampleplan_);
  // The frame's 2 L samples; the rest of the transform's length is padding.
  noise_from_log_spectrum(buffer, scratch, fs_, *rng_, &noiseplan_, 2u * std::size_t{L_});

  if (voiced && nh > 0) {
    const std::span<double> a = amps.first(nh);
    const std::span<double> ph = phases.first(nh);
    // The harmonics' log amplitudes and minimum phases: the harmonic
    // matrices times the row, without storing the matrices.
    harmonic_amplitudes_phases(p_ - 1u, nh, f0k, fs_, alpha_, row, a, ph);
    lift_high_frequencies(f0k, a, fs_);
    // Harmonic amplitude 2 sqrt(f0) exp(L): the noise's power per hertz.
    const double scale = std::sqrt(f0k) + std::sqrt(f0k);
    exp_vector(a, a);
    for (double& v : a) {
      v = v * scale;
    }
    apply_highpass_complement(f0k, a, fvk);
    if (gamma_ != 0.0) {
      postfilter_formants(a, kTwoPi * f0k / fs_, gamma_);
    }
    carry_ = next_carry(carry_, f0k, nh);
    generate_harmonics(buffer.first(2u * std::size_t{L_}), L_, L_, fs_, f0k, a, ph, carry_.phi, 1);
  } else {
    carry_ = next_carry(carry_, f0k, nh);
  }
}

double FrameSynthesizer::frame_fv(double fvtrack, double c0) const {
  return c0range_ ? fv_from_c0(c0, *c0range_) : fvtrack;
}

std::uint32_t FrameSynthesizer::harmonic_count(double f0k, double fvk) const {
  // Every voiced f0 is at least 10 Hz and the count falls as f0 rises, so
  // this cap, there for fv values out of range, never binds.
  return std::min(count_harmonics(fs_, fvk, f0k), hmax_);
}

FrameSynthesizer::Carry FrameSynthesizer::next_carry(Carry c, double f0k, std::uint32_t nh) const {
  if (f0k > 0.0 && nh > 0) {
    // Advance the fundamental by the mean angular frequency of the two
    // frames over one frame shift; restart after an unvoiced frame.
    if (c.prevf0 > 0.0) {
      c.phi = c.phi + kPi * (c.prevf0 + f0k) * static_cast<double>(L_) / fs_;
    } else {
      c.phi = 0.0;
    }
  } else if (f0k > 0.0) {
    c.phi = 0.0;  // voiced without harmonics below fv
  }
  c.prevf0 = f0k;
  return c;
}

FrameSynthesizer::Carry FrameSynthesizer::advance(Carry c, std::span<const double> f0,
                                                  std::span<const double> fv,
                                                  std::span<const double> cc) const {
  const std::size_t n = f0.size();
  if (cc.size() / p_ != n || cc.size() % p_ != 0 || fv.size() != (c0range_ ? std::size_t{0} : n)) {
    return c;
  }
  for (std::size_t j = 0; j < f0.size(); ++j) {
    const double f0k = frame_f0(f0[j]);
    std::uint32_t nh = 0;
    if (f0k > 0.0) {
      nh = harmonic_count(f0k, frame_fv(c0range_ ? 0.0 : fv[j], cc[j * p_]));
    }
    c = next_carry(c, f0k, nh);
  }
  return c;
}

void FrameSynthesizer::restart(Carry c) {
  reset();
  carry_ = c;
}

int FrameSynthesizer::push(std::span<const double> f0, std::span<const double> fv,
                           std::span<const double> cc, std::span<double> out) {
  const std::size_t n = f0.size();
  if (cc.size() / p_ != n || cc.size() % p_ != 0 || fv.size() != (c0range_ ? std::size_t{0} : n) ||
      out.size() / L_ != n || out.size() % L_ != 0) {
    return -1;
  }
  if (n == 0) {
    return 0;
  }
  // The previous frame's falling half opens the output; every frame then
  // adds its rising half onto it and lays its falling half into the next
  // stretch (the push's last frame into the tail).
  std::copy(tail_.begin(), tail_.end(), out.begin());
  const double* buffer = frames_.data();
  for (std::size_t j = 0; j < n; ++j) {
    const double f0k = frame_f0(f0[j]);
    render_frame(f0k, c0range_ ? 0.0 : fv[j], cc.subspan(j * p_, p_));
    double* rise = out.data() + j * L_;
    double* fall = j + 1 < n ? rise + L_ : tail_.data();
    add_triangle_halves(rise, fall, buffer, L_);
  }
  nframes_ += n;
  return 0;
}

int release_tail(std::span<const double> tail, std::span<double> out) {
  if (out.size() < tail.size()) {
    return -1;
  }
  std::copy(tail.begin(), tail.end(), out.begin());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(tail.size()), out.end(), 0.0);
  return 0;
}

int FrameSynthesizer::flush(std::span<double> out) {
  if (release_tail(tail_, out) != 0) {
    return -1;
  }
  reset();
  return 0;
}

}  // namespace vallisynth
