// Embedded parity on one group of bits of one value.
//
// A group is N source bits and one destination bit of the same value.
// Encoding stores the even parity of the sources in the destination;
// decoding always clears the destination and, if the group's parity no
// longer matches, clears the sources too. The code detects an odd number of
// flips per group and corrects nothing: a damaged group reads back as zeros.
//
// This is the reference, group by group. The fixed layouts and the fast
// whole-array kernels built on it live in embedded_parity_layout.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "expected.hpp"
#include "memory/element.hpp"

namespace corvane::memory::encoding::embedded_parity {

using element::Value;

enum class SchemeError : std::uint8_t {
  NoSourceBits,
  SourceOutOfBounds,
  DestinationOutOfBounds,
  DestinationAmongSources,
};

constexpr std::string_view to_string(SchemeError e) noexcept {
  switch (e) {
    case SchemeError::NoSourceBits:
      return "0 source bits were specified";
    case SchemeError::SourceOutOfBounds:
      return "A source bit is out of bounds";
    case SchemeError::DestinationOutOfBounds:
      return "The destination bit is out of bounds";
    case SchemeError::DestinationAmongSources:
      return "The destination bit is among the source bits";
  }
  return "";
}

inline std::ostream& operator<<(std::ostream& os, SchemeError e) { return os << to_string(e); }

template <std::size_t N>
using Sources = std::array<std::size_t, N>;

// The first reason the group is invalid for T, checked in a fixed order: no
// sources; then each source in list order (equal to the destination, else
// out of range); then the destination's range. Repeated sources are allowed:
// they cancel in the parity.
template <Value T, std::size_t N>
constexpr std::optional<SchemeError> first_scheme_error(const Sources<N>& sources, std::size_t destination) noexcept {
  constexpr std::size_t width = element::width<T>;
  if (N == 0) return SchemeError::NoSourceBits;
  for (std::size_t s : sources) {
    if (s == destination) return SchemeError::DestinationAmongSources;
    if (s >= width) return SchemeError::SourceOutOfBounds;
  }
  if (destination >= width) return SchemeError::DestinationOutOfBounds;
  return std::nullopt;
}

template <Value T, std::size_t N>
Expected<void, SchemeError> validate_scheme(const Sources<N>& sources, std::size_t destination) {
  if (auto e = first_scheme_error<T>(sources, destination)) return Unexpected{*e};
  return {};
}

namespace detail {

template <Value T, std::size_t N>
constexpr unsigned parity_of(element::Bits<T> bits, const Sources<N>& sources) noexcept {
  unsigned p = 0;
  for (std::size_t s : sources) p ^= static_cast<unsigned>(bits >> s) & 1u;
  return p;
}

template <Value T>
constexpr element::Bits<T> clear_bit(element::Bits<T> bits, std::size_t pos) noexcept {
  using B = element::Bits<T>;
  return static_cast<B>(bits & static_cast<B>(~(B{1} << pos)));
}

}  // namespace detail

// Sets the destination bit to the parity of the sources; nothing else
// changes. On an invalid group the value is left untouched.
template <Value T, std::size_t N>
Expected<void, SchemeError> encode(const Sources<N>& sources, std::size_t destination, T& value) {
  if (auto e = first_scheme_error<T>(sources, destination)) return Unexpected{*e};
  using B = element::Bits<T>;
  const B bits = element::bits_of(value);
  const B parity = static_cast<B>(detail::parity_of<T>(bits, sources));
  value = element::from_bits<T>(static_cast<B>(detail::clear_bit<T>(bits, destination) | (parity << destination)));
  return {};
}

// Clears the destination bit and, if the group (sources and destination as
// passed in) has odd parity, every source bit. Nothing outside the group
// changes. Success says nothing about whether a mismatch was found.
template <Value T, std::size_t N>
Expected<void, SchemeError> decode(const Sources<N>& sources, std::size_t destination, T& value) {
  if (auto e = first_scheme_error<T>(sources, destination)) return Unexpected{*e};
  using B = element::Bits<T>;
  B bits = element::bits_of(value);
  const unsigned mismatch = detail::parity_of<T>(bits, sources) ^ (static_cast<unsigned>(bits >> destination) & 1u);
  bits = detail::clear_bit<T>(bits, destination);
  if (mismatch != 0) {
    for (std::size_t s : sources) bits = detail::clear_bit<T>(bits, s);
  }
  value = element::from_bits<T>(bits);
  return {};
}

}  // namespace corvane::memory::encoding::embedded_parity
