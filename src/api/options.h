// The public options checked and resolved into the values the engine takes.
#ifndef VALLISYNTH_API_OPTIONS_H_
#define VALLISYNTH_API_OPTIONS_H_

#include <cstdint>
#include <span>
#include <string>

#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// Options after their checks, with the rate's defaults filled in and the
// vocal-tract warp composed into the all-pass constant.
struct ResolvedOptions {
  double fs = 16000.0;            // Hz
  std::uint32_t frameshift = 80;  // at which frames are synthesised
  double alpha = 0.42;            // with the vocal-tract warp folded in
  double gamma = 0.0;
  double fvalpha = 0.0;
  double fpitch = 1.0;
  double fvpitch = 1.0;
  bool normalize = false;
  bool sptkform = false;
  unsigned threads = 1;  // 0: every usable core
};

// Largest synthesis frame shift: a one-frame utterance, 2 L + 1 samples,
// must still fit a WAV file.
inline constexpr std::uint32_t kMaxSynthesisShift = 1073741814u;

// Checks every option; throws Error(Errc::bad_argument) naming the first
// that is out of range, by the names given.
ResolvedOptions resolve_options(const Options& options, OptionNames names = OptionNames::cpp);

// A c0 value of the rows' form in the engine's form (the steps the rows go
// through, each monotonic).
double engine_c0(double c0, const ResolvedOptions& o);

// What a cepstral row (in the rows' form) renders as: a finite row whose
// envelope fits, a row holding a value that is not finite, or a finite row
// whose envelope's exponential, or the samples made from it, may overflow
// (its log magnitude is at most c0 + sum |cj| in the engine's form; a very
// negative c0 is only a quiet frame). The last two render silent.
enum class RowKind { renderable, not_finite, overflowing };
RowKind classify_row(std::span<const double> row, const ResolvedOptions& o);

// The frames that render silent or unvoiced, in all and by stream.
struct BadFrames {
  std::uint64_t frames = 0;
  std::uint64_t lf0 = 0;
  std::uint64_t cc = 0;
  std::uint64_t fv = 0;
  std::uint64_t overflowing = 0;
};
BadFrames count_bad_frames(std::span<const double> lf0, std::span<const double> cc,
                           std::size_t rowlen, std::span<const double> fv,
                           const ResolvedOptions& o);

// Throws Error(code, message).
[[noreturn]] void fail(Errc code, const std::string& message);

// Refuses (Error(bad_argument)) a path that holds a NUL character: the
// system would see only the name before it, another file.
void check_path(const std::string& path);

// The noise source behind a public NoiseSource.
struct NoiseAccess {
  static class NoisePhaseSource& get(NoiseSource& source);
};

}  // namespace vallisynth

#endif  // VALLISYNTH_API_OPTIONS_H_
