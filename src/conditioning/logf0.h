// Log-f0 track transforms: pitch shift and pitch-range scaling in the log
// domain, and conversion to Hz. A log-domain frame is voiced when its value
// is greater than -1e10 (the producer's unvoiced marker); NaN is unvoiced.
#ifndef VALLISYNTH_CONDITIONING_LOGF0_H_
#define VALLISYNTH_CONDITIONING_LOGF0_H_

#include <cstdint>
#include <span>

namespace vallisynth {

// Unvoiced marker of the log-f0 stream; every value not above it is unvoiced.
inline constexpr double kUnvoicedLogF0 = -1e10;

// Adds shift (natural-log units) to every voiced frame.
void shift_lf0(std::span<double> lf0, double shift);

// Adds the voiced frames of lf0 whose f0 is finite to a running sum and
// count, in order: over consecutive pieces of a track this gives the same
// sum as one pass over the whole.
void add_lf0_sum(std::span<const double> lf0, double& sum, std::uint64_t& count);

// Scales the distance of every voiced frame (with a finite f0) from mean by
// factor.
void scale_lf0_range_around(std::span<double> lf0, double factor, double mean);

// Converts the track in place to Hz: exp() of voiced frames, 0.0 for the
// unvoiced ones.
void lf0_to_f0(std::span<double> lf0);

}  // namespace vallisynth

#endif  // VALLISYNTH_CONDITIONING_LOGF0_H_
