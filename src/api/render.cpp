// Rendering: the streaming decoder over the engine's frame step, and the
// one-shot rendering of a whole utterance through it, so that both give the
// same samples by construction.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "api/options.h"
#include "conditioning/finite.h"
#include "conditioning/logf0.h"
#include "conditioning/warping.h"
#include "dsp/lanes.h"
#include "io/memorylimit.h"
#include "io/wavwriter.h"
#include "synthesis/framesynth.h"
#include "synthesis/parallelsynth.h"
#include "synthesis/synthesis.h"

namespace vallisynth {

namespace {

constexpr std::size_t kChunk = 256;  // frames conditioned at a time

// v's lanes that are not finite (|v| > DBL_MAX, or NaN) set to 0.
__attribute__((always_inline)) inline void zero_nonfinite(Lanes& v) {
  constexpr double kMax = std::numeric_limits<double>::max();
  const Lanes zero = {};
  v = (v <= kMax) & (v >= -kMax) ? v : zero;
}

// x[i] = x[i] where finite, else 0; four samples at a time.
VALLISYNTH_MULTIARCH void keep_finite(std::span<double> x) {
  std::size_t i = 0;
  for (; i + kLaneCount <= x.size(); i += kLaneCount) {
    Lanes v;
    loadlanes(v, x.data() + i);
    zero_nonfinite(v);
    storelanes(x.data() + i, v);
  }
  for (; i < x.size(); ++i) {
    x[i] = std::isfinite(x[i]) ? x[i] : 0.0;
  }
}

// x[i] = g x[i] where that is finite, else 0; NaN counts as 0 before the
// product.
VALLISYNTH_MULTIARCH void scale_finite(std::span<double> x, double g) {
  const Lanes zero = {};
  std::size_t i = 0;
  for (; i + kLaneCount <= x.size(); i += kLaneCount) {
    Lanes v;
    loadlanes(v, x.data() + i);
    v = (v == v ? v : zero) * g;
    zero_nonfinite(v);
    storelanes(x.data() + i, v);
  }
  for (; i < x.size(); ++i) {
    const double v = (x[i] == x[i] ? x[i] : 0.0) * g;
    x[i] = std::isfinite(v) ? v : 0.0;
  }
}

// The checks of an utterance's streams; returns the number of samples it
// renders to.
std::uint64_t check_utterance(std::span<const double> lf0, std::span<const double> cc,
                              std::span<const double> fv, const ResolvedOptions& o) {
  const std::size_t nframes = lf0.size();
  if (nframes == 0) {
    fail(Errc::bad_argument, "lf0 holds no frames");
  }
  if (nframes > std::numeric_limits<std::uint32_t>::max()) {
    fail(Errc::too_long, "lf0 holds " + std::to_string(nframes) + " frames, more than 4294967295");
  }
  const std::size_t rowlen = cc.size() / nframes;
  if (rowlen == 0 || rowlen * nframes != cc.size()) {
    fail(Errc::dimensions, "cc holds " + std::to_string(cc.size()) +
                               " values, not a whole number of coefficients for each of the " +
                               std::to_string(nframes) + " frames of lf0");
  }
  if (!fv.empty() && fv.size() < nframes) {
    fail(Errc::dimensions, "fv holds " + std::to_string(fv.size()) + " values, fewer than the " +
                               std::to_string(nframes) + " frames of lf0");
  }
  const std::uint64_t xlen = (std::uint64_t{nframes} + 1u) * o.frameshift + 1u;
  if (xlen > max_wav_samples) {
    fail(Errc::too_long, "the utterance would give " + std::to_string(xlen) +
                             " samples, more than a WAV file holds");
  }
  return xlen;
}

[[noreturn]] void failmemory(std::size_t nframes, std::uint64_t xlen) {
  fail(Errc::out_of_memory, "not enough memory to render " + std::to_string(nframes) + " frames (" +
                                std::to_string(xlen) + " samples)");
}

// The rows of c (p values each) whose envelope would overflow made NaN, so
// that the engine renders them silent as it does a row that is not finite.
void silence_overflows(std::span<double> c, std::size_t p, const ResolvedOptions& o) {
  for (std::size_t base = 0; base < c.size(); base += p) {
    const std::span<double> row = c.subspan(base, p);
    if (classify_row(row, o) == RowKind::overflowing) {
      std::fill(row.begin(), row.end(), std::numeric_limits<double>::quiet_NaN());
    }
  }
}

// The rows of raw (p values each) in the engine's form in c, in one pass: a
// row whose envelope would overflow as NaN, so that the engine renders it
// silent as it does a row that is not finite; the others as
// sptk_to_stored_cepstrum (for SPTK's form) and then the stored form undone
// (stored_to_plain_c0, stored_to_plain_coefficients).
void condition_rows(std::span<const double> raw, std::span<double> c, std::size_t p,
                    const ResolvedOptions& o) {
  const double offset = o.sptkform ? sptk_c0_offset(o.fs) : 0.0;
  for (std::size_t base = 0; base + p <= raw.size(); base += p) {
    const std::span<const double> row = raw.subspan(base, p);
    const std::span<double> out = c.subspan(base, p);
    if (classify_row(row, o) == RowKind::overflowing) {
      std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
      continue;
    }
    out[0] = stored_to_plain_c0(o.sptkform ? row[0] + offset : row[0]);
    stored_to_plain_coefficients(row.subspan(1), out.subspan(1));
  }
}

// The per-frame conditioning of a track's values: pitch shift and range
// scaling around the utterance's mean, then Hz.
void condition_lf0(std::span<double> f0, const ResolvedOptions& o, double mean) {
  if (o.fpitch != 1.0) {
    shift_lf0(f0, std::log(o.fpitch));
  }
  if (o.fvpitch != 1.0) {
    scale_lf0_range_around(f0, o.fvpitch, mean);
  }
  lf0_to_f0(f0);
}

// The mean voiced log-f0 after the pitch shift, summed in frame order as
// the whole-track scaling sums it; NaN without voiced frames.
double meanlf0(std::span<const double> lf0, const ResolvedOptions& o) {
  double buf[kChunk];
  double sum = 0.0;
  std::uint64_t count = 0;
  for (std::size_t k0 = 0; k0 < lf0.size(); k0 += kChunk) {
    const std::size_t m = std::min(kChunk, lf0.size() - k0);
    const std::span<double> f(buf, m);
    std::copy_n(lf0.begin() + static_cast<std::ptrdiff_t>(k0), m, f.begin());
    if (o.fpitch != 1.0) {
      shift_lf0(f, std::log(o.fpitch));
    }
    add_lf0_sum(f, sum, count);
  }
  return count == 0 ? std::numeric_limits<double>::quiet_NaN() : sum / static_cast<double>(count);
}

// The threads worth starting for threads requested (0: every usable core):
// no more than the cores the process may run on, and for an utterance of
// known length no more than its pushes can share out (the engine gives a
// thread a share only from 64 frames on). Each thread holds work areas in
// proportion to the frame shift and the order, and the samples are the
// same for every count.
unsigned work_threads(unsigned threads, std::optional<std::uint64_t> frames) {
  const unsigned cores = usable_cores();
  unsigned n = threads == 0 ? cores : std::min(threads, cores);
  if (frames) {
    const std::uint64_t shares = *frames / ParallelFrameSynthesizer::min_parallel_frames();
    n = static_cast<unsigned>(std::min<std::uint64_t>(n, std::max<std::uint64_t>(shares, 1)));
  }
  return n;
}

// Frames conditioned at a time: enough for every thread to take several
// blocks of a push, which the engine shares out only from 64 frames on,
// but rows of no more than about 16 MB unless that leaves a thread less
// than 64 frames (a high order's rows are long). Pieces of any size give
// the same samples.
std::size_t piece(unsigned threads, std::size_t p) {
  constexpr std::size_t kRowBudget = std::size_t{16} << 20;  // bytes
  if (threads <= 1) {
    return kChunk;
  }
  const std::size_t fits = kRowBudget / (p * sizeof(double));
  return std::max(std::min(std::size_t{1024} * threads, fits),
                  ParallelFrameSynthesizer::min_parallel_frames() * threads);
}

// Every option and state of a streaming rendering, over the engine's step.
struct Engine {
  Engine(std::uint32_t order, bool withfv, const ResolvedOptions& options,
         std::optional<C0Range> range, double centre, std::optional<double> fixedgain,
         NoisePhaseSource& source)
      : o(options),
        p(order + 1u),
        fvtrack(withfv),
        mean(centre),
        gain(fixedgain),
        rng(&source),
        chunk(piece(options.threads, std::size_t{order} + 1u)),
        f0(std::make_unique_for_overwrite<double[]>(chunk)),
        cc(std::make_unique_for_overwrite<double[]>(chunk * std::size_t{order + 1u})),
        fv(std::make_unique_for_overwrite<double[]>(withfv ? chunk : 0)),
        step(options.fs, options.frameshift, order, options.alpha, options.gamma,
             withfv ? std::nullopt : range, source, options.threads) {
  }

