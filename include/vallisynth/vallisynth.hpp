// vallisynth: harmonic-plus-noise speech decoder with a mel-cepstral
// envelope. The C++20 interface.
//
// From per-frame parameter streams (log-f0, mel-cepstra, optionally the
// maximum voiced frequency) the decoder renders speech: every frame is the
// sum of the harmonics of f0 below its maximum voiced frequency and of
// random-phase noise shaped by the same envelope, overlap-added at the frame
// shift. Frame k is centred on sample (k + 1) L, L the frame shift, so K
// frames give (K + 1) L + 1 samples.
//
// Errors: every failure throws vallisynth::Error, whose code() is one of the
// Errc values (the same numbers as the C interface's VALLISYNTH_ERR_*) and
// whose what() names the cause and the argument or file concerned. A file
// that cannot be opened, read or written also gives the operating system's
// reason: in what() ("could not create out.wav: No space left on device"),
// as system_error() (the errno value) and path(). The library never prints
// and never ends the process.
//
// Threads: there is no global or hidden static state. An object (a
// NoiseSource, a Synthesizer) may be used by one thread at a time; different
// objects, and the free functions on different data, may be used from any
// number of threads at once.
//
// Reproducibility: the noise phases come from a NoiseSource, a fixed
// pseudo-random sequence that starts at its beginning when the source is
// made or reset. One utterance rendered with a fresh source gives exactly
// the command line's samples; a batch gives the command line's batch when
// one source is passed on from utterance to utterance.
#ifndef VALLISYNTH_VALLISYNTH_HPP_
#define VALLISYNTH_VALLISYNTH_HPP_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "vallisynth/vallisynth.h"

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

namespace vallisynth {

// Version of the library, as "major.minor.patch".
const char* version() noexcept;

// Most samples a WAV file can describe: its RIFF size field, 36 + 2n, is
// 32 bits wide.
inline constexpr std::uint32_t max_wav_samples = (0xFFFFFFFFu - 36u) / 2u;

// The options' defaults and limits, which the command line and the Python
// package take from here.
inline constexpr int default_sample_rate = VALLISYNTH_DEFAULT_SAMPLE_RATE;  // Hz
inline constexpr int min_sample_rate = VALLISYNTH_MIN_SAMPLE_RATE;          // Hz
inline constexpr int max_sample_rate = VALLISYNTH_MAX_SAMPLE_RATE;          // Hz
inline constexpr unsigned max_threads = VALLISYNTH_MAX_THREADS;
inline constexpr double min_pitch_factor = 0.25;  // also duration_factor's
inline constexpr double max_pitch_factor = 4.0;   // also duration_factor's
inline constexpr double max_pitch_range = 4.0;    // pitch_range: 0 to this
inline constexpr double max_vocal_tract_warp = 0.99;
// A log-f0 not above this (-inf included) marks an unvoiced frame.
inline constexpr double unvoiced_lf0 = -1e10;

// What went wrong; the values are those of the C interface's codes.
enum class Errc : int {
  bad_argument = VALLISYNTH_ERR_BAD_ARGUMENT,      // an option or argument out of its range
  dimensions = VALLISYNTH_ERR_DIMENSIONS,          // stream lengths that do not fit together
  too_long = VALLISYNTH_ERR_TOO_LONG,              // more samples than a WAV file holds
  out_of_memory = VALLISYNTH_ERR_OUT_OF_MEMORY,    // buffers could not be allocated
  open_failed = VALLISYNTH_ERR_OPEN,               // a stream could not be opened or read
  create_failed = VALLISYNTH_ERR_CREATE,           // an output file could not be written
  not_streamable = VALLISYNTH_ERR_NOT_STREAMABLE,  // needs the whole utterance (Synthesizer)
};

// The one exception type of the library.
class Error : public std::runtime_error {
 public:
  Error(Errc code, const std::string& message);
  // A file's failure: path and the errno value that says why (0: none).
  Error(Errc code, const std::string& message, const std::string& path, int system_error);
  Errc code() const noexcept {
    return code_;
  }
  // The operating system's errno for a file that failed, else 0.
  int system_error() const noexcept {
    return system_error_;
  }
  // The file concerned, or "" when the failure is not a file's.
  const std::string& path() const noexcept {
    return path_;
  }

