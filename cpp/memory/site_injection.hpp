// Faults of one kind at many global bit indexes ("sites") of a list of
// contiguous runs of elements: bit g is bit g mod w of element g div w,
// run after run, the numbering of the array fault injection.
//
// A site costs one binary search over the runs' bit offsets and one
// read-modify-write. Large batches land at random in memory far larger than
// the cache, so the words of the coming sites are prefetched a few sites
// ahead; the faults are still applied in order.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "memory/fault.hpp"

namespace corvane::memory::site_injection {

// Bit offsets of the runs of w-bit elements, the total as last entry.
template <class Bits>
std::vector<std::uint64_t> bit_offsets(std::span<const std::span<Bits>> runs) {
  std::vector<std::uint64_t> offsets(runs.size() + 1, 0);
  for (std::size_t i = 0; i < runs.size(); ++i) offsets[i + 1] = offsets[i] + 8 * sizeof(Bits) * runs[i].size();
  return offsets;
}

// The index of the first site at or beyond `total`.
inline std::optional<std::size_t> first_out_of_bounds(std::span<const std::uint64_t> sites, std::uint64_t total) {
  for (std::size_t k = 0; k < sites.size(); ++k) {
    if (sites[k] >= total) return k;
  }
  return std::nullopt;
}

// Applies `kind` at every site, in order. Every site must be below the
// runs' total bit count (first_out_of_bounds finds the offender first).
template <class Bits>
void inject(std::span<const std::span<Bits>> runs, FaultKind kind, std::span<const std::uint64_t> sites) {
  constexpr unsigned w = 8 * sizeof(Bits);
  constexpr std::size_t kAhead = 16;
  const std::vector<std::uint64_t> offsets = bit_offsets(runs);
  // The element a site reaches; empty runs are never found, since the
  // search takes the last run starting at or before the site.
  const auto locate = [&](std::uint64_t g) -> Bits* {
    const auto run =
        static_cast<std::size_t>(std::upper_bound(offsets.begin(), offsets.end(), g) - offsets.begin()) - 1;
    const std::uint64_t in_run = g - offsets[run];
    return runs[run].data() + in_run / w;
  };
  std::array<Bits*, kAhead> ahead{};
  const std::size_t m = sites.size();
  for (std::size_t k = 0; k < std::min(kAhead, m); ++k) {
    ahead[k] = locate(sites[k]);
    __builtin_prefetch(ahead[k], 1);
  }
  for (std::size_t k = 0; k < m; ++k) {
    Bits* element = ahead[k % kAhead];
    if (k + kAhead < m) {
      Bits* next = locate(sites[k + kAhead]);
      __builtin_prefetch(next, 1);
      ahead[k % kAhead] = next;
    }
    *element = apply_fault_to_word(*element, static_cast<unsigned>(sites[k] % w), kind);
  }
}

}  // namespace corvane::memory::site_injection
