// Where two equally long runs of elements differ bitwise.
//
// Meant for the comparison of a trial's result with the fault-free data,
// where differences are few: blocks are compared with memcmp (the library's
// vectorised compare, at memory speed), unequal blocks 64 bytes at a time,
// and only the unequal 64-byte lines element by element. A dense trial
// leaves a few differences in nearly every block, so walking whole blocks
// would cost an element-wise pass over almost all the data. Blocks are
// spread over the worker pool; the indices come out sorted whatever the
// number of threads.
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
inline constexpr std::size_t kLineBytes = 64;

// Appends the i in [begin, end) with a[i] != b[i], in order.
template <class Bits>
void append_changed(const Bits* a, const Bits* b, std::size_t begin, std::size_t end, std::vector<std::uint64_t>& out) {
  static_assert(sizeof(Bits) <= sizeof(std::uint64_t) && kLineBytes % sizeof(std::uint64_t) == 0);
  constexpr std::size_t kLine = kLineBytes / sizeof(Bits);
  constexpr std::size_t kPerWord = sizeof(std::uint64_t) / sizeof(Bits);
  std::size_t i = begin;
  for (; i + kLine <= end; i += kLine) {
    std::uint64_t differ = 0;
    for (std::size_t w = 0; w < kLineBytes / sizeof(std::uint64_t); ++w) {
      std::uint64_t x = 0;
      std::uint64_t y = 0;
      std::memcpy(&x, a + i + w * kPerWord, sizeof x);  // the runs need not be 8-byte aligned
      std::memcpy(&y, b + i + w * kPerWord, sizeof y);
      differ |= x ^ y;
    }
    if (differ == 0) continue;
    for (std::size_t j = i; j < i + kLine; ++j) {
      if (a[j] != b[j]) out.push_back(j);
    }
  }
  for (; i < end; ++i) {
    if (a[i] != b[i]) out.push_back(i);
  }
}

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
      append_changed(a.data(), b.data(), begin, end, found[blk]);
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
