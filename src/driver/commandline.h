// The command line: positional file names, then named parameters
// (--NAME=value), their defaults and limits, and the values derived from
// them once before the first utterance.
#ifndef VALLISYNTH_DRIVER_COMMANDLINE_H_
#define VALLISYNTH_DRIVER_COMMANDLINE_H_

#include <cstdint>

#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// Default frame shift in samples (5 ms at 16 kHz).
inline constexpr std::uint32_t kDefaultFrameShift = 80;
// Largest frame shift: a one-frame utterance, 2 L + 1 samples, must still
// fit a WAV file.
inline constexpr std::uint32_t kMaxFrameShift = 1073741814u;

// Everything a run needs; fixed once the command line has been read. The
// file names point into the argument vector itself, because an index-list
// run rewrites their index fields in place.
struct DecoderOptions {
  char* filef0 = nullptr;
  char* filecc = nullptr;
  char* filefv = nullptr;  // null: no fv track
  char* fileout = nullptr;
  std::uint32_t frameshift = kDefaultFrameShift;  // LFRAME x FDUR
  double alpha = 0.42;                            // ALPHA as given (or the rate's default)
  double fwarp = 0.0;                             // FWARP, limited
  double gamma = 0.0;
  double fvalpha = 0.0;
  double fpitch = 1.0;
  double fvpitch = 1.0;
  std::int8_t wavnorm = 0;
  const char* indlist = nullptr;           // null: one utterance
  std::uint32_t fs = default_sample_rate;  // sampling rate, Hz
  int ccform = 0;                          // 0: stored cepstra, 1: SPTK's form
  int threads = 0;                         // 0: every usable core
  long long lframe = kDefaultFrameShift;   // LFRAME as given, before 32 bits
  long long badnumber = 0;                 // FS, CCFORM or THREADS refused, as given
  const char* badoption = nullptr;         // kBadValue: the option's name
  double badvalue = 0.0;                   // and its value
};

enum class CommandLineResult {
  kHelp,             // no arguments: print the help screen
  kUsageError,       // wrong shape, unread or malformed parameters
  kBadIndexList,     // INDLIST given but malformed
  kBadFrameShift,    // LFRAME outside 1..2^32-1, or LFRAME x FDUR outside 1..kMaxFrameShift
  kBadValue,         // ALPHA or FVALPHA not finite or not inside (-1, 1), GAMMA not finite
  kBadSampleRate,    // FS outside min_sample_rate..max_sample_rate
  kBadCepstrumForm,  // CCFORM neither 0 nor 1
  kBadThreads,       // THREADS outside 0..1024
  kDecode,           // opts is ready for the decoding loop
};

// Reads argv into opts without printing; marks consumed named parameters.
CommandLineResult read_command_line(int argc, char** argv, DecoderOptions& opts);

// Prints the help screen. Returns 0.
int print_help();

// Prints the usage error. Returns 0.
int argcerror();

// The program: reads the command line, reports its errors, and runs the
// decoding loop. Returns 0 when every utterance was written, 1 when one was
// not or standard output could not be written, -1 on a command-line error.
int vallisynth_main(int argc, char** argv);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_COMMANDLINE_H_