 private:
  Errc code_;
  int system_error_ = 0;
  std::string path_;
};

// The convention of coefficient 0 (and of the others) of the cepstral rows.
enum class CepstrumForm : int {
  // As this decoder's analysis and HTS voices adapted for it store them:
  // c0 + 5, 2 c1, 2 c2, ..., 2 c(order).
  stored = VALLISYNTH_CC_STORED,
  // As SPTK's mcep and hts_engine write them: ln|H| = c0 + sum cj cos(j w~),
  // c0 on the 16-bit sample scale with power-normalised windows.
  sptk = VALLISYNTH_CC_SPTK,
};

// The range of cepstral coefficient 0 from which each voiced frame's maximum
// voiced frequency follows when there is no fv track: c0 (in the form of the
// cepstral rows given) of the quietest frame maps to 0 Hz, of the loudest
// voiced one to 4500 Hz.
struct C0Limits {
  double lowest = 0.0;          // smallest c0 of all frames
  double highest_voiced = 0.0;  // largest c0 of the voiced frames
};

// Rendering options. The defaults are the command line's. Values outside
// their ranges are refused with Errc::bad_argument (the command line clamps
// them before it calls the library).
struct Options {
  int sample_rate = default_sample_rate;  // Hz, 8000 to 48000
  // Frame shift of the streams in samples; unset: 5 ms at sample_rate
  // rounded to whole samples (80 at 16 kHz).
  std::optional<std::uint32_t> frame_shift = std::nullopt;
  // All-pass constant of the mel-cepstrum, |alpha| < 1; unset: the
  // conventional one for sample_rate (0.42 at 16 kHz; see default_alpha).
  std::optional<double> alpha = std::nullopt;
  double gamma = 0.0;             // formant postfilter strength, 0: off; finite
  double fv_alpha = 0.0;          // all-pass constant of the fv track, |x| < 1; 0: plain Hz
  double pitch_factor = 1.0;      // multiplies every voiced f0; 0.25 to 4
  double pitch_range = 1.0;       // scales log-f0 around its voiced mean; 0 to 4
  double duration_factor = 1.0;   // multiplies the frame shift (truncated); 0.25 to 4
  double vocal_tract_warp = 0.0;  // > 0 moves formants up, < 0 down; -0.99 to 0.99
  bool normalize = false;         // scale the output so that its peak is 0.99
  CepstrumForm cepstrum_form = CepstrumForm::stored;
  // Threads that render an utterance, the caller's included: 1 (the
  // default) renders on the calling thread alone; 0 uses every core the
  // process may run on (its CPU affinity); at most 1024. No more are
  // started than the process has cores, nor (in render()) than the
  // utterance's frames can share out, 64 at least each: each holds work
  // areas of its own. The samples are the same for every count. Pushes of
  // fewer than 64 frames stay on the calling thread, where a second one
  // would not pay.
  unsigned threads = 1;

