// The synthesis engine's frame step over explicit state: frames go in, and
// the output samples that no later frame can change come out. The one-shot
// synthesis and the streaming decoder both drive this step, so they render
// the same samples by construction.
//
// Geometry: frame k (counted from 0 since the last reset) is 2 L samples
// long, centred on sample (k + 1) L, and overlap-added with a triangular
// window over samples k L .. (k + 2) L - 1. Once frame k has been added,
// samples before (k + 1) L are final: each frame releases L samples, and
// the last frame's falling half (L samples) plus the utterance's closing
// zero sample are released by flush. K frames give (K + 1) L + 1 samples.
#ifndef VALLISYNTH_SYNTHESIS_FRAMESYNTH_H_
#define VALLISYNTH_SYNTHESIS_FRAMESYNTH_H_

#include <cfloat>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "synthesis/noise.h"
#include "synthesis/noisesource.h"

namespace vallisynth {

inline constexpr double kLowestF0 = 10.0;     // voiced frames below become unvoiced
inline constexpr double kHighestF0 = 1000.0;  // voiced frames above become unvoiced

// Range of cepstral coefficient 0 that maps a voiced frame's c0 to its
// maximum voiced frequency when no fv track is given: min over all frames,
// max over the voiced ones (after the f0 rules).
struct C0Range {
  double min = DBL_MAX;
  double max = -DBL_MAX;
};

// The last L samples of an utterance: the overlap-add tail into out's first
// L samples, zeros after it. -1 when out is shorter than the tail.
int release_tail(std::span<const double> tail, std::span<double> out);

class FrameSynthesizer {
 public:
  // fs       sampling rate (Hz), a positive finite number
  // L        frame shift in samples, 1 .. 2^30
  // order    cepstral order; every frame's row has order + 1 coefficients
  // alpha    all-pass constant of the cepstrum; gamma postfilter strength
  //          (0: off)
  // c0range  the utterance's c0 range, from which each voiced frame's fv
  //          follows; std::nullopt when every push brings an fv track
  // rng      noise-phase source, owned by the caller and drawn from by
  //          every frame; it must outlive this object
  //
  // Every work area is allocated here, sized for the lowest f0 the engine
  // keeps voiced (10 Hz), so that any frame fits; push and flush allocate
  // nothing. Throws std::invalid_argument for fs or L out of range and
  // std::bad_alloc when a work area cannot be allocated.
  FrameSynthesizer(double fs, std::uint32_t L, std::uint32_t order, double alpha, double gamma,
                   std::optional<C0Range> c0range, NoisePhaseSource& rng);

  // Renders n = f0.size() frames and writes the n L samples they make
  // final into out.
  //
  // f0   n values in Hz; not above 0 (or NaN) is unvoiced, and the f0 rules
  //      apply per frame: below 10 Hz or above 1000 Hz is unvoiced
  // fv   n maximum voiced frequencies (Hz) when constructed without a c0
  //      range, else empty
  // cc   n rows of order + 1 cepstral coefficients
  // out  exactly n L samples
  //
  // Returns 0; -1 (nothing written, state unchanged) when a size does not
  // match.
  int push(std::span<const double> f0, std::span<const double> fv, std::span<const double> cc,
           std::span<double> out);

  // Ends the utterance: writes the last frame's unfinished half into
  // out[0..L-1] and zeros into the rest of out (L + 1 samples complete the
  // utterance), then resets. Returns 0; -1 (nothing written) when out is
  // shorter than L.
  int flush(std::span<double> out);

  // Starts a new utterance: clears the overlap-add tail, the harmonic phase
  // and the previous frame's f0. The noise-phase source is the caller's: it
  // continues where it stands unless the caller restarts it.
  void reset();

  // What one frame hands to the next besides the overlap-add tail: the
  // fundamental's phase at its centre (radians) and its f0 after the f0
  // rules (Hz, 0 when unvoiced).
  struct Carry {
    double phi = 0.0;
    double prevf0 = 0.0;
  };

  // For renderers that share an utterance's frames out between several
  // objects in contiguous blocks. carry() is the state after the frames
  // pushed so far; advance returns the state after the given frames (as for
  // push) from c, without rendering them: only the voicing and the harmonic
  // count of each frame are needed, a small fraction of the cost. restart
  // is reset followed by taking c, so that a push then renders a block as
  // if its predecessors had been pushed, except that the previous frame's
  // falling half is not added onto its first L samples: the caller adds
  // the predecessor's tail() there, which gives the same sums in either
  // order. Neither allocates; advance returns c unchanged when a size does
  // not match.
  Carry carry() const {
    return carry_;
  }
  Carry advance(Carry c, std::span<const double> f0, std::span<const double> fv,
                std::span<const double> cc) const;
  void restart(Carry c);
  std::span<const double> tail() const {
    return tail_;
  }

  std::uint32_t shift() const {
    return L_;
  }
  bool has_fv_track() const {
    return !c0range_.has_value();
  }
  // Frames pushed since the last reset or flush.
  std::uint64_t frame_count() const {
    return nframes_;
  }

 private:
  // Renders one frame (f0 after the f0 rules) into buffer_[0..2L-1].
  void render_frame(double f0k, double fvtrack, std::span<const double> row);
  // A voiced frame's maximum voiced frequency (Hz): the track's value or
  // the one that follows from c0.
  double frame_fv(double fvtrack, double c0) const;
  // Harmonics of a voiced frame below its fv and fs/2.
  std::uint32_t harmonic_count(double f0k, double fvk) const;
  // The carry after a frame of f0 f0k (after the f0 rules) with nh
  // harmonics.
  Carry next_carry(Carry c, double f0k, std::uint32_t nh) const;

  double fs_;
  std::uint32_t L_;
  std::uint32_t p_;  // coefficients per row
  double alpha_;
  double gamma_;
  std::optional<C0Range> c0range_;
  NoisePhaseSource* rng_;
  std::uint32_t hmax_;            // harmonics of the lowest f0 below fs/2
  std::uint32_t grid_;            // noise-envelope points
  std::uint32_t nfft_;            // noise frame length
  std::size_t gridstride_;        // G rounded up to whole lanes
  std::vector<double> gridcols_;  // noise-envelope matrix, transposed (P x G, rows gridstride_
                                  // apart, zeros after G)
  std::vector<double> gridlift_;  // high-frequency lift of each grid point
  std::size_t liftfrom_ = 0;      // first lifted grid point
  std::vector<double> vectors_;   // amplitudes (H), phases (H), envelope (gridstride_)
  std::vector<double> frames_;    // frame buffer (N), noise scratch (N)
  std::vector<double> tail_;      // falling half of the last frame (L)
  NoisePlan noiseplan_;
  ResamplePlan resampleplan_;
  Carry carry_;  // phase and f0 of the last frame
  std::uint64_t nframes_ = 0;
};

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_FRAMESYNTH_H_
