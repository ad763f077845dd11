#include "picker/table_allocator.hpp"

#include <cstdlib>

#include "memory/huge_pages.hpp"

namespace corvane::picker::detail {

using memory::kHugePageBytes;

void* allocate_table(std::size_t bytes) {
  void* p = nullptr;
  if (bytes >= kHugePageBytes) {
    const std::size_t rounded = (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    if (rounded < bytes) throw std::bad_alloc();
    p = std::aligned_alloc(kHugePageBytes, rounded);
    // Aligned and rounded, so the whole table is huge pages.
    memory::advise_huge_pages(p, rounded, kHugePageBytes);
  } else {
    p = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void free_table(void* p) noexcept { std::free(p); }

}  // namespace corvane::picker::detail
