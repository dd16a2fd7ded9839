// The decoding loop end to end, through the built program as a user runs
// it, on good, malformed, extreme and hostile inputs. Every run must end
// quickly, without a crash, with the expected messages and status, and must
// leave either no output file or a complete WAV file whose header sizes
// match its length.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "support/testsupport.h"

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFrames = 20;
constexpr long kSamples = (kFrames + 1) * 80 + 1;  // default frame shift

// The stream of v with frames [from, to) of width values each set to x.
std::string stream(std::vector<float> v, std::size_t width = 1, std::size_t from = 0,
                   std::size_t to = 0, float x = 0.0f) {
  std::fill_n(v.data() + from * width, (to - from) * width, x);
  return floatbytes(v);
}

// 120 Hz with two unvoiced frames; a flat, quiet envelope of order 24 (the
// stored c0 is raised by 5); fv 3 kHz.
const std::vector<float> kF0 = [] {
  std::vector<float> v(kFrames, std::log(120.0f));
  v[10] = v[11] = -1e10f;
  return v;
}();
const std::vector<float> kCc(kFrames * 25, 0.1f);
const std::vector<float> kFv(kFrames, 3000.0f);

struct Case {
  std::string name = "";
  std::string f0 = stream(kF0);
  std::string cc = stream(kCc);
  std::string fv = "";  // named on the command line unless empty
  std::vector<std::string> options = {};
  std::string expect = "";  // standard output; with a status, any one "Error: " line
  int status = 0;
  long samples = kSamples;      // of the output when the run succeeds
  std::string out = "out.wav";  // others cannot be created; "full" and "readonly" are made first
  bool asref = false;           // the same bytes as a run of f0 and cc alone
};

// A complete WAV file of n samples (header sizes agree with the length)
// ending past the last frame's window, in silence.
::testing::AssertionResult iscompletewav(const std::string& path, long n) {
  const std::string w = readbytes(path);
  const std::uint32_t sizes[] = {static_cast<std::uint32_t>(36 + 2 * n),
                                 static_cast<std::uint32_t>(2 * n)};
  return static_cast<long>(w.size()) == 44 + 2 * n && w.starts_with("RIFF") &&
                 std::memcmp(&w[4], &sizes[0], 4) == 0 && w.compare(8, 8, "WAVEfmt ") == 0 &&
                 w.compare(36, 4, "data") == 0 && std::memcmp(&w[40], &sizes[1], 4) == 0 &&
                 w.ends_with(std::string(2, '\0'))
             ? ::testing::AssertionSuccess()
             : ::testing::AssertionFailure() << path << ": " << w.size() << " bytes for " << n;
}

// Test names in listings rather than a dump of the case's bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class Run : public ::testing::TestWithParam<Case> {};

TEST_P(Run, EndsCleanly) {
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
  const std::string expect =
      c.out == "out.wav" ? c.expect : "Error: could not create " + c.out + ".\n";
  // A run that reports an error fails: status 1 (255 for the command line).
  const int status = c.status != 0 ? c.status : expect.find("Error: ") != expect.npos ? 1 : 0;
  EXPECT_EQ(r.exitcode, status) << r.out;  // a crash shows as 1000 + signal
  EXPECT_TRUE(c.status != 0 ? r.out.starts_with("Error: ") && r.out.find('\n') + 1 == r.out.size()
                            : r.out == expect)
      << r.out;
  if (c.status != 0 || expect.starts_with("Error: ")) {
    // An output that was there is as it was, and none is left otherwise.
    EXPECT_TRUE(c.out == "full"       ? fs::is_character_file(out)
                : c.out == "readonly" ? readbytes(out) == "old"
                                      : c.out == "." || !fs::exists(out));
  } else {
    EXPECT_TRUE(iscompletewav(out, c.samples));
  }
  if (c.asref) {
    writebytes(dir.file("f0"), stream(kF0));
    writebytes(dir.file("cc"), stream(kCc));
    runvallisynth({"f0", "cc", "ref.wav"}, dir.path.string());
    EXPECT_EQ(readbytes(out), readbytes(dir.file("ref.wav")));
  }
}

