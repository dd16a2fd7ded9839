// The C interface: the C++ interface's calls with their exceptions turned
// into result codes.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

struct vallisynth_noise {
  vallisynth::NoiseSource source;
};

struct vallisynth_synth {
  std::optional<vallisynth::Synthesizer> synth;
};

namespace {

using vallisynth::Error;

vallisynth::Options tooptions(const vallisynth_options* c) {
  vallisynth::Options o;
  if (c == nullptr) {
    return o;
  }
  o.sample_rate = c->sample_rate;
  if (c->frame_shift != 0) {
    o.frame_shift = c->frame_shift;
  }
  if (c->alpha_set != 0) {
    o.alpha = c->alpha;
  }
  o.gamma = c->gamma;
  o.fv_alpha = c->fv_alpha;
  o.pitch_factor = c->pitch_factor;
  o.pitch_range = c->pitch_range;
  o.duration_factor = c->duration_factor;
  o.vocal_tract_warp = c->vocal_tract_warp;
  o.normalize = c->normalize != 0;
  o.cepstrum_form = static_cast<vallisynth::CepstrumForm>(c->cepstrum_form);
  if (c->c0_limits_set != 0) {
    o.c0_limits = vallisynth::C0Limits{c->c0_lowest, c->c0_highest_voiced};
  }
  if (c->mean_lf0_set != 0) {
    o.mean_lf0 = c->mean_lf0;
  }
  if (c->gain_set != 0) {
    o.gain = c->gain;
  }
  return o;
}

// Runs f, mapping the library's exceptions to result codes.
template <typename F>
int guarded(F&& f) noexcept {
  try {
    f();
    return VALLISYNTH_OK;
  } catch (const Error& e) {
    return static_cast<int>(e.code());
  } catch (const std::bad_alloc&) {
    return VALLISYNTH_ERR_OUT_OF_MEMORY;
  } catch (...) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
}

}  // namespace

