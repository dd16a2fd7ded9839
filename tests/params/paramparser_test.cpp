#include "params/paramparser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

namespace vallisynth {
namespace {

// Mutable argument strings, as the process's own argv would be.
class Args {
 public:
  Args(std::initializer_list<const char*> args) : text_(args.begin(), args.end()) {
    for (auto& t : text_) {
      ptr_.push_back(t.data());
    }
  }
  int count() const {
    return static_cast<int>(ptr_.size());
  }
  char** argv() {
    return ptr_.data();
  }
  char* operator[](std::size_t i) {
    return ptr_[i];
  }

 private:
  std::vector<std::string> text_;
  std::vector<char*> ptr_;
};

TEST(ParamParser, NameMatchingIsExactAndValueMustNotBeEmpty) {
  EXPECT_EQ(isparam("--"), 1);
  EXPECT_EQ(isparam("-LFRAME=80"), 0);
  EXPECT_EQ(isparam(""), 0);
  struct Case {
    const char* arg;
    const char* name;
    int valueoffset;  // -1: no match
  };
  const Case cases[] = {{"--LFRAME=80", "LFRAME", 9}, {"--INDLIST=1-3,7", "INDLIST", 10},
                        {"--A=b=c", "A", 4},          {"--lframe=80", "LFRAME", -1},
                        {"--LFRAME80", "LFRAME", -1}, {"--LFRAME=", "LFRAME", -1},
                        {"-LFRAME=80", "LFRAME", -1}, {"--LFRAMEX=80", "LFRAME", -1},
                        {"--LFRAM=80", "LFRAME", -1}, {"--=5", "", -1},
                        {"*-LFRAME=80", "LFRAME", -1}};
  for (const Case& c : cases) {
    std::string arg = c.arg;
    const char* value = paramnamematch(arg.data(), c.name);
    EXPECT_EQ(value, c.valueoffset < 0 ? nullptr : arg.data() + c.valueoffset) << c.arg;
    EXPECT_EQ(arg, c.arg) << "matching must not mark";
  }
}

TEST(ParamParser, ConversionsFollowScanf) {
  struct Case {
    const char* value;
    bool intok;
    int i;
    bool doubleok;
    double d;
  };
  const Case cases[] = {{"80", true, 80, true, 80.0},  {"80abc", true, 80, true, 80.0},
                        {" 80", true, 80, true, 80.0}, {"80.5", true, 80, true, 80.5},
                        {"2.5x", true, 2, true, 2.5},  {"-3", true, -3, true, -3.0},
                        {".5", false, 0, true, 0.5},   {"-inf", false, 0, true, -INFINITY},
                        {"abc", false, 0, false, 0.0}, {" ", false, 0, false, 0.0},
                        {"-", false, 0, false, 0.0}};
  for (const Case& c : cases) {
    std::string iarg = std::string("--N=") + c.value;
    std::string darg = iarg;
    int i = 12345;
    double d = -7.0;
    EXPECT_EQ(getintparam(iarg.data(), "N", &i), c.intok ? 0 : -1) << c.value;
    EXPECT_EQ(i, c.intok ? c.i : 12345) << c.value;
    EXPECT_EQ(iarg, (c.intok ? "*-N=" : "--N=") + std::string(c.value));
    EXPECT_EQ(getdoubleparam(darg.data(), "N", &d), c.doubleok ? 0 : -1) << c.value;
    EXPECT_EQ(d, c.doubleok ? c.d : -7.0) << c.value;
    EXPECT_EQ(paramalreadyread(darg.c_str()), c.doubleok) << c.value;
  }
  std::string nanarg = "--X=nan";
  double v = 0.0;
  EXPECT_EQ(getdoubleparam(nanarg.data(), "X", &v), 0);
  EXPECT_TRUE(std::isnan(v));
}

TEST(ParamParser, SearchConsumesAnArgumentOnce) {
  Args a{"--LFRAME=80", "--INDLIST=1-3,7"};
  int v = 0;
  ASSERT_EQ(searchintparam(a.count(), a.argv(), "LFRAME", &v), 0);
  EXPECT_EQ(v, 80);
  EXPECT_STREQ(a[0], "*-LFRAME=80");
  v = 5;
  EXPECT_EQ(searchintparam(a.count(), a.argv(), "LFRAME", &v), -1);
  EXPECT_EQ(v, 5);
  EXPECT_TRUE(unreadparams(a.count(), a.argv()));

  char* list = searchstringparam(a.count(), a.argv(), "INDLIST");
  EXPECT_EQ(list, a[1] + 10);
  EXPECT_STREQ(list, "1-3,7");
  EXPECT_EQ(searchstringparam(a.count(), a.argv(), "INDLIST"), nullptr);
  EXPECT_FALSE(unreadparams(a.count(), a.argv()));
}

TEST(ParamParser, FirstConvertingOccurrenceWinsAndOthersStayUnread) {
  Args a{"--FDUR=x", "--FDUR=2", "--FDUR=3"};
  double v = 0.0;
  ASSERT_EQ(searchdoubleparam(a.count(), a.argv(), "FDUR", &v), 0);
  EXPECT_EQ(v, 2.0);
  EXPECT_STREQ(a[0], "--FDUR=x");
  EXPECT_STREQ(a[1], "*-FDUR=2");
  EXPECT_STREQ(a[2], "--FDUR=3");
  EXPECT_TRUE(unreadparams(a.count(), a.argv()));
}

TEST(ParamParser, UnreadParamsReportsPlainWordsButNotReadMarks) {
  Args a{"--GAMMA=0.5", "*anything", "word"};
  double g = 0.0;
  ASSERT_EQ(searchdoubleparam(a.count(), a.argv(), "GAMMA", &g), 0);
  EXPECT_EQ(searchstringparam(a.count(), a.argv(), "anything"), nullptr);
  EXPECT_TRUE(unreadparams(a.count(), a.argv()));
  EXPECT_FALSE(unreadparams(2, a.argv()));  // without the plain word

  // An empty region: nothing found, nothing unread.
  int i = 9;
  EXPECT_EQ(searchintparam(0, a.argv(), "GAMMA", &i), -1);
  EXPECT_EQ(searchstringparam(0, a.argv(), "GAMMA"), nullptr);
  EXPECT_FALSE(unreadparams(0, a.argv()));
  EXPECT_FALSE(unreadparams(-1, a.argv()));
}

}  // namespace
}  // namespace vallisynth
