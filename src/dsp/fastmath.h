// Exponential, sine and cosine over arrays, written as straight-line
// arithmetic so that the loops run in vector registers. Each value is within
// a few units in the last place of the C library's (results that overflow,
// underflow or are not numbers included); where the sine and cosine's
// argument reduction would lose accuracy (very large or non-finite
// arguments) the C library's functions are used instead.
#ifndef VALLISYNTH_DSP_FASTMATH_H_
#define VALLISYNTH_DSP_FASTMATH_H_

#include <span>

namespace vallisynth {

// y[i] = exp(x[i]) for i < x.size(); y must hold as many values and may be x
// itself.
void exp_vector(std::span<const double> x, std::span<double> y);

// c[i] = cos(x[i]), s[i] = sin(x[i]) for i < x.size(); c and s must hold as
// many values and must not overlap x or each other.
void sincos_vector(std::span<const double> x, std::span<double> c, std::span<double> s);

// sincos_vector for arguments known to lie in [0, 2 pi] (phases drawn from
// their uniform source), without the check for arguments out of range: the
// same values.
void sincos_phases(std::span<const double> x, std::span<double> c, std::span<double> s);

// The spectrum of amplitudes gain exp(logamp[i]) and phases phase[i] in
// [0, 2 pi], as real and imaginary parts: re[i] = (exp(logamp[i]) gain)
// cos(phase[i]), im[i] = (exp(logamp[i]) gain) sin(phase[i]), the same
// values as exp_vector and sincos_phases followed by those products. All
// four hold logamp.size() values; re may be logamp itself and im phase.
void polar_from_log(std::span<const double> logamp, std::span<const double> phase, double gain,
                    std::span<double> re, std::span<double> im);

}  // namespace vallisynth

#endif  // VALLISYNTH_DSP_FASTMATH_H_
