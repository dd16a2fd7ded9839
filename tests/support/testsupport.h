// Shared helpers of the tests. Byte-level helpers assume a little-endian
// host, like the stream and WAV formats themselves.
#ifndef VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_
#define VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_

#include <gtest/gtest.h>

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

// A short utterance of order 24 for runs of the program: 120 Hz with frames
// n/2 and n/2 + 1 unvoiced, and a c0 that varies between frames, so that
// the c0 range sets each frame's maximum voiced frequency.
inline constexpr std::size_t kFrames = 20;
inline constexpr std::size_t kOrder = 24;
std::vector<float> testlf0(std::size_t frames = kFrames);
std::vector<float> testcc(std::size_t frames = kFrames);
// Writes them as the files f0 and cc of dir.
void writeutterance(const TempDir& dir);

struct RunResult {
  int exitcode = -1;  // 1000 + signal when the program was killed
  std::string out;    // standard output
};

// Runs the built vallisynth with args in folder cwd (each argument quoted).
RunResult runvallisynth(const std::vector<std::string>& args, const std::string& cwd = ".");

// Starts the built program with args, its standard output to /dev/null,
// without waiting for it. Returns its process id, or -1.
int spawnvallisynth(std::vector<std::string> args);

// Runs script with bash in folder cwd, the built program's path in $V.
// Standard error is not captured unless the script redirects it.
RunResult runbash(const std::string& script, const std::string& cwd = ".");

// Samples of a 16-bit mono WAV file written by vallisynth (header skipped).
std::vector<std::int16_t> readwavsamples(const std::string& path);

// A whole WAV file at path: header sizes that agree with its length, of n
// samples at rate fs unless n < 0, ending past the last frame's window in
// silence.
::testing::AssertionResult iswholewav(const std::string& path, long n = -1, int fs = 16000);

}  // namespace vallisynth::test

#endif  // VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_
