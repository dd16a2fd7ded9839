#include "io/wavwriter.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(WavWriter, HeaderOfOneSample) {
  TempDir dir;
  std::vector<double> x{0.5};
  ASSERT_EQ(wavwritem1616(dir.file("a.wav").c_str(), x, 0), 1u);
  const std::string expected(
      "RIFF\x26\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\x3e\0\0\0\x7d\0\0\x02\0\x10\0"
      "data\x02\0\0\0\x00\x40",
      46);
  EXPECT_EQ(test::readbytes(dir.file("a.wav")), expected);
}

TEST(WavWriter, NoSamples) {
  TempDir dir;
  std::vector<double> x;
  EXPECT_EQ(wavwritem1616(dir.file("e.wav").c_str(), x, 1), 0u);
  const std::string b = test::readbytes(dir.file("e.wav"));
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(b.substr(4, 4), std::string("\x24\0\0\0", 4));  // RIFF size 36
  EXPECT_EQ(b.substr(40), std::string(4, '\0'));            // data size 0
}

TEST(WavWriter, ClippingAndTruncation) {
  // Positive limit from 32767/32768 on, negative limit only from -1.0 on,
  // truncation toward zero in between, NaN as 0.
  const std::pair<double, std::int16_t> cases[] = {
      {1.0, 32767},
      {0.999969482421875, 32767},
      {2.5, 32767},
      {kInf, 32767},
      {-1.0, -32768},
      {-1.5, -32768},
      {-kInf, -32768},
      {-0.99999, -32767},
      {0.5, 16384},
      {-0.5, -16384},
      {0.99996, 32766},
      {1e-5, 0},
      {-1e-5, 0},
      {std::nan(""), 0},
      {-1.0 / 32768, -1},
      {-0.9999999, -32767},
      {0.99996948242187489, 32766},  // the double just below 32767/32768
  };
  std::vector<double> x;
  std::vector<std::int16_t> expected;
  for (const auto& [v, s] : cases) {
    x.push_back(v);
    expected.push_back(s);
  }
  TempDir dir;
  ASSERT_EQ(wavwritem1616(dir.file("c.wav").c_str(), x, 0), x.size());
  EXPECT_EQ(test::readwavsamples(dir.file("c.wav")), expected);
}

TEST(WavWriter, NormalisesOnlyForFlagOne) {
  TempDir dir;
  const std::string path = dir.file("n.wav");
  for (const double peak : {0.25, -0.25}) {
    std::vector<double> x{0.1, peak, -0.05};
    ASSERT_EQ(wavwritem1616(path.c_str(), x, 1), 3u);
    EXPECT_DOUBLE_EQ(x[1], peak > 0 ? 0.99 : -0.99);  // the caller sees the scaled signal
    EXPECT_DOUBLE_EQ(x[0], 0.396);
    EXPECT_EQ(test::readwavsamples(path)[1], peak > 0 ? 32440 : -32440);
  }
  for (const std::int8_t flag : {std::int8_t{0}, std::int8_t{2}, std::int8_t{-1}}) {
    std::vector<double> x{0.25, 1.5};
    ASSERT_EQ(wavwritem1616(path.c_str(), x, flag), 2u);
    EXPECT_EQ(x, (std::vector<double>{0.25, 1.5})) << int{flag};
    EXPECT_EQ(test::readwavsamples(path), (std::vector<std::int16_t>{8192, 32767})) << int{flag};
  }
  std::vector<double> silence(5, 0.0);
  ASSERT_EQ(wavwritem1616(path.c_str(), silence, 1), 5u);
  EXPECT_EQ(silence, std::vector<double>(5, 0.0));
  EXPECT_EQ(test::readwavsamples(path), std::vector<std::int16_t>(5, 0));
  std::vector<double> none;
  EXPECT_EQ(ampnormalize(none), 0);
}

TEST(WavWriter, UncreatableFileLeavesSamplesAlone) {
  TempDir dir;
  std::vector<double> x{0.25};
  EXPECT_EQ(wavwritem1616(dir.file("no/such/dir.wav").c_str(), x, 1), 0u);
  EXPECT_EQ(x, std::vector<double>{0.25});
}

TEST(WavWriter, FailedWriteToDeviceIsReportedAndDeviceKept) {
  TempDir dir;
  const std::string link = dir.file("full.wav");
  fs::create_symlink("/dev/full", link);
  std::vector<double> x(100, 0.1);
  EXPECT_EQ(wavwritem1616(link.c_str(), x, 0), 0u);
  // Only a regular file may be removed on failure; checked through a link
  // first so that /dev/full itself is never put at risk.
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(wavwritem1616("/dev/full", x, 0), 0u);
  EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST(WavWriterDeathTest, FailedWriteToRegularFileLeavesNoFile) {
  TempDir dir;
  const std::string path = dir.file("big.wav");
  // A file-size limit makes the write fail part way, like a full disk.
  auto writelimited = [&path] {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{};
    getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &lim);
    std::vector<double> x(10000, 0.1);
    const std::uint32_t n = wavwritem1616(path.c_str(), x, 0);
    std::_Exit(n == 0 && !fs::exists(path) ? 0 : 1);
  };
  EXPECT_EXIT(writelimited(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vallisynth
