// End-to-end runs of the built program on malformed, extreme and hostile
// inputs. Every run must end quickly, without a crash, with the expected
// messages and status, and must leave either no output file or a complete
// WAV file whose header sizes match its length.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFrames = 20;
constexpr std::size_t kOrder = 24;
constexpr long kSamples = static_cast<long>(kFrames + 1) * 80 + 1;  // default frame shift
constexpr double kMaxSeconds = 20.0;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kDenormal = std::numeric_limits<float>::denorm_min();

std::string bytesof(const std::vector<float>& values) {
  std::string b;
  for (const float v : values) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) {
      b.push_back(static_cast<char>((bits >> (8 * i)) & 0xFFu));
    }
  }
  return b;
}

// 120 Hz with two unvoiced frames; a quiet envelope; fv 3 kHz.
std::vector<float> f0values(std::size_t frames = kFrames) {
  std::vector<float> v(frames, std::log(120.0f));
  v[frames / 2] = v[frames / 2 + 1] = -1e10f;
  return v;
}
std::vector<float> ccvalues(std::size_t frames = kFrames, std::size_t order = kOrder) {
  std::vector<float> v(frames * (order + 1), 0.1f);
  for (std::size_t k = 0; k < frames; ++k) {
    v[k * (order + 1)] = 1.0f;  // c0 = -4 once the stored offset of 5 is undone
  }
  return v;
}
std::vector<float> fvvalues(std::size_t frames = kFrames) {
  return std::vector<float>(frames, 3000.0f);
}

// The output as each case sees it before the run.
enum class Output { kFile, kMissingDir, kDirectory, kUnderFile, kFullDevice, kReadOnly };

struct Case {
  std::string name;
  std::optional<std::string> f0 = bytesof(f0values());  // nullopt: no such file
  std::optional<std::string> cc = bytesof(ccvalues());
  std::optional<std::string> fv;  // written when set
  bool fvarg = false;             // name the fv file on the command line
  std::vector<std::string> options;
  Output output = Output::kFile;
  int status = 0;
  std::string stdoutprefix;  // the whole output unless prefixonly
  bool prefixonly = false;
  long samples = kSamples;  // -1: no output file may be left
};

// Test names in listings rather than a dump of the case's bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

std::string outname(Output o) {
  switch (o) {
    case Output::kMissingDir:
      return "missing/out.wav";
    case Output::kUnderFile:
      return "f0/out.wav";
    case Output::kFullDevice:
      return "full";
    default:
      return "out.wav";
  }
}

// A complete WAV file of n samples: header sizes agree with the length.
::testing::AssertionResult iscompletewav(const std::string& path, long n) {
  const std::string w = readbytes(path);
  const auto le32 = [&w](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      v |= static_cast<std::uint32_t>(static_cast<unsigned char>(w[at + i])) << (8 * i);
    }
    return v;
  };
  if (w.size() < 44 || w.compare(0, 4, "RIFF") != 0 || w.compare(8, 8, "WAVEfmt ") != 0 ||
      w.compare(36, 4, "data") != 0) {
    return ::testing::AssertionFailure() << path << " has no WAV header (" << w.size() << " bytes)";
  }
  if (le32(4) != w.size() - 8 || le32(40) != w.size() - 44) {
    return ::testing::AssertionFailure() << path << ": header sizes " << le32(4) << ", " << le32(40)
                                         << " for " << w.size() << " bytes";
  }
  if (static_cast<long>(w.size()) != 44 + 2 * n) {
    return ::testing::AssertionFailure()
           << path << ": " << (w.size() - 44) / 2 << " samples, not " << n;
  }
  return ::testing::AssertionSuccess();
}

class BadInput : public ::testing::TestWithParam<Case> {};