  // Conditions and renders the frames; out holds lf0.size() x L samples.
  void push(std::span<const double> lf0, std::span<const double> rows, std::span<const double> fvs,
            std::span<double> out) {
    const std::uint32_t L = o.frameshift;
    for (std::size_t k0 = 0; k0 < lf0.size(); k0 += chunk) {
      const std::size_t m = std::min(chunk, lf0.size() - k0);
      const std::span<double> f(f0.get(), m);
      std::copy_n(lf0.begin() + static_cast<std::ptrdiff_t>(k0), m, f.begin());
      condition_lf0(f, o, mean);
      const std::span<double> c(cc.get(), m * p);
      condition_rows(rows.subspan(k0 * p, m * p), c, p, o);
      std::span<double> v;
      if (fvtrack) {
        v = std::span<double>(fv.get(), m);
        std::copy_n(fvs.begin() + static_cast<std::ptrdiff_t>(k0), m, v.begin());
        if (o.fvalpha != 0.0) {
          unwarp_fv(v, o.fs, o.fvalpha);
        }
      }
      const std::span<double> x = out.subspan(k0 * L, m * L);
      step.push(f, v, c, x);
      applygain(x);
    }
  }

  void flush(std::span<double> out) {
    step.flush(out);
    applygain(out);
  }

