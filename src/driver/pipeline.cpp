#include "driver/pipeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "driver/batch.h"
#include "driver/cleanup.h"
#include "params/indexlist.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

namespace {

constexpr std::uint64_t kMaxValues = 0xFFFFFFFFu;  // counts are 32-bit

bool is_stdout(const char* name) {
  return name != nullptr && std::strcmp(name, "-") == 0;
}

// Where this run's messages go: standard error when the WAV file itself goes
// to standard output, so that the audio stream stays clean.
std::FILE* messages(const DecoderOptions& opts) {
  return is_stdout(opts.fileout) ? stderr : stdout;
}

// True when a and b name the same existing file (same device and inode,
// links followed); "-" matches nothing.
bool same_file(const char* a, const char* b) {
  struct stat sa {};
  struct stat sb {};
  if (a == nullptr || b == nullptr || is_stdout(a) || is_stdout(b) || stat(a, &sa) != 0 ||
      stat(b, &sb) != 0) {
    return false;
  }
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The library's options for the command line's values, which are already
// limited; the frame shift includes FDUR.
Options apioptions(const DecoderOptions& opts) {
  Options o;
  o.sample_rate = static_cast<int>(opts.fs);
  o.frame_shift = opts.frameshift;
  o.alpha = opts.alpha;
  o.vocal_tract_warp = opts.fwarp;
  o.gamma = opts.gamma;
  o.fv_alpha = opts.fvalpha;
  o.pitch_factor = opts.fpitch;
  o.pitch_range = opts.fvpitch;
  o.normalize = opts.wavnorm == 1;
  o.cepstrum_form = opts.ccform == 1 ? CepstrumForm::sptk : CepstrumForm::stored;
  o.threads = static_cast<unsigned>(opts.threads);
  return o;
}

// A parameter stream of the utterance. A regular file is read in pieces,
// in as many passes as the options need, so that memory does not grow with
// the utterance; a pipe, which can be read only once, is kept in memory.
class Input {
 public:
  // Opens path; prints why it failed (as an error when the stream is
  // required, else as a warning) and returns false when it yields nothing.
  bool open(const char* path, std::FILE* msg, const char* severity) {
    try {
      file_.emplace(path);
      if (file_->size()) {
        count_ = *file_->size();
      } else {
        memory_ = file_->read_all();
        file_.reset();
        count_ = memory_.size();
      }
    } catch (const Error& e) {
      std::fprintf(msg,
                   e.code() == Errc::out_of_memory ? "%s: not enough memory to read %s.\n"
                                                   : "%s: could not open %s.\n",
                   severity, path);
      return false;
    }
    if (count_ == 0) {
      std::fprintf(msg, "%s: could not open %s.\n", severity, path);
      return false;
    }
    return true;
  }

  std::uint64_t count() const {
    return count_;
  }

  // The next out.size() values (fewer at the end: the rest is left alone).
  std::size_t read(std::span<double> out) {
    if (file_) {
      return file_->read(out);
    }
    const std::size_t n = std::min<std::size_t>(out.size(), memory_.size() - position_);
    std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(position_), n, out.begin());
    position_ += n;
    return n;
  }

  // Back to the first value for another pass.
  bool rewind() {
    position_ = 0;
    return !file_ || file_->rewind();
  }

 private:
  std::optional<StreamReader> file_;
  std::vector<double> memory_;
  std::uint64_t count_ = 0;
  std::size_t position_ = 0;
};

// Refuses an output that is one of the utterance's inputs: writing it would
// destroy the input.
bool output_is_input(const DecoderOptions& opts, std::FILE* msg) {
  for (const char* input : {opts.filef0, opts.filecc, opts.filefv}) {
    if (same_file(opts.fileout, input)) {
      std::fprintf(msg, "Error: the output %s is the input %s.\n", opts.fileout, input);
      return true;
    }
  }
  return false;
}

// A block of doubles left uninitialised: a vector would clear megabytes per
// utterance that are written before they are read.
class Buffer {
 public:
  void allocate(std::size_t n) {
    if (n > size_) {
      data_ = std::make_unique_for_overwrite<double[]>(n);
      size_ = n;
    }
  }
  std::span<double> span() const {
    return {data_.get(), size_};
  }

