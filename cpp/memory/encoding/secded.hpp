// Extended Hamming code (single-error-correcting, double-error-detecting) on
// one block of bits. This is the literal, bit-by-bit form of the code; the
// encoded image of secded_image.hpp is the fast form and is tested against it.
//
// Codeword layout for d data bits, n = d + r + 1 positions:
//   position 0          overall parity (the codeword holds an even number of 1s)
//   position 2^k        Hamming check bit k, k = 0 .. r-1
//   every other p >= 3  the data bits in order: data bit 0 at 3, 1 at 5, 2 at 6, ...
// Check bit k is set so that the XOR of the positions of all 1 bits is zero.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "expected.hpp"
#include "memory/limited.hpp"

namespace corvane::memory::encoding::secded {

using limited::Limited;

// The number of Hamming check bits r for d >= 1 data bits: the smallest r >= 2
// with 2^r - r - 1 >= d. Computed in 64-bit arithmetic, so it is right for
// every block a machine can hold (r <= 65).
constexpr unsigned check_bit_count(std::uint64_t d) noexcept {
  unsigned r = 2;
  // For r < 64, 2^r - r - 1 is exact; 2^64 - 65 is the largest capacity below 2^64.
  while (r < 64 && (std::uint64_t{1} << r) - r - 1 < d) ++r;
  if (r == 64 && ~std::uint64_t{0} - 64 < d) ++r;
  return r;
}

// The codeword length n = d + r + 1 for d data bits; nothing for d = 0 or when
// n would not fit in 64 bits.
constexpr std::optional<std::uint64_t> encoded_bit_count(std::uint64_t d) noexcept {
  if (d == 0) return std::nullopt;
  const std::uint64_t extra = check_bit_count(d) + 1;
  if (d > ~std::uint64_t{0} - extra) return std::nullopt;
  return d + extra;
}

// Data positions are those from 3 up that are not powers of two.
constexpr bool is_data_position(std::uint64_t p) noexcept { return p >= 3 && !std::has_single_bit(p); }

// Data bit j sits at p = j + floor(log2 p) + 2. Starting from q = j + 2, one
// refinement of the logarithm suffices: p stays below twice q.
constexpr std::uint64_t data_position(std::uint64_t j) noexcept {
  const std::uint64_t q = j + 2;
  const unsigned k0 = static_cast<unsigned>(std::bit_width(q)) - 1;
  return q + static_cast<unsigned>(std::bit_width(q + k0)) - 1;
}

// Inverse of data_position for a data position p: p - floor(log2 p) - 2.
constexpr std::uint64_t data_index(std::uint64_t p) noexcept { return p - std::bit_width(p) - 1; }

class DecodeError {
 public:
  enum class Kind : std::uint8_t { EmptyDestination, LengthMismatch };

  static DecodeError empty_destination() noexcept { return DecodeError(Kind::EmptyDestination, 0, 0); }
  static DecodeError length_mismatch(std::uint64_t expected, std::uint64_t actual) noexcept {
    return DecodeError(Kind::LengthMismatch, expected, actual);
  }

  Kind kind() const noexcept { return kind_; }
  // The codeword length the destination calls for, and the codeword's limit.
  std::uint64_t expected() const noexcept { return expected_; }
  std::uint64_t actual() const noexcept { return actual_; }

  // The display text.
  std::string message() const;

  bool operator==(const DecodeError&) const = default;

 private:
  DecodeError(Kind kind, std::uint64_t expected, std::uint64_t actual) noexcept
      : kind_(kind), expected_(expected), actual_(actual) {}

  Kind kind_;
  std::uint64_t expected_;
  std::uint64_t actual_;
};

// Encodes every bit of `block` (d = 8 * size); nothing when the block is empty.
std::optional<Limited> encode(std::span<const std::uint8_t> block);
// Encodes the first limit bits of `block`; nothing when the limit is 0.
std::optional<Limited> encode(const Limited& block);

// Corrects `codeword` in place when it holds one correctable error, then writes
// its data bits into `destination`, which must already have its final size.
// The flag is true for a clean or corrected codeword, false for a detected
// error that was not corrected (the data are then written as stored).
Expected<bool, DecodeError> decode_into(Limited& codeword, std::span<std::uint8_t> destination);
Expected<bool, DecodeError> decode_into(Limited& codeword, Limited& destination);

}  // namespace corvane::memory::encoding::secded