  // A frame whose cepstral row is not finite leaves NaN over its span (and
  // nowhere else): those samples are silence, written as 0 as the 16-bit
  // conversion writes them, so that callers of the samples see it too.
  // Then the fixed gain, if any (0 x g is 0, as NaN x g became 0 before).
  // A sample that overflows on the way (a postfilter's power, a large
  // gain) is silenced too: no sample that is not finite leaves here.
  void applygain(std::span<double> x) const {
    if (gain) {
      scale_finite(x, *gain);
    } else {
      keep_finite(x);
    }
  }

  ResolvedOptions o;
  std::uint32_t p;
  bool fvtrack;
  double mean;
  std::optional<double> gain;
  NoisePhaseSource* rng;
  std::size_t chunk;  // frames conditioned at a time
  // One chunk of conditioned frames, left uninitialised: every value is
  // written before it is read, and a page of a chunk larger than the
  // caller's pushes is then never touched (a first touch costs
  // microseconds on a virtual machine).
  std::unique_ptr<double[]> f0, cc, fv;
  ParallelFrameSynthesizer step;
};

}  // namespace

struct Synthesizer::State {
  void init(std::uint32_t order, bool fv_track, const Options& options, NoiseSource& noise,
            std::optional<std::uint64_t> frames = std::nullopt);

