// Audio files in through libsndfile, mixed or picked down to one channel,
// resampled through libsoxr, a block at a time.
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "api/options.h"
#include "vallisynth/analysis.hpp"

namespace vallisynth {

namespace {

// libsndfile reads a file whose data chunk ends before its header says as
// far as it goes and only notes "data : declared (should be present)" in its
// log: such a recording (an interrupted copy) is refused rather than
// analysed without a word. A size of 0 or near 4 GiB is the placeholder of a
// WAV written to a pipe, not a truncation.
bool data_cut_short(SNDFILE* file) {
  char log[4096] = {};
  sf_command(file, SFC_GET_LOG_INFO, log, static_cast<int>(sizeof log - 1));
  const char* at = std::strstr(log, "data : ");
  unsigned long long declared = 0;
  unsigned long long present = 0;
  return at != nullptr &&
         std::sscanf(at, "data : %llu (should be %llu)", &declared, &present) == 2 &&
         declared > present && declared != 0 && declared < 0x7FFFF000ull;
}
constexpr std::size_t kBlockFrames = 8192;  // file frames read at a time
}  // namespace

struct AudioReader::State {
  std::string path;
  SNDFILE* file = nullptr;
  soxr_t resampler = nullptr;
  SF_INFO info{};
  int rate = 0;
  int channel = 0;
  bool file_done = false, drained = false;
  std::uint64_t position = 0;       // file frames read
  std::vector<double> interleaved;  // one block of file frames
  std::vector<double> mono;         // the block as one channel
  std::size_t mono_size = 0, mono_used = 0;

  ~State() {
    if (resampler != nullptr) {
      soxr_delete(resampler);
    }
    if (file != nullptr) {
      sf_close(file);
    }
  }

  // Reads the next block of file frames into mono; false at the end.
  bool read_block() {
    if (file_done) {
      return false;
    }
    const sf_count_t got = sf_readf_double(file, interleaved.data(), kBlockFrames);
    if (got <= 0) {
      if (sf_error(file) != SF_ERR_NO_ERROR) {
        fail(Errc::open_failed, "could not read " + path + ": " + sf_strerror(file));
      }
      file_done = true;
      return false;
    }
    const auto frames = static_cast<std::size_t>(got);
    const auto ch = static_cast<std::size_t>(info.channels);
    for (std::size_t i = 0; i < frames; ++i) {
      const double* f = &interleaved[i * ch];
      double v = 0.0;
      if (channel > 0) {
        v = f[channel - 1];
      } else {
        for (std::size_t c = 0; c < ch; ++c) {
          v += f[c];
        }
        v /= static_cast<double>(ch);
      }
      for (std::size_t c = 0; c < ch; ++c) {
        if (!std::isfinite(f[c])) {
          fail(Errc::open_failed, path + ": sample " + std::to_string(position + i) +
                                      " of channel " + std::to_string(c + 1) +
                                      " is not a finite number");
        }
      }
      mono[i] = v;
    }
    position += frames;
    mono_size = frames;
    mono_used = 0;
    return true;
  }
};

AudioReader::AudioReader(const std::string& path, std::optional<int> sample_rate, int channel)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  check_path(path);
  s.path = path;
  if (sample_rate && (*sample_rate < 8000 || *sample_rate > 48000)) {
    fail(Errc::bad_argument,
         "sample_rate is " + std::to_string(*sample_rate) + " Hz, outside 8000 to 48000");
  }
  if (path == "-") {
    s.file = sf_open_fd(STDIN_FILENO, SFM_READ, &s.info, 0);
  } else {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      const int err = errno;
      throw Error(Errc::open_failed, "could not open " + path + ": " + std::strerror(err), path,
                  err);
    }
    if (S_ISDIR(st.st_mode)) {
      throw Error(Errc::open_failed, "could not open " + path + ": it is a folder", path, EISDIR);
    }
    s.file = sf_open(path.c_str(), SFM_READ, &s.info);
  }
  if (s.file == nullptr) {
    fail(Errc::open_failed, "could not read " + path + " as audio: " + sf_strerror(nullptr));
  }
  if (data_cut_short(s.file)) {
    fail(Errc::open_failed, "could not read " + path +
                                ": its data ends before its header says (the file is cut short)");
  }
  if (channel < 0 || channel > s.info.channels) {
    fail(Errc::bad_argument, path + " has " + std::to_string(s.info.channels) +
                                 " channel(s): there is no channel " + std::to_string(channel));
  }
  s.channel = channel;
  s.rate = sample_rate.value_or(s.info.samplerate);
  if (!sample_rate && (s.rate < 8000 || s.rate > 48000)) {
    fail(Errc::open_failed, path + " is sampled at " + std::to_string(s.info.samplerate) +
                                " Hz: analysed rates are 8000 to 48000 Hz (ask for one to "
                                "resample it)");
  }
  if (s.info.samplerate <= 0) {
    fail(Errc::open_failed, path + " declares no sampling rate");
  }
  // Integer formats come scaled to full scale 1.0; float formats as stored.
  sf_command(s.file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
  try {
    s.interleaved.resize(kBlockFrames * static_cast<std::size_t>(s.info.channels));
    s.mono.resize(kBlockFrames);
  } catch (const std::bad_alloc&) {
    fail(Errc::out_of_memory, "no memory to read " + path);
  }
  if (s.rate != s.info.samplerate) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    s.resampler = soxr_create(s.info.samplerate, s.rate, 1, &error, &io, &quality, nullptr);
    if (s.resampler == nullptr || error != nullptr) {
      fail(Errc::out_of_memory,
           "could not resample " + path + ": " + (error != nullptr ? error : "no resampler"));
    }
  }
}

