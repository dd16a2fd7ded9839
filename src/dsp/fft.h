// In-place iterative radix-2 FFT of a complex sequence held as separate real
// and imaginary arrays. No scaling in either direction: the inverse of the
// forward transform returns N times the input.
#ifndef VALLISYNTH_DSP_FFT_H_
#define VALLISYNTH_DSP_FFT_H_

#include <cstdint>
#include <span>
#include <vector>

namespace vallisynth {

// Transforms (re, im) in place; direction -1 is the inverse
// (x[n] = sum X[k] e^{+j 2 pi k n / N}), any other value the forward
// transform. N = re.size() must equal im.size() and be a power of two;
// otherwise nothing is touched and -1 is returned. Returns 0.
int complex_fft(std::span<double> re, std::span<double> im, std::int8_t direction);

// What complex_fft derives afresh on every call, kept for a caller that
// transforms many sequences of one length: the bit-reversal swaps and every
// stage's twiddle factors, from the same recurrence, so the results are
// identical. Construction allocates (and may throw std::bad_alloc); the
// transform does not.
class FftPlan {
 public:
  // n must be a power of two; direction as for complex_fft.
  FftPlan(std::size_t n, std::int8_t direction);

 private:
  friend int complex_fft(std::span<double> re, std::span<double> im, const FftPlan& plan);
  friend int complex_fft_bit_reversed(std::span<double> re, std::span<double> im,
                                      const FftPlan& plan);
  std::size_t n_;
  std::vector<std::uint32_t> swaps_;  // pairs i < r of indices to exchange
  std::vector<double> wr_;            // stage of half-span H: twiddles at H - 1 ..
  std::vector<double> wi_;            // .. 2H - 2
};

// The transform of the plan's length and direction; -1 (nothing touched)
// when re and im do not both have the plan's length, else 0.
int complex_fft(std::span<double> re, std::span<double> im, const FftPlan& plan);

// The same transform of input already in bit-reversed order: element i
// holds point i with its log2 N bits reversed. The plan's permutation is
// skipped, the butterflies are the same. Returns as complex_fft.
int complex_fft_bit_reversed(std::span<double> re, std::span<double> im, const FftPlan& plan);

// cosines[k] and sines[k] = cos and sin of 2 pi k / n for k < n / 2: the
// twiddles that join the two halves of a real sequence of n points
// transformed as a complex one of n / 2. Allocates.
void half_length_twiddles(std::size_t n, std::vector<double>& cosines, std::vector<double>& sines);

// Forward transform: complex_fft(re, im, 1).
int forward_fft(std::span<double> re, std::span<double> im);

// Inverse transform without the 1/N factor: complex_fft(re, im, -1).
int inverse_fft(std::span<double> re, std::span<double> im);

}  // namespace vallisynth

#endif  // VALLISYNTH_DSP_FFT_H_
