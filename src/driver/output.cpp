#include "driver/output.h"

#include <sys/stat.h>

#include <optional>

#include "driver/cleanup.h"
#include "driver/utterance.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

Outcome write_output(const char* name, std::uint64_t samples, int rate, const OutputTurn& turn,
                     int& reason, const std::function<bool(const SampleSink&)>& render) {
  std::optional<WavWriter> out;
  try {
    struct stat st {};
    if (is_stdout(name) || (stat(name, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
      // Standard output, a device or a FIFO is written directly, without a
      // temporary file: nothing to hold the signals for. Opening a FIFO
      // waits for its reader, and Ctrl-C must still end that wait.
      out.emplace(name, samples, rate);
      if (*out->temporary_path() != '\0') {
        // Replaced by a regular file in the meantime: written as one.
        const TemporaryUpdate update;
        register_temporary(out->temporary_path(), turn.slot);
      }
    } else {
      const TemporaryUpdate update;
      out.emplace(name, samples, rate);
      register_temporary(out->temporary_path(), turn.slot);
    }
    if (!render([&](std::span<const double> x) { out->write(x); })) {
      throw Error(Errc::create_failed, "a stream changed while it was read");
    }
    const bool ready = !turn.ready || turn.ready();
    const TemporaryUpdate update;
    if (!ready) {
      out.reset();
      register_temporary(nullptr, turn.slot);
      return Outcome::kAgain;
    }
    out->commit();
    register_temporary(nullptr, turn.slot);
    return Outcome::kWritten;
  } catch (const Error& e) {
    reason = e.system_error();
    const TemporaryUpdate update;
    out.reset();
    register_temporary(nullptr, turn.slot);
    return Outcome::kFailed;
  } catch (...) {
    // Memory ran out outside the library's checks: no temporary file stays.
    {
      const TemporaryUpdate update;
      out.reset();
      register_temporary(nullptr, turn.slot);
    }
    throw;
  }
}

}  // namespace vallisynth
