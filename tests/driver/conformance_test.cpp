// Output against reference renderings: the conformance vectors made by an
// independent implementation of the decoder, and golden renderings of the
// shipped examples that catch any change in the sound. Headers must match
// byte for byte, samples within 1 LSB; and every thread count must write
// the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = VALLISYNTH_SOURCE_DIR;

std::vector<std::string> readlines(const fs::path& path) {
  std::ifstream f(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(f, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

// Same size and header byte for byte, samples within 1 LSB.
void expectsamewav(const std::string& expected, const std::string& got) {
  const std::string e = readbytes(expected);
  const std::string g = readbytes(got);
  ASSERT_GE(e.size(), 44u);
  ASSERT_EQ(e.size(), g.size()) << got;  // 0 when it was not written
  EXPECT_EQ(e.substr(0, 44), g.substr(0, 44)) << got << ": header differs";
  const auto es = readwavsamples(expected);
  const auto gs = readwavsamples(got);
  for (std::size_t i = 0; i < es.size(); ++i) {
    ASSERT_LE(std::abs(es[i] - gs[i]), 1) << got << ": sample " << i;
  }
}

std::vector<std::string> vectornames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kSource / "tests/vectors")) {
    if (entry.is_directory()) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Runs args in dir, a copy of folder: with --THREADS=1, 2, 3 and 7, each
// of which must write the same files with the same bytes, messages and
// status, then as given, whose run dir holds on return.
RunResult runateverythreadcount(const fs::path& folder, const std::vector<std::string>& args,
                                const TempDir& dir) {
  RunResult r;
  std::map<std::string, std::string> first;  // file name -> bytes, "" -> status and messages
  for (const std::string threads :
       {"--THREADS=1", "--THREADS=2", "--THREADS=3", "--THREADS=7", ""}) {
    fs::remove_all(dir.path);
    fs::copy(folder, dir.path);
    std::vector<std::string> withthreads = args;
    if (!threads.empty()) {
      withthreads.push_back(threads);
    }
    r = runvallisynth(withthreads, dir.path.string());
    std::map<std::string, std::string> outputs = {{"", std::to_string(r.exitcode) + r.out}};
    for (const auto& entry : fs::directory_iterator(dir.path)) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".wav") && !name.starts_with("expected-")) {
        outputs[name] = readbytes(entry.path().string());
      }
    }
    first = first.empty() ? outputs : first;
    EXPECT_TRUE(outputs == first) << threads;
  }
  EXPECT_GT(first.size(), 1u) << r.out;  // a file was written
  return r;
}

class ConformanceVector : public ::testing::TestWithParam<std::string> {};

TEST_P(ConformanceVector, MatchesReference) {
  const fs::path src = kSource / "tests/vectors" / GetParam();
  TempDir dir;
  const RunResult r = runateverythreadcount(src, readlines(src / "args"), dir);
  EXPECT_EQ(r.out, readbytes((src / "expected-stdout").string()));
  EXPECT_EQ(std::to_string(r.exitcode), readlines(src / "expected-exit").at(0));
  for (const auto& entry : fs::directory_iterator(src)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("expected-") && name.ends_with(".wav")) {
      expectsamewav(entry.path().string(), dir.file(name.substr(9)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, ConformanceVector, ::testing::ValuesIn(vectornames()),
                         [](const auto& p) {
                           return std::regex_replace(p.param, std::regex("-"), "_");
                         });

struct GoldenCase {
  const char* name;
  std::vector<std::string> args;     // run inside a copy of examples/
  std::vector<std::string> outputs;  // written files, compared with tests/golden/
};

const GoldenCase kGolden[] = {
    {"Batch",
     {"utt??.lf0", "utt??.cc", "utt??.wav", "--INDLIST=1-3"},
     {"utt01.wav", "utt02.wav", "utt03.wav"}},
    {"FvTrack", {"utt01.lf0", "utt01.cc", "utt01.fv", "utt01-fv.wav"}, {"utt01-fv.wav"}},
    {"Modified",
     {"utt02.lf0", "utt02.cc", "utt02-mod.wav", "--FPITCH=1.3", "--FVPITCH=1.5", "--FDUR=0.8",
      "--FWARP=-0.1", "--GAMMA=0.5", "--WAVNORM=1"},
     {"utt02-mod.wav"}}};

// Test names in listings rather than a dump of the case's bytes.
void PrintTo(const GoldenCase& c, std::ostream* os) {
  *os << c.name;
}

class GoldenExample : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenExample, SoundsAsBefore) {
  const GoldenCase& c = GetParam();
  TempDir dir;
  const RunResult r = runateverythreadcount(kSource / "examples", c.args, dir);
  EXPECT_EQ(r.exitcode, 0);
  for (const auto& out : c.outputs) {
    expectsamewav((kSource / "tests/golden" / out).string(), dir.file(out));
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, GoldenExample, ::testing::ValuesIn(kGolden),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace vallisynth::test
