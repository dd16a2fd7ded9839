// Removal of the outputs' temporary files when a termination signal (INT,
// TERM, HUP, PIPE) ends the run, so that an interrupted write leaves
// neither a partial file nor a stray temporary one.
//
// The handler can only reach what it must remove through process state: a
// signal handler takes no argument. This registry of paths, one slot per
// utterance being written at the same time, is therefore the driver's
// single piece of global state; the library never sees it.
#ifndef VALLISYNTH_DRIVER_CLEANUP_H_
#define VALLISYNTH_DRIVER_CLEANUP_H_

#include <signal.h>

namespace vallisynth {

// Slots of the registry: the most utterances written at the same time.
inline constexpr unsigned kTemporarySlots = 16;

// Installs the handler for the termination signals that are not ignored
// (a signal ignored by the parent, as nohup does with HUP, stays ignored).
void install_cleanup_handlers();

// A change to the set of temporary files (creating one and registering it,
// or renaming or removing one and clearing its slot) that a termination
// signal never splits. The signals are held back in this thread while it
// lasts, and a handler running in another thread waits for it to end
// before it removes the registered files. Once a handler has started, a new
// change never begins: the process is about to end.
class TemporaryUpdate {
 public:
  TemporaryUpdate();
  ~TemporaryUpdate();
  TemporaryUpdate(const TemporaryUpdate&) = delete;
  TemporaryUpdate& operator=(const TemporaryUpdate&) = delete;

 private:
  sigset_t previous_;
};

// Sets the file that a termination signal removes for slot ("" or null:
// none). Call under TemporaryUpdate. A path too long for the registry, or a
// slot out of range, is not registered.
void register_temporary(const char* path, unsigned slot = 0);

// While alive, the termination signals are blocked in the calling thread,
// and so in every thread it starts meanwhile: they then reach the threads
// that keep them, whose handler cleans up. kAsynchronous leaves SIGPIPE
// alone, for a thread that writes to a pipe itself (the signal is raised in
// the writing thread).
class SignalMask {
 public:
  enum Which { kAll, kAsynchronous };
  explicit SignalMask(Which which);
  ~SignalMask();
  SignalMask(const SignalMask&) = delete;
  SignalMask& operator=(const SignalMask&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_CLEANUP_H_
