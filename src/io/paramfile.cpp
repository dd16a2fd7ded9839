#include "io/paramfile.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "dsp/lanes.h"

namespace vallisynth {

float float_from_le(const unsigned char* b) {
  const std::uint32_t bits =
      static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
      (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  return std::bit_cast<float>(bits);
}

VALLISYNTH_MULTIARCH void floats_from_le(const unsigned char* raw, std::size_t n, double* out) {
  if constexpr (std::endian::native == std::endian::little) {
    // The stored bytes are the host's floats: copied out a piece at a time,
    // then widened, both in vector instructions.
    constexpr std::size_t kPiece = 512;
    float values[kPiece];
    for (std::size_t i = 0; i < n; i += kPiece) {
      const std::size_t m = std::min(kPiece, n - i);
      std::memcpy(values, raw + 4 * i, 4 * m);
      for (std::size_t j = 0; j < m; ++j) {
        out[i + j] = static_cast<double>(values[j]);
      }
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = static_cast<double>(float_from_le(raw + 4 * i));
    }
  }
}

bool write_floats_le(std::FILE* f, const double* v, std::size_t n) {
  unsigned char bytes[4 * 256];
  while (n > 0) {
    const std::size_t m = std::min<std::size_t>(n, 256);
    for (std::size_t i = 0; i < m; ++i) {
      const auto x = static_cast<float>(v[i]);
      std::uint32_t u = 0;
      std::memcpy(&u, &x, 4);
      for (int b = 0; b < 4; ++b) {
        bytes[4 * i + static_cast<std::size_t>(b)] = static_cast<unsigned char>(u >> (8 * b));
      }
    }
    if (std::fwrite(bytes, 4, m, f) != m) {
      return false;
    }
    v += m;
    n -= m;
  }
  return true;
}

}  // namespace vallisynth