 private:
  std::unique_ptr<double[]> data_;
  std::size_t size_ = 0;
};

// One utterance's streams, read a piece at a time.
struct Utterance {
  std::vector<double> lf0;  // the whole log-f0 track: 8 bytes a frame
  Input cc;
  Input fv;
  bool hasfv = false;
  std::uint32_t order = 0;
  std::size_t p = 1;
};

// Frames pushed at a time. One thread takes pieces of about 32 Ki samples
// (256 kB, at most 512 frames): small buffers stay in the cache and cost
// few first-touch page faults, which on a virtual machine take microseconds
// each. Several threads take pieces near 64 Ki samples (512 kB, at most 1024
// frames), so that each gets several blocks of a push, while the samples of
// the piece before are being written (measured against 32 Ki and 128 Ki:
// as fast or faster on the minute of speech and the costliest input).
std::size_t piece_size(std::uint32_t shift, unsigned threads) {
  return threads == 1 ? std::clamp<std::size_t>(std::size_t{32768} / shift, 1, 512)
                      : std::clamp<std::size_t>(std::size_t{65536} / shift, 1, 1024);
}

// Hands pieces of samples to a sink on a thread of its own, one piece
// behind the caller: while a piece is converted and written, the next is
// rendered. A piece must stay untouched until the next call of put or
// finish; the sink's failure is thrown by the call after it.
template <typename Sink>
class Background {
 public:
  explicit Background(Sink& sink) : sink_(&sink) {
    // The thread keeps the asynchronous termination signals blocked: they
    // reach the caller's thread, whose handler cleans up. A broken pipe's
    // SIGPIPE is raised in the thread that writes, here, and ends the run
    // as it would on one thread. Without a thread, put writes at once.
    const SignalMask mask(SignalMask::kAsynchronous);
    try {
      thread_ = std::thread(&Background::loop, this);
    } catch (const std::exception&) {
      // Written as it comes instead.
    }
  }
  ~Background() {
    if (!thread_.joinable()) {
      return;
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  void put(std::span<const double> piece) {
    if (!thread_.joinable()) {
      (*sink_)(piece);
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    idle(lock);
    pending_ = piece;
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
  }

  void finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle(lock);
  }

 private:
  void idle(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [&] { return !busy_; });
    if (error_) {
      std::rethrow_exception(std::exchange(error_, nullptr));
    }
  }

  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return busy_ || stop_; });
      if (!busy_) {
        return;
      }
      lock.unlock();
      std::exception_ptr error;
      try {
        (*sink_)(pending_);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      error_ = error;
      busy_ = false;
      changed_.notify_all();
    }
  }

  Sink* sink_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<const double> pending_;
  bool busy_ = false;
  bool stop_ = false;
  std::exception_ptr error_;
};

// Sends the utterance's frames through the decoder a piece at a time,
// handing every piece of final samples to sink. False when a stream ends
// early (it changed under us). With two halves of out (overlap), each
// piece's samples go to the sink on another thread while the next piece is
// rendered into the other half.
template <typename Sink>
bool render_pieces(Utterance& u, Synthesizer& synth, std::span<double> rows, std::span<double> fvs,
                   std::span<double> out, bool overlap, Sink&& sink) {
  if (!u.cc.rewind() || (u.hasfv && !u.fv.rewind())) {
    return false;
  }
  const std::size_t m = rows.size() / u.p;
  if (!overlap) {
    for (std::size_t k0 = 0; k0 < u.lf0.size(); k0 += m) {
      const std::size_t n = std::min(m, u.lf0.size() - k0);
      const std::span<double> c = rows.first(n * u.p);
      const std::span<double> v = u.hasfv ? fvs.first(n) : std::span<double>();
      if (u.cc.read(c) != c.size() || u.fv.read(v) != v.size()) {
        return false;
      }
      const std::span<const double> f(u.lf0.data() + k0, n);
      sink(out.first(synth.push(f, c, v, out)));
    }
    sink(out.first(synth.flush(out)));
    return true;
  }
  const std::span<double> halves[] = {out.first(out.size() / 2), out.last(out.size() / 2)};
  Background<std::remove_reference_t<Sink>> background(sink);
  std::size_t half = 0;
  for (std::size_t k0 = 0; k0 < u.lf0.size(); k0 += m, half ^= 1u) {
    const std::size_t n = std::min(m, u.lf0.size() - k0);
    const std::span<double> c = rows.first(n * u.p);
    const std::span<double> v = u.hasfv ? fvs.first(n) : std::span<double>();
    if (u.cc.read(c) != c.size() || u.fv.read(v) != v.size()) {
      background.finish();
      return false;
    }
    const std::span<const double> f(u.lf0.data() + k0, n);
    const std::span<double> o = halves[half];
    background.put(o.first(synth.push(f, c, v, o)));
  }
  const std::span<double> o = halves[half];
  background.put(o.first(synth.flush(o)));
  background.finish();
  return true;
}

