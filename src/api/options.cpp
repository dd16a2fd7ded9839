// The public interface's options, noise source, PCM conversion and checks.
#include "api/options.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "conditioning/finite.h"
#include "conditioning/logf0.h"
#include "conditioning/warping.h"
#include "dsp/lanes.h"
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

static_assert(unvoiced_lf0 == kUnvoicedLogF0, "one unvoiced marker");

// Largest log magnitude of an envelope that renders: e^300 is about 1e130,
// so that the harmonics' amplitudes, their sums, the noise's transform and
// a postfilter's powers stay finite far beyond any voice's (whose log
// magnitudes stay within a few tens).
constexpr double kMaxLogEnvelope = 300.0;

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// The checks of one Options under one naming of its members.
class Checker {
 public:
  explicit Checker(OptionNames names) : names_(names) {
  }

  std::string name(const char* cpp) const {
    return option_name(cpp, names_);
  }

  // v must lie in [lo, hi] (NaN never does).
  void range(const char* cpp, double v, double lo, double hi) const {
    if (!(v >= lo && v <= hi)) {
      fail(Errc::bad_argument,
           name(cpp) + " is " + number(v) + ", outside " + number(lo) + " to " + number(hi));
    }
  }

  // An all-pass constant must be finite with a magnitude below 1.
  void allpass(const char* cpp, double v) const {
    if (!(std::fabs(v) < 1.0)) {
      fail(Errc::bad_argument, name(cpp) + " is " + number(v) +
                                   ", not an all-pass constant (its magnitude must be below 1)");
    }
  }

  void finite(const char* cpp, double v) const {
    if (!std::isfinite(v)) {
      fail(Errc::bad_argument, name(cpp) + " is " + number(v) + ", not a finite number");
    }
  }

  std::uint32_t shift(const Options& o) const {
    if (o.sample_rate < min_sample_rate || o.sample_rate > max_sample_rate) {
      fail(Errc::bad_argument, name("sample_rate") + " is " + std::to_string(o.sample_rate) +
                                   " Hz, outside " + std::to_string(min_sample_rate) + " to " +
                                   std::to_string(max_sample_rate));
    }
    range("duration_factor", o.duration_factor, min_pitch_factor, max_pitch_factor);
    const std::uint32_t lframe = o.frame_shift.value_or(default_frame_shift(o.sample_rate));
    // The stream's shift times the duration factor, truncated toward zero.
    const double product = static_cast<double>(lframe) * o.duration_factor;
    const std::uint64_t shift =
        o.duration_factor == 1.0 ? lframe : static_cast<std::uint64_t>(product);
    if (shift < 1 || shift > kMaxSynthesisShift) {
      fail(Errc::bad_argument, "frame shift of " + std::to_string(shift) + " samples (" +
                                   name("frame_shift") + " x " + name("duration_factor") +
                                   ") is outside 1 to " + std::to_string(kMaxSynthesisShift));
    }
    return static_cast<std::uint32_t>(shift);
  }

 private:
  OptionNames names_;
};

std::uint32_t synthesis_shift(const Options& o) {
  return Checker(OptionNames::cpp).shift(o);
}

}  // namespace

const char* option_name(const char* cpp_name, OptionNames names) noexcept {
  for (const OptionName& n : option_names) {
    if (std::strcmp(n.cpp, cpp_name) == 0) {
      return names == OptionNames::python         ? n.python
             : names == OptionNames::command_line ? n.command_line
                                                  : n.cpp;
    }
  }
  return "";
}

Error::Error(Errc code, const std::string& message) : std::runtime_error(message), code_(code) {
}

