// A list of buffers of differing sizes addressed as one bit space: item k
// covers global bits start(k) .. start(k) + bits(k) - 1, in list order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "expected.hpp"
#include "internal_error.hpp"
#include "memory/bit_buffer.hpp"
#include "memory/fault.hpp"

namespace corvane::memory::sequence::non_uniform {

using bit_buffer::result::OutOfBoundsError;

// Where a global index lands: the item and the index within it.
struct Location {
  std::size_t item;
  std::uint64_t index;
};

// The largest k with offsets[k] <= g, by binary search over the offsets
// table; never an empty item when g < total.
inline Location locate_in(std::span<const std::uint64_t> offsets, std::uint64_t g) {
  if (offsets.empty()) fail("offsets always has at least one element");
  if (g >= offsets.back()) fail("out of bounds");
  std::size_t base = 0, size = offsets.size();
  while (size > 1) {
    const std::size_t half = size / 2, mid = base + half;
    if (offsets[mid] <= g) base = mid;
    size -= half;
  }
  return Location{base, g - offsets[base]};
}

// Items must offer bit_count() and the BitBuffer operations.
template <class Item>
class NonUniformSequence {
 public:
  explicit NonUniformSequence(std::span<Item> items) : items_(items) {}

  std::uint64_t bit_count() const {
    std::uint64_t total = 0;
    for (const auto& item : items_) total += item.bit_count();
    return total;
  }

  // Walks the items in order; empty items are passed over.
  Expected<Location, OutOfBoundsError> locate(std::uint64_t g) const {
    std::uint64_t start = 0;
    for (std::size_t k = 0; k < items_.size(); ++k) {
      const std::uint64_t end = start + items_[k].bit_count();
      if (g < end) return Location{k, g - start};
      start = end;
    }
    return Unexpected(OutOfBoundsError{});
  }

  // offsets[k] = start(k) for k = 0 .. item count; the last is the total.
  std::vector<std::uint64_t> offsets() const {
    std::vector<std::uint64_t> table;
    table.reserve(items_.size() + 1);
    table.push_back(0);
    for (const auto& item : items_) table.push_back(table.back() + item.bit_count());
    return table;
  }

  void apply_fault(FaultKind kind, std::uint64_t g) {
    auto at = locate(g);
    if (!at) fail(std::string("out of bounds: ") + OutOfBoundsError::debug);
    bit_buffer::apply_fault(items_[at->item], kind, at->index);
  }

  // Applies the faults in list order (later ones see earlier ones), placing
  // each by binary search over one offsets table.
  void apply_faults(std::span<const FaultAt> faults) {
    const auto table = offsets();
    for (const auto& f : faults) {
      const Location at = locate_in(table, f.bit);
      bit_buffer::apply_fault(items_[at.item], f.kind, at.index);
    }
  }

 private:
  std::span<Item> items_;
};

}  // namespace corvane::memory::sequence::non_uniform
