// The stream reader on arbitrary file contents: it must yield size / 4
// values, each the exact double of the little-endian float stored at its
// place, or none for a file shorter than 4 bytes and leave the output alone.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "io/paramfile.h"

static_assert(std::endian::native == std::endian::little);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = vallisynth::fuzz::scratchfile("stream");
  vallisynth::fuzz::writefile(path, {reinterpret_cast<const char*>(data), size});
  vallisynth::StreamValues values = {-1.0};
  const std::uint64_t n = vallisynth::fdoubleread(path.c_str(), values);
  FUZZ_CHECK(n == size / 4 && values.size() == (n == 0 ? 1 : n) && (n > 0 || values[0] == -1.0));
  for (std::size_t i = 0; i < n; ++i) {
    float stored = 0.0f;
    std::memcpy(&stored, data + 4 * i, 4);
    const double expected = stored;
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(values[i]) == std::bit_cast<std::uint64_t>(expected));
  }
  return 0;
}
