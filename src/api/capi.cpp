// The C interface: the C++ interface's calls with their exceptions turned
// into result codes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "api/cinterface.h"
#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

struct vallisynth_noise {
  vallisynth::NoiseSource source;
};

struct vallisynth_synth {
  std::optional<vallisynth::Synthesizer> synth;
};

struct vallisynth_scanner {
  std::optional<vallisynth::StatsScanner> scanner;
};

struct vallisynth_reader {
  std::optional<vallisynth::StreamReader> reader;
};

struct vallisynth_wav {
  std::optional<vallisynth::WavWriter> writer;
};

namespace vallisynth::c_interface {

namespace {

// The calling thread's last failure, for vallisynth_last_error.
thread_local std::string t_last_error;
thread_local int t_last_system_error = 0;

}  // namespace

int failure(int code, const std::string& message, int system_error) noexcept {
  try {
    t_last_error = message;
  } catch (...) {
    t_last_error.clear();
  }
  t_last_system_error = system_error;
  return code;
}

int null_argument(const char* name) noexcept {
  return failure(VALLISYNTH_ERR_BAD_ARGUMENT, std::string(name) + " is a null pointer");
}

double* malloc_copy(std::span<const double> values) {
  if (values.empty()) {
    return nullptr;
  }
  auto* p = static_cast<double*>(std::malloc(values.size_bytes()));
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  std::memcpy(p, values.data(), values.size_bytes());
  return p;
}

const char* last_error() noexcept {
  return t_last_error.c_str();
}

int last_system_error() noexcept {
  return t_last_system_error;
}

}  // namespace vallisynth::c_interface

