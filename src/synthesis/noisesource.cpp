#include "synthesis/noisesource.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "dsp/lanes.h"

namespace vallisynth {

namespace {
constexpr std::uint32_t kDiscard = 344;  // values dropped after seeding
constexpr std::size_t kDrawBlock = 256;  // values made per pass of draw
// Skips at least this long jump by polynomial powers: about as costly as
// stepping this many times.
constexpr std::uint64_t kJumpThreshold = 16384;

constexpr std::size_t kLagCount = 31;
// A polynomial of degree below 31 with coefficients modulo 2^32: element j
// multiplies x^j.
using Poly = std::array<std::uint32_t, kLagCount>;

// a b modulo x^31 - x^28 - 1, the characteristic polynomial of
// r[t + 31] = r[t + 28] + r[t]: every term x^k with k >= 31 becomes
// x^(k-3) + x^(k-31), from the top down. Unsigned arithmetic wraps modulo
// 2^32 as the generator does.
Poly mul_mod(const Poly& a, const Poly& b) {
  std::array<std::uint32_t, 2 * kLagCount - 1> p{};
  for (std::size_t i = 0; i < kLagCount; ++i) {
    for (std::size_t j = 0; j < kLagCount; ++j) {
      p[i + j] += a[i] * b[j];
    }
  }
  for (std::size_t k = p.size() - 1; k >= kLagCount; --k) {
    p[k - 3] += p[k];
    p[k - kLagCount] += p[k];
  }
  Poly r;
  std::copy_n(p.begin(), kLagCount, r.begin());
  return r;
}

// x a modulo the characteristic polynomial.
Poly mulx(const Poly& a) {
  Poly r;
  const std::uint32_t top = a[kLagCount - 1];
  for (std::size_t j = kLagCount - 1; j > 0; --j) {
    r[j] = a[j - 1];
  }
  r[0] = top;
  r[kLagCount - 3] += top;
  return r;
}
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

namespace {

using Words = std::uint32_t __attribute__((vector_size(32)));  // eight values side by side

// r[31 .. 31+m-1] from r[0..30], eight values per step. With a = r[i-31 ..
// i-24], known, and p = r[i-3 .. i-1], the recurrence unrolled gives
//   r[i+j] = a[j] + a[j-3] + a[j-6] + p[j mod 3]
// (the terms with a negative index left out): sums modulo 2^32, the same
// values in any order.
VALLISYNTH_MULTIARCH void generate_words(std::uint32_t* r, std::size_t m) {
  const Words zero = {};
  Words p = {r[28], r[29], r[30], r[28], r[29], r[30], r[28], r[29]};
  std::size_t i = 31;
  for (; i + 8 <= 31 + m; i += 8) {
    Words a;
    std::memcpy(&a, r + i - 31, sizeof a);
    const Words a3 = __builtin_shufflevector(a, zero, 8, 8, 8, 0, 1, 2, 3, 4);
    const Words a6 = __builtin_shufflevector(a, zero, 8, 8, 8, 8, 8, 8, 0, 1);
    const Words x = (a + a3) + (a6 + p);
    std::memcpy(r + i, &x, sizeof x);
    // The last three, r[i+5 .. i+7], repeated as the next step's p.
    p = __builtin_shufflevector(x, x, 5, 6, 7, 5, 6, 7, 5, 6);
  }
  for (; i < 31 + m; ++i) {
    r[i] = r[i - 31] + r[i - 3];  // wraps modulo 2^32
  }
}

// out[i] = (r[i] >> 1) scale for i < m. Below 2^31 after the shift: a
// signed conversion, which vectorizes (eight at a time with AVX2).
VALLISYNTH_MULTIARCH void scalevalues(const std::uint32_t* r, std::size_t m, double scale,
                                      double* out) {
  for (std::size_t i = 0; i < m; ++i) {
    out[i] = static_cast<double>(static_cast<std::int32_t>(r[i] >> 1)) * scale;
  }
}

}  // namespace

void NoisePhaseSource::generate(std::uint32_t* r, std::size_t m) {
  static_assert(kLags == 31 && kShortLag == 3);
  generate_words(r, m);
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
    generate(r, m);
    scalevalues(r + kLags, m, scale, out.data() + done);
    std::copy(r + m, r + m + kLags, table_.begin());
    done += m;
  }
}

void NoisePhaseSource::skip(std::uint64_t n) {
  if (n >= kJumpThreshold) {
    jump(n);
  } else {
    step(n);
  }
}

void NoisePhaseSource::step(std::uint64_t n) {
  // As draw, without the conversion of each value.
  std::uint32_t r[kLags + kDrawBlock];
  for (std::uint64_t done = 0; done < n;) {
    const auto m = static_cast<std::size_t>(std::min<std::uint64_t>(kDrawBlock, n - done));
    std::copy(table_.begin(), table_.end(), r);
    generate(r, m);
    std::copy(r + m, r + m + kLags, table_.begin());
    done += m;
  }
}

NoisePhaseSource::Jump NoisePhaseSource::jump_of(std::uint64_t n) {
  Poly q{};
  q[0] = 1;
  for (int bit = 63 - std::countl_zero(n); bit >= 0; --bit) {
    q = mul_mod(q, q);
    if ((n >> bit) & 1u) {
      q = mulx(q);
    }
  }
  return Jump{n, q};
}

void NoisePhaseSource::skip(const Jump& j) {
  static_assert(kLags == kLagCount && kShortLag == 3);
  if (j.count == 0) {
    return;
  }
  // With the table holding r[t .. t+30], r[t + n + k] = sum_j c_j r[t + j]
  // for c = x^(n+k) mod the characteristic polynomial: the generator is
  // linear.
  Poly q = j.power;
  Table next{};
  for (std::size_t k = 0; k < kLags; ++k) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < kLags; ++i) {
      v += q[i] * table_[i];
    }
    next[k] = v;
    q = mulx(q);
  }
  table_ = next;
}

void NoisePhaseSource::jump(std::uint64_t n) {
  skip(jump_of(n));
}

}  // namespace vallisynth
