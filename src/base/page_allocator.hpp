// PageAllocator<T>: an allocator that maps large blocks straight from the
// system and unmaps them when freed, for the arrays a store doubles as it
// grows (its intern index and record ends).
//
// Through malloc, glibc raises its mmap threshold to the size of each mapped
// block it frees, so after the arena's first few growths the smaller arrays
// beside it come from the heap, and each copy a growth leaves behind stays
// resident for good. Small blocks still go through operator new.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace zembrik {

template <class T>
struct PageAllocator {
  using value_type = T;
  // Below this a block is malloc's: mapping costs a system call and a page
  // fault per page, which only large, long-lived blocks repay.
  static constexpr std::size_t kMappedBytes = std::size_t{1} << 20;

  PageAllocator() = default;
  template <class U>
  PageAllocator(const PageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMappedBytes) return static_cast<T*>(::operator new(bytes));
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMappedBytes) {
      ::operator delete(block);
    } else {
      munmap(block, bytes);
    }
  }

  template <class U>
  friend bool operator==(const PageAllocator&, const PageAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace zembrik
