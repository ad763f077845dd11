// Bit access: bit g of a buffer is bit g mod 8 of byte g div 8; for a run of
// w-bit elements, bit g mod w of element g div w (least significant first).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "internal_error.hpp"
#include "memory/element.hpp"
#include "memory/fault.hpp"

namespace corvane::memory::bit_buffer {

namespace result {
// The index lies past the end of the buffer.
struct OutOfBoundsError {
  static constexpr const char* debug = "OutOfBoundsError";
};
}  // namespace result

template <class B>
concept BitBuffer = requires(B& b, std::uint64_t g) {
  { b.is_1(g) } -> std::convertible_to<bool>;
  b.set_0(g);
  b.set_1(g);
  b.flip_bit(g);
};

// Applies one fault kind through the BitBuffer operations.
template <BitBuffer B>
void apply_fault(B& buffer, FaultKind kind, std::uint64_t g) {
  switch (kind) {
    case FaultKind::StuckAt0:
      buffer.set_0(g);
      return;
    case FaultKind::StuckAt1:
      buffer.set_1(g);
      return;
    case FaultKind::Flip:
      buffer.flip_bit(g);
      return;
  }
}

// Bit access to a run of elements held in a vector.
template <class T>
class VectorBits {
 public:
  using U = element::Bits<T>;
  static constexpr unsigned w = element::width<T>;

  explicit VectorBits(std::vector<T>& items) : items_(&items) {}

  std::uint64_t bit_count() const { return std::uint64_t{items_->size()} * w; }
  bool is_1(std::uint64_t g) const { return (bits(g) >> (g % w)) & 1U; }
  void set_0(std::uint64_t g) { store(g, FaultKind::StuckAt0); }
  void set_1(std::uint64_t g) { store(g, FaultKind::StuckAt1); }
  void flip_bit(std::uint64_t g) { store(g, FaultKind::Flip); }

 private:
  std::size_t item(std::uint64_t g) const {
    const std::uint64_t e = g / w;
    if (e >= items_->size()) fail(std::to_string(g) + " is out of bounds");
    return static_cast<std::size_t>(e);
  }
  U bits(std::uint64_t g) const { return element::bits_of((*items_)[item(g)]); }
  void store(std::uint64_t g, FaultKind kind) {
    T& slot = (*items_)[item(g)];
    slot = element::from_bits<T>(apply_fault_to_word(element::bits_of(slot), static_cast<unsigned>(g % w), kind));
  }

  std::vector<T>* items_;
};

}  // namespace corvane::memory::bit_buffer
