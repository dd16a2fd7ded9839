// Parameter stream files: headerless sequences of little-endian IEEE 754
// single-precision values (4 bytes each), one or more per frame.
#ifndef VALLISYNTH_IO_PARAMFILE_H_
#define VALLISYNTH_IO_PARAMFILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vallisynth {

// The value whose stored (little-endian float32) bytes start at b.
float float_from_le(const unsigned char* b);

// out[0..n-1] = the n values whose stored bytes start at raw, widened.
void floats_from_le(const unsigned char* raw, std::size_t n, double* out);

// Appends the n values at v to f as stored values (rounded to float32,
// little-endian). False on a write error (errno tells why).
bool write_floats_le(std::FILE* f, const double* v, std::size_t n);

}  // namespace vallisynth

#endif  // VALLISYNTH_IO_PARAMFILE_H_
