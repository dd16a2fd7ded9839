#include "driver/pipeline.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "conditioning/finite.h"
#include "conditioning/logf0.h"
#include "conditioning/warping.h"
#include "driver/cleanup.h"
#include "io/memorylimit.h"
#include "io/outputfile.h"
#include "io/paramfile.h"
#include "io/wavwriter.h"
#include "params/indexlist.h"
#include "synthesis/synthesis.h"

namespace vallisynth {

namespace {

constexpr std::uint64_t kMaxValues = 0xFFFFFFFFu;  // counts are 32-bit
struct FreeDeleter {
  void operator()(double* p) const {
    freelarge(p);
  }
};
using Signal = std::unique_ptr<double[], FreeDeleter>;

// The output signal, uninitialised (the synthesis sets every sample), on
// huge pages: a minute of output is thousands of 4 KiB pages. Null when it
// cannot be allocated.
Signal allocatesignal(std::size_t n) {
  return Signal(static_cast<double*>(allocatelarge(n * sizeof(double))));
}

// Where this run's messages go: standard error when the WAV file itself goes
// to standard output, so that the audio stream stays clean.
std::FILE* messages(const DecoderOptions& opts) {
  return isstdoutname(opts.fileout) ? stderr : stdout;
}

// Reads a stream into at most what memory still allows; prints the error
// (as an error when required, else as a warning) and returns 0 when it
// yields nothing.
std::uint64_t readlimited(const char* path, StreamValues& values, const MemoryLimit& limit,
                          std::FILE* msg, const char* severity) {
  ReadFailure why = ReadFailure::kNone;
  const std::uint64_t n = fdoubleread(path, values, &why, memoryheadroom(limit));
  if (n == 0) {
    std::fprintf(msg,
                 why == ReadFailure::kNoMemory ? "%s: not enough memory to read %s.\n"
                                               : "%s: could not open %s.\n",
                 severity, path);
  }
  return n;
}

// Reads a required stream; prints the error and returns 0 when it yields
// nothing or more values than a count can hold.
std::uint32_t readstream(const char* path, StreamValues& values, const MemoryLimit& limit,
                         std::FILE* msg) {
  const std::uint64_t n = readlimited(path, values, limit, msg, "Error");
  if (n == 0) {
    return 0;
  }
  if (n > kMaxValues) {
    std::fprintf(msg, "Error: %s holds more than %" PRIu64 " values.\n", path, kMaxValues);
    values = {};
    return 0;
  }
  return static_cast<std::uint32_t>(n);
}

// Reads and conditions the optional fv track; empty when there is none or
// it is unusable (with a warning).
StreamValues readfv(const DecoderOptions& opts, std::uint32_t nframes, double fs,
                    const MemoryLimit& limit, std::FILE* msg) {
  StreamValues fv;
  if (opts.filefv == nullptr) {
    return fv;
  }
  if (readlimited(opts.filefv, fv, limit, msg, "Warning") == 0) {
    return {};
  }
  if (fv.size() < nframes) {
    std::fprintf(msg, "Warning: %s and %s have incompatible dimensions.\n", opts.filef0,
                 opts.filefv);
    return {};
  }
  fv.resize(nframes);  // values beyond the last frame are never used
  if (opts.fvalpha != 0.0) {
    fvoicingunwarp(fv, fs, opts.fvalpha);
  }
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
bool writeoutput(const char* name, std::span<double> x, std::int8_t wavnorm) {
  OutputFile out;
  bool ok = false;
  {
    const HeldSignals held;
    ok = out.open(name);
    registertemporary(out.temporarypath());
  }
  ok = ok && wavwritem1616stream(out.stream(), x, wavnorm) != 0;
  const HeldSignals held;
  ok = ok && out.commit();
  out.discard();
  registertemporary(nullptr);
  return ok;
}

}  // namespace

bool decodeutterance(const DecoderOptions& opts, double fs, NoisePhaseSource& rng) {
  std::FILE* const msg = messages(opts);
  if (outputisinput(opts, msg)) {
    return false;
  }
  const MemoryLimit limit = memorylimit();
  StreamValues f0;
  const std::uint32_t nframes = readstream(opts.filef0, f0, limit, msg);
  if (nframes == 0) {
    return false;
  }
  StreamValues cc;
  const std::uint32_t ncc = readstream(opts.filecc, cc, limit, msg);
  if (ncc == 0) {
    return false;
  }
  const std::uint32_t rowlen = ncc / nframes;
  if (std::uint64_t{rowlen} * nframes != ncc) {
    std::fprintf(msg, "Error: %s and %s have incompatible dimensions.\n", opts.filef0, opts.filecc);
    return false;
  }
  const std::uint32_t order = rowlen - 1u;
  invhtsadapteradhoc(cc, order);
  StreamValues fv = readfv(opts, nframes, fs, limit, msg);
  const std::uint64_t bad = countnonfiniteframes(f0, cc, rowlen, fv);
  if (bad != 0) {
    std::fprintf(msg, "Warning: %s has %" PRIu64 " frame%s with values that are not finite.\n",
                 opts.filef0, bad, bad == 1 ? "" : "s");
  }

  const std::uint64_t xlen = (std::uint64_t{nframes} + 1u) * opts.frameshift + 1u;
  if (xlen > kMaxWavSamples) {
    std::fprintf(msg, "Error: %s would give %" PRIu64 " samples, more than a WAV file holds.\n",
                 opts.filef0, xlen);
    return false;
  }
  // The output and the synthesis' frame buffers are written in full. Asking
  // for more than the process may have would not fail cleanly: the kernel
  // grants the memory and later kills the process for it, and a container's
  // limit kills it without a word.
  const std::uint64_t nfft = getwinlengthceilpot2(2u * opts.frameshift);
  if (xlen * sizeof(double) + 2u * nfft * sizeof(double) > memoryheadroom(limit)) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return false;
  }
  const Signal samples = allocatesignal(xlen);
  if (!samples) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return false;
  }
  const std::span<double> x(samples.get(), xlen);

  if (opts.fpitch != 1.0) {
    shiftlogpitch(f0, std::log(opts.fpitch));
  }
  if (opts.fvpitch != 1.0) {
    scalelogpitchrange(f0, opts.fvpitch);
  }
  logf02f0(f0);

  if (ccs2waveform(x, fs, opts.frameshift, f0, fv, order, cc, opts.alpha, opts.gamma, rng) != 0) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return false;
  }
  // The parameters are no longer needed; free them before the writer's own
  // buffer is allocated.
  f0 = {};
  cc = {};
  fv = {};
  if (!writeoutput(opts.fileout, x, opts.wavnorm)) {
    std::fprintf(msg, "Error: could not create %s.\n", opts.fileout);
    return false;
  }
  return true;
}

int decodeall(const DecoderOptions& opts, double fs, NoisePhaseSource& rng) {
  std::FILE* const msg = messages(opts);
  if (opts.indlist == nullptr) {
    const bool ok = decodeutterance(opts, fs, rng);
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
      failed |= decodeutterance(opts, fs, rng) ? 0 : 1;
      std::fflush(msg);
    }
  }
  return failed;
}

}  // namespace vallisynth
