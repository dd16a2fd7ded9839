// In-place iterative radix-2 FFT of a complex sequence held as separate real
// and imaginary arrays. No scaling in either direction: the inverse of the
// forward transform returns N times the input.
#ifndef VALLISYNTH_DSP_FFT_H_
#define VALLISYNTH_DSP_FFT_H_

#include <cstdint>
#include <span>

namespace vallisynth {

// Transforms (re, im) in place; direction -1 is the inverse
// (x[n] = sum X[k] e^{+j 2 pi k n / N}), any other value the forward
// transform. N = re.size() must equal im.size() and be a power of two;
// otherwise nothing is touched and -1 is returned. Returns 0.
int dofftr(std::span<double> re, std::span<double> im, std::int8_t direction);

// Forward transform: dofftr(re, im, 1).
int fftr(std::span<double> re, std::span<double> im);

// Inverse transform without the 1/N factor: dofftr(re, im, -1).
int ifftr(std::span<double> re, std::span<double> im);

}  // namespace vallisynth

#endif  // VALLISYNTH_DSP_FFT_H_
