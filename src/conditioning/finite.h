// Frames that hold values that are not finite (NaN, +-inf, or a log-f0
// whose f0 overflows). Such a frame is decoded as silent or unvoiced and is
// left out of the utterance-wide statistics (c0 range, mean log-f0), so that
// it changes no other frame.
#ifndef VALLISYNTH_CONDITIONING_FINITE_H_
#define VALLISYNTH_CONDITIONING_FINITE_H_

#include <cstdint>
#include <span>

namespace vallisynth {

// True when the voiced log-f0 value lf0 has a finite f0, exp(lf0).
bool has_finite_f0(double lf0);

// True when every value of row is finite.
bool is_finite_row(std::span<const double> row);

// Frames of the utterance with a value that is not finite: a log-f0 that is
// not finite or whose f0 is not, a cepstral row (rowlen values per frame)
// holding one, or an fv value that is not finite (fv may be empty).
std::uint64_t count_nonfinite_rows(std::span<const double> lf0, std::span<const double> cc,
                                   std::size_t rowlen, std::span<const double> fv);

}  // namespace vallisynth

#endif  // VALLISYNTH_CONDITIONING_FINITE_H_
