#include "driver/cleanup.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

namespace vallisynth {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr std::size_t kMaxPath = 4096;

// A slot's path is written only while its flag is clear and under a
// TemporaryUpdate, and read only by the handler once no update is running.
char gtemporary[kTemporarySlots][kMaxPath];
std::atomic<int> gregistered[kTemporarySlots];
// Updates running now, and whether a handler has started. An update counts
// itself before it looks at the flag, the handler raises the flag before it
// looks at the count: of two that overlap, at least one sees the other.
std::atomic<int> gupdating{0};
std::atomic<int> gterminating{0};

static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free atomics");

// Removes the temporary files, then ends the process with the signal's own
// default action, so that the parent sees the usual status. Only
// async-signal-safe calls: clock_gettime, unlink and raise.
void on_terminate(int sig) {
  gterminating.store(1);
  // Another thread creating, renaming or removing a temporary file has its
  // registration final within microseconds. The wait is bounded all the
  // same: that thread may be waiting for a lock that the interrupted thread
  // holds (the allocator's), and the run must end regardless.
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (gupdating.load() != 0) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= 2) {
      break;
    }
  }
  for (unsigned s = 0; s < kTemporarySlots; ++s) {
    if (gregistered[s].load() != 0) {
      unlink(gtemporary[s]);
    }
  }
  // SA_RESETHAND has restored the default action; the signal is blocked
  // while the handler runs and is delivered, fatally, on its return.
  raise(sig);
}

sigset_t termination_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kSignals) {
    sigaddset(&set, sig);
  }
  return set;
}

}  // namespace

void install_cleanup_handlers() {
  for (const int sig : kSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction act {};
    act.sa_handler = on_terminate;
    act.sa_mask = termination_signals();
    act.sa_flags = static_cast<int>(SA_RESETHAND);
    sigaction(sig, &act, nullptr);
  }
}

TemporaryUpdate::TemporaryUpdate() : previous_() {
  const sigset_t set = termination_signals();
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
  gupdating.fetch_add(1);
  if (gterminating.load() != 0) {
    // A handler in another thread is removing the files and ending the
    // process: touch nothing more.
    gupdating.fetch_sub(1);
    for (;;) {
      pause();
    }
  }
}

TemporaryUpdate::~TemporaryUpdate() {
  gupdating.fetch_sub(1);
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void register_temporary(const char* path, unsigned slot) {
  if (slot >= kTemporarySlots) {
    return;
  }
  gregistered[slot].store(0);
  const std::size_t len = path == nullptr ? 0 : std::strlen(path);
  if (len == 0 || len >= kMaxPath) {
    return;
  }
  std::memcpy(gtemporary[slot], path, len + 1);
  gregistered[slot].store(1);
}

SignalMask::SignalMask(Which which) : previous_() {
  sigset_t set = termination_signals();
  if (which == kAsynchronous) {
    sigdelset(&set, SIGPIPE);
  }
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalMask::~SignalMask() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace vallisynth
