#include "driver/analysebatch.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/analysecommand.h"
#include "io/outputfile.h"
#include "io/paramfile.h"
#include "vallisynth/analysis.hpp"

namespace vallisynth {

namespace {

constexpr std::size_t kBlock = 1 << 15;  // samples read and analysed at a time
constexpr const char* kSuffixes[3] = {".lf0", ".cc", ".fv"};
constexpr const char* kManifestHeader =
    "input\tduration_s\tframes\tvoiced_share\tmedian_f0_hz\tmedian_fv_hz\tstatus\tmessage";
// The progress line is redrawn at most every kProgressSeconds, and checked
// at least every kProgressPeriod.
constexpr double kProgressSeconds = 0.2;
constexpr auto kProgressPeriod = std::chrono::milliseconds(500);

struct BatchArguments {
  AnalyseArguments analysis;
  std::vector<std::string> inputs;
  std::string outdir, manifest;
  int threads = 1;
  bool force = false;
  unsigned shard = 0, shards = 1;
};

// One input and where its streams go; why it cannot be analysed when its
// outputs cannot be placed.
struct Job {
  std::string input, prefix, refusal;
};

enum class Outcome { kAnalysed, kSkipped, kFailed, kInterrupted };

struct Result {
  Outcome outcome = Outcome::kInterrupted;
  std::string row;  // the manifest's columns after the input
  std::string message;
  double seconds = 0.0;  // of audio analysed
};

bool batch_option(const std::string& name) {
  return name == "LIST" || name == "OUTDIR" || name == "THREADS" || name == "FORCE" ||
         name == "MANIFEST" || name == "SHARD";
}

std::string option_name_of(const std::string& arg) {
  if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
    return "";
  }
  const std::size_t eq = arg.find('=');
  return eq == std::string::npos ? "" : arg.substr(2, eq - 2);
}

int usage_error(const std::string& why) {
  std::printf("Incorrect input arguments: %s.\n", why.c_str());
  std::fputs("Help: vallisynth-analyse (without arguments)\n", stdout);
  return 255;
}

// Tabs, line ends and backslashes escaped, so that a row stays one line of
// fields whatever a file name holds.
std::string escaped(const std::string& s) {
  std::string e;
  for (const char c : s) {
    e += c == '\t'   ? "\\t"
         : c == '\n' ? "\\n"
         : c == '\r' ? "\\r"
         : c == '\\' ? "\\\\"
                     : std::string(1, c);
  }
  return e;
}

std::string unescaped(const std::string& s) {
  std::string u;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      u += s[i];
      continue;
    }
    const char c = s[++i];
    u += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return u;
}

// Appends a list's paths: one a line, or the first column of a manifest.
std::string readlist(const std::string& path, std::vector<std::string>& inputs) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (path != "-") {
    file.open(path);
    if (!file) {
      return "cannot read the list " + path + ": " + std::strerror(errno);
    }
    in = &file;
  }
  bool manifest = false, first = true;
  for (std::string line; std::getline(*in, line); first = false) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (first && line == kManifestHeader) {
      manifest = true;
      continue;
    }
    if (manifest) {
      line = unescaped(line.substr(0, line.find('\t')));
    }
    if (!line.empty()) {
      inputs.push_back(line);
    }
  }
  return in->bad() ? "cannot read the list " + path : "";
}

std::string parse_shard(const std::string& value, BatchArguments& b) {
  unsigned i = 0, n = 0;
  char tail = 0;
  if (std::sscanf(value.c_str(), "%u/%u%c", &i, &n, &tail) != 2 || n == 0 || i >= n) {
    return "--SHARD needs i/n with 0 <= i < n, not '" + value + "'";
  }
  b.shard = i;
  b.shards = n;
  return "";
}

