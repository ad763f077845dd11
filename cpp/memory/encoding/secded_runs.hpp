// Runs of elements laid end to end: the image's data bits are the runs'
// bytes in order, copied in and out by blocks on the worker pool.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "parallel/pool.hpp"

namespace corvane::memory::encoding::secded::runs {

// Copies go to the pool by blocks of this many bytes.
constexpr std::uint64_t kCopyBlockBytes = std::uint64_t{1} << 20;

// Calls copy(run, offset in run, global offset, length) for the parts of the
// runs that cover bytes [begin, end) of their concatenation; `starts` holds the
// runs' byte offsets and the total.
template <class Copy>
void for_run_parts(std::span<const std::uint64_t> starts, std::uint64_t begin, std::uint64_t end, Copy copy) {
  auto run = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin()) - 1;
  for (; run + 1 < starts.size() && starts[run] < end; ++run) {
    const std::uint64_t from = std::max(begin, starts[run]);
    const std::uint64_t to = std::min(end, starts[run + 1]);
    if (from < to) copy(run, from - starts[run], from, to - from);
  }
}

// Byte offsets of the runs, and the total as last entry.
template <class Runs>
std::vector<std::uint64_t> byte_starts(const Runs& runs, std::size_t element_size) {
  std::vector<std::uint64_t> starts(runs.size() + 1, 0);
  for (std::size_t i = 0; i < runs.size(); ++i)
    starts[i + 1] = starts[i] + std::uint64_t{runs[i].size()} * element_size;
  return starts;
}

// Runs body(begin, end) over byte blocks of [0, total) on the pool.
template <class Body>
void for_byte_blocks(std::uint64_t total, Body body) {
  const std::uint64_t blocks = total / kCopyBlockBytes + (total % kCopyBlockBytes != 0 ? 1 : 0);
  parallel::run_pieces(static_cast<std::size_t>(blocks), [&](std::size_t b0, std::size_t b1) {
    body(b0 * kCopyBlockBytes, std::min<std::uint64_t>(b1 * kCopyBlockBytes, total));
  });
}

}  // namespace corvane::memory::encoding::secded::runs
