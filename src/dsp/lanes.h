// Four doubles side by side in one value, for loops that work on four
// independent quantities at a time: the compiler keeps such a value in
// vector registers (one 256-bit or two 128-bit) and does its arithmetic lane
// by lane, each lane rounded exactly as the scalar operation would be.
#ifndef VALLISYNTH_DSP_LANES_H_
#define VALLISYNTH_DSP_LANES_H_

#include <cstddef>
#include <cstring>

// The hot loops are compiled twice, for x86-64-v3 (AVX2) and for the
// baseline, and the program picks one when it starts. A build can keep to
// the baseline alone (VALLISYNTH_BASELINE_ONLY), which is how the tests run
// the baseline code on a machine that has AVX2. A helper that such a
// function calls is compiled for the clone's instruction set only where it
// is inlined: helpers working on Lanes are marked always_inline.
#if defined(__x86_64__) && !defined(VALLISYNTH_BASELINE_ONLY)
#define VALLISYNTH_MULTIARCH __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VALLISYNTH_MULTIARCH
#endif

namespace vallisynth {

using Lanes = double __attribute__((vector_size(32)));
inline constexpr std::size_t kLaneCount = 4;

// Four consecutive doubles from or to memory of any alignment. (Lanes are
// passed by reference: as by-value arguments their calling convention would
// depend on the instruction set the caller is compiled for.)
__attribute__((always_inline)) inline void loadlanes(Lanes& v, const double* p) {
  std::memcpy(&v, p, sizeof v);
}

__attribute__((always_inline)) inline void storelanes(double* p, const Lanes& v) {
  std::memcpy(p, &v, sizeof v);
}

// Puts the four lanes in reverse order.
__attribute__((always_inline)) inline void reverse(Lanes& v) {
  v = __builtin_shufflevector(v, v, 3, 2, 1, 0);
}

}  // namespace vallisynth

#endif  // VALLISYNTH_DSP_LANES_H_
