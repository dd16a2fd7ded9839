// The decoding loop: one utterance, or one per index of the index list, each
// read, conditioned, synthesised and written before the next.
#ifndef VALLISYNTH_DRIVER_PIPELINE_H_
#define VALLISYNTH_DRIVER_PIPELINE_H_

#include <cstdint>

#include "driver/commandline.h"
#include "synthesis/noisesource.h"

namespace vallisynth {

// Decodes every utterance of the run at sampling rate fs, printing progress
// and per-utterance errors on standard output (on standard error when the
// output is "-", standard output). A failing utterance never stops the next
// one; a batch whose indices outgrow a file name's field ends there. Returns
// 0 when every utterance was written, 1 when any was not.
int decodeall(const DecoderOptions& opts, double fs, NoisePhaseSource& rng);

// Decodes the utterance named by opts' file names as they stand now. Returns
// true when its WAV file was written.
bool decodeutterance(const DecoderOptions& opts, double fs, NoisePhaseSource& rng);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_PIPELINE_H_
