// The public file interface: the stream reader and the WAV writer, whole or
// as the samples come.
#include <algorithm>
#include <new>
#include <string>

#include "io/memorylimit.h"
#include "io/outputfile.h"
#include "io/paramfile.h"
#include "io/wavwriter.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

namespace {
constexpr std::size_t kBlock = 4096;  // samples converted per write
}  // namespace

struct WavWriter::State {
  OutputFile out;
  std::string path;
  std::uint64_t announced = 0;
  std::uint64_t written = 0;
  bool open = false;
};

WavWriter::WavWriter(const std::string& path, std::uint64_t samples, int sample_rate)
    : state_(std::make_unique<State>()) {
  if (sample_rate < 8000 || sample_rate > 48000) {
    throw Error(Errc::bad_argument,
                "sample_rate is " + std::to_string(sample_rate) + " Hz, outside 8000 to 48000");
  }
  if (samples > max_wav_samples) {
    throw Error(Errc::too_long,
                path + ": " + std::to_string(samples) + " samples are more than a WAV file holds");
  }
  state_->path = path;
  state_->announced = samples;
  if (!state_->out.open(path.c_str())) {
    throw Error(Errc::create_failed, "could not create " + path);
  }
  state_->open = true;
  unsigned char header[44];
  wavheader(header, static_cast<std::uint32_t>(samples), static_cast<std::uint32_t>(sample_rate));
  if (std::fwrite(header, 1, sizeof header, state_->out.stream()) != sizeof header) {
    discard();
    throw Error(Errc::create_failed, "could not create " + path);
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
  std::int16_t pcm[kBlock];
  unsigned char bytes[2 * kBlock];
  for (std::size_t i = 0; i < x.size(); i += kBlock) {
    const std::size_t n = std::min(kBlock, x.size() - i);
    topcm16(x.subspan(i, n), std::span<std::int16_t>(pcm, n));
    for (std::size_t j = 0; j < n; ++j) {  // little-endian, whatever the host
      const auto v = static_cast<std::uint16_t>(pcm[j]);
      bytes[2 * j] = static_cast<unsigned char>(v & 0xFFu);
      bytes[2 * j + 1] = static_cast<unsigned char>(v >> 8);
    }
    if (std::fwrite(bytes, 2, n, s.out.stream()) != n) {
      discard();
      throw Error(Errc::create_failed, "could not create " + s.path);
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
  if (!s.out.commit()) {
    s.out.discard();
    throw Error(Errc::create_failed, "could not create " + s.path);
  }
}

void WavWriter::discard() noexcept {
  if (state_ && state_->open) {
    state_->out.discard();
    state_->open = false;
  }
}

const char* WavWriter::temporary_path() const noexcept {
  return state_->open ? state_->out.temporarypath() : "";
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
    ampnormalize(copy);
    out.write(copy);
  } else {
    out.write(x);
  }
  out.commit();
}

std::vector<double> read_stream(const std::string& path) {
  StreamValues values;
  ReadFailure why = ReadFailure::kNone;
  const std::uint64_t n = fdoubleread(path.c_str(), values, &why, memoryheadroom(memorylimit()));
  if (n == 0) {
    if (why == ReadFailure::kNoMemory) {
      throw Error(Errc::out_of_memory, "not enough memory to read " + path);
    }
    throw Error(Errc::open_failed, "could not open " + path);
  }
  try {
    return std::vector<double>(values.begin(), values.end());
  } catch (const std::bad_alloc&) {
    throw Error(Errc::out_of_memory, "not enough memory to read " + path);
  }
}

}  // namespace vallisynth
