// The public interface's options, noise source, PCM conversion and checks.
#include "api/options.h"

#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "conditioning/finite.h"
#include "conditioning/logf0.h"
#include "conditioning/warping.h"
#include "io/memorylimit.h"
#include "io/wavwriter.h"
#include "synthesis/noise.h"
#include "synthesis/noisesource.h"
#include "synthesis/parallelsynth.h"
#include "synthesis/synthesis.h"

namespace vallisynth {

struct NoiseSource::State {
  NoisePhaseSource rng;
};

NoisePhaseSource& NoiseAccess::get(NoiseSource& source) {
  return source.state_->rng;
}

[[noreturn]] void fail(Errc code, const std::string& message) {
  throw Error(code, message);
}

namespace {

constexpr int kMinRate = 8000;
constexpr int kMaxRate = 48000;

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// v must lie in [lo, hi] (NaN never does).
void check_range(const char* name, double v, double lo, double hi) {
  if (!(v >= lo && v <= hi)) {
    fail(Errc::bad_argument,
         std::string(name) + " is " + number(v) + ", outside " + number(lo) + " to " + number(hi));
  }
}

// An all-pass constant must be finite with a magnitude below 1.
void check_allpass(const char* name, double v) {
  if (!(std::fabs(v) < 1.0)) {
    fail(Errc::bad_argument, std::string(name) + " is " + number(v) +
                                 ", not an all-pass constant (its magnitude must be below 1)");
  }
}

std::uint32_t synthesis_shift(const Options& o) {
  if (o.sample_rate < kMinRate || o.sample_rate > kMaxRate) {
    fail(Errc::bad_argument,
         "sample_rate is " + std::to_string(o.sample_rate) + " Hz, outside 8000 to 48000");
  }
  check_range("duration_factor", o.duration_factor, 0.25, 4.0);
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

ResolvedOptions resolve_options(const Options& o) {
  ResolvedOptions r;
  r.frameshift = synthesis_shift(o);
  r.fs = static_cast<double>(o.sample_rate);
  const double alpha = o.alpha.value_or(default_alpha(o.sample_rate));
  check_allpass("alpha", alpha);
  check_allpass("fv_alpha", o.fv_alpha);
  if (!std::isfinite(o.gamma)) {
    fail(Errc::bad_argument, "gamma is " + number(o.gamma) + ", not a finite number");
  }
  check_range("pitch_factor", o.pitch_factor, 0.25, 4.0);
  check_range("pitch_range", o.pitch_range, 0.0, 4.0);
  check_range("vocal_tract_warp", o.vocal_tract_warp, -0.99, 0.99);
  if (o.cepstrum_form != CepstrumForm::stored && o.cepstrum_form != CepstrumForm::sptk) {
    fail(Errc::bad_argument, "cepstrum_form is " +
                                 std::to_string(static_cast<int>(o.cepstrum_form)) +
                                 ", neither stored (0) nor sptk (1)");
  }
  r.alpha = o.vocal_tract_warp == 0.0 ? alpha : compose_warps(alpha, o.vocal_tract_warp);
  r.gamma = o.gamma;
  r.fvalpha = o.fv_alpha;
  r.fpitch = o.pitch_factor;
  r.fvpitch = o.pitch_range;
  r.normalize = o.normalize;
  r.sptkform = o.cepstrum_form == CepstrumForm::sptk;
  if (o.threads > 1024) {
    fail(Errc::bad_argument, "threads is " + std::to_string(o.threads) + ", more than 1024");
  }
  r.threads = o.threads;
  return r;
}

std::uint32_t synthesis_frame_shift(const Options& options) {
  return synthesis_shift(options);
}

std::uint64_t rendered_length(std::uint64_t frames, const Options& options) {
  return (frames + 1u) * synthesis_shift(options) + 1u;
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

void NoiseSource::skip(std::uint64_t frames, const Options& options) {
  const std::uint32_t shift = synthesis_shift(options);
  state_->rng.skip(frames * noise_draws_per_frame(std::bit_ceil(2u * shift)));
}

bool NoiseSource::operator==(const NoiseSource& other) const noexcept {
  return state_->rng == other.state_->rng;
}

unsigned usable_threads() noexcept {
  return usable_cores();
}

std::uint64_t count_nonfinite_frames(std::span<const double> lf0, std::span<const double> cc,
                                     std::span<const double> fv, const Options& options) {
  const std::size_t rowlen = lf0.empty() ? 0 : cc.size() / lf0.size();
  if (options.fv_alpha == 0.0 || fv.empty()) {
    return count_nonfinite_rows(lf0, cc, rowlen, fv);
  }
  // Unwarping clamps an infinite fv into 0 .. fs/2: only NaN stays.
  std::uint64_t count = 0;
  for (std::size_t k = 0; k < lf0.size(); ++k) {
    const bool badfv = k < fv.size() && std::isnan(fv[k]);
    count += badfv || count_nonfinite_rows(lf0.subspan(k, 1), cc.subspan(k * rowlen, rowlen),
                                           rowlen, {}) != 0
                 ? 1u
                 : 0u;
  }
  return count;
}

}  // namespace vallisynth
