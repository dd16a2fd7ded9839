// Utterance-wide values of the synthesis: the c0 range over which each
// voiced frame's maximum voiced frequency follows its energy, and the
// transform length of a frame, std::bit_ceil(2 L): the smallest power of
// two not below two frame shifts.
#ifndef VALLISYNTH_SYNTHESIS_SYNTHESIS_H_
#define VALLISYNTH_SYNTHESIS_SYNTHESIS_H_

#include <bit>
#include <cstdint>
#include <span>

#include "synthesis/framesynth.h"
#include "synthesis/noisesource.h"

namespace vallisynth {

// Widens r by the c0 range that sets each voiced frame's fv when there is no
// fv track, over the given frames: f0 in Hz before the f0 rules (left unchanged), cc
// their rows of order + 1 coefficients. Starting from C0Range{} and adding
// an utterance's frames in order, in pieces of any size, gives exactly the
// one-shot range, which a FrameSynthesizer then takes. Allocates nothing.
// Returns 0; -1 (r unchanged) when cc does not hold f0.size() rows.
int add_c0_range(C0Range& r, std::span<const double> f0, std::span<const double> cc,
                 std::uint32_t order);

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_SYNTHESIS_H_
