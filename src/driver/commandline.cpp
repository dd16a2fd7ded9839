#include "driver/commandline.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "driver/cleanup.h"
#include "driver/pipeline.h"
#include "params/indexlist.h"
#include "params/paramparser.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

namespace {

constexpr const char* kVersion = "0.9";

// Clamps v to [lo, hi] unless it is the neutral value; NaN becomes hi.
double limit(double v, double neutral, double lo, double hi) {
  if (v == neutral) {
    return v;
  }
  if (v <= lo) {
    return lo;
  }
  if (v >= hi || std::isnan(v)) {
    return hi;
  }
  return v;
}

// LFRAME x FDUR truncated toward zero, reduced to its low 32 bits.
std::uint32_t effective_frame_shift(std::uint32_t lframe, double fdur) {
  if (fdur == 1.0) {
    return lframe;
  }
  const double shift = static_cast<double>(lframe) * fdur;  // fdur in [0.25, 4]
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(shift) & 0xFFFFFFFFu);
}

// An integer parameter's value as the first usable argument writes it,
// before any reduction to 32 bits: the same conversion as "%d" but wide
// enough to see values beyond an int (values beyond a long long read as its
// limits), so that 2^32 + 8000 is not taken for 8000.
long long wide_int(int count, char** params, const char* name, long long fallback) {
  for (int i = 0; i < count; ++i) {
    const char* val = param_name_matches(params[i], name);
    long long v = 0;
    if (val != nullptr && std::sscanf(val, "%lld", &v) == 1) {
      return v;
    }
  }
  return fallback;
}

// An all-pass constant must be finite and of magnitude below 1.
bool is_allpass(double a) {
  return std::isfinite(a) && std::fabs(a) < 1.0;
}

}  // namespace

