// The analysis program's command line: arguments, files and messages.
#ifndef VALLISYNTH_DRIVER_ANALYSECOMMAND_H_
#define VALLISYNTH_DRIVER_ANALYSECOMMAND_H_

namespace vallisynth {

// Runs vallisynth-analyse. Returns 0 when the streams were written, 1 when
// an input or output failed, 255 for a usage error.
int analysemain(int argc, char** argv);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_ANALYSECOMMAND_H_
