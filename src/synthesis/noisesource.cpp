#include "synthesis/noisesource.h"

#include <algorithm>

namespace vallisynth {

namespace {
constexpr std::uint32_t kDiscard = 344;  // values dropped after seeding
constexpr std::size_t kDrawBlock = 256;  // values made per pass of draw
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

void NoisePhaseSource::draw(std::span<double> out, double scale) {
  // The last 31 values in order, oldest first, with the new ones after
  // them: r[i] = r[i-31] + r[i-3] then runs as a plain loop. The newest 31
  // become the table again, oldest first.
  std::uint32_t r[kLags + kDrawBlock];
  for (std::size_t done = 0; done < out.size();) {
    const std::size_t m = std::min(kDrawBlock, out.size() - done);
    for (std::uint32_t k = 0; k < kLags; ++k) {
      r[k] = table_[(front_ + k) % kLags];
    }
    // r[i-3], r[i-2], r[i-1] ride in registers.
    static_assert(kShortLag == 3);
    std::uint32_t a = r[kLags - 3];
    std::uint32_t b = r[kLags - 2];
    std::uint32_t c = r[kLags - 1];
    for (std::size_t i = kLags; i < kLags + m; ++i) {
      const std::uint32_t v = r[i - kLags] + a;  // wraps modulo 2^32
      r[i] = v;
      a = b;
      b = c;
      c = v;
    }
    for (std::size_t i = 0; i < m; ++i) {
      out[done + i] = static_cast<double>(r[kLags + i] >> 1) * scale;
    }
    for (std::uint32_t k = 0; k < kLags; ++k) {
      table_[k] = r[m + k];
    }
    front_ = 0;
    rear_ = kLags - kShortLag;
    done += m;
  }
}

}  // namespace vallisynth
