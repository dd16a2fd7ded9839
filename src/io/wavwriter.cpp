#include "io/wavwriter.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "dsp/lanes.h"

namespace vallisynth {

namespace {

// 32767/32768: from here on a sample is written as the positive limit.
constexpr double kPositiveClip = 0.999969482421875;

void put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFFu);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFFu);
  }
}

void put_header(unsigned char* h, std::uint32_t n, std::uint32_t samplerate) {
  const unsigned char tags[4][4] = {
      {'R', 'I', 'F', 'F'}, {'W', 'A', 'V', 'E'}, {'f', 'm', 't', ' '}, {'d', 'a', 't', 'a'}};
  for (int i = 0; i < 4; ++i) {
    h[0 + i] = tags[0][i];
    h[8 + i] = tags[1][i];
    h[12 + i] = tags[2][i];
    h[36 + i] = tags[3][i];
  }
  put32(h + 4, 36u + 2u * n);
  put32(h + 16, 16);  // format chunk size
  put16(h + 20, 1);   // PCM
  put16(h + 22, 1);   // mono
  put32(h + 24, samplerate);
  put32(h + 28, 2u * samplerate);  // byte rate
  put16(h + 32, 2);                // block alignment
  put16(h + 34, 16);               // bits per sample
  put32(h + 40, 2u * n);
}

// The sample as a 16-bit value: from 32767/32768 on the positive limit,
// from -1 down the negative one, NaN as 0, and 32768 x truncated toward
// zero in between. Written as selects, so that the loop vectorises.
std::int16_t to_sample(double x) {
  double v = 32768.0 * x;
  v = x >= kPositiveClip ? 32767.0 : v;
  v = x <= -1.0 ? -32768.0 : v;
  v = x == x ? v : 0.0;  // NaN
  return static_cast<std::int16_t>(static_cast<std::int32_t>(v));
}

// The 16-bit little-endian samples of x into out (2 bytes each).
// to_sample of four samples at once (the same selects, lane by lane), as
// 32-bit integers.
using SampleWords = std::int32_t __attribute__((vector_size(16)));
using SampleHalves = std::int16_t __attribute__((vector_size(16)));

__attribute__((always_inline)) inline void to_four_samples(const double* x, SampleWords& out) {
  Lanes v;
  loadlanes(v, x);
  const Lanes high = {32767.0, 32767.0, 32767.0, 32767.0};
  const Lanes low = {-32768.0, -32768.0, -32768.0, -32768.0};
  const Lanes zero = {};
  Lanes s = 32768.0 * v;
  s = v >= kPositiveClip ? high : s;
  s = v <= -1.0 ? low : s;
  s = v == v ? s : zero;
  out = __builtin_convertvector(s, SampleWords);
}

VALLISYNTH_MULTIARCH void to_samples(std::span<const double> x, unsigned char* out) {
  std::size_t j = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight at a time: the low halves of the 32-bit values, in range
    // already, are the 16-bit samples.
    for (; j + 2 * kLaneCount <= x.size(); j += 2 * kLaneCount) {
      SampleWords first;
      SampleWords second;
      to_four_samples(x.data() + j, first);
      to_four_samples(x.data() + j + kLaneCount, second);
      const auto a = std::bit_cast<SampleHalves>(first);
      const auto b = std::bit_cast<SampleHalves>(second);
      const SampleHalves h = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
      std::memcpy(out + 2 * j, &h, sizeof h);
    }
  }
  for (; j < x.size(); ++j) {
    put16(out + 2 * j, static_cast<std::uint16_t>(to_sample(x[j])));
  }
}

VALLISYNTH_MULTIARCH void to_samples16(std::span<const double> x, std::int16_t* out) {
  for (std::size_t j = 0; j < x.size(); ++j) {
    out[j] = to_sample(x[j]);
  }
}

}  // namespace

void samples_to_pcm16(std::span<const double> x, std::span<std::int16_t> out) {
  to_samples16(x, out.data());
}

void samples_to_pcm16le(std::span<const double> x, unsigned char* out) {
  to_samples(x, out);
}

void make_wav_header(unsigned char* header, std::uint32_t n, std::uint32_t samplerate) {
  put_header(header, n, samplerate);
}

void normalize_peak(std::span<double> x) {
  double peak = 0.0;
  for (const double v : x) {
    if (std::fabs(v) > peak) {
      peak = std::fabs(v);
    }
  }
  if (peak == 0.0) {
    return;
  }
  const double g = 0.99 / peak;
  for (double& v : x) {
    v = v * g;
  }
}

}  // namespace vallisynth
