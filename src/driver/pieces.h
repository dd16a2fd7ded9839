// The render loop of the command line: an utterance's frames pushed through
// the decoder a piece at a time, with work areas sized once per utterance.
#ifndef VALLISYNTH_DRIVER_PIECES_H_
#define VALLISYNTH_DRIVER_PIECES_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "driver/background_writer.h"
#include "driver/utterance.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

// Maps the whole pages within [p, p + bytes) in one call, where the system
// can: on a virtual machine a first write to each fresh page, one fault at
// a time, costs several microseconds, and the faults of a megabyte of
// buffers took twice as long as one such call and the first writes after it
// (measured on a 2-core VM). Elsewhere a hint that does no harm.
inline void map_pages(void* p, std::size_t bytes) {
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14 on; refused before
#endif
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t last = (begin + bytes) / page * page;
  if (last > first) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
  }
#else
  (void)p;
  (void)bytes;
#endif
}

// A block of doubles left uninitialised: a vector would clear megabytes per
// utterance that are written before they are read. A block of a megabyte
// or more (the pieces' samples on several threads) is aligned to 2 MiB and
// offered the system's huge pages, where it has them: one fault then maps
// 2 MiB, where 4 KiB pages take 256 faults a megabyte.
class Buffer {
 public:
  void allocate(std::size_t n) {
    if (n <= size_) {
      return;
    }
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    if (n > (SIZE_MAX - kHugePage) / sizeof(double)) {
      throw std::bad_alloc();
    }
    const std::size_t bytes = n * sizeof(double);
    const bool huge = bytes >= kHugePage / 2;
    const std::size_t alignment = huge ? kHugePage : alignof(std::max_align_t);
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    std::unique_ptr<double[], Free> fresh(
        static_cast<double*>(std::aligned_alloc(alignment, rounded)));
    if (!fresh) {
      throw std::bad_alloc();  // the block held so far stays as it was
    }
    data_ = std::move(fresh);
    size_ = n;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (huge) {
      madvise(data_.get(), rounded, MADV_HUGEPAGE);
    }
#endif
    map_pages(data_.get(), bytes);
  }
  std::span<double> span() const {
    return {data_.get(), size_};
  }

 private:
  struct Free {
    void operator()(double* p) const {
      std::free(p);
    }
  };
  std::unique_ptr<double[], Free> data_;
  std::size_t size_ = 0;
};

// Frames pushed at a time. One thread takes pieces of about 32 Ki samples
// (256 kB, at most 512 frames): small buffers stay in the cache and cost
// few first-touch page faults, which on a virtual machine take microseconds
// each. Several threads take pieces near 64 Ki samples (512 kB, at most 1024
// frames), so that each gets several blocks of a push, while the samples of
// the piece before are being written (measured against 32 Ki and 128 Ki:
// as fast or faster on the minute of speech and the costliest input).
inline std::size_t piece_size(std::uint32_t shift, unsigned threads) {
  return threads == 1 ? std::clamp<std::size_t>(std::size_t{32768} / shift, 1, 512)
                      : std::clamp<std::size_t>(std::size_t{65536} / shift, 1, 1024);
}

// Sends the utterance's frames through the decoder a piece at a time,
// handing every piece of final samples to sink. False when a stream ends
// early (it changed under us). With overlap, out is used as two halves:
// each piece's samples go to the sink on another thread while the next
// piece is rendered into the other half.
template <typename Sink>
bool render_pieces(Utterance& u, Synthesizer& synth, std::span<double> rows, std::span<double> fvs,
                   std::span<double> out, bool overlap, Sink&& sink) {
  if (!u.cc.rewind() || (u.hasfv && !u.fv.rewind())) {
    return false;
  }
  std::optional<BackgroundWriter<std::remove_reference_t<Sink>>> background;
  if (overlap) {
    background.emplace(sink);
  }
  const auto put = [&](std::span<const double> x) {
    if (background) {
      background->put(x);
    } else {
      sink(x);
    }
  };
  const std::span<double> halves[] = {overlap ? out.first(out.size() / 2) : out,
                                      overlap ? out.last(out.size() / 2) : out};
  const std::size_t m = rows.size() / u.p;
  std::size_t half = 0;
  for (std::size_t k0 = 0; k0 < u.lf0.size(); k0 += m, half ^= 1u) {
    const std::size_t n = std::min(m, u.lf0.size() - k0);
    const std::span<double> c = rows.first(n * u.p);
    const std::span<double> v = u.hasfv ? fvs.first(n) : std::span<double>();
    if (u.cc.read(c) != c.size() || u.fv.read(v) != v.size()) {
      if (background) {
        background->finish();
      }
      return false;
    }
    const std::span<const double> f(u.lf0.data() + k0, n);
    const std::span<double> o = halves[half];
    put(o.first(synth.push(f, c, v, o)));
  }
  const std::span<double> o = halves[half];
  put(o.first(synth.flush(o)));
  if (background) {
    background->finish();
  }
  return true;
}

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_PIECES_H_
