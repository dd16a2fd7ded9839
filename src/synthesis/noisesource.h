// The source of the noise phases: a uniform integer source on 0..2^31-1
// that reproduces, number for number, the additive-feedback generator
// behind the GNU C library's rand() in its never-seeded state. Implementing
// it here (rather than calling rand()) makes the noise, and so the output,
// identical on every platform and compiler.
#ifndef VALLISYNTH_SYNTHESIS_NOISESOURCE_H_
#define VALLISYNTH_SYNTHESIS_NOISESOURCE_H_

#include <array>
#include <cstdint>
#include <span>

namespace vallisynth {

class NoisePhaseSource {
 public:
  // Starts the sequence afresh (seed 1).
  NoisePhaseSource();

  // The next number, 0..2147483647: r[i] = r[i-31] + r[i-3] (mod 2^32),
  // shifted right by one.
  std::uint32_t next();

  // out[i] = next() * scale for every element, in order, made a block at a
  // time.
  void draw(std::span<double> out, double scale);

 private:
  static constexpr std::uint32_t kLags = 31;     // long lag of the feedback
  static constexpr std::uint32_t kShortLag = 3;  // short lag of the feedback
  // The last 31 values r[i-31] .. r[i-1], oldest first.
  std::array<std::uint32_t, kLags> table_{};
};

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_NOISESOURCE_H_
