// The first values of a seeded permutation, in bulk: what iterating a
// Picker yields, without a Python int per value.
#pragma once

#include <cstdint>
#include <span>

#include "internal_error.hpp"
#include "picker/picker.hpp"
#include "picker/rng.hpp"

namespace corvane::picker {

// Fills `out` with the first out.size() values of Picker(size, seed), in
// order. out.size() must not exceed size.
inline void draw_into(std::uint64_t size, std::uint64_t seed, std::span<std::uint64_t> out) {
  Picker picker(size, Xoshiro256pp::expand_seed(seed));
  picker.reserve_draws(out.size());
  for (std::uint64_t& value : out) {
    const auto next = picker.next();
    if (!next) fail("draw_into asked for more values than the permutation holds");
    value = *next;
  }
}

}  // namespace corvane::picker
