#include "driver/analysecommand.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver/analysebatch.h"
#include "io/outputfile.h"
#include "io/paramfile.h"
#include "vallisynth/analysis.hpp"

namespace vallisynth {

namespace {

constexpr std::size_t kBlock = 1 << 15;  // samples read and analysed at a time

using Arguments = AnalyseArguments;

void usage() {
  std::fputs(
      "\n"
      "  vallisynth-analyse: a recording in, the decoder's streams out\n"
      "  (prefix.lf0, prefix.cc, prefix.fv: headerless float32 per frame).\n"
      "\n"
      "  Usage:\n"
      "   vallisynth-analyse input prefix [params]\n"
      "   vallisynth-analyse input... --OUTDIR=dir [batch params] [params]\n"
      "\n"
      "  Arguments:\n"
      "   input: WAV (any sample format), FLAC, AIFF or Ogg file; - reads standard input\n"
      "   prefix: path and name of the three output files\n"
      "\n"
      "  Optional parameters and default values:\n"
      "   --FS=rate      Analyse at this rate (Hz, 8000...48000), resampling if needed;\n"
      "                  default: the file's own rate\n"
      "   --LFRAME=n     Frame shift (samples); default: 5 ms at the rate\n"
      "   --ORDER=24     Cepstral order [0...200]\n"
      "   --ALPHA=x      All-pass constant [-1...1]; default: the rate's (0.42 at 16 kHz)\n"
      "   --F0MIN=50     Lowest f0 searched (Hz) [40...1000]\n"
      "   --F0MAX=800    Highest f0 searched (Hz) [40...1000]\n"
      "   --CCFORM=0     Cepstral form: 0 stored, 1 SPTK's\n"
      "   --CHANNEL=0    Channel analysed: 0 mixes all down to mono, n picks channel n\n"
      "\n"
      "  Batch parameters (any of them makes a batch; outputs beside each input\n"
      "  unless --OUTDIR is given):\n"
      "   --LIST=file    Also analyse the files listed, one a line (- reads standard input)\n"
      "   --OUTDIR=dir   Write each input's streams under dir at its relative path\n"
      "   --THREADS=1    Files analysed at once (0: every usable core); same outputs\n"
      "   --FORCE=0      1 redoes files whose outputs are newer than the input\n"
      "   --MANIFEST=f   Write a table of the files (TSV), reused when resuming\n"
      "   --SHARD=i/n    Only every n-th file from the i-th (0 <= i < n)\n"
      "\n",
      stdout);
}

int usage_error(const char* why) {
  std::printf("Incorrect input arguments: %s.\n", why);
  std::fputs("Help: vallisynth-analyse (without arguments)\n", stdout);
  return 255;
}

bool parse_number(const char* text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0 && std::isfinite(value);
}

}  // namespace

AnalysisOptions analysis_options_of(const AnalyseArguments& a, int sample_rate) {
  AnalysisOptions o;
  o.sample_rate = sample_rate;
  o.frame_shift = a.frame_shift;
  o.order = a.order;
  o.alpha = a.alpha;
  o.f0_min = a.f0_min;
  o.f0_max = a.f0_max;
  o.cepstrum_form = a.ccform == 1 ? CepstrumForm::sptk : CepstrumForm::stored;
  return o;
}

std::string parse_analyse_option(const std::string& arg, AnalyseArguments& a) {
  const std::size_t eq = arg.find('=');
  if (eq == std::string::npos) {
    return "unknown parameter " + arg;
  }
  const std::string name = arg.substr(2, eq - 2);
  double v = 0.0;
  if (!parse_number(arg.c_str() + eq + 1, v)) {
    return "--" + name + " needs a number, not '" + arg.substr(eq + 1) + "'";
  }
  const bool whole = v == std::floor(v);
  if (name == "FS" && whole && v >= 8000 && v <= 48000) {
    a.fs = static_cast<int>(v);
  } else if (name == "LFRAME" && whole && v >= 1 && v <= 4800) {
    a.frame_shift = static_cast<std::uint32_t>(v);
  } else if (name == "ORDER" && whole && v >= 0 && v <= 200) {
    a.order = static_cast<std::uint32_t>(v);
  } else if (name == "ALPHA" && std::fabs(v) < 1.0) {
    a.alpha = v;
  } else if (name == "F0MIN" && v >= 40 && v <= 1000) {
    a.f0_min = v;
  } else if (name == "F0MAX" && v >= 40 && v <= 1000) {
    a.f0_max = v;
  } else if (name == "CCFORM" && (v == 0 || v == 1)) {
    a.ccform = static_cast<int>(v);
  } else if (name == "CHANNEL" && whole && v >= 0 && v <= 1024) {
    a.channel = static_cast<int>(v);
  } else if (name == "FS" || name == "LFRAME" || name == "ORDER" || name == "ALPHA" ||
             name == "F0MIN" || name == "F0MAX" || name == "CCFORM" || name == "CHANNEL") {
    return arg + " is out of its range (see the help)";
  } else {
    return "unknown parameter " + arg;
  }
  return "";
}

namespace {

// Reads the arguments; returns "" or why they are wrong.
std::string parse(int argc, char** argv, Arguments& a) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      files.push_back(arg);
      continue;
    }
    if (std::string why = parse_analyse_option(arg, a); !why.empty()) {
      return why;
    }
  }
  if (files.size() != 2) {
    return "an input and an output prefix are needed";
  }
  if (a.f0_min >= a.f0_max) {
    return "F0MIN must lie below F0MAX";
  }
  a.input = files[0];
  a.prefix = files[1];
  return "";
}

