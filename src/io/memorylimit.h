// How much memory this process may still take. The machine's physical
// memory is not enough to know: a container's memory limit (a cgroup) or an
// address-space limit (ulimit -v) is usually far tighter, and a process that
// goes past a cgroup's limit is killed by the kernel without a word instead
// of seeing an allocation fail. Nothing here prints.
#ifndef VALLISYNTH_IO_MEMORYLIMIT_H_
#define VALLISYNTH_IO_MEMORYLIMIT_H_

#include <cstdint>
#include <string>

namespace vallisynth {

inline constexpr std::uint64_t kNoMemoryLimit = ~std::uint64_t{0};

struct MemoryLimit {
  // Resident bytes: the tightest of physical memory and the memory limits of
  // the process's cgroup and its ancestors (cgroup v2 memory.max, cgroup v1
  // memory.limit_in_bytes).
  std::uint64_t resident = kNoMemoryLimit;
  // Address-space bytes (RLIMIT_AS).
  std::uint64_t address = kNoMemoryLimit;
};

// The limits in force now, read from the system (a few small files).
MemoryLimit memory_limit();

// The same from the given roots (for tests): procroot holds self/cgroup,
// cgroup v2 is mounted at v2root and the v1 memory controller at v1root.
MemoryLimit memory_limit(const std::string& procroot, const std::string& v2root,
                         const std::string& v1root);

// Bytes that may still be allocated under limit: each limit less what the
// process already holds against it (its resident size, its address-space
// size). 0 when a limit is already reached.
std::uint64_t memory_headroom(const MemoryLimit& limit);

// Whether bytes more may be allocated. Requests below 16 MiB are granted
// without reading the limits (a few small files each time): no container
// is that tight, and a batch of short utterances should not pay for it.
bool may_allocate(std::uint64_t bytes);

}  // namespace vallisynth

#endif  // VALLISYNTH_IO_MEMORYLIMIT_H_
