// The decoding loop: one utterance, or one per index of the index list,
// each read, conditioned, synthesised and written in turn (utterances of a
// batch side by side, with the results of one after the other).
#ifndef VALLISYNTH_DRIVER_PIPELINE_H_
#define VALLISYNTH_DRIVER_PIPELINE_H_

#include <cstdint>
#include <cstdio>
#include <functional>

#include "driver/commandline.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// Decodes every utterance of the run, printing progress and per-utterance
// errors on standard output (on standard error when the output is "-",
// standard output). The noise phases run on from one utterance to the next.
// A failing utterance never stops the next one; a batch whose indices
// outgrow a file name's field ends there. Returns 0 when every utterance was
// written, 1 when any was not.
int decode_all(const DecoderOptions& opts, NoiseSource& noise);

enum class Outcome {
  kWritten,  // the WAV file is in place
  kFailed,   // the utterance failed; its messages say why
  kAgain,    // turn.ready asked for the samples to be made again: nothing written
};

// How an utterance's output is put in place.
struct OutputTurn {
  // The cleanup registry's slot for the temporary file.
  unsigned slot = 0;
  // When set, called once the samples are written to the temporary file and
  // before it replaces the final one: it waits for the utterance's turn and
  // returns false when the samples must be made again.
  std::function<bool()> ready;
};

// Decodes the utterance named by opts' file names as they stand now,
// reporting its failures on msg.
Outcome decode_utterance(const DecoderOptions& opts, NoiseSource& noise, std::FILE* msg,
                         const OutputTurn& turn);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_PIPELINE_H_