  std::optional<NoiseSource> own;  // when the caller gave no source
  std::optional<Engine> engine;
};

struct StatsScanner::State {
  ResolvedOptions o;
  std::span<const double> lf0;
  std::size_t p = 1;
  std::size_t next = 0;  // first frame not yet added
  C0Range range;
  UtteranceStats stats;
  std::vector<double> rows;  // a chunk of rows with the overflowing ones made NaN
};

StatsScanner::StatsScanner(std::span<const double> lf0, std::uint32_t order, const Options& options)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.o = resolve_options(options);
  if (lf0.empty()) {
    fail(Errc::bad_argument, "lf0 holds no frames");
  }
  s.p = std::size_t{order} + 1u;
  s.lf0 = lf0;
  s.stats.mean_lf0 = meanlf0(lf0, s.o);
  s.stats.lf0_in_hz = lf0_looks_like_hz(lf0);
}

StatsScanner::~StatsScanner() = default;

void StatsScanner::add(std::span<const double> cc, std::span<const double> fv) {
  State& s = *state_;
  const std::size_t m = cc.size() / s.p;
  if (m * s.p != cc.size() || m > s.lf0.size() - s.next || (!fv.empty() && fv.size() != m)) {
    fail(Errc::dimensions, "rows that do not fit the utterance's " + std::to_string(s.lf0.size()) +
                               " frames of " + std::to_string(s.p) + " coefficients");
  }
  const auto order = static_cast<std::uint32_t>(s.p - 1u);
  const std::span<const double> lf0 = s.lf0.subspan(s.next, m);
  const BadFrames bad = count_bad_frames(lf0, cc, s.p, fv, s.o);
  s.stats.nonfinite += bad.frames;
  s.stats.nonfinite_lf0 += bad.lf0;
  s.stats.nonfinite_cc += bad.cc;
  s.stats.nonfinite_fv += bad.fv;
  s.stats.overflowing += bad.overflowing;
  // The range of the rows' own c0 over the frames as the engine sees them:
  // the f0 after the pitch changes decides which frames are voiced.
  double buf[kChunk];
  for (std::size_t k0 = 0; k0 < m; k0 += kChunk) {
    const std::size_t n = std::min(kChunk, m - k0);
    const std::span<double> f(buf, n);
    std::copy_n(lf0.begin() + static_cast<std::ptrdiff_t>(k0), n, f.begin());
    condition_lf0(f, s.o, s.stats.mean_lf0);
    std::span<const double> rows = cc.subspan(k0 * s.p, n * s.p);
    if (bad.overflowing != 0) {
      // Overflowing rows stay out of the range, as rows that are not finite do.
      s.rows.assign(rows.begin(), rows.end());
      silence_overflows(s.rows, s.p, s.o);
      rows = s.rows;
    }
    add_c0_range(s.range, f, rows, order);
    for (const double v : f) {
      s.stats.voiced += v >= 10.0 && v <= 1000.0 ? 1u : 0u;
    }
  }
  s.next += m;
}

UtteranceStats StatsScanner::stats() const {
  if (state_->next != state_->lf0.size()) {
    fail(Errc::dimensions, "stats of " + std::to_string(state_->next) + " of the utterance's " +
                               std::to_string(state_->lf0.size()) +
                               " frames: add every frame's row first");
  }
  UtteranceStats stats = state_->stats;
  stats.c0_limits = {state_->range.min, state_->range.max};
  return stats;
}

UtteranceStats utterance_stats(std::span<const double> lf0, std::span<const double> cc,
                               std::span<const double> fv, const Options& options) {
  const ResolvedOptions o = resolve_options(options);
  check_utterance(lf0, cc, fv, o);
  const std::size_t p = cc.size() / lf0.size();
  StatsScanner scanner(lf0, static_cast<std::uint32_t>(p - 1u), options);
  scanner.add(cc, fv.first(fv.empty() ? 0 : lf0.size()));
  return scanner.stats();
}

Synthesizer::Synthesizer(std::uint32_t order, bool fv_track, const Options& options)
    : state_(std::make_unique<State>()) {
  state_->own.emplace();
  state_->init(order, fv_track, options, *state_->own);
}

Synthesizer::Synthesizer(std::uint32_t order, bool fv_track, const Options& options,
                         NoiseSource& noise)
    : state_(std::make_unique<State>()) {
  state_->init(order, fv_track, options, noise);
}

