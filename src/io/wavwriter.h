// Output as a RIFF/WAVE file: PCM, mono, 16 bits, 44-byte header.
#ifndef VALLISYNTH_IO_WAVWRITER_H_
#define VALLISYNTH_IO_WAVWRITER_H_

#include <cstdint>
#include <cstdio>
#include <span>

namespace vallisynth {

// Most samples a WAV file can describe: its RIFF size field, 36 + 2n, is
// 32 bits wide.
inline constexpr std::uint32_t kMaxWavSamples = (0xFFFFFFFFu - 36u) / 2u;

// Writes x (full scale +-1.0) to filename as a 16-bit mono WAV file whose
// header gives samplerate (Hz).
// When normalise is 1, x is first scaled in place by ampnormalize().
// Samples are truncated toward zero; the positive limit 32767 is reached at
// 32767/32768, the negative limit -32768 only at -1.0; NaN is written as 0.
//
// Returns x.size() when the whole file was written. Returns 0 when the file
// cannot be created, x is too long for a WAV file, or writing or closing
// fails; whatever was at filename before is then left as it was, and no
// partial file remains (the output is written as io/outputfile.h describes).
std::uint32_t wavwritem1616(const char* filename, std::span<double> x, std::int8_t normalise,
                            std::uint32_t samplerate = 16000);

// The 16-bit samples of x as the writer makes them; out.size() == x.size().
void topcm16(std::span<const double> x, std::span<std::int16_t> out);

// The same samples as the file stores them: little-endian, 2 bytes each,
// 2 x.size() bytes into out.
void topcm16le(std::span<const double> x, unsigned char* out);

// The same WAV file written to an open stream (the header first, then the
// samples); the stream is neither flushed nor closed. Returns x.size() when
// every write succeeded, 0 otherwise.
std::uint32_t wavwritem1616stream(std::FILE* sink, std::span<double> x, std::int8_t normalise,
                                  std::uint32_t samplerate = 16000);

// The 44-byte header of a WAV file of n samples at samplerate (Hz).
void wavheader(unsigned char* header, std::uint32_t n, std::uint32_t samplerate);

// Scales x in place so that its largest magnitude becomes 0.99; leaves
// silence alone. Returns 0.
int ampnormalize(std::span<double> x);

}  // namespace vallisynth

#endif  // VALLISYNTH_IO_WAVWRITER_H_
