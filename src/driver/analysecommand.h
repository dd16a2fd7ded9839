// The analysis program's command line: arguments, files and messages.
#ifndef VALLISYNTH_DRIVER_ANALYSECOMMAND_H_
#define VALLISYNTH_DRIVER_ANALYSECOMMAND_H_

#include <cstdint>
#include <optional>
#include <string>

#include "vallisynth/analysis.hpp"

namespace vallisynth {

// The analysis options as given on the command line (unset: the rate's
// defaults), with the single-file form's input and prefix.
struct AnalyseArguments {
  std::string input, prefix;
  std::optional<int> fs;
  std::optional<std::uint32_t> frame_shift;
  std::uint32_t order = 24;
  std::optional<double> alpha;
  double f0_min = 50.0, f0_max = 800.0;
  int ccform = 0;
  int channel = 0;
};

// Reads one --NAME=value analysis option (--FS, --LFRAME, --ORDER, --ALPHA,
// --F0MIN, --F0MAX, --CCFORM, --CHANNEL) into a. Returns "" or why it is
// wrong (unknown, not a number, out of range).
std::string parse_analyse_option(const std::string& arg, AnalyseArguments& a);

// The library's options for a recording read at sample_rate Hz.
AnalysisOptions analysis_options_of(const AnalyseArguments& a, int sample_rate);

// Runs vallisynth-analyse. Returns 0 when the streams were written, 1 when
// an input or output failed, 255 for a usage error; a batch interrupted by
// a signal returns 128 + its number.
int analyse_main(int argc, char** argv);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_ANALYSECOMMAND_H_
