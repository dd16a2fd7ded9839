#include "driver/pipeline.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/cleanup.h"
#include "params/indexlist.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

namespace {

constexpr std::uint64_t kMaxValues = 0xFFFFFFFFu;  // counts are 32-bit

bool isstdout(const char* name) {
  return name != nullptr && std::strcmp(name, "-") == 0;
}

// Where this run's messages go: standard error when the WAV file itself goes
// to standard output, so that the audio stream stays clean.
std::FILE* messages(const DecoderOptions& opts) {
  return isstdout(opts.fileout) ? stderr : stdout;
}

// True when a and b name the same existing file (same device and inode,
// links followed); "-" matches nothing.
bool samefile(const char* a, const char* b) {
  struct stat sa {};
  struct stat sb {};
  if (a == nullptr || b == nullptr || isstdout(a) || isstdout(b) || stat(a, &sa) != 0 ||
      stat(b, &sb) != 0) {
    return false;
  }
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The library's options for the command line's values, which are already
// limited; the frame shift includes FDUR.
Options apioptions(const DecoderOptions& opts) {
  Options o;
  o.sample_rate = static_cast<int>(opts.fs);
  o.frame_shift = opts.frameshift;
  o.alpha = opts.alpha;
  o.vocal_tract_warp = opts.fwarp;
  o.gamma = opts.gamma;
  o.fv_alpha = opts.fvalpha;
  o.pitch_factor = opts.fpitch;
  o.pitch_range = opts.fvpitch;
  o.normalize = opts.wavnorm == 1;
  o.cepstrum_form = opts.ccform == 1 ? CepstrumForm::sptk : CepstrumForm::stored;
  return o;
}

// Reads a stream; prints why it failed (as an error when the stream is
// required, else as a warning) and returns false when it yields nothing.
bool readlimited(const char* path, std::vector<double>& values, std::FILE* msg,
                 const char* severity) {
  try {
    values = read_stream(path);
  } catch (const Error& e) {
    std::fprintf(msg,
                 e.code() == Errc::out_of_memory ? "%s: not enough memory to read %s.\n"
                                                 : "%s: could not open %s.\n",
                 severity, path);
    return false;
  }
  return true;
}

// Reads a required stream; prints the error and returns false when it
// yields nothing or more values than a count can hold.
bool readstream(const char* path, std::vector<double>& values, std::FILE* msg) {
  if (!readlimited(path, values, msg, "Error")) {
    return false;
  }
  if (values.size() > kMaxValues) {
    std::fprintf(msg, "Error: %s holds more than %" PRIu64 " values.\n", path, kMaxValues);
    values = {};
    return false;
  }
  return true;
}

// Reads the optional fv track; empty when there is none or it is unusable
// (with a warning).
std::vector<double> readfv(const DecoderOptions& opts, std::size_t nframes, std::FILE* msg) {
  std::vector<double> fv;
  if (opts.filefv == nullptr || !readlimited(opts.filefv, fv, msg, "Warning")) {
    return {};
  }
  if (fv.size() < nframes) {
    std::fprintf(msg, "Warning: %s and %s have incompatible dimensions.\n", opts.filef0,
                 opts.filefv);
    return {};
  }
  fv.resize(nframes);  // values beyond the last frame are never used
  return fv;
}

// Refuses an output that is one of the utterance's inputs: writing it would
// destroy the input.
bool outputisinput(const DecoderOptions& opts, std::FILE* msg) {
  for (const char* input : {opts.filef0, opts.filecc, opts.filefv}) {
    if (samefile(opts.fileout, input)) {
      std::fprintf(msg, "Error: the output %s is the input %s.\n", opts.fileout, input);
      return true;
    }
  }
  return false;
}

// Writes the WAV file so that it appears complete or not at all; a
// termination signal during the write removes the temporary file.
bool writeoutput(const char* name, std::span<const double> x, int rate) {
  std::optional<WavWriter> out;
  try {
    {
      const HeldSignals held;
      out.emplace(name, x.size(), rate);
      registertemporary(out->temporary_path());
    }
    out->write(x);
    const HeldSignals held;
    out->commit();
    registertemporary(nullptr);
    return true;
  } catch (const Error&) {
    const HeldSignals held;
    out.reset();
    registertemporary(nullptr);
    return false;
  }
}

}  // namespace

bool decodeutterance(const DecoderOptions& opts, NoiseSource& noise) {
  std::FILE* const msg = messages(opts);
  if (outputisinput(opts, msg)) {
    return false;
  }
  std::vector<double> f0;
  std::vector<double> cc;
  if (!readstream(opts.filef0, f0, msg) || !readstream(opts.filecc, cc, msg)) {
    return false;
  }
  const std::size_t nframes = f0.size();
  if (cc.size() % nframes != 0) {
    std::fprintf(msg, "Error: %s and %s have incompatible dimensions.\n", opts.filef0, opts.filecc);
    return false;
  }
  std::vector<double> fv = readfv(opts, nframes, msg);
  const Options options = apioptions(opts);
  const std::uint64_t bad = count_nonfinite_frames(f0, cc, fv, options);
  if (bad != 0) {
    std::fprintf(msg, "Warning: %s has %" PRIu64 " frame%s with values that are not finite.\n",
                 opts.filef0, bad, bad == 1 ? "" : "s");
  }

  const std::uint64_t xlen = rendered_length(nframes, options);
  if (xlen > max_wav_samples) {
    std::fprintf(msg, "Error: %s would give %" PRIu64 " samples, more than a WAV file holds.\n",
                 opts.filef0, xlen);
    return false;
  }
  std::vector<double> x;
  try {
    x = render(f0, cc, fv, options, noise);
  } catch (const Error& e) {
    if (e.code() == Errc::out_of_memory) {
      std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    } else {
      std::fprintf(msg, "Error: %s: %s.\n", opts.filef0, e.what());
    }
    return false;
  }
  // The parameters are no longer needed; free them before the output is
  // written.
  f0 = {};
  cc = {};
  fv = {};
  if (!writeoutput(opts.fileout, x, options.sample_rate)) {
    std::fprintf(msg, "Error: could not create %s.\n", opts.fileout);
    return false;
  }
  return true;
}

int decodeall(const DecoderOptions& opts, NoiseSource& noise) {
  std::FILE* const msg = messages(opts);
  if (opts.indlist == nullptr) {
    const bool ok = decodeutterance(opts, noise);
    std::fflush(msg);
    return ok ? 0 : 1;
  }
  // The names as typed, for messages: the run rewrites their index fields.
  char* names[] = {opts.filef0, opts.filecc, opts.filefv, opts.fileout};
  std::string typed[4];
  for (int j = 0; j < 4; ++j) {
    typed[j] = names[j] == nullptr ? "" : names[j];
  }
  int failed = 0;
  for (const char* cursor = opts.indlist; cursor != nullptr; cursor = strnumnextinterv(cursor)) {
    const std::uint32_t first = strnumintervstart(cursor);
    const std::uint32_t last = strnumintervend(cursor, first);
    // A 64-bit counter cannot wrap, even when last is the largest index.
    for (std::uint64_t i = first; i <= last; ++i) {
      const auto index = static_cast<std::uint32_t>(i);
      // The indices only grow: once one has more digits than a name's
      // field, so has every later one, and the batch ends here. A name
      // that keeps an earlier index would overwrite an earlier output or
      // decode stale input.
      for (int j = 0; j < 4; ++j) {
        if (names[j] != nullptr && replacefileindex(names[j], index) != 0) {
          std::fprintf(msg, "Error: indices from %" PRIu32 " on do not fit the file name %s.\n",
                       index, typed[j].c_str());
          std::fflush(msg);
          return 1;
        }
      }
      std::fprintf(msg, "%s\n", opts.fileout);
      failed |= decodeutterance(opts, noise) ? 0 : 1;
      std::fflush(msg);
    }
  }
  return failed;
}

}  // namespace vallisynth
