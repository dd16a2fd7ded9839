// The decoding loop end to end, through the built program as a user runs
// it, on good, malformed, extreme and hostile inputs and at every sampling
// rate. Every run must end quickly, without a crash, with the expected
// messages and status, and must leave either no output file or a complete
// WAV file whose header sizes match its length.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <tuple>

#include "support/testsupport.h"

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

constexpr long kSamples = (kFrames + 1) * 80 + 1;  // default frame shift

// The stream of v with frames [from, to) of width values each set to x.
std::string stream(std::vector<float> v, std::size_t width = 1, std::size_t from = 0,
                   std::size_t to = 0, float x = 0.0f) {
  std::fill_n(v.data() + from * width, (to - from) * width, x);
  return floatbytes(v);
}

const std::vector<float> kF0 = testlf0(), kCc = testcc(), kFv(kFrames, 3000.0f);

struct Case {
  std::string name = "";
  std::string f0 = stream(kF0);
  std::string cc = stream(kCc);
  std::string fv = "";  // named on the command line unless empty
  std::vector<std::string> options = {};
  std::string expect = "";      // standard output
  long samples = kSamples;      // of the output when the run succeeds
  std::string out = "out.wav";  // others cannot be created; "full" and "readonly" are made first
  bool asref = false;           // the same bytes as a run of f0 and cc alone with refoptions
  std::vector<std::string> refoptions = {};
  int fs = 16000;  // the header's rate
};

// The test track as f0 in Hz, 0 where unvoiced (as pyworld gives it).
std::vector<float> f0inhz() {
  std::vector<float> hz = kF0;
  for (float& v : hz) {
    v = v > -1e10f ? std::exp(v) : 0.0f;
  }
  return hz;
}

// Test names in listings rather than a dump of the case's bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class PipelineRun : public ::testing::TestWithParam<Case> {};

TEST_P(PipelineRun, EndsCleanly) {
  const Case& c = GetParam();
  TempDir dir;
  writebytes(dir.file("f0"), c.f0);
  writebytes(dir.file("cc"), c.cc);
  writebytes(dir.file("fv"), c.fv);
  std::vector<std::string> args = {"f0", "cc", "fv", c.out};
  args.erase(args.begin() + 2, args.begin() + (c.fv.empty() ? 3 : 2));
  args.insert(args.end(), c.options.begin(), c.options.end());
  const std::string out = dir.file(c.out);
  // A private node of the full device, so that a faulty clean-up can never
  // remove the system's own.
  if ((c.out == "full" && mknod(out.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) ||
      (c.out == "readonly" && geteuid() == 0)) {
    GTEST_SKIP() << "no device node here, or file permissions do not stop root";
  } else if (c.out == "readonly") {
    writebytes(out, "old");
    fs::permissions(out, fs::perms::owner_read);
  }
  const auto start = std::chrono::steady_clock::now();
  const RunResult r = runvallisynth(args, dir.path.string());
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);
  // An output that cannot be created is reported with the system's reason.
  const std::string reason = c.out == "full"       ? "No space left on device"
                             : c.out == "."        ? "Is a directory"
                             : c.out == "readonly" ? "Permission denied"
                                                   : "No such file or directory";
  const std::string expect =
      c.out == "out.wav" ? c.expect : "Error: could not create " + c.out + ": " + reason + ".\n";
  // A run that reports an error fails with status 1; a crash shows as
  // 1000 + signal.
  EXPECT_EQ(r.exitcode, expect.starts_with("Error: ") ? 1 : 0) << r.out;
  EXPECT_EQ(r.out, expect);
  if (expect.starts_with("Error: ")) {
    // An output that was there is as it was, and none is left otherwise.
    EXPECT_TRUE(c.out == "full"       ? fs::is_character_file(out)
                : c.out == "readonly" ? readbytes(out) == "old"
                                      : c.out == "." || !fs::exists(out));
  } else {
    EXPECT_TRUE(iswholewav(out, c.samples, c.fs));
  }
  if (c.asref) {
    writebytes(dir.file("f0"), stream(kF0));
    writebytes(dir.file("cc"), stream(kCc));
    std::vector<std::string> ref = {"f0", "cc", "ref.wav"};
    ref.insert(ref.end(), c.refoptions.begin(), c.refoptions.end());
    runvallisynth(ref, dir.path.string());
    EXPECT_EQ(readbytes(out), readbytes(dir.file("ref.wav")));
  }
}