std::vector<Case> cases() {
  const std::string cc = stream(kCc), fv = stream(kFv);
  const std::string incompatible = "Error: f0 and cc have incompatible dimensions.\n";
  const std::string fvwarning = "Warning: f0 and fv have incompatible dimensions.\n";
  std::vector<Case> all = {
      // Streams too short to hold a value, misaligned, or of other lengths;
      // a dropped fv track leaves nothing for FVALPHA to unwarp.
      {.name = "F0Empty", .f0 = "", .expect = "Error: could not open f0.\n"},
      {.name = "Cc3Bytes", .cc = "BBB", .expect = "Error: could not open cc.\n"},
      {.name = "Fv1Byte",
       .fv = "B",
       .options = {"--FVALPHA=0.42"},
       .expect = "Warning: could not open fv.\n",
       .asref = true},
      {.name = "FvTooShort", .fv = fv.substr(4), .expect = fvwarning, .asref = true},
      {.name = "Misaligned", .f0 = stream(kF0) + "\1\2", .cc = cc + "\1", .asref = true},
      {.name = "CcOneValueTooMany", .cc = cc + cc.substr(0, 4), .expect = incompatible},
      {.name = "CcFewerThanFrames", .cc = cc.substr(0, 40), .expect = incompatible},
      // A high cepstral order; fv values outside 0 .. fs / 2.
      {.name = "Order200", .cc = stream(std::vector<float>(kFrames * 201, 0.1f))},
      {.name = "FvOutOfRange", .fv = stream(std::vector<float>(kFrames, 2e4f), 1, 0, 10, -100.0f)},
      // Frame shifts: LFRAME x FDUR, truncated and reduced to its low 32
      // bits, must come to 1 .. 1073741814 samples; 2^32 + 4 leaves 4.
      {.name = "Lframe75Fdur05", .options = {"--LFRAME=75", "--FDUR=0.5"}, .samples = 21 * 37 + 1},
      {.name = "Lframe1Fdur4", .options = {"--LFRAME=1", "--FDUR=4"}, .samples = 21 * 4 + 1},
      {.name = "LframeWraps", .options = {"--LFRAME=1073741825", "--FDUR=4"}, .samples = 85},
      {.name = "Lframe0", .options = {"--LFRAME=0"}, .status = 255},
      {.name = "LframeMinus1", .options = {"--LFRAME=-1"}, .status = 255},
      {.name = "Lframe1Fdur025", .options = {"--LFRAME=1", "--FDUR=0.25"}, .status = 255},
      // Only flag 1 normalises.
      {.name = "NotNormalised", .options = {"--WAVNORM=2"}, .asref = true},
      // Index lists at the limits of a signed 32-bit index.
      {.name = "IndexTooLarge", .options = {"--INDLIST=2147483648"}, .status = 255},
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
  // Frames warned about as not finite: a log-f0 that is not finite or
  // whose exponential overflows, a cepstral row or fv value that is not
  // finite (after unwarping, which takes -inf to a finite frequency).
  const int nonfinite[] = {8, 20, 6, 0, 2, 0, 0, 0, 0, 20, 0};
  const std::vector<std::string> scaling = {"--WAVNORM=1", "--GAMMA=0.5", "--FVALPHA=0.42",
                                            "--FPITCH=4", "--FVPITCH=2"};
  for (std::size_t i = 0; i < values.size(); ++i) {
    all.push_back({.name = names[i],
                   .f0 = stream(kF0, 1, i % 2 ? 0 : 3, i % 2 ? kFrames : 5, values[i]),
                   .cc = stream(kCc, 25, 7, 11, values[i]),
                   .fv = stream(kFv, 1, 15, 17, values[i]),
                   .options = i % 2 ? std::vector<std::string>{} : scaling,
                   .expect = nonfinite[i] == 0 ? ""
                                               : "Warning: f0 has " + std::to_string(nonfinite[i]) +
                                                     " frames with values that are not finite.\n"});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Pipeline, Run, ::testing::ValuesIn(cases()),
                         [](const auto& param) { return param.param.name; });

// An index list visits its intervals in order. Utterances that fail, on
// input or on output, are skipped and leave the outputs before them whole;
// the largest index fills a field of ten; an index too wide for a field
// skips that utterance.
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
            "Error: could not create o0000000003.\no0000000004\no2147483647\n");
  for (const std::string o : {"o0000000001", "o0000000004", "o2147483647"}) {
    EXPECT_TRUE(iscompletewav(dir.file(o), kSamples)) << o;
  }
  EXPECT_EQ(runvallisynth({"f??", "c??", "o??", "--INDLIST=99-101"}, dir.path.string()).out,
            "o99\nError: indices from 100 on do not fit the file name f??.\n");
}

}  // namespace
}  // namespace vallisynth::test
