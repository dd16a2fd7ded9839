// The analysis frame step over bounded state: samples in, final frames out.
// The one-shot analysis and the streaming analyser both drive it, so their
// frames are the same by construction: every frame is computed from the
// samples in its own window (zeros beyond the recording's ends) and from
// the tracker's decisions, which depend on a bounded number of frames.
#ifndef VALLISYNTH_ANALYSIS_FRAMESTEP_H_
#define VALLISYNTH_ANALYSIS_FRAMESTEP_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "analysis/decimator.h"
#include "analysis/envelope.h"
#include "analysis/history.h"
#include "analysis/pitch.h"

namespace vallisynth {

struct AnalysisSetup {
  double fs = 16000.0;
  std::uint32_t frame_shift = 80;
  std::uint32_t order = 24;
  double alpha = 0.42;
  double f0_min = 50.0;
  double f0_max = 800.0;
  bool sptk_form = false;
};

// Where the frames of a step go: spans of capacity frames each.
struct FrameSink {
  std::span<double> lf0, cc, fv;
  std::size_t count = 0;
};

class AnalysisStep {
 public:
  explicit AnalysisStep(const AnalysisSetup& setup);

  void reset();
  // Appends x (any length) and writes the frames that became final.
  void push(std::span<const double> x, FrameSink& sink);
  // Ends the recording: every remaining frame, then a reset.
  void flush(FrameSink& sink);

  std::uint32_t latency() const {
    return latency_;
  }
  // Frames a push of n samples (0: a flush) releases at most.
  std::size_t max_frames(std::size_t n) const;

 private:
  void run(bool final, FrameSink& sink);
  bool pitch_frame(bool final);
  // The envelope, f0 and fv of a frame analysed as voiced at f0 (0: unvoiced).
  EnvelopeAnalyser::Result envelope_analysis(std::int64_t frame, double f0);
  // True when a voiced frame's periodic part ends below its third harmonic
  // while the spectrum above holds power (the last frame analysed).
  bool lacks_harmonics(const EnvelopeAnalyser::Result& r) const;
  void emit(std::int64_t frame, double f0, FrameSink& sink);
  void release(std::int64_t newest, FrameSink& sink);
  std::int64_t centre(std::int64_t frame) const {
    return (frame + 1) * static_cast<std::int64_t>(setup_.frame_shift);
  }
  std::int64_t pitch_start(std::int64_t frame) const;
  std::int64_t keep_from() const;

  AnalysisSetup setup_;
  Decimator decimator_;
  PitchCandidates candidates_;
  PitchTracker tracker_;
  EnvelopeAnalyser envelope_;
  std::size_t lag_;
  std::uint32_t latency_;
  std::size_t max_half_window_;
  SampleHistory input_, decimated_;
  std::vector<double> taps_, segment_, window_, cc_;
  std::vector<double> decided_;  // ring of decided f0 values awaiting their envelope
  std::int64_t next_decimated_ = 0, next_pitch_ = 0, decided_count_ = 0, emitted_ = 0;
  std::int64_t released_ = 0;  // frames written; emitted ones wait for their neighbours' fv
  std::vector<double> held_lf0_, held_fv_, held_cc_;  // rings of the emitted frames
  std::int64_t total_frames_ = -1;                    // known once flushing
};

}  // namespace vallisynth

#endif  // VALLISYNTH_ANALYSIS_FRAMESTEP_H_
