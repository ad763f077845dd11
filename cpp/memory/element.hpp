// Element traits: every element type is handled through its unsigned bit
// pattern of the same width (a float32 as its IEEE-754 pattern).
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <type_traits>

namespace corvane::memory::element {

template <class T>
struct Traits;

template <>
struct Traits<float> {
  using Bits = std::uint32_t;
};
template <>
struct Traits<std::uint32_t> {
  using Bits = std::uint32_t;
};
template <>
struct Traits<std::int32_t> {
  using Bits = std::uint32_t;
};
template <>
struct Traits<std::uint64_t> {
  using Bits = std::uint64_t;
};
template <>
struct Traits<std::uint16_t> {
  using Bits = std::uint16_t;
};
template <>
struct Traits<std::uint8_t> {
  using Bits = std::uint8_t;
};

template <class T>
using Bits = typename Traits<T>::Bits;

// The value types the protective encodings work on: float32 weights and
// 16-bit patterns. A float32 is handled through its bit pattern, never as a
// number, so every NaN payload, infinity and subnormal passes through
// unchanged except for coded bits.
template <class T>
concept Value = std::same_as<T, float> || std::same_as<T, std::uint16_t>;

// Width in bits, and log2 of it (3, 4 or 5).
template <class T>
inline constexpr unsigned width = 8 * sizeof(T);
template <class T>
inline constexpr unsigned width_log2 = std::countr_zero(width<T>);

template <class T>
constexpr Bits<T> bits_of(T value) noexcept {
  return std::bit_cast<Bits<T>>(value);
}

template <class T>
constexpr T from_bits(Bits<T> bits) noexcept {
  return std::bit_cast<T>(bits);
}

}  // namespace corvane::memory::element
