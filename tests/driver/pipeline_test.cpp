// The decoding loop end to end, through the built program as a user runs
// it: messages, exit status, output files and their lengths.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

constexpr float kUnvoiced = -1e10f;

// A small utterance of nframes frames: voiced in the middle half, order 24.
struct Streams {
  std::vector<float> lf0;
  std::vector<float> cc;
  std::vector<float> fv;
};

Streams makestreams(std::size_t nframes, std::size_t order = 24) {
  Streams s;
  for (std::size_t k = 0; k < nframes; ++k) {
    const bool voiced = k >= nframes / 4 && k < 3 * nframes / 4;
    s.lf0.push_back(voiced ? std::log(120.0f + static_cast<float>(k)) : kUnvoiced);
    s.fv.push_back(voiced ? 4000.0f : 0.0f);
    for (std::size_t j = 0; j <= order; ++j) {
      // Stored form: c0 raised by 5, the rest doubled.
      s.cc.push_back(j == 0 ? 5.0f - 4.0f + 0.01f * static_cast<float>(k % 7)
                            : 0.6f / static_cast<float>(j * j));
    }
  }
  return s;
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Streams s = makestreams(100);
    writefloats(dir.file("a.lf0"), s.lf0);
    writefloats(dir.file("a.cc"), s.cc);
    writefloats(dir.file("a.fv"), s.fv);
  }
  RunResult run(const std::vector<std::string>& args) {
    return runvallisynth(args, dir.path().string());
  }
  std::size_t samples(const std::string& name) {
    return readwavsamples(dir.file(name)).size();
  }
  TempDir dir;
};

TEST_F(PipelineTest, FailuresReportAndSkipTheUtterance) {
  struct Case {
    const char* name;
    std::vector<float> cc;  // replaces a.cc when not empty
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"missing f0", {}, {"no.lf0", "a.cc", "o.wav"}, "Error: could not open no.lf0.\n"},
      {"missing cc", {}, {"a.lf0", "no.cc", "o.wav"}, "Error: could not open no.cc.\n"},
      // A folder opens for reading and reports an enormous size.
      {"f0 is a folder", {}, {"sub", "a.cc", "o.wav"}, "Error: could not open sub.\n"},
      {"cc not a multiple",
       std::vector<float>(2550, 1.0f),
       {"a.lf0", "b.cc", "o.wav"},
       "Error: a.lf0 and b.cc have incompatible dimensions.\n"},
      {"cc shorter than f0",
       std::vector<float>(50, 1.0f),
       {"a.lf0", "b.cc", "o.wav"},
       "Error: a.lf0 and b.cc have incompatible dimensions.\n"},
      {"output folder missing",
       {},
       {"a.lf0", "a.cc", "nodir/o.wav"},
       "Error: could not create nodir/o.wav.\n"},
  };
  fs::create_directory(dir.path() / "sub");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.cc.empty()) {
      writefloats(dir.file("b.cc"), c.cc);
    }
    const RunResult r = run(c.args);
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_FALSE(fs::exists(dir.file("o.wav")));
  }
}