extern "C" {

const char* vallisynth_version(void) {
  return VALLISYNTH_VERSION_STRING;
}

const char* vallisynth_strerror(int code) {
  switch (code) {
    case VALLISYNTH_OK:
      return "success";
    case VALLISYNTH_ERR_BAD_ARGUMENT:
      return "an option or argument is out of its range";
    case VALLISYNTH_ERR_DIMENSIONS:
      return "the streams' lengths do not fit together";
    case VALLISYNTH_ERR_TOO_LONG:
      return "more samples than a WAV file holds";
    case VALLISYNTH_ERR_OUT_OF_MEMORY:
      return "not enough memory";
    case VALLISYNTH_ERR_OPEN:
      return "a stream could not be opened or read";
    case VALLISYNTH_ERR_CREATE:
      return "an output file could not be written";
    case VALLISYNTH_ERR_NOT_STREAMABLE:
      return "the options need the whole utterance";
    default:
      return "unknown result code";
  }
}

void vallisynth_options_init(vallisynth_options* options) {
  if (options == nullptr) {
    return;
  }
  std::memset(options, 0, sizeof *options);
  options->sample_rate = 16000;
  options->alpha = vallisynth::default_alpha(16000);
  options->pitch_factor = 1.0;
  options->pitch_range = 1.0;
  options->duration_factor = 1.0;
  options->cepstrum_form = VALLISYNTH_CC_STORED;
}

uint64_t vallisynth_rendered_length(uint64_t frames, const vallisynth_options* options) {
  uint64_t n = 0;
  guarded([&] { n = vallisynth::rendered_length(frames, tooptions(options)); });
  return n;
}

vallisynth_noise* vallisynth_noise_create(void) {
  return new (std::nothrow) vallisynth_noise();
}

void vallisynth_noise_destroy(vallisynth_noise* noise) {
  delete noise;
}

void vallisynth_noise_reset(vallisynth_noise* noise) {
  if (noise != nullptr) {
    noise->source.reset();
  }
}

int vallisynth_noise_skip(vallisynth_noise* noise, uint64_t frames,
                          const vallisynth_options* options) {
  if (noise == nullptr) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  return guarded([&] { noise->source.skip(frames, tooptions(options)); });
}

int vallisynth_noise_equal(const vallisynth_noise* a, const vallisynth_noise* b) {
  return a != nullptr && b != nullptr && a->source == b->source ? 1 : 0;
}

unsigned vallisynth_usable_threads(void) {
  return vallisynth::usable_threads();
}

int vallisynth_render(const double* lf0, size_t frames, const double* cc, size_t cc_count,
                      const double* fv, size_t fv_count, const vallisynth_options* options,
                      vallisynth_noise* noise, double* out, size_t out_capacity,
                      size_t* out_count) {
  if (out_count != nullptr) {
    *out_count = 0;
  }
  if ((lf0 == nullptr && frames != 0) || (cc == nullptr && cc_count != 0) ||
      (fv == nullptr && fv_count != 0) || out == nullptr) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  return guarded([&] {
    const vallisynth::Options o = tooptions(options);
    const std::span<const double> fvs =
        fv == nullptr ? std::span<const double>() : std::span<const double>(fv, fv_count);
    vallisynth::NoiseSource fresh;
    vallisynth::NoiseSource& source = noise == nullptr ? fresh : noise->source;
    const std::size_t n =
        vallisynth::render({lf0, frames}, {cc, cc_count}, fvs, o, source, {out, out_capacity});
    if (out_count != nullptr) {
      *out_count = n;
    }
  });
}

int vallisynth_utterance_stats(const double* lf0, size_t frames, const double* cc, size_t cc_count,
                               const double* fv, size_t fv_count, const vallisynth_options* options,
                               vallisynth_stats* stats) {
  if ((lf0 == nullptr && frames != 0) || (cc == nullptr && cc_count != 0) ||
      (fv == nullptr && fv_count != 0) || stats == nullptr) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  return guarded([&] {
    const vallisynth::UtteranceStats s = vallisynth::utterance_stats(
        {lf0, frames}, {cc, cc_count}, {fv, fv_count}, tooptions(options));
    *stats = {s.c0_limits.lowest, s.c0_limits.highest_voiced, s.mean_lf0, s.voiced, s.nonfinite};
  });
}

int vallisynth_synth_create(uint32_t order, int32_t fv_track, const vallisynth_options* options,
                            vallisynth_noise* noise, vallisynth_synth** synth) {
  if (synth == nullptr) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  *synth = nullptr;
  auto* s = new (std::nothrow) vallisynth_synth();
  if (s == nullptr) {
    return VALLISYNTH_ERR_OUT_OF_MEMORY;
  }
  const int rc = guarded([&] {
    if (noise == nullptr) {
      s->synth.emplace(order, fv_track != 0, tooptions(options));
    } else {
      s->synth.emplace(order, fv_track != 0, tooptions(options), noise->source);
    }
  });
  if (rc != VALLISYNTH_OK) {
    delete s;
    return rc;
  }
  *synth = s;
  return VALLISYNTH_OK;
}

void vallisynth_synth_destroy(vallisynth_synth* synth) {
  delete synth;
}

uint32_t vallisynth_synth_latency(const vallisynth_synth* synth) {
  return synth == nullptr ? 0 : synth->synth->latency();
}

int vallisynth_synth_push(vallisynth_synth* synth, const double* lf0, size_t frames,
                          const double* cc, size_t cc_count, const double* fv, size_t fv_count,
                          double* out, size_t out_capacity, size_t* out_count) {
  if (out_count != nullptr) {
    *out_count = 0;
  }
  if (synth == nullptr || (lf0 == nullptr && frames != 0) || (cc == nullptr && cc_count != 0) ||
      (fv == nullptr && fv_count != 0) || (out == nullptr && out_capacity != 0)) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  return guarded([&] {
    const std::size_t n =
        synth->synth->push({lf0, frames}, {cc, cc_count}, {fv, fv_count}, {out, out_capacity});
    if (out_count != nullptr) {
      *out_count = n;
    }
  });
}

int vallisynth_synth_flush(vallisynth_synth* synth, double* out, size_t out_capacity,
                           size_t* out_count) {
  if (out_count != nullptr) {
    *out_count = 0;
  }
  if (synth == nullptr || (out == nullptr && out_capacity != 0)) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  return guarded([&] {
    const std::size_t n = synth->synth->flush({out, out_capacity});
    if (out_count != nullptr) {
      *out_count = n;
    }
  });
}

int vallisynth_synth_reset(vallisynth_synth* synth, int32_t restart_noise) {
  if (synth == nullptr) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  synth->synth->reset(restart_noise != 0);
  return VALLISYNTH_OK;
}

int vallisynth_to_pcm16(const double* x, size_t count, int16_t* out) {
  if ((x == nullptr || out == nullptr) && count != 0) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  return guarded([&] { vallisynth::to_pcm16({x, count}, {out, count}); });
}

int vallisynth_write_wav(const char* path, const double* x, size_t count, int32_t sample_rate,
                         int32_t normalize) {
  if (path == nullptr || (x == nullptr && count != 0)) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  return guarded([&] { vallisynth::write_wav(path, {x, count}, sample_rate, normalize != 0); });
}

int vallisynth_read_stream(const char* path, double** values, size_t* count) {
  if (path == nullptr || values == nullptr || count == nullptr) {
    return VALLISYNTH_ERR_BAD_ARGUMENT;
  }
  *values = nullptr;
  *count = 0;
  return guarded([&] {
    const std::vector<double> v = vallisynth::read_stream(path);
    auto* p = static_cast<double*>(std::malloc(v.size() * sizeof(double)));
    if (p == nullptr) {
      throw std::bad_alloc();
    }
    std::memcpy(p, v.data(), v.size() * sizeof(double));
    *values = p;
    *count = v.size();
  });
}

void vallisynth_free(void* p) {
  std::free(p);
}

}  // extern "C"
