#include "synthesis/parallelsynth.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <system_error>

#include "synthesis/noise.h"
#include "synthesis/synthesis.h"

namespace vallisynth {

unsigned usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) {
      return static_cast<unsigned>(count);
    }
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

ParallelFrameSynthesizer::ParallelFrameSynthesizer(double fs, std::uint32_t L, std::uint32_t order,
                                                   double alpha, double gamma,
                                                   std::optional<C0Range> c0range,
                                                   NoisePhaseSource& rng, unsigned threads)
    : L_(L), p_(std::size_t{order} + 1u), rng_(&rng) {
  const unsigned count = threads == 0 ? usable_cores() : threads;
  for (unsigned w = 0; w < count; ++w) {
    workers_.push_back(std::make_unique<Worker>(fs, L, order, alpha, gamma, c0range));
  }
  // L is known to be in range once a FrameSynthesizer has taken it.
  draws_ = noise_draws_per_frame(std::bit_ceil(2u * L));
  tail_.assign(L, 0.0);
  blocks_.resize(kBlocksPerThread * count);
  tails_.resize(blocks_.size() * L);
  start_threads(count);
}

ParallelFrameSynthesizer::~ParallelFrameSynthesizer() {
  stop_threads();
}

void ParallelFrameSynthesizer::start_threads(unsigned count) {
  // The workers block every signal (a new thread inherits its creator's
  // mask): the process's signals stay with the caller's threads, whose
  // handlers and masks the embedding program controls.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  for (std::size_t w = 1; w < count; ++w) {
    try {
      threads_.emplace_back(&ParallelFrameSynthesizer::worker_loop, this, w);
    } catch (const std::system_error&) {
      // Fewer threads give the same samples: go on with those running.
      workers_.resize(w);
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void ParallelFrameSynthesizer::stop_threads() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) {
    t.join();
  }
  threads_.clear();
}

void ParallelFrameSynthesizer::worker_loop(std::size_t w) {
  std::uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) {
        return;
      }
      seen = generation_;
    }
    render_blocks(w);
    bool last = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      last = --busy_ == 0;
    }
    if (last) {
      done_.notify_one();
    }
  }
}

void ParallelFrameSynthesizer::reset() {
  std::fill(tail_.begin(), tail_.end(), 0.0);
  carry_ = FrameSynthesizer::Carry{};
  nframes_ = 0;
}

void ParallelFrameSynthesizer::plan_blocks(std::size_t n, std::size_t nblocks) {
  const FrameSynthesizer& synth = workers_.front()->synth;
  const std::span<const double> fv = job_.fv;
  // The carry at each block's first frame, one block after the other (the
  // noise position is found by each block's worker, from the push's).
  FrameSynthesizer::Carry c = carry_;
  for (std::size_t b = 0; b < nblocks; ++b) {
    Block& block = blocks_[b];
    block.first = n * b / nblocks;
    block.count = n * (b + 1) / nblocks - block.first;
    block.carry = c;
    if (b + 1 < nblocks) {
      c = synth.advance(c, job_.f0.subspan(block.first, block.count),
                        fv.empty() ? fv : fv.subspan(block.first, block.count),
                        job_.cc.subspan(block.first * p_, block.count * p_));
    }
  }
}

void ParallelFrameSynthesizer::render_blocks(std::size_t w) {
  for (;;) {
    const std::size_t b = nextblock_.fetch_add(1, std::memory_order_relaxed);
    if (b >= job_.nblocks) {
      return;
    }
    render_block(w, b);
  }
}

void ParallelFrameSynthesizer::render_block(std::size_t w, std::size_t b) {
  Worker& worker = *workers_[w];
  Block& block = blocks_[b];
  const std::size_t first = block.first;
  const std::size_t count = block.count;
  // Every frame draws the same count of phases: the block starts that many
  // times its first frame into the push's sequence. The jump is made here,
  // on the worker, rather than in the serial planning. The last block's worker
  // leaves the source where the push ends.
  worker.rng = *rng_;
  const std::uint64_t offset = std::uint64_t{first} * draws_;
  if (block.jump.count != offset) {
    block.jump = NoisePhaseSource::jump_of(offset);
  }
  worker.rng.skip(block.jump);
  worker.synth.restart(block.carry);
  const std::span<const double> fv = job_.fv;
  worker.synth.push(job_.f0.subspan(first, count), fv.empty() ? fv : fv.subspan(first, count),
                    job_.cc.subspan(first * p_, count * p_),
                    job_.out.subspan(first * L_, count * L_));
  const std::span<const double> tail = worker.synth.tail();
  std::copy(tail.begin(), tail.end(), tails_.begin() + static_cast<std::ptrdiff_t>(b * L_));
  if (b + 1 == job_.nblocks) {
    carry_ = worker.synth.carry();
    endrng_ = worker.rng;
  }
}

int ParallelFrameSynthesizer::push(std::span<const double> f0, std::span<const double> fv,
                                   std::span<const double> cc, std::span<double> out) {
  const std::size_t n = f0.size();
  if (cc.size() / p_ != n || cc.size() % p_ != 0 ||
      fv.size() != (has_fv_track() ? n : std::size_t{0}) || out.size() / L_ != n ||
      out.size() % L_ != 0) {
    return -1;
  }
  if (n == 0) {
    return 0;
  }
  job_ = Job{f0, fv, cc, out, 1};
  if (threads() > 1 && n >= kMinParallelFrames) {
    job_.nblocks = std::min(blocks_.size(), n / kMinBlockFrames);
  }
  plan_blocks(n, job_.nblocks);
  nextblock_.store(0, std::memory_order_relaxed);
  if (job_.nblocks == 1) {
    render_block(0, 0);
  } else {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++generation_;
      busy_ = threads_.size();
    }
    wake_.notify_all();
    render_blocks(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return busy_ == 0; });
  }

  // Each block started from an empty tail: its predecessor's falling half
  // (the previous push's, for the first block) is added onto its first L
  // samples now.
  for (std::size_t b = 0; b < job_.nblocks; ++b) {
    const double* prev =
        b == 0 ? tail_.data() : tails_.data() + (b - 1) * static_cast<std::size_t>(L_);
    double* seam = out.data() + blocks_[b].first * L_;
    for (std::size_t i = 0; i < L_; ++i) {
      seam[i] = prev[i] + seam[i];
    }
  }
  const auto last = static_cast<std::ptrdiff_t>((job_.nblocks - 1) * L_);
  std::copy_n(tails_.begin() + last, L_, tail_.begin());
  *rng_ = endrng_;
  nframes_ += n;
  job_ = Job{};
  return 0;
}

int ParallelFrameSynthesizer::flush(std::span<double> out) {
  if (release_tail(tail_, out) != 0) {
    return -1;
  }
  reset();
  return 0;
}

}  // namespace vallisynth
