// The synthesis driver: one utterance's f0 (Hz), optional fv and cepstral
// tracks rendered frame by frame as harmonics plus shaped noise, and
// overlap-added with a triangular window at the frame shift.
#ifndef VALLISYNTH_SYNTHESIS_SYNTHESIS_H_
#define VALLISYNTH_SYNTHESIS_SYNTHESIS_H_

#include <cstdint>
#include <span>

#include "synthesis/framesynth.h"
#include "synthesis/noisesource.h"

namespace vallisynth {

// Synthesises the utterance into x.
//
// x      output samples (full scale +-1.0), at least (K + 1) L long, K =
//        f0.size(); cleared first. getxsize(L, K) is the intended length.
// fs     sampling rate (Hz)
// L      frame shift in samples, at least 1; frame k is centred on (k + 1) L
// f0     K values in Hz, not above 0 meaning unvoiced; rewritten in place by
//        the f0 rules (below 10 Hz or above 1000 Hz becomes unvoiced)
// fv     maximum voiced frequency per frame (Hz), K values, or empty: then
//        each voiced frame's fv follows its cepstral c0 (0 to 4500 Hz)
// order  cepstral order; cc holds K rows of order + 1 coefficients
// alpha  all-pass constant of the cepstrum; gamma postfilter strength (0: off)
// rng    noise-phase source; continues where it stood
// threads threads that render the frames, the caller's included: 1 renders
//        on the calling thread alone, 0 on every core the process may use
//
// The frames are rendered by one ParallelFrameSynthesizer push, so the
// streaming decoder given the same c0 range (or fv track) yields the same
// samples, whatever the thread count.
//
// Returns 0; -1 when the arguments are inconsistent or a work area cannot
// be allocated, in which case x is left untouched.
int ccs2waveform(std::span<double> x, double fs, std::uint32_t L, std::span<double> f0,
                 std::span<const double> fv, std::uint32_t order, std::span<const double> cc,
                 double alpha, double gamma, NoisePhaseSource& rng, unsigned threads = 1);

// Widens r by the c0 range that ccs2waveform computes without an fv track,
// over the given frames: f0 in Hz before the f0 rules (left unchanged), cc
// their rows of order + 1 coefficients. Starting from C0Range{} and adding
// an utterance's frames in order, in pieces of any size, gives exactly the
// one-shot range, which a FrameSynthesizer then takes. Allocates nothing.
// Returns 0; -1 (r unchanged) when cc does not hold f0.size() rows.
int addc0range(C0Range& r, std::span<const double> f0, std::span<const double> cc,
               std::uint32_t order);

// Output length for K frames at frame shift L: getolasynthesislength(L, K).
std::uint32_t getxsize(std::uint32_t L, std::uint32_t K);

// (K + 1) L + 1, in 32-bit unsigned arithmetic (the caller guards overflow).
std::uint32_t getolasynthesislength(std::uint32_t L, std::uint32_t K);

// Smallest power of two not below n (1 for n of 0 or 1); n <= 2^31.
std::uint32_t getwinlengthceilpot2(std::uint32_t n);

// Adds y[0..end-start-1], weighted by a triangle rising from 0 at start to 1
// at centre and falling towards end, into x[start..end-1]. start < centre <
// end <= x.size(). Returns 0.
int olatriang(std::span<double> x, std::span<const double> y, std::uint32_t start,
              std::uint32_t centre, std::uint32_t end);

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_SYNTHESIS_H_