std::string parse_batch_option(const std::string& name, const std::string& value,
                               BatchArguments& b) {
  if (name == "LIST") {
    return readlist(value, b.inputs);
  }
  if (name == "OUTDIR" || name == "MANIFEST") {
    if (value.empty()) {
      return "--" + name + " needs a path";
    }
    (name == "OUTDIR" ? b.outdir : b.manifest) = value;
    return "";
  }
  if (name == "SHARD") {
    return parse_shard(value, b);
  }
  char* end = nullptr;
  const long v = std::strtol(value.c_str(), &end, 10);
  const bool number = !value.empty() && *end == '\0';
  if (name == "THREADS" && number && v >= 0 && v <= 1024) {
    b.threads = static_cast<int>(v);
    return "";
  }
  if (name == "FORCE" && number && (v == 0 || v == 1)) {
    b.force = v == 1;
    return "";
  }
  return "--" + name + "=" + value + " is out of its range (see the help)";
}

std::string parse(int argc, char** argv, BatchArguments& b) {
  std::vector<std::string> listed;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string name = option_name_of(arg);
    std::string why;
    if (batch_option(name)) {
      why = parse_batch_option(name, arg.substr(name.size() + 3), b);
    } else if (arg.size() >= 3 && arg.compare(0, 2, "--") == 0) {
      why = parse_analyse_option(arg, b.analysis);
    } else {
      b.inputs.push_back(arg);
    }
    if (!why.empty()) {
      return why;
    }
  }
  if (b.inputs.empty()) {
    return "no input files (give them as arguments or with --LIST)";
  }
  if (b.analysis.f0_min >= b.analysis.f0_max) {
    return "F0MIN must lie below F0MAX";
  }
  return "";
}

// The input's path with "." and ".." resolved and a leading "/" dropped,
// without the file's extension: its place under the output folder. "" when
// it climbs out of its root.
std::string mirrored_stem(const std::string& input) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= input.size();) {
    std::size_t slash = input.find('/', start);
    slash = slash == std::string::npos ? input.size() : slash;
    const std::string part = input.substr(start, slash - start);
    start = slash + 1;
    if (part == "..") {
      if (parts.empty()) {
        return "";
      }
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
  }
  std::string stem;
  for (const std::string& part : parts) {
    stem += (stem.empty() ? "" : "/") + part;
  }
  return stem;
}

std::string without_extension(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  return dot != std::string::npos && dot > name ? path.substr(0, dot) : path;
}

// The batch's files after sharding, each with its prefix. Two inputs that
// would write the same outputs (a.wav and a.flac) are refused before
// sharding, so that every shard refuses the same ones.
std::vector<Job> makejobs(const BatchArguments& b) {
  std::vector<Job> jobs;
  std::map<std::string, std::string> owners;
  for (std::size_t i = 0; i < b.inputs.size(); ++i) {
    Job job{b.inputs[i], "", ""};
    if (job.input == "-") {
      job.refusal = "standard input (-) cannot be one file of a batch";
    } else if (b.outdir.empty()) {
      job.prefix = without_extension(job.input);
    } else {
      const std::string stem = mirrored_stem(job.input);
      if (stem.empty()) {
        job.refusal = job.input +
                      " lies outside the current folder's tree: it has no place under " + b.outdir;
      } else {
        job.prefix = b.outdir + "/" + without_extension(stem);
      }
    }
    if (job.refusal.empty()) {
      const auto [owner, fresh] = owners.emplace(job.prefix, job.input);
      if (!fresh) {
        job.refusal = "its outputs " + job.prefix + ".* would replace those of " + owner->second;
      }
    }
    if (i % b.shards == b.shard) {
      jobs.push_back(job);
    }
  }
  return jobs;
}

// The rows of a previous manifest that describe analysed files, by input.
std::map<std::string, std::string> read_manifest(const std::string& path) {
  std::map<std::string, std::string> rows;
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line) || line != kManifestHeader) {
    return rows;
  }
  while (std::getline(in, line)) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos && line.find("\tok\t") != std::string::npos) {
      rows[unescaped(line.substr(0, tab))] = line.substr(tab + 1);
    }
  }
  return rows;
}

