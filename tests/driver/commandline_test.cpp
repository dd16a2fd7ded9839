// The command line: the values it derives from its parameters, and through
// the built program the help screen and every kind of refusal, each with
// its one message, status 255 and no output file.
#include "driver/commandline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth {

// Reads "vallisynth" followed by the words of line. The options point into
// the argument strings, which live until the next call.
CommandLineResult read(const std::string& line, DecoderOptions& o) {
  static std::vector<std::string> words;
  std::istringstream in("vallisynth " + line);
  words.assign(std::istream_iterator<std::string>(in), {});
  std::vector<char*> argv(words.size());
  std::transform(words.begin(), words.end(), argv.begin(), [](auto& w) { return w.data(); });
  return read_command_line(static_cast<int>(argv.size()), argv.data(), o);
}

TEST(CommandLine, LimitsAndDerivedValues) {
  // Parameters after four file names, the last with a single hyphen (not a
  // parameter); frame shift, ALPHA, FPITCH, FVPITCH, WAVNORM.
  const std::tuple<const char*, std::uint32_t, double, double, double, int> cases[] = {
      {"--ALPHA=0.3 --FWARP=0", 80, 0.3, 1, 1, 0},
      {"--FDUR=10 --FPITCH=nan --FVPITCH=-1 --WAVNORM=257", 320, 0.42, 4, 0, 1},
      {"--FDUR=0.1 --FPITCH=0.1 --FVPITCH=7 --FWARP=1 --WAVNORM=255", 20,
       (0.42 - 0.99) / (1 - 0.99 * 0.42), 0.25, 4, -1},
      {"--LFRAME=75 --FDUR=0.5 --FWARP=0.2 --FVPITCH=0.5", 37, 0.24017467248908292, 1, 0.5, 0}};
  for (const auto& [params, shift, alpha, fpitch, fvpitch, wavnorm] : cases) {
    DecoderOptions o;
    ASSERT_EQ(read(std::string("f0 cc fv -o ") + params, o), CommandLineResult::kDecode) << params;
    EXPECT_EQ(std::string(o.filef0) + o.filecc + o.filefv + o.fileout, "f0ccfv-o");
    // FWARP is composed into ALPHA by the library: (ALPHA - FWARP) / (1 - FWARP ALPHA).
    const double composed = (o.alpha - o.fwarp) / (1.0 - o.fwarp * o.alpha);
    EXPECT_EQ(std::tie(o.frameshift, composed, o.fpitch, o.fvpitch, o.wavnorm),
              std::make_tuple(shift, alpha, fpitch, fvpitch, wavnorm));
  }
}

TEST(CommandLineProgram, HelpScreen) {
  const test::RunResult help = test::runvallisynth({});
  EXPECT_EQ(help.exitcode, 0);
  // Empty line, notice block, empty line, banner, empty line, three credit
  // lines, then the fixed text.
  const std::string tail =
      "\n  Usage:\n   vallisynth filef0 filecc [filefv] fileout [params]\n\n  Arguments:\n"
      "   filef0: input file for logf0\n   filecc: input file for cepstral coeffs.\n"
      "   filefv: optional input file for max. voiced freq.\n"
      "   fileout: output wav file (mono 16kHz 16bits)\n\n"
      "  Optional parameters and default values:\n   --LFRAME=80     Frame shift (samples)\n"
      "   --FPITCH=1.0    Pitch modification factor [0.25...4]\n"
      "   --FVPITCH=1.0   Log-pitch variance modification factor [0...4]\n"
      "   --FDUR=1.0      Duration modification factor [0.25...4]\n"
      "   --FWARP=0.0     All-pass factor for vocal tract modification [-1...1]\n"
      "   --WAVNORM=0     Adapt wav amplitude to available range\n\n\n";
  EXPECT_EQ(help.out.substr(help.out.size() - tail.size()), tail);
  const std::regex head("\n.+\n([\\s\\S]*\n)?\n  === VALLISYNTH v0\\.9 ===\n\n(.+\n){3}");
  EXPECT_TRUE(std::regex_match(help.out.substr(0, help.out.size() - tail.size()), head));
}

