// A flat open-addressing map from uint64_t to uint64_t.
//
// The picker inserts one entry per draw into a table that can reach millions
// of entries, and looks up two random keys per draw. A node-based map would
// cost an allocation and a pointer chase per entry; here a lookup is a hash,
// one cache line and usually no second probe.
//
// Layout: a power-of-two array of (key, value) slots with linear probing. An
// empty slot holds the key kEmpty; the one real key equal to kEmpty lives in
// a side slot. The load factor stays at most 1/2, so the table never takes
// more than 64 bytes per entry (32 on average) and misses stop early. There
// is no erase: the picker only ever clears the whole map.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "picker/table_allocator.hpp"

namespace corvane::picker {

class U64Map {
 public:
  U64Map() = default;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Number of slots in the table (0 until the first insertion).
  std::size_t capacity() const noexcept { return slots_.size(); }

  // Heap bytes held by the table.
  std::size_t memory_bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

  // The value of `key`, or `fallback` when it has none.
  std::uint64_t get_or(std::uint64_t key, std::uint64_t fallback) const noexcept {
    if (key == kEmpty) return has_empty_key_ ? empty_key_value_ : fallback;
    if (slots_.empty()) return fallback;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.key == key) return s.value;
      if (s.key == kEmpty) return fallback;
    }
  }

  // Starts loading the cache line where a lookup of `key` begins. Forced
  // inline: GCC judges a function holding only a prefetch free of effects
  // and drops calls to it.
  [[gnu::always_inline]] inline void prefetch(std::uint64_t key) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(slots_.data() + home(key));
  }

  bool contains(std::uint64_t key) const noexcept {
    if (key == kEmpty) return has_empty_key_;
    if (slots_.empty()) return false;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return true;
      if (slots_[i].key == kEmpty) return false;
    }
  }

  // Inserts or overwrites. May grow the table (std::bad_alloc leaves the map
  // unchanged); after reserve(size() + 1) it does not allocate.
  void insert_or_assign(std::uint64_t key, std::uint64_t value) {
    if (key == kEmpty) {
      size_ += has_empty_key_ ? 0 : 1;
      has_empty_key_ = true;
      empty_key_value_ = value;
      return;
    }
    reserve(size_ + 1);
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) {
        s.value = value;
        return;
      }
      if (s.key == kEmpty) {
        s = Slot{key, value};
        ++size_;
        return;
      }
    }
  }

  // Makes room for `n` entries in total without further allocation.
  void reserve(std::size_t n) {
    if (n <= max_entries()) return;
    if (n > kMaxSlots / 2) throw std::bad_alloc();
    std::size_t slots = std::max<std::size_t>(slots_.size(), kMinSlots);
    while (slots / 2 < n) slots *= 2;
    rehash(slots);
  }

  // Removes every entry and keeps the table for reuse.
  void clear() noexcept {
    std::fill(slots_.begin(), slots_.end(), Slot{});
    size_ = 0;
    has_empty_key_ = false;
  }

  // Calls f(key, value) for every entry, in no particular order.
  template <class F>
  void for_each(F&& f) const {
    if (has_empty_key_) f(kEmpty, empty_key_value_);
    for (const Slot& s : slots_) {
      if (s.key != kEmpty) f(s.key, s.value);
    }
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static constexpr std::size_t kMinSlots = 16;
  static constexpr std::size_t kMaxSlots = std::size_t{1} << (8 * sizeof(std::size_t) - 5);

  struct Slot {
    std::uint64_t key = kEmpty;
    std::uint64_t value = 0;
  };
  using Table = std::vector<Slot, TableAllocator<Slot>>;

  // Fibonacci hashing: the top bits of key * 2^64/phi. Folding the high half
  // in first keeps keys that differ only above the table's bits apart.
  static std::size_t hash(std::uint64_t key, int shift) noexcept {
    return static_cast<std::size_t>(((key ^ (key >> 32)) * 0x9E3779B97F4A7C15) >> shift);
  }
  std::size_t home(std::uint64_t key) const noexcept { return hash(key, shift_); }

  // Slot entries that fit under the load limit (the side slot does not count,
  // but always fits).
  std::size_t max_entries() const noexcept { return slots_.size() / 2; }

  void rehash(std::size_t slot_count) {
    Table fresh(slot_count);  // the only step that can throw
    const std::size_t mask = slot_count - 1;
    const int shift = 64 - std::countr_zero(slot_count);
    for (const Slot& s : slots_) {
      if (s.key == kEmpty) continue;
      std::size_t i = hash(s.key, shift);
      while (fresh[i].key != kEmpty) i = (i + 1) & mask;
      fresh[i] = s;
    }
    slots_.swap(fresh);
    mask_ = mask;
    shift_ = shift;
  }

  Table slots_;
  std::size_t mask_ = 0;
  int shift_ = 64;
  std::size_t size_ = 0;  // including the side slot
  bool has_empty_key_ = false;
  std::uint64_t empty_key_value_ = 0;
};

}  // namespace corvane::picker
