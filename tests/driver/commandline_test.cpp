#include "driver/commandline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth {
namespace {

using test::runvallisynth;

// A mutable argument vector: the program name followed by args.
class Argv {
 public:
  explicit Argv(const std::vector<std::string>& args) : text_{"vallisynth"} {
    text_.insert(text_.end(), args.begin(), args.end());
    for (auto& t : text_) {
      ptr_.push_back(t.data());
    }
    ptr_.push_back(nullptr);
  }
  int argc() const {
    return static_cast<int>(text_.size());
  }
  char** argv() {
    return ptr_.data();
  }
  char* operator[](std::size_t i) {
    return ptr_[i];
  }

 private:
  std::vector<std::string> text_;
  std::vector<char*> ptr_;
};

CommandLineResult read(Argv& a, DecoderOptions& opts) {
  return readcommandline(a.argc(), a.argv(), opts);
}

TEST(CommandLine, DefaultsLimitsAndDerivedValues) {
  struct Case {
    std::vector<std::string> params;
    std::uint32_t frameshift;
    double alpha, fpitch, fvpitch;
  };
  const double a = 0.42;
  const Case cases[] = {{{}, 80, a, 1, 1},
                        {{"--FDUR=10"}, 320, a, 1, 1},
                        {{"--FDUR=0.1"}, 20, a, 1, 1},
                        {{"--FDUR=nan"}, 320, a, 1, 1},
                        {{"--FDUR=1.5"}, 120, a, 1, 1},
                        {{"--LFRAME=75", "--FDUR=0.5"}, 37, a, 1, 1},
                        {{"--LFRAME=1073741814"}, kMaxFrameShift, a, 1, 1},
                        {{"--FPITCH=nan"}, 80, a, 4, 1},
                        {{"--FPITCH=0.1"}, 80, a, 0.25, 1},
                        {{"--FVPITCH=-1"}, 80, a, 1, 0},
                        {{"--FVPITCH=7"}, 80, a, 1, 4},
                        {{"--FVPITCH=0.5"}, 80, a, 1, 0.5},
                        {{"--FWARP=1"}, 80, (a - 0.99) / (1 - 0.99 * a), 1, 1},
                        {{"--FWARP=-5"}, 80, (a + 0.99) / (1 + 0.99 * a), 1, 1},
                        {{"--FWARP=0.2"}, 80, 0.24017467248908292, 1, 1},
                        {{"--ALPHA=0.3", "--FWARP=0"}, 80, 0.3, 1, 1}};
  for (const Case& c : cases) {
    std::vector<std::string> args{"f0", "cc", "out"};
    args.insert(args.end(), c.params.begin(), c.params.end());
    Argv argv(args);
    DecoderOptions o;
    const std::string what = ::testing::PrintToString(c.params);
    ASSERT_EQ(read(argv, o), CommandLineResult::kDecode) << what;
    EXPECT_EQ(o.frameshift, c.frameshift) << what;
    EXPECT_EQ(o.alpha, c.alpha) << what;
    EXPECT_EQ(o.fpitch, c.fpitch) << what;
    EXPECT_EQ(o.fvpitch, c.fvpitch) << what;
  }
}

TEST(CommandLine, FileNamesAndPassThroughOptions) {
  Argv three({"f0", "cc", "out", "--GAMMA=0.5", "--FVALPHA=0.1", "--INDLIST=1-3,7"});
  DecoderOptions o;
  ASSERT_EQ(read(three, o), CommandLineResult::kDecode);
  EXPECT_EQ(o.filef0, three[1]);  // the argument strings themselves
  EXPECT_EQ(o.filecc, three[2]);
  EXPECT_EQ(o.filefv, nullptr);
  EXPECT_EQ(o.fileout, three[3]);
  EXPECT_EQ(o.gamma, 0.5);
  EXPECT_EQ(o.fvalpha, 0.1);
  EXPECT_EQ(o.indlist, three[6] + 10);
  EXPECT_STREQ(o.indlist, "1-3,7");

  // A single hyphen does not start the parameter region.
  Argv four({"f0", "cc", "fv", "-LFRAME=80"});
  DecoderOptions p;
  ASSERT_EQ(read(four, p), CommandLineResult::kDecode);
  EXPECT_EQ(p.filefv, four[3]);
  EXPECT_STREQ(p.fileout, "-LFRAME=80");
  EXPECT_EQ(p.frameshift, 80u);
  EXPECT_EQ(p.indlist, nullptr);
}

TEST(CommandLine, OutcomesInOrderOfPrecedence) {
  using R = CommandLineResult;
  struct Case {
    std::vector<std::string> args;
    R result;
  };
  const Case cases[] = {{{}, R::kHelp},
                        {{"f0"}, R::kUsageError},
                        {{"f0", "cc"}, R::kUsageError},
                        {{"--LFRAME=80"}, R::kUsageError},
                        {{"f0", "cc", "fv", "out", "extra"}, R::kUsageError},
                        {{"f0", "cc", "--FDUR=2", "out"}, R::kUsageError},
                        {{"--FDUR=2", "f0", "cc", "out"}, R::kUsageError},
                        {{"f0", "cc", "out", "--lframe=80"}, R::kUsageError},
                        {{"f0", "cc", "out", "--LFRAME=abc"}, R::kUsageError},
                        {{"f0", "cc", "out", "--FPITCH=2", "--FPITCH=3"}, R::kUsageError},
                        {{"f0", "cc", "out", "--FDUR=2", "*ignored"}, R::kDecode},
                        {{"f0", "cc", "out", "--INDLIST=1-3"}, R::kDecode},
                        {{"f0", "cc", "out", "--INDLIST=3,1"}, R::kBadIndexList},
                        {{"f0", "cc", "out", "--INDLIST=2147483648"}, R::kBadIndexList},
                        {{"f0", "cc", "out", "--BOGUS=1", "--INDLIST=1-5()"}, R::kBadIndexList},
                        {{"f0", "cc", "--INDLIST=a"}, R::kBadIndexList},
                        {{"f0", "cc", "out", "--LFRAME=0"}, R::kBadFrameShift},
                        {{"f0", "cc", "out", "--LFRAME=-80"}, R::kBadFrameShift},
                        {{"f0", "cc", "out", "--LFRAME=1", "--FDUR=0.25"}, R::kBadFrameShift},
                        {{"f0", "cc", "out", "--LFRAME=1073741815"}, R::kBadFrameShift}};
  for (const Case& c : cases) {
    Argv argv(c.args);
    DecoderOptions o;
    EXPECT_EQ(read(argv, o), c.result) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLine, WavNormKeepsTheLowByte) {
  const std::pair<const char*, std::int8_t> cases[] = {
      {"0", 0}, {"1", 1}, {"2", 2}, {"257", 1}, {"256", 0}, {"255", -1}, {"-1", -1}, {"-255", 1}};
  for (const auto& [text, flag] : cases) {
    Argv argv({"f0", "cc", "out", std::string("--WAVNORM=") + text});
    DecoderOptions o;
    ASSERT_EQ(read(argv, o), CommandLineResult::kDecode) << text;
    EXPECT_EQ(o.wavnorm, flag) << text;
  }
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    out.push_back(l);
  }
  return out;
}

TEST(CommandLineProgram, HelpScreen) {
  const auto r = runvallisynth({});
  EXPECT_EQ(r.exitcode, 0);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), '\n');
  const std::vector<std::string> l = lines(r.out);
  std::size_t banner = 0;
  while (banner < l.size() && l[banner] != "  === VALLISYNTH v0.9 ===") {
    ++banner;
  }
  ASSERT_GE(banner, 3u) << r.out;  // empty line, notice block, empty line
  EXPECT_EQ(l[0], "");
  EXPECT_NE(l[1], "");
  EXPECT_EQ(l[banner - 1], "");
  const std::vector<std::string> tail = {
      "",
      "  Usage:",
      "   vallisynth filef0 filecc [filefv] fileout [params]",
      "",
      "  Arguments:",
      "   filef0: input file for logf0",
      "   filecc: input file for cepstral coeffs.",
      "   filefv: optional input file for max. voiced freq.",
      "   fileout: output wav file (mono 16kHz 16bits)",
      "",
      "  Optional parameters and default values:",
      "   --LFRAME=80     Frame shift (samples)",
      "   --FPITCH=1.0    Pitch modification factor [0.25...4]",
      "   --FVPITCH=1.0   Log-pitch variance modification factor [0...4]",
      "   --FDUR=1.0      Duration modification factor [0.25...4]",
      "   --FWARP=0.0     All-pass factor for vocal tract modification [-1...1]",
      "   --WAVNORM=0     Adapt wav amplitude to available range",
      "",
      ""};
  // Banner, empty line, three credit lines, then the fixed tail.
  ASSERT_EQ(l.size(), banner + 5 + tail.size()) << r.out;
  EXPECT_EQ(l[banner + 1], "");
  for (std::size_t i = 2; i <= 4; ++i) {
    EXPECT_NE(l[banner + i], "") << "credit line " << i - 1;
  }
  EXPECT_EQ(std::vector<std::string>(l.begin() + static_cast<std::ptrdiff_t>(banner + 5), l.end()),
            tail);
}

