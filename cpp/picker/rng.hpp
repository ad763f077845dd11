// The picker's random generator: xoshiro256++ seeded by SplitMix64 or by OS
// entropy, and the exact uniform draw in 0..k built on it.
//
// Every step here is fixed bit for bit: a seeded picker must yield the same
// sequence on every platform and in every release.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>

namespace corvane::picker {

// xoshiro256++ (Blackman and Vigna). The state is never all zero.
class Xoshiro256pp {
 public:
  using State = std::array<std::uint64_t, 4>;

  // The state of seed 0; also what an all-zero state is replaced by.
  static Xoshiro256pp expand_seed(std::uint64_t seed) noexcept;

  // Reads s0..s3 as little-endian words in byte order, whatever the host.
  static Xoshiro256pp from_bytes(std::span<const std::uint8_t, 32> bytes) noexcept;

  // 32 fresh bytes from the calling thread's entropy source (see
  // fill_thread_entropy). Throws InternalError "could not initialize
  // ThreadRng: ..." when the operating system gives none.
  static Xoshiro256pp from_rng();

  // An explicit state; an all-zero one becomes the state of seed 0.
  static Xoshiro256pp from_state(const State& state) noexcept;

  std::uint64_t next_u64() noexcept {
    const std::uint64_t result = std::rotl(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = std::rotl(s_[3], 45);
    return result;
  }

  // The upper half of one 64-bit output: the better-mixed bits.
  std::uint32_t next_u32() noexcept { return static_cast<std::uint32_t>(next_u64() >> 32); }

  const State& state() const noexcept { return s_; }

  friend bool operator==(const Xoshiro256pp&, const Xoshiro256pp&) = default;

 private:
  explicit Xoshiro256pp(const State& s) noexcept : s_(s) {}

  State s_;
};

// Fills `out` from the operating system's entropy source. Returns 0, or the
// errno of the failure.
using EntropySource = int (*)(std::span<std::uint8_t> out);

// The source behind from_rng: getrandom(2), read fresh for every generator.
// Reading the kernel's CSPRNG each time (rather than expanding a user-space
// one) keeps forked children and threads from ever sharing a stream.
int fill_thread_entropy(std::span<std::uint8_t> out) noexcept;

// from_rng with an explicit source, so the failure path can be exercised.
Xoshiro256pp from_entropy(EntropySource source);

namespace detail {

__extension__ typedef unsigned __int128 U128;

// One widening-multiply draw in 0..k with words of type Word and products of
// type Wide (twice as wide). k * u / 2^w is the integer part of a fraction
// whose low word is lo; a second word can only carry into it when lo is
// within k of 2^w, so only then is another output read.
template <class Word, class Wide, class Draw>
inline Word widening_range(Word k, Draw draw) noexcept {
  constexpr int kBits = 8 * sizeof(Word);
  const Wide m = static_cast<Wide>(draw()) * k;
  const Word hi = static_cast<Word>(m >> kBits);
  const Word lo = static_cast<Word>(m);
  if (lo <= static_cast<Word>(Word{0} - k)) return hi;  // 2^w - k, as k >= 1
  const Word hi2 = static_cast<Word>((static_cast<Wide>(draw()) * k) >> kBits);
  const Word sum = static_cast<Word>(lo + hi2);
  return sum < lo ? static_cast<Word>(hi + 1) : hi;  // lo + hi2 >= 2^w
}

[[noreturn]] void fail_empty_range();

}  // namespace detail

// A uniform value in 0..k (k >= 1; k == 0 is an InternalError).
//
// Lemire's widening multiply with one extra word to settle a possible carry,
// instead of rejection: never more than two outputs, and the bias left is
// below k / 2^(2w) for w-bit outputs. A second output is read only when the
// first lands within k of a word boundary, rare unless k is near 2^w. Ranges below
// 2^32 use 32-bit outputs, larger ones 64-bit outputs; the width depends only
// on k, so seeded sequences do not depend on the platform's word size.
inline std::uint64_t random_range(Xoshiro256pp& rng, std::uint64_t k) {
  if (k == 0) detail::fail_empty_range();
  if (k <= UINT32_MAX) {
    return detail::widening_range<std::uint32_t, std::uint64_t>(static_cast<std::uint32_t>(k),
                                                                [&] { return rng.next_u32(); });
  }
  return detail::widening_range<std::uint64_t, detail::U128>(k, [&] { return rng.next_u64(); });
}

}  // namespace corvane::picker
