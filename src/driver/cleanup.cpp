#include "driver/cleanup.h"

#include <unistd.h>

#include <cstring>

namespace vallisynth {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr std::size_t kMaxPath = 4096;

// Written only while the signals are held, read only by the handler.
char gtemporary[kMaxPath];
volatile sig_atomic_t ghastemporary = 0;

// Removes the temporary file, then ends the process with the signal's own
// default action, so that the parent sees the usual status. Only
// async-signal-safe calls: unlink and raise.
void onterminate(int sig) {
  if (ghastemporary != 0) {
    unlink(gtemporary);
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

HeldSignals::HeldSignals() : previous_() {
  const sigset_t set = terminationset();
  sigprocmask(SIG_BLOCK, &set, &previous_);
}

HeldSignals::~HeldSignals() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void registertemporary(const char* path) {
  const std::size_t len = path == nullptr ? 0 : std::strlen(path);
  if (len == 0 || len >= kMaxPath) {
    ghastemporary = 0;
    return;
  }
  std::memcpy(gtemporary, path, len + 1);
  ghastemporary = 1;
}

}  // namespace vallisynth
