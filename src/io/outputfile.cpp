#include "io/outputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vallisynth {

namespace {

constexpr int kMaxLinks = 40;     // as the kernel's own limit on link chains
constexpr int kMaxAttempts = 64;  // temporary names tried before giving up

// The file that path finally names: symbolic links followed one at a time,
// a relative target taken from the link's folder. The last target need not
// exist (a dangling link's target is then created).
std::string resolve_links(std::string path) {
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return path;
    }
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t len = readlink(path.c_str(), target.data(), target.size());
    if (len <= 0 || static_cast<std::size_t>(len) >= target.size()) {
      return path;  // changed under us: let open report on the link itself
    }
    target.resize(static_cast<std::size_t>(len));
    if (target.front() == '/') {
      path = target;
    } else {
      const std::size_t slash = path.rfind('/');
      path = slash == std::string::npos ? target : path.substr(0, slash + 1) + target;
    }
  }
  return path;
}

// splitmix64: spreads a seed's bits over the whole word.
std::uint64_t mix(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15u;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// Six characters that differ between processes, calls and attempts.
std::string unique_suffix(const void* self, int attempt) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t z =
      mix(static_cast<std::uint64_t>(getpid()) ^ (static_cast<std::uint64_t>(now.tv_nsec) << 20) ^
          static_cast<std::uint64_t>(now.tv_sec) ^ reinterpret_cast<std::uintptr_t>(self) ^
          static_cast<std::uint64_t>(attempt) << 48);
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string s(6, 'x');
  for (char& c : s) {
    c = kChars[z % 62u];
    z /= 62u;
  }
  return s;
}

}  // namespace

bool is_stdout_name(const char* name) {
  return name != nullptr && std::strcmp(name, "-") == 0;
}

bool same_file(const char* a, const char* b) {
  if (a == nullptr || b == nullptr || is_stdout_name(a) || is_stdout_name(b)) {
    return false;
  }
  struct stat sa {};
  struct stat sb {};
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

OutputFile::~OutputFile() {
  discard();
}

bool OutputFile::open(const char* name) {
  discard();
  if (name == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (is_stdout_name(name)) {
    file_ = stdout;
    ownsfile_ = false;
    return true;
  }
  final_ = resolve_links(name);
  struct stat st {};
  const bool exists = stat(final_.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a FIFO cannot be replaced, only written.
    file_ = std::fopen(final_.c_str(), "wb");
    ownsfile_ = file_ != nullptr;
    return file_ != nullptr;
  }
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    std::string temp = final_ + ".tmp-" + unique_suffix(this, attempt);
    // Created with the usual permissions (0666 less the umask) or, when
    // replacing a file, with that file's.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) {
        continue;
      }
      return false;
    }
    temp_ = std::move(temp);
    if (exists) {
      fchmod(fd, st.st_mode & 07777);
    }
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
      const int err = errno;
      ::close(fd);
      unlink(temp_.c_str());
      temp_.clear();
      errno = err;
      return false;
    }
    ownsfile_ = true;
    return true;
  }
  return false;
}

void OutputFile::reserve(std::uint64_t bytes) noexcept {
  if (file_ == nullptr || temp_.empty() || bytes == 0 ||
      bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return;
  }
  // The size stays that of what is written: a write cut short leaves no
  // zeros at the end.
  const int err = errno;
  if (fallocate(fileno(file_), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0) {
    reserved_ = bytes;
  }
  errno = err;
}

bool OutputFile::commit() {
  if (file_ == nullptr) {
    errno = EBADF;
    return false;
  }
  bool ok = std::fflush(file_) == 0 && std::ferror(file_) == 0;
  if (ok && reserved_ > 0) {
    // Room beyond the end stays the file's until it is cut to its size.
    const off_t end = ftello(file_);
    if (end >= 0 && static_cast<std::uint64_t>(end) < reserved_) {
      ok = ftruncate(fileno(file_), end) == 0;
    }
  }
  reserved_ = 0;
  if (ownsfile_) {
    ok = std::fclose(file_) == 0 && ok;
  }
  file_ = nullptr;
  if (temp_.empty()) {
    return ok;
  }
  if (ok && std::rename(temp_.c_str(), final_.c_str()) == 0) {
    temp_.clear();
    return true;
  }
  const int err = errno;
  unlink(temp_.c_str());
  temp_.clear();
  errno = err;
  return false;
}

void OutputFile::discard() {
  if (file_ != nullptr && ownsfile_) {
    std::fclose(file_);
  }
  file_ = nullptr;
  reserved_ = 0;
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    temp_.clear();
  }
}

}  // namespace vallisynth
