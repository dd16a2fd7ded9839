#include "driver/cleanup.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

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
// async-signal-safe calls: unlink and raise.
void onterminate(int sig) {
  gterminating.store(1);
  while (gupdating.load() != 0) {
    // Another thread is creating, renaming or removing a temporary file:
    // its registration is final within microseconds.
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

sigset_t terminationset() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kSignals) {
    sigaddset(&set, sig);
  }
  return set;
}

}  // namespace

void installcleanuphandlers() {
  for (const int sig : kSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction act {};
    act.sa_handler = onterminate;
    act.sa_mask = terminationset();
    act.sa_flags = static_cast<int>(SA_RESETHAND);
    sigaction(sig, &act, nullptr);
  }
}

TemporaryUpdate::TemporaryUpdate() : previous_(blockterminationsignals()) {
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
  restoremask(previous_);
}

void registertemporary(const char* path, unsigned slot) {
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

sigset_t blockterminationsignals() {
  const sigset_t set = terminationset();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &set, &previous);
  return previous;
}

void restoremask(const sigset_t& previous) {
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace vallisynth
