// Pitch: candidate periods of one frame from the normalised cross-correlation
// of the decimated signal, and a tracker that picks one candidate (or
// unvoiced) per frame by dynamic programming over a bounded window.
#ifndef VALLISYNTH_ANALYSIS_PITCH_H_
#define VALLISYNTH_ANALYSIS_PITCH_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dsp/fft.h"

namespace vallisynth {

inline constexpr std::size_t kMaxPitchCandidates = 6;
// The reference window is weighted as the sum of this many nested windows,
// each half as long as the one around it.
inline constexpr std::size_t kNestedWindows = 3;

struct PitchCandidate {
  double f0 = 0.0;           // Hz
  double correlation = 0.0;  // normalised, at most 1
  double lag_share = 0.0;    // the period as a fraction of the longest searched
};

// What one frame offers the tracker.
struct PitchFrame {
  PitchCandidate candidates[kMaxPitchCandidates];
  std::size_t count = 0;
  double best_correlation = 0.0;
  double rms = 0.0;  // of the reference window
};

class PitchCandidates {
 public:
  // rate: of the decimated signal (Hz); f0 range in Hz.
  PitchCandidates(double rate, double f0_min, double f0_max);

  // The segment a frame needs: segment_length() samples starting
  // centre_offset() before the frame's centre.
  std::size_t segment_length() const {
    return 2 * (half_ref_ + max_lag_);
  }
  std::size_t centre_offset() const {
    return half_ref_ + max_lag_;
  }
  // Finds the frame's candidates: local maxima of the symmetric normalised
  // cross-correlation between the reference window around the centre and
  // the signal one lag before and after it, both weighted by the nested
  // windows.
  void analyse(std::span<const double> segment, PitchFrame& frame);

 private:
  double rate_;
  std::size_t half_ref_, min_lag_, max_lag_;
  std::size_t nested_half_[kNestedWindows];  // half-lengths, the outermost half_ref_
  std::size_t n_;
  FftPlan forward_, inverse_;
  std::vector<double> re_, im_, energy_, nccf_, weight_, weighted_energy_;
  std::vector<double> correlation_;                // normalised, by offset
  std::vector<double> twiddle_cos_, twiddle_sin_;  // e^{j 2 pi k / n}
};

// Viterbi search over the candidates with a fixed decision lag: a frame's
// choice is final once `lag` later frames have been seen, so the track
// needs no look-ahead beyond that and no pass over the whole recording.
class PitchTracker {
 public:
  explicit PitchTracker(std::size_t lag);

  void reset();
  // Adds the next frame.
  void add(const PitchFrame& frame);
  // Frames added and not yet taken.
  std::size_t pending() const {
    return count_;
  }
  // True when the oldest pending frame is final.
  bool ready() const {
    return count_ > lag_;
  }
  // The oldest pending frame's f0 in Hz (0: unvoiced), decided from the best
  // path ending at the newest frame; removes it.
  double take();

 private:
  struct Node {
    double f0[kMaxPitchCandidates + 1];  // state 0 is unvoiced
    double cost[kMaxPitchCandidates + 1];
    std::uint8_t back[kMaxPitchCandidates + 1];
    std::size_t states = 0;
  };
  Node& at(std::size_t age_from_oldest) {
    return ring_[(first_ + age_from_oldest) % ring_.size()];
  }
  std::size_t lag_;
  std::vector<Node> ring_;
  std::size_t first_ = 0, count_ = 0;
};

}  // namespace vallisynth

#endif  // VALLISYNTH_ANALYSIS_PITCH_H_