Synthesizer::Synthesizer(std::uint32_t order, bool fv_track, const Options& options,
                         NoiseSource& noise, std::uint64_t frames)
    : state_(std::make_unique<State>()) {
  state_->init(order, fv_track, options, noise, frames);
}

void Synthesizer::State::init(std::uint32_t order, bool fv_track, const Options& options,
                              NoiseSource& noise, std::optional<std::uint64_t> frames) {
  ResolvedOptions o = resolve_options(options);
  o.threads = work_threads(o.threads, frames);
  if (order >= 0xFFFFFFFEu) {
    fail(Errc::bad_argument, "order " + std::to_string(order) + " is too large");
  }
  check_streaming_options(options, fv_track);
  // Every work area is written in full: asking for more than the process may
  // have would not fail cleanly (the kernel grants it and later kills the
  // process for it, a container's limit without a word).
  const std::uint64_t nfft = std::bit_ceil(2u * std::uint64_t{o.frameshift});
  const std::uint64_t bytes =
      (4u * nfft + std::uint64_t{o.frameshift} + kChunk * (std::uint64_t{order} + 3u)) *
      sizeof(double);
  if (!may_allocate(bytes)) {
    fail(Errc::out_of_memory,
         "not enough memory for a frame shift of " + std::to_string(o.frameshift) + " samples");
  }
  std::optional<C0Range> range;
  if (options.c0_limits) {
    range = C0Range{engine_c0(options.c0_limits->lowest, o),
                    engine_c0(options.c0_limits->highest_voiced, o)};
  }
  try {
    engine.emplace(order, fv_track, o, range, options.mean_lf0.value_or(0.0), options.gain,
                   NoiseAccess::get(noise));
  } catch (const std::bad_alloc&) {
    fail(Errc::out_of_memory,
         "not enough memory for a frame shift of " + std::to_string(o.frameshift) + " samples");
  } catch (const std::invalid_argument& e) {
    fail(Errc::bad_argument, e.what());
  }
}

Synthesizer::~Synthesizer() = default;
Synthesizer::Synthesizer(Synthesizer&& other) noexcept = default;
Synthesizer& Synthesizer::operator=(Synthesizer&& other) noexcept = default;

std::size_t Synthesizer::push(std::span<const double> lf0, std::span<const double> cc,
                              std::span<const double> fv, std::span<double> out) {
  Engine& e = *state_->engine;
  const std::size_t n = lf0.size();
  const std::uint32_t L = e.o.frameshift;
  if (cc.size() != n * e.p) {
    fail(Errc::bad_argument, "cc holds " + std::to_string(cc.size()) + " values, not the " +
                                 std::to_string(n * e.p) + " of " + std::to_string(n) + " frames");
  }
  if (fv.size() != (e.fvtrack ? n : 0u)) {
    fail(Errc::bad_argument,
         e.fvtrack ? "fv holds " + std::to_string(fv.size()) + " values, not one per frame (" +
                         std::to_string(n) + ")"
                   : std::string("fv given to a Synthesizer made without an fv track"));
  }
  if (out.size() < n * L) {
    fail(Errc::bad_argument, "out holds " + std::to_string(out.size()) +
                                 " samples, fewer than the " + std::to_string(n * L) + " that " +
                                 std::to_string(n) + " frames release");
  }
  e.push(lf0, cc, fv, out.first(n * L));
  return n * L;
}

std::size_t Synthesizer::flush(std::span<double> out) {
  Engine& e = *state_->engine;
  const std::size_t n = std::size_t{e.o.frameshift} + 1u;
  if (out.size() < n) {
    fail(Errc::bad_argument, "out holds " + std::to_string(out.size()) +
                                 " samples, fewer than the " + std::to_string(n) +
                                 " that flush releases");
  }
  e.flush(out.first(n));
  return n;
}

void Synthesizer::reset(bool restart_noise) {
  Engine& e = *state_->engine;
  e.step.reset();
  if (restart_noise) {
    *e.rng = NoisePhaseSource();
  }
}

