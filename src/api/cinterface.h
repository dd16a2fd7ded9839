// What the C interface's calls share: the calling thread's last failure and
// the mapping of the library's exceptions to result codes.
#ifndef VALLISYNTH_API_CINTERFACE_H_
#define VALLISYNTH_API_CINTERFACE_H_

#include <exception>
#include <new>
#include <span>
#include <string>

#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth::c_interface {

// Keeps message and the system's errno (0: none) as the calling thread's
// last failure, for vallisynth_last_error; returns code.
int failure(int code, const std::string& message, int system_error = 0) noexcept;

// A null pointer where an object or array is needed.
int null_argument(const char* name) noexcept;

// A copy of values in memory from malloc, for the caller to release with
// vallisynth_free; null when values is empty. Throws std::bad_alloc.
double* malloc_copy(std::span<const double> values);

// The calling thread's last failure: its message and errno.
const char* last_error() noexcept;
int last_system_error() noexcept;

// Runs f, mapping the library's exceptions to result codes and keeping
// their messages for vallisynth_last_error.
template <typename F>
int guarded(F&& f) noexcept {
  try {
    f();
    return VALLISYNTH_OK;
  } catch (const Error& e) {
    return failure(static_cast<int>(e.code()), e.what(), e.system_error());
  } catch (const std::bad_alloc&) {
    return failure(VALLISYNTH_ERR_OUT_OF_MEMORY, "not enough memory");
  } catch (const std::exception& e) {
    return failure(VALLISYNTH_ERR_BAD_ARGUMENT, e.what());
  } catch (...) {
    return failure(VALLISYNTH_ERR_BAD_ARGUMENT, "unknown failure");
  }
}

}  // namespace vallisynth::c_interface

#endif  // VALLISYNTH_API_CINTERFACE_H_
