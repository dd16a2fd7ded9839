// One utterance as the command line reads it: its file names, and its
// streams opened and checked, the cepstra and fv read a piece at a time.
#ifndef VALLISYNTH_DRIVER_UTTERANCE_H_
#define VALLISYNTH_DRIVER_UTTERANCE_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/commandline.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// True for "-", the name of standard input or output.
inline bool is_stdout(const char* name) {
  return name != nullptr && std::strcmp(name, "-") == 0;
}

// The file names of one utterance, held as strings: a batch rewrites the
// index fields of the names it was given for each utterance.
struct UtteranceFiles {
  std::string lf0;
  std::string cc;
  std::string fv;  // empty: no fv stream
  std::string output;

  // The names opts points to now.
  static UtteranceFiles of(const DecoderOptions& opts);
  // Points opts' names at these strings (fv stays null without one).
  void point(DecoderOptions& opts);
  // The streams, then the output.
  std::array<const std::string*, 4> all() const {
    return {&lf0, &cc, &fv, &output};
  }
};

// A parameter stream of the utterance. A regular file is read in pieces,
// in as many passes as the options need, so that memory does not grow with
// the utterance; a pipe, which can be read only once, is kept in memory.
class Input {
 public:
  // Opens path; prints why it failed (as an error when the stream is
  // required, else as a warning) and returns false when it yields nothing.
  bool open(const char* path, std::FILE* msg, const char* severity) {
    try {
      file_.emplace(path);
      if (file_->size()) {
        count_ = *file_->size();
      } else {
        memory_ = file_->read_all();
        file_.reset();
        count_ = memory_.size();
      }
    } catch (const Error& e) {
      std::fprintf(msg,
                   e.code() == Errc::out_of_memory ? "%s: not enough memory to read %s.\n"
                                                   : "%s: could not open %s.\n",
                   severity, path);
      return false;
    }
    if (count_ == 0) {
      std::fprintf(msg, "%s: could not open %s.\n", severity, path);
      return false;
    }
    return true;
  }

  std::uint64_t count() const {
    return count_;
  }

  // The next out.size() values (fewer at the end: the rest is left alone).
  std::size_t read(std::span<double> out) {
    if (file_) {
      return file_->read(out);
    }
    const std::size_t n = std::min<std::size_t>(out.size(), memory_.size() - position_);
    std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(position_), n, out.begin());
    position_ += n;
    return n;
  }

  // Back to the first value for another pass.
  bool rewind() {
    position_ = 0;
    return !file_ || file_->rewind();
  }

 private:
  std::optional<StreamReader> file_;
  std::vector<double> memory_;
  std::uint64_t count_ = 0;
  std::size_t position_ = 0;
};

// One utterance's streams, read a piece at a time.
struct Utterance {
  std::vector<double> lf0;  // the whole log-f0 track: 8 bytes a frame
  Input cc;
  Input fv;
  bool hasfv = false;
  std::uint32_t order = 0;
  std::size_t p = 1;
};

// Refuses an output that is one of the utterance's inputs: writing it would
// destroy the input. Prints why on msg.
bool output_is_input(const DecoderOptions& opts, std::FILE* msg);

// Opens and checks the utterance's streams, with the messages of each
// failure; false when the utterance cannot be decoded.
bool open_utterance(const DecoderOptions& opts, Utterance& u, std::FILE* msg);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_UTTERANCE_H_