TEST_P(BadInput, EndsCleanly) {
  const Case& c = GetParam();
  TempDir dir;
  if (c.f0) {
    writebytes(dir.file("f0"), *c.f0);
  }
  if (c.cc) {
    writebytes(dir.file("cc"), *c.cc);
  }
  if (c.fv) {
    writebytes(dir.file("fv"), *c.fv);
  }
  const std::string out = outname(c.output);
  switch (c.output) {
    case Output::kDirectory:
      fs::create_directory(dir.file(out));
      break;
    case Output::kFullDevice:
      // A private node of the full device, so that a faulty clean-up can
      // never remove the system's own.
      if (mknod(dir.file(out).c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
        GTEST_SKIP() << "cannot create a device node here";
      }
      break;
    case Output::kReadOnly:
      if (geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not stop root";
      }
      writebytes(dir.file(out), "old");
      fs::permissions(dir.file(out), fs::perms::owner_read);
      break;
    default:
      break;
  }

  std::vector<std::string> args = {"f0", "cc"};
  if (c.fvarg) {
    args.push_back("fv");
  }
  args.push_back(out);
  args.insert(args.end(), c.options.begin(), c.options.end());
  const auto start = std::chrono::steady_clock::now();
  const RunResult r = runvallisynth(args, dir.path().string());
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(r.exitcode, c.status) << r.out;
  if (c.prefixonly) {
    EXPECT_EQ(r.out.rfind(c.stdoutprefix, 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
  } else {
    EXPECT_EQ(r.out, c.stdoutprefix);
  }
  EXPECT_LT(took.count(), kMaxSeconds);
  switch (c.output) {
    case Output::kFile:
      if (c.samples < 0) {
        EXPECT_FALSE(fs::exists(dir.file(out)));
      } else {
        EXPECT_TRUE(iscompletewav(dir.file(out), c.samples));
      }
      break;
    case Output::kDirectory:
      EXPECT_TRUE(fs::is_directory(dir.file(out)));
      break;
    case Output::kFullDevice:
      EXPECT_TRUE(fs::is_character_file(dir.file(out)));
      break;
    case Output::kReadOnly:
      EXPECT_EQ(readbytes(dir.file(out)), "old");
      break;
    default:
      EXPECT_FALSE(fs::exists(dir.file(out)));
      break;
  }
}

std::vector<Case> cases() {
  std::vector<Case> all;
  const auto add = [&all](const std::string& name, const std::function<void(Case&)>& edit) {
    Case c;
    c.name = name;
    edit(c);
    all.push_back(c);
  };
  const auto noopen = [](Case& c, const std::string& file) {
    c.stdoutprefix = "Error: could not open " + file + ".\n";
    c.samples = -1;
  };

  // Streams too short to hold a value, or not a whole number of values.
  for (int n = 0; n <= 3; ++n) {
    const std::string bytes(static_cast<std::size_t>(n), '\x42');
    const std::string suffix = std::to_string(n) + "Bytes";
    add("F0" + suffix, [&](Case& c) {
      c.f0 = bytes;
      noopen(c, "f0");
    });
    add("Cc" + suffix, [&](Case& c) {
      c.cc = bytes;
      noopen(c, "cc");
    });
    add("Fv" + suffix, [&](Case& c) {
      c.fv = bytes;
      c.fvarg = true;
      c.stdoutprefix = "Warning: could not open fv.\n";
    });
  }
  add("F0Missing", [&](Case& c) {
    c.f0.reset();
    noopen(c, "f0");
  });
  add("FvMissing", [](Case& c) {
    c.fvarg = true;
    c.stdoutprefix = "Warning: could not open fv.\n";
  });
  add("MisalignedStreams", [](Case& c) {
    *c.f0 += "\x01\x02";
    *c.cc += "\x01\x02";
    c.fv = bytesof(fvvalues()) + "\x01\x02";
    c.fvarg = true;
  });
  add("CcOneValueTooMany", [](Case& c) {
    *c.cc += bytesof({0.0f});
    c.stdoutprefix = "Error: f0 and cc have incompatible dimensions.\n";
    c.samples = -1;
  });
  add("CcFewerValuesThanFrames", [](Case& c) {
    c.cc = bytesof(std::vector<float>(kFrames - 1, 1.0f));
    c.stdoutprefix = "Error: f0 and cc have incompatible dimensions.\n";
    c.samples = -1;
  });
  add("FvTooShort", [](Case& c) {
    c.fv = bytesof(fvvalues(kFrames - 1));
    c.fvarg = true;
    c.options = {"--FVALPHA=0.42"};
    c.stdoutprefix = "Warning: f0 and fv have incompatible dimensions.\n";
  });

  // Values that are not numbers or lie at the ends of the float range, in
  // four frames of each stream (whole rows of the cepstral matrix).
  const std::vector<std::pair<std::string, float>> specials = {{"NaN", kNaN},
                                                               {"PlusInf", kInf},
                                                               {"MinusInf", -kInf},
                                                               {"Denormal", kDenormal},
                                                               {"Huge", 1e38f}};
  const std::vector<std::vector<std::string>> optionsets = {
      {}, {"--WAVNORM=1", "--GAMMA=0.5", "--FVALPHA=0.42", "--FVPITCH=2"}};
  for (const auto& special : specials) {
    const std::string& vname = special.first;
    const float v = special.second;
    for (std::size_t o = 0; o < optionsets.size(); ++o) {
      const std::string suffix = vname + (o == 0 ? "" : "WithOptions");
      add("F0" + suffix, [&](Case& c) {
        auto f0 = f0values();
        f0[3] = f0[4] = f0[15] = f0[16] = v;
        c.f0 = bytesof(f0);
        c.options = optionsets[o];
      });
      add("Cc" + suffix, [&](Case& c) {
        auto cc = ccvalues();
        for (std::size_t i = 3 * (kOrder + 1); i < 7 * (kOrder + 1); ++i) {
          cc[i] = v;
        }
        c.cc = bytesof(cc);
        c.options = optionsets[o];
      });
      add("Fv" + suffix, [&](Case& c) {
        auto fv = fvvalues();
        fv[3] = fv[4] = fv[15] = fv[16] = v;
        c.fv = bytesof(fv);
        c.fvarg = true;
        c.options = optionsets[o];
      });
    }
  }

  // Log-f0 values that the f0 rules turn unvoiced, or that overflow.
  const std::vector<std::pair<std::string, float>> f0s = {{"Zero", 0.0f},
                                                          {"Negative", -5.0f},
                                                          {"Below10Hz", std::log(5.0f)},
                                                          {"Above1000Hz", std::log(2000.0f)},
                                                          {"VeryLarge", 1e30f},
                                                          {"VeryNegative", -1e30f}};
  for (const auto& f0case : f0s) {
    const std::string& fname = f0case.first;
    const float v = f0case.second;
    add("F0" + fname, [&](Case& c) { c.f0 = bytesof(std::vector<float>(kFrames, v)); });
    add("F0" + fname + "Mixed", [&](Case& c) {
      auto f0 = f0values();
      f0[0] = f0[7] = f0[19] = v;
      c.f0 = bytesof(f0);
      c.options = {"--FPITCH=4", "--FVPITCH=4"};
    });
  }

  // Cepstral orders at both ends; fv values outside 0..fs/2.
  add("Order0", [](Case& c) { c.cc = bytesof(ccvalues(kFrames, 0)); });
  add("Order200", [](Case& c) { c.cc = bytesof(ccvalues(kFrames, 200)); });
  for (const auto& fv : std::vector<std::pair<std::string, float>>{{"Negative", -100.0f},
                                                                   {"Above8000Hz", 20000.0f}}) {
    add("Fv" + fv.first, [&](Case& c) {
      c.fv = bytesof(std::vector<float>(kFrames, fv.second));
      c.fvarg = true;
    });
  }

  // Frame shifts: LFRAME x FDUR, truncated and reduced to 32 bits, must come
  // to 1 .. 1073741814 samples.
  struct Shift {
    std::string lframe;
    std::string fdur;
    long shift;  // 0: rejected
  };
  const std::vector<Shift> shifts = {
      {"0", "", 0},           {"0", "0.25", 0},      {"0", "4", 0},          {"1", "", 1},
      {"1", "0.25", 0},       {"1", "4", 4},         {"-1", "", 0},          {"-1", "0.25", 0},
      {"-1", "4", 0},         {"2147483647", "", 0}, {"2147483647", "4", 0}, {"1073741815", "", 0},
      {"1073741824", "4", 0},  // 2^32: nothing left in the low 32 bits
      {"1073741825", "4", 4},  // 2^32 + 4
  };
  for (const Shift& s : shifts) {
    std::string name = "Lframe" + s.lframe + (s.fdur.empty() ? "" : "Fdur" + s.fdur);
    std::erase(name, '.');
    std::replace(name.begin(), name.end(), '-', 'M');
    add(name, [&](Case& c) {
      c.options = {"--LFRAME=" + s.lframe};
      if (!s.fdur.empty()) {
        c.options.push_back("--FDUR=" + s.fdur);
      }
      if (s.shift == 0) {
        c.status = 255;
        c.stdoutprefix = "Error: ";
        c.prefixonly = true;
        c.samples = -1;
      } else {
        c.samples = (static_cast<long>(kFrames) + 1) * s.shift + 1;
      }
    });
  }

  // Index lists at the limits of a signed 32-bit index.
  add("IndexListNameWithoutField", [](Case& c) {
    c.options = {"--INDLIST=2147483647"};
    c.stdoutprefix = "Error: index 2147483647 does not fit the file name f0.\n";
    c.samples = -1;
  });
  add("IndexListTooLarge", [](Case& c) {
    c.options = {"--INDLIST=2147483648"};
    c.status = 255;
    c.stdoutprefix = "Error: bad formatted INDLIST.\n";
    c.samples = -1;
  });

  // Outputs that cannot be written.
  const std::vector<std::pair<std::string, Output>> outputs = {
      {"OutputDirMissing", Output::kMissingDir},
      {"OutputIsDirectory", Output::kDirectory},
      {"OutputUnderFile", Output::kUnderFile},
      {"OutputFullDevice", Output::kFullDevice},
      {"OutputReadOnly", Output::kReadOnly}};
  for (const auto& output : outputs) {
    add(output.first, [&](Case& c) {
      c.output = output.second;
      c.stdoutprefix = "Error: could not create " + outname(output.second) + ".\n";
    });
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Runs, BadInput, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return param.param.name;
                         });

// The largest index fits a ten-character field, and one index list decodes
// into names whose fields have every width from 0 to 10. An index too wide
// for the output name skips its utterance and leaves every earlier output
// as it was.
TEST(BadInputIndexList, FieldsOfEveryWidth) {
  const std::vector<std::uint32_t> indices = {
      1, 22, 333, 4444, 55555, 666666, 7777777, 88888888, 999999999, 1000000000, 2147483647};
  std::string list;
  for (const std::uint32_t i : indices) {
    list += (list.empty() ? "" : ",") + std::to_string(i);
  }
  const auto padded = [](std::uint32_t index, std::size_t width) {
    const std::string d = std::to_string(index);
    return std::string(width - d.size(), '0') + d;
  };
  for (std::size_t width = 0; width <= 10; ++width) {
    SCOPED_TRACE("field width " + std::to_string(width));
    TempDir dir;
    for (const std::uint32_t i : indices) {
      writefloats(dir.file("f" + padded(i, 10) + ".lf0"), f0values());
      writefloats(dir.file("c" + padded(i, 10) + ".cc"), ccvalues());
    }
    const std::string field(width, '?');
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = runvallisynth(
        {"f??????????.lf0", "c??????????.cc", "o_" + field + ".wav", "--INDLIST=" + list},
        dir.path().string());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.exitcode, 0);
    EXPECT_LT(took.count(), kMaxSeconds);

    std::string expected;
    std::string current = "o_" + field + ".wav";
    std::vector<std::string> written;
    for (const std::uint32_t i : indices) {
      if (std::to_string(i).size() <= width) {
        current = "o_" + padded(i, width) + ".wav";
        expected += current + "\n";
        written.push_back(current);
      } else {
        expected +=
            "Error: index " + std::to_string(i) + " does not fit the file name " + current + ".\n";
      }
    }
    EXPECT_EQ(r.out, expected);
    for (const std::string& name : written) {
      EXPECT_TRUE(iscompletewav(dir.file(name), kSamples));
    }
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      if (entry.path().extension() == ".wav") {
        ++files;
      }
    }
    EXPECT_EQ(files, written.size());
  }
}

// Later utterances of a run that fail, on input or on output, leave the
// outputs before them complete.
TEST(BadInputIndexList, FailuresKeepEarlierOutputs) {
  TempDir dir;
  for (int i = 1; i <= 4; ++i) {
    writefloats(dir.file("f" + std::to_string(i)), f0values());
    writefloats(dir.file("c" + std::to_string(i)), ccvalues());
  }
  fs::remove(dir.file("f2"));
  fs::create_directory(dir.file("o3"));
  const RunResult r = runvallisynth({"f?", "c?", "o?", "--INDLIST=1-4"}, dir.path().string());
  EXPECT_EQ(r.exitcode, 0);
  EXPECT_EQ(r.out, "o1\no2\nError: could not open f2.\no3\nError: could not create o3.\no4\n");
  EXPECT_TRUE(iscompletewav(dir.file("o1"), kSamples));
  EXPECT_FALSE(fs::exists(dir.file("o2")));
  EXPECT_TRUE(fs::is_directory(dir.file("o3")));
  EXPECT_TRUE(iscompletewav(dir.file("o4"), kSamples));
}

}  // namespace
}  // namespace vallisynth::test