// Refusals in their order of precedence: the shape of the command line,
// then the index list, then the values. The message is one line (the usage
// error's own three), whatever else the line holds.
TEST(CommandLineProgram, RefusedCommandLines) {
  const std::string usage = "Incorrect input arguments.\nHelp: vallisynth (without arguments)\n\n";
  const std::string shift = "Error: frame shift of ";
  std::vector<std::pair<std::string, std::string>> cases = {
      {"a b", usage},
      {"--LFRAME=80", usage},
      {"f0 cc fv out extra", usage},
      {"f0 cc --FDUR=2 out", usage},
      {"f0 cc out --FPITCH=2 --FPITCH=3", usage},
      {"f0 cc out --FDUR", usage},
      {"f0 cc out --INDLIST=2147483648", "Error: bad formatted INDLIST.\n"},
      {"f0 cc --BOGUS=1 --INDLIST=1-5()", "Error: bad formatted INDLIST.\n"},
      {"f0 cc out --LFRAME=0", shift + "0 samples (LFRAME) is outside 1 to 1073741814.\n"},
      {"f0 cc out --LFRAME=-80", shift + "-80 samples (LFRAME) is outside"},
      {"f0 cc out --LFRAME=4294967376", shift + "4294967376 samples (LFRAME) is outside"},
      {"f0 cc out --LFRAME=99999999999999999999", shift + "9223372036854775807 samples"},
      {"f0 cc out --LFRAME=4294967295", shift + "4294967295 samples (LFRAME x FDUR)"},
      {"f0 cc out --LFRAME=1 --FDUR=0.25", shift + "0 samples (LFRAME x FDUR)"},
      {"f0 cc out --FS=7999", "Error: sampling rate of 7999 Hz (FS) is outside 8000 to 48000.\n"},
      {"f0 cc out --FS=48001", "Error: sampling rate of 48001 Hz (FS) is outside 8000 to 48000.\n"},
      {"f0 cc out --CCFORM=2", "Error: cepstral form 2 (CCFORM) is neither 0 nor 1.\n"},
      {"f0 cc out --CCFORM=-1", "Error: cepstral form -1 (CCFORM) is neither 0 nor 1.\n"},
      // Values beyond 32 bits are refused as given, not wrapped into range.
      {"f0 cc out --FS=4294975296",
       "Error: sampling rate of 4294975296 Hz (FS) is outside 8000 to 48000.\n"},
      {"f0 cc out --THREADS=4294967296",
       "Error: thread count 4294967296 (THREADS) is outside 0 to 1024.\n"},
      {"f0 cc out --CCFORM=4294967297",
       "Error: cepstral form 4294967297 (CCFORM) is neither 0 nor 1.\n"}};
  for (const char* value : {"--ALPHA=1.5", "--ALPHA=-1", "--ALPHA=inf", "--ALPHA=nan",
                            "--FVALPHA=nan", "--FVALPHA=1", "--GAMMA=nan", "--GAMMA=-inf"}) {
    cases.emplace_back(std::string("f0 cc out ") + value,
                       std::string("Error: ") + value + " cannot be used");
  }
  test::TempDir dir;
  test::writeutterance(dir);
  for (const auto& [line, message] : cases) {
    std::istringstream in(line);
    const test::RunResult r = test::runvallisynth(
        {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()},
        dir.path.string());
    EXPECT_EQ(r.exitcode, 255) << line;
    EXPECT_TRUE(r.out.starts_with(message) &&
                (message == usage || r.out.find('\n') + 1 == r.out.size()))
        << line << ": " << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out"))) << line;
  }
  // Inside the limits, and the clamps of the other options, as before.
  for (const char* option : {"--ALPHA=0.99", "--FVALPHA=-0.5", "--GAMMA=2", "--FWARP=5"}) {
    EXPECT_EQ(test::runvallisynth({"f0", "cc", "out", option}, dir.path.string()).exitcode, 0);
  }
}

}  // namespace vallisynth
