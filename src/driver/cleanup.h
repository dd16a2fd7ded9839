// Removal of the output's temporary file when a termination signal (INT,
// TERM, HUP, PIPE) ends the run, so that an interrupted write leaves
// neither a partial file nor a stray temporary one.
//
// The handler can only reach what it must remove through process state: a
// signal handler takes no argument. This registry of one path is therefore
// the driver's single piece of global state; the library never sees it.
#ifndef VALLISYNTH_DRIVER_CLEANUP_H_
#define VALLISYNTH_DRIVER_CLEANUP_H_

#include <signal.h>

namespace vallisynth {

// Installs the handler for the termination signals that are not ignored
// (a signal ignored by the parent, as nohup does with HUP, stays ignored).
void installcleanuphandlers();

// Holds the termination signals back while alive; one that arrives in the
// meantime is delivered when it ends. Registering or clearing the path and
// creating or renaming the temporary file happen under it, so that the
// handler never sees a half-updated registry or misses a file.
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t previous_;
};

// Sets the file that a termination signal removes ("" or null: none). Call
// under HeldSignals. A path too long for the registry is not registered.
void registertemporary(const char* path);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_CLEANUP_H_
