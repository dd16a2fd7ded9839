// The utterance-wide values the command line works out before it writes a
// sample: a first pass over the streams for the c0 range, the mean log-f0
// and the frames that are not finite, and, for a normalised output, the
// peak of a first rendering.
#ifndef VALLISYNTH_DRIVER_STATISTICS_H_
#define VALLISYNTH_DRIVER_STATISTICS_H_

#include <cstdio>
#include <optional>
#include <span>

#include "driver/commandline.h"
#include "driver/pieces.h"
#include "driver/utterance.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// Reads the utterance's streams once, rows.size() / u.p frames at a time
// through rows and fvs, for its statistics; warns on msg of frames that are
// not finite. Unset, after printing why, when a stream ended early.
std::optional<UtteranceStats> scan_statistics(const DecoderOptions& opts, Utterance& u,
                                              const Options& options, std::span<double> rows,
                                              std::span<double> fvs, std::FILE* msg);

// Sets options.gain so that the utterance's peak becomes 0.99 of full scale,
// as the WAV writer's normalisation would (left unset for silence). The peak
// needs every sample before the first is written: the utterance is rendered
// once from a copy of noise (the phases are a fixed sequence, so the second
// rendering repeats the first exactly), into out, allocated to outsize.
// False, after printing why, when a stream ended early. Throws as the
// Synthesizer does (Error, std::bad_alloc).
bool peak_gain(const DecoderOptions& opts, Utterance& u, Options& options, const NoiseSource& noise,
               std::span<double> rows, std::span<double> fvs, Buffer& out, std::size_t outsize,
               std::FILE* msg);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_STATISTICS_H_