CommandLineResult read_command_line(int argc, char** argv, DecoderOptions& opts) {
  if (argc <= 1) {
    return CommandLineResult::kHelp;
  }
  if (argc < 4) {
    return CommandLineResult::kUsageError;
  }
  int first = 0;
  while (first < argc && is_param(argv[first]) == 0) {
    ++first;
  }
  const int nparams = argc - first;
  char** params = argv + first;
  const int npositional = argc - nparams;

  int lframe = static_cast<int>(kDefaultFrameShift);
  double alpha = 0.42;
  double fdur = 1.0;
  double fwarpmod = 0.0;
  int wavnorm = 0;
  opts.lframe = wide_int(nparams, params, "LFRAME", lframe);
  const bool haslframe = search_int_param(nparams, params, "LFRAME", &lframe) == 0;
  const bool hasalpha = search_double_param(nparams, params, "ALPHA", &alpha) == 0;
  search_double_param(nparams, params, "GAMMA", &opts.gamma);
  search_double_param(nparams, params, "FVALPHA", &opts.fvalpha);
  search_double_param(nparams, params, "FPITCH", &opts.fpitch);
  search_double_param(nparams, params, "FVPITCH", &opts.fvpitch);
  search_double_param(nparams, params, "FDUR", &fdur);
  search_double_param(nparams, params, "FWARP", &fwarpmod);
  search_int_param(nparams, params, "WAVNORM", &wavnorm);
  opts.indlist = search_string_param(nparams, params, "INDLIST");
  int fs = default_sample_rate;
  // Read wide before the parameters are marked as read.
  const long long widefs = wide_int(nparams, params, "FS", fs);
  const long long wideccform = wide_int(nparams, params, "CCFORM", opts.ccform);
  const long long widethreads = wide_int(nparams, params, "THREADS", opts.threads);
  const bool hasfs = search_int_param(nparams, params, "FS", &fs) == 0;
  search_int_param(nparams, params, "CCFORM", &opts.ccform);
  search_int_param(nparams, params, "THREADS", &opts.threads);

  if (opts.indlist != nullptr && check_index_list(opts.indlist) != 0) {
    return CommandLineResult::kBadIndexList;
  }
  if (unread_params(nparams, params)) {
    return CommandLineResult::kUsageError;
  }
  if (npositional == 4) {
    opts.filef0 = argv[1];
    opts.filecc = argv[2];
    opts.filefv = nullptr;
    opts.fileout = argv[3];
  } else if (npositional == 5) {
    opts.filef0 = argv[1];
    opts.filecc = argv[2];
    opts.filefv = argv[3];
    opts.fileout = argv[4];
  } else {
    return CommandLineResult::kUsageError;
  }

  if (widefs < min_sample_rate || widefs > max_sample_rate) {
    opts.badnumber = widefs;
    return CommandLineResult::kBadSampleRate;
  }
  opts.fs = static_cast<std::uint32_t>(fs);
  if (wideccform != 0 && wideccform != 1) {
    opts.badnumber = wideccform;
    return CommandLineResult::kBadCepstrumForm;
  }
  if (widethreads < 0 || widethreads > max_threads) {
    opts.badnumber = widethreads;
    return CommandLineResult::kBadThreads;
  }
  // A rate other than the default brings its own frame shift and all-pass
  // constant, unless they are given.
  if (hasfs && fs != default_sample_rate) {
    if (!haslframe) {
      lframe = static_cast<int>(default_frame_shift(fs));
    }
    if (!hasalpha) {
      alpha = default_alpha(fs);
    }
  }
  // Values that cannot be meant: a warping constant at or beyond +-1 and a
  // postfilter strength that is not a number render noise or silence.
  for (const auto& [name, value, ok] :
       {std::tuple{"ALPHA", alpha, is_allpass(alpha)},
        std::tuple{"FVALPHA", opts.fvalpha, is_allpass(opts.fvalpha)},
        std::tuple{"GAMMA", opts.gamma, std::isfinite(opts.gamma)}}) {
    if (!ok) {
      opts.badoption = name;
      opts.badvalue = value;
      return CommandLineResult::kBadValue;
    }
  }
  if (opts.lframe < 1 || opts.lframe > 0xFFFFFFFFll) {
    return CommandLineResult::kBadFrameShift;
  }

  fdur = limit(fdur, 1.0, 0.25, 4.0);
  opts.fpitch = limit(opts.fpitch, 1.0, 0.25, 4.0);
  opts.fvpitch = limit(opts.fvpitch, 1.0, 0.0, 4.0);
  fwarpmod = limit(fwarpmod, 0.0, -0.99, 0.99);

  opts.frameshift = effective_frame_shift(static_cast<std::uint32_t>(lframe), fdur);
  opts.alpha = alpha;
  opts.fwarp = fwarpmod;
  opts.wavnorm = static_cast<std::int8_t>(static_cast<std::uint8_t>(wavnorm & 0xFF));
  if (opts.frameshift == 0 || opts.frameshift > kMaxFrameShift) {
    return CommandLineResult::kBadFrameShift;
  }
  return CommandLineResult::kDecode;
}

int print_help() {
  std::fputs(
      "\n"
      "  +------------------------------------------------------------+\n"
      "  |  Harmonic-plus-noise speech decoder with a mel-cepstral    |\n"
      "  |  envelope: parameter streams in, 16 kHz 16-bit WAV out.    |\n"
      "  +------------------------------------------------------------+\n",
      stdout);
  std::fputs("\n", stdout);
  std::printf("  === VALLISYNTH v%s ===\n", kVersion);
  std::fputs("\n", stdout);
  std::fputs(
      "  Renders log-f0, mel-cepstral and maximum voiced frequency streams\n"
      "  as harmonics plus shaped noise, frame by frame.\n"
      "  Pitch, pitch range, speaking rate and vocal tract can be modified.\n",
      stdout);
  std::fputs(
      "\n"
      "  Usage:\n"
      "   vallisynth filef0 filecc [filefv] fileout [params]\n"
      "\n"
      "  Arguments:\n"
      "   filef0: input file for logf0\n"
      "   filecc: input file for cepstral coeffs.\n"
      "   filefv: optional input file for max. voiced freq.\n"
      "   fileout: output wav file (mono 16kHz 16bits)\n"
      "\n"
      "  Optional parameters and default values:\n",
      stdout);
  std::printf("   --LFRAME=%d     Frame shift (samples)\n", static_cast<int>(kDefaultFrameShift));
  std::fputs(
      "   --FPITCH=1.0    Pitch modification factor [0.25...4]\n"
      "   --FVPITCH=1.0   Log-pitch variance modification factor [0...4]\n"
      "   --FDUR=1.0      Duration modification factor [0.25...4]\n"
      "   --FWARP=0.0     All-pass factor for vocal tract modification [-1...1]\n"
      "   --WAVNORM=0     Adapt wav amplitude to available range\n"
      "\n"
      "\n",
      stdout);
  return 0;
}