  // Values that depend on the whole utterance. render() works them out
  // itself when they are unset; a Synthesizer, which sees the frames one
  // push at a time, must be given those its options need.
  // Each must be finite when set.
  // The c0 range for fv from c0 (not needed with an fv track).
  std::optional<C0Limits> c0_limits = std::nullopt;
  // The mean voiced log-f0 after pitch_factor, around which pitch_range
  // scales (not needed when pitch_range is 1).
  std::optional<double> mean_lf0 = std::nullopt;
  // A fixed gain applied to every sample, instead of the one normalize
  // would work out from the peak.
  std::optional<double> gain = std::nullopt;
};

// The names each option goes by: the Options member, the command line's
// parameter, the Python keyword. Messages about options use the names of
// the interface that checks them (check_options).
enum class OptionNames : int { cpp = 0, command_line = 1, python = 2 };
struct OptionName {
  const char* cpp;
  const char* command_line;  // "" where the command line has none
  const char* python;
};
inline constexpr OptionName option_names[] = {
    {"sample_rate", "FS", "fs"},
    {"frame_shift", "LFRAME", "frame_shift"},
    {"alpha", "ALPHA", "alpha"},
    {"gamma", "GAMMA", "gamma"},
    {"fv_alpha", "FVALPHA", "fv_alpha"},
    {"pitch_factor", "FPITCH", "fpitch"},
    {"pitch_range", "FVPITCH", "fvpitch"},
    {"duration_factor", "FDUR", "fdur"},
    {"vocal_tract_warp", "FWARP", "fwarp"},
    {"normalize", "WAVNORM", "normalize"},
    {"cepstrum_form", "CCFORM", "cc_format"},
    {"threads", "THREADS", "threads"},
    {"c0_limits", "", "c0_limits"},
    {"mean_lf0", "", "mean_lf0"},
    {"gain", "", "gain"},
};

// The name of the Options member cpp_name under names ("" when unknown).
const char* option_name(const char* cpp_name, OptionNames names) noexcept;

// Checks every option as render() does; throws Error(bad_argument) naming
// the first out of range by the names given.
void check_options(const Options& options, OptionNames names = OptionNames::cpp);

// Also the utterance-wide values a Synthesizer with or without an fv track
// must be given (Errc::not_streamable), as its constructor checks them.
void check_streaming_options(const Options& options, bool fv_track,
                             OptionNames names = OptionNames::cpp);

// What render() works out from the whole utterance: the values a
// Synthesizer needs to give exactly render()'s samples.
//
// Without any voiced frame mean_lf0 is NaN and c0_limits.highest_voiced is
// -DBL_MAX; without any finite frame c0_limits.lowest is DBL_MAX. Either
// way they are what render() uses, and a Synthesizer given them renders
// render()'s samples.
struct UtteranceStats {
  C0Limits c0_limits;           // as Options::c0_limits
  double mean_lf0 = 0.0;        // as Options::mean_lf0; NaN without voiced frames
  std::uint64_t voiced = 0;     // frames voiced after the pitch changes and f0 limits
  std::uint64_t nonfinite = 0;  // frames rendered silent or unvoiced (below)
  // Of those, by the stream that holds the values (a frame may count in
  // more than one): a log-f0 that is NaN, +inf or whose f0 overflows (an
  // unvoiced marker, -inf included, is not one); a cepstral row with a
  // value that is not finite; an fv value that is not.
  std::uint64_t nonfinite_lf0 = 0;
  std::uint64_t nonfinite_cc = 0;
  std::uint64_t nonfinite_fv = 0;
  // Frames whose finite cepstral row gives an envelope too large to render
  // (as a corrupt or byte-swapped stream does): rendered silent, counted in
  // nonfinite and left out of c0_limits.
  std::uint64_t overflowing = 0;
  // The log-f0 track looks like f0 in Hz (see lf0_looks_like_hz).
  bool lf0_in_hz = false;
};

// True when an lf0 track looks like f0 in Hz rather than its natural log:
// more than half of its values lie between ln 1000 and 1000 (no voice's f0
// is above 1000 Hz, so no log-f0 is above ln 1000) and every other one is
// exactly 0 (the unvoiced marker of f0 tracks in Hz).
bool lf0_looks_like_hz(std::span<const double> lf0) noexcept;

// The utterance-wide values of an utterance under options (arguments as for
// render). Throws Error as render does for options and dimensions.
UtteranceStats utterance_stats(std::span<const double> lf0, std::span<const double> cc,
                               std::span<const double> fv, const Options& options);

// utterance_stats() with the cepstral rows (and fv values) given piece by
// piece, so that a long utterance need not be held in memory: the same
// values. The log-f0 track is given whole (8 bytes a frame).
class StatsScanner {
 public:
  // lf0 is not copied: it must stay valid and unchanged while the scanner
  // is used. Throws Error(bad_argument) for options out of range or an lf0
  // without frames.
  StatsScanner(std::span<const double> lf0, std::uint32_t order, const Options& options);
  ~StatsScanner();
  StatsScanner(const StatsScanner&) = delete;
  StatsScanner& operator=(const StatsScanner&) = delete;
  // The next frames' rows (order + 1 values each) and their fv values
  // (empty without an fv track), in order. Throws Error(dimensions) past
  // the last frame or for a partial row.
  void add(std::span<const double> cc, std::span<const double> fv = {});
  // The values, once every frame's row has been added (else
  // Error(dimensions)).
  UtteranceStats stats() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The conventional all-pass constant for a sampling rate (Hz): 0.31 at
// 8 kHz, 0.35 at 10 kHz, 0.37 at 12 kHz, 0.42 at 16 kHz, 0.45 at 22.05 kHz,
// 0.50 at 32 kHz, 0.53 at 44.1 kHz, 0.55 at 48 kHz; the nearest listed rate's
// otherwise (the lower one on a tie).
double default_alpha(int sample_rate) noexcept;

// The default frame shift for a sampling rate: 5 ms rounded to whole samples.
std::uint32_t default_frame_shift(int sample_rate) noexcept;

// The frame shift at which options synthesise: frame_shift (or its default)
// times duration_factor, truncated. Throws Errc::bad_argument for options
// out of range.
std::uint32_t synthesis_frame_shift(const Options& options);

// The cores this process may run on (its CPU affinity), at least 1: the
// thread count that Options::threads = 0 stands for.
unsigned usable_threads() noexcept;

// Number of samples that rendering frames frames with options gives:
// (frames + 1) x synthesis_frame_shift(options) + 1, or UINT64_MAX when that
// does not fit 64 bits.
std::uint64_t rendered_length(std::uint64_t frames, const Options& options);

// The noise-phase sequence. Made (or reset) at its beginning; each rendered
// frame draws from it, so passing one source from utterance to utterance
// renders a batch exactly as the command line does. Copying takes a
// snapshot of the position.
class NoiseSource {
 public:
  NoiseSource();
  ~NoiseSource();
  NoiseSource(const NoiseSource& other);
  NoiseSource& operator=(const NoiseSource& other);
  NoiseSource(NoiseSource&& other) noexcept;
  NoiseSource& operator=(NoiseSource&& other) noexcept;

