#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "io/memorylimit.h"
#include "io/outputfile.h"
#include "support/testsupport.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// The 16-bit rule, in WAV files and the library's conversion alike: the
// positive limit from 32767/32768 on, the negative limit only from -1.0 on,
// truncation toward zero in between, NaN as 0.
TEST(WavWriter, HeaderClippingAndNormalisation) {
  test::TempDir dir;
  const std::string path = dir.file("a.wav");
  constexpr double kTop = 32767.0 / 32768;
  std::vector<double> x{kTop,     kTop - 1e-16, 2.5,  INFINITY, -1.0,         -INFINITY, -1.0001,
                        -0.99999, 0.5,          1e-5, -1e-5,    -1.0 / 32768, NAN,       0.0};
  const std::vector<std::int16_t> expected{32767,  32766, 32767, 32767, -32768, -32768, -32768,
                                           -32767, 16384, 0,     0,     -1,     0,      0};
  EXPECT_EQ(to_pcm16(x), expected);
  write_wav(path, x);
  EXPECT_EQ(test::readwavsamples(path), expected);
  // Every value through every place of the file writer's blocks of eight
  // and its tail.
  for (std::size_t shift = 1; shift < x.size(); ++shift) {
    std::vector<double> xs = x;
    std::vector<std::int16_t> es = expected;
    std::rotate(xs.begin(), xs.begin() + static_cast<std::ptrdiff_t>(shift), xs.end());
    std::rotate(es.begin(), es.begin() + static_cast<std::ptrdiff_t>(shift), es.end());
    write_wav(path, xs);
    EXPECT_EQ(test::readwavsamples(path), es) << shift;
  }
  write_wav(path, x);
  const char header[] =
      "RIFF@\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80>\0\0\0}\0\0\x02\0\x10\0data\x1c\0\0";
  EXPECT_EQ(test::readbytes(path).substr(0, 44), std::string(header, 44));  // sizes 36 + 28, 28
  // Normalisation scales to a peak of 0.99; the writer leaves the caller's
  // samples alone.
  for (const double peak : {0.25, -0.25, 0.0}) {
    const std::vector<double> y{0.0, peak, peak / 2};
    std::vector<double> z = y;
    normalize(z);
    EXPECT_EQ(z, (std::vector<double>{0.0, peak * 3.96, peak * 1.98}));
    write_wav(path, y, 16000, true);
    EXPECT_EQ(test::readwavsamples(path), to_pcm16(z));
  }
}

// Room set aside for an output is not part of it: the file holds what was
// written, whether it replaces a file or not.
TEST(OutputFile, ReservedRoomIsNotWritten) {
  test::TempDir dir;
  const std::string path = dir.file("a.wav");
  for (int round = 0; round < 2; ++round) {
    OutputFile out;
    ASSERT_TRUE(out.open(path.c_str()));
    out.reserve(1u << 20);
    const std::string text = "written " + std::to_string(round);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), out.stream()), text.size());
    ASSERT_TRUE(out.commit());
    EXPECT_EQ(test::readbytes(path), text);
  }
}

// A write that fails leaves no file, but never removes a device.
TEST(WavWriterDeathTest, FailedWritesLeaveNoFileButNeverRemoveADevice) {
  test::TempDir dir;
  const std::vector<double> x(10000, 0.1);
  const auto fails = [&](const std::string& path) {
    try {
      write_wav(path, x);
    } catch (const Error& e) {
      return e.code() == Errc::create_failed;
    }
    return false;
  };
  // Through a link, so that /dev/full itself is never put at risk.
  std::filesystem::create_symlink("/dev/full", dir.file("full.wav"));
  EXPECT_TRUE(fails(dir.file("full.wav")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("full.wav")));
  // A file-size limit makes the write fail part way, like a full disk.
  const std::string path = dir.file("big.wav");
  auto writelimited = [&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &lim);
    std::_Exit(fails(path) && !std::filesystem::exists(path) ? 0 : 1);
  };
  EXPECT_EXIT(writelimited(), testing::ExitedWithCode(0), "");
}

// The tightest limit of the process's cgroup and its ancestors, for both
// cgroup versions; "max" and missing files are no limit.
TEST(MemoryLimit, TightestOfTheCgroupHierarchy) {
  test::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.path / "proc/self");
  fs::create_directories(dir.path / "v2/a/b");
  fs::create_directories(dir.path / "v1/x/y");
  test::writebytes(dir.file("v2/a/memory.max"), "300000000\n");
  test::writebytes(dir.file("v2/a/b/memory.max"), "max\n");
  test::writebytes(dir.file("v1/x/memory.limit_in_bytes"), "9223372036854771712\n");
  test::writebytes(dir.file("v1/x/y/memory.limit_in_bytes"), "200000000\n");
  const auto limit = [&](const std::string& groups) {
    test::writebytes(dir.file("proc/self/cgroup"), groups);
    return memory_limit(dir.file("proc"), dir.file("v2"), dir.file("v1")).resident;
  };
  EXPECT_EQ(limit("0::/a/b\n"), 300000000u);
  EXPECT_EQ(limit("4:memory:/x/y\n3:cpu:/\n"), 200000000u);
  EXPECT_EQ(limit("4:cpuset,memory:/x\n0::/a/b\n"), 300000000u);
  EXPECT_GT(limit("4:cpu:/x/y\n"), 300000000u);  // physical memory only
  EXPECT_GT(memory_headroom(memory_limit()), 0u);
}

}  // namespace vallisynth
