// Parameter stream files: headerless sequences of little-endian IEEE 754
// single-precision values (4 bytes each), one or more per frame.
#ifndef VALLISYNTH_IO_PARAMFILE_H_
#define VALLISYNTH_IO_PARAMFILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "io/hugepages.h"

namespace vallisynth {

// The value whose stored (little-endian float32) bytes start at b.
float floatfromle(const unsigned char* b);

// out[0..n-1] = the n values whose stored bytes start at raw, widened.
void floatsfromle(const unsigned char* raw, std::size_t n, double* out);

// Why a read handed out nothing.
enum class ReadFailure {
  kNone,
  kCannotOpen,  // missing, unreadable, a folder, empty or shorter than 4 bytes
  kNoMemory,    // the values would not fit in maxbytes or could not be allocated
};

// Reads the whole stream file at path into values, widened to double.
//
// path      NUL-terminated file name, "-" for standard input; may be null.
//           A regular file is sized first and read in one pass; a pipe, a
//           FIFO or a device is read until end of file.
// values    receives the stream's byte count / 4 values (trailing 1 to 3
//           bytes are ignored); written only on success.
// failure   when not null, receives why nothing was read (kNone on success).
// maxbytes  most bytes the values may take in memory (8 per value).
//
// Returns the number of values read; 0 for a null path, a file that cannot be
// opened or sized, one shorter than 4 bytes, one that delivers fewer bytes
// than its size announced, a read error, or values beyond maxbytes or what
// memory can hold. Prints nothing.
std::uint64_t fdoubleread(const char* path, StreamValues& values, ReadFailure* failure = nullptr,
                          std::uint64_t maxbytes = ~std::uint64_t{0});

// Appends the n values at v to f as stored values (rounded to float32,
// little-endian). False on a write error (errno tells why).
bool fwritefloats(std::FILE* f, const double* v, std::size_t n);

}  // namespace vallisynth

#endif  // VALLISYNTH_IO_PARAMFILE_H_
