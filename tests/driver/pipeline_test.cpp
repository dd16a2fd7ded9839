// The decoding loop end to end, through the built program as a user runs
// it: messages, exit status, output files and their lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

// Streams of an utterance of n frames, voiced in the middle half, order 24.
void writestreams(const TempDir& dir, const std::string& base, std::size_t n) {
  std::vector<float> lf0, cc, fv;
  for (std::size_t k = 0; k < n; ++k) {
    const bool voiced = k >= n / 4 && k < 3 * n / 4;
    lf0.push_back(voiced ? std::log(120.0f + static_cast<float>(k)) : -1e10f);
    fv.push_back(voiced ? 4000.0f : 0.0f);
    for (std::size_t j = 0; j <= 24; ++j) {  // stored form: c0 raised by 5, the rest doubled
      cc.push_back(j == 0 ? 1.0f + 0.01f * static_cast<float>(k % 7) : 0.6f / float(j * j));
    }
  }
  writefloats(dir.file(base + ".lf0"), lf0);
  writefloats(dir.file(base + ".cc"), cc);
  writefloats(dir.file(base + ".fv"), fv);
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writestreams(dir, "a", 100);
  }
  RunResult run(const std::vector<std::string>& args) {
    return runvallisynth(args, dir.path().string());
  }
  std::string wav(const std::string& name) {
    return readbytes(dir.file(name));
  }
  TempDir dir;
};

TEST_F(PipelineTest, FailuresAndWarningsPerUtterance) {
  ASSERT_EQ(run({"a.lf0", "a.cc", "ref.wav"}).out, "");
  writefloats(dir.file("cc2550"), std::vector<float>(2550, 1.0f));  // not a multiple of 100
  writefloats(dir.file("cc50"), std::vector<float>(50, 1.0f));      // fewer values than frames
  writefloats(dir.file("cc100"), std::vector<float>(100, 5.0f));    // order 0
  writefloats(dir.file("fv99"), std::vector<float>(99, 4000.0f));
  fs::create_directory(dir.path() / "sub");  // a folder opens for reading on some systems
  enum Wav { kNone, kAsRef, kAny };
  const std::tuple<std::vector<std::string>, std::string, Wav> cases[] = {
      {{"no.lf0", "a.cc", "o.wav"}, "Error: could not open no.lf0.\n", kNone},
      {{"a.lf0", "no.cc", "o.wav"}, "Error: could not open no.cc.\n", kNone},
      {{"sub", "a.cc", "o.wav"}, "Error: could not open sub.\n", kNone},
      {{"a.lf0", "cc2550", "o.wav"},
       "Error: a.lf0 and cc2550 have incompatible dimensions.\n",
       kNone},
      {{"a.lf0", "cc50", "o.wav"}, "Error: a.lf0 and cc50 have incompatible dimensions.\n", kNone},
      {{"a.lf0", "a.cc", "nodir/o.wav"}, "Error: could not create nodir/o.wav.\n", kNone},
      {{"a.lf0", "cc100", "o.wav"}, "", kAny},
      {{"a.lf0", "a.cc", "fv99", "o.wav"},
       "Warning: a.lf0 and fv99 have incompatible dimensions.\n",
       kAsRef},
      {{"a.lf0", "a.cc", "no.fv", "o.wav", "--FVALPHA=0.42"},
       "Warning: could not open no.fv.\n",
       kAsRef}};
  for (const auto& [args, out, output] : cases) {
    const RunResult r = run(args);
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(fs::exists(dir.file("o.wav")), output != kNone) << out;
    if (output == kAsRef) {
      EXPECT_EQ(wav("o.wav"), wav("ref.wav")) << out;
    }
    fs::remove(dir.file("o.wav"));
  }
}

TEST_F(PipelineTest, LengthNormalisationAndReruns) {
  const std::pair<std::vector<std::string>, std::size_t> cases[] = {
      {{}, 80},
      {{"--FDUR=0.25"}, 20},
      {{"--FDUR=10"}, 320},
      {{"--LFRAME=75", "--FDUR=0.5"}, 37},
      {{"--LFRAME=1"}, 1}};
  for (const auto& [opts, shift] : cases) {
    std::vector<std::string> args = {"a.lf0", "a.cc", "a.fv", "o" + std::to_string(shift)};
    args.insert(args.end(), opts.begin(), opts.end());
    EXPECT_EQ(run(args).exitcode, 0);
    const std::vector<std::int16_t> s = readwavsamples(dir.file(args[3]));
    EXPECT_EQ(s.size(), 101u * shift + 1u) << shift;
    EXPECT_EQ(s.back(), 0);  // past the last frame's window
  }
  run({"a.lf0", "a.cc", "a.fv", "n.wav", "--WAVNORM=1"});
  run({"a.lf0", "a.cc", "a.fv", "p.wav", "--WAVNORM=2"});
  const std::vector<std::int16_t> n = readwavsamples(dir.file("n.wav"));
  const auto [lo, hi] = std::minmax_element(n.begin(), n.end());
  EXPECT_GE(std::max(-*lo, int{*hi}), 32439);  // 0.99 of full scale
  EXPECT_LE(std::max(-*lo, int{*hi}), 32440);
  EXPECT_EQ(wav("p.wav"), wav("o80"));  // no normalisation, and the same bytes on a rerun
}

TEST_F(PipelineTest, IndexListRuns) {
  writestreams(dir, "u01", 40);
  writestreams(dir, "u02", 40);
  writestreams(dir, "u03", 40);
  writestreams(dir, "u04", 40);
  fs::remove(dir.file("u03.lf0"));
  // Failures skip the utterance but not the run; the noise runs on, so the
  // same streams give new samples.
  EXPECT_EQ(run({"u??.lf0", "u??.cc", "out??.wav", "--INDLIST=1-2,3-4"}).out,
            "out01.wav\nout02.wav\nout03.wav\nError: could not open u03.lf0.\nout04.wav\n");
  EXPECT_NE(wav("out01.wav"), wav("out02.wav"));

  // An index too wide for a field skips that utterance before anything is
  // written, and the run goes on; 2147483647 is the last index of a list.
  writestreams(dir, "v99", 4);
  writestreams(dir, "x2147483647", 4);
  EXPECT_EQ(run({"v??.lf0", "v??.cc", "w??.wav", "--INDLIST=99-101"}).out,
            "w99.wav\nError: index 100 does not fit the file name v99.lf0.\n"
            "Error: index 101 does not fit the file name v99.lf0.\n");
  EXPECT_EQ(run({"v??.lf0", "v??.cc", "fixed.wav", "--INDLIST=99"}).out,
            "Error: index 99 does not fit the file name fixed.wav.\n");
  EXPECT_FALSE(fs::exists(dir.file("fixed.wav")));
  EXPECT_EQ(run({"x??????????.lf0", "x??????????.cc", "y??????????.wav",
                 "--INDLIST=2147483646-2147483647"})
                .out,
            "y2147483646.wav\nError: could not open x2147483646.lf0.\ny2147483647.wav\n");
}

}  // namespace
}  // namespace vallisynth::test
