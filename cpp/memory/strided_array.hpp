// Bit access to an n-dimensional strided array (the memory of a NumPy array,
// described without NumPy). Elements are numbered with the first axis
// varying fastest, whatever the memory layout; bit j of an element is the
// bit of weight 2^j of its unsigned pattern.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "internal_error.hpp"
#include "memory/element.hpp"
#include "memory/fault.hpp"

namespace corvane::memory::strided_array {

template <class U>
class StridedArray {
 public:
  static constexpr unsigned w = element::width<U>;
  static constexpr unsigned w_log2 = element::width_log2<U>;

  // shape and strides (in bytes, any sign, any value) have one entry per axis.
  StridedArray(std::byte* data, std::span<const std::int64_t> shape, std::span<const std::int64_t> strides)
      : data_(data), shape_(shape), strides_(strides) {}

  std::uint64_t element_count() const {
    std::uint64_t count = 1;
    for (auto d : shape_) count *= static_cast<std::uint64_t>(d);
    return count;
  }
  std::uint64_t bit_count() const { return element_count() * w; }

  // Byte offset of flat element e. Strides are honoured to the byte, so
  // arrays whose strides are not multiples of the element size (packed
  // record fields, views at odd offsets) address the right element.
  std::int64_t byte_offset(std::uint64_t e) const {
    std::int64_t offset = 0;
    for (std::size_t k = 0; k < shape_.size(); ++k) {
      const auto extent = static_cast<std::uint64_t>(shape_[k]);
      const std::uint64_t index = e % extent;
      e /= extent;
      offset += static_cast<std::int64_t>(index) * strides_[k];
    }
    return offset;
  }

  void apply_fault(FaultKind kind, std::uint64_t g) {
    std::byte* at = data_ + byte_offset(g >> w_log2);
    U value;
    std::memcpy(&value, at, sizeof(U));  // elements may be unaligned
    value = apply_fault_to_word(value, static_cast<unsigned>(g & (w - 1)), kind);
    std::memcpy(at, &value, sizeof(U));
  }

  bool is_1(std::uint64_t g) const {
    U value;
    std::memcpy(&value, data_ + byte_offset(g >> w_log2), sizeof(U));
    return (value >> (g & (w - 1))) & 1U;
  }
  void set_0(std::uint64_t g) { apply_fault(FaultKind::StuckAt0, g); }
  void set_1(std::uint64_t g) { apply_fault(FaultKind::StuckAt1, g); }
  void flip_bit(std::uint64_t g) { apply_fault(FaultKind::Flip, g); }

 private:
  std::byte* data_;
  std::span<const std::int64_t> shape_;
  std::span<const std::int64_t> strides_;
};

}  // namespace corvane::memory::strided_array
