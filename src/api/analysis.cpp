// The public analysis interface: options checked, the frame step driven
// for the one-shot and the streaming analyser alike.
#include "vallisynth/analysis.hpp"

#include <cmath>
#include <new>
#include <string>

#include "analysis/framestep.h"
#include "api/options.h"

namespace vallisynth {

namespace {

constexpr double kLargestSample = 1e6;  // beyond this a value is no recording's

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

AnalysisSetup resolve(const AnalysisOptions& o) {
  if (o.sample_rate < 8000 || o.sample_rate > 48000) {
    fail(Errc::bad_argument,
         "sample_rate is " + std::to_string(o.sample_rate) + " Hz, outside 8000 to 48000");
  }
  AnalysisSetup s;
  s.fs = o.sample_rate;
  s.frame_shift = o.frame_shift.value_or(default_frame_shift(o.sample_rate));
  const std::uint32_t longest = static_cast<std::uint32_t>(o.sample_rate / 10);
  const std::uint32_t shortest = static_cast<std::uint32_t>((o.sample_rate + 999) / 1000);
  if (s.frame_shift < shortest || s.frame_shift > longest) {
    fail(Errc::bad_argument, "frame_shift is " + std::to_string(s.frame_shift) +
                                 " samples, outside " + std::to_string(shortest) + " to " +
                                 std::to_string(longest) + " (1 to 100 ms)");
  }
  if (o.order > 200) {
    fail(Errc::bad_argument, "order is " + std::to_string(o.order) + ", above 200");
  }
  s.order = o.order;
  s.alpha = o.alpha.value_or(default_alpha(o.sample_rate));
  if (!(std::fabs(s.alpha) < 1.0)) {
    fail(Errc::bad_argument, "alpha is " + number(s.alpha) + ", not within -1 < alpha < 1");
  }
  if (!(o.f0_min >= 40.0 && o.f0_min < o.f0_max && o.f0_max <= 1000.0)) {
    fail(Errc::bad_argument, "the f0 range " + number(o.f0_min) + " to " + number(o.f0_max) +
                                 " Hz is not within 40 <= f0_min < f0_max <= 1000");
  }
  s.f0_min = o.f0_min;
  s.f0_max = std::min(o.f0_max, 0.25 * o.sample_rate);
  if (s.f0_max <= s.f0_min) {
    fail(Errc::bad_argument, "f0_max must lie below a quarter of the sampling rate");
  }
  if (o.cepstrum_form != CepstrumForm::stored && o.cepstrum_form != CepstrumForm::sptk) {
    fail(Errc::bad_argument, "cepstrum_form is " +
                                 std::to_string(static_cast<int>(o.cepstrum_form)) +
                                 ", neither stored (0) nor sptk (1)");
  }
  s.sptk_form = o.cepstrum_form == CepstrumForm::sptk;
  return s;
}

void check_samples(std::span<const double> x, std::uint64_t offset) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!(std::fabs(x[i]) <= kLargestSample)) {
      fail(Errc::bad_argument, "sample " + std::to_string(offset + i) + " is " + number(x[i]) +
                                   (std::isfinite(x[i]) ? ", beyond a million times full scale"
                                                        : ", not a finite number"));
    }
  }
}

void check_sink(const FrameSink& sink, std::size_t frames, std::size_t order) {
  if (sink.lf0.size() < frames || sink.fv.size() < frames ||
      sink.cc.size() / (order + 1) < frames) {
    fail(Errc::bad_argument, "the output spans hold fewer than the " + std::to_string(frames) +
                                 " frames the call may release");
  }
}

Analysis make_analysis(std::size_t frames, std::uint32_t order) {
  Analysis a;
  a.order = order;
  a.lf0.resize(frames);
  a.fv.resize(frames);
  a.cc.resize(frames * (order + 1));
  return a;
}

void trim(Analysis& a, std::size_t frames) {
  a.lf0.resize(frames);
  a.fv.resize(frames);
  a.cc.resize(frames * (a.order + 1));
}

}  // namespace

