// The samples of one piece written on a thread of their own while the next
// piece renders.
#ifndef VALLISYNTH_DRIVER_BACKGROUND_WRITER_H_
#define VALLISYNTH_DRIVER_BACKGROUND_WRITER_H_

#include <condition_variable>
#include <exception>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

#include "driver/cleanup.h"

namespace vallisynth {

// Hands pieces of samples to a sink on a thread of its own, one piece
// behind the caller: while a piece is converted and written, the next is
// rendered. A piece must stay untouched until the next call of put or
// finish; the sink's failure is thrown by the call after it.
template <typename Sink>
class BackgroundWriter {
 public:
  explicit BackgroundWriter(Sink& sink) : sink_(&sink) {
    // The thread keeps the asynchronous termination signals blocked: they
    // reach the caller's thread, whose handler cleans up. A broken pipe's
    // SIGPIPE is raised in the thread that writes, here, and ends the run
    // as it would on one thread. Without a thread, put writes at once.
    const SignalMask mask(SignalMask::kAsynchronous);
    try {
      thread_ = std::thread(&BackgroundWriter::loop, this);
    } catch (const std::exception&) {
      // Written as it comes instead.
    }
  }
  ~BackgroundWriter() {
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
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

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

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_BACKGROUND_WRITER_H_
