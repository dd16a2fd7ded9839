#include "io/paramfile.h"

#include <sys/mman.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace vallisynth {

namespace {

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

// Asks the kernel to map the pages of a fresh buffer in one call: cheaper
// than a page fault for each 4 KiB on first touch. A hint; failure (an
// older kernel) changes nothing.
void prefault(void* p, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  const std::uintptr_t page = 4096;
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
  const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(page - 1);
  if (last > first) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
  }
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace

std::uint64_t fdoubleread(const char* path, std::vector<double>& values) {
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
  std::vector<double> block;
  // A size beyond what memory can hold (a directory reports an enormous
  // one) is a file we cannot read, not a reason to stop the program.
  try {
    block.reserve(n);
    prefault(block.data(), n * sizeof(double));
    block.resize(n);
  } catch (const std::bad_alloc&) {
    return 0;
  } catch (const std::length_error&) {
    return 0;
  }
  // One bulk read of the raw bytes into the front half of the block, then an
  // in-place widening from the last value down: the float at byte 4i lands
  // at byte 8i >= 4i, so no value is overwritten before it has been read.
  auto* bytes = reinterpret_cast<unsigned char*>(block.data());
  if (std::fread(bytes, 4, n, f.get()) != n) {
    return 0;  // the file shrank under us: hand out nothing unread
  }
  for (std::uint64_t i = n; i-- > 0;) {
    const double v = floatfromle(bytes + 4 * i);
    std::memcpy(bytes + 8 * i, &v, sizeof v);
  }
  values = std::move(block);
  return n;
}

}  // namespace vallisynth