struct Analyser::State {
  explicit State(const AnalysisSetup& s) : setup(s), step(s) {
  }
  AnalysisSetup setup;
  AnalysisStep step;
  std::uint64_t pushed = 0;
};

std::uint64_t analysis_frames(std::uint64_t samples, std::uint32_t frame_shift) noexcept {
  if (frame_shift == 0) {
    return 0;
  }
  const std::uint64_t rounded = (2 * samples + frame_shift) / (2 * std::uint64_t{frame_shift});
  return rounded > 1 ? rounded - 1 : 0;
}

Analyser::Analyser(const AnalysisOptions& options) {
  const AnalysisSetup setup = resolve(options);
  try {
    state_ = std::make_unique<State>(setup);
  } catch (const std::bad_alloc&) {
    fail(Errc::out_of_memory, "no memory for the analyser's buffers");
  }
}

Analyser::~Analyser() = default;

std::size_t Analyser::push(std::span<const double> x, std::span<double> lf0, std::span<double> cc,
                           std::span<double> fv) {
  FrameSink sink{lf0, cc, fv, 0};
  check_sink(sink, max_frames(x.size()), state_->setup.order);
  check_samples(x, state_->pushed);
  state_->step.push(x, sink);
  state_->pushed += x.size();
  return sink.count;
}

std::size_t Analyser::flush(std::span<double> lf0, std::span<double> cc, std::span<double> fv) {
  FrameSink sink{lf0, cc, fv, 0};
  check_sink(sink, max_frames(0), state_->setup.order);
  state_->step.flush(sink);
  state_->pushed = 0;
  return sink.count;
}

Analysis Analyser::push(std::span<const double> x) {
  Analysis a = make_analysis(max_frames(x.size()), order());
  trim(a, push(x, a.lf0, a.cc, a.fv));
  return a;
}

Analysis Analyser::flush() {
  Analysis a = make_analysis(max_frames(0), order());
  trim(a, flush(a.lf0, a.cc, a.fv));
  return a;
}

void Analyser::reset() noexcept {
  state_->step.reset();
  state_->pushed = 0;
}

std::size_t Analyser::max_frames(std::size_t samples) const noexcept {
  return state_->step.max_frames(samples);
}

std::uint32_t Analyser::latency() const noexcept {
  return state_->step.latency();
}

std::uint32_t Analyser::frame_shift() const noexcept {
  return state_->setup.frame_shift;
}

std::uint32_t Analyser::order() const noexcept {
  return state_->setup.order;
}

Analysis analyse(std::span<const double> x, const AnalysisOptions& options) {
  Analyser analyser(options);
  check_samples(x, 0);
  const std::size_t frames = analysis_frames(x.size(), analyser.frame_shift());
  Analysis a;
  try {
    a = make_analysis(frames, analyser.order());
  } catch (const std::bad_alloc&) {
    fail(Errc::out_of_memory, "no memory for the streams of " + std::to_string(frames) + " frames");
  }
  // Pushed in pieces so that the sinks never need more than the frames of
  // the recording plus one piece's bound.
  std::size_t done = 0;
  const std::size_t p = analyser.order() + 1u;
  std::vector<double> lf0(analyser.max_frames(0) + analyser.max_frames(1 << 16));
  std::vector<double> fv(lf0.size()), cc(lf0.size() * p);
  auto keep = [&](std::size_t n) {
    for (std::size_t k = 0; k < n && done < frames; ++k, ++done) {
      a.lf0[done] = lf0[k];
      a.fv[done] = fv[k];
      std::copy(cc.begin() + static_cast<std::ptrdiff_t>(k * p),
                cc.begin() + static_cast<std::ptrdiff_t>((k + 1) * p),
                a.cc.begin() + static_cast<std::ptrdiff_t>(done * p));
    }
  };
  for (std::size_t i = 0; i < x.size(); i += 1 << 16) {
    keep(analyser.push(x.subspan(i, std::min<std::size_t>(1 << 16, x.size() - i)), lf0, cc, fv));
  }
  keep(analyser.flush(lf0, cc, fv));
  return a;
}

}  // namespace vallisynth
