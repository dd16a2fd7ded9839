// The stream reader on arbitrary file contents: it must yield size / 4
// values (none for a file shorter than 4 bytes), each the exact double of
// the little-endian float stored at its place.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzsupport.h"
#include "io/paramfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = vallisynth::fuzz::scratchfile("stream");
  vallisynth::fuzz::writefile(path, std::string_view(reinterpret_cast<const char*>(data), size));

  std::vector<double> values = {-1.0};
  const std::uint64_t n = vallisynth::fdoubleread(path.c_str(), values);
  FUZZ_CHECK(n == size / 4);
  if (n == 0) {
    FUZZ_CHECK(values.size() == 1 && values[0] == -1.0);  // untouched
    return 0;
  }
  FUZZ_CHECK(values.size() == n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      bits |= static_cast<std::uint32_t>(data[4 * i + b]) << (8 * b);
    }
    const double expected = static_cast<double>(std::bit_cast<float>(bits));
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(values[i]) == std::bit_cast<std::uint64_t>(expected));
  }
  return 0;
}
