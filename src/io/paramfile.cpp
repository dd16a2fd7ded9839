#include "io/paramfile.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

namespace vallisynth {

namespace {

constexpr std::size_t kReadChunk = 2048;  // values read and widened at a time

struct FileCloser {
  void operator()(std::FILE* f) const {
    std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Size of the open file in bytes, or -1 when it cannot be found by seeking.
long filesize(std::FILE* f) {
  if (std::fseek(f, 0, SEEK_END) != 0) {
    return -1;
  }
  const long size = std::ftell(f);
  if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    return -1;
  }
  return size;
}

float floatfromle(const unsigned char* b) {
  const std::uint32_t bits =
      static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
      (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  return std::bit_cast<float>(bits);
}

}  // namespace

std::uint64_t fdoubleread(const char* path, StreamValues& values) {
  if (path == nullptr) {
    return 0;
  }
  File f(std::fopen(path, "rb"));
  if (!f) {
    return 0;
  }
  const long size = filesize(f.get());
  if (size <= 0) {
    return 0;
  }
  const auto n = static_cast<std::uint64_t>(size) / 4u;
  if (n == 0) {
    return 0;
  }
  StreamValues block;
  // A size beyond what memory can hold (a directory reports an enormous
  // one) is a file we cannot read, not a reason to stop the program.
  try {
    block.reserve(n);
  } catch (const std::bad_alloc&) {
    return 0;
  } catch (const std::length_error&) {
    return 0;
  }
  // The bytes are read a chunk at a time and widened into the reserved
  // block, so that every value is written once (no zero-filling first).
  unsigned char raw[4 * kReadChunk];
  double wide[kReadChunk];
  for (std::uint64_t done = 0; done < n;) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, n - done));
    if (std::fread(raw, 4, count, f.get()) != count) {
      return 0;  // the file shrank under us: hand out nothing unread
    }
    for (std::size_t i = 0; i < count; ++i) {
      wide[i] = floatfromle(raw + 4 * i);
    }
    block.insert(block.end(), wide, wide + count);
    done += count;
  }
  values = std::move(block);
  return n;
}

}  // namespace vallisynth