  // Back to the beginning of the sequence.
  void reset() noexcept;

  // Moves on to where rendering `frames` frames with options leaves the
  // source, without rendering them (every frame draws the same count of
  // phases, set by the frame shift): where the next utterance of a batch
  // starts, so that utterances can be rendered side by side. Takes
  // O(log frames) steps. Throws Errc::bad_argument for options out of range.
  void skip(std::uint64_t frames, const Options& options);

  // True when both stand at the same place in the sequence.
  bool operator==(const NoiseSource& other) const noexcept;

  // The position as saved_size bytes, and a source at a position so saved
  // (Error(bad_argument) for any other size): a source can be stored or
  // sent to another process and go on there.
  static constexpr std::size_t saved_size = VALLISYNTH_NOISE_SAVED_SIZE;
  std::vector<std::uint8_t> save() const;
  static NoiseSource restore(std::span<const std::uint8_t> saved);

 private:
  struct State;
  friend struct NoiseAccess;
  std::unique_ptr<State> state_;
};

// Renders one utterance.
//
// lf0  natural log of f0 in Hz, one value per frame; a value not above
//      -1e10 (the streams' unvoiced marker) or NaN marks an unvoiced frame
// cc   frames x (order + 1) cepstral coefficients, frame by frame, in the
//      form options.cepstrum_form says; the order follows from the sizes
// fv   maximum voiced frequency per frame in Hz (warped with
//      options.fv_alpha), at least one value per frame; empty: each voiced
//      frame's follows its energy (c0), from 0 Hz for the utterance's
//      quietest frame to 4500 Hz for its loudest voiced one
// noise  the noise-phase source, left where the utterance ends
//
// Returns rendered_length(lf0.size(), options) samples, full scale 1.0.
// Throws Error: bad_argument (options out of range, no frames),
// dimensions (cc not a whole number of rows per frame, fv shorter than lf0),
// too_long (more samples than a WAV file holds), out_of_memory.
[[nodiscard]] std::vector<double> render(std::span<const double> lf0, std::span<const double> cc,
                                         std::span<const double> fv, const Options& options,
                                         NoiseSource& noise);

// The same into out, which must hold at least rendered_length() samples
// (else Errc::bad_argument); returns the number of samples written.
[[nodiscard]] std::size_t render(std::span<const double> lf0, std::span<const double> cc,
                                 std::span<const double> fv, const Options& options,
                                 NoiseSource& noise, std::span<double> out);

// The same with a fresh noise source: the command line's samples.
[[nodiscard]] std::vector<double> render(std::span<const double> lf0, std::span<const double> cc,
                                         std::span<const double> fv = {},
                                         const Options& options = {});

// The streaming decoder: frames in, final samples out, exactly render()'s
// samples for any way of cutting the utterance into pushes.
//
// Frame k is centred on sample (k + 1) L (L = synthesis_frame_shift()) and
// spans L samples either side, so once it has been pushed the samples
// before (k + 1) L can no longer change: each pushed frame releases L
// samples, and flush() releases the last L + 1. The latency is therefore
// one frame shift, L samples.
//
// Real-time rule: every buffer is allocated by the constructor (sized for
// the lowest f0 the decoder renders voiced, so that any frame fits); push,
// flush and reset allocate nothing. With options.threads 1 they also take
// no lock and make no system call; with more, a push of 64 frames or more
// hands blocks to the decoder's worker threads and waits for them.
class Synthesizer {
 public:
  // order   cepstral order of the rows to come (order + 1 values a frame)
  // fv_track whether every push brings the frames' fv values
  // options as for render(), with the utterance-wide values the options
  //         need declared: c0_limits without an fv track, mean_lf0 when
  //         pitch_range is not 1, gain when normalize is set
  // noise   the noise-phase source to draw from (it must outlive the
  //         Synthesizer); without it the Synthesizer owns a fresh one
  // Throws Error: bad_argument, not_streamable (an undeclared utterance-wide
  // value), out_of_memory.
  Synthesizer(std::uint32_t order, bool fv_track, const Options& options);
  Synthesizer(std::uint32_t order, bool fv_track, const Options& options, NoiseSource& noise);
  // For an utterance of frames frames in all: no more threads than its
  // pushes can share out.
  Synthesizer(std::uint32_t order, bool fv_track, const Options& options, NoiseSource& noise,
              std::uint64_t frames);
  ~Synthesizer();
  Synthesizer(const Synthesizer&) = delete;
  Synthesizer& operator=(const Synthesizer&) = delete;
  // A moved-from Synthesizer may only be destroyed or assigned to.
  Synthesizer(Synthesizer&& other) noexcept;
  Synthesizer& operator=(Synthesizer&& other) noexcept;