namespace {

using vallisynth::Error;
using vallisynth::c_interface::failure;
using vallisynth::c_interface::guarded;
using vallisynth::c_interface::null_argument;

// The struct's first fields, those every caller's struct holds.
constexpr std::size_t kOptionsCore = offsetof(vallisynth_options, threads);
constexpr std::size_t kStatsCore = offsetof(vallisynth_stats, nonfinite_lf0);

// True when a caller's struct of size bytes holds the field that ends at end.
constexpr bool holds(std::size_t size, std::size_t end) {
  return size >= end;
}

vallisynth::Options to_options(const vallisynth_options* c) {
  vallisynth::Options o;
  if (c == nullptr) {
    return o;
  }
  if (c->size < kOptionsCore) {
    throw Error(vallisynth::Errc::bad_argument, "options.size is " + std::to_string(c->size) +
                                                    ": set it with vallisynth_options_init");
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
  // Fields a caller built against an older header does not have keep
  // their defaults.
  if (holds(c->size, offsetof(vallisynth_options, threads) + sizeof(vallisynth_options::threads))) {
    o.threads = c->threads;
  }
  return o;
}

// Copies the fields of the caller's struct (its size as it says).
void tostats(const vallisynth::UtteranceStats& s, vallisynth_stats* out) {
  vallisynth_stats full{};
  full.size = out->size;
  full.c0_lowest = s.c0_limits.lowest;
  full.c0_highest_voiced = s.c0_limits.highest_voiced;
  full.mean_lf0 = s.mean_lf0;
  full.voiced = s.voiced;
  full.nonfinite = s.nonfinite;
  full.nonfinite_lf0 = s.nonfinite_lf0;
  full.nonfinite_cc = s.nonfinite_cc;
  full.nonfinite_fv = s.nonfinite_fv;
  full.overflowing = s.overflowing;
  full.lf0_in_hz = s.lf0_in_hz ? 1 : 0;
  std::memcpy(static_cast<void*>(out), &full, std::min(out->size, sizeof full));
}

void check_stats(const vallisynth_stats* stats) {
  if (stats->size < kStatsCore) {
    throw Error(vallisynth::Errc::bad_argument, "stats.size is " + std::to_string(stats->size) +
                                                    ": set it with vallisynth_stats_init");
  }
}

std::span<const double> view(const double* p, std::size_t n) {
  return p == nullptr ? std::span<const double>() : std::span<const double>(p, n);
}

// Makes a handle, its object built by make; null and the failure's code
// when it cannot be.
template <typename Handle, typename Make>
int create(Handle** out, Make&& make) noexcept {
  if (out == nullptr) {
    return null_argument("the handle's address");
  }
  *out = nullptr;
  auto* h = new (std::nothrow) Handle();
  if (h == nullptr) {
    return failure(VALLISYNTH_ERR_OUT_OF_MEMORY, "not enough memory");
  }
  const int rc = guarded([&] { make(*h); });
  if (rc != VALLISYNTH_OK) {
    delete h;
    return rc;
  }
  *out = h;
  return VALLISYNTH_OK;
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

const char* vallisynth_last_error(void) {
  return vallisynth::c_interface::last_error();
}

int vallisynth_last_system_error(void) {
  return vallisynth::c_interface::last_system_error();
}

void vallisynth_options_init_size(vallisynth_options* options, size_t size) {
  if (options == nullptr) {
    return;
  }
  vallisynth_options full{};
  full.size = std::min(size, sizeof full);
  full.sample_rate = vallisynth::default_sample_rate;
  full.alpha = vallisynth::default_alpha(vallisynth::default_sample_rate);
  full.pitch_factor = 1.0;
  full.pitch_range = 1.0;
  full.duration_factor = 1.0;
  full.cepstrum_form = VALLISYNTH_CC_STORED;
  full.threads = 1;
  std::memcpy(static_cast<void*>(options), &full, full.size);
}

void vallisynth_stats_init_size(vallisynth_stats* stats, size_t size) {
  if (stats == nullptr) {
    return;
  }
  vallisynth_stats full{};
  full.size = std::min(size, sizeof full);
  std::memcpy(static_cast<void*>(stats), &full, full.size);
}

double vallisynth_default_alpha(int32_t sample_rate) {
  return vallisynth::default_alpha(sample_rate);
}

uint32_t vallisynth_default_frame_shift(int32_t sample_rate) {
  return vallisynth::default_frame_shift(sample_rate);
}

int vallisynth_synthesis_frame_shift(const vallisynth_options* options, uint32_t* shift) {
  if (shift == nullptr) {
    return null_argument("shift");
  }
  return guarded([&] { *shift = vallisynth::synthesis_frame_shift(to_options(options)); });
}

uint64_t vallisynth_rendered_length(uint64_t frames, const vallisynth_options* options) {
  uint64_t n = 0;
  guarded([&] { n = vallisynth::rendered_length(frames, to_options(options)); });
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
    return null_argument("noise");
  }
  return guarded([&] { noise->source.skip(frames, to_options(options)); });
}

int vallisynth_noise_save(const vallisynth_noise* noise, uint8_t* saved, size_t size) {
  if (noise == nullptr || saved == nullptr) {
    return null_argument("noise or saved");
  }
  return guarded([&] {
    const std::vector<std::uint8_t> bytes = noise->source.save();
    if (size < bytes.size()) {
      throw Error(vallisynth::Errc::bad_argument,
                  "saved holds " + std::to_string(size) + " bytes, fewer than the " +
                      std::to_string(bytes.size()) + " of a position");
    }
    std::memcpy(saved, bytes.data(), bytes.size());
  });
}

int vallisynth_noise_restore(vallisynth_noise* noise, const uint8_t* saved, size_t size) {
  if (noise == nullptr || saved == nullptr) {
    return null_argument("noise or saved");
  }
  return guarded([&] { noise->source = vallisynth::NoiseSource::restore({saved, size}); });
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
    return null_argument("an array with values");
  }
  return guarded([&] {
    const vallisynth::Options o = to_options(options);
    const std::span<const double> fvs = view(fv, fv_count);
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
    return null_argument("an array with values or stats");
  }
  return guarded([&] {
    check_stats(stats);
    tostats(vallisynth::utterance_stats({lf0, frames}, {cc, cc_count}, view(fv, fv_count),
                                        to_options(options)),
            stats);
  });
}

int vallisynth_scanner_create(const double* lf0, size_t frames, uint32_t order,
                              const vallisynth_options* options, vallisynth_scanner** scanner) {
  if (lf0 == nullptr && frames != 0) {
    return null_argument("lf0");
  }
  return create(scanner, [&](vallisynth_scanner& h) {
    h.scanner.emplace(view(lf0, frames), order, to_options(options));
  });
}

void vallisynth_scanner_destroy(vallisynth_scanner* scanner) {
  delete scanner;
}

int vallisynth_scanner_add(vallisynth_scanner* scanner, const double* cc, size_t cc_count,
                           const double* fv, size_t fv_count) {
  if (scanner == nullptr || (cc == nullptr && cc_count != 0) || (fv == nullptr && fv_count != 0)) {
    return null_argument("scanner or an array with values");
  }
  return guarded([&] { scanner->scanner->add(view(cc, cc_count), view(fv, fv_count)); });
}

int vallisynth_scanner_stats(const vallisynth_scanner* scanner, vallisynth_stats* stats) {
  if (scanner == nullptr || stats == nullptr) {
    return null_argument("scanner or stats");
  }
  return guarded([&] {
    check_stats(stats);
    tostats(scanner->scanner->stats(), stats);
  });
}

int vallisynth_count_nonfinite_frames(const double* lf0, size_t frames, const double* cc,
                                      size_t cc_count, const double* fv, size_t fv_count,
                                      const vallisynth_options* options, uint64_t* count) {
  if ((lf0 == nullptr && frames != 0) || (cc == nullptr && cc_count != 0) ||
      (fv == nullptr && fv_count != 0) || count == nullptr) {
    return null_argument("an array with values or count");
  }
  return guarded([&] {
    *count = vallisynth::count_nonfinite_frames(view(lf0, frames), view(cc, cc_count),
                                                view(fv, fv_count), to_options(options));
  });
}

int vallisynth_lf0_looks_like_hz(const double* lf0, size_t frames) {
  return lf0 != nullptr && vallisynth::lf0_looks_like_hz({lf0, frames}) ? 1 : 0;
}

int vallisynth_synth_create(uint32_t order, int32_t fv_track, const vallisynth_options* options,
                            vallisynth_noise* noise, vallisynth_synth** synth) {
  return create(synth, [&](vallisynth_synth& s) {
    if (noise == nullptr) {
      s.synth.emplace(order, fv_track != 0, to_options(options));
    } else {
      s.synth.emplace(order, fv_track != 0, to_options(options), noise->source);
    }
  });
}

void vallisynth_synth_destroy(vallisynth_synth* synth) {
  delete synth;
}

uint32_t vallisynth_synth_latency(const vallisynth_synth* synth) {
  return synth == nullptr ? 0 : synth->synth->latency();
}

uint64_t vallisynth_synth_frames(const vallisynth_synth* synth) {
  return synth == nullptr ? 0 : synth->synth->frames();
}

int vallisynth_synth_push(vallisynth_synth* synth, const double* lf0, size_t frames,
                          const double* cc, size_t cc_count, const double* fv, size_t fv_count,
                          double* out, size_t out_capacity, size_t* out_count) {
  if (out_count != nullptr) {
    *out_count = 0;
  }
  if (synth == nullptr || (lf0 == nullptr && frames != 0) || (cc == nullptr && cc_count != 0) ||
      (fv == nullptr && fv_count != 0) || (out == nullptr && out_capacity != 0)) {
    return null_argument("synth or an array with values");
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
    return null_argument("synth or out");
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
    return null_argument("synth");
  }
  synth->synth->reset(restart_noise != 0);
  return VALLISYNTH_OK;
}

int vallisynth_to_pcm16(const double* x, size_t count, int16_t* out) {
  if ((x == nullptr || out == nullptr) && count != 0) {
    return null_argument("x or out");
  }
  return guarded([&] { vallisynth::to_pcm16({x, count}, {out, count}); });
}

void vallisynth_normalize(double* x, size_t count) {
  if (x != nullptr) {
    vallisynth::normalize({x, count});
  }
}

int vallisynth_write_wav(const char* path, const double* x, size_t count, int32_t sample_rate,
                         int32_t normalize) {
  if (path == nullptr || (x == nullptr && count != 0)) {
    return null_argument("path or x");
  }
  return guarded([&] { vallisynth::write_wav(path, {x, count}, sample_rate, normalize != 0); });
}

int vallisynth_read_stream(const char* path, double** values, size_t* count) {
  if (path == nullptr || values == nullptr || count == nullptr) {
    return null_argument("path, values or count");
  }
  *values = nullptr;
  *count = 0;
  return guarded([&] {
    const std::vector<double> v = vallisynth::read_stream(path);
    *values = vallisynth::c_interface::malloc_copy(v);
    *count = v.size();
  });
}

void vallisynth_free(void* p) {
  std::free(p);
}

int vallisynth_reader_open(const char* path, vallisynth_reader** reader) {
  if (path == nullptr) {
    return null_argument("path");
  }
  return create(reader, [&](vallisynth_reader& r) { r.reader.emplace(path); });
}

void vallisynth_reader_close(vallisynth_reader* reader) {
  delete reader;
}

int vallisynth_reader_size(const vallisynth_reader* reader, uint64_t* count) {
  if (reader == nullptr || !reader->reader->size()) {
    return 0;
  }
  if (count != nullptr) {
    *count = *reader->reader->size();
  }
  return 1;
}

int vallisynth_reader_read(vallisynth_reader* reader, double* out, size_t capacity, size_t* count) {
  if (count != nullptr) {
    *count = 0;
  }
  if (reader == nullptr || (out == nullptr && capacity != 0)) {
    return null_argument("reader or out");
  }
  return guarded([&] {
    const std::size_t n = reader->reader->read({out, capacity});
    if (count != nullptr) {
      *count = n;
    }
  });
}

int vallisynth_reader_rewind(vallisynth_reader* reader) {
  return reader != nullptr && reader->reader->rewind() ? 1 : 0;
}

int vallisynth_wav_open(const char* path, uint64_t samples, int32_t sample_rate,
                        vallisynth_wav** wav) {
  if (path == nullptr) {
    return null_argument("path");
  }
  return create(wav, [&](vallisynth_wav& w) { w.writer.emplace(path, samples, sample_rate); });
}

int vallisynth_wav_write(vallisynth_wav* wav, const double* x, size_t count) {
  if (wav == nullptr || (x == nullptr && count != 0)) {
    return null_argument("wav or x");
  }
  return guarded([&] { wav->writer->write(view(x, count)); });
}

int vallisynth_wav_commit(vallisynth_wav* wav) {
  if (wav == nullptr) {
    return null_argument("wav");
  }
  return guarded([&] { wav->writer->commit(); });
}

void vallisynth_wav_close(vallisynth_wav* wav) {
  delete wav;
}

}  // extern "C"
