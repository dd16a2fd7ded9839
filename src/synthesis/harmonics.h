// The harmonic component of a voiced frame: a sum of sinusoids at the
// multiples of f0, added to a frame buffer that already holds the frame's
// noise, optionally after modulating that noise pitch-synchronously.
#ifndef VALLISYNTH_SYNTHESIS_HARMONICS_H_
#define VALLISYNTH_SYNTHESIS_HARMONICS_H_

#include <cstdint>
#include <span>

namespace vallisynth {

// y      frame buffer of left + right samples; sample `left` is the centre
// fs     sampling rate (Hz); f0 fundamental (Hz)
// amp    linear amplitudes of harmonics 1..nh (nh = amp.size())
// phase  phase terms of harmonics 1..nh (radians); at least nh values
// phi    fundamental phase at the frame centre (radians)
// mode   1: first multiply the buffer by (2 + cos(fundamental phase)) sqrt(2)/3
//
// Harmonic h contributes amp[h-1] cos(h phi + phase[h-1] + h w0 (i - left))
// at sample i, w0 = 2 pi f0 / fs. Nothing is touched when nh or the frame
// length is 0.
void generate_harmonics(std::span<double> y, std::uint32_t left, std::uint32_t right, double fs,
                        double f0, std::span<const double> amp, std::span<const double> phase,
                        double phi, std::uint8_t mode);

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_HARMONICS_H_
