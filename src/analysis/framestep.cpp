#include "analysis/framestep.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vallisynth {

namespace {
constexpr double kDecisionSeconds = 0.05;  // the tracker decides this far behind the newest frame
// fv is the median of the voiced frames this many frames either side: the
// harmonicity of one frame is noisy, the voicing of speech changes slowly.
constexpr std::int64_t kFvSpan = 2;
constexpr double kUnvoicedLogF0 = -1.0e10;
constexpr double kStoredC0Offset = 5.0;
constexpr double kHighestF0 = 1000.0;  // the decoder renders no higher f0 voiced
// A voice is periodic over several harmonics. Where the periodic part ends
// below the third while the spectrum above still holds power, what the
// correlation took for a period is twice the voice's, or a filter's
// ringing after the last pulse, or noise through one sharp resonance,
// which correlates at the resonance's period. A pure tone, with nothing
// above to be aperiodic, stays voiced.
constexpr double kFewestPeriodicHarmonics = 3.0;
constexpr double kSilentAbove = 1e-5;  // -50 dB of the frame's power
constexpr std::size_t kChunk = 4096;   // samples taken into the history at a time

std::int64_t frames_for(std::int64_t samples, std::int64_t shift) {
  return std::max<std::int64_t>(0, (2 * samples + shift) / (2 * shift) - 1);
}
}  // namespace

AnalysisStep::AnalysisStep(const AnalysisSetup& setup)
    : setup_(setup),
      decimator_(setup.fs),
      candidates_(decimator_.rate(), setup.f0_min, setup.f0_max),
      tracker_(std::max<std::size_t>(
          1, static_cast<std::size_t>(kDecisionSeconds * setup.fs / setup.frame_shift))),
      envelope_(setup.fs, setup.order, setup.alpha, setup.f0_min, setup.f0_max),
      lag_(std::max<std::size_t>(
          1, static_cast<std::size_t>(kDecisionSeconds * setup.fs / setup.frame_shift))),
      latency_(0),
      max_half_window_(envelope_.max_half_window()),
      input_(0),
      decimated_(0) {
  const std::int64_t d = decimator_.factor();
  const auto h = static_cast<std::int64_t>(decimator_.half_length());
  // A pitch frame reads decimated samples up to centre / D + offset, each of
  // which reaches h input samples past its own centre.
  const auto pitch_ahead =
      (static_cast<std::int64_t>(candidates_.segment_length() - candidates_.centre_offset()) + 1) *
          d +
      h;
  const auto decided_ahead = static_cast<std::int64_t>(lag_ * setup.frame_shift) + pitch_ahead;
  latency_ = static_cast<std::uint32_t>(
      std::max<std::int64_t>(decided_ahead, static_cast<std::int64_t>(max_half_window_) + 1) +
      kFvSpan * setup.frame_shift);
  const std::size_t span = latency_ + 2 * max_half_window_ + 2 * setup.frame_shift +
                           2 * static_cast<std::size_t>(h + d) + 16;
  input_ = SampleHistory(span + kChunk);
  decimated_ = SampleHistory(2 * candidates_.segment_length() +
                             setup.frame_shift / static_cast<std::uint32_t>(d) + 16);
  taps_.resize(2 * static_cast<std::size_t>(h) + 1);
  segment_.resize(candidates_.segment_length());
  window_.resize(2 * max_half_window_ + 1);
  cc_.resize(setup.order + 1);
  held_lf0_.resize(2 * kFvSpan + 1);
  held_fv_.resize(2 * kFvSpan + 1);
  held_cc_.resize((2 * kFvSpan + 1) * (setup.order + 1));
  decided_.resize(2 * lag_ + 8);
}

void AnalysisStep::reset() {
  input_.reset();
  decimated_.reset();
  tracker_.reset();
  next_decimated_ = next_pitch_ = decided_count_ = emitted_ = released_ = 0;
  total_frames_ = -1;
}

std::size_t AnalysisStep::max_frames(std::size_t n) const {
  return (n + latency_) / setup_.frame_shift + lag_ + kFvSpan + 4;
}

std::int64_t AnalysisStep::pitch_start(std::int64_t frame) const {
  const std::int64_t d = decimator_.factor();
  const std::int64_t c = centre(frame);
  const std::int64_t p = (2 * c + d) / (2 * d);  // nearest decimated sample
  return p - static_cast<std::int64_t>(candidates_.centre_offset());
}

std::int64_t AnalysisStep::keep_from() const {
  const std::int64_t d = decimator_.factor();
  const auto h = static_cast<std::int64_t>(decimator_.half_length());
  return std::min(next_decimated_ * d - h,
                  centre(emitted_) - static_cast<std::int64_t>(max_half_window_));
}

void AnalysisStep::push(std::span<const double> x, FrameSink& sink) {
  while (!x.empty()) {
    input_.discard_before(keep_from());
    const std::size_t take = std::min(x.size(), input_.room());
    if (take == 0) {
      throw std::logic_error("analysis history too short for its look-ahead");
    }
    input_.append(x.first(take));
    x = x.subspan(take);
    run(false, sink);
  }
}

void AnalysisStep::flush(FrameSink& sink) {
  total_frames_ = frames_for(input_.end(), setup_.frame_shift);
  run(true, sink);
  while (tracker_.pending() > 0) {
    decided_[static_cast<std::size_t>(decided_count_) % decided_.size()] = tracker_.take();
    ++decided_count_;
    while (emitted_ < decided_count_ && emitted_ < total_frames_) {
      emit(emitted_, decided_[static_cast<std::size_t>(emitted_) % decided_.size()], sink);
      ++emitted_;
    }
  }
  while (released_ < emitted_) {
    release(emitted_ - 1, sink);
  }
  reset();
}

