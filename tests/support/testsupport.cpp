#include "support/testsupport.h"

#include <sys/wait.h>

#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace vallisynth::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device rd;
  for (;;) {
    path_ = fs::temp_directory_path() / ("vallisynth-test-" + std::to_string(rd()));
    if (fs::create_directory(path_)) {
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

void writefloats(const std::string& path, const std::vector<float>& values) {
  std::string bytes;
  bytes.reserve(values.size() * 4);
  for (const float v : values) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) {
      bytes.push_back(static_cast<char>((bits >> (8 * i)) & 0xFFu));
    }
  }
  writebytes(path, bytes);
}

void writebytes(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readbytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

namespace {
std::string shellquote(const std::string& s) {
  std::string q = "'";
  for (const char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}
}  // namespace

RunResult runvallisynth(const std::vector<std::string>& args, const std::string& cwd) {
  std::string cmd = "cd " + shellquote(cwd) + " && " + shellquote(VALLISYNTH_EXE);
  for (const auto& a : args) {
    cmd += " " + shellquote(a);
  }
  RunResult r;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    return r;
  }
  std::array<char, 4096> buf{};
  std::size_t n = 0;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) {
    r.out.append(buf.data(), n);
  }
  const int status = pclose(p);
  r.exitcode = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return r;
}

std::vector<std::int16_t> readwavsamples(const std::string& path) {
  const std::string bytes = readbytes(path);
  std::vector<std::int16_t> s;
  for (std::size_t i = 44; i + 1 < bytes.size(); i += 2) {
    const auto lo = static_cast<std::uint8_t>(bytes[i]);
    const auto hi = static_cast<std::uint8_t>(bytes[i + 1]);
    s.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8))));
  }
  return s;
}

int maxdiff(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b) {
  if (a.size() != b.size()) {
    return 65536;
  }
  int m = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    m = std::max(m, std::abs(int{a[i]} - int{b[i]}));
  }
  return m;
}

std::string sourcepath(const std::string& relative) {
  return (fs::path(VALLISYNTH_SOURCE_DIR) / relative).string();
}

}  // namespace vallisynth::test
