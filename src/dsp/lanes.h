// Four doubles side by side in one value, for loops that work on four
// independent quantities at a time: the compiler keeps such a value in
// vector registers (one 256-bit or two 128-bit) and does its arithmetic lane
// by lane, each lane rounded exactly as the scalar operation would be.
#ifndef VALLISYNTH_DSP_LANES_H_
#define VALLISYNTH_DSP_LANES_H_

#include <cstddef>
#include <cstring>

namespace vallisynth {

using Lanes = double __attribute__((vector_size(32)));
inline constexpr std::size_t kLaneCount = 4;

// Four consecutive doubles from or to memory of any alignment. (Lanes are
// passed by reference: as by-value arguments their calling convention would
// depend on the instruction set the caller is compiled for.)
inline void loadlanes(Lanes& v, const double* p) {
  std::memcpy(&v, p, sizeof v);
}

inline void storelanes(double* p, const Lanes& v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace vallisynth

#endif  // VALLISYNTH_DSP_LANES_H_