Error::Error(Errc code, const std::string& message, const std::string& path, int system_error)
    : std::runtime_error(message), code_(code), system_error_(system_error), path_(path) {
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

ResolvedOptions resolve_options(const Options& o, OptionNames names) {
  const Checker check(names);
  ResolvedOptions r;
  r.frameshift = check.shift(o);
  r.fs = static_cast<double>(o.sample_rate);
  const double alpha = o.alpha.value_or(default_alpha(o.sample_rate));
  check.allpass("alpha", alpha);
  check.allpass("fv_alpha", o.fv_alpha);
  check.finite("gamma", o.gamma);
  check.range("pitch_factor", o.pitch_factor, min_pitch_factor, max_pitch_factor);
  check.range("pitch_range", o.pitch_range, 0.0, max_pitch_range);
  check.range("vocal_tract_warp", o.vocal_tract_warp, -max_vocal_tract_warp, max_vocal_tract_warp);
  if (o.cepstrum_form != CepstrumForm::stored && o.cepstrum_form != CepstrumForm::sptk) {
    fail(Errc::bad_argument, check.name("cepstrum_form") + " is " +
                                 std::to_string(static_cast<int>(o.cepstrum_form)) +
                                 ", neither stored (0) nor sptk (1)");
  }
  if (o.threads > max_threads) {
    fail(Errc::bad_argument, check.name("threads") + " is " + std::to_string(o.threads) +
                                 ", more than " + std::to_string(max_threads));
  }
  // A non-finite utterance-wide value would make every sample NaN.
  if (o.c0_limits) {
    check.finite("c0_limits", o.c0_limits->lowest);
    check.finite("c0_limits", o.c0_limits->highest_voiced);
  }
  if (o.mean_lf0) {
    check.finite("mean_lf0", *o.mean_lf0);
  }
  if (o.gain) {
    check.finite("gain", *o.gain);
  }
  r.alpha = o.vocal_tract_warp == 0.0 ? alpha : compose_warps(alpha, o.vocal_tract_warp);
  r.gamma = o.gamma;
  r.fvalpha = o.fv_alpha;
  r.fpitch = o.pitch_factor;
  r.fvpitch = o.pitch_range;
  r.normalize = o.normalize;
  r.sptkform = o.cepstrum_form == CepstrumForm::sptk;
  r.threads = o.threads;
  return r;
}

void check_options(const Options& options, OptionNames names) {
  resolve_options(options, names);
}

void check_streaming_options(const Options& options, bool fv_track, OptionNames names) {
  const ResolvedOptions o = resolve_options(options, names);
  const Checker check(names);
  if (!fv_track && !options.c0_limits) {
    fail(Errc::not_streamable,
         "without an fv track each frame's fv follows its c0 over the utterance's c0 range: "
         "declare " +
             check.name("c0_limits") + " (utterance_stats gives them)");
  }
  if (o.fvpitch != 1.0 && !options.mean_lf0) {
    fail(Errc::not_streamable, check.name("pitch_range") +
                                   " scales around the utterance's mean log-f0: declare " +
                                   check.name("mean_lf0") + " (utterance_stats gives it)");
  }
  if (o.normalize && !options.gain) {
    fail(Errc::not_streamable, check.name("normalize") +
                                   " needs the utterance's peak: declare a fixed " +
                                   check.name("gain"));
  }
}

double engine_c0(double c0, const ResolvedOptions& o) {
  double v = c0;
  if (o.sptkform) {
    sptk_to_stored_cepstrum(std::span<double>(&v, 1), 0, o.fs);
  }
  return stored_to_plain_c0(v);
}

namespace {

// The sum of |v| over values, in four interleaved partial sums (then a
// tail): within 2 n units in the last place of the sum in order.
__attribute__((always_inline)) inline double interleaved_abs_sum(std::span<const double> values) {
  using LaneBits = std::uint64_t __attribute__((vector_size(32)));
  constexpr std::uint64_t kMagnitude = 0x7FFFFFFFFFFFFFFF;  // all but the sign bit
  const LaneBits magnitude = {kMagnitude, kMagnitude, kMagnitude, kMagnitude};
  Lanes sums = {};
  std::size_t i = 0;
  for (; i + kLaneCount <= values.size(); i += kLaneCount) {
    LaneBits v;
    std::memcpy(&v, values.data() + i, sizeof v);
    sums = sums + __builtin_bit_cast(Lanes, v & magnitude);
  }
  double sum = (sums[0] + sums[2]) + (sums[1] + sums[3]);
  for (; i < values.size(); ++i) {
    sum += std::fabs(values[i]);
  }
  return sum;
}

}  // namespace

VALLISYNTH_MULTIARCH RowKind classify_row(std::span<const double> row, const ResolvedOptions& o) {
  if (row.empty()) {
    return RowKind::renderable;
  }
  // The bound sums |c| past c0, which the engine halves, in order; a finite
  // bound and c0 show that the row is finite too; a NaN or an infinity
  // anywhere makes the bound so, and only then is the row looked at again
  // (an overflowing sum of finite values is an overflowing envelope). The
  // sum is first taken in vector registers, in another order: unless that
  // puts the envelope within rounding of the limit, it decides the same.
  const std::span<const double> rest = row.subspan(1);
  const double c0 = engine_c0(row[0], o);
  const double quick = interleaved_abs_sum(rest);
  if (std::isfinite(quick) && std::isfinite(c0)) {
    const double envelope = c0 + 0.5 * quick;
    const double margin = 4.0 * static_cast<double>(rest.size() + 2) *
                          std::numeric_limits<double>::epsilon() *
                          (std::fabs(c0) + 0.5 * quick + kMaxLogEnvelope);
    if (std::fabs(envelope - kMaxLogEnvelope) > margin) {
      return envelope > kMaxLogEnvelope ? RowKind::overflowing : RowKind::renderable;
    }
  }
  double bound = 0.0;
  for (const double v : rest) {
    bound += std::fabs(v);
  }
  if (!std::isfinite(bound) || !std::isfinite(row[0])) {
    return is_finite_row(row) ? RowKind::overflowing : RowKind::not_finite;
  }
  return engine_c0(row[0], o) + 0.5 * bound > kMaxLogEnvelope ? RowKind::overflowing
                                                              : RowKind::renderable;
}

BadFrames count_bad_frames(std::span<const double> lf0, std::span<const double> cc,
                           std::size_t rowlen, std::span<const double> fv,
                           const ResolvedOptions& o) {
  BadFrames bad;
  for (std::size_t k = 0; k < lf0.size(); ++k) {
    // An unvoiced marker, -inf included (the log of an f0 of 0), is no fault.
    const bool badlf0 = lf0[k] > kUnvoicedLogF0 ? !has_finite_f0(lf0[k]) : std::isnan(lf0[k]);
    const std::span<const double> row = cc.subspan(k * rowlen, rowlen);
    const RowKind kind = classify_row(row, o);
    const bool finiterow = kind != RowKind::not_finite;
    const bool overflow = kind == RowKind::overflowing;
    // Unwarping clamps an infinite fv into 0 .. fs/2: only NaN stays.
    const bool badfv =
        k < fv.size() && (o.fvalpha == 0.0 ? !std::isfinite(fv[k]) : std::isnan(fv[k]));
    bad.lf0 += badlf0 ? 1u : 0u;
    bad.cc += finiterow ? 0u : 1u;
    bad.fv += badfv ? 1u : 0u;
    bad.overflowing += overflow ? 1u : 0u;
    bad.frames += badlf0 || !finiterow || overflow || badfv ? 1u : 0u;
  }
  return bad;
}

bool lf0_looks_like_hz(std::span<const double> lf0) noexcept {
  // A voice's f0 in Hz lies above ln 1000 and at most at 1000 Hz; a log-f0
  // never lies above ln 1000. Values beyond 1000 are garbage, not Hz.
  constexpr double kLogHighestF0 = 6.907755278982137;
  constexpr double kHighestHz = 1000.0;
  std::uint64_t hz = 0;
  for (const double v : lf0) {
    if (v > kLogHighestF0 && v <= kHighestHz) {
      ++hz;
    } else if (v != 0.0) {
      return false;
    }
  }
  return hz > lf0.size() - hz;
}

std::uint32_t synthesis_frame_shift(const Options& options) {
  return synthesis_shift(options);
}

std::uint64_t rendered_length(std::uint64_t frames, const Options& options) {
  const std::uint64_t shift = synthesis_shift(options);
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (frames >= (kMax - 1u) / shift) {
    return kMax;  // (frames + 1) L + 1 would not fit
  }
  return (frames + 1u) * shift + 1u;
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
  const ResolvedOptions o = resolve_options(options);
  const std::size_t rowlen = lf0.empty() ? 0 : cc.size() / lf0.size();
  if (lf0.empty() ? !cc.empty() : rowlen == 0 || rowlen * lf0.size() != cc.size()) {
    fail(Errc::dimensions, "cc holds " + std::to_string(cc.size()) +
                               " values, not a whole number of coefficients for each of the " +
                               std::to_string(lf0.size()) + " frames of lf0");
  }
  if (!fv.empty() && fv.size() < lf0.size()) {
    fail(Errc::dimensions, "fv holds " + std::to_string(fv.size()) + " values, fewer than the " +
                               std::to_string(lf0.size()) + " frames of lf0");
  }
  return count_bad_frames(lf0, cc, rowlen, fv, o).frames;
}

std::vector<std::uint8_t> NoiseSource::save() const {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(saved_size);
  // Little-endian, whatever the machine.
  for (const std::uint32_t v : state_->rng.table()) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(v >> shift));
    }
  }
  return bytes;
}

NoiseSource NoiseSource::restore(std::span<const std::uint8_t> saved) {
  if (saved.size() != saved_size) {
    fail(Errc::bad_argument, "a saved noise source holds " + std::to_string(saved_size) +
                                 " bytes, not " + std::to_string(saved.size()));
  }
  NoisePhaseSource::Table table{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    std::uint32_t v = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      v |= std::uint32_t{saved[4 * i + b]} << (8 * b);
    }
    table[i] = v;
  }
  NoiseSource source;
  source.state_->rng.settable(table);
  return source;
}

}  // namespace vallisynth
