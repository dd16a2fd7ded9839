#include "io/paramfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth {

TEST(ParamFile, SizeRulesAndExactWidening) {
  test::TempDir dir;
  test::writebytes(dir.file("empty"), "");
  test::writebytes(dir.file("three"), "abc");
  // A folder opens for reading on some systems but is no stream.
  for (const std::string& path : {dir.file("empty"), dir.file("missing"), dir.file("three"),
                                  dir.path().string(), std::string()}) {
    std::vector<double> values;
    EXPECT_EQ(fdoubleread(path.empty() ? nullptr : path.c_str(), values), 0u) << path;
  }
  // Enough values to catch a mis-ordered in-place widening (0.1f reads back
  // as 0.10000000149011612), then three stray bytes that form no value.
  std::vector<float> stored(1000, -1e10f);
  stored[0] = 0.1f;
  test::writefloats(dir.file("f"), stored);
  test::writebytes(dir.file("f"), test::readbytes(dir.file("f")) + "abc");
  std::vector<double> values;
  ASSERT_EQ(fdoubleread(dir.file("f").c_str(), values), stored.size());
  EXPECT_EQ(values, std::vector<double>(stored.begin(), stored.end()));
}

}  // namespace vallisynth
