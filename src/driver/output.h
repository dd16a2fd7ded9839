// An utterance's WAV file written as its samples come, in place whole or
// not at all.
#ifndef VALLISYNTH_DRIVER_OUTPUT_H_
#define VALLISYNTH_DRIVER_OUTPUT_H_

#include <cstdint>
#include <functional>
#include <span>

#include "driver/pipeline.h"

namespace vallisynth {

// Receives the final samples of the utterance, piece by piece.
using SampleSink = std::function<void(std::span<const double>)>;

// Writes the WAV file of samples samples at rate (Hz) to name as the samples
// come, so that it appears complete or not at all; a termination signal
// during the write removes the temporary file. render(sink) produces the
// samples and returns false when a stream changed while it was read. Before
// the temporary file replaces the final one, turn.ready (when set) waits for
// the utterance's turn; when it says the samples must be made again, the
// temporary file is removed. On failure, reason receives the system's errno
// (0: none).
Outcome write_output(const char* name, std::uint64_t samples, int rate, const OutputTurn& turn,
                     int& reason, const std::function<bool(const SampleSink&)>& render);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_OUTPUT_H_
