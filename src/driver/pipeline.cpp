#include "driver/pipeline.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "driver/batch.h"
#include "driver/output.h"
#include "driver/pieces.h"
#include "driver/statistics.h"
#include "driver/utterance.h"
#include "params/indexlist.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

namespace {

// Where this run's messages go: standard error when the WAV file itself goes
// to standard output, so that the audio stream stays clean.
std::FILE* messages(const DecoderOptions& opts) {
  return is_stdout(opts.fileout) ? stderr : stdout;
}

// The library's options for the command line's values, which are already
// limited; the frame shift includes FDUR.
Options api_options(const DecoderOptions& opts) {
  Options o;
  o.sample_rate = static_cast<int>(opts.fs);
  o.frame_shift = opts.frameshift;
  o.alpha = opts.alpha;
  o.vocal_tract_warp = opts.fwarp;
  o.gamma = opts.gamma;
  o.fv_alpha = opts.fvalpha;
  o.pitch_factor = opts.fpitch;
  o.pitch_range = opts.fvpitch;
  o.normalize = opts.wavnorm == 1;
  o.cepstrum_form = opts.ccform == 1 ? CepstrumForm::sptk : CepstrumForm::stored;
  o.threads = static_cast<unsigned>(opts.threads);
  return o;
}

// The utterance's decoding; its failures are reported on msg here, or
// thrown as the library's Error for decode_utterance to report.
Outcome decode(const DecoderOptions& opts, NoiseSource& noise, std::FILE* msg,
               const OutputTurn& turn) {
  if (output_is_input(opts, msg)) {
    return Outcome::kFailed;
  }
  Utterance u;
  if (!open_utterance(opts, u, msg)) {
    return Outcome::kFailed;
  }
  const std::size_t nframes = u.lf0.size();
  Options options = api_options(opts);
  const std::uint32_t shift = synthesis_frame_shift(options);
  const std::size_t m = std::min(piece_size(shift, options.threads), nframes);
  // Several threads render the next piece while the last is written.
  const bool overlap = options.threads != 1 && nframes > m;
  const std::size_t outsize = (overlap ? 2u : 1u) * (m * shift + shift + 1u);
  // Work buffers, written before they are read: left uninitialised.
  Buffer rows;
  Buffer fvs;
  Buffer out;
  try {
    rows.allocate(m * u.p);
    fvs.allocate(u.hasfv ? m : 0);
  } catch (const std::bad_alloc&) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return Outcome::kFailed;
  }
  const std::optional<UtteranceStats> stats =
      scan_statistics(opts, u, options, rows.span(), fvs.span(), msg);
  if (!stats) {
    return Outcome::kFailed;
  }
  const std::uint64_t xlen = rendered_length(nframes, options);
  if (xlen > max_wav_samples) {
    std::fprintf(msg, "Error: %s would give %" PRIu64 " samples, more than a WAV file holds.\n",
                 opts.filef0, xlen);
    return Outcome::kFailed;
  }
  options.c0_limits = stats->c0_limits;
  // Without voiced frames (a NaN mean) nothing is scaled around the mean.
  options.mean_lf0 = std::isnan(stats->mean_lf0) ? 0.0 : stats->mean_lf0;
  const bool normalise = options.normalize;
  options.normalize = false;
  // The decoder is made (its work areas checked against the memory the
  // process may have) before any output exists.
  std::optional<Synthesizer> synth;
  try {
    if (normalise &&
        !peak_gain(opts, u, options, noise, rows.span(), fvs.span(), out, outsize, msg)) {
      return Outcome::kFailed;
    }
    synth.emplace(u.order, u.hasfv, options, noise);
    out.allocate(outsize);
  } catch (const std::bad_alloc&) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return Outcome::kFailed;
  } catch (const Error& e) {
    if (e.code() == Errc::out_of_memory) {
      std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    } else {
      std::fprintf(msg, "Error: %s: %s.\n", opts.filef0, e.what());
    }
    return Outcome::kFailed;
  }
  const NoiseSource start = noise;
  bool changed = false;  // a stream ended early
  int reason = 0;
  const Outcome outcome = write_output(
      opts.fileout, xlen, options.sample_rate, turn, reason, [&](const SampleSink& sink) {
        changed = !render_pieces(u, *synth, rows.span(), fvs.span(), out.span(), overlap, sink);
        return !changed;
      });
  if (outcome == Outcome::kFailed) {
    if (reason != 0) {
      std::fprintf(msg, "Error: could not create %s: %s.\n", opts.fileout, std::strerror(reason));
    } else {
      std::fprintf(msg, "Error: could not create %s.\n", opts.fileout);
    }
    // An utterance that got this far is synthesised whether or not its file
    // can be written: the next one starts past every frame's noise phases,
    // however many pieces were rendered before the write failed (which
    // depends on the thread count). One whose streams changed under us was
    // never read whole, and draws nothing.
    noise = start;
    if (!changed) {
      noise.skip(nframes, options);
    }
  }
  return outcome;
}

}  // namespace

Outcome decode_utterance(const DecoderOptions& opts, NoiseSource& noise, std::FILE* msg,
                         const OutputTurn& turn) {
  try {
    return decode(opts, noise, msg, turn);
  } catch (const Error& e) {
    // Options the command line would have refused (the library's checks).
    std::fprintf(msg, "Error: %s: %s.\n", opts.filef0, e.what());
    return Outcome::kFailed;
  } catch (const std::bad_alloc&) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return Outcome::kFailed;
  }
}

int decode_all(const DecoderOptions& opts, NoiseSource& noise) {
  std::FILE* const msg = messages(opts);
  if (opts.indlist == nullptr) {
    const Outcome outcome = decode_utterance(opts, noise, msg, OutputTurn{});
    std::fflush(msg);
    return outcome == Outcome::kWritten ? 0 : 1;
  }
  // The names as typed, for messages: the run rewrites their index fields.
  const UtteranceFiles typed = UtteranceFiles::of(opts);
  const std::pair<char*, const std::string*> names[] = {{opts.filef0, &typed.lf0},
                                                        {opts.filecc, &typed.cc},
                                                        {opts.filefv, &typed.fv},
                                                        {opts.fileout, &typed.output}};
  const unsigned cores = opts.threads == 0 ? usable_threads() : static_cast<unsigned>(opts.threads);
  Batch batch(noise, msg, std::min(cores, kTemporarySlots));
  for (const char* cursor = opts.indlist; cursor != nullptr; cursor = next_interval(cursor)) {
    const std::uint32_t first = interval_start(cursor);
    const std::uint32_t last = interval_end(cursor, first);
    // A 64-bit counter cannot wrap, even when last is the largest index.
    for (std::uint64_t i = first; i <= last; ++i) {
      const auto index = static_cast<std::uint32_t>(i);
      // The indices only grow: once one has more digits than a name's
      // field, so has every later one, and the batch ends here. A name
      // that keeps an earlier index would overwrite an earlier output or
      // decode stale input.
      for (const auto& [name, as_typed] : names) {
        if (name != nullptr && write_file_index(name, index) != 0) {
          batch.finish();
          std::fprintf(msg, "Error: indices from %" PRIu32 " on do not fit the file name %s.\n",
                       index, as_typed->c_str());
          std::fflush(msg);
          return 1;
        }
      }
      batch.add(opts);
    }
  }
  return batch.finish();
}

}  // namespace vallisynth
