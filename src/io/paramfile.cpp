#include "io/paramfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "dsp/lanes.h"

namespace vallisynth {

namespace {

constexpr std::size_t kReadChunk = 2048;  // values read and widened at a time

// Closes a stream that was opened here; standard input stays open.
struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != stdin) {
      std::fclose(f);
    }
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

// Appends count values, widened from their stored bytes, to block.
void widenappend(const unsigned char* raw, std::size_t count, StreamValues& block) {
  double wide[kReadChunk];
  floatsfromle(raw, count, wide);
  block.insert(block.end(), wide, wide + count);
}

// A regular file: its size gives the count, and the block is reserved once.
std::uint64_t readsized(std::FILE* f, StreamValues& block, std::uint64_t maxbytes,
                        ReadFailure& why) {
  const long size = filesize(f);
  if (size <= 0) {
    return 0;
  }
  const auto n = static_cast<std::uint64_t>(size) / 4u;
  if (n == 0) {
    return 0;
  }
  // A size beyond what memory can hold (a directory reports an enormous
  // one) is a file we cannot read, not a reason to stop the program.
  if (n > maxbytes / sizeof(double)) {
    why = ReadFailure::kNoMemory;
    return 0;
  }
  try {
    block.reserve(n);
  } catch (const std::bad_alloc&) {
    why = ReadFailure::kNoMemory;
    return 0;
  } catch (const std::length_error&) {
    why = ReadFailure::kNoMemory;
    return 0;
  }
  // The bytes are read a chunk at a time and widened into the reserved
  // block, so that every value is written once (no zero-filling first).
  unsigned char raw[4 * kReadChunk];
  for (std::uint64_t done = 0; done < n;) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, n - done));
    if (std::fread(raw, 4, count, f) != count) {
      return 0;  // the file shrank under us: hand out nothing unread
    }
    widenappend(raw, count, block);
    done += count;
  }
  return n;
}

// A pipe, FIFO or device: no size to go by, so read until end of file,
// growing the block as values arrive.
std::uint64_t readtoend(std::FILE* f, StreamValues& block, std::uint64_t maxbytes,
                        ReadFailure& why) {
  unsigned char raw[4 * kReadChunk];
  std::size_t held = 0;  // bytes in raw, fewer than 4 left from the last read
  try {
    while (true) {
      held += std::fread(raw + held, 1, sizeof raw - held, f);
      const std::size_t count = held / 4;
      if ((block.size() + count) > maxbytes / sizeof(double)) {
        why = ReadFailure::kNoMemory;
        return 0;
      }
      widenappend(raw, count, block);
      std::memmove(raw, raw + 4 * count, held - 4 * count);
      held -= 4 * count;
      if (std::feof(f) != 0 || std::ferror(f) != 0) {
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    why = ReadFailure::kNoMemory;
    return 0;
  } catch (const std::length_error&) {
    why = ReadFailure::kNoMemory;
    return 0;
  }
  return std::ferror(f) != 0 ? 0 : block.size();
}

}  // namespace

float floatfromle(const unsigned char* b) {
  const std::uint32_t bits =
      static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
      (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  return std::bit_cast<float>(bits);
}

VALLISYNTH_MULTIARCH void floatsfromle(const unsigned char* raw, std::size_t n, double* out) {
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
      out[i] = static_cast<double>(floatfromle(raw + 4 * i));
    }
  }
}

std::uint64_t fdoubleread(const char* path, StreamValues& values, ReadFailure* failure,
                          std::uint64_t maxbytes) {
  ReadFailure ignored = ReadFailure::kNone;
  ReadFailure& why = failure != nullptr ? *failure : ignored;
  why = ReadFailure::kCannotOpen;
  if (path == nullptr) {
    return 0;
  }
  File f(std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb"));
  struct stat st {};
  if (!f || fstat(fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
    return 0;
  }
  StreamValues block;
  const std::uint64_t n = S_ISREG(st.st_mode) ? readsized(f.get(), block, maxbytes, why)
                                              : readtoend(f.get(), block, maxbytes, why);
  if (n == 0) {
    return 0;
  }
  why = ReadFailure::kNone;
  values = std::move(block);
  return n;
}

bool fwritefloats(std::FILE* f, const double* v, std::size_t n) {
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
