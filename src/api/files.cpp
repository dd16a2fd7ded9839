// The public file interface: the stream reader and the WAV writer, whole or
// as the samples come.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/memorylimit.h"
#include "io/outputfile.h"
#include "io/paramfile.h"
#include "io/wavwriter.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

namespace {
// Values converted per read or write: 64 KiB of stored bytes per system
// call at most (the streams' own buffers are bypassed for such blocks).
constexpr std::size_t kBlock = 16384;

// A file's failure with the system's reason (errno, read at once): "could
// not create out.wav: No space left on device".
[[noreturn]] void fail_file(Errc code, const char* what, const std::string& path, int err) {
  std::string message = std::string(what) + " " + path;
  if (err != 0) {
    message += std::string(": ") + std::strerror(err);
  }
  throw Error(code, message, path, err);
}

}  // namespace

// A path is handed to the system as a C string: a NUL inside it would
// silently cut it short and name another file.
void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw Error(Errc::bad_argument, "the path \"" + path.substr(0, path.find('\0')) +
                                        "...\" holds a NUL character, which no file name can");
  }
}

struct WavWriter::State {
  OutputFile out;
  std::string path;
  std::uint64_t announced = 0;
  std::uint64_t written = 0;
  bool open = false;
  std::vector<unsigned char> bytes = std::vector<unsigned char>(2 * kBlock);
};

WavWriter::WavWriter(const std::string& path, std::uint64_t samples, int sample_rate)
    : state_(std::make_unique<State>()) {
  if (sample_rate < min_sample_rate || sample_rate > max_sample_rate) {
    throw Error(Errc::bad_argument, "sample_rate is " + std::to_string(sample_rate) +
                                        " Hz, outside " + std::to_string(min_sample_rate) + " to " +
                                        std::to_string(max_sample_rate));
  }
  if (samples > max_wav_samples) {
    throw Error(Errc::too_long,
                path + ": " + std::to_string(samples) + " samples are more than a WAV file holds");
  }
  check_path(path);
  state_->path = path;
  state_->announced = samples;
  errno = 0;
  if (!state_->out.open(path.c_str())) {
    fail_file(Errc::create_failed, "could not create", path, errno);
  }
  state_->open = true;
  unsigned char header[44];
  state_->out.reserve(sizeof header + 2 * samples);
  make_wav_header(header, static_cast<std::uint32_t>(samples),
                  static_cast<std::uint32_t>(sample_rate));
  errno = 0;
  if (std::fwrite(header, 1, sizeof header, state_->out.stream()) != sizeof header) {
    const int err = errno;
    discard();
    fail_file(Errc::create_failed, "could not create", path, err);
  }
}

WavWriter::~WavWriter() {
  discard();
}

void WavWriter::write(std::span<const double> x) {
  State& s = *state_;
  if (!s.open) {
    throw Error(Errc::create_failed, "could not create " + s.path + ": the output is closed");
  }
  if (x.size() > s.announced - s.written) {
    discard();
    throw Error(Errc::bad_argument,
                s.path + ": more samples than the " + std::to_string(s.announced) + " announced");
  }
  for (std::size_t i = 0; i < x.size(); i += kBlock) {
    const std::size_t n = std::min(kBlock, x.size() - i);
    samples_to_pcm16le(x.subspan(i, n), s.bytes.data());
    errno = 0;
    if (std::fwrite(s.bytes.data(), 2, n, s.out.stream()) != n) {
      const int err = errno;
      discard();
      fail_file(Errc::create_failed, "could not create", s.path, err);
    }
  }
  s.written += x.size();
}

void WavWriter::commit() {
  State& s = *state_;
  if (!s.open) {
    throw Error(Errc::create_failed, "could not create " + s.path + ": the output is closed");
  }
  if (s.written != s.announced) {
    discard();
    throw Error(Errc::bad_argument, s.path + ": " + std::to_string(s.written) + " of the " +
                                        std::to_string(s.announced) + " samples announced");
  }
  s.open = false;
  errno = 0;
  if (!s.out.commit()) {
    const int err = errno;
    s.out.discard();
    fail_file(Errc::create_failed, "could not create", s.path, err);
  }
}

void WavWriter::discard() noexcept {
  if (state_ && state_->open) {
    state_->out.discard();
    state_->open = false;
  }
}

const char* WavWriter::temporary_path() const noexcept {
  return state_->open ? state_->out.temporary_path() : "";
}

