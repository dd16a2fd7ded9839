// Large buffers on transparent huge pages. The first write to each 4 KiB
// page of fresh memory costs a page fault, and on a virtual machine several
// microseconds more: writing a 2.4 MB stream buffer for the first time took
// 6 ms on 4 KiB pages and 0.3 ms on 2 MiB pages.
#ifndef VALLISYNTH_IO_HUGEPAGES_H_
#define VALLISYNTH_IO_HUGEPAGES_H_

#include <cstddef>
#include <new>
#include <vector>

namespace vallisynth {

// bytes of memory, uninitialised, or null when it cannot be had. From 1 MiB
// on the block is 2 MiB-aligned, rounded up to whole 2 MiB and offered to
// the kernel for huge pages (a hint: without them nothing changes). Free it
// with freelarge.
void* allocatelarge(std::size_t bytes);
void freelarge(void* p) noexcept;

// A standard allocator over allocatelarge.
template <typename T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <typename U>
  explicit HugePageAllocator(const HugePageAllocator<U>& /*other*/) {
  }

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
      throw std::bad_array_new_length();
    }
    void* p = allocatelarge(n * sizeof(T));
    if (p == nullptr) {
      throw std::bad_alloc();
    }
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t /*n*/) noexcept {
    freelarge(p);
  }

  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) {
    return true;
  }
};

// The values of a parameter stream.
using StreamValues = std::vector<double, HugePageAllocator<double>>;

}  // namespace vallisynth

#endif  // VALLISYNTH_IO_HUGEPAGES_H_