bool notolder(const struct stat& a, const struct stat& b) {
  return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                              : a.st_mtim.tv_nsec >= b.st_mtim.tv_nsec;
}

// True when the three outputs exist, are not older than the input and have
// the sizes of one analysis at this order.
bool uptodate(const Job& job, std::uint32_t order) {
  struct stat input {};
  struct stat out[3]{};
  if (stat(job.input.c_str(), &input) != 0) {
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    const std::string name = job.prefix + kSuffixes[i];
    if (stat(name.c_str(), &out[i]) != 0 || !S_ISREG(out[i].st_mode) || !notolder(out[i], input)) {
      return false;
    }
  }
  const auto frames = static_cast<std::uint64_t>(out[0].st_size) / 4;
  return frames > 0 && out[0].st_size % 4 == 0 && out[2].st_size == out[0].st_size &&
         static_cast<std::uint64_t>(out[1].st_size) == frames * 4 * (order + 1u);
}

// Creates the folders above path that are missing.
bool make_parents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
      return false;
    }
  }
  return true;
}

// What a manifest row says of a file's streams, taken from the stored
// (float32) values so that a row made while analysing and one made later
// from the files are the same.
struct Tracks {
  std::uint64_t frames = 0;
  std::vector<float> voiced_lf0, voiced_fv;

  void add(const double* lf0, const double* fv, std::size_t n) {
    frames += n;
    for (std::size_t k = 0; k < n; ++k) {
      const auto stored = static_cast<float>(lf0[k]);
      if (stored > -1e9f) {
        voiced_lf0.push_back(stored);
        voiced_fv.push_back(static_cast<float>(fv[k]));
      }
    }
  }
};