AudioReader::~AudioReader() = default;

int AudioReader::sample_rate() const noexcept {
  return state_->rate;
}

int AudioReader::file_rate() const noexcept {
  return state_->info.samplerate;
}

int AudioReader::channels() const noexcept {
  return state_->info.channels;
}

std::size_t AudioReader::read(std::span<double> out) {
  State& s = *state_;
  std::size_t done = 0;
  while (done < out.size()) {
    if (s.mono_used == s.mono_size && !s.read_block()) {
      if (s.resampler == nullptr || s.drained) {
        break;
      }
    }
    if (s.resampler == nullptr) {
      const std::size_t n = std::min(out.size() - done, s.mono_size - s.mono_used);
      std::copy_n(s.mono.begin() + static_cast<std::ptrdiff_t>(s.mono_used), n,
                  out.begin() + static_cast<std::ptrdiff_t>(done));
      s.mono_used += n;
      done += n;
      continue;
    }
    // The resampler takes what input there is (none once the file has
    // ended, which drains its filter) and gives what output it can.
    std::size_t in_done = 0, out_done = 0;
    const bool ending = s.mono_used == s.mono_size;
    const soxr_error_t error =
        soxr_process(s.resampler, ending ? nullptr : s.mono.data() + s.mono_used,
                     ending ? 0 : s.mono_size - s.mono_used, &in_done, out.data() + done,
                     out.size() - done, &out_done);
    if (error != nullptr) {
      fail(Errc::open_failed, "could not resample " + s.path + ": " + error);
    }
    s.mono_used += in_done;
    done += out_done;
    if (ending && out_done == 0) {
      s.drained = true;
      break;
    }
  }
  return done;
}

Audio read_audio(const std::string& path, std::optional<int> sample_rate, int channel) {
  AudioReader reader(path, sample_rate, channel);
  Audio a;
  a.sample_rate = reader.sample_rate();
  a.file_rate = reader.file_rate();
  a.channels = reader.channels();
  try {
    std::vector<double> block(1 << 16);
    for (std::size_t n; (n = reader.read(block)) > 0;) {
      a.samples.insert(a.samples.end(), block.begin(),
                       block.begin() + static_cast<std::ptrdiff_t>(n));
    }
  } catch (const std::bad_alloc&) {
    fail(Errc::out_of_memory, "no memory to hold the samples of " + path);
  }
  return a;
}

}  // namespace vallisynth