std::vector<Case> cases() {
  const std::string cc = stream(kCc), fv = stream(kFv);
  const std::string incompatible = "Error: f0 and cc have incompatible dimensions.\n";
  const std::string fvwarning = "Warning: f0 and fv have incompatible dimensions.\n";
  const std::string nofv = "Warning: could not open fv.\n";
  std::vector<Case> all = {
      // Streams too short to hold a value, misaligned, or of other lengths;
      // a dropped fv track leaves nothing for FVALPHA to unwarp.
      {.name = "F0Empty", .f0 = "", .expect = "Error: could not open f0.\n"},
      {.name = "Cc3Bytes", .cc = "BBB", .expect = "Error: could not open cc.\n"},
      {.name = "Fv1Byte", .fv = "B", .options = {"--FVALPHA=0.42"}, .expect = nofv, .asref = true},
      {.name = "FvTooShort", .fv = fv.substr(4), .expect = fvwarning, .asref = true},
      {.name = "Misaligned", .f0 = stream(kF0) + "\1\2", .cc = cc + "\1", .asref = true},
      {.name = "CcOneValueTooMany", .cc = cc + cc.substr(0, 4), .expect = incompatible},
      {.name = "CcFewerThanFrames", .cc = cc.substr(0, 40), .expect = incompatible},
      // One frame not finite (the values' frames in all streams are below).
      {.name = "OneRowNaN",
       .cc = stream(kCc, 25, 7, 8, NAN),
       .expect = "Warning: cc has 1 frame with values that are not finite.\n"},
      // Warnings name the stream that holds the values; -inf, the log of an
      // f0 of 0, is an unvoiced marker; a finite envelope too large to
      // render is silenced (and the rest normalised); a track of f0 in Hz.
      {.name = "FvNaNNamesTheFvFile",
       .fv = stream(kFv, 1, 4, 5, NAN),
       .expect = "Warning: fv has 1 frame with values that are not finite.\n"},
      {.name = "MinusInfIsUnvoiced", .f0 = stream(kF0, 1, 3, 4, -INFINITY)},
      {.name = "OverflowingEnvelope",
       .cc = stream(kCc, 25, 5, 6, 800.0f),
       .options = {"--WAVNORM=1"},
       .expect = "Warning: cc has 1 frame whose envelope is too large to render (rendered "
                 "silent).\n"},
      {.name = "F0InHz",
       .f0 = floatbytes(f0inhz()),
       .expect = "Warning: f0 looks like f0 in Hz, not its natural log (most values above ln "
                 "1000, the others 0).\n"},
      // A high cepstral order; fv values outside 0 .. fs / 2.
      {.name = "Order200", .cc = stream(std::vector<float>(kFrames * 201, 0.1f))},
      {.name = "FvOutOfRange", .fv = stream(std::vector<float>(kFrames, 2e4f), 1, 0, 10, -100.0f)},
      // Frame shifts: LFRAME x FDUR, truncated and reduced to its low 32
      // bits, must come to 1 .. 1073741814 samples; 2^32 + 4 leaves 4.
      {.name = "Lframe75Fdur05", .options = {"--LFRAME=75", "--FDUR=0.5"}, .samples = 21 * 37 + 1},
      {.name = "Lframe1Fdur4", .options = {"--LFRAME=1", "--FDUR=4"}, .samples = 21 * 4 + 1},
      {.name = "LframeWraps", .options = {"--LFRAME=1073741825", "--FDUR=4"}, .samples = 85},
      // Only flag 1 normalises.
      {.name = "NotNormalised", .options = {"--WAVNORM=2"}, .asref = true},
      // Outputs that cannot be created.
      {.name = "OutputDirMissing", .out = "missing/out.wav"},
      {.name = "OutputIsFolder", .out = "."},
      {.name = "OutputFullDevice", .out = "full"},
      {.name = "OutputReadOnly", .out = "readonly"},
  };
  // Values that are not numbers, lie at the ends of the float range, or that
  // the f0 rules turn unvoiced; in some frames of each stream (whole rows of
  // the cepstral matrix) with options that scale them, or in all f0 frames.
  const std::vector<float> values = {
      std::nanf(""), INFINITY,       -INFINITY,         1e-45f, 1e38f, 0.0f,
      -5.0f,         std::log(5.0f), std::log(2000.0f), 1e30f,  -1e30f};
  const char* names[] = {"NaN",      "Inf",       "MinusInf",    "Denormal",  "Huge",        "Zero",
                         "Negative", "Below10Hz", "Above1000Hz", "VeryLarge", "VeryNegative"};
  // Frames warned about, by the stream that holds them: a log-f0 that is
  // NaN, +inf or whose exponential overflows (-inf is an unvoiced marker),
  // a cepstral row or fv value that is not finite (after unwarping, which
  // takes -inf to a finite frequency), and finite rows whose envelope
  // overflows.
  struct Warned {
    int f0, cc, fv, overflowing;
  };
  const Warned warned[] = {{2, 4, 2, 0}, {20, 4, 2, 0}, {0, 4, 0, 0}, {0, 0, 0, 0},
                           {2, 0, 0, 4}, {0, 0, 0, 0},  {0, 0, 0, 0}, {0, 0, 0, 0},
                           {0, 0, 0, 0}, {20, 0, 0, 4}, {0, 0, 0, 4}};
  const auto warnings = [](const Warned& w) {
    std::string text;
    for (const auto& [name, n] : {std::pair{"f0", w.f0}, {"cc", w.cc}, {"fv", w.fv}}) {
      if (n != 0) {
        text += std::string("Warning: ") + name + " has " + std::to_string(n) +
                " frames with values that are not finite.\n";
      }
    }
    if (w.overflowing != 0) {
      text += "Warning: cc has " + std::to_string(w.overflowing) +
              " frames whose envelope is too large to render (rendered silent).\n";
    }
    return text;
  };
  const std::vector<std::string> scaling = {"--WAVNORM=1", "--GAMMA=0.5", "--FVALPHA=0.42",
                                            "--FPITCH=4", "--FVPITCH=2"};
  for (std::size_t i = 0; i < values.size(); ++i) {
    all.push_back({.name = names[i],
                   .f0 = stream(kF0, 1, i % 2 ? 0 : 3, i % 2 ? kFrames : 5, values[i]),
                   .cc = stream(kCc, 25, 7, 11, values[i]),
                   .fv = stream(kFv, 1, 15, 17, values[i]),
                   .options = i % 2 ? std::vector<std::string>{} : scaling,
                   .expect = warnings(warned[i])});
  }
  // Each rate's header, and its defaults: the frame shift (the length) and
  // the all-pass constant that spelling them out gives.
  const std::tuple<int, long, const char*> rates[] = {{8000, 40, "0.31"},   {11025, 55, "0.37"},
                                                      {16000, 80, "0.42"},  {22050, 110, "0.45"},
                                                      {44100, 221, "0.53"}, {48000, 240, "0.55"}};
  for (const auto& [fs, shift, alpha] : rates) {
    const std::string rate = "--FS=" + std::to_string(fs);
    all.push_back(
        {.name = "Fs" + std::to_string(fs),
         .options = {rate},
         .samples = static_cast<long>(kFrames + 1) * shift + 1,
         .asref = true,
         .refoptions = {rate, "--LFRAME=" + std::to_string(shift), std::string("--ALPHA=") + alpha},
         .fs = fs});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Cases, PipelineRun, ::testing::ValuesIn(cases()),
                         [](const auto& param) { return param.param.name; });

// An index list visits its intervals in order. Utterances that fail, on
// input or on output, are skipped and leave the outputs before them whole;
// the largest index fills a field of ten; an index too wide for a field
// skips that utterance. Indices that outgrow a name end the batch in one
// line naming the name as typed, however long the list.
TEST(PipelineIndexList, VisitsInOrderAndContinuesPastFailures) {
  TempDir dir;
  for (const std::string i :
       {"0000000001", "0000000002", "0000000003", "0000000004", "2147483647", "99"}) {
    writebytes(dir.file("f" + i), i == "0000000002" ? "" : stream(kF0));
    writebytes(dir.file("c" + i), stream(kCc));
  }
  fs::create_directory(dir.file("o0000000003"));
  EXPECT_EQ(runvallisynth({"f??????????", "c??????????", "o??????????", "--INDLIST=1-4,2147483647"},
                          dir.path.string())
                .out,
            "o0000000001\no0000000002\nError: could not open f0000000002.\no0000000003\n"
            "Error: could not create o0000000003: Is a directory.\no0000000004\no2147483647\n");
  for (const std::string o : {"o0000000001", "o0000000004", "o2147483647"}) {
    EXPECT_TRUE(iswholewav(dir.file(o), kSamples)) << o;
  }
  const auto start = std::chrono::steady_clock::now();
  const RunResult r =
      runvallisynth({"f??", "c??", "o??", "--INDLIST=99-2147483647"}, dir.path.string());
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
  EXPECT_EQ(r.exitcode, 1);
  EXPECT_EQ(r.out, "o99\nError: indices from 100 on do not fit the file name f??.\n");
  EXPECT_TRUE(iswholewav(dir.file("o99"), kSamples));
}

// Cepstra in SPTK's form (c0 on the 16-bit scale) decode as the same
// envelope in the stored form, within one step: a sloping envelope of 30
// frames at 150 Hz with an unvoiced stretch.
TEST(PipelineRates, SptkFormDecodesAsTheStoredFormWithinOneStep) {
  TempDir dir;
  constexpr std::size_t kCount = 30;
  std::vector<float> f0(kCount, std::log(150.0f)), sptk(kCount * (kOrder + 1), 0.0f);
  f0[12] = f0[13] = -1e10f;
  for (std::size_t k = 0; k < kCount; ++k) {
    sptk[k * (kOrder + 1)] = 6.5f + 0.01f * static_cast<float>(k);
    sptk[k * (kOrder + 1) + 1] = 1.2f;
    sptk[k * (kOrder + 1) + 2] = -0.3f;
  }
  writebytes(dir.file("f0"), floatbytes(f0));
  writebytes(dir.file("sptk"), floatbytes(sptk));
  for (const int fs : {8000, 16000, 48000}) {
    std::vector<float> stored = sptk;
    for (std::size_t k = 0; k < kCount; ++k) {
      float& c0 = stored[k * (kOrder + 1)];
      c0 = static_cast<float>(c0 + 5.0 - std::log(32768.0) - std::log(std::sqrt(fs)));
    }
    writebytes(dir.file("stored"), floatbytes(stored));
    const std::string rate = "--FS=" + std::to_string(fs);
    ASSERT_EQ(
        runvallisynth({"f0", "sptk", "a.wav", rate, "--CCFORM=1"}, dir.path.string()).exitcode, 0);
    ASSERT_EQ(runvallisynth({"f0", "stored", "b.wav", rate}, dir.path.string()).exitcode, 0);
    const auto a = readwavsamples(dir.file("a.wav")), b = readwavsamples(dir.file("b.wav"));
    ASSERT_EQ(a.size(), b.size());
    int worst = 0;
    double energy = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      worst = std::max(worst, std::abs(a[i] - b[i]));
      energy += static_cast<double>(a[i]) * a[i];
    }
    EXPECT_LE(worst, 1) << fs;
    EXPECT_GT(energy, 0.0) << fs;  // not a silent comparison
  }
}

}  // namespace
}  // namespace vallisynth::test
