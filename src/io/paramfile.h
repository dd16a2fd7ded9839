// Parameter stream files: headerless sequences of little-endian IEEE 754
// single-precision values (4 bytes each), one or more per frame.
#ifndef VALLISYNTH_IO_PARAMFILE_H_
#define VALLISYNTH_IO_PARAMFILE_H_

#include <cstdint>

#include "io/hugepages.h"

namespace vallisynth {

// Reads the whole stream file at path into values, widened to double.
//
// path    NUL-terminated file name; may be null.
// values  receives the file's size / 4 values (trailing 1 to 3 bytes are
//         ignored); written only on success.
//
// Returns the number of values read; 0 for a null path, a file that cannot be
// opened or sized, one shorter than 4 bytes, one that delivers fewer bytes
// than its size announced, or one too large to hold in memory. Prints nothing.
std::uint64_t fdoubleread(const char* path, StreamValues& values);

}  // namespace vallisynth

#endif  // VALLISYNTH_IO_PARAMFILE_H_
