// One whole utterance, from stream files to WAV file, with arbitrary
// contents and options. The input is a 12-byte header of options followed
// by the bytes from which the stream values are drawn (cyclically):
//
//   0-1  frame shift  1 + u16 % 400     5   stream flags (kFv, ...)
//   2    order        u8 % 65           6   value flags (kPlausibleF0, ...)
//   3-4  frames       1 + u16 % 400     7-11 ALPHA, GAMMA, FPITCH, FVPITCH,
//                                            FVALPHA: indices into tables
//
// Frames times frame shift is capped at 8000 samples, so every input runs in
// milliseconds. Whatever the values, the output must be a well-formed WAV
// file of (K + 1) L + 1 samples, K the f0 value count, when the dimensions
// agree, and no file at all otherwise.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "driver/pipeline.h"
#include "fuzzsupport.h"
#include "synthesis/noisesource.h"

namespace {

namespace fz = vallisynth::fuzz;
static_assert(std::endian::native == std::endian::little);

// Stream flags (header byte 5): an fv file is named, WAVNORM=1, 1 to 3 stray
// bytes after the f0 or cepstral values, one cepstral or fv value missing,
// an empty f0 file, an output in a missing folder.
constexpr unsigned kFv = 1, kNormalise = 2, kF0Tail = 4, kCcTail = 8, kCcShort = 16;
constexpr unsigned kFvShort = 32, kF0Empty = 64, kNoOutputDir = 128;
// Value flags (header byte 6): plausible values from single bytes instead
// of raw 4-byte floats, so that the voiced paths are reached often; an
// empty cepstral file.
constexpr unsigned kPlausibleF0 = 1, kPlausibleCc = 2, kPlausibleFv = 4, kCcEmpty = 8;

// ALPHA, GAMMA and FVALPHA are not limited on the command line.
constexpr double kNaN = NAN, kInf = INFINITY;
constexpr std::array kAlphas = {0.42, 0.0, -0.42, 0.77, 0.99, -0.99, 1.0, -1.0, 3.0, kNaN, 1e300};
constexpr std::array kGammas = {0.0, 0.3, 1.0, -1.0, 10.0, kNaN, kInf, -0.5};
constexpr std::array kFpitches = {1.0, 0.25, 4.0, 0.5, 2.0, 1.3};
constexpr std::array kFvpitches = {1.0, 0.0, 4.0, 0.5, 2.0, 0.7};
constexpr std::array kFvalphas = {0.0, 0.42, -0.5, 0.99, 1.0, kNaN, 1e10, -3.0};

// Log-f0: mostly 58 to 552 Hz; a few bytes give the unvoiced marker and
// values at and beyond the f0 rules' limits (5, 2000, 1, 0.0067, 10, 1000
// and 1000.5 Hz).
double plausiblef0(std::uint8_t b) {
  constexpr std::array<double, 8> kSpecial = {-1e10, 1.6094379,   7.6009024,   0.0,
                                              -5.0,  2.302585093, 6.907755279, 6.9082550};
  return b < kSpecial.size() ? kSpecial[b] : std::log(42.0 + 2.0 * b);
}

// The output must be a complete WAV header and n samples, the first and
// the last of which no frame reaches with a nonzero weight.
void checkwav(const std::string& path, std::uint32_t n) {
  const std::string w = fz::readfile(path);
  const std::uint32_t header[] = {0x46464952u, 36 + 2 * n,  0x45564157u, 0x20746d66u,
                                  16,          0x00010001u, 16000,       32000,
                                  0x00100002u, 0x61746164u, 2 * n};  // "RIFF" ... "data"
  FUZZ_CHECK(w.size() == 44 + 2 * std::size_t{n} && std::memcmp(w.data(), header, 44) == 0);
  FUZZ_CHECK(w[44] == 0 && w[45] == 0 && w[w.size() - 2] == 0 && w[w.size() - 1] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, 12> h{};
  const std::size_t headersize = std::min<std::size_t>(size, h.size());
  std::copy_n(data, headersize, h.begin());
  const std::string_view body(reinterpret_cast<const char*>(data) + headersize, size - headersize);
  const std::uint32_t shift = 1 + (h[0] | unsigned{h[1]} << 8) % 400;
  const std::uint32_t order = h[2] % 65u;
  const std::uint32_t frames = std::clamp(1 + (h[3] | unsigned{h[4]} << 8) % 400, 1u, 8000 / shift);
  const unsigned streams = h[5], values = h[6];

  // Appends one stored value: plausible(next byte), or the next four bytes.
  std::size_t pos = 0;
  const auto next = [&] {
    return body.empty() ? std::uint8_t{0} : static_cast<std::uint8_t>(body[pos++ % body.size()]);
  };
  const auto put = [&](std::string& out, bool plausible, auto value) {
    const float v = plausible ? static_cast<float>(value(next())) : 0.0f;
    for (int i = 0; i < 4; ++i) {
      out += plausible ? reinterpret_cast<const char*>(&v)[i] : static_cast<char>(next());
    }
  };
  std::string f0, cc, fv;
  for (std::uint32_t k = 0; k < frames && (streams & kF0Empty) == 0; ++k) {
    put(f0, (values & kPlausibleF0) != 0, plausiblef0);
  }
  const std::uint32_t ncc = (values & kCcEmpty) != 0 ? 0 : frames * (order + 1);
  for (std::uint32_t i = 0; i + ((streams & kCcShort) != 0 ? 1 : 0) < ncc; ++i) {
    // Stored form: c0 raised by 5, the other coefficients doubled.
    put(cc, (values & kPlausibleCc) != 0, [&](std::uint8_t b) {
      const double c = (b - 128.0) / 64.0;
      return i % (order + 1) == 0 ? 5.0 + 4.0 * c : c;
    });
  }
  for (std::uint32_t k = (streams & kFvShort) != 0 ? 1 : 0; k < frames; ++k) {
    put(fv, (values & kPlausibleFv) != 0, [](std::uint8_t b) { return 40.0 * b; });
  }
  const std::size_t tail = 1 + next() % 3u;
  f0.append((streams & kF0Tail) != 0 ? tail : 0, '\x7f');
  cc.append((streams & kCcTail) != 0 ? tail : 0, '\x7f');

  // The pipeline takes the names as mutable strings, as on the command line.
  const std::string dir = fz::scratchfile("");
  std::string names[] = {dir + "f0", dir + "cc", dir + "fv",
                         dir + ((streams & kNoOutputDir) != 0 ? "missing/out.wav" : "out.wav")};
  fz::writefile(names[0], f0);
  fz::writefile(names[1], cc);
  fz::writefile(names[2], fv);
  std::filesystem::remove(names[3]);
  const vallisynth::DecoderOptions opts = {
      .filef0 = names[0].data(),
      .filecc = names[1].data(),
      .filefv = (streams & kFv) != 0 ? names[2].data() : nullptr,
      .fileout = names[3].data(),
      .frameshift = shift,
      .alpha = kAlphas[h[7] % kAlphas.size()],
      .gamma = kGammas[h[8] % kGammas.size()],
      .fvalpha = kFvalphas[h[11] % kFvalphas.size()],
      .fpitch = kFpitches[h[9] % kFpitches.size()],
      .fvpitch = kFvpitches[h[10] % kFvpitches.size()],
      .wavnorm = static_cast<std::int8_t>((streams & kNormalise) != 0 ? 1 : 0)};
  vallisynth::NoiseSource noise;
  vallisynth::decode_utterance(opts, noise, stdout, vallisynth::OutputTurn{});

  const std::size_t k = f0.size() / 4;
  const std::size_t nccread = cc.size() / 4;
  // All-pass constants must be below 1 in magnitude and the postfilter
  // finite; the command line refuses others before any utterance.
  const bool usable =
      std::fabs(opts.alpha) < 1.0 && std::isfinite(opts.gamma) && std::fabs(opts.fvalpha) < 1.0;
  if (usable && k > 0 && nccread > 0 && nccread % k == 0 && (streams & kNoOutputDir) == 0) {
    checkwav(names[3], static_cast<std::uint32_t>((k + 1) * shift + 1));
  } else {
    FUZZ_CHECK(!std::filesystem::exists(names[3]));
  }
  return 0;
}
