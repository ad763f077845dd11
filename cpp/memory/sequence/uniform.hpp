// A sequence of equally long items addressed as one bit buffer: bit g is bit
// g % L of item g / L, L being the common item length in bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "expected.hpp"
#include "internal_error.hpp"

namespace corvane::memory::sequence::uniform {

// The item at `index` has a different length than item 0.
struct NonMatchingItemError {
  std::size_t index;

  std::string message() const {
    return "item at index " + std::to_string(index) + " has a different length than the rest of the sequence";
  }
  bool operator==(const NonMatchingItemError&) const = default;
};

// Items must offer bit_count() and the bit operations is_1, set_0, set_1, flip_bit.
template <class Item>
class UniformSequence {
 public:
  UniformSequence() = default;

  // The item length is taken from item 0 (0 for no items); the first later
  // item of another length is reported.
  static Expected<UniformSequence, NonMatchingItemError> create(std::vector<Item> items) {
    const std::uint64_t length = items.empty() ? 0 : items.front().bit_count();
    for (std::size_t i = 1; i < items.size(); ++i) {
      if (items[i].bit_count() != length) return Unexpected(NonMatchingItemError{i});
    }
    return UniformSequence(std::move(items), length);
  }

  const std::vector<Item>& items() const noexcept { return items_; }
  std::vector<Item> into_items() && noexcept { return std::move(items_); }
  std::uint64_t item_bits() const noexcept { return item_bits_; }
  std::size_t item_count() const noexcept { return items_.size(); }
  std::uint64_t bit_count() const noexcept { return item_bits_ * items_.size(); }

  bool is_1(std::uint64_t g) const {
    const auto [item, bit] = locate(g);
    return items_[item].is_1(bit);
  }
  void set_0(std::uint64_t g) {
    at(g, [](Item& it, std::uint64_t b) { it.set_0(b); });
  }
  void set_1(std::uint64_t g) {
    at(g, [](Item& it, std::uint64_t b) { it.set_1(b); });
  }
  void flip_bit(std::uint64_t g) {
    at(g, [](Item& it, std::uint64_t b) { it.flip_bit(b); });
  }

 private:
  UniformSequence(std::vector<Item> items, std::uint64_t item_bits) : items_(std::move(items)), item_bits_(item_bits) {}

  std::pair<std::size_t, std::uint64_t> locate(std::uint64_t g) const {
    if (item_bits_ == 0) fail("attempt to divide by zero");
    const std::uint64_t item = g / item_bits_;
    if (item >= items_.size()) {
      fail("index out of bounds: the len is " + std::to_string(items_.size()) + " but the index is " +
           std::to_string(item));
    }
    return {static_cast<std::size_t>(item), g % item_bits_};
  }

  template <class Op>
  void at(std::uint64_t g, Op op) {
    const auto [item, bit] = locate(g);
    op(items_[item], bit);
  }

  std::vector<Item> items_;
  std::uint64_t item_bits_ = 0;
};

}  // namespace corvane::memory::sequence::uniform
