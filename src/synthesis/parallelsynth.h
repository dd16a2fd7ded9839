// The frame step shared out between threads: each push is cut into
// contiguous blocks of frames, rendered side by side by a small pool of
// worker threads, each with its own FrameSynthesizer. A block needs three
// things from the frames before it, all found by a cheap sequential pass:
// the fundamental's phase and the previous f0 (from the voicing and
// harmonic count alone), and the block's position in the noise-phase
// sequence (every frame draws the same count of numbers). The overlap-add
// seams, where a block's first frame meets its predecessor's last, are
// summed after the blocks; a + b is the same double in either order, so
// the samples are those of one FrameSynthesizer, bit for bit, for every
// thread count and every way of cutting the utterance into pushes.
#ifndef VALLISYNTH_SYNTHESIS_PARALLELSYNTH_H_
#define VALLISYNTH_SYNTHESIS_PARALLELSYNTH_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "synthesis/framesynth.h"
#include "synthesis/noisesource.h"

namespace vallisynth {

// Cores this process may run on (its CPU affinity), at least 1.
unsigned usable_cores();

class ParallelFrameSynthesizer {
 public:
  // The arguments of FrameSynthesizer, plus
  // threads  threads that render a push, the caller's own included: 0 for
  //          usable_cores(), 1 for the caller alone (no thread is started)
  //
  // The workers are started here and joined by the destructor; when the
  // system refuses a thread, the object goes on with those it has (the
  // samples do not depend on the count). Every buffer is allocated here:
  // push and flush allocate nothing, whatever the push size. Throws as
  // FrameSynthesizer does.
  ParallelFrameSynthesizer(double fs, std::uint32_t L, std::uint32_t order, double alpha,
                           double gamma, std::optional<C0Range> c0range, NoisePhaseSource& rng,
                           unsigned threads);
  ~ParallelFrameSynthesizer();
  ParallelFrameSynthesizer(const ParallelFrameSynthesizer&) = delete;
  ParallelFrameSynthesizer& operator=(const ParallelFrameSynthesizer&) = delete;

  // As FrameSynthesizer::push: n frames in, their n L final samples out;
  // returns 0, or -1 (nothing written, state unchanged) when a size does
  // not match. Pushes of fewer than min_parallel_frames() frames are
  // rendered by the calling thread alone. One push at a time: the object
  // may be used from any thread, but from one at a time.
  int push(std::span<const double> f0, std::span<const double> fv, std::span<const double> cc,
           std::span<double> out);

  // As FrameSynthesizer::flush and reset.
  int flush(std::span<double> out);
  void reset();

  std::uint32_t shift() const {
    return L_;
  }
  bool has_fv_track() const {
    return workers_.front()->synth.has_fv_track();
  }
  std::uint64_t frame_count() const {
    return nframes_;
  }
  // Threads that render a push, the caller's included.
  unsigned threads() const {
    return static_cast<unsigned>(workers_.size());
  }
  // Smallest push that is shared out: below it, waking the workers costs
  // more than they save.
  static constexpr std::size_t min_parallel_frames() {
    return kMinParallelFrames;
  }

 private:
  // Waking a worker costs some tens of microseconds; a frame of speech
  // about 3 to 4. Measured on two cores, 64-frame pushes gain a little
  // from a second thread, and longer ones the more the longer.
  static constexpr std::size_t kMinParallelFrames = 64;
  static constexpr std::size_t kMinBlockFrames = 8;
  // Blocks per thread: more, smaller blocks even out frames of unequal
  // cost (voiced ones cost more) and a core busy with other work.
  static constexpr std::size_t kBlocksPerThread = 4;

  // A worker's own synthesizer and the noise source it draws from.
  struct Worker {
    Worker(double fs, std::uint32_t L, std::uint32_t order, double alpha, double gamma,
           std::optional<C0Range> c0range)
        : synth(fs, L, order, alpha, gamma, c0range, rng) {
    }
    NoisePhaseSource rng;
    FrameSynthesizer synth;
  };

  // Where a block starts: its first frame, the carry and the noise source
  // as they stand before that frame.
  struct Block {
    std::size_t first = 0;
    std::size_t count = 0;
    FrameSynthesizer::Carry carry;
    // The noise source's jump to the block's first frame, kept from push
    // to push: pushes of one size (a stream's pieces) start their blocks
    // at the same offsets, and applying a jump costs a small fraction of
    // making it or of stepping there.
    NoisePhaseSource::Jump jump;
  };

  // The push being rendered, read by every worker.
  struct Job {
    std::span<const double> f0;
    std::span<const double> fv;
    std::span<const double> cc;
    std::span<double> out;
    std::size_t nblocks = 0;
  };

  void start_threads(unsigned count);
  void stop_threads();
  void worker_loop(std::size_t w);
  // Splits the push into blocks and sets each block's starting state.
  void plan_blocks(std::size_t n, std::size_t nblocks);
  // Takes blocks until none is left, rendering them on worker w.
  void render_blocks(std::size_t w);
  void render_block(std::size_t w, std::size_t b);

  std::uint32_t L_;
  std::size_t p_;          // coefficients per row
  std::size_t draws_ = 0;  // noise numbers drawn per frame
  NoisePhaseSource* rng_;
  std::vector<std::unique_ptr<Worker>> workers_;  // [0] is the caller's
  std::vector<Block> blocks_;
  std::vector<double> tails_;  // each block's last falling half (L each)
  std::vector<double> tail_;   // the last push's falling half (L)
  FrameSynthesizer::Carry carry_;
  NoisePhaseSource endrng_;  // the source after the push's last block
  std::uint64_t nframes_ = 0;

  Job job_;
  std::atomic<std::size_t> nextblock_{0};
  std::mutex mutex_;
  std::condition_variable wake_;  // a job was posted, or stop
  std::condition_variable done_;  // the last worker finished the job
  std::uint64_t generation_ = 0;  // jobs posted
  std::size_t busy_ = 0;          // workers still on the current job
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_PARALLELSYNTH_H_
