#include "driver/batch.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include "driver/cleanup.h"
#include "driver/pipeline.h"
#include "driver/utterance.h"

namespace vallisynth {

namespace {

bool is_stream(const std::string& path) {
  return path == "-";
}

// True for a name that exists and is not a regular file (a FIFO, a device,
// standard input or output): such a file is read or written as a stream,
// which two utterances at a time would interleave.
bool not_regular(const std::string& path) {
  struct stat st {};
  return is_stream(path) || (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode));
}

// Utterances longer than this (about 5.5 minutes at 5 ms) are decoded alone
// on every core: their frames share out well, and a long log-f0 track held
// beside others could change which of them the memory limit lets through.
constexpr std::uint64_t kMostFramesBeside = 65536;

// The folder a file name is in.
std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// The file a name stands for, with links and relative folders resolved as
// far as the file system allows: two names of one file compare equal.
std::string canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) {
    return resolved;
  }
  const std::size_t slash = path.rfind('/');
  if (realpath(folder_of(path).c_str(), resolved) != nullptr) {
    return std::string(resolved) + "/" +
           (slash == std::string::npos ? path : path.substr(slash + 1));
  }
  return path;
}

// The frame count of an utterance, as far as its files tell before it is
// decoded: regular files, a log-f0 stream of at least one value and a
// cepstral stream of whole rows. Otherwise 0: it will most likely fail
// before it draws any noise phase. (Once synthesised, an utterance has drawn
// every frame's phases, whether or not its file could be written.)
std::uint64_t expected_frames(const DecoderOptions& opts) {
  struct stat f0 {};
  struct stat cc {};
  if (stat(opts.filef0, &f0) != 0 || stat(opts.filecc, &cc) != 0 || !S_ISREG(f0.st_mode) ||
      !S_ISREG(cc.st_mode)) {
    return 0;
  }
  const auto frames = static_cast<std::uint64_t>(f0.st_size) / 4u;
  const auto values = static_cast<std::uint64_t>(cc.st_size) / 4u;
  return frames == 0 || values == 0 || values % frames != 0 ? 0 : frames;
}

// An open_memstream buffer, kept for the job's messages.
struct Messages {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* file = nullptr;

  Messages() : file(open_memstream(&data, &size)) {
  }
  ~Messages() {
    if (file != nullptr) {
      std::fclose(file);
    }
    std::free(data);
  }
  Messages(const Messages&) = delete;
  Messages& operator=(const Messages&) = delete;
};

}  // namespace

struct Batch::Job {
  std::uint64_t seq = 0;
  UtteranceFiles names;  // owned: the batch rewrites the names it was given
  DecoderOptions opts;
  std::uint64_t frames = 0;  // as expected from its files
  NoiseSource start;         // the position it is expected to start from
  NoiseSource expectedend;   // and to end at (the start past its frames)
  NoiseSource end;           // the one it ends at
  Messages messages;
  std::size_t discarded = 0;  // message bytes of a decoding done again
  Outcome outcome = Outcome::kFailed;
  bool done = false;
  std::thread thread;

  explicit Job(const DecoderOptions& o) : names(UtteranceFiles::of(o)), opts(o) {
    names.point(opts);
    opts.threads = 1;  // the utterances share out the cores
  }

