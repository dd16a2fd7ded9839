#include "params/paramparser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace vallisynth {
namespace {

TEST(ParamParser, WholeNameMatchAndScanfConversion) {
  // -7: no match or no conversion, so nothing stored and no read mark.
  const std::tuple<const char*, int, double> cases[] = {
      {"--N=80.5x", 80, 80.5}, {"--N= 8", 8, 8}, {"--N=.5", -7, 0.5}, {"--N=1e3", 1, 1000},
      {"--N=abc", -7, -7},     {"--N=", -7, -7}, {"--n=8", -7, -7},   {"--NX=8", -7, -7},
      {"-N=8", -7, -7},        {"--N8", -7, -7}};
  for (const auto& [arg, ci, cd] : cases) {
    std::string iarg = arg, darg = arg;
    int i = -7;
    double d = -7.0;
    EXPECT_EQ(getintparam(iarg.data(), "N", &i), ci == -7 ? -1 : 0) << arg;
    EXPECT_EQ(getdoubleparam(darg.data(), "N", &d), cd == -7 ? -1 : 0) << arg;
    EXPECT_EQ(i, ci) << arg;
    EXPECT_EQ(d, cd) << arg;
    EXPECT_EQ(iarg[0] == '*', ci != -7) << arg;
    EXPECT_EQ(darg, (cd == -7 ? "-" : "*") + std::string(arg).substr(1));
  }
}

TEST(ParamParser, FirstConvertingOccurrenceIsConsumedOnce) {
  char text[][9] = {"--FDUR=x", "--FDUR=2", "--L=1-3", "--FDUR=3"};
  char* a[] = {text[0], text[1], text[2], text[3]};
  double v = 0.0;
  ASSERT_EQ(searchdoubleparam(4, a, "FDUR", &v), 0);
  EXPECT_EQ(v, 2.0);
  EXPECT_EQ(std::string(a[0]) + a[1] + a[3], "--FDUR=x*-FDUR=2--FDUR=3");
  EXPECT_EQ(searchstringparam(4, a, "L"), a[2] + 4);  // the argument itself
  EXPECT_EQ(searchstringparam(4, a, "L"), nullptr);
  EXPECT_TRUE(unreadparams(4, a));
  EXPECT_FALSE(unreadparams(2, a + 1));
  EXPECT_EQ(searchdoubleparam(4, a, "FDURX", &v), -1);  // whole names only
}

}  // namespace
}  // namespace vallisynth
