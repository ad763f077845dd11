// Majority vote on one bit of a value.
//
// A scheme names a protected bit (the source) and N target positions of the
// same value. Encoding copies the source into every target; decoding takes
// the majority of the source and its copies and writes it back into the
// source, leaving the copies as they are. N is even, so the N + 1 voters
// never tie: with two copies any single fault among the three bits is
// outvoted, and two faults win.
//
// encode/decode below are the reference for any N. The fixed schemes used
// for float32 and half-precision data and their whole-array kernels come
// at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>

#include "expected.hpp"
#include "memory/element.hpp"

namespace corvane::memory::encoding::majority {

using element::Value;

struct SchemeCreationError {
  enum class Kind : std::uint8_t { OddTargets, EmptyTargets, DuplicateIndex, IndexOutOfBounds };
  Kind kind;
  std::size_t position = 0;  // for DuplicateIndex and IndexOutOfBounds

  friend bool operator==(const SchemeCreationError&, const SchemeCreationError&) = default;
};

// "OddTargets", "EmptyTargets", "DuplicateIndex(1)", "IndexOutOfBounds(16)".
std::string debug_string(const SchemeCreationError& e);

// A scheme applied to a value type of another width.
struct InvalidSchemeError {
  std::size_t expected_length;  // the scheme's length
  std::size_t actual_length;    // the value type's width

  friend bool operator==(const InvalidSchemeError&, const InvalidSchemeError&) = default;
};

// "InvalidSchemeError { expected_length: 16, actual_length: 32 }".
std::string debug_string(const InvalidSchemeError& e);

inline std::ostream& operator<<(std::ostream& os, const SchemeCreationError& e) { return os << debug_string(e); }
inline std::ostream& operator<<(std::ostream& os, const InvalidSchemeError& e) { return os << debug_string(e); }

template <std::size_t N>
class Scheme {
 public:
  using Targets = std::array<std::size_t, N>;

  // Checks, stopping at the first failure: N is neither 0 nor odd; every
  // position (targets in order, then the source) is below `length`; no
  // position repeats an earlier one in that same order.
  static Expected<Scheme, SchemeCreationError> create(std::size_t length, std::size_t source, const Targets& targets) {
    using Kind = SchemeCreationError::Kind;
    if constexpr (N == 0) {
      return Unexpected{SchemeCreationError{Kind::EmptyTargets}};
    } else if constexpr (N % 2 != 0) {
      return Unexpected{SchemeCreationError{Kind::OddTargets}};
    } else {
      std::array<std::size_t, N + 1> positions{};
      for (std::size_t i = 0; i < N; ++i) positions[i] = targets[i];
      positions[N] = source;
      for (std::size_t p : positions) {
        if (p >= length) return Unexpected{SchemeCreationError{Kind::IndexOutOfBounds, p}};
      }
      for (std::size_t i = 1; i <= N; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
          if (positions[j] == positions[i]) {
            return Unexpected{SchemeCreationError{Kind::DuplicateIndex, positions[i]}};
          }
        }
      }
      return Scheme(targets, length, source);
    }
  }

  const Targets& targets() const noexcept { return targets_; }
  std::size_t length() const noexcept { return length_; }
  std::size_t source() const noexcept { return source_; }

 private:
  Scheme(const Targets& targets, std::size_t length, std::size_t source)
      : targets_(targets), length_(length), source_(source) {}

  Targets targets_;
  std::size_t length_;
  std::size_t source_;
};

namespace detail {

template <Value T, std::size_t N>
Expected<void, InvalidSchemeError> check_width(const Scheme<N>& scheme) {
  if (scheme.length() != element::width<T>) {
    return Unexpected{InvalidSchemeError{scheme.length(), element::width<T>}};
  }
  return {};
}

}  // namespace detail

// Writes the source bit into every target. On a width mismatch the value is
// left unchanged.
template <Value T, std::size_t N>
Expected<void, InvalidSchemeError> encode(T& value, const Scheme<N>& scheme) {
  if (auto ok = detail::check_width<T>(scheme); !ok) return ok;
  using B = element::Bits<T>;
  B bits = element::bits_of(value);
  const bool set = ((bits >> scheme.source()) & 1u) != 0;
  for (std::size_t t : scheme.targets()) {
    const B mask = static_cast<B>(B{1} << t);
    bits = static_cast<B>(set ? bits | mask : bits & static_cast<B>(~mask));
  }
  value = element::from_bits<T>(bits);
  return {};
}

// Sets the source bit to the majority of the source and the targets as
// passed in; the targets keep whatever they hold.
template <Value T, std::size_t N>
Expected<void, InvalidSchemeError> decode(T& value, const Scheme<N>& scheme) {
  if (auto ok = detail::check_width<T>(scheme); !ok) return ok;
  using B = element::Bits<T>;
  B bits = element::bits_of(value);
  std::size_t ones = (bits >> scheme.source()) & 1u;
  for (std::size_t t : scheme.targets()) ones += (bits >> t) & 1u;
  const B mask = static_cast<B>(B{1} << scheme.source());
  bits = static_cast<B>(ones > N + 1 - ones ? bits | mask : bits & static_cast<B>(~mask));
  value = element::from_bits<T>(bits);
  return {};
}

// ---- the fixed schemes ----
//
// Two copies of the most significant exponent bit in the two lowest bits:
// half precision (length 16, source 14, targets 0 and 1) and float32 (length
// 32, source 30, targets 0 and 1). Built on first use, by whichever thread
// needs one first, then read-only.

const Scheme<2>& f16_scheme();
const Scheme<2>& f32_scheme();

// The fixed scheme of T's width.
template <Value T>
const Scheme<2>& fixed_scheme();

// In-place whole-array kernels with the fixed scheme of T; float32 arrays are
// passed as their uint32 bit patterns. Branch-free and vectorised.
template <Value T>
void encode_all(std::span<element::Bits<T>> data);
template <Value T>
void decode_all(std::span<element::Bits<T>> data);

inline void encode_f32(std::span<std::uint32_t> data) { encode_all<float>(data); }
inline void decode_f32(std::span<std::uint32_t> data) { decode_all<float>(data); }
inline void encode_u16(std::span<std::uint16_t> data) { encode_all<std::uint16_t>(data); }
inline void decode_u16(std::span<std::uint16_t> data) { decode_all<std::uint16_t>(data); }

// The same kernels with a given two-copy scheme. They are only ever handed
// the fixed schemes, so a scheme whose length is not the element width is
// an internal error: "The scheme is known to be correct: <debug form>".
void encode_array(std::span<std::uint32_t> data, const Scheme<2>& scheme);
void decode_array(std::span<std::uint32_t> data, const Scheme<2>& scheme);
void encode_array(std::span<std::uint16_t> data, const Scheme<2>& scheme);
void decode_array(std::span<std::uint16_t> data, const Scheme<2>& scheme);

extern template void encode_all<float>(std::span<std::uint32_t>);
extern template void decode_all<float>(std::span<std::uint32_t>);
extern template void encode_all<std::uint16_t>(std::span<std::uint16_t>);
extern template void decode_all<std::uint16_t>(std::span<std::uint16_t>);

}  // namespace corvane::memory::encoding::majority
