#include "io/paramfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth {
namespace {

using test::TempDir;

TEST(ParamFile, UnreadableInputsYieldNothing) {
  TempDir dir;
  test::writebytes(dir.file("empty"), "");
  test::writebytes(dir.file("three"), std::string("\x00\x00\x80", 3));
  const std::string cases[] = {dir.file("empty"), dir.file("missing"), dir.file("three"),
                               dir.path().string()};  // a directory is no stream
  for (const std::string& path : cases) {
    std::vector<double> values{42.0};
    EXPECT_EQ(fdoubleread(path.c_str(), values), 0u) << path;
    EXPECT_EQ(values, std::vector<double>{42.0}) << "untouched on failure: " << path;
  }
  std::vector<double> values{42.0};
  EXPECT_EQ(fdoubleread(nullptr, values), 0u);
  EXPECT_EQ(values, std::vector<double>{42.0});
}

TEST(ParamFile, LittleEndianAndTrailingBytesIgnored) {
  TempDir dir;
  // 1.0f, -1.5f, then 3 stray bytes.
  test::writebytes(dir.file("f"), std::string("\x00\x00\x80\x3f\x00\x00\xc0\xbf\x01\x02\x03", 11));
  std::vector<double> values;
  ASSERT_EQ(fdoubleread(dir.file("f").c_str(), values), 2u);
  EXPECT_EQ(values, (std::vector<double>{1.0, -1.5}));

  test::writebytes(dir.file("seven"), std::string("\x00\x00\x20\x41\xff\xff\xff", 7));
  ASSERT_EQ(fdoubleread(dir.file("seven").c_str(), values), 1u);
  EXPECT_EQ(values, std::vector<double>{10.0});
}

TEST(ParamFile, ValuesAreExactWideningsInOrder) {
  TempDir dir;
  std::vector<float> stored{0.1f,
                            -1e10f,
                            -9.9e9f,
                            5.3f,
                            std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min(),
                            -0.0f};
  for (int i = 0; i < 1000; ++i) {  // enough values to catch a mis-ordered in-place widening
    stored.push_back(static_cast<float>(i) * 0.37f - 11.0f);
  }
  test::writefloats(dir.file("f"), stored);
  std::vector<double> values;
  ASSERT_EQ(fdoubleread(dir.file("f").c_str(), values), stored.size());
  ASSERT_EQ(values.size(), stored.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(values[i], static_cast<double>(stored[i])) << i;
  }
  EXPECT_EQ(values[0], 0.10000000149011612);
  EXPECT_EQ(values[1], -10000000000.0);  // the unvoiced marker survives exactly
  EXPECT_GT(values[2], -1e10);
  EXPECT_TRUE(std::signbit(values[6]));
}

}  // namespace
}  // namespace vallisynth