void write_wav(const std::string& path, std::span<const double> x, int sample_rate,
               bool normalize) {
  WavWriter out(path, x.size(), sample_rate);
  if (normalize) {
    std::vector<double> copy;
    try {
      copy.assign(x.begin(), x.end());
    } catch (const std::bad_alloc&) {
      throw Error(Errc::out_of_memory, "not enough memory to normalise " + path);
    }
    normalize_peak(copy);
    out.write(copy);
  } else {
    out.write(x);
  }
  out.commit();
}

struct StreamReader::State {
  std::FILE* file = nullptr;
  bool owned = false;  // standard input stays open
  std::optional<std::uint64_t> size;
  std::string path;
  std::vector<unsigned char> raw = std::vector<unsigned char>(4 * kBlock);
};

StreamReader::StreamReader(const std::string& path) : state_(std::make_unique<State>()) {
  State& s = *state_;
  check_path(path);
  s.path = path;
  errno = 0;
  if (path == "-") {
    s.file = stdin;
  } else {
    s.file = std::fopen(path.c_str(), "rb");
    s.owned = true;
  }
  struct stat st {};
  if (s.file == nullptr || fstat(fileno(s.file), &st) != 0) {
    fail_file(Errc::open_failed, "could not open", path, errno);
  }
  if (S_ISDIR(st.st_mode)) {
    fail_file(Errc::open_failed, "could not open", path, EISDIR);
  }
  if (S_ISREG(st.st_mode)) {
    s.size = static_cast<std::uint64_t>(st.st_size) / 4u;
  }
}

StreamReader::~StreamReader() {
  if (state_->owned && state_->file != nullptr) {
    std::fclose(state_->file);
  }
}

std::optional<std::uint64_t> StreamReader::size() const noexcept {
  return state_->size;
}

std::size_t StreamReader::read(std::span<double> out) {
  State& s = *state_;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t want = std::min(kBlock, out.size() - done);
    const std::size_t got = std::fread(s.raw.data(), 4, want, s.file);
    floats_from_le(s.raw.data(), got, out.data() + done);
    done += got;
    if (got < want) {
      if (std::ferror(s.file) != 0) {
        fail_file(Errc::open_failed, "could not read", s.path, errno);
      }
      break;  // the end; 1 to 3 trailing bytes make no value
    }
  }
  return done;
}

std::vector<double> StreamReader::read_all() {
  const std::uint64_t headroom = memory_headroom(memory_limit()) / sizeof(double);
  std::vector<double> values;
  try {
    if (state_->size) {
      values.reserve(static_cast<std::size_t>(std::min(*state_->size, headroom)));
    }
    std::vector<double> piece(kBlock);
    for (std::size_t n; (n = read(piece)) != 0;) {
      if (values.size() + n > headroom) {
        throw std::bad_alloc();
      }
      values.insert(values.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    }
  } catch (const std::bad_alloc&) {
    throw Error(Errc::out_of_memory, "not enough memory to read " + state_->path);
  } catch (const std::length_error&) {
    throw Error(Errc::out_of_memory, "not enough memory to read " + state_->path);
  }
  return values;
}

bool StreamReader::rewind() {
  State& s = *state_;
  if (!s.size || std::fseek(s.file, 0, SEEK_SET) != 0) {
    return false;
  }
  std::clearerr(s.file);
  return true;
}

std::vector<double> read_stream(const std::string& path) {
  std::optional<StreamReader> reader;
  reader.emplace(path);
  if (reader->size()) {
    // A regular file: sized first, read straight into place.
    const std::uint64_t n = *reader->size();
    if (n == 0) {
      throw Error(Errc::open_failed, "could not open " + path + ": it holds no value", path, 0);
    }
    if (n > ~std::uint64_t{0} / sizeof(double) || !may_allocate(n * sizeof(double))) {
      throw Error(Errc::out_of_memory, "not enough memory to read " + path);
    }
    std::vector<double> values;
    try {
      values.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
      throw Error(Errc::out_of_memory, "not enough memory to read " + path);
    } catch (const std::length_error&) {
      throw Error(Errc::out_of_memory, "not enough memory to read " + path);
    }
    if (reader->read(values) != n) {
      throw Error(Errc::open_failed, "could not read " + path + ": it shrank while it was read",
                  path, 0);
    }
    return values;
  }
  // A pipe, a FIFO or a device: read to its end.
  std::vector<double> values = reader->read_all();
  if (values.empty()) {
    throw Error(Errc::open_failed, "could not open " + path + ": it holds no value", path, 0);
  }
  return values;
}

}  // namespace vallisynth
