#include "driver/commandline.h"

#include <cmath>
#include <cstdio>

#include "conditioning/warping.h"
#include "driver/pipeline.h"
#include "params/indexlist.h"
#include "params/paramparser.h"
#include "synthesis/noisesource.h"

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
std::uint32_t effectiveframeshift(std::uint32_t lframe, double fdur) {
  if (fdur == 1.0) {
    return lframe;
  }
  const double shift = static_cast<double>(lframe) * fdur;  // fdur in [0.25, 4]
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(shift) & 0xFFFFFFFFu);
}

}  // namespace

double defaultalpha(std::uint32_t fs) {
  // All-pass constants that best fit the mel scale at the usual rates.
  struct RateAlpha {
    double rate;
    double alpha;
  };
  constexpr RateAlpha kTable[] = {{8000.0, 0.31},  {10000.0, 0.35}, {12000.0, 0.37},
                                  {16000.0, 0.42}, {22050.0, 0.45}, {32000.0, 0.50},
                                  {44100.0, 0.53}, {48000.0, 0.55}};
  const auto rate = static_cast<double>(fs);
  RateAlpha best = kTable[0];
  for (const RateAlpha& entry : kTable) {
    if (std::fabs(entry.rate - rate) < std::fabs(best.rate - rate)) {
      best = entry;  // on a tie the lower rate stays
    }
  }
  return best.alpha;
}

std::uint32_t defaultframeshift(std::uint32_t fs) {
  return static_cast<std::uint32_t>(std::lround(static_cast<double>(fs) * 0.005));
}

CommandLineResult readcommandline(int argc, char** argv, DecoderOptions& opts) {
  if (argc <= 1) {
    return CommandLineResult::kHelp;
  }
  if (argc < 4) {
    return CommandLineResult::kUsageError;
  }
  int first = 0;
  while (first < argc && isparam(argv[first]) == 0) {
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
  const bool haslframe = searchintparam(nparams, params, "LFRAME", &lframe) == 0;
  const bool hasalpha = searchdoubleparam(nparams, params, "ALPHA", &alpha) == 0;
  searchdoubleparam(nparams, params, "GAMMA", &opts.gamma);
  searchdoubleparam(nparams, params, "FVALPHA", &opts.fvalpha);
  searchdoubleparam(nparams, params, "FPITCH", &opts.fpitch);
  searchdoubleparam(nparams, params, "FVPITCH", &opts.fvpitch);
  searchdoubleparam(nparams, params, "FDUR", &fdur);
  searchdoubleparam(nparams, params, "FWARP", &fwarpmod);
  searchintparam(nparams, params, "WAVNORM", &wavnorm);
  opts.indlist = searchstringparam(nparams, params, "INDLIST");
  int fs = static_cast<int>(kDefaultSampleRate);
  const bool hasfs = searchintparam(nparams, params, "FS", &fs) == 0;
  searchintparam(nparams, params, "CCFORM", &opts.ccform);

  if (opts.indlist != nullptr && strnumdiagnose(opts.indlist) != 0) {
    return CommandLineResult::kBadIndexList;
  }
  if (unreadparams(nparams, params)) {
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

  if (fs < static_cast<int>(kMinSampleRate) || fs > static_cast<int>(kMaxSampleRate)) {
    opts.fs = static_cast<std::uint32_t>(fs);
    return CommandLineResult::kBadSampleRate;
  }
  opts.fs = static_cast<std::uint32_t>(fs);
  if (opts.ccform != 0 && opts.ccform != 1) {
    return CommandLineResult::kBadCepstrumForm;
  }
  // A rate other than the default brings its own frame shift and all-pass
  // constant, unless they are given.
  if (hasfs && fs != static_cast<int>(kDefaultSampleRate)) {
    if (!haslframe) {
      lframe = static_cast<int>(defaultframeshift(opts.fs));
    }
    if (!hasalpha) {
      alpha = defaultalpha(opts.fs);
    }
  }

  fdur = limit(fdur, 1.0, 0.25, 4.0);
  opts.fpitch = limit(opts.fpitch, 1.0, 0.25, 4.0);
  opts.fvpitch = limit(opts.fvpitch, 1.0, 0.0, 4.0);
  fwarpmod = limit(fwarpmod, 0.0, -0.99, 0.99);

  // A negative LFRAME, held unsigned, is a shift of over 2^31 samples and
  // is rejected below with the other unworkable shifts.
  opts.frameshift = effectiveframeshift(static_cast<std::uint32_t>(lframe), fdur);
  opts.alpha = composewarp(alpha, fwarpmod);
  opts.wavnorm = static_cast<std::int8_t>(static_cast<std::uint8_t>(wavnorm & 0xFF));
  if (opts.frameshift == 0 || opts.frameshift > kMaxFrameShift) {
    return CommandLineResult::kBadFrameShift;
  }
  return CommandLineResult::kDecode;
}

int plothelp() {
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

int vallisynthmain(int argc, char** argv) {
  DecoderOptions opts;
  switch (readcommandline(argc, argv, opts)) {
    case CommandLineResult::kHelp:
      plothelp();
      return 0;
    case CommandLineResult::kUsageError:
      argcerror();
      return -1;
    case CommandLineResult::kBadIndexList:
      std::fputs("Error: bad formatted INDLIST.\n", stdout);
      return -1;
    case CommandLineResult::kBadFrameShift:
      std::printf("Error: frame shift of %u samples (LFRAME x FDUR) is outside 1 to %u.\n",
                  opts.frameshift, kMaxFrameShift);
      return -1;
    case CommandLineResult::kBadSampleRate:
      std::printf("Error: sampling rate of %d Hz (FS) is outside %u to %u.\n",
                  static_cast<int>(opts.fs), kMinSampleRate, kMaxSampleRate);
      return -1;
    case CommandLineResult::kBadCepstrumForm:
      std::printf("Error: cepstral form %d (CCFORM) is neither 0 nor 1.\n", opts.ccform);
      return -1;
    case CommandLineResult::kDecode:
      break;
  }
  // The noise phases run on across every utterance of the run.
  NoisePhaseSource rng;
  decodeall(opts, static_cast<double>(opts.fs), rng);
  return 0;
}

}  // namespace vallisynth
