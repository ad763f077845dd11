// Allocator for the picker map's slot table.
//
// A table past a few MiB is read at random, one slot per lookup, so with
// 4 KiB pages nearly every lookup also misses the TLB and walks the page
// tables. Tables of 2 MiB or more are therefore aligned to 2 MiB and offered
// to the kernel for transparent huge pages: fewer TLB misses, and one page
// fault per 2 MiB instead of 512. Where huge pages are unavailable or
// disabled this is plain aligned memory.
#pragma once

#include <cstddef>
#include <new>

namespace corvane::picker {

namespace detail {

// Heap memory for `bytes` bytes (never NULL; throws std::bad_alloc).
void* allocate_table(std::size_t bytes);
void free_table(void* p) noexcept;

}  // namespace detail

template <class T>
struct TableAllocator {
  using value_type = T;

  TableAllocator() noexcept = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(detail::allocate_table(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { detail::free_table(p); }

  friend bool operator==(const TableAllocator&, const TableAllocator&) noexcept { return true; }
};

}  // namespace corvane::picker
