// A fixed-size open-addressing map from uint32_t to uint32_t, for bulk draws.
//
// A bulk draw of k values knows k before it starts, and over fewer than 2^32
// values its positions fit in 32 bits. So the table is sized once for k
// entries at a load of at most 3/4, with any number of slots (the home slot
// comes from a multiply-shift, not a mask): 8 bytes a slot and about 11 bytes
// an entry, where U64Map's power-of-two table at a load of at most 1/2 takes
// 32 to 64. Lookups that miss, most of a draw's, stop at the first empty
// slot: a few probes in one cache line at this load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "picker/table_allocator.hpp"

namespace corvane::picker {

class U32Map {
 public:
  // The largest key and value it holds: one below the empty marker.
  static constexpr std::uint64_t kMaxKey = 0xFFFFFFFEu;

  // A table for up to `entries` entries, all keys and values at most kMaxKey.
  explicit U32Map(std::size_t entries) : slots_(slot_count(entries), Slot{}) {}

  std::size_t memory_bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

  std::uint32_t get_or(std::uint32_t key, std::uint32_t fallback) const noexcept {
    for (std::size_t i = home(key);; i = next(i)) {
      const Slot& s = slots_[i];
      if (s.key == key) return s.value;
      if (s.key == kEmpty) return fallback;
    }
  }

  [[gnu::always_inline]] inline void prefetch(std::uint32_t key) const noexcept {
    __builtin_prefetch(slots_.data() + home(key));
  }

  // Inserts or overwrites; the caller never holds more entries than the table was made for.
  void insert_or_assign(std::uint32_t key, std::uint32_t value) noexcept {
    for (std::size_t i = home(key);; i = next(i)) {
      Slot& s = slots_[i];
      if (s.key == key || s.key == kEmpty) {
        s = Slot{key, value};
        return;
      }
    }
  }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  struct Slot {
    std::uint32_t key = kEmpty;
    std::uint32_t value = 0;
  };

  static std::size_t slot_count(std::size_t entries) {
    if (entries > (static_cast<std::size_t>(-1) / sizeof(Slot)) / 2) throw std::bad_alloc();
    return entries + entries / 3 + 16;  // load at most 3/4, and never full
  }

  // Fibonacci hashing to 32 bits, scaled onto the slots.
  std::size_t home(std::uint32_t key) const noexcept {
    const std::uint64_t h = (static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15u) >> 32;
    return static_cast<std::size_t>((h * slots_.size()) >> 32);
  }
  std::size_t next(std::size_t i) const noexcept { return i + 1 == slots_.size() ? 0 : i + 1; }

  std::vector<Slot, TableAllocator<Slot>> slots_;
};

}  // namespace corvane::picker
