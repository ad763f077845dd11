#include "memory/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace corvane::memory {

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes,
                       [[maybe_unused]] std::size_t min_bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (data == nullptr || bytes < min_bytes) return;
  constexpr std::uintptr_t kHuge = kHugePageBytes;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a page address, rounded as an integer
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // advice only
#endif
}

}  // namespace corvane::memory
