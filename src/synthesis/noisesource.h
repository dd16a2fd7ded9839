// The source of the noise phases: a uniform integer source on 0..2^31-1
// that reproduces, number for number, the additive-feedback generator
// behind the GNU C library's rand() in its never-seeded state. Implementing
// it here (rather than calling rand()) makes the noise, and so the output,
// identical on every platform and compiler.
#ifndef VALLISYNTH_SYNTHESIS_NOISESOURCE_H_
#define VALLISYNTH_SYNTHESIS_NOISESOURCE_H_

#include <array>
#include <cstdint>

namespace vallisynth {

class NoisePhaseSource {
 public:
  // Starts the sequence afresh (seed 1).
  NoisePhaseSource();

  // The next number, 0..2147483647.
  std::uint32_t next();

 private:
  // The last 34 values of r[i] = r[i-31] + r[i-3] (mod 2^32), in a ring.
  static constexpr std::uint32_t kRing = 34;
  std::array<std::uint32_t, kRing> ring_{};
  std::uint32_t pos_ = 0;  // index of the next value to form, modulo kRing
  std::uint32_t advance();
};

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_NOISESOURCE_H_
