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
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

#include "driver/pipeline.h"
#include "fuzzsupport.h"
#include "synthesis/noisesource.h"

namespace {

namespace fz = vallisynth::fuzz;

constexpr std::size_t kHeader = 12;
constexpr std::uint32_t kMaxShift = 400;
constexpr std::uint32_t kMaxFrames = 400;
constexpr std::uint32_t kMaxOrder = 64;
constexpr std::uint32_t kMaxSamples = 8000;

// Stream flags (header byte 5).
constexpr unsigned kFv = 1;             // an fv file is named
constexpr unsigned kNormalise = 2;      // WAVNORM=1
constexpr unsigned kF0Tail = 4;         // 1 to 3 stray bytes after the f0 values
constexpr unsigned kCcTail = 8;         // ... after the cepstral values
constexpr unsigned kCcShort = 16;       // one cepstral value missing
constexpr unsigned kFvShort = 32;       // one fv value missing
constexpr unsigned kF0Empty = 64;       // empty f0 file
constexpr unsigned kNoOutputDir = 128;  // output into a missing folder
// Value flags (header byte 6): plausible values from single bytes instead
// of raw 4-byte floats, so that the voiced paths are reached often.
constexpr unsigned kPlausibleF0 = 1;
constexpr unsigned kPlausibleCc = 2;
constexpr unsigned kPlausibleFv = 4;
constexpr unsigned kCcEmpty = 8;
constexpr unsigned kFvMissing = 16;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// ALPHA, GAMMA and FVALPHA are not limited on the command line.
constexpr std::array kAlphas = {0.42, 0.0, -0.42, 0.77, 0.99, -0.99, 1.0, -1.0, 3.0, kNaN, 1e300};
constexpr std::array kGammas = {0.0, 0.3, 1.0, -1.0, 10.0, kNaN, kInf, -0.5};
constexpr std::array kFpitches = {1.0, 0.25, 4.0, 0.5, 2.0, 1.3};
constexpr std::array kFvpitches = {1.0, 0.0, 4.0, 0.5, 2.0, 0.7};
constexpr std::array kFvalphas = {0.0, 0.42, -0.5, 0.99, 1.0, kNaN, 1e10, -3.0};

template <typename T, std::size_t N>
T pick(const std::array<T, N>& table, std::uint8_t b) {
  return table[b % N];
}

// Draws stream contents from the input's body, wrapping around.
class Source {
 public:
  explicit Source(std::string_view body) : body_(body) {
  }

  std::uint8_t byte() {
    if (body_.empty()) {
      return 0;
    }
    const auto b = static_cast<std::uint8_t>(body_[pos_ % body_.size()]);
    ++pos_;
    return b;
  }
  // Appends one stored value made of the next four bytes.
  void raw(std::string& out) {
    for (int i = 0; i < 4; ++i) {
      out.push_back(static_cast<char>(byte()));
    }
  }

 private:
  std::string_view body_;
  std::size_t pos_ = 0;
};

void putfloat(std::string& out, double v) {
  const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(v));
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFFu));
  }
}

// Log-f0: mostly 58 to 552 Hz; a few bytes give the unvoiced marker and
// values at and beyond the f0 rules' limits (5, 2000, 1, 0.0067, 10, 1000
// and 1000.5 Hz).
double plausiblef0(std::uint8_t b) {
  constexpr std::array<double, 8> kSpecial = {-1e10, 1.6094379,   7.6009024,   0.0,
                                              -5.0,  2.302585093, 6.907755279, 6.9082550};
  return b < kSpecial.size() ? kSpecial[b] : std::log(42.0 + 2.0 * b);
}

std::uint32_t readle(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + i])) << (8 * i);
  }
  return v;
}