// The lower median (an element, so that it is exact in float32).
float median(std::vector<float>& v) {
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>((v.size() - 1) / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

std::string makerow(std::uint64_t samples, int rate, Tracks& t, const std::string& message) {
  char f0[32] = "", fv[32] = "", row[160];
  if (!t.voiced_lf0.empty()) {
    std::snprintf(f0, sizeof f0, "%.2f", std::exp(static_cast<double>(median(t.voiced_lf0))));
    std::snprintf(fv, sizeof fv, "%.1f", static_cast<double>(median(t.voiced_fv)));
  }
  const double share = static_cast<double>(t.voiced_lf0.size()) / static_cast<double>(t.frames);
  std::snprintf(row, sizeof row, "%.3f\t%llu\t%.4f\t%s\t%s\tok\t",
                static_cast<double>(samples) / rate, static_cast<unsigned long long>(t.frames),
                share, f0, fv);
  return row + escaped(message);
}

std::string channel_note(const AudioReader& reader, const AnalyseArguments& a) {
  if (reader.channels() > 1 && a.channel == 0) {
    return std::to_string(reader.channels()) + " channels mixed down to mono";
  }
  return "";
}

// Analyses one file into its three outputs; stops, abandoning them, as soon
// as stop is set.
Result analyse_file(const AnalyseArguments& a, const Job& job, const std::atomic<int>& stop) {
  Result r;
  AudioReader reader(job.input, a.fs, a.channel);
  Analyser analyser(analysis_options_of(a, reader.sample_rate()));
  if (!make_parents(job.prefix)) {
    r.outcome = Outcome::kFailed;
    r.message = "could not create the folders of " + job.prefix + ": " + std::strerror(errno);
    return r;
  }
  OutputFile files[3];
  for (int i = 0; i < 3; ++i) {
    const std::string name = job.prefix + kSuffixes[i];
    if (same_file(name.c_str(), job.input.c_str()) || !files[i].open(name.c_str())) {
      r.outcome = Outcome::kFailed;
      r.message = same_file(name.c_str(), job.input.c_str())
                      ? "the output " + name + " is the input"
                      : "could not create " + name + ": " + std::strerror(errno);
      return r;
    }
  }
  std::vector<double> samples(kBlock);
  const std::size_t cap = analyser.max_frames(kBlock);
  std::vector<double> lf0(cap), fv(cap), cc(cap * (a.order + 1u));
  Tracks tracks;
  std::uint64_t read = 0;
  auto keep = [&](std::size_t n) {
    tracks.add(lf0.data(), fv.data(), n);
    return write_floats_le(files[0].stream(), lf0.data(), n) &&
           write_floats_le(files[1].stream(), cc.data(), n * (a.order + 1u)) &&
           write_floats_le(files[2].stream(), fv.data(), n);
  };
  bool ok = true;
  for (std::size_t n; ok && (n = reader.read(samples)) > 0;) {
    if (stop.load() != 0) {
      return r;
    }
    read += n;
    ok = keep(analyser.push(std::span<const double>(samples.data(), n), lf0, cc, fv));
  }
  ok = ok && keep(analyser.flush(lf0, cc, fv));
  r.outcome = Outcome::kFailed;
  if (!ok) {
    r.message = "could not write " + job.prefix + ".*: " + std::strerror(errno);
    return r;
  }
  if (tracks.frames == 0) {
    r.message = job.input + " is too short: " + std::to_string(read) + " samples give no frame";
    return r;
  }
  // Complete streams are kept even when a stop came meanwhile.
  for (int i = 0; i < 3; ++i) {
    if (!files[i].commit()) {
      r.message = "could not write " + job.prefix + kSuffixes[i] + ": " + std::strerror(errno);
      return r;
    }
  }
  r.outcome = Outcome::kAnalysed;
  r.seconds = static_cast<double>(read) / reader.sample_rate();
  r.row = makerow(read, reader.sample_rate(), tracks, channel_note(reader, a));
  return r;
}

// The row of a file that is up to date, made from its outputs and the
// input's length, as the analysis made it.
Result skipped_file(const AnalyseArguments& a, const Job& job, const std::string& previous) {
  Result r;
  r.outcome = Outcome::kSkipped;
  if (!previous.empty()) {
    r.row = previous;
    return r;
  }
  AudioReader reader(job.input, a.fs, a.channel);
  std::vector<double> samples(kBlock);
  std::uint64_t read = 0;
  for (std::size_t n; (n = reader.read(samples)) > 0;) {
    read += n;
  }
  std::vector<double> lf0;
  std::vector<double> fv;
  try {
    lf0 = read_stream(job.prefix + ".lf0");
    fv = read_stream(job.prefix + ".fv");
  } catch (const Error& e) {
    r.outcome = Outcome::kFailed;
    r.message = e.what();
    return r;
  }
  if (lf0.empty() || fv.size() != lf0.size()) {
    r.outcome = Outcome::kFailed;
    r.message = job.prefix + ".lf0 and " + job.prefix + ".fv do not hold the same frames";
    return r;
  }
  const std::uint64_t frames = lf0.size();
  Tracks tracks;
  tracks.add(lf0.data(), fv.data(), frames);
  r.row = makerow(read, reader.sample_rate(), tracks, channel_note(reader, a));
  return r;
}

Result runjob(const BatchArguments& b, const Job& job, const std::string& previous,
              const std::atomic<int>& stop) {
  Result r;
  if (!job.refusal.empty()) {
    r.outcome = Outcome::kFailed;
    r.message = job.refusal;
    return r;
  }
  try {
    if (!b.force && uptodate(job, b.analysis.order)) {
      return skipped_file(b.analysis, job, previous);
    }
    return analyse_file(b.analysis, job, stop);
  } catch (const Error& e) {
    r.outcome = Outcome::kFailed;
    r.message = e.what();
    if (!r.message.empty() && r.message.back() == '.') {
      r.message.pop_back();  // the line adds its own
    }
  } catch (const std::bad_alloc&) {
    r.outcome = Outcome::kFailed;
    r.message = "not enough memory to analyse " + job.input;
  }
  return r;
}

std::string failedrow(const Result& r) {
  return "\t\t\t\t\tfailed\t" + escaped(r.message);
}

bool write_manifest(const std::string& path, const std::vector<Job>& jobs,
                    const std::vector<Result>& results) {
  OutputFile out;
  if (!out.open(path.c_str())) {
    return false;
  }
  std::FILE* f = out.stream();
  std::fprintf(f, "%s\n", kManifestHeader);
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const Result& r = results[i];
    if (r.outcome != Outcome::kInterrupted) {
      const std::string row = r.outcome == Outcome::kFailed ? failedrow(r) : r.row;
      std::fprintf(f, "%s\t%s\n", escaped(jobs[i].input).c_str(), row.c_str());
    }
  }
  return out.commit();
}

std::string clock(double seconds) {
  const auto s = static_cast<long long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

// What the batch has done so far; shared by the workers and the reporter.
struct Tally {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::size_t> finished;  // indices not yet reported
  std::size_t done = 0, analysed = 0, skipped = 0, failed = 0;
  double seconds = 0.0;
  bool workers_done = false;
};

void show_progress(const Tally& t, std::size_t total, double elapsed) {
  const double rate = elapsed > 0 ? t.seconds / elapsed : 0.0;
  const std::size_t left = total - t.done;
  const double per_file = t.analysed > 0 ? elapsed / static_cast<double>(t.analysed) : 0.0;
  std::fprintf(stderr, "\r%zu/%zu files, %.2f h of audio, %.0fx real time, %s left   ", t.done,
               total, t.seconds / 3600, rate, clock(per_file * static_cast<double>(left)).c_str());
  std::fflush(stderr);
}

// Waits for the termination signals in a thread of its own (they are
// blocked in every other one) and raises the stop flag.
class SignalWatch {
 public:
  SignalWatch() {
    sigemptyset(&set_);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction old {};
      if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
        sigaddset(&set_, sig);
      }
    }
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    watcher_ = std::thread([this] { watch(); });
  }
  ~SignalWatch() {
    ending_.store(true);
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  const std::atomic<int>& stop() const {
    return signal_;
  }

 private:
  void watch() {
    const timespec poll{0, 100'000'000};
    while (!ending_.load()) {
      const int sig = sigtimedwait(&set_, nullptr, &poll);
      if (sig > 0) {
        signal_.store(sig);
        return;
      }
    }
  }

  sigset_t set_{}, previous_{};
  std::atomic<int> signal_{0};
  std::atomic<bool> ending_{false};
  std::thread watcher_;
};

void work(const BatchArguments& b, const std::vector<Job>& jobs,
          const std::map<std::string, std::string>& previous, const std::atomic<int>& stop,
          std::atomic<std::size_t>& next, std::vector<Result>& results, Tally& tally) {
  for (std::size_t i; stop.load() == 0 && (i = next.fetch_add(1)) < jobs.size();) {
    const auto found = previous.find(jobs[i].input);
    Result r = runjob(b, jobs[i], found == previous.end() ? "" : found->second, stop);
    std::lock_guard<std::mutex> guard(tally.lock);
    results[i] = std::move(r);
    if (results[i].outcome != Outcome::kInterrupted) {
      tally.finished.push_back(i);
    }
    tally.changed.notify_one();
  }
}

// Prints the finished files' errors and keeps the progress line current
// until the workers are done.
void report(const std::vector<Job>& jobs, const std::vector<Result>& results, Tally& t,
            std::chrono::steady_clock::time_point start) {
  const bool terminal = isatty(STDERR_FILENO) != 0;
  double shown = -kProgressSeconds;  // when the line was last drawn
  std::unique_lock<std::mutex> guard(t.lock);
  for (;;) {
    for (const std::size_t i : t.finished) {
      const Result& r = results[i];
      ++t.done;
      t.analysed += r.outcome == Outcome::kAnalysed ? 1 : 0;
      t.skipped += r.outcome == Outcome::kSkipped ? 1 : 0;
      t.failed += r.outcome == Outcome::kFailed ? 1 : 0;
      t.seconds += r.seconds;
      if (r.outcome == Outcome::kFailed) {
        if (terminal) {
          std::fputs("\r\033[K", stderr);
        }
        std::printf("Error: %s.\n", r.message.c_str());
        std::fflush(stdout);
      }
    }
    t.finished.clear();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (t.workers_done) {
      if (terminal) {
        std::fputs("\r\033[K", stderr);
      }
      return;
    }
    if (terminal && elapsed.count() >= shown + kProgressSeconds) {
      shown = elapsed.count();
      show_progress(t, jobs.size(), shown);
    }
    t.changed.wait_for(guard, kProgressPeriod);
  }
}

// Analyses the jobs on threads threads until all are done or stop is set;
// returns the stopping signal or 0.
int run_workers(const BatchArguments& b, const std::vector<Job>& jobs,
                const std::map<std::string, std::string>& previous, const std::atomic<int>& stop,
                unsigned threads, std::vector<Result>& results, Tally& tally,
                std::chrono::steady_clock::time_point start) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&] { work(b, jobs, previous, stop, next, results, tally); });
  }
  std::thread reporter([&] { report(jobs, results, tally, start); });
  for (std::thread& w : workers) {
    w.join();
  }
  {
    std::lock_guard<std::mutex> guard(tally.lock);
    tally.workers_done = true;
    tally.changed.notify_one();
  }
  reporter.join();
  return stop.load();
}

