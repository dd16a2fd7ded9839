// The stream readers on arbitrary file contents: read_stream() must yield
// size / 4 values, each the exact double of the little-endian float stored
// at its place, or refuse a file shorter than 4 bytes with open_failed; a
// StreamReader read in pieces, and again after rewinding, must yield the
// same values.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "vallisynth/vallisynth.hpp"

static_assert(std::endian::native == std::endian::little);

namespace {

bool samebits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = vallisynth::fuzz::scratchfile("stream");
  vallisynth::fuzz::writefile(path, {reinterpret_cast<const char*>(data), size});
  const std::size_t n = size / 4;

  std::vector<double> values;
  try {
    values = vallisynth::read_stream(path);
  } catch (const vallisynth::Error& e) {
    FUZZ_CHECK(n == 0 && e.code() == vallisynth::Errc::open_failed);
    return 0;
  }
  FUZZ_CHECK(values.size() == n);
  for (std::size_t i = 0; i < n; ++i) {
    float stored = 0.0f;
    std::memcpy(&stored, data + 4 * i, 4);
    FUZZ_CHECK(samebits(values[i], static_cast<double>(stored)));
  }

  // Piece sizes that cross the reader's internal blocks at odd places.
  vallisynth::StreamReader reader(path);
  FUZZ_CHECK(reader.size() == n);
  const std::size_t piece_size = 1 + (size % 1031);
  std::vector<double> piece(piece_size);
  std::size_t done = 0;
  for (std::size_t got; (got = reader.read(piece)) != 0; done += got) {
    FUZZ_CHECK(done + got <= n);
    FUZZ_CHECK(std::equal(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(got),
                          values.begin() + static_cast<std::ptrdiff_t>(done), samebits));
  }
  FUZZ_CHECK(done == n);
  FUZZ_CHECK(reader.rewind());
  const std::vector<double> again = reader.read_all();
  FUZZ_CHECK(std::equal(again.begin(), again.end(), values.begin(), values.end(), samebits));
  return 0;
}