// The output must be a complete WAV header and n samples, the first and
// the last of which no frame reaches with a nonzero weight.
void checkwav(const std::string& path, std::uint32_t n) {
  const std::string w = fz::readfile(path);
  FUZZ_CHECK(w.size() == 44 + 2 * std::size_t{n});
  FUZZ_CHECK(w.compare(0, 4, "RIFF") == 0 && w.compare(8, 8, "WAVEfmt ") == 0 &&
             w.compare(36, 4, "data") == 0);
  FUZZ_CHECK(readle(w, 4) == 36 + 2 * n && readle(w, 40) == 2 * n);
  FUZZ_CHECK(readle(w, 16) == 16 && readle(w, 20) == 0x00010001u);
  FUZZ_CHECK(readle(w, 24) == 16000 && readle(w, 28) == 32000 && readle(w, 32) == 0x00100002u);
  FUZZ_CHECK(w[44] == 0 && w[45] == 0 && w[w.size() - 2] == 0 && w[w.size() - 1] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, kHeader> h{};
  for (std::size_t i = 0; i < kHeader && i < size; ++i) {
    h[i] = data[i];
  }
  const std::string_view body =
      size > kHeader
          ? std::string_view(reinterpret_cast<const char*>(data) + kHeader, size - kHeader)
          : std::string_view();
  const auto u16 = [&h](std::size_t i) {
    return std::uint32_t{h[i]} | std::uint32_t{h[i + 1]} << 8;
  };
  const std::uint32_t shift = 1 + u16(0) % kMaxShift;
  const std::uint32_t order = h[2] % (kMaxOrder + 1);
  std::uint32_t frames = 1 + u16(3) % kMaxFrames;
  frames = std::max(1u, std::min(frames, kMaxSamples / shift));
  const unsigned streams = h[5];
  const unsigned values = h[6];

  Source src(body);
  std::string f0;
  std::string cc;
  std::string fv;
  if ((streams & kF0Empty) == 0) {
    for (std::uint32_t k = 0; k < frames; ++k) {
      if ((values & kPlausibleF0) != 0) {
        putfloat(f0, plausiblef0(src.byte()));
      } else {
        src.raw(f0);
      }
    }
  }
  std::uint32_t nccvalues = (values & kCcEmpty) != 0 ? 0 : frames * (order + 1);
  if ((streams & kCcShort) != 0 && nccvalues > 0) {
    --nccvalues;
  }
  for (std::uint32_t i = 0; i < nccvalues; ++i) {
    if ((values & kPlausibleCc) != 0) {
      // Stored form: c0 raised by 5, the other coefficients doubled.
      const double c = (src.byte() - 128.0) / 64.0;
      putfloat(cc, i % (order + 1) == 0 ? 5.0 + 4.0 * c : c);
    } else {
      src.raw(cc);
    }
  }
  const std::uint32_t nfv = frames - ((streams & kFvShort) != 0 ? 1 : 0);
  for (std::uint32_t k = 0; k < nfv; ++k) {
    if ((values & kPlausibleFv) != 0) {
      putfloat(fv, 40.0 * src.byte());
    } else {
      src.raw(fv);
    }
  }
  const std::size_t tail = 1 + src.byte() % 3;
  f0.append((streams & kF0Tail) != 0 ? tail : 0, '\x7f');
  cc.append((streams & kCcTail) != 0 ? tail : 0, '\x7f');

  static const std::string f0path = fz::scratchfile("f0");
  static const std::string ccpath = fz::scratchfile("cc");
  static const std::string fvpath = fz::scratchfile("fv");
  static const std::string outpath = fz::scratchfile("out.wav");
  static const std::string lostpath = fz::scratchfile("missing/out.wav");
  fz::writefile(f0path, f0);
  fz::writefile(ccpath, cc);
  std::filesystem::remove(fvpath);
  if ((values & kFvMissing) == 0) {
    fz::writefile(fvpath, fv);
  }
  std::filesystem::remove(outpath);

  // The pipeline takes the names as mutable strings, as on the command line.
  std::string namef0 = f0path;
  std::string namecc = ccpath;
  std::string namefv = fvpath;
  std::string nameout = (streams & kNoOutputDir) != 0 ? lostpath : outpath;
  vallisynth::DecoderOptions opts;
  opts.filef0 = namef0.data();
  opts.filecc = namecc.data();
  opts.filefv = (streams & kFv) != 0 ? namefv.data() : nullptr;
  opts.fileout = nameout.data();
  opts.frameshift = shift;
  opts.alpha = pick(kAlphas, h[7]);
  opts.gamma = pick(kGammas, h[8]);
  opts.fpitch = pick(kFpitches, h[9]);
  opts.fvpitch = pick(kFvpitches, h[10]);
  opts.fvalpha = pick(kFvalphas, h[11]);
  opts.wavnorm = (streams & kNormalise) != 0 ? 1 : 0;

  vallisynth::NoisePhaseSource rng;
  vallisynth::decodeutterance(opts, 16000.0, rng);

  const std::size_t k = f0.size() / 4;
  const std::size_t ncc = cc.size() / 4;
  const bool decodable = k > 0 && ncc > 0 && ncc % k == 0;
  if (decodable && (streams & kNoOutputDir) == 0) {
    checkwav(outpath, static_cast<std::uint32_t>((k + 1) * shift + 1));
  } else {
    FUZZ_CHECK(fz::filesize(nameout) == -1);
  }
  return 0;
}
