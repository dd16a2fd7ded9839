#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "params/indexlist.h"
#include "params/paramparser.h"

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
    EXPECT_EQ(get_int_param(iarg.data(), "N", &i), ci == -7 ? -1 : 0) << arg;
    EXPECT_EQ(get_double_param(darg.data(), "N", &d), cd == -7 ? -1 : 0) << arg;
    EXPECT_EQ(std::tie(i, d), std::tie(ci, cd)) << arg;
    EXPECT_EQ(iarg[0] == '*', ci != -7) << arg;
    EXPECT_EQ(darg, (cd == -7 ? "-" : "*") + std::string(arg).substr(1));
  }
}

TEST(IndexList, ValidityAndTheIntervalsTheBatchLoopVisits) {
  // Empty, stray characters, empty or descending intervals, broken step
  // counts, numbers above 2147483647.
  for (const char* list :
       {"", "-3", "1,", "1,,2", "1, 2", "12a", "5-5", "3,1", "1-5,5-9", "1-3-2", "1-100(2)",
        "1-5()", "1-5(2", "1-5)", "2147483648", "1-4294967297", "99999999999999999999999"}) {
    EXPECT_EQ(check_index_list(list), -1) << '"' << list << '"';
  }
  // Nothing after ')' is examined.
  const char* const cases[][2] = {{"1-10,12,15-20", "1-10 12-12 15-20 "},
                                  {"007-009", "7-9 "},
                                  {"1-3-5,8", "1-3 8-8 "},
                                  {"1,4-6(1),9", "1-1 4-6 "}};
  for (const auto& [list, intervals] : cases) {
    std::string walked;  // stays empty when the list is rejected
    for (const char* c = check_index_list(list) == 0 ? list : nullptr; c; c = next_interval(c)) {
      const std::uint32_t start = interval_start(c);
      walked += std::to_string(start) + "-" + std::to_string(interval_end(c, start)) + " ";
    }
    EXPECT_EQ(walked, intervals) << list;
  }
}

TEST(IndexList, SubstitutionIntoTheFileNameField) {
  // A null result: the field is missing or too narrow, the path unchanged.
  const std::tuple<const char*, std::uint32_t, const char*> cases[] = {
      {"out/utt???.wav", 7, "out/utt007.wav"},
      {"out/utt???.wav", 1234, nullptr},
      {"f0_??.lf0", 5, "f5_??.lf0"},
      {"a\\b3\\u??x", 4, "a\\b3\\u04x"},
      {"u??????????", 4294967295u, "u4294967295"}};
  for (const auto& [templ, index, result] : cases) {
    std::string path = templ;
    EXPECT_EQ(write_file_index(path.data(), index), result ? 0 : -1) << templ << index;
    EXPECT_EQ(path, result ? result : templ) << index;
  }
}

}  // namespace
}  // namespace vallisynth