TEST(CommandLineProgram, CommandLineErrors) {
  const std::string usage = "Incorrect input arguments.\nHelp: vallisynth (without arguments)\n\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"a"}, {"a", "b"}, {"--LFRAME=80"}, {"f0", "cc", "out", "--FPITCH=2", "--FPITCH=3"}}) {
    const auto r = runvallisynth(args);
    EXPECT_EQ(r.exitcode, 255) << ::testing::PrintToString(args);
    EXPECT_EQ(r.out, usage) << ::testing::PrintToString(args);
  }
  const auto bad = runvallisynth({"f0", "cc", "out.wav", "--NOPE=1", "--INDLIST=1,,2"});
  EXPECT_EQ(bad.exitcode, 255);
  EXPECT_EQ(bad.out, "Error: bad formatted INDLIST.\n");
}

TEST(CommandLineProgram, UnworkableFrameShiftStopsBeforeAnyFile) {
  test::TempDir dir;
  test::writefloats(dir.file("a.lf0"), {5.0f, 5.0f});
  test::writefloats(dir.file("a.cc"), std::vector<float>(50, 0.0f));
  for (const char* lframe : {"--LFRAME=0", "--LFRAME=-1"}) {
    const auto r = runvallisynth({"a.lf0", "a.cc", "out.wav", lframe}, dir.path().string());
    EXPECT_EQ(r.exitcode, 255) << lframe;
    EXPECT_EQ(r.out.rfind("Error: ", 0), 0u) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.wav"))) << lframe;
  }
  // The same files do decode with a workable shift.
  const auto ok = runvallisynth({"a.lf0", "a.cc", "out.wav"}, dir.path().string());
  EXPECT_EQ(ok.exitcode, 0) << ok.out;
  EXPECT_TRUE(std::filesystem::exists(dir.file("out.wav")));
}

}  // namespace
}  // namespace vallisynth