// Opens and checks the utterance's streams, with the messages of each
// failure; false when the utterance cannot be decoded.
bool open_utterance(const DecoderOptions& opts, Utterance& u, std::FILE* msg) {
  try {
    u.lf0 = read_stream(opts.filef0);
  } catch (const Error& e) {
    std::fprintf(msg,
                 e.code() == Errc::out_of_memory ? "Error: not enough memory to read %s.\n"
                                                 : "Error: could not open %s.\n",
                 opts.filef0);
    return false;
  }
  if (!u.cc.open(opts.filecc, msg, "Error")) {
    return false;
  }
  for (const auto& [path, n] :
       {std::pair{opts.filef0, std::uint64_t{u.lf0.size()}}, {opts.filecc, u.cc.count()}}) {
    if (n > kMaxValues) {
      std::fprintf(msg, "Error: %s holds more than %" PRIu64 " values.\n", path, kMaxValues);
      return false;
    }
  }
  const std::uint64_t nframes = u.lf0.size();
  if (u.cc.count() % nframes != 0) {
    std::fprintf(msg, "Error: %s and %s have incompatible dimensions.\n", opts.filef0, opts.filecc);
    return false;
  }
  u.p = static_cast<std::size_t>(u.cc.count() / nframes);
  u.order = static_cast<std::uint32_t>(u.p - 1u);
  if (opts.filefv != nullptr && u.fv.open(opts.filefv, msg, "Warning")) {
    u.hasfv = u.fv.count() >= nframes;
    if (!u.hasfv) {
      std::fprintf(msg, "Warning: %s and %s have incompatible dimensions.\n", opts.filef0,
                   opts.filefv);
    }
  }
  return true;
}