int runbatch(const BatchArguments& b) {
  const std::vector<Job> jobs = makejobs(b);
  const std::map<std::string, std::string> previous = b.manifest.empty() || b.force
                                                          ? std::map<std::string, std::string>{}
                                                          : read_manifest(b.manifest);
  const unsigned threads =
      std::max(1u, std::min(b.threads == 0 ? usable_threads() : static_cast<unsigned>(b.threads),
                            static_cast<unsigned>(std::max<std::size_t>(jobs.size(), 1))));
  std::vector<Result> results(jobs.size());
  Tally tally;
  const auto start = std::chrono::steady_clock::now();
  // Watched until the manifest is written, so that no signal cuts it short.
  SignalWatch signals;
  const int signal = run_workers(b, jobs, previous, signals.stop(), threads, results, tally, start);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  bool manifest_ok = true;
  if (!b.manifest.empty() && !write_manifest(b.manifest, jobs, results)) {
    std::printf("Error: could not write the manifest %s: %s.\n", b.manifest.c_str(),
                std::strerror(errno));
    manifest_ok = false;
  }
  std::printf(
      "%s %zu of %zu files: %zu analysed, %zu up to date, %zu failed; %.3f h of audio in %.1f s "
      "(%.0fx real time).\n",
      signal != 0 ? "Interrupted after" : "Done", tally.done, jobs.size(), tally.analysed,
      tally.skipped, tally.failed, tally.seconds / 3600, elapsed.count(),
      elapsed.count() > 0 ? tally.seconds / elapsed.count() : 0.0);
  if (signal != 0) {
    return 128 + signal;
  }
  return tally.failed > 0 || !manifest_ok ? 1 : 0;
}

}  // namespace

bool is_analyse_batch(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (batch_option(option_name_of(argv[i]))) {
      return true;
    }
  }
  return false;
}

int analyse_batch_main(int argc, char** argv) {
  BatchArguments b;
  const std::string why = parse(argc, argv, b);
  if (!why.empty()) {
    return usage_error(why);
  }
  try {
    return runbatch(b);
  } catch (const std::bad_alloc&) {
    std::printf("Error: not enough memory for a batch of %zu files.\n", b.inputs.size());
    return 1;
  } catch (const std::system_error& e) {
    std::printf("Error: could not start the batch's threads: %s.\n", e.what());
    return 1;
  }
}

}  // namespace vallisynth
