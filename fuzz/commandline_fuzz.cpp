// The command-line reader on arbitrary argument vectors: the input's
// NUL-separated pieces are the arguments, the program name first. The
// reader must stay inside the argument strings, may change nothing but an
// option's first character (to the read mark), and must hand over options
// within their limits.

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/commandline.h"
#include "fuzzsupport.h"
#include "params/indexlist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vallisynth::CommandLineResult;
  std::vector<std::string> before(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != 0) {
      before.back() += static_cast<char>(data[i]);
    } else if (before.size() < 40) {
      before.emplace_back();
    }
  }
  // Every argument in a heap block of exactly its length plus the NUL.
  std::vector<std::unique_ptr<char[]>> blocks;
  std::vector<char*> argv;
  for (const std::string& a : before) {
    blocks.emplace_back(new char[a.size() + 1]);
    argv.push_back(std::strcpy(blocks.back().get(), a.c_str()));
  }
  argv.push_back(nullptr);
  const int argc = static_cast<int>(before.size());
  vallisynth::DecoderOptions opts;
  const CommandLineResult result = vallisynth::read_command_line(argc, argv.data(), opts);

  for (std::size_t i = 0; i < before.size(); ++i) {
    std::string after(argv[i], before[i].size() + 1);
    if (before[i].starts_with('-') && after[0] == '*') {
      after[0] = '-';
    }
    FUZZ_CHECK(after == before[i] + '\0');
  }
  FUZZ_CHECK(result != CommandLineResult::kHelp || argc <= 1);
  if (result != CommandLineResult::kDecode) {
    return 0;
  }
  FUZZ_CHECK(argc >= 4 && opts.filef0 == argv[1] && opts.filecc == argv[2]);
  FUZZ_CHECK(opts.filefv == nullptr ? opts.fileout == argv[3]
                                    : opts.filefv == argv[3] && opts.fileout == argv[4]);
  FUZZ_CHECK(opts.frameshift >= 1 && opts.frameshift <= vallisynth::kMaxFrameShift);
  FUZZ_CHECK(opts.fpitch >= 0.25 && opts.fpitch <= 4.0 && opts.fvpitch >= 0.0 &&
             opts.fvpitch <= 4.0);
  // An index list lies inside one of the arguments and is valid.
  bool inside = opts.indlist == nullptr;
  for (std::size_t i = 0; i < before.size(); ++i) {
    inside = inside || (std::less_equal<>()(argv[i], opts.indlist) &&
                        std::less<>()(opts.indlist, argv[i] + before[i].size() + 1));
  }
  FUZZ_CHECK(inside &&
             (opts.indlist == nullptr || vallisynth::check_index_list(opts.indlist) == 0));
  return 0;
}