  // Pushes lf0.size() frames: cc holds their rows, fv their fv values (or
  // is empty without an fv track). Writes the lf0.size() x latency()
  // samples that became final into out and returns their number. Throws
  // Error(bad_argument), with nothing rendered, when a size does not fit.
  [[nodiscard]] std::size_t push(std::span<const double> lf0, std::span<const double> cc,
                                 std::span<const double> fv, std::span<double> out);

  // Ends the utterance: writes its last latency() + 1 samples into out and
  // returns their number, then starts a new utterance (the noise source
  // runs on). Throws Error(bad_argument) when out is too short.
  [[nodiscard]] std::size_t flush(std::span<double> out);

  // Starts a new utterance, dropping what was pushed; restart_noise also
  // takes the noise-phase source back to its beginning.
  void reset(bool restart_noise);

  // Samples each pushed frame releases, which is also the delay between a
  // frame's arrival and its centre's release: the frame shift L.
  std::uint32_t latency() const noexcept;

  // Frames pushed since the utterance began.
  std::uint64_t frames() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A parameter stream read piece by piece, so that a long stream needs no
// memory in proportion to its length. Values as read_stream() gives them.
class StreamReader {
 public:
  // Opens path ("-": standard input). Throws Error: open_failed (with the
  // system's reason), bad_argument (a path holding a NUL character).
  explicit StreamReader(const std::string& path);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // The number of values in the stream when it can be known without
  // reading it (a regular file), else unset.
  std::optional<std::uint64_t> size() const noexcept;
  // Reads up to out.size() values into out; returns how many (0 at the
  // end). Throws Error(open_failed) on a read error.
  std::size_t read(std::span<double> out);
  // Back to the first value; false (nothing changed) when the stream
  // cannot seek (a pipe).
  bool rewind();
  // Every value not read yet. Throws Error: open_failed on a read error,
  // out_of_memory (more values than the process may hold).
  std::vector<double> read_all();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The 16-bit samples of x exactly as the WAV writer makes them: 32768 x
// truncated toward zero, from 32767/32768 up the positive limit 32767, from
// -1 down -32768, NaN as 0. out must hold x.size() values (else
// Errc::bad_argument).
void to_pcm16(std::span<const double> x, std::span<std::int16_t> out);
std::vector<std::int16_t> to_pcm16(std::span<const double> x);

// The signal scaled so that its largest magnitude is 0.99 (silence is left
// alone), exactly as Options::normalize and the writer's normalisation do.
void normalize(std::span<double> x) noexcept;

// Writes x as a RIFF/WAVE file: PCM, mono, 16 bits, sample_rate Hz, 44-byte
// header, samples as to_pcm16 makes them (after normalize() of a copy when
// normalize is true). Throws Error: bad_argument (rate out of range),
// too_long, create_failed (naming the file).
void write_wav(const std::string& path, std::span<const double> x,
               int sample_rate = default_sample_rate, bool normalize = false);

// A WAV file written as the samples come: the header first (the length is
// known beforehand), then the samples, converted as to_pcm16 does.
//
// A regular file (or a new name) is written to a temporary file in the same
// folder, named after it with ".tmp-" and six characters, and renamed over
// the final name only by commit(): whatever was at the path stays as it was
// until then, and a failed or abandoned output leaves nothing behind. A
// symbolic link is written through (its target is replaced, the link stays).
// Devices and FIFOs are written directly, and so is "-", standard output.
class WavWriter {
 public:
  // Opens path for samples samples at sample_rate Hz. Throws Error:
  // bad_argument (rate out of range), too_long, create_failed.
  WavWriter(const std::string& path, std::uint64_t samples, int sample_rate);
  // An output that was not committed is discarded.
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Appends samples (full scale 1.0). Throws Error: create_failed (a write
  // failed, e.g. a full disk), bad_argument (more samples than announced).
  void write(std::span<const double> x);
  // Completes the file: every announced sample written, flushed, closed and
  // renamed into place. Throws Error: create_failed, bad_argument (fewer
  // samples than announced); the output is then discarded.
  void commit();
  // Abandons the output: closes it and removes the temporary file.
  void discard() noexcept;
  // The temporary file being written, or "" when the output is written
  // directly or is no longer open. A program that removes it on a
  // termination signal never leaves a partial file behind.
  const char* temporary_path() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Reads a parameter stream: headerless little-endian float32 values, widened
// exactly to double; 1 to 3 trailing bytes are ignored. "-" reads standard
// input; pipes and FIFOs are read to their end. Throws Error: open_failed
// (missing, unreadable, shorter than 4 bytes), out_of_memory (more values
// than the process may hold, cgroup and address-space limits included),
// bad_argument (a path holding a NUL character, which no file name can).
[[nodiscard]] std::vector<double> read_stream(const std::string& path);

// Number of frames holding a value that is not finite: a log-f0 that is NaN
// or +inf or whose f0 overflows (-inf is an unvoiced marker), a cepstral row
// with such a value or whose envelope overflows (UtteranceStats::
// overflowing), or such an fv value (fv may be empty; with options.fv_alpha
// other than 0 the unwarping takes an infinite fv to 0 or fs/2, and only
// NaN counts). Such a frame is rendered silent or unvoiced and is left out
// of the utterance's c0 range and mean log-f0, so that it changes no other
// frame's fv or f0. cc holds lf0.size() whole rows and fv, when not empty,
// at least lf0.size() values (else Error(dimensions)).
std::uint64_t count_nonfinite_frames(std::span<const double> lf0, std::span<const double> cc,
                                     std::span<const double> fv = {}, const Options& options = {});

}  // namespace vallisynth

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#endif  // VALLISYNTH_VALLISYNTH_HPP_
