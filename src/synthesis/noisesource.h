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

  // Moves on by n numbers without making them: afterwards the source
  // stands where n calls of next() would leave it. Long jumps take
  // O(log n) polynomial products instead of n steps.
  void skip(std::uint64_t n);

  // A skip of a fixed count, made once (O(log n) polynomial products): the
  // coefficients of x^n modulo the recurrence's characteristic polynomial,
  // which move any source by n with 31 short products, for callers that
  // skip by the same counts again and again.
  struct Jump {
    std::uint64_t count = 0;
    std::array<std::uint32_t, 31> power{};
  };
  static Jump jump_of(std::uint64_t n);
  // Moves on by j.count numbers, as skip(j.count) does.
  void skip(const Jump& j);

  // True when both stand at the same place in the sequence.
  bool operator==(const NoisePhaseSource& other) const = default;

  // The position: the last 31 values, oldest first. Any table is a
  // position of the sequence's recurrence.
  using Table = std::array<std::uint32_t, 31>;
  const Table& table() const {
    return table_;
  }
  void settable(const Table& table) {
    table_ = table;
  }

 private:
  static constexpr std::uint32_t kLags = 31;     // long lag of the feedback
  static constexpr std::uint32_t kShortLag = 3;  // short lag of the feedback
  // The last 31 values r[i-31] .. r[i-1], oldest first.
  std::array<std::uint32_t, kLags> table_{};

  // r[31 .. 31+m-1] from the recurrence, r[0..30] holding the table.
  static void generate(std::uint32_t* r, std::size_t m);
  // Steps the recurrence n times.
  void step(std::uint64_t n);
  // Replaces the table by the one n steps ahead, through x^n modulo the
  // recurrence's characteristic polynomial.
  void jump(std::uint64_t n);
};

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_NOISESOURCE_H_
