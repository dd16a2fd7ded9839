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
  std::copy(r.end() - kLags, r.end(), table_.begin());
}

std::uint32_t NoisePhaseSource::next() {
  double v = 0.0;
  draw(std::span<double>(&v, 1), 1.0);
  return static_cast<std::uint32_t>(v);
}

void NoisePhaseSource::draw(std::span<double> out, double scale) {
  // The table with the new values after it: r[i] = r[i-31] + r[i-3] runs
  // as a plain loop, without wrap-around. The newest 31 become the table.
  std::uint32_t r[kLags + kDrawBlock];
  for (std::size_t done = 0; done < out.size();) {
    const std::size_t m = std::min(kDrawBlock, out.size() - done);
    std::copy(table_.begin(), table_.end(), r);
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
    std::copy(r + m, r + m + kLags, table_.begin());
    done += m;
  }
}

}  // namespace vallisynth
