// The public one-shot interface: options, noise source, rendering, PCM
// conversion, WAV writing and stream reading, over the engine.
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "api/options.h"
#include "conditioning/finite.h"
#include "conditioning/logf0.h"
#include "conditioning/warping.h"
#include "io/memorylimit.h"
#include "io/wavwriter.h"
#include "synthesis/noisesource.h"
#include "synthesis/synthesis.h"

namespace vallisynth {

struct NoiseSource::State {
  NoisePhaseSource rng;
};

NoisePhaseSource& NoiseAccess::get(NoiseSource& source) {
  return source.state_->rng;
}

namespace {

constexpr int kMinRate = 8000;
constexpr int kMaxRate = 48000;

[[noreturn]] void fail(Errc code, const std::string& message) {
  throw Error(code, message);
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// v must lie in [lo, hi] (NaN never does).
void checkrange(const char* name, double v, double lo, double hi) {
  if (!(v >= lo && v <= hi)) {
    fail(Errc::bad_argument,
         std::string(name) + " is " + number(v) + ", outside " + number(lo) + " to " + number(hi));
  }
}

// An all-pass constant must be finite with a magnitude below 1.
void checkallpass(const char* name, double v) {
  if (!(std::fabs(v) < 1.0)) {
    fail(Errc::bad_argument, std::string(name) + " is " + number(v) +
                                 ", not an all-pass constant (its magnitude must be below 1)");
  }
}

std::uint32_t shiftof(const Options& o) {
  if (o.sample_rate < kMinRate || o.sample_rate > kMaxRate) {
    fail(Errc::bad_argument,
         "sample_rate is " + std::to_string(o.sample_rate) + " Hz, outside 8000 to 48000");
  }
  checkrange("duration_factor", o.duration_factor, 0.25, 4.0);
  const std::uint32_t lframe = o.frame_shift.value_or(default_frame_shift(o.sample_rate));
  // The stream's shift times the duration factor, truncated toward zero.
  const double product = static_cast<double>(lframe) * o.duration_factor;
  const std::uint64_t shift =
      o.duration_factor == 1.0 ? lframe : static_cast<std::uint64_t>(product);
  if (shift < 1 || shift > kMaxSynthesisShift) {
    fail(Errc::bad_argument, "frame shift of " + std::to_string(shift) +
                                 " samples (frame_shift x duration_factor) is outside 1 to " +
                                 std::to_string(kMaxSynthesisShift));
  }
  return static_cast<std::uint32_t>(shift);
}

struct FreeArray {
  void operator()(void* p) const {
    std::free(p);
  }
};

}  // namespace

Error::Error(Errc code, const std::string& message) : std::runtime_error(message), code_(code) {
}

const char* version() noexcept {
  return VALLISYNTH_VERSION_STRING;
}

double default_alpha(int sample_rate) noexcept {
  // All-pass constants that best fit the mel scale at the usual rates.
  struct RateAlpha {
    double rate;
    double alpha;
  };
  constexpr RateAlpha kTable[] = {{8000.0, 0.31},  {10000.0, 0.35}, {12000.0, 0.37},
                                  {16000.0, 0.42}, {22050.0, 0.45}, {32000.0, 0.50},
                                  {44100.0, 0.53}, {48000.0, 0.55}};
  const auto rate = static_cast<double>(sample_rate);
  RateAlpha best = kTable[0];
  for (const RateAlpha& entry : kTable) {
    if (std::fabs(entry.rate - rate) < std::fabs(best.rate - rate)) {
      best = entry;  // on a tie the lower rate stays
    }
  }
  return best.alpha;
}

std::uint32_t default_frame_shift(int sample_rate) noexcept {
  const long shift = std::lround(static_cast<double>(sample_rate) * 0.005);
  return shift < 1 ? 1u : static_cast<std::uint32_t>(shift);
}

ResolvedOptions resolveoptions(const Options& o) {
  ResolvedOptions r;
  r.frameshift = shiftof(o);
  r.fs = static_cast<double>(o.sample_rate);
  const double alpha = o.alpha.value_or(default_alpha(o.sample_rate));
  checkallpass("alpha", alpha);
  checkallpass("fv_alpha", o.fv_alpha);
  if (!std::isfinite(o.gamma)) {
    fail(Errc::bad_argument, "gamma is " + number(o.gamma) + ", not a finite number");
  }
  checkrange("pitch_factor", o.pitch_factor, 0.25, 4.0);
  checkrange("pitch_range", o.pitch_range, 0.0, 4.0);
  checkrange("vocal_tract_warp", o.vocal_tract_warp, -0.99, 0.99);
  if (o.cepstrum_form != CepstrumForm::stored && o.cepstrum_form != CepstrumForm::sptk) {
    fail(Errc::bad_argument, "cepstrum_form is " +
                                 std::to_string(static_cast<int>(o.cepstrum_form)) +
                                 ", neither stored (0) nor sptk (1)");
  }
  r.alpha = o.vocal_tract_warp == 0.0 ? alpha : composewarp(alpha, o.vocal_tract_warp);
  r.gamma = o.gamma;
  r.fvalpha = o.fv_alpha;
  r.fpitch = o.pitch_factor;
  r.fvpitch = o.pitch_range;
  r.normalize = o.normalize;
  r.sptkform = o.cepstrum_form == CepstrumForm::sptk;
  return r;
}

std::uint32_t synthesis_frame_shift(const Options& options) {
  return shiftof(options);
}

std::uint64_t rendered_length(std::uint64_t frames, const Options& options) {
  return (frames + 1u) * shiftof(options) + 1u;
}

NoiseSource::NoiseSource() : state_(std::make_unique<State>()) {
}
NoiseSource::~NoiseSource() = default;
NoiseSource::NoiseSource(const NoiseSource& other)
    : state_(std::make_unique<State>(*other.state_)) {
}
NoiseSource& NoiseSource::operator=(const NoiseSource& other) {
  if (this != &other) {
    *state_ = *other.state_;
  }
  return *this;
}
// A moved-from source gets a fresh sequence, so that it stays usable.
NoiseSource::NoiseSource(NoiseSource&& other) noexcept : state_(std::move(other.state_)) {
  other.state_.reset(new (std::nothrow) State());
}
NoiseSource& NoiseSource::operator=(NoiseSource&& other) noexcept {
  std::swap(state_, other.state_);
  return *this;
}
void NoiseSource::reset() noexcept {
  state_->rng = NoisePhaseSource();
}

namespace {

// The checks of an utterance's streams; returns the number of samples it
// renders to.
std::uint64_t checkutterance(std::span<const double> lf0, std::span<const double> cc,
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
  if (xlen > kMaxWavSamples) {
    fail(Errc::too_long, "the utterance would give " + std::to_string(xlen) +
                             " samples, more than a WAV file holds");
  }
  return xlen;
}

[[noreturn]] void failmemory(std::size_t nframes, std::uint64_t xlen) {
  fail(Errc::out_of_memory, "not enough memory to render " + std::to_string(nframes) + " frames (" +
                                std::to_string(xlen) + " samples)");
}

}  // namespace

std::size_t render(std::span<const double> lf0, std::span<const double> cc,
                   std::span<const double> fv, const Options& options, NoiseSource& noise,
                   std::span<double> out) {
  const ResolvedOptions o = resolveoptions(options);
  const std::uint64_t xlen = checkutterance(lf0, cc, fv, o);
  if (out.size() < xlen) {
    fail(Errc::bad_argument, "out holds " + std::to_string(out.size()) +
                                 " samples, fewer than the " + std::to_string(xlen) +
                                 " the utterance renders to");
  }
  const std::size_t nframes = lf0.size();
  const auto order = static_cast<std::uint32_t>(cc.size() / nframes - 1u);
  const std::span<double> x = out.first(static_cast<std::size_t>(xlen));
  try {
    // The engine conditions its streams in place: work on copies.
    std::vector<double> f0(lf0.begin(), lf0.end());
    std::vector<double> ccs(cc.begin(), cc.end());
    std::vector<double> fvs;
    if (!fv.empty()) {
      fvs.assign(fv.begin(), fv.begin() + static_cast<std::ptrdiff_t>(nframes));
    }
    if (o.sptkform) {
      sptk2stored(ccs, order, o.fs);
    }
    invhtsadapteradhoc(ccs, order);
    if (!fvs.empty() && o.fvalpha != 0.0) {
      fvoicingunwarp(fvs, o.fs, o.fvalpha);
    }
    if (o.fpitch != 1.0) {
      shiftlogpitch(f0, std::log(o.fpitch));
    }
    if (o.fvpitch != 1.0) {
      scalelogpitchrange(f0, o.fvpitch);
    }
    logf02f0(f0);
    if (ccs2waveform(x, o.fs, o.frameshift, f0, fvs, order, ccs, o.alpha, o.gamma,
                     NoiseAccess::get(noise)) != 0) {
      throw std::bad_alloc();
    }
  } catch (const std::bad_alloc&) {
    failmemory(nframes, xlen);
  }
  if (o.normalize) {
    ampnormalize(x);
  }
  return x.size();
}

std::vector<double> render(std::span<const double> lf0, std::span<const double> cc,
                           std::span<const double> fv, const Options& options, NoiseSource& noise) {
  const ResolvedOptions o = resolveoptions(options);
  const std::uint64_t xlen = checkutterance(lf0, cc, fv, o);
  // The output, the engine's copies of the streams and its frame buffers
  // are all written in full. Asking for more than the process may have
  // would not fail cleanly: the kernel grants the memory and later kills
  // the process for it (a container's limit without a word).
  const std::uint64_t nfft = std::bit_ceil(2u * std::uint64_t{o.frameshift});
  const std::uint64_t bytes =
      (xlen + lf0.size() + cc.size() + fv.size() + 2u * nfft) * sizeof(double);
  if (bytes > memoryheadroom(memorylimit())) {
    failmemory(lf0.size(), xlen);
  }
  std::vector<double> x;
  try {
    x.resize(static_cast<std::size_t>(xlen));
  } catch (const std::bad_alloc&) {
    failmemory(lf0.size(), xlen);
  }
  render(lf0, cc, fv, options, noise, x);
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
  topcm16(x, out.first(x.size()));
}

std::vector<std::int16_t> to_pcm16(std::span<const double> x) {
  std::vector<std::int16_t> out(x.size());
  topcm16(x, out);
  return out;
}

void normalize(std::span<double> x) noexcept {
  ampnormalize(x);
}

std::uint64_t count_nonfinite_frames(std::span<const double> lf0, std::span<const double> cc,
                                     std::span<const double> fv, const Options& options) {
  const std::size_t rowlen = lf0.empty() ? 0 : cc.size() / lf0.size();
  if (options.fv_alpha == 0.0 || fv.empty()) {
    return countnonfiniteframes(lf0, cc, rowlen, fv);
  }
  // Unwarping clamps an infinite fv into 0 .. fs/2: only NaN stays.
  std::uint64_t count = 0;
  for (std::size_t k = 0; k < lf0.size(); ++k) {
    const bool badfv = k < fv.size() && std::isnan(fv[k]);
    count += badfv || countnonfiniteframes(lf0.subspan(k, 1), cc.subspan(k * rowlen, rowlen),
                                           rowlen, {}) != 0
                 ? 1u
                 : 0u;
  }
  return count;
}

}  // namespace vallisynth
