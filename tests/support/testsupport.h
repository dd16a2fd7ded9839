// Shared helpers of the tests. Byte-level helpers assume a little-endian
// host, like the stream and WAV formats themselves.
#ifndef VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_
#define VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vallisynth::test {

// A fresh folder under the system's temporary folder, removed on
// destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const {
    return (path / name).string();
  }
  std::filesystem::path path;
};

// The stored form of values: little-endian float32.
std::string floatbytes(const std::vector<float>& values);
void writebytes(const std::string& path, const std::string& bytes);
std::string readbytes(const std::string& path);

struct RunResult {
  int exitcode = -1;  // 1000 + signal when the program was killed
  std::string out;    // standard output
};

// Runs the built vallisynth with args in folder cwd (each argument quoted).
RunResult runvallisynth(const std::vector<std::string>& args, const std::string& cwd = ".");

// Runs script with bash in folder cwd, the built program's path in $V.
// Standard error is not captured unless the script redirects it.
RunResult runbash(const std::string& script, const std::string& cwd = ".");

// Samples of a 16-bit mono WAV file written by vallisynth (header skipped).
std::vector<std::int16_t> readwavsamples(const std::string& path);

}  // namespace vallisynth::test

#endif  // VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_
