// The noise component of a frame: the log-amplitude envelope moved onto the
// bins of an N-point FFT, every bin given a random phase, and the spectrum
// turned into N samples.
#ifndef VALLISYNTH_SYNTHESIS_NOISE_H_
#define VALLISYNTH_SYNTHESIS_NOISE_H_

#include <span>

#include "synthesis/noisesource.h"

namespace vallisynth {

// Piecewise-linear resampling of a log-amplitude envelope. src[m] belongs to
// (m + 1) stepsrc Hz, dst[i] to (i + 1) stepdst Hz; below stepsrc the value
// is src[0], and one step past the last source point it stays at the last
// value. Returns -1 (nothing written) when src or dst is empty, else 0.
int resamplelogampenvelope(double stepsrc, std::span<const double> src, double stepdst,
                           std::span<double> dst);

// Noise frame of N = re.size() samples (a power of two, im.size() == N).
// On entry re[1..N/2-1] hold the natural-log amplitudes of bins 1..N/2-1;
// every bin k gets amplitude sqrt(fs/N) exp(re[k]) and a phase drawn from
// rng, bins 0 and N/2 are cleared, and the conjugate-symmetric spectrum is
// inverse-transformed (without 1/N). On return re holds the samples; im is
// scratch. Returns 0.
int gennoisefromlogspectrum(std::span<double> re, std::span<double> im, double fs,
                            NoisePhaseSource& rng);

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_NOISE_H_
