#include "driver/utterance.h"

#include <sys/stat.h>

#include <cinttypes>
#include <utility>

namespace vallisynth {

namespace {

constexpr std::uint64_t kMaxValues = 0xFFFFFFFFu;  // counts are 32-bit

// True when a and b name the same existing file (same device and inode,
// links followed); "-" matches nothing.
bool same_file(const char* a, const char* b) {
  struct stat sa {};
  struct stat sb {};
  if (a == nullptr || b == nullptr || is_stdout(a) || is_stdout(b) || stat(a, &sa) != 0 ||
      stat(b, &sb) != 0) {
    return false;
  }
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string name_or_empty(const char* name) {
  return name == nullptr ? "" : name;
}

}  // namespace

UtteranceFiles UtteranceFiles::of(const DecoderOptions& opts) {
  return {name_or_empty(opts.filef0), name_or_empty(opts.filecc), name_or_empty(opts.filefv),
          name_or_empty(opts.fileout)};
}

void UtteranceFiles::point(DecoderOptions& opts) {
  opts.filef0 = lf0.data();
  opts.filecc = cc.data();
  opts.filefv = opts.filefv == nullptr ? nullptr : fv.data();
  opts.fileout = output.data();
}

bool output_is_input(const DecoderOptions& opts, std::FILE* msg) {
  for (const char* input : {opts.filef0, opts.filecc, opts.filefv}) {
    if (same_file(opts.fileout, input)) {
      std::fprintf(msg, "Error: the output %s is the input %s.\n", opts.fileout, input);
      return true;
    }
  }
  return false;
}

bool open_utterance(const DecoderOptions& opts, Utterance& u, std::FILE* msg) {
  try {
    u.lf0 = read_stream(opts.filef0);
  } catch (const Error& e) {
    std::fprintf(msg,
                 e.code() == Errc::out_of_memory ? "Error: not enough memory to read %s.\n"
                                                 : "Error: could not open %s.\n",
                 opts.filef0);
    return false;
  }
  if (!u.cc.open(opts.filecc, msg, "Error")) {
    return false;
  }
  for (const auto& [path, n] :
       {std::pair{opts.filef0, std::uint64_t{u.lf0.size()}}, {opts.filecc, u.cc.count()}}) {
    if (n > kMaxValues) {
      std::fprintf(msg, "Error: %s holds more than %" PRIu64 " values.\n", path, kMaxValues);
      return false;
    }
  }
  const std::uint64_t nframes = u.lf0.size();
  if (u.cc.count() % nframes != 0) {
    std::fprintf(msg, "Error: %s and %s have incompatible dimensions.\n", opts.filef0, opts.filecc);
    return false;
  }
  u.p = static_cast<std::size_t>(u.cc.count() / nframes);
  u.order = static_cast<std::uint32_t>(u.p - 1u);
  if (opts.filefv != nullptr && u.fv.open(opts.filefv, msg, "Warning")) {
    u.hasfv = u.fv.count() >= nframes;
    if (!u.hasfv) {
      std::fprintf(msg, "Warning: %s and %s have incompatible dimensions.\n", opts.filef0,
                   opts.filefv);
    }
  }
  return true;
}

}  // namespace vallisynth
