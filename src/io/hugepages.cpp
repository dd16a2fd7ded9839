#include "io/hugepages.h"

#include <sys/mman.h>

#include <cstdlib>

namespace vallisynth {

namespace {
constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kLarge = std::size_t{1} << 20;  // from here on huge pages pay
}  // namespace

void* allocatelarge(std::size_t bytes) {
  if (bytes < kLarge) {
    return std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (bytes > static_cast<std::size_t>(-1) - kHugePage) {
    return nullptr;
  }
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
#ifdef MADV_HUGEPAGE
  if (p != nullptr) {
    madvise(p, rounded, MADV_HUGEPAGE);
  }
#endif
  return p;
}

void freelarge(void* p) noexcept {
  std::free(p);
}

}  // namespace vallisynth
