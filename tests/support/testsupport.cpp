#include "support/testsupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <system_error>

extern char** environ;

namespace vallisynth::test {

namespace fs = std::filesystem;

static_assert(std::endian::native == std::endian::little);

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "vallisynth-test-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), templ);
  }
  path = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::string floatbytes(const std::vector<float>& values) {
  return {reinterpret_cast<const char*>(values.data()), 4 * values.size()};
}

void writebytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readbytes(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

std::vector<float> testlf0(std::size_t frames) {
  std::vector<float> v(frames, std::log(120.0f));
  v[frames / 2] = v[frames / 2 + 1] = -1e10f;
  return v;
}

std::vector<float> testcc(std::size_t frames) {
  std::vector<float> v(frames * (kOrder + 1), 0.05f);
  for (std::size_t k = 0; k < frames; ++k) {
    v[k * (kOrder + 1)] = 4.0f + 0.1f * static_cast<float>(k % 7);
  }
  return v;
}

void writeutterance(const TempDir& dir) {
  writebytes(dir.file("f0"), floatbytes(testlf0()));
  writebytes(dir.file("cc"), floatbytes(testcc()));
}

namespace {

// For the shell: in single quotes, ' written as '\''.
std::string quote(const std::string& s) {
  return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'";
}

RunResult runcommand(const std::string& cmd) {
  RunResult r;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    return r;
  }
  for (int ch; (ch = std::fgetc(p)) != EOF;) {
    r.out += static_cast<char>(ch);
  }
  const int status = pclose(p);
  r.exitcode = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return r;
}

}  // namespace

RunResult runbash(const std::string& script, const std::string& cwd) {
  return runcommand("cd " + quote(cwd) + " && export V=" + quote(VALLISYNTH_EXE) +
                    " && exec bash -c " + quote(script));
}

RunResult runvallisynth(const std::vector<std::string>& args, const std::string& cwd) {
  std::string script = "exec \"$V\"";
  for (const auto& a : args) {
    script += " " + quote(a);
  }
  return runbash(script, cwd);
}

std::vector<std::int16_t> readwavsamples(const std::string& path) {
  const std::string bytes = readbytes(path);
  std::vector<std::int16_t> s(bytes.size() < 44 ? 0 : (bytes.size() - 44) / 2);
  std::memcpy(s.data(), bytes.data() + std::min<std::size_t>(44, bytes.size()), 2 * s.size());
  return s;
}

::testing::AssertionResult iswholewav(const std::string& path, long n, int fs) {
  const std::string w = readbytes(path);
  const auto at = [&](std::size_t i) {
    std::uint32_t v = 0;
    std::memcpy(&v, w.data() + i, 4);
    return static_cast<long>(v);
  };
  if (w.size() >= 44 && w.starts_with("RIFF") && w.compare(8, 8, "WAVEfmt ") == 0 &&
      w.compare(36, 4, "data") == 0 && at(4) == static_cast<long>(w.size()) - 8 &&
      at(40) == static_cast<long>(w.size()) - 44 && at(24) == fs && at(28) == 2 * fs &&
      (n < 0 || at(40) == 2 * n) && w.ends_with(std::string(2, '\0'))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << path << ": " << w.size() << " bytes for " << n;
}

int spawnvallisynth(std::vector<std::string> args) {
  args.insert(args.begin(), VALLISYNTH_EXE);
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace vallisynth::test
