// The noise component of a frame: the log-amplitude envelope moved onto the
// bins of an N-point FFT, every bin given a random phase, and the spectrum
// turned into N samples.
#ifndef VALLISYNTH_SYNTHESIS_NOISE_H_
#define VALLISYNTH_SYNTHESIS_NOISE_H_

#include <cstdint>
#include <span>
#include <vector>

#include "dsp/fft.h"
#include "synthesis/noisesource.h"

namespace vallisynth {

// Piecewise-linear resampling of a log-amplitude envelope. src[m] belongs to
// (m + 1) stepsrc Hz, dst[i] to (i + 1) stepdst Hz; below stepsrc the value
// is src[0], and one step past the last source point it stays at the last
// value. Returns -1 (nothing written) when src or dst is empty, else 0.
int resample_log_envelope(double stepsrc, std::span<const double> src, double stepdst,
                          std::span<double> dst);

// The segment of each destination point of one resampling, found once for
// many envelopes on the same grids: the same points and values as the walk.
// Construction allocates and may throw std::bad_alloc; a source of 2^32
// points or more gives an empty plan.
class ResamplePlan {
 public:
  ResamplePlan(double stepsrc, std::size_t nsrc, double stepdst, std::size_t ndst);

 private:
  friend int resample_log_envelope(std::span<const double> src, std::span<double> dst,
                                   const ResamplePlan& plan);
  double stepsrc_;
  std::size_t nsrc_;
  std::vector<double> offset_;         // f - fa of each point
  std::vector<std::uint32_t> first_;   // src index of the segment's start value
  std::vector<std::uint32_t> second_;  // and of its end value
  std::size_t window_ = 0;             // source points loaded per four points: 4, 8 or 0 (none)
  std::vector<std::uint32_t> start_;   // each group of four points' first window point
  std::vector<std::int32_t> picks_;    // its two sets of eight float lanes of the window
};

// resample_log_envelope on the plan's grids: the same results. -1 (nothing
// written) when src or dst do not have the plan's sizes or are empty.
int resample_log_envelope(std::span<const double> src, std::span<double> dst,
                          const ResamplePlan& plan);

// What a noise frame of N samples needs beyond its data, computed once for
// many frames of that length: the plan of the half-length inverse transform,
// the factors W^k of the split step (see the code) and the transform's
// bit-reversal permutation, which the split step applies as it goes, from the same
// recurrence as without a plan, so the frames are identical. Construction
// allocates and may throw std::bad_alloc.
class NoisePlan {
 public:
  explicit NoisePlan(std::size_t n);

 private:
  friend void noise_from_log_spectrum(std::span<double> re, std::span<double> im, double fs,
                                      NoisePhaseSource& rng, const NoisePlan* plan,
                                      std::size_t wanted);
  std::size_t n_;
  FftPlan fft_;
  std::vector<double> wr_;  // W^k, k = 1 .. N/4
  std::vector<double> wi_;
  std::vector<std::uint32_t> rev_;     // k = 0 .. N/2 - 1 with its bits reversed
  std::vector<double> wcols_;          // the factors as the column split step reads them
  std::vector<std::uint32_t> atcols_;  // and its places
};

// Numbers that noise_from_log_spectrum draws for a frame of n samples (a
// power of two): one phase per bin between 0 Hz and fs/2.
std::size_t noise_draws_per_frame(std::size_t n);

// Noise frame of N = re.size() samples (a power of two, im.size() == N).
// On entry re[1..N/2-1] hold the natural-log amplitudes of bins 1..N/2-1;
// every bin k gets amplitude sqrt(fs/N) exp(re[k]) and a phase drawn from
// rng, bins 0 and N/2 are cleared, and the conjugate-symmetric spectrum is
// inverse-transformed (without 1/N). On return re holds the samples; im is
// scratch. A caller making many frames passes a plan of their
// length; without one (or with one of another length) the tables are
// derived in the call. A caller that uses only the first `wanted` samples
// says so: with a plan, re[wanted..N-1] may then be left as scratch.
void noise_from_log_spectrum(std::span<double> re, std::span<double> im, double fs,
                             NoisePhaseSource& rng, const NoisePlan* plan = nullptr,
                             std::size_t wanted = SIZE_MAX);

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_NOISE_H_
