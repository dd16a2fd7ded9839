// The command-line reader on arbitrary argument vectors: the input's
// NUL-separated pieces are the arguments, the program name first. The
// reader must stay inside the argument strings, may change nothing but an
// argument's first character (to the read mark), and must hand over options
// within their limits.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/commandline.h"
#include "fuzzsupport.h"
#include "params/indexlist.h"

namespace {

constexpr std::size_t kMaxArgs = 40;

// True when p points into one of the argument strings.
bool intoargs(const char* p, const std::vector<std::vector<char>>& args) {
  for (const auto& a : args) {
    if (p >= a.data() && p < a.data() + a.size()) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vallisynth::CommandLineResult;

  // Every argument in a heap block of exactly its length plus the NUL.
  std::vector<std::vector<char>> args(1);
  for (std::size_t i = 0; i < size && args.size() <= kMaxArgs; ++i) {
    if (data[i] == 0) {
      args.back().push_back('\0');
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  if (args.size() > kMaxArgs) {
    args.pop_back();
  } else {
    args.back().push_back('\0');
  }
  for (auto& a : args) {
    a.shrink_to_fit();
  }
  const auto before = args;
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());

  vallisynth::DecoderOptions opts;
  const CommandLineResult result = vallisynth::readcommandline(argc, argv.data(), opts);

  for (std::size_t i = 0; i < args.size(); ++i) {
    FUZZ_CHECK(std::memcmp(args[i].data() + 1, before[i].data() + 1, args[i].size() - 1) == 0);
    FUZZ_CHECK(args[i][0] == before[i][0] || (before[i][0] == '-' && args[i][0] == '*'));
  }
  if (result == CommandLineResult::kHelp) {
    FUZZ_CHECK(argc <= 1);
  }
  if (result != CommandLineResult::kDecode) {
    return 0;
  }
  FUZZ_CHECK(argc >= 4);
  FUZZ_CHECK(opts.filef0 == argv[1] && opts.filecc == argv[2]);
  FUZZ_CHECK(opts.fileout == argv[opts.filefv == nullptr ? 3 : 4]);
  FUZZ_CHECK(opts.filefv == nullptr || opts.filefv == argv[3]);
  FUZZ_CHECK(opts.frameshift >= 1 && opts.frameshift <= vallisynth::kMaxFrameShift);
  FUZZ_CHECK(opts.fpitch >= 0.25 && opts.fpitch <= 4.0);
  FUZZ_CHECK(opts.fvpitch >= 0.0 && opts.fvpitch <= 4.0);
  if (opts.indlist != nullptr) {
    FUZZ_CHECK(intoargs(opts.indlist, args));
    FUZZ_CHECK(vallisynth::strnumdiagnose(opts.indlist) == 0);
  }
  return 0;
}
