#include "driver/pipeline.h"

#include <unistd.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "io/hugepages.h"
#include "params/indexlist.h"
#include "vallisynth/vallisynth.hpp"

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

// The library's options for the command line's values, which are already
// limited and composed: the frame shift includes FDUR, alpha includes FWARP.
Options apioptions(const DecoderOptions& opts) {
  Options o;
  o.sample_rate = static_cast<int>(opts.fs);
  o.frame_shift = opts.frameshift;
  o.alpha = opts.alpha;
  o.gamma = opts.gamma;
  o.fv_alpha = opts.fvalpha;
  o.pitch_factor = opts.fpitch;
  o.pitch_range = opts.fvpitch;
  o.normalize = opts.wavnorm == 1;
  o.cepstrum_form = opts.ccform == 1 ? CepstrumForm::sptk : CepstrumForm::stored;
  return o;
}

// Reads a required stream; prints the error and returns false when it
// yields nothing or more values than a count can hold.
bool readstream(const char* path, std::vector<double>& values) {
  try {
    values = read_stream(path);
  } catch (const Error& e) {
    std::printf("Error: could not open %s.\n", path);
    return false;
  }
  if (values.size() > kMaxValues) {
    std::printf("Error: %s holds more than %" PRIu64 " values.\n", path, kMaxValues);
    values = {};
    return false;
  }
  return true;
}

// Reads the optional fv track; empty when there is none or it is unusable
// (with a warning).
std::vector<double> readfv(const DecoderOptions& opts, std::size_t nframes) {
  std::vector<double> fv;
  if (opts.filefv == nullptr) {
    return fv;
  }
  try {
    fv = read_stream(opts.filefv);
  } catch (const Error& e) {
    std::printf("Warning: could not open %s.\n", opts.filefv);
    return {};
  }
  if (fv.size() < nframes) {
    std::printf("Warning: %s and %s have incompatible dimensions.\n", opts.filef0, opts.filefv);
    return {};
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

void decodeutterance(const DecoderOptions& opts, NoiseSource& noise) {
  std::vector<double> f0;
  std::vector<double> cc;
  if (!readstream(opts.filef0, f0) || !readstream(opts.filecc, cc)) {
    return;
  }
  const std::size_t nframes = f0.size();
  if (cc.size() % nframes != 0) {
    std::printf("Error: %s and %s have incompatible dimensions.\n", opts.filef0, opts.filecc);
    return;
  }
  std::vector<double> fv = readfv(opts, nframes);

  const Options options = apioptions(opts);
  const std::uint64_t xlen = rendered_length(nframes, options);
  if (xlen > max_wav_samples) {
    std::printf("Error: %s would give %" PRIu64 " samples, more than a WAV file holds.\n",
                opts.filef0, xlen);
    return;
  }
  // The output and the synthesis' frame buffers are written in full. Asking
  // for more than the machine has would not fail cleanly: the kernel grants
  // the memory and later kills the process for it.
  const std::uint64_t nfft = std::bit_ceil(2u * std::uint64_t{opts.frameshift});
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
  try {
    render(f0, cc, fv, options, noise, x);
  } catch (const Error& e) {
    if (e.code() == Errc::out_of_memory) {
      std::printf("Error: not enough memory to decode %s.\n", opts.filef0);
    } else {
      std::printf("Error: %s: %s.\n", opts.filef0, e.what());
    }
    return;
  }
  // The parameters are no longer needed; free them before the writer's own
  // buffer is allocated.
  f0 = {};
  cc = {};
  fv = {};
  try {
    write_wav(opts.fileout, x, options.sample_rate, false);
  } catch (const Error& e) {
    std::printf("Error: could not create %s.\n", opts.fileout);
  }
}

int decodeall(const DecoderOptions& opts, NoiseSource& noise) {
  if (opts.indlist == nullptr) {
    decodeutterance(opts, noise);
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
        decodeutterance(opts, noise);
      }
      std::fflush(stdout);
    }
  }
  return 0;
}

}  // namespace vallisynth
