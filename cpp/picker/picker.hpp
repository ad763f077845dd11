// A random permutation of 0..n, drawn one value at a time.
//
// Sparse Fisher-Yates: a virtual array holds the values not yet returned in
// positions 0..remaining, where a position never written holds its own index.
// Only overwritten positions are stored, so a picker over 2^40 values costs
// memory in proportion to the values drawn, not to n.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "expected.hpp"
#include "picker/rng.hpp"
#include "picker/u64_map.hpp"

namespace corvane::picker {

// A value handed to Picker::from_returned that lies outside 0..size.
struct FromReturnedError {
  std::uint64_t value = 0;
  std::uint64_t size = 0;

  // "returned value {value} is not in the range 0..{size}"
  std::string message() const;

  friend bool operator==(const FromReturnedError&, const FromReturnedError&) = default;
};

class Picker {
 public:
  // A picker over 0..size with nothing drawn yet.
  Picker(std::uint64_t size, Xoshiro256pp rng) noexcept
      : initial_size_(size), remaining_(size), rng_(rng), ahead_rng_(rng), ahead_remaining_(size) {}

  // A picker that yields exactly the values of 0..initial_size not in
  // `returned`, in an order drawn from `rng` (which is taken as is, not
  // advanced). Duplicates in `returned` count once. Fails on the first value,
  // in the order given, that is not below initial_size. Costs
  // O(|returned| log |returned|) time and O(|returned|) memory.
  static Expected<Picker, FromReturnedError> from_returned(std::uint64_t initial_size,
                                                           std::span<const std::uint64_t> returned, Xoshiro256pp rng);

  // The next value, or nullopt once all are drawn (which consumes no random
  // output). Throws only std::bad_alloc, and then changes nothing.
  std::optional<std::uint64_t> next();

  // Makes room for the entries of `draws` more draws (at most one each), so
  // that a bulk draw does not grow the map step by step. Throws only
  // std::bad_alloc, and then changes nothing.
  void reserve_draws(std::uint64_t draws) {
    swapped_.reserve(swapped_.size() + static_cast<std::size_t>(std::min(draws, remaining_)));
  }

  // Back to the whole of 0..initial_size, values excluded by from_returned
  // included. The generator carries on, so the new order differs from the
  // first one. The map keeps its storage.
  void reset() noexcept;

  std::uint64_t initial_size() const noexcept { return initial_size_; }
  std::uint64_t remaining() const noexcept { return remaining_; }

  // The stored positions (live ones and stale ones at or above remaining).
  const U64Map& swapped() const noexcept { return swapped_; }
  const Xoshiro256pp& rng() const noexcept { return rng_; }

 private:
  // How many draws ahead of rng_ the slots are prefetched. The two lookups
  // of a draw land on random cache lines of a table that soon outgrows the
  // cache; fetched this far ahead they arrive before they are needed.
  static constexpr std::uint64_t kLookahead = 8;

  // The value currently at live position `pos`.
  std::uint64_t value_at(std::uint64_t pos) const noexcept { return swapped_.get_or(pos, pos); }

  // Replays the coming draws on a copy of the generator (their positions
  // depend only on it and on remaining_) and prefetches the slots they will
  // look up. Never touches rng_, so the sequence is the same with or without.
  void look_ahead() noexcept;

  U64Map swapped_;
  std::uint64_t initial_size_;
  std::uint64_t remaining_;
  Xoshiro256pp rng_;
  // rng_ advanced by the draws for remaining_ down to ahead_remaining_ + 1,
  // whose slots have been prefetched.
  Xoshiro256pp ahead_rng_;
  std::uint64_t ahead_remaining_;
};

}  // namespace corvane::picker