// Writes the WAV file as the samples come, so that it appears complete or
// not at all; a termination signal during the write removes the temporary
// file. render(sink) produces the samples. Before the temporary file
// replaces the final one, turn.ready (when set) waits for the utterance's
// turn; when it says the samples must be made again, the temporary file is
// removed. On failure, reason receives the system's errno (0: none).
template <typename Render>
Outcome write_output(const char* name, std::uint64_t samples, int rate, const OutputTurn& turn,
                     int& reason, Render&& render) {
  std::optional<WavWriter> out;
  try {
    struct stat st {};
    if (is_stdout(name) || (stat(name, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
      // Standard output, a device or a FIFO is written directly, without a
      // temporary file: nothing to hold the signals for. Opening a FIFO
      // waits for its reader, and Ctrl-C must still end that wait.
      out.emplace(name, samples, rate);
      if (*out->temporary_path() != '\0') {
        // Replaced by a regular file in the meantime: written as one.
        const TemporaryUpdate update;
        register_temporary(out->temporary_path(), turn.slot);
      }
    } else {
      const TemporaryUpdate update;
      out.emplace(name, samples, rate);
      register_temporary(out->temporary_path(), turn.slot);
    }
    if (!render([&](std::span<const double> x) { out->write(x); })) {
      throw Error(Errc::create_failed, "a stream changed while it was read");
    }
    const bool ready = !turn.ready || turn.ready();
    const TemporaryUpdate update;
    if (!ready) {
      out.reset();
      register_temporary(nullptr, turn.slot);
      return Outcome::kAgain;
    }
    out->commit();
    register_temporary(nullptr, turn.slot);
    return Outcome::kWritten;
  } catch (const Error& e) {
    reason = e.system_error();
    const TemporaryUpdate update;
    out.reset();
    register_temporary(nullptr, turn.slot);
    return Outcome::kFailed;
  } catch (...) {
    // Memory ran out outside the library's checks: no temporary file stays.
    {
      const TemporaryUpdate update;
      out.reset();
      register_temporary(nullptr, turn.slot);
    }
    throw;
  }
}

// The utterance's decoding; its failures are reported on msg here, or
// thrown as the library's Error for decode_utterance to report.
Outcome decode(const DecoderOptions& opts, NoiseSource& noise, std::FILE* msg,
               const OutputTurn& turn) {
  if (output_is_input(opts, msg)) {
    return Outcome::kFailed;
  }
  Utterance u;
  if (!open_utterance(opts, u, msg)) {
    return Outcome::kFailed;
  }
  const std::size_t nframes = u.lf0.size();
  Options options = apioptions(opts);
  const std::uint32_t shift = synthesis_frame_shift(options);
  const std::size_t m = std::min(piece_size(shift, options.threads), nframes);
  // Several threads render the next piece while the last is written.
  const bool overlap = options.threads != 1 && nframes > m;
  const std::size_t outsize = (overlap ? 2u : 1u) * (m * shift + shift + 1u);
  // Work buffers, written before they are read: left uninitialised.
  Buffer rows;
  Buffer fvs;
  Buffer out;

  // A first pass over the streams for what depends on the whole utterance:
  // the frames that are not finite, the c0 range and the mean log-f0.
  try {
    rows.allocate(m * u.p);
    fvs.allocate(u.hasfv ? m : 0);
  } catch (const std::bad_alloc&) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return Outcome::kFailed;
  }
  StatsScanner scanner(u.lf0, u.order, options);
  for (std::size_t k0 = 0; k0 < nframes; k0 += m) {
    const std::size_t n = std::min(m, nframes - k0);
    const std::span<double> c = rows.span().first(n * u.p);
    const std::span<double> v = fvs.span().first(u.hasfv ? n : 0);
    if (u.cc.read(c) != c.size() || u.fv.read(v) != v.size()) {
      std::fprintf(msg, "Error: could not open %s.\n", opts.filecc);
      return Outcome::kFailed;
    }
    scanner.add(c, v);
  }
  const UtteranceStats stats = scanner.stats();
  for (const auto& [path, n] : {std::pair{opts.filef0, stats.nonfinite_lf0},
                                {opts.filecc, stats.nonfinite_cc},
                                {opts.filefv, stats.nonfinite_fv}}) {
    if (n != 0) {
      std::fprintf(msg, "Warning: %s has %" PRIu64 " frame%s with values that are not finite.\n",
                   path, n, n == 1 ? "" : "s");
    }
  }
  if (stats.overflowing != 0) {
    std::fprintf(msg,
                 "Warning: %s has %" PRIu64
                 " frame%s whose envelope is too large to render (rendered silent).\n",
                 opts.filecc, stats.overflowing, stats.overflowing == 1 ? "" : "s");
  }
  if (stats.lf0_in_hz) {
    std::fprintf(msg,
                 "Warning: %s looks like f0 in Hz, not its natural log (most values above "
                 "ln 1000, the others 0).\n",
                 opts.filef0);
  }
  const std::uint64_t xlen = rendered_length(nframes, options);
  if (xlen > max_wav_samples) {
    std::fprintf(msg, "Error: %s would give %" PRIu64 " samples, more than a WAV file holds.\n",
                 opts.filef0, xlen);
    return Outcome::kFailed;
  }
  options.c0_limits = stats.c0_limits;
  // Without voiced frames (a NaN mean) nothing is scaled around the mean.
  options.mean_lf0 = std::isnan(stats.mean_lf0) ? 0.0 : stats.mean_lf0;
  const bool normalise = options.normalize;
  options.normalize = false;
  // The decoder is made (its work areas checked against the memory the
  // process may have) before any output exists.
  std::optional<Synthesizer> synth;
  try {
    if (normalise) {
      // The peak needs every sample before the first is written: render
      // once for it from a copy of the noise source (the phases are a fixed
      // sequence, so the second rendering repeats the first exactly).
      NoiseSource again = noise;
      Synthesizer first(u.order, u.hasfv, options, again);
      out.allocate(outsize);
      double peak = 0.0;
      if (!render_pieces(u, first, rows.span(), fvs.span(), out.span(), false,
                         [&](std::span<const double> x) {
                           for (const double v : x) {
                             peak = std::fabs(v) > peak ? std::fabs(v) : peak;
                           }
                         })) {
        std::fprintf(msg, "Error: could not open %s.\n", opts.filecc);
        return Outcome::kFailed;
      }
      if (peak != 0.0) {
        options.gain = 0.99 / peak;  // as the writer's normalisation
      }
    }
    synth.emplace(u.order, u.hasfv, options, noise);
    out.allocate(outsize);
  } catch (const std::bad_alloc&) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return Outcome::kFailed;
  } catch (const Error& e) {
    if (e.code() == Errc::out_of_memory) {
      std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    } else {
      std::fprintf(msg, "Error: %s: %s.\n", opts.filef0, e.what());
    }
    return Outcome::kFailed;
  }
  const NoiseSource start = noise;
  bool changed = false;  // a stream ended early
  int reason = 0;
  const Outcome outcome =
      write_output(opts.fileout, xlen, options.sample_rate, turn, reason, [&](auto&& sink) {
        changed = !render_pieces(u, *synth, rows.span(), fvs.span(), out.span(), overlap, sink);
        return !changed;
      });
  if (outcome == Outcome::kFailed) {
    if (reason != 0) {
      std::fprintf(msg, "Error: could not create %s: %s.\n", opts.fileout, std::strerror(reason));
    } else {
      std::fprintf(msg, "Error: could not create %s.\n", opts.fileout);
    }
    // An utterance that got this far is synthesised whether or not its file
    // can be written: the next one starts past every frame's noise phases,
    // however many pieces were rendered before the write failed (which
    // depends on the thread count). One whose streams changed under us was
    // never read whole, and draws nothing.
    noise = start;
    if (!changed) {
      noise.skip(nframes, options);
    }
  }
  return outcome;
}

}  // namespace