TEST_F(PipelineTest, OrderFollowsFromTheValueCounts) {
  writefloats(dir.file("c0.cc"), std::vector<float>(100, 5.0f));  // order 0
  const RunResult r = run({"a.lf0", "c0.cc", "o.wav"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(samples("o.wav"), 101u * 80u + 1u);
}

TEST_F(PipelineTest, FvTrackWarningsKeepTheUtterance) {
  const Streams s = makestreams(100);
  writefloats(dir.file("short.fv"), std::vector<float>(s.fv.begin(), s.fv.end() - 1));
  std::vector<float> longer = s.fv;
  longer.insert(longer.end(), 20, 123.0f);
  writefloats(dir.file("long.fv"), longer);

  EXPECT_EQ(run({"a.lf0", "a.cc", "short.fv", "o1.wav"}).out,
            "Warning: a.lf0 and short.fv have incompatible dimensions.\n");
  EXPECT_EQ(run({"a.lf0", "a.cc", "none.fv", "o2.wav"}).out, "Warning: could not open none.fv.\n");
  EXPECT_EQ(run({"a.lf0", "a.cc", "o3.wav"}).out, "");
  // A dropped fv track is the same as none, FVALPHA or not.
  EXPECT_EQ(run({"a.lf0", "a.cc", "none.fv", "o4.wav", "--FVALPHA=0.42"}).out,
            "Warning: could not open none.fv.\n");
  EXPECT_EQ(readbytes(dir.file("o1.wav")), readbytes(dir.file("o3.wav")));
  EXPECT_EQ(readbytes(dir.file("o2.wav")), readbytes(dir.file("o3.wav")));
  EXPECT_EQ(readbytes(dir.file("o4.wav")), readbytes(dir.file("o3.wav")));

  // Values past the last frame are ignored.
  EXPECT_EQ(run({"a.lf0", "a.cc", "long.fv", "o5.wav"}).out, "");
  EXPECT_EQ(run({"a.lf0", "a.cc", "a.fv", "o6.wav"}).out, "");
  EXPECT_EQ(readbytes(dir.file("o5.wav")), readbytes(dir.file("o6.wav")));
  EXPECT_NE(readbytes(dir.file("o5.wav")), readbytes(dir.file("o3.wav")));
}

TEST_F(PipelineTest, OutputLengthFollowsTheFrameShift) {
  const struct {
    std::vector<std::string> opts;
    std::size_t shift;
  } cases[] = {
      {{}, 80},
      {{"--FDUR=0.25"}, 20},
      {{"--FDUR=0.1"}, 20},
      {{"--FDUR=4"}, 320},
      {{"--FDUR=10"}, 320},
      {{"--FDUR=1.5"}, 120},
      {{"--LFRAME=75", "--FDUR=0.5"}, 37},
      {{"--LFRAME=1"}, 1},
      {{"--LFRAME=1", "--FDUR=4"}, 4},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"a.lf0", "a.cc", "a.fv", "o.wav"};
    args.insert(args.end(), c.opts.begin(), c.opts.end());
    const RunResult r = run(args);
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(samples("o.wav"), 101u * c.shift + 1u) << c.shift;
    EXPECT_EQ(readwavsamples(dir.file("o.wav")).back(), 0);  // never written
  }
}

TEST_F(PipelineTest, NormalisationPeaksJustBelowFullScale) {
  run({"a.lf0", "a.cc", "a.fv", "n.wav", "--WAVNORM=1"});
  run({"a.lf0", "a.cc", "a.fv", "p.wav", "--WAVNORM=2"});
  run({"a.lf0", "a.cc", "a.fv", "q.wav"});
  int peak = 0;
  for (const std::int16_t v : readwavsamples(dir.file("n.wav"))) {
    peak = std::max(peak, std::abs(int{v}));
  }
  EXPECT_GE(peak, 32439);
  EXPECT_LE(peak, 32440);
  EXPECT_EQ(readbytes(dir.file("p.wav")), readbytes(dir.file("q.wav")));
}

TEST_F(PipelineTest, SameCommandSameBytes) {
  run({"a.lf0", "a.cc", "a.fv", "o1.wav", "--GAMMA=0.3", "--FPITCH=1.5"});
  run({"a.lf0", "a.cc", "a.fv", "o2.wav", "--GAMMA=0.3", "--FPITCH=1.5"});
  EXPECT_EQ(readbytes(dir.file("o1.wav")), readbytes(dir.file("o2.wav")));
}

TEST_F(PipelineTest, IndexListRunsOnPastFailures) {
  const Streams s = makestreams(40);
  for (const char* i : {"1", "2", "4"}) {
    writefloats(dir.file(std::string("u0") + i + ".lf0"), s.lf0);
  }
  for (const char* i : {"1", "2", "3", "4"}) {
    writefloats(dir.file(std::string("u0") + i + ".cc"), s.cc);
  }
  const RunResult r = run({"u??.lf0", "u??.cc", "out??.wav", "--INDLIST=1-2,3-4"});
  EXPECT_EQ(r.exitcode, 0);
  EXPECT_EQ(r.out, "out01.wav\nout02.wav\nout03.wav\nError: could not open u03.lf0.\nout04.wav\n");
  EXPECT_TRUE(fs::exists(dir.file("out04.wav")));
  EXPECT_FALSE(fs::exists(dir.file("out03.wav")));
  // The noise runs on from one utterance to the next: same streams, new noise.
  EXPECT_NE(readbytes(dir.file("out01.wav")), readbytes(dir.file("out02.wav")));
}

TEST_F(PipelineTest, IndexTooWideForTheFieldSkipsWithoutOverwriting) {
  const Streams s = makestreams(20);
  for (const char* i : {"98", "99", "100"}) {
    writefloats(dir.file(std::string("v") + i + ".lf0"), s.lf0);
    writefloats(dir.file(std::string("v") + i + ".cc"), s.cc);
  }
  const RunResult r = run({"v??.lf0", "v??.cc", "w??.wav", "--INDLIST=98-100"});
  EXPECT_EQ(r.out,
            "w98.wav\nw99.wav\n"
            "Error: index 100 does not fit the file name v99.lf0.\n");
  EXPECT_EQ(readwavsamples(dir.file("w99.wav")).size(), 21u * 80u + 1u);

  // A name without any field cannot take an index either.
  const RunResult r2 = run({"v??.lf0", "v??.cc", "fixed.wav", "--INDLIST=98"});
  EXPECT_EQ(r2.out, "Error: index 98 does not fit the file name fixed.wav.\n");
  EXPECT_FALSE(fs::exists(dir.file("fixed.wav")));
}

TEST_F(PipelineTest, IndexListEndsAtTheLargestIndex) {
  const Streams s = makestreams(4);
  writefloats(dir.file("x2147483647.lf0"), s.lf0);
  writefloats(dir.file("x2147483647.cc"), s.cc);
  const RunResult r = run(
      {"x??????????.lf0", "x??????????.cc", "y??????????.wav", "--INDLIST=2147483646-2147483647"});
  EXPECT_EQ(r.out,
            "y2147483646.wav\nError: could not open x2147483646.lf0.\n"
            "y2147483647.wav\n");
  EXPECT_TRUE(fs::exists(dir.file("y2147483647.wav")));
}

}  // namespace
}  // namespace vallisynth::test
