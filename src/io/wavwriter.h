// Output as a RIFF/WAVE file: PCM, mono, 16 bits, 44-byte header.
#ifndef VALLISYNTH_IO_WAVWRITER_H_
#define VALLISYNTH_IO_WAVWRITER_H_

#include <cstdint>
#include <span>

namespace vallisynth {

// The 16-bit samples of x as the writer makes them; out.size() == x.size().
void samples_to_pcm16(std::span<const double> x, std::span<std::int16_t> out);

// The same samples as the file stores them: little-endian, 2 bytes each,
// 2 x.size() bytes into out.
void samples_to_pcm16le(std::span<const double> x, unsigned char* out);

// The 44-byte header of a WAV file of n samples at samplerate (Hz).
void make_wav_header(unsigned char* header, std::uint32_t n, std::uint32_t samplerate);

// Scales x in place so that its largest magnitude becomes 0.99; leaves
// silence alone.
void normalize_peak(std::span<double> x);

}  // namespace vallisynth

#endif  // VALLISYNTH_IO_WAVWRITER_H_
