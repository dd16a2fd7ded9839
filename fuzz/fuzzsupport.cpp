#include "fuzzsupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vallisynth::fuzz {

namespace {

// The targets write files for every input: prefer a memory-backed folder
// unless TMPDIR names another.
std::filesystem::path scratchroot() {
  std::error_code ec;
  if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm", ec)) {
    return "/dev/shm";
  }
  return std::filesystem::temp_directory_path();
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = scratchroot() / "vallisynth-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const {
    return path_;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace

void fail(const char* file, int line, const char* cond) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, cond);
  std::abort();
}

std::string scratchfile(std::string_view name) {
  static const ScratchDir dir;
  return (dir.path() / name).string();
}

void writefile(const std::string& path, std::string_view bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) {
    fail(__FILE__, __LINE__, "could not write a scratch file");
  }
}

long long filesize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<long long>(size);
}

std::string readfile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace vallisynth::fuzz
