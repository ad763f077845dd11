// Where two equally long runs of elements differ bitwise.
//
// Meant for the comparison of a trial's result with the fault-free data,
// where differences are few: blocks are compared with memcmp (the library's
// vectorised compare, at memory speed) and only unequal blocks are walked
// element by element. Blocks are spread over the worker pool; the indices
// come out sorted whatever the number of threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "internal_error.hpp"
#include "parallel/pool.hpp"

namespace corvane::memory::difference {

inline constexpr std::size_t kBlockElements = std::size_t{1} << 14;

// The sorted indices i with a[i] != b[i] (as bit patterns); the runs must be
// of equal length.
template <class Bits>
std::vector<std::uint64_t> changed_indices(std::span<const Bits> a, std::span<const Bits> b) {
  if (a.size() != b.size()) fail("changed_indices needs runs of equal length");
  const std::size_t n = a.size();
  const std::size_t blocks = (n + kBlockElements - 1) / kBlockElements;
  std::vector<std::vector<std::uint64_t>> found(blocks);
  parallel::run_pieces(blocks, [&](std::size_t b0, std::size_t b1) {
    for (std::size_t blk = b0; blk < b1; ++blk) {
      const std::size_t begin = blk * kBlockElements, end = std::min(n, begin + kBlockElements);
      if (std::memcmp(a.data() + begin, b.data() + begin, (end - begin) * sizeof(Bits)) == 0) continue;
      for (std::size_t i = begin; i < end; ++i) {
        if (a[i] != b[i]) found[blk].push_back(i);
      }
    }
  });
  std::size_t total = 0;
  for (const auto& f : found) total += f.size();
  std::vector<std::uint64_t> out;
  out.reserve(total);
  for (const auto& f : found) out.insert(out.end(), f.begin(), f.end());
  return out;
}

}  // namespace corvane::memory::difference
