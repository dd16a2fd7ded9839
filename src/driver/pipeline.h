// The decoding loop: one utterance, or one per index of the index list, each
// read, conditioned, synthesised and written before the next.
#ifndef VALLISYNTH_DRIVER_PIPELINE_H_
#define VALLISYNTH_DRIVER_PIPELINE_H_

#include <cstdint>

#include "driver/commandline.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// Decodes every utterance of the run, printing progress and per-utterance
// errors on standard output (on standard error when the output is "-",
// standard output). The noise phases run on from one utterance to the next.
// A failing utterance never stops the next one; a batch whose indices
// outgrow a file name's field ends there. Returns 0 when every utterance was
// written, 1 when any was not.
int decodeall(const DecoderOptions& opts, NoiseSource& noise);

// Decodes the utterance named by opts' file names as they stand now. Returns
// true when its WAV file was written.
bool decodeutterance(const DecoderOptions& opts, NoiseSource& noise);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_PIPELINE_H_
