// A byte vector with a bit limit: the container of SEC-DED chunks and codewords.
//
// Bits 0 .. limit-1 are addressable, bit i being bit i % 8 of byte i / 8
// (least significant first). Bits at or past the limit are never read or
// written through this interface and are zero in everything the module creates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvane::memory::limited {

class Limited {
 public:
  Limited() = default;

  // Fails when the limit exceeds the bits the bytes can hold.
  static std::optional<Limited> create(std::vector<std::uint8_t> bytes, std::uint64_t limit);

  // ceil(limit / 8) zero bytes with the given limit.
  static Limited zeros(std::uint64_t limit);

  std::uint64_t limit() const noexcept { return limit_; }
  std::uint64_t bit_count() const noexcept { return limit_; }

  std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }
  // The bytes may be rewritten in place; their number cannot change.
  std::span<std::uint8_t> mutable_bytes() noexcept { return bytes_; }
  std::vector<std::uint8_t> into_bytes() && noexcept { return std::move(bytes_); }

  bool is_1(std::uint64_t i) const { return (bytes_[checked(i)] >> (i % 8)) & 1U; }
  void set_0(std::uint64_t i) { bytes_[checked(i)] &= static_cast<std::uint8_t>(~mask(i)); }
  void set_1(std::uint64_t i) { bytes_[checked(i)] |= mask(i); }
  void flip_bit(std::uint64_t i) { bytes_[checked(i)] ^= mask(i); }
  void set(std::uint64_t i, bool one) { one ? set_1(i) : set_0(i); }

  bool operator==(const Limited&) const = default;

 private:
  Limited(std::vector<std::uint8_t> bytes, std::uint64_t limit) : bytes_(std::move(bytes)), limit_(limit) {}

  static std::uint8_t mask(std::uint64_t i) noexcept { return static_cast<std::uint8_t>(1U << (i % 8)); }
  std::size_t checked(std::uint64_t i) const {
    if (i >= limit_) out_of_bounds(i);
    return static_cast<std::size_t>(i / 8);
  }
  [[noreturn]] static void out_of_bounds(std::uint64_t i);

  std::vector<std::uint8_t> bytes_;
  std::uint64_t limit_ = 0;
};

}  // namespace corvane::memory::limited
