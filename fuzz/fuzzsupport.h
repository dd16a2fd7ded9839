// Helpers shared by the fuzz targets.
#ifndef VALLISYNTH_FUZZ_FUZZSUPPORT_H_
#define VALLISYNTH_FUZZ_FUZZSUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Stops the run with a report when an invariant of the code under test does
// not hold; the fuzzer (or the replay test) then counts it as a crash.
#define FUZZ_CHECK(cond)                                   \
  do {                                                     \
    if (!(cond)) {                                         \
      ::vallisynth::fuzz::fail(__FILE__, __LINE__, #cond); \
    }                                                      \
  } while (false)

namespace vallisynth::fuzz {

[[noreturn]] void fail(const char* file, int line, const char* cond);

// A folder private to this process, removed at exit; path of name in it.
std::string scratchfile(std::string_view name);

void writefile(const std::string& path, std::string_view bytes);

// Size of the file at path, or -1 when it does not exist.
long long filesize(const std::string& path);

std::string readfile(const std::string& path);

}  // namespace vallisynth::fuzz

#endif  // VALLISYNTH_FUZZ_FUZZSUPPORT_H_
