// The C interface of the analysis: the C++ calls with their exceptions
// turned into result codes.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "api/cinterface.h"
#include "vallisynth/analysis.hpp"
#include "vallisynth/vallisynth.h"

struct vallisynth_analyser {
  std::optional<vallisynth::Analyser> analyser;
};

namespace {

using vallisynth::c_interface::guarded;
using vallisynth::c_interface::malloc_copy;
using vallisynth::c_interface::null_argument;

// The options a caller's struct holds: fields past its declared size keep
// their defaults.
vallisynth::AnalysisOptions to_options(const vallisynth_analysis_options* c) {
  vallisynth::AnalysisOptions o;
  if (c == nullptr) {
    return o;
  }
  if (c->size < offsetof(vallisynth_analysis_options, cepstrum_form) + sizeof(c->cepstrum_form)) {
    throw vallisynth::Error(vallisynth::Errc::bad_argument,
                            "options.size is " + std::to_string(c->size) +
                                ": set it with vallisynth_analysis_options_init");
  }
  o.sample_rate = c->sample_rate;
  if (c->frame_shift != 0) {
    o.frame_shift = c->frame_shift;
  }
  o.order = c->order;
  if (c->alpha_set != 0) {
    o.alpha = c->alpha;
  }
  o.f0_min = c->f0_min;
  o.f0_max = c->f0_max;
  o.cepstrum_form = static_cast<vallisynth::CepstrumForm>(c->cepstrum_form);
  return o;
}

}  // namespace

extern "C" {

void vallisynth_analysis_options_init_size(vallisynth_analysis_options* options, size_t size) {
  if (options == nullptr) {
    return;
  }
  const vallisynth::AnalysisOptions d;
  vallisynth_analysis_options full{};
  full.size = std::min(size, sizeof full);
  full.sample_rate = d.sample_rate;
  full.order = d.order;
  full.f0_min = d.f0_min;
  full.f0_max = d.f0_max;
  full.cepstrum_form = VALLISYNTH_CC_STORED;
  std::memcpy(static_cast<void*>(options), &full, full.size);
}

int vallisynth_analyse(const double* x, size_t count, const vallisynth_analysis_options* options,
                       double** lf0, double** cc, double** fv, size_t* frames) {
  if ((x == nullptr && count != 0) || lf0 == nullptr || cc == nullptr || fv == nullptr ||
      frames == nullptr) {
    return null_argument("a sample or result array");
  }
  *lf0 = *cc = *fv = nullptr;
  *frames = 0;
  return guarded([&] {
    const vallisynth::Analysis a =
        vallisynth::analyse(std::span<const double>(x, count), to_options(options));
    double* l = malloc_copy(a.lf0);
    double* c = nullptr;
    double* v = nullptr;
    try {
      c = malloc_copy(a.cc);
      v = malloc_copy(a.fv);
    } catch (...) {
      std::free(l);
      std::free(c);
      throw;
    }
    *lf0 = l;
    *cc = c;
    *fv = v;
    *frames = a.frames();
  });
}

int vallisynth_analyser_create(const vallisynth_analysis_options* options,
                               vallisynth_analyser** analyser) {
  if (analyser == nullptr) {
    return null_argument("the handle's address");
  }
  *analyser = nullptr;
  return guarded([&] {
    auto a = std::make_unique<vallisynth_analyser>();
    a->analyser.emplace(to_options(options));
    *analyser = a.release();
  });
}

void vallisynth_analyser_destroy(vallisynth_analyser* analyser) {
  delete analyser;
}

uint32_t vallisynth_analyser_latency(const vallisynth_analyser* analyser) {
  return analyser == nullptr ? 0 : analyser->analyser->latency();
}

size_t vallisynth_analyser_max_frames(const vallisynth_analyser* analyser, size_t samples) {
  return analyser == nullptr ? 0 : analyser->analyser->max_frames(samples);
}

int vallisynth_analyser_push(vallisynth_analyser* analyser, const double* x, size_t count,
                             double* lf0, double* cc, double* fv, size_t capacity, size_t* frames) {
  if (analyser == nullptr || (x == nullptr && count != 0) || lf0 == nullptr || cc == nullptr ||
      fv == nullptr) {
    return null_argument("the analyser or an array");
  }
  const std::size_t p = analyser->analyser->order() + 1u;
  return guarded([&] {
    const std::size_t n = analyser->analyser->push(
        std::span<const double>(x, count), std::span<double>(lf0, capacity),
        std::span<double>(cc, capacity * p), std::span<double>(fv, capacity));
    if (frames != nullptr) {
      *frames = n;
    }
  });
}

int vallisynth_analyser_flush(vallisynth_analyser* analyser, double* lf0, double* cc, double* fv,
                              size_t capacity, size_t* frames) {
  if (analyser == nullptr || lf0 == nullptr || cc == nullptr || fv == nullptr) {
    return null_argument("the analyser or an array");
  }
  const std::size_t p = analyser->analyser->order() + 1u;
  return guarded([&] {
    const std::size_t n = analyser->analyser->flush(std::span<double>(lf0, capacity),
                                                    std::span<double>(cc, capacity * p),
                                                    std::span<double>(fv, capacity));
    if (frames != nullptr) {
      *frames = n;
    }
  });
}

void vallisynth_analyser_reset(vallisynth_analyser* analyser) {
  if (analyser != nullptr) {
    analyser->analyser->reset();
  }
}

int vallisynth_read_audio(const char* path, int32_t sample_rate, int32_t channel, double** samples,
                          size_t* count, int32_t* rate, int32_t* channels) {
  if (path == nullptr || samples == nullptr || count == nullptr) {
    return null_argument("the path or a result");
  }
  *samples = nullptr;
  *count = 0;
  return guarded([&] {
    const vallisynth::Audio a = vallisynth::read_audio(
        path, sample_rate == 0 ? std::nullopt : std::optional<int>(sample_rate), channel);
    *samples = malloc_copy(a.samples);
    *count = a.samples.size();
    if (rate != nullptr) {
      *rate = a.sample_rate;
    }
    if (channels != nullptr) {
      *channels = a.channels;
    }
  });
}

}  // extern "C"
