// vallisynth: the analysis half of the vocoder. The C++20 interface.
//
// From a recording (samples, full scale 1.0) it makes the decoder's three
// streams: log-f0 (ln Hz, -1e10 in unvoiced frames), mel-cepstra (order + 1
// values a frame, in the stored form unless the SPTK form is asked for) and
// the maximum voiced frequency fv (plain Hz, 0 in unvoiced frames).
//
// Frame geometry: the decoder's. Frame k describes the signal around sample
// (k + 1) L, L the frame shift, and N samples give round(N / L) - 1 frames,
// so that decoding them gives N samples to within half a frame shift and
// the tracks line up with the recording at lag 0.
//
// Latency: an Analyser releases frame k once it holds the samples up to
// (k + 1) L + latency(). The latency is fixed by the options: about 91 ms
// with the defaults at every rate, 96 ms with f0_min 40 Hz, and more with
// frame shifts above 5 ms (two frame shifts of it are the fv smoothing's).
// The pitch tracker looks a bounded number of frames ahead before it
// decides, and nothing depends on the whole recording, so analyse() is exactly an Analyser given
// every sample and flushed, for every way of cutting the input into pushes.
//
// Errors: every failure throws vallisynth::Error (see vallisynth.hpp) whose
// what() names the cause and the argument or file concerned.
//
// Threads: an Analyser may be used by one thread at a time; different
// Analysers, and the free functions, from any number of threads at once.
//
// Real-time rule: an Analyser allocates everything in its constructor;
// push, flush and reset allocate nothing, take no lock and make no system
// call.
#ifndef VALLISYNTH_ANALYSIS_HPP_
#define VALLISYNTH_ANALYSIS_HPP_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vallisynth/vallisynth.hpp"

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

namespace vallisynth {

// Analysis options; the defaults are vallisynth-analyse's. Values out of
// range are refused with Errc::bad_argument.
struct AnalysisOptions {
  int sample_rate = 16000;  // Hz of the samples given, 8000 to 48000
  // Frame shift in samples; unset: the decoder's default for the rate
  // (default_frame_shift). 1 to 100 ms worth of samples.
  std::optional<std::uint32_t> frame_shift = std::nullopt;
  std::uint32_t order = 24;  // cepstral order, 0 to 200
  // All-pass constant of the mel-cepstra, |alpha| < 1; unset: the rate's
  // conventional one (default_alpha).
  std::optional<double> alpha = std::nullopt;
  // The f0 search range in Hz: 40 <= f0_min < f0_max <= 1000. The default
  // covers men, women and children alike.
  double f0_min = 50.0;
  double f0_max = 800.0;
  CepstrumForm cepstrum_form = CepstrumForm::stored;
};

// The streams of an analysed recording: frames() values of lf0 and fv and
// frames() x (order + 1) cepstral coefficients, frame by frame.
struct Analysis {
  std::vector<double> lf0;  // ln Hz, -1e10 when unvoiced
  std::vector<double> cc;   // frame-major, c0 first
  std::vector<double> fv;   // Hz, 0 when unvoiced
  std::uint32_t order = 24;
  std::size_t frames() const noexcept {
    return lf0.size();
  }
};

// Number of frames that n samples give at frame shift L: round(n / L) - 1,
// and 0 when that is below 1.
std::uint64_t analysis_frames(std::uint64_t samples, std::uint32_t frame_shift) noexcept;

// Analyses a whole recording. x: samples at options.sample_rate, full scale
// 1.0; every value must be finite and within 1e6 in magnitude. Returns
// analysis_frames(x.size(), shift) frames (none for a recording shorter
// than 1.5 frame shifts). Throws Error: bad_argument (options, a
// non-finite or huge sample, naming its index), out_of_memory.
Analysis analyse(std::span<const double> x, const AnalysisOptions& options = {});

// The streaming analyser: samples in, in pieces of any size; the frames that
// became final out, exactly analyse()'s frames.
class Analyser {
 public:
  // Throws Error: bad_argument (options), out_of_memory.
  explicit Analyser(const AnalysisOptions& options = {});
  ~Analyser();
  Analyser(const Analyser&) = delete;
  Analyser& operator=(const Analyser&) = delete;

  // Analyses the next samples. Writes the frames that became final into
  // lf0 and fv (one value a frame) and cc (order + 1 values a frame) and
  // returns their number; the spans must hold max_frames(x.size()) frames
  // (else Error(bad_argument), nothing consumed). A sample that is not
  // finite or is beyond 1e6 in magnitude throws Error(bad_argument) with
  // nothing consumed.
  std::size_t push(std::span<const double> x, std::span<double> lf0, std::span<double> cc,
                   std::span<double> fv);

  // Ends the recording: writes its remaining frames (at most
  // max_frames(0)) as push does, then starts a new recording.
  std::size_t flush(std::span<double> lf0, std::span<double> cc, std::span<double> fv);

  // The allocating forms: the frames as an Analysis.
  Analysis push(std::span<const double> x);
  Analysis flush();

  // Drops what was pushed and starts a new recording.
  void reset() noexcept;

  // Most frames a push of samples samples (or, with 0, a flush) can release.
  std::size_t max_frames(std::size_t samples) const noexcept;

  // Samples past a frame's centre that must have arrived before the frame
  // is released.
  std::uint32_t latency() const noexcept;
  std::uint32_t frame_shift() const noexcept;
  std::uint32_t order() const noexcept;

  struct State;  // opaque

 private:
  std::unique_ptr<State> state_;
};

// An audio file read piece by piece through libsndfile (WAV of any sample
// format, FLAC, AIFF, Ogg; "-" reads standard input), as mono samples at a
// chosen rate: memory does not grow with the file's length.
class AudioReader {
 public:
  // channel: 0 mixes every channel down to mono (their mean), n >= 1 picks
  // channel n. sample_rate: resample to that rate (8000 to 48000 Hz) with
  // libsoxr at its high quality when the file's rate differs; unset: keep
  // the file's rate, which must then lie in 8000 to 48000 Hz. Throws Error:
  // open_failed (missing, unreadable, not audio, a rate out of range:
  // naming the file and the cause), bad_argument (a channel the file does
  // not have, a rate out of range), out_of_memory.
  explicit AudioReader(const std::string& path, std::optional<int> sample_rate = std::nullopt,
                       int channel = 0);
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  int sample_rate() const noexcept;  // Hz of the samples read
  int file_rate() const noexcept;    // Hz as stored in the file
  int channels() const noexcept;     // in the file
  // Reads up to out.size() samples (full scale 1.0); returns how many, 0 at
  // the end. Throws Error(open_failed) on a read error or a value that is
  // not finite (naming the file and the sample).
  std::size_t read(std::span<double> out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A whole recording read from a file.
struct Audio {
  std::vector<double> samples;  // mono, full scale 1.0
  int sample_rate = 0;          // Hz, of samples (after any resampling)
  int file_rate = 0;            // Hz, as stored in the file
  int channels = 0;             // in the file
};

// Reads a whole file as AudioReader does (arguments and errors as its).
Audio read_audio(const std::string& path, std::optional<int> sample_rate = std::nullopt,
                 int channel = 0);

}  // namespace vallisynth

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#endif  // VALLISYNTH_ANALYSIS_HPP_