  // Decoded on the calling thread, alone: a stream name, no message buffer,
  // or an output that is a link to a file not there yet (created through
  // the link, where no other utterance's input name can be compared).
  bool exclusive() const {
    struct stat st {};
    if (messages.file == nullptr || (lstat(names.output.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
                                     stat(names.output.c_str(), &st) != 0)) {
      return true;
    }
    for (const std::string* name : names.all()) {
      if (!name->empty() && not_regular(*name)) {
        return true;
      }
    }
    return false;
  }
};

Batch::Batch(NoiseSource& noise, std::FILE* msg, unsigned width)
    : noise_(&noise), msg_(msg), width_(width < 1 ? 1 : width) {
}

Batch::~Batch() {
  finish();
}

void Batch::run_here(const DecoderOptions& opts) {
  std::fprintf(msg_, "%s\n", opts.fileout);
  failed_ |= decode_utterance(opts, *noise_, msg_, OutputTurn{}) == Outcome::kWritten ? 0 : 1;
  std::fflush(msg_);
}

bool Batch::collides(const Job& job) const {
  // An input that an earlier utterance still has to write must be read
  // after that utterance is in place.
  for (const auto& other : running_) {
    const std::string out = canonical(other->names.output);
    for (const std::string* input : {&job.names.lf0, &job.names.cc, &job.names.fv}) {
      if (!input->empty() && canonical(*input) == out) {
        return true;
      }
    }
  }
  return false;
}

void Batch::add(const DecoderOptions& opts) {
  if (width_ == 1) {
    run_here(opts);
    return;
  }
  auto job = std::make_unique<Job>(opts);
  const std::uint64_t frames = expected_frames(job->opts);
  const bool alone = job->exclusive() || frames > kMostFramesBeside;
  if (alone || collides(*job)) {
    finish();
  }
  if (alone) {
    run_here(opts);
    return;
  }
  while (running_.size() >= width_) {
    retire_oldest();
  }
  if (running_.empty()) {
    predicted_ = *noise_;
  }
  skipoptions_.sample_rate = static_cast<int>(opts.fs);
  skipoptions_.frame_shift = opts.frameshift;
  job->seq = added_;
  job->frames = frames;
  job->start = predicted_;
  // The next one starts where this one's frames leave the phases.
  predicted_.skip(frames, skipoptions_);
  job->expectedend = predicted_;
  {
    // The thread keeps the termination signals blocked (it inherits the
    // mask): they reach this thread, whose handler removes every temporary
    // file.
    const SignalMask mask(SignalMask::kAll);
    try {
      job->thread = std::thread(&Batch::work, this, std::ref(*job));
    } catch (const std::exception&) {
      job->thread = std::thread();
    }
  }
  if (!job->thread.joinable()) {
    // No thread to be had: decoded here once the others are in place.
    finish();
    run_here(opts);
    return;
  }
  ++added_;
  running_.push_back(std::move(job));
}

void Batch::wait_turn(std::uint64_t seq) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return turn_ == seq; });
}

void Batch::work(Job& job) {
  NoiseSource noise = job.start;
  Outcome outcome = Outcome::kFailed;
  try {
    // Right when the utterance before ended where this one was expected to
    // start; decided once that one is in place, that is, in this one's
    // turn.
    bool right = false;
    // At most width_ consecutive utterances are in progress: their registry
    // slots differ.
    const OutputTurn turn{static_cast<unsigned>(job.seq % width_), [&] {
                            wait_turn(job.seq);
                            right = job.start == *noise_;
                            return right;
                          }};
    outcome = decode_utterance(job.opts, noise, job.messages.file, turn);
    if (outcome != Outcome::kAgain) {
      wait_turn(job.seq);
      right = job.start == *noise_;
    }
    // Decoded again, in its turn, from where the phases really stand, when
    // the start was wrong (an earlier utterance failed after its streams
    // looked fine, or the other way round), and after a failure: side by
    // side with others, a full disk or the memory limit can refuse what
    // one after the other would have let through. In its turn nothing else
    // moves the position.
    if (!right || outcome == Outcome::kFailed) {
      std::fflush(job.messages.file);
      job.discarded = job.messages.size;
      noise = *noise_;
      outcome = decode_utterance(job.opts, noise, job.messages.file,
                                 OutputTurn{turn.slot, std::function<bool()>()});
    }
  } catch (const std::exception&) {
    // Memory or threads ran out outside the library's own checks: the
    // utterance fails, as having drawn nothing, and its turn still passes.
    wait_turn(job.seq);
    noise = *noise_;
    std::fprintf(job.messages.file, "Error: not enough memory to decode %s.\n", job.opts.filef0);
    outcome = Outcome::kFailed;
  }
  std::fflush(job.messages.file);
  const std::lock_guard<std::mutex> lock(mutex_);
  *noise_ = noise;
  job.end = noise;
  job.outcome = outcome;
  job.done = true;
  ++turn_;
  changed_.notify_all();
}

void Batch::retire_oldest() {
  std::unique_ptr<Job> job = std::move(running_.front());
  running_.pop_front();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return job->done; });
  }
  job->thread.join();
  std::fprintf(msg_, "%s\n", job->opts.fileout);
  std::fwrite(job->messages.data + job->discarded, 1, job->messages.size - job->discarded, msg_);
  std::fflush(msg_);
  failed_ |= job->outcome == Outcome::kWritten ? 0 : 1;
  if (!(job->end == job->expectedend)) {
    // It ended elsewhere than expected: those still running will decode
    // again in their turn; the ones to come are placed from where it really
    // ended, past the frames of those still running.
    predicted_ = job->end;
    for (const auto& other : running_) {
      predicted_.skip(other->frames, skipoptions_);
      other->expectedend = predicted_;
    }
  }
}

int Batch::finish() {
  while (!running_.empty()) {
    retire_oldest();
  }
  return failed_;
}

}  // namespace vallisynth
