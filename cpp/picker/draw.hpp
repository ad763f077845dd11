// The first values of a seeded permutation, in bulk: what iterating a
// Picker yields, without a Python int per value.
#pragma once

#include <cstdint>
#include <span>

#include "internal_error.hpp"
#include "picker/picker.hpp"
#include "picker/rng.hpp"
#include "picker/u32_map.hpp"

namespace corvane::picker {

namespace detail {

// Picker::next over a U32Map sized for every draw: the same generator calls,
// so the same values, in a third of the memory.
inline void draw_compact(std::uint64_t size, Xoshiro256pp rng, std::span<std::uint64_t> out) {
  constexpr std::uint64_t kLookahead = 8;  // as Picker's
  U32Map swapped(out.size());
  const auto value_at = [&](std::uint64_t pos) {
    return swapped.get_or(static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(pos));
  };
  std::uint64_t remaining = size;
  Xoshiro256pp ahead = rng;
  std::uint64_t ahead_remaining = size;
  for (std::uint64_t& value : out) {
    if (remaining == 0) fail("draw_into asked for more values than the permutation holds");
    const std::uint64_t pos = random_range(rng, remaining);
    value = value_at(pos);
    --remaining;
    if (value != remaining) swapped.insert_or_assign(static_cast<std::uint32_t>(pos), value_at(remaining));
    if (ahead_remaining > remaining) {
      ahead = rng;
      ahead_remaining = remaining;
    }
    while (ahead_remaining > 0 && remaining - ahead_remaining < kLookahead) {
      swapped.prefetch(static_cast<std::uint32_t>(random_range(ahead, ahead_remaining)));
      --ahead_remaining;
      swapped.prefetch(static_cast<std::uint32_t>(ahead_remaining));
    }
  }
}

}  // namespace detail

// Fills `out` with the first out.size() values of Picker(size, seed), in
// order. out.size() must not exceed size.
inline void draw_into(std::uint64_t size, std::uint64_t seed, std::span<std::uint64_t> out) {
  if (size <= U32Map::kMaxKey + 1) {
    detail::draw_compact(size, Xoshiro256pp::expand_seed(seed), out);
    return;
  }
  Picker picker(size, Xoshiro256pp::expand_seed(seed));
  picker.reserve_draws(out.size());
  for (std::uint64_t& value : out) {
    const auto next = picker.next();
    if (!next) fail("draw_into asked for more values than the permutation holds");
    value = *next;
  }
}

}  // namespace corvane::picker
