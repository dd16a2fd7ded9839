#include "driver/pipeline.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "conditioning/logf0.h"
#include "conditioning/warping.h"
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

// Reads a required stream; prints the error and returns 0 when it yields
// nothing or more values than a count can hold.
std::uint32_t readstream(const char* path, StreamValues& values) {
  const std::uint64_t n = fdoubleread(path, values);
  if (n == 0) {
    std::printf("Error: could not open %s.\n", path);
    return 0;
  }
  if (n > kMaxValues) {
    std::printf("Error: %s holds more than %" PRIu64 " values.\n", path, kMaxValues);
    values = {};
    return 0;
  }
  return static_cast<std::uint32_t>(n);
}

// Reads and conditions the optional fv track; empty when there is none or
// it is unusable (with a warning).
StreamValues readfv(const DecoderOptions& opts, std::uint32_t nframes, double fs) {
  StreamValues fv;
  if (opts.filefv == nullptr) {
    return fv;
  }
  const std::uint64_t n = fdoubleread(opts.filefv, fv);
  if (n == 0) {
    std::printf("Warning: could not open %s.\n", opts.filefv);
    return {};
  }
  if (n < nframes) {
    std::printf("Warning: %s and %s have incompatible dimensions.\n", opts.filef0, opts.filefv);
    return {};
  }
  fv.resize(nframes);  // values beyond the last frame are never used
  if (opts.fvalpha != 0.0) {
    fvoicingunwarp(fv, fs, opts.fvalpha);
  }
  return fv;
}

// Writes the current index into every file name of the run. On failure the
// utterance must be skipped: a name that keeps an earlier index would
// overwrite an earlier output or decode stale input.
bool setindex(const DecoderOptions& opts, std::uint32_t index) {
  char* names[] = {opts.filef0, opts.filecc, opts.filefv, opts.fileout};
  for (char* name : names) {
    if (name != nullptr && replacefileindex(name, index) != 0) {
      std::printf("Error: index %" PRIu32 " does not fit the file name %s.\n", index, name);
      return false;
    }
  }
  return true;
}

// Whether bytes stay below the machine's physical memory.
bool fitsinmemory(std::uint64_t bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pagesize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pagesize <= 0) {
    return true;  // unknown: let the allocation decide
  }
  return bytes / static_cast<std::uint64_t>(pagesize) < static_cast<std::uint64_t>(pages);
}

}  // namespace

void decodeutterance(const DecoderOptions& opts, double fs, NoisePhaseSource& rng) {
  StreamValues f0;
  const std::uint32_t nframes = readstream(opts.filef0, f0);
  if (nframes == 0) {
    return;
  }
  StreamValues cc;
  const std::uint32_t ncc = readstream(opts.filecc, cc);
  if (ncc == 0) {
    return;
  }
  const std::uint32_t rowlen = ncc / nframes;
  if (std::uint64_t{rowlen} * nframes != ncc) {
    std::printf("Error: %s and %s have incompatible dimensions.\n", opts.filef0, opts.filecc);
    return;
  }
  const std::uint32_t order = rowlen - 1u;
  if (opts.ccform == 1) {
    sptk2stored(cc, order, fs);
  }
  invhtsadapteradhoc(cc, order);
  StreamValues fv = readfv(opts, nframes, fs);

  const std::uint64_t xlen = (std::uint64_t{nframes} + 1u) * opts.frameshift + 1u;
  if (xlen > kMaxWavSamples) {
    std::printf("Error: %s would give %" PRIu64 " samples, more than a WAV file holds.\n",
                opts.filef0, xlen);
    return;
  }
  // The output and the synthesis' frame buffers are written in full. Asking
  // for more than the machine has would not fail cleanly: the kernel grants
  // the memory and later kills the process for it.
  const std::uint64_t nfft = getwinlengthceilpot2(2u * opts.frameshift);
  if (!fitsinmemory(xlen * sizeof(double) + 2u * nfft * sizeof(double))) {
    std::printf("Error: not enough memory to decode %s.\n", opts.filef0);
    return;
  }
  const Signal samples = allocatesignal(xlen);
  if (!samples) {
    std::printf("Error: not enough memory to decode %s.\n", opts.filef0);
    return;
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
    std::printf("Error: not enough memory to decode %s.\n", opts.filef0);
    return;
  }
  // The parameters are no longer needed; free them before the writer's own
  // buffer is allocated.
  f0 = {};
  cc = {};
  fv = {};
  if (wavwritem1616(opts.fileout, x, opts.wavnorm, opts.fs) == 0) {
    std::printf("Error: could not create %s.\n", opts.fileout);
  }
}

int decodeall(const DecoderOptions& opts, double fs, NoisePhaseSource& rng) {
  if (opts.indlist == nullptr) {
    decodeutterance(opts, fs, rng);
    std::fflush(stdout);
    return 0;
  }
  for (const char* cursor = opts.indlist; cursor != nullptr; cursor = strnumnextinterv(cursor)) {
    const std::uint32_t first = strnumintervstart(cursor);
    const std::uint32_t last = strnumintervend(cursor, first);
    // A 64-bit counter cannot wrap, even when last is the largest index.
    for (std::uint64_t i = first; i <= last; ++i) {
      const auto index = static_cast<std::uint32_t>(i);
      if (setindex(opts, index)) {
        std::printf("%s\n", opts.fileout);
        decodeutterance(opts, fs, rng);
      }
      std::fflush(stdout);
    }
  }
  return 0;
}

}  // namespace vallisynth
