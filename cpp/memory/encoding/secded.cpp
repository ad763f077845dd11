#include "memory/encoding/secded.hpp"

#include <vector>

#include "internal_error.hpp"

namespace corvane::memory::encoding::secded {
namespace {

// Bit access shared by the two block kinds: a plain byte vector has every bit
// as data, a Limited only the bits below its limit.
struct ByteBits {
  std::span<std::uint8_t> bytes;
  std::uint64_t bit_count() const { return std::uint64_t{bytes.size()} * 8; }
  bool is_1(std::uint64_t i) const { return (bytes[i / 8] >> (i % 8)) & 1U; }
  void set(std::uint64_t i, bool one) {
    const auto m = static_cast<std::uint8_t>(1U << (i % 8));
    bytes[i / 8] = static_cast<std::uint8_t>(one ? bytes[i / 8] | m : bytes[i / 8] & ~m);
  }
};

struct ConstByteBits {
  std::span<const std::uint8_t> bytes;
  std::uint64_t bit_count() const { return std::uint64_t{bytes.size()} * 8; }
  bool is_1(std::uint64_t i) const { return (bytes[i / 8] >> (i % 8)) & 1U; }
};

// The next data position after p.
std::uint64_t next_data_position(std::uint64_t p) {
  do ++p;
  while (std::has_single_bit(p));
  return p;
}

// XOR of the positions of all 1 bits, and their number modulo 2.
struct Sums {
  std::uint64_t syndrome = 0;
  bool odd = false;
};

Sums sums_of(const Limited& codeword) {
  Sums s;
  for (std::uint64_t p = 0; p < codeword.limit(); ++p) {
    if (!codeword.is_1(p)) continue;
    s.syndrome ^= p;
    s.odd = !s.odd;
  }
  return s;
}

template <class Block>
std::optional<Limited> encode_bits(const Block& block) {
  const std::uint64_t d = block.bit_count();
  const auto n = encoded_bit_count(d);
  if (!n) return std::nullopt;
  auto made = Limited::create(std::vector<std::uint8_t>(static_cast<std::size_t>(*n / 8 + (*n % 8 != 0))), *n);
  if (!made) fail("cannot fail as long as the function above is correct");
  Limited codeword = std::move(*made);
  if (codeword.limit() != *n)
    fail("internal error: entered unreachable code: We created the buffer with the correct size");

  std::uint64_t p = 3;
  for (std::uint64_t k = 0; k < d; ++k, p = next_data_position(p)) codeword.set(p, block.is_1(k));

  const Sums data = sums_of(codeword);
  const unsigned r = check_bit_count(d);
  for (unsigned k = 0; k < r; ++k) {
    if ((data.syndrome >> k) & 1U) codeword.set_1(std::uint64_t{1} << k);
  }
  if (sums_of(codeword).odd) codeword.set_1(0);
  return codeword;
}

template <class Destination>
Expected<bool, DecodeError> decode_bits(Limited& codeword, Destination& destination) {
  const std::uint64_t n = codeword.limit();
  const Sums s = sums_of(codeword);
  bool flag = false;
  if (s.syndrome == 0) {
    flag = !s.odd;  // an odd count alone means position 0 or 3+ errors: not corrected
  } else if (s.odd && s.syndrome < n) {
    codeword.flip_bit(s.syndrome);
    flag = true;
  }

  const std::uint64_t d = destination.bit_count();
  if (d == 0) return Unexpected(DecodeError::empty_destination());
  const auto m = encoded_bit_count(d);
  if (!m || *m != n) return Unexpected(DecodeError::length_mismatch(m.value_or(0), n));

  std::uint64_t p = 3;
  for (std::uint64_t k = 0; k < d; ++k, p = next_data_position(p)) destination.set(k, codeword.is_1(p));
  return flag;
}

}  // namespace

std::string DecodeError::message() const {
  if (kind_ == Kind::EmptyDestination) return "the destination buffer cannot be empty";
  return "the encoded buffer should have " + std::to_string(expected_) + " bits based on the destination, got " +
         std::to_string(actual_);
}

std::optional<Limited> encode(std::span<const std::uint8_t> block) { return encode_bits(ConstByteBits{block}); }

std::optional<Limited> encode(const Limited& block) { return encode_bits(block); }

Expected<bool, DecodeError> decode_into(Limited& codeword, std::span<std::uint8_t> destination) {
  ByteBits bits{destination};
  return decode_bits(codeword, bits);
}

Expected<bool, DecodeError> decode_into(Limited& codeword, Limited& destination) {
  return decode_bits(codeword, destination);
}

}  // namespace corvane::memory::encoding::secded
