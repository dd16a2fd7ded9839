// Sampling rates other than 16 kHz and cepstra in SPTK's form, through the
// built program: the header's rate, the length that the rate's default frame
// shift gives, the rate's all-pass constant, and the c0 convention.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "support/testsupport.h"

namespace vallisynth::test {
namespace {

constexpr std::size_t kFrames = 30;
constexpr std::size_t kOrder = 24;

std::uint32_t get32(const std::string& w, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, w.data() + at, 4);
  return v;
}

// 150 Hz with an unvoiced stretch, and a sloping envelope in SPTK's form
// (c0 on the 16-bit scale); stored() gives the same envelope in stored form.
struct Streams {
  std::vector<float> f0 = std::vector<float>(kFrames, std::log(150.0f));
  std::vector<float> sptk = std::vector<float>(kFrames * (kOrder + 1), 0.0f);
  Streams() {
    f0[12] = f0[13] = -1e10f;
    for (std::size_t k = 0; k < kFrames; ++k) {
      sptk[k * (kOrder + 1)] = 6.5f + 0.01f * static_cast<float>(k);
      sptk[k * (kOrder + 1) + 1] = 1.2f;
      sptk[k * (kOrder + 1) + 2] = -0.3f;
    }
  }
  std::vector<float> stored(double fs) const {
    std::vector<float> cc = sptk;
    for (std::size_t k = 0; k < kFrames; ++k) {
      float& c0 = cc[k * (kOrder + 1)];
      c0 = static_cast<float>(c0 + 5.0 - std::log(32768.0) - std::log(std::sqrt(fs)));
    }
    return cc;
  }
};

TEST(Rates, HeaderLengthAndDefaultsFollowTheRate) {
  const struct {
    int fs;
    std::uint32_t shift;
    const char* alpha;
  } table[] = {{8000, 40, "0.31"},   {11025, 55, "0.37"},  {16000, 80, "0.42"},
               {22050, 110, "0.45"}, {44100, 221, "0.53"}, {48000, 240, "0.55"}};
  TempDir dir;
  const Streams s;
  writebytes(dir.file("f0"), floatbytes(s.f0));
  for (const auto& t : table) {
    SCOPED_TRACE(t.fs);
    writebytes(dir.file("cc"), floatbytes(s.stored(t.fs)));
    const std::string fs = "--FS=" + std::to_string(t.fs);
    ASSERT_EQ(runvallisynth({"f0", "cc", "a.wav", fs}, dir.path.string()).exitcode, 0);
    const std::string w = readbytes(dir.file("a.wav"));
    ASSERT_GE(w.size(), 44u);
    EXPECT_EQ(get32(w, 24), static_cast<std::uint32_t>(t.fs));
    EXPECT_EQ(get32(w, 28), 2u * static_cast<std::uint32_t>(t.fs));
    EXPECT_EQ(get32(w, 40), 2u * ((kFrames + 1) * t.shift + 1));
    // The defaults are exactly what spelling them out gives.
    const std::string lframe = "--LFRAME=" + std::to_string(t.shift);
    const std::string alpha = std::string("--ALPHA=") + t.alpha;
    ASSERT_EQ(runvallisynth({"f0", "cc", "b.wav", fs, lframe, alpha}, dir.path.string()).exitcode,
              0);
    EXPECT_TRUE(w == readbytes(dir.file("b.wav")));
  }
}

TEST(Rates, SptkFormDecodesAsTheStoredFormWithinOneStep) {
  TempDir dir;
  const Streams s;
  writebytes(dir.file("f0"), floatbytes(s.f0));
  writebytes(dir.file("sptk"), floatbytes(s.sptk));
  for (const int fs : {8000, 16000, 48000}) {
    SCOPED_TRACE(fs);
    writebytes(dir.file("stored"), floatbytes(s.stored(fs)));
    const std::string rate = "--FS=" + std::to_string(fs);
    ASSERT_EQ(
        runvallisynth({"f0", "sptk", "a.wav", rate, "--CCFORM=1"}, dir.path.string()).exitcode, 0);
    ASSERT_EQ(
        runvallisynth({"f0", "stored", "b.wav", rate, "--CCFORM=0"}, dir.path.string()).exitcode,
        0);
    const auto a = readwavsamples(dir.file("a.wav"));
    const auto b = readwavsamples(dir.file("b.wav"));
    ASSERT_EQ(a.size(), b.size());
    int worst = 0;
    double energy = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      worst = std::max(worst, std::abs(a[i] - b[i]));
      energy += static_cast<double>(a[i]) * a[i];
    }
    EXPECT_LE(worst, 1);
    EXPECT_GT(energy, 0.0);  // not a silent comparison
  }
}

TEST(Rates, UnusableValuesAreCommandLineErrors) {
  TempDir dir;
  const Streams s;
  writebytes(dir.file("f0"), floatbytes(s.f0));
  writebytes(dir.file("cc"), floatbytes(s.stored(16000)));
  const struct {
    const char* option;
    const char* message;
  } table[] = {
      {"--FS=7999", "Error: sampling rate of 7999 Hz (FS) is outside 8000 to 48000.\n"},
      {"--FS=48001", "Error: sampling rate of 48001 Hz (FS) is outside 8000 to 48000.\n"},
      {"--CCFORM=2", "Error: cepstral form 2 (CCFORM) is neither 0 nor 1.\n"},
      {"--CCFORM=-1", "Error: cepstral form -1 (CCFORM) is neither 0 nor 1.\n"},
  };
  for (const auto& t : table) {
    const RunResult r = runvallisynth({"f0", "cc", "a.wav", t.option}, dir.path.string());
    EXPECT_EQ(r.exitcode, 255) << t.option;
    EXPECT_EQ(r.out, t.message);
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.wav")));
  }
}

}  // namespace
}  // namespace vallisynth::test