int argcerror() {
  std::fputs("Incorrect input arguments.\n", stdout);
  std::fputs("Help: vallisynth (without arguments)\n", stdout);
  std::fputs("\n", stdout);
  return 0;
}

int vallisynth_main(int argc, char** argv) {
  DecoderOptions opts;
  const CommandLineResult result = read_command_line(argc, argv, opts);
  // With the WAV file on standard output, every message goes to standard
  // error.
  std::FILE* const msg =
      opts.fileout != nullptr && std::strcmp(opts.fileout, "-") == 0 ? stderr : stdout;
  switch (result) {
    case CommandLineResult::kHelp:
      print_help();
      return 0;
    case CommandLineResult::kUsageError:
      argcerror();
      return -1;
    case CommandLineResult::kBadIndexList:
      std::fputs("Error: bad formatted INDLIST.\n", stdout);
      return -1;
    case CommandLineResult::kBadFrameShift:
      if (opts.lframe < 1 || opts.lframe > 0xFFFFFFFFll) {
        std::fprintf(msg, "Error: frame shift of %lld samples (LFRAME) is outside 1 to %u.\n",
                     opts.lframe, kMaxFrameShift);
      } else {
        std::fprintf(msg, "Error: frame shift of %u samples (LFRAME x FDUR) is outside 1 to %u.\n",
                     opts.frameshift, kMaxFrameShift);
      }
      return -1;
    case CommandLineResult::kBadValue:
      std::fprintf(msg, "Error: --%s=%g cannot be used: it must be a finite number%s.\n",
                   opts.badoption, opts.badvalue,
                   std::strcmp(opts.badoption, "GAMMA") == 0 ? "" : " between -1 and 1");
      return -1;
    case CommandLineResult::kBadSampleRate:
      std::fprintf(msg, "Error: sampling rate of %lld Hz (FS) is outside %d to %d.\n",
                   opts.badnumber, min_sample_rate, max_sample_rate);
      return -1;
    case CommandLineResult::kBadCepstrumForm:
      std::fprintf(msg, "Error: cepstral form %lld (CCFORM) is neither 0 nor 1.\n", opts.badnumber);
      return -1;
    case CommandLineResult::kBadThreads:
      std::fprintf(msg, "Error: thread count %lld (THREADS) is outside 0 to %u.\n", opts.badnumber,
                   max_threads);
      return -1;
    case CommandLineResult::kDecode:
      break;
  }
  install_cleanup_handlers();
  // The noise phases run on across every utterance of the run.
  NoiseSource noise;
  const int status = decode_all(opts, noise);
  // Messages that could not be written (standard output closed or on a full
  // device) are a failure of the run like any other. With the WAV file on
  // standard output, its failure has been reported already, with its reason.
  const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  const int reason = errno;
  if (!flushed) {
    if (msg == stdout) {
      std::fprintf(stderr, "Error: could not write to standard output%s%s.\n",
                   reason != 0 ? ": " : "", reason != 0 ? std::strerror(reason) : "");
    }
    return 1;
  }
  return status;
}

}  // namespace vallisynth