std::string quoted(const std::string& s) {
  bool plain = !s.empty();
  for (char c : s) {
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("._/-+=", c));
  }
  if (plain) {
    return s;
  }
  std::string q = "'";
  for (char c : s) {
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return q + "'";
}

struct Outputs {
  OutputFile lf0, cc, fv;
  std::string names[3];
};

int analyse_file(const Arguments& a) {
  AudioReader reader(a.input, a.fs, a.channel);
  if (reader.channels() > 1 && a.channel == 0) {
    std::printf(
        "Warning: %s has %d channels: analysed mixed down to mono (--CHANNEL=n picks one).\n",
        a.input.c_str(), reader.channels());
  }
  const AnalysisOptions o = analysis_options_of(a, reader.sample_rate());
  Analyser analyser(o);

  Outputs out;
  OutputFile* files[3] = {&out.lf0, &out.cc, &out.fv};
  const char* suffixes[3] = {".lf0", ".cc", ".fv"};
  for (int i = 0; i < 3; ++i) {
    out.names[i] = a.prefix + suffixes[i];
    if (same_file(out.names[i].c_str(), a.input.c_str())) {
      std::printf("Error: the output %s is the input %s.\n", out.names[i].c_str(), a.input.c_str());
      return 1;
    }
    if (!files[i]->open(out.names[i].c_str())) {
      std::printf("Error: could not create %s: %s.\n", out.names[i].c_str(), std::strerror(errno));
      return 1;
    }
  }
  std::vector<double> samples(kBlock);
  const std::size_t cap = analyser.max_frames(kBlock);
  std::vector<double> lf0(cap), fv(cap), cc(cap * (a.order + 1u));
  std::uint64_t frames = 0, voiced = 0, read = 0;
  auto keep = [&](std::size_t n) {
    frames += n;
    for (std::size_t k = 0; k < n; ++k) {
      voiced += lf0[k] > -1e9 ? 1u : 0u;
    }
    bool ok = write_floats_le(out.lf0.stream(), lf0.data(), n) &&
              write_floats_le(out.cc.stream(), cc.data(), n * (a.order + 1u)) &&
              write_floats_le(out.fv.stream(), fv.data(), n);
    return ok;
  };
  bool ok = true;
  for (std::size_t n; ok && (n = reader.read(samples)) > 0;) {
    read += n;
    ok = keep(analyser.push(std::span<const double>(samples.data(), n), lf0, cc, fv));
  }
  ok = ok && keep(analyser.flush(lf0, cc, fv));
  if (!ok) {
    std::printf("Error: could not write %s.*: %s.\n", a.prefix.c_str(), std::strerror(errno));
    return 1;
  }
  if (frames == 0) {
    std::printf(
        "Error: %s is too short: %llu samples at %d Hz give no frame (at least %u are "
        "needed).\n",
        a.input.c_str(), static_cast<unsigned long long>(read), o.sample_rate,
        analyser.frame_shift() * 3 / 2 + 1);
    return 1;
  }
  for (int i = 0; i < 3; ++i) {
    if (!files[i]->commit()) {
      std::printf("Error: could not write %s: %s.\n", out.names[i].c_str(), std::strerror(errno));
      return 1;
    }
  }
  std::string wav = a.prefix + ".wav";
  if (same_file(wav.c_str(), a.input.c_str())) {
    wav = a.prefix + "-resynth.wav";
  }
  std::string cmd = "vallisynth " + quoted(out.names[0]) + " " + quoted(out.names[1]) + " " +
                    quoted(out.names[2]) + " " + quoted(wav);
  if (o.sample_rate != 16000) {
    cmd += " --FS=" + std::to_string(o.sample_rate);
  }
  if (a.frame_shift) {
    cmd += " --LFRAME=" + std::to_string(*a.frame_shift);
  }
  if (a.alpha) {
    char buf[48];
    std::snprintf(buf, sizeof buf, " --ALPHA=%.17g", *a.alpha);
    cmd += buf;
  }
  if (a.ccform == 1) {
    cmd += " --CCFORM=1";
  }
  std::printf("%s\n", cmd.c_str());
  return 0;
}

}  // namespace

int analyse_main(int argc, char** argv) {
  if (argc <= 1) {
    usage();
    return 0;
  }
  if (is_analyse_batch(argc, argv)) {
    return analyse_batch_main(argc, argv);
  }
  Arguments a;
  const std::string why = parse(argc, argv, a);
  if (!why.empty()) {
    return usage_error(why.c_str());
  }
  try {
    return analyse_file(a);
  } catch (const Error& e) {
    // The reasons libsndfile gives end with a full stop of their own.
    const std::string what = e.what();
    std::printf("Error: %s%s\n", what.c_str(), !what.empty() && what.back() == '.' ? "" : ".");
    return 1;
  } catch (const std::bad_alloc&) {
    std::printf("Error: not enough memory to analyse %s.\n", a.input.c_str());
    return 1;
  }
}

}  // namespace vallisynth
