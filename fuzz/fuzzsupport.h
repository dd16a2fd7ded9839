// Helpers shared by the fuzz targets.
#ifndef VALLISYNTH_FUZZ_FUZZSUPPORT_H_
#define VALLISYNTH_FUZZ_FUZZSUPPORT_H_

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

namespace vallisynth::fuzz {

// Stops the run with a report when an invariant of the code under test does
// not hold; the fuzzer (or the replay test) then counts it as a crash.
[[noreturn]] inline void fail(const char* file, int line, const char* cond) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, cond);
  std::abort();
}
#define FUZZ_CHECK(cond) ((cond) ? void() : ::vallisynth::fuzz::fail(__FILE__, __LINE__, #cond))

// Path of name in a folder private to this process, removed at exit. The
// targets write files for every input: the folder is memory-backed unless
// TMPDIR names another place.
inline std::string scratchfile(std::string_view name) {
  namespace fs = std::filesystem;
  static const std::unique_ptr<fs::path, void (*)(fs::path*)> dir(
      [] {
        const bool shm = std::getenv("TMPDIR") == nullptr && fs::is_directory("/dev/shm");
        std::string p =
            (shm ? fs::path("/dev/shm") : fs::temp_directory_path()) / "vallisynth-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(p.data()) != nullptr);
        return new fs::path(p);
      }(),
      [](fs::path* p) {
        std::error_code ec;
        fs::remove_all(*p, ec);
        delete p;
      });
  return (*dir / name).string();
}

inline void writefile(const std::string& path, std::string_view bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  FUZZ_CHECK(f.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

inline std::string readfile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace vallisynth::fuzz

#endif  // VALLISYNTH_FUZZ_FUZZSUPPORT_H_
