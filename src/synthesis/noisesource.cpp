#include "synthesis/noisesource.h"

namespace vallisynth {

namespace {
constexpr std::uint32_t kShortLag = 3;   // short lag of the feedback
constexpr std::uint32_t kDiscard = 344;  // values dropped after seeding
}  // namespace

NoisePhaseSource::NoisePhaseSource() {
  // r[0] = 1; r[i] = 16807 r[i-1] mod (2^31 - 1) for i = 1..30 (a Lehmer
  // generator fills the table); r[i] = r[i-31] for i = 31..33; from then on
  // the additive feedback, of which the first 310 values are dropped.
  std::array<std::uint32_t, kDiscard> r{};
  r[0] = 1;
  for (std::uint32_t i = 1; i < kLags; ++i) {
    r[i] = static_cast<std::uint32_t>((std::uint64_t{16807} * r[i - 1]) % 2147483647u);
  }
  for (std::uint32_t i = kLags; i < kLags + kShortLag; ++i) {
    r[i] = r[i - kLags];
  }
  for (std::uint32_t i = kLags + kShortLag; i < kDiscard; ++i) {
    r[i] = r[i - kLags] + r[i - kShortLag];  // wraps modulo 2^32
  }
  for (std::uint32_t x = kDiscard - kLags; x < kDiscard; ++x) {
    table_[x % kLags] = r[x];
  }
  front_ = kDiscard % kLags;
  rear_ = (kDiscard - kShortLag) % kLags;
}

}  // namespace vallisynth
