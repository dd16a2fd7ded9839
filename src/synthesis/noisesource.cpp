#include "synthesis/noisesource.h"

namespace vallisynth {

namespace {
constexpr std::uint32_t kLags = 31;      // long lag of the feedback
constexpr std::uint32_t kShortLag = 3;   // short lag of the feedback
constexpr std::uint32_t kDiscard = 344;  // values dropped after seeding
}  // namespace

NoisePhaseSource::NoisePhaseSource() {
  // r[0] = 1; r[i] = 16807 r[i-1] mod (2^31 - 1) for i = 1..30 (a
  // Lehmer generator fills the table); r[i] = r[i-31] for i = 31..33.
  std::array<std::uint32_t, kDiscard> r{};
  r[0] = 1;
  for (std::uint32_t i = 1; i < kLags; ++i) {
    r[i] = static_cast<std::uint32_t>((std::uint64_t{16807} * r[i - 1]) % 2147483647u);
  }
  for (std::uint32_t i = kLags; i < kRing; ++i) {
    r[i] = r[i - kLags];
  }
  for (std::uint32_t i = kRing; i < kDiscard; ++i) {
    r[i] = r[i - kLags] + r[i - kShortLag];  // wraps modulo 2^32
  }
  for (std::uint32_t i = 0; i < kRing; ++i) {
    const std::uint32_t k = kDiscard - kRing + i;
    ring_[k % kRing] = r[k];
  }
  pos_ = kDiscard % kRing;
}

std::uint32_t NoisePhaseSource::advance() {
  // Ring indices below 2 kRing wrap by one subtraction.
  const auto wrap = [](std::uint32_t i) { return i >= kRing ? i - kRing : i; };
  const std::uint32_t v = ring_[wrap(pos_ + kRing - kLags)] + ring_[wrap(pos_ + kRing - kShortLag)];
  ring_[pos_] = v;
  pos_ = wrap(pos_ + 1);
  return v;
}

std::uint32_t NoisePhaseSource::next() {
  return advance() >> 1;
}

}  // namespace vallisynth
