// Log-f0 track transforms: pitch shift and pitch-range scaling in the log
// domain, and conversion to Hz. A log-domain frame is voiced when its value
// is greater than -1e10 (the producer's unvoiced marker); NaN is unvoiced.
#ifndef VALLISYNTH_CONDITIONING_LOGF0_H_
#define VALLISYNTH_CONDITIONING_LOGF0_H_

#include <span>

namespace vallisynth {

// Unvoiced marker of the log-f0 stream; every value not above it is unvoiced.
inline constexpr double kUnvoicedLogF0 = -1e10;

// Adds shift (natural-log units) to every voiced frame. Returns 0.
int shiftlogpitch(std::span<double> lf0, double shift);

// Scales every voiced frame's distance from the mean voiced log-f0 by factor.
// Returns 0.
int scalelogpitchrange(std::span<double> lf0, double factor);

// Converts the track in place to Hz: exp() of voiced frames, 0.0 for the
// unvoiced ones. Returns 0.
int logf02f0(std::span<double> lf0);

}  // namespace vallisynth

#endif  // VALLISYNTH_CONDITIONING_LOGF0_H_