Outcome decode_utterance(const DecoderOptions& opts, NoiseSource& noise, std::FILE* msg,
                         const OutputTurn& turn) {
  try {
    return decode(opts, noise, msg, turn);
  } catch (const Error& e) {
    // Options the command line would have refused (the library's checks).
    std::fprintf(msg, "Error: %s: %s.\n", opts.filef0, e.what());
    return Outcome::kFailed;
  } catch (const std::bad_alloc&) {
    std::fprintf(msg, "Error: not enough memory to decode %s.\n", opts.filef0);
    return Outcome::kFailed;
  }
}

int decode_all(const DecoderOptions& opts, NoiseSource& noise) {
  std::FILE* const msg = messages(opts);
  if (opts.indlist == nullptr) {
    const Outcome outcome = decode_utterance(opts, noise, msg, OutputTurn{});
    std::fflush(msg);
    return outcome == Outcome::kWritten ? 0 : 1;
  }
  // The names as typed, for messages: the run rewrites their index fields.
  char* names[] = {opts.filef0, opts.filecc, opts.filefv, opts.fileout};
  std::string typed[4];
  for (int j = 0; j < 4; ++j) {
    typed[j] = names[j] == nullptr ? "" : names[j];
  }
  const unsigned cores = opts.threads == 0 ? usable_threads() : static_cast<unsigned>(opts.threads);
  Batch batch(noise, msg, std::min(cores, kTemporarySlots));
  for (const char* cursor = opts.indlist; cursor != nullptr; cursor = next_interval(cursor)) {
    const std::uint32_t first = interval_start(cursor);
    const std::uint32_t last = interval_end(cursor, first);
    // A 64-bit counter cannot wrap, even when last is the largest index.
    for (std::uint64_t i = first; i <= last; ++i) {
      const auto index = static_cast<std::uint32_t>(i);
      // The indices only grow: once one has more digits than a name's
      // field, so has every later one, and the batch ends here. A name
      // that keeps an earlier index would overwrite an earlier output or
      // decode stale input.
      for (int j = 0; j < 4; ++j) {
        if (names[j] != nullptr && write_file_index(names[j], index) != 0) {
          batch.finish();
          std::fprintf(msg, "Error: indices from %" PRIu32 " on do not fit the file name %s.\n",
                       index, typed[j].c_str());
          std::fflush(msg);
          return 1;
        }
      }
      batch.add(opts);
    }
  }
  return batch.finish();
}

}  // namespace vallisynth
