// Shared helpers of the tests.
#ifndef VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_
#define VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vallisynth::test {

// A fresh folder under the system's temporary folder, removed on
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const {
    return path_;
  }
  std::string file(const std::string& name) const {
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

// Writes values as little-endian float32.
void writefloats(const std::string& path, const std::vector<float>& values);
void writebytes(const std::string& path, const std::string& bytes);
std::string readbytes(const std::string& path);

struct RunResult {
  int exitcode = -1;
  std::string out;  // standard output
};

// Runs the built vallisynth with args in folder cwd (each argument quoted).
RunResult runvallisynth(const std::vector<std::string>& args, const std::string& cwd = ".");

// Samples of a 16-bit mono WAV file written by vallisynth (header skipped).
std::vector<std::int16_t> readwavsamples(const std::string& path);

// Largest absolute difference of two sample runs of the same length, or
// 65536 when their lengths differ.
int maxdiff(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b);

// Path of a file of the source tree.
std::string sourcepath(const std::string& relative);

}  // namespace vallisynth::test

#endif  // VALLISYNTH_TESTS_SUPPORT_TESTSUPPORT_H_
