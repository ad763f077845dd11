// Transparent huge pages for large buffers.
//
// Large buffers touched once from end to end (encoded images, decoded arrays,
// result lists) pay a first-touch page fault every 4 KiB, which costs several
// times the copy itself; large tables read at random miss the TLB on nearly
// every lookup. Both are offered to the kernel for 2 MiB pages. The advice is
// only advice: refused or ignored, the memory works the same.
#pragma once

#include <cstddef>

namespace corvane::memory {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Advises the whole huge pages inside [data, data + bytes) when the range
// spans at least `min_bytes`; below that, the rounding to whole pages would
// leave too little to gain.
void advise_huge_pages(void* data, std::size_t bytes, std::size_t min_bytes = 2 * kHugePageBytes) noexcept;

}  // namespace corvane::memory