std::uint32_t Synthesizer::latency() const noexcept {
  return state_->engine->o.frameshift;
}

std::uint64_t Synthesizer::frames() const noexcept {
  return state_->engine->step.frame_count();
}

std::size_t render(std::span<const double> lf0, std::span<const double> cc,
                   std::span<const double> fv, const Options& options, NoiseSource& noise,
                   std::span<double> out) {
  const ResolvedOptions o = resolve_options(options);
  const std::uint64_t xlen = check_utterance(lf0, cc, fv, o);
  if (out.size() < xlen) {
    fail(Errc::bad_argument, "out holds " + std::to_string(out.size()) +
                                 " samples, fewer than the " + std::to_string(xlen) +
                                 " the utterance renders to");
  }
  const std::size_t nframes = lf0.size();
  const std::size_t p = cc.size() / nframes;
  // The utterance-wide values the options need, unless declared.
  Options declared = options;
  if ((fv.empty() && !declared.c0_limits) || (o.fvpitch != 1.0 && !declared.mean_lf0)) {
    const UtteranceStats stats = utterance_stats(lf0, cc, fv, options);
    declared.c0_limits = declared.c0_limits.value_or(stats.c0_limits);
    // Without voiced frames there is nothing to scale around the mean
    // (NaN): any finite centre gives the same samples.
    declared.mean_lf0 =
        declared.mean_lf0.value_or(std::isnan(stats.mean_lf0) ? 0.0 : stats.mean_lf0);
  }
  const bool peak = o.normalize && !options.gain;
  if (peak) {
    declared.gain = std::nullopt;
    declared.normalize = false;
  }
  const std::span<double> x = out.first(static_cast<std::size_t>(xlen));
  // Made for this utterance's length: no thread that it could not use.
  Synthesizer synth(static_cast<std::uint32_t>(p - 1u), !fv.empty(), declared, noise, nframes);
  const std::size_t pushed = synth.push(lf0, cc, fv.first(fv.empty() ? 0 : nframes), x);
  const std::size_t flushed = synth.flush(x.subspan(pushed));
  if (peak) {
    normalize_peak(x);
  }
  return pushed + flushed;
}

std::vector<double> render(std::span<const double> lf0, std::span<const double> cc,
                           std::span<const double> fv, const Options& options, NoiseSource& noise) {
  const ResolvedOptions o = resolve_options(options);
  const std::uint64_t xlen = check_utterance(lf0, cc, fv, o);
  // The output is written in full: asking for more than the process may
  // have would not fail cleanly (the kernel grants the memory and later
  // kills the process for it, a container's limit without a word).
  const std::uint64_t nfft = std::bit_ceil(2u * std::uint64_t{o.frameshift});
  if (!may_allocate((xlen + 2u * nfft) * sizeof(double))) {
    failmemory(lf0.size(), xlen);
  }
  std::vector<double> x;
  try {
    x.resize(static_cast<std::size_t>(xlen));
  } catch (const std::bad_alloc&) {
    failmemory(lf0.size(), xlen);
  }
  x.resize(render(lf0, cc, fv, options, noise, x));
  return x;
}

std::vector<double> render(std::span<const double> lf0, std::span<const double> cc,
                           std::span<const double> fv, const Options& options) {
  NoiseSource noise;
  return render(lf0, cc, fv, options, noise);
}

void to_pcm16(std::span<const double> x, std::span<std::int16_t> out) {
  if (out.size() < x.size()) {
    fail(Errc::bad_argument, "to_pcm16: out holds " + std::to_string(out.size()) +
                                 " values, fewer than the " + std::to_string(x.size()) +
                                 " samples");
  }
  samples_to_pcm16(x, out.first(x.size()));
}

std::vector<std::int16_t> to_pcm16(std::span<const double> x) {
  std::vector<std::int16_t> out(x.size());
  samples_to_pcm16(x, out);
  return out;
}

void normalize(std::span<double> x) noexcept {
  normalize_peak(x);
}

}  // namespace vallisynth
