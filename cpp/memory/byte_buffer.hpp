// Byte access to values and vectors of elements, little-endian whatever the
// host: byte k of a value is bits 8k..8k+7 of its integer form.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "internal_error.hpp"
#include "memory/element.hpp"

namespace corvane::memory::byte_buffer {

template <class B>
concept ByteBuffer = requires(const B& b, std::size_t i) {
  { b.byte_count() } -> std::convertible_to<std::size_t>;
  { b.get_byte(i) } -> std::convertible_to<std::uint8_t>;
};

// Byte k of one value of element type T.
template <class T>
std::uint8_t value_byte(T value, std::size_t k) {
  constexpr std::size_t size = sizeof(T);
  if (k >= size) {
    fail("buffer has " + std::to_string(size) + " bytes, got index " + std::to_string(k));
  }
  return static_cast<std::uint8_t>(element::bits_of(value) >> (8 * k));
}

// A vector of elements seen as one byte buffer.
template <class T>
class VectorBytes {
 public:
  explicit VectorBytes(std::vector<T>& items) : items_(&items) {}

  std::size_t byte_count() const { return items_->size() * sizeof(T); }

  std::uint8_t get_byte(std::size_t b) const {
    const std::size_t item = b / sizeof(T), in_item = b % sizeof(T);
    if (item >= items_->size()) {
      fail("out of bounds, child_byte_count: " + std::to_string(sizeof(T)) + ", item_index: " + std::to_string(item) +
           ", index_in_item: " + std::to_string(in_item));
    }
    return value_byte((*items_)[item], in_item);
  }

  void set_byte(std::size_t b, std::uint8_t v) {
    const std::size_t item = b / sizeof(T), in_item = b % sizeof(T);
    if (item >= items_->size()) fail(std::to_string(b) + " is out of bounds");
    using U = element::Bits<T>;
    U bits = element::bits_of((*items_)[item]);
    const unsigned shift = static_cast<unsigned>(8 * in_item);
    bits = static_cast<U>((bits & ~static_cast<U>(U{0xFF} << shift)) | static_cast<U>(U{v} << shift));
    (*items_)[item] = element::from_bits<T>(bits);
  }

 private:
  std::vector<T>* items_;
};

}  // namespace corvane::memory::byte_buffer
