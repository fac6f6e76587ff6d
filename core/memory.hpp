#pragma once
// Memory for long-lived indexes: huge pages for the arrays searches read at
// random, and the return of a build's freed working memory to the system.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velnor {

// An allocator for large arrays read at random (search rows, graph lists,
// visited marks): blocks of 2 MiB or more are aligned to 2 MiB and the kernel
// is asked to back them with huge pages, so a random read rarely misses the
// TLB. Smaller blocks, and systems without the advice, get plain memory.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure leaves small pages
#endif
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t count) noexcept {
    if (count * sizeof(T) < kHugePage) {
      ::operator delete(p);
    } else {
      std::free(p);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

// Hands memory the process has freed but the allocator still holds back to
// the system (glibc keeps a build's many small blocks otherwise, about as
// much again as the index itself). Does nothing elsewhere.
void release_free_memory();

}  // namespace velnor
