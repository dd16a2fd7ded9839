#include "io/memorylimit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace vallisynth {

namespace {

// The first word of a one-line file as a byte count; kNoMemoryLimit when the
// file is missing or says "max" (cgroup v2's "no limit").
std::uint64_t read_limit_file(const std::string& path) {
  std::ifstream f(path);
  std::string word;
  if (!(f >> word) || word == "max") {
    return kNoMemoryLimit;
  }
  unsigned long long v = 0;
  if (std::sscanf(word.c_str(), "%llu", &v) != 1) {
    return kNoMemoryLimit;
  }
  return v;
}

// The tightest of the limit files named file in folder path and in each of
// its parents up to root: a parent's limit binds its children too.
std::uint64_t hierarchy_limit(const std::string& root, std::string path, const char* file) {
  std::uint64_t limit = kNoMemoryLimit;
  while (true) {
    limit = std::min(limit, read_limit_file(root + path + "/" + file));
    if (path.empty() || path == "/") {
      return limit;
    }
    path.resize(path.rfind('/'));
  }
}

// Whether the comma-separated controller list holds "memory".
bool has_memory_controller(const std::string& list) {
  std::istringstream s(list);
  for (std::string c; std::getline(s, c, ',');) {
    if (c == "memory") {
      return true;
    }
  }
  return false;
}

}  // namespace

MemoryLimit memory_limit(const std::string& procroot, const std::string& v2root,
                         const std::string& v1root) {
  MemoryLimit limit;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pagesize = sysconf(_SC_PAGESIZE);
  if (pages > 0 && pagesize > 0) {
    limit.resident = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pagesize);
  }
  // /proc/self/cgroup: "hierarchy-ID:controller-list:path" per line; cgroup
  // v2's unified hierarchy is the line "0::path".
  std::ifstream groups(procroot + "/self/cgroup");
  for (std::string line; std::getline(groups, line);) {
    const std::size_t a = line.find(':');
    const std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) {
      continue;
    }
    const std::string controllers = line.substr(a + 1, b - a - 1);
    const std::string path = line.substr(b + 1);
    if (line.compare(0, a, "0") == 0 && controllers.empty()) {
      limit.resident = std::min(limit.resident, hierarchy_limit(v2root, path, "memory.max"));
    } else if (has_memory_controller(controllers)) {
      limit.resident =
          std::min(limit.resident, hierarchy_limit(v1root, path, "memory.limit_in_bytes"));
    }
  }
  rlimit as{};
  if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
    limit.address = as.rlim_cur;
  }
  return limit;
}

MemoryLimit memory_limit() {
  return memory_limit("/proc", "/sys/fs/cgroup", "/sys/fs/cgroup/memory");
}

std::uint64_t memory_headroom(const MemoryLimit& limit) {
  // /proc/self/statm: total program size and resident set, in pages.
  unsigned long long size = 0;
  unsigned long long resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> size >> resident;
  const long pagesize = sysconf(_SC_PAGESIZE);
  const auto page = static_cast<std::uint64_t>(pagesize > 0 ? pagesize : 4096);
  const auto room = [](std::uint64_t lim, std::uint64_t used) {
    return lim == kNoMemoryLimit ? kNoMemoryLimit : lim > used ? lim - used : 0;
  };
  return std::min(room(limit.resident, resident * page), room(limit.address, size * page));
}

bool may_allocate(std::uint64_t bytes) {
  constexpr std::uint64_t kSmall = std::uint64_t{16} << 20;
  return bytes < kSmall || bytes <= memory_headroom(memory_limit());
}

}  // namespace vallisynth