// Analyses the next pitch frame if its samples are there (or, when final,
// if it belongs to the recording); false when it cannot yet.
bool AnalysisStep::pitch_frame(bool final) {
  if (final && next_pitch_ >= total_frames_) {
    return false;
  }
  const std::int64_t start = pitch_start(next_pitch_);
  const std::int64_t end = start + static_cast<std::int64_t>(candidates_.segment_length());
  const std::int64_t d = decimator_.factor();
  const auto h = static_cast<std::int64_t>(decimator_.half_length());
  while (next_decimated_ < end) {
    if (!final && next_decimated_ * d + h >= input_.end()) {
      return false;
    }
    if (decimated_.room() == 0) {
      decimated_.discard_before(start);
    }
    decimated_.append(decimator_.output(input_.window(next_decimated_ * d - h, taps_)));
    ++next_decimated_;
  }
  PitchFrame frame;
  candidates_.analyse(decimated_.window(start, segment_), frame);
  tracker_.add(frame);
  ++next_pitch_;
  if (tracker_.ready()) {
    decided_[static_cast<std::size_t>(decided_count_) % decided_.size()] = tracker_.take();
    ++decided_count_;
  }
  return true;
}

void AnalysisStep::run(bool final, FrameSink& sink) {
  for (;;) {
    bool moved = pitch_frame(final);
    while (
        emitted_ < decided_count_ && (!final || emitted_ < total_frames_) &&
        (final || centre(emitted_) + static_cast<std::int64_t>(max_half_window_) < input_.end())) {
      emit(emitted_, decided_[static_cast<std::size_t>(emitted_) % decided_.size()], sink);
      ++emitted_;
      moved = true;
    }
    if (!moved) {
      return;
    }
  }
}

EnvelopeAnalyser::Result AnalysisStep::envelope_analysis(std::int64_t frame, double f0) {
  const std::size_t half = envelope_.half_window(f0);
  const std::span<const double> seg =
      input_.window(centre(frame) - static_cast<std::int64_t>(half),
                    std::span<double>(window_.data(), 2 * half + 1));
  return envelope_.analyse(seg, f0, cc_);
}

bool AnalysisStep::lacks_harmonics(const EnvelopeAnalyser::Result& r) const {
  const double lowest = kFewestPeriodicHarmonics * r.f0;
  return r.f0 > 0.0 && r.fv < lowest && envelope_.power_share_above(lowest) > kSilentAbove;
}

void AnalysisStep::emit(std::int64_t frame, double f0, FrameSink& sink) {
  EnvelopeAnalyser::Result r = envelope_analysis(frame, f0);
  // A period twice the voice's correlates as well as the voice's own: where
  // every other harmonic of the chosen f0 is missing, the voice is an
  // octave up; where too few harmonics are periodic, it is tried an octave
  // up before the frame is called unvoiced.
  if (r.f0 > 0.0 && 2.0 * r.f0 <= setup_.f0_max && envelope_.odd_harmonics_missing(r.f0)) {
    r = envelope_analysis(frame, 2.0 * r.f0);
  }
  if (lacks_harmonics(r)) {
    const double octave_up = 2.0 * r.f0;
    if (octave_up <= setup_.f0_max) {
      r = envelope_analysis(frame, octave_up);
    }
    if (octave_up > setup_.f0_max || lacks_harmonics(r)) {
      r = envelope_analysis(frame, 0.0);
    }
  }
  const std::size_t slot = static_cast<std::size_t>(frame) % held_fv_.size();
  const double f = std::min(r.f0, kHighestF0);
  held_lf0_[slot] = f > 0.0 ? std::log(f) : kUnvoicedLogF0;
  held_fv_[slot] = f > 0.0 ? r.fv : 0.0;
  const std::size_t p = setup_.order + 1;
  double* row = held_cc_.data() + slot * p;
  // The stored form raises c0 by 5 and doubles the rest; the SPTK form has
  // its c0 on the 16-bit scale with power-normalised windows.
  row[0] = setup_.sptk_form ? cc_[0] + std::log(32768.0) + 0.5 * std::log(setup_.fs)
                            : cc_[0] + kStoredC0Offset;
  for (std::size_t j = 1; j < p; ++j) {
    row[j] = 2.0 * cc_[j];
  }
  if (frame >= kFvSpan) {
    release(frame, sink);
  }
}

// Writes the oldest held frame, whose fv becomes the median of the voiced
// frames around it up to newest.
void AnalysisStep::release(std::int64_t newest, FrameSink& sink) {
  const std::int64_t frame = released_++;
  const std::size_t ring = held_fv_.size();
  const std::size_t slot = static_cast<std::size_t>(frame) % ring;
  const std::size_t k = sink.count++;
  const std::size_t p = setup_.order + 1;
  sink.lf0[k] = held_lf0_[slot];
  std::copy_n(held_cc_.begin() + static_cast<std::ptrdiff_t>(slot * p), p,
              sink.cc.begin() + static_cast<std::ptrdiff_t>(k * p));
  double fv = 0.0;
  if (held_fv_[slot] > 0.0) {
    double v[2 * kFvSpan + 1];
    std::size_t n = 0;
    for (std::int64_t j = std::max<std::int64_t>(0, frame - kFvSpan);
         j <= std::min(newest, frame + kFvSpan); ++j) {
      const double x = held_fv_[static_cast<std::size_t>(j) % ring];
      if (x > 0.0) {
        v[n++] = x;
      }
    }
    // Insertion sort of the few values.
    for (std::size_t i = 1; i < n; ++i) {
      for (std::size_t j = i; j > 0 && v[j - 1] > v[j]; --j) {
        std::swap(v[j - 1], v[j]);
      }
    }
    fv = n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
  }
  sink.fv[k] = fv;
}

}  // namespace vallisynth
