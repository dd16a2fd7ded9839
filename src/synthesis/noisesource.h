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
  // shifted right by one. The value formed replaces r[i-31] in the table.
  std::uint32_t next() {
    const std::uint32_t v = table_[front_] + table_[rear_];
    table_[front_] = v;
    front_ = front_ + 1 == kLags ? 0 : front_ + 1;
    rear_ = rear_ + 1 == kLags ? 0 : rear_ + 1;
    return v >> 1;
  }

  // out[i] = next() * scale for every element, in order: the same numbers,
  // made a block at a time without the table's wrap-around.
  void draw(std::span<double> out, double scale);

 private:
  static constexpr std::uint32_t kLags = 31;     // long lag of the feedback
  static constexpr std::uint32_t kShortLag = 3;  // short lag of the feedback
  // r[x] lives at table_[x mod 31]; front_ indexes r[i-31], rear_ r[i-3].
  std::array<std::uint32_t, kLags> table_{};
  std::uint32_t front_ = 0;
  std::uint32_t rear_ = 0;
};

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_NOISESOURCE_H_
