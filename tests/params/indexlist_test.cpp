#include "params/indexlist.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vallisynth {
namespace {

using Interval = std::pair<std::uint32_t, std::uint32_t>;

// The intervals in the order the batch loop visits them.
std::vector<Interval> walk(const char* list) {
  std::vector<Interval> out;
  for (const char* c = list; c != nullptr; c = strnumnextinterv(c)) {
    const std::uint32_t start = strnumintervstart(c);
    out.emplace_back(start, strnumintervend(c, start));
  }
  return out;
}

TEST(IndexList, ValidListsAndTheirIntervals) {
  struct Case {
    const char* list;
    std::vector<Interval> intervals;
  };
  const Case cases[] = {{"1-10,12,15-20", {{1, 10}, {12, 12}, {15, 20}}},
                        {"5", {{5, 5}}},
                        {"0", {{0, 0}}},
                        {"007-009", {{7, 9}}},
                        {"1-3-5", {{1, 3}}},
                        {"1-3-5,8", {{1, 3}, {8, 8}}},
                        {"1-99(2)", {{1, 99}}},
                        {"1-100(0)", {{1, 100}}},
                        {"1-5(3)x", {{1, 5}}},
                        {"1,4-6(1),9", {{1, 1}, {4, 6}}},  // after ')' nothing is examined
                        {"2147483646-2147483647", {{2147483646u, kMaxListIndex}}}};
  for (const Case& c : cases) {
    EXPECT_EQ(strnumdiagnose(c.list), 0) << c.list;
    EXPECT_EQ(walk(c.list), c.intervals) << c.list;
  }
}

TEST(IndexList, InvalidLists) {
  const char* const cases[] = {"",
                               "a",
                               "-3",
                               "1-",
                               "1,",
                               "1,,2",
                               "1,-2",
                               "1, 2",
                               "1 ",
                               "12a",
                               "5-5",
                               "3,1",
                               "1-5,5-9",
                               "1-5,3-9",
                               "1-3-2",
                               "1-100(2)",
                               "1-5()",
                               "1-5(2",
                               "1-5(3a)",
                               "1-5(",
                               "1-5(-3)",
                               "1-5)",
                               "2147483648",
                               "1-99999999999",
                               "1-4294967297",
                               "99999999999999999999999",
                               "0-2147483648(10)"};
  for (const char* list : cases) {
    EXPECT_EQ(strnumdiagnose(list), -1) << '"' << list << '"';
  }
}

TEST(IndexList, GetDigits) {
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {0, 1},         {9, 1},           {10, 2},          {99, 2},          {100, 3},
      {999999999, 9}, {1000000000, 10}, {2147483647, 10}, {4294967295u, 10}};
  for (const auto& [value, digits] : cases) {
    EXPECT_EQ(getdigits(value), digits) << value;
  }
}

TEST(IndexList, SubstitutionSequences) {
  struct Step {
    std::uint32_t index;
    int result;
    const char* after;
  };
  struct Case {
    const char* path;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"out/utt???.wav",
       {{7, 0, "out/utt007.wav"},
        {12, 0, "out/utt012.wav"},
        {123, 0, "out/utt123.wav"},
        {1234, -1, "out/utt123.wav"}}},
      {"set2/utt_??.lf0", {{5, 0, "set2/utt_05.lf0"}}},
      {"f0_??.lf0", {{5, 0, "f5_??.lf0"}, {12, -1, "f5_??.lf0"}}},
      {"x?.cc", {{0, 0, "x0.cc"}}},
      {"mp3_??.cc", {{5, 0, "mp5_??.cc"}}},
      {"u??????????", {{1000000000, 0, "u1000000000"}, {4294967295u, 0, "u4294967295"}}},
      {"a\\b3\\u??x", {{4, 0, "a\\b3\\u04x"}}},
      {"o??.wav", {{98, 0, "o98.wav"}, {99, 0, "o99.wav"}, {100, -1, "o99.wav"}}},
      {"dir/name.wav", {{1, -1, "dir/name.wav"}}},
      {"data7/", {{1, -1, "data7/"}}}};
  for (const Case& c : cases) {
    std::string path = c.path;
    for (const Step& s : c.steps) {
      EXPECT_EQ(replacefileindex(path.data(), s.index), s.result) << c.path << " <- " << s.index;
      EXPECT_STREQ(path.c_str(), s.after) << c.path << " <- " << s.index;
    }
  }
}

}  // namespace
}  // namespace vallisynth
