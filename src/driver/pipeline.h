// The decoding loop: one utterance, or one per index of the index list, each
// read, conditioned, synthesised and written before the next.
#ifndef VALLISYNTH_DRIVER_PIPELINE_H_
#define VALLISYNTH_DRIVER_PIPELINE_H_

#include <cstdint>

#include "driver/commandline.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// Decodes every utterance of the run, printing progress and per-utterance
// errors on standard output. The noise phases run on from one utterance to
// the next. A failing utterance never stops the next one. Returns 0.
int decodeall(const DecoderOptions& opts, NoiseSource& noise);

// Decodes the utterance named by opts' file names as they stand now.
void decodeutterance(const DecoderOptions& opts, NoiseSource& noise);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_PIPELINE_H_
