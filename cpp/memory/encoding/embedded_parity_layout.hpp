// The fixed embedded-parity layouts D3P1, D7P1, D15P1 and their array kernels.
//
// Scheme<N, M> fills a W = M * (N + 1) bit value with M disjoint groups of N
// data bits each: the parity bits are the M lowest bits, and parity bit d
// guards bits M + N*d .. M + N*d + N - 1. Groups are processed highest parity
// bit first, so group g has destination M-1-g and sources W-1-N*g-k, k < N.
//
// Two implementations with identical results:
//  - encode/decode on one value, group by group through embedded_parity.hpp
//    (the reference);
//  - encode_word/decode_word, straight-line shift-and-mask code that handles
//    all groups at once, and the whole-array kernels built from it.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "internal_error.hpp"
#include "memory/element.hpp"
#include "memory/encoding/embedded_parity.hpp"

namespace corvane::memory::encoding::embedded_parity {

// The three layouts; the value is the index the bindings select with.
enum class Member : int { D3P1 = 0, D7P1 = 1, D15P1 = 2 };

constexpr std::size_t data_bits(Member m) noexcept {
  switch (m) {
    case Member::D3P1:
      return 3;
    case Member::D7P1:
      return 7;
    case Member::D15P1:
      return 15;
  }
  return 0;
}

namespace detail {

// "[31, 30, 29] -> 7", the form used in the invalid-group message.
template <std::size_t N>
std::string describe_group(const Sources<N>& sources, std::size_t destination) {
  std::string text = "[";
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(sources[i]);
  }
  return text + "] -> " + std::to_string(destination);
}

[[noreturn]] inline void fail_invalid_group(const std::string& group, SchemeError e) {
  fail("Expected " + group + " to be a valid scheme, got error: " + std::string(to_string(e)));
}

template <class W>
constexpr W shl(W x, std::size_t s) noexcept {
  return static_cast<W>(x << s);
}
template <class W>
constexpr W shr(W x, std::size_t s) noexcept {
  return static_cast<W>(x >> s);
}

// Bit i of the result is the XOR of bits i-n+1 .. i of v (bits below 0 read
// as 0): the parity of an n-bit window ending at i, for every i at once.
template <std::size_t n, class W>
constexpr W window_xor(W v) noexcept {
  if constexpr (n == 1) {
    return v;
  } else if constexpr (n > 3 && std::has_single_bit(n + 1)) {
    // 2^k - 1 bits: the 2^k window by doubling, minus its lowest bit.
    return static_cast<W>(window_xor<n + 1>(v) ^ shl(v, n));
  } else if constexpr (n % 2 == 0) {
    const W half = window_xor<n / 2>(v);
    return static_cast<W>(half ^ shl(half, n / 2));
  } else {
    return static_cast<W>(window_xor<n - 1>(v) ^ shl(v, n - 1));
  }
}

}  // namespace detail

template <std::size_t N, std::size_t M>
struct Scheme {
  static_assert(N >= 1 && std::has_single_bit(M), "layouts use power-of-two group counts");
  static constexpr std::size_t kDataBits = N;
  static constexpr std::size_t kGroups = M;
  static constexpr std::size_t kWidth = M * (N + 1);
  static_assert(kWidth == 16 || kWidth == 32);

  // The unsigned word the layout fills: uint32 for float32, uint16.
  using Word = std::conditional_t<kWidth == 32, std::uint32_t, std::uint16_t>;

  static constexpr std::size_t destination(std::size_t g) noexcept { return M - 1 - g; }

  // Group g's sources, highest bit first.
  static constexpr Sources<N> sources(std::size_t g) noexcept {
    Sources<N> s{};
    for (std::size_t k = 0; k < N; ++k) s[k] = kWidth - 1 - N * g - k;
    return s;
  }

  static constexpr Word kParityMask = static_cast<Word>((Word{1} << M) - 1);
  static constexpr Word kDataMask = static_cast<Word>(~kParityMask);

  static constexpr Word source_mask(std::size_t g) noexcept {
    Word mask = 0;
    for (std::size_t s : sources(g)) mask = static_cast<Word>(mask | (Word{1} << s));
    return mask;
  }

  // ---- reference: group by group ----

  template <Value T>
  static void encode(T& value) {
    apply<T>(value, [](const Sources<N>& s, std::size_t d, T& v) { return embedded_parity::encode(s, d, v); });
  }

  template <Value T>
  static void decode(T& value) {
    apply<T>(value, [](const Sources<N>& s, std::size_t d, T& v) { return embedded_parity::decode(s, d, v); });
  }

  // ---- fast: all groups at once ----

  static constexpr Word encode_word(Word v) noexcept {
    static_assert(moves_are_exact());
    return static_cast<Word>((v & kDataMask) | gather_parities(group_parities(v)));
  }

  static constexpr Word decode_word(Word v) noexcept {
    static_assert(moves_are_exact());
    using detail::shl, detail::shr;
    // Mismatch flags at each group's top bit, then widened to the whole group:
    // (m << 1) - (m >> (N-1)) sets bits bottom..top of every flagged group
    // (modulo 2^W, which also covers the group ending at bit W-1).
    const Word m = static_cast<Word>((group_parities(v) ^ spread_parities(v)) & top_bits());
    const Word damaged = static_cast<Word>(shl(m, 1) - shr(m, N - 1));
    return static_cast<Word>(v & kDataMask & ~damaged);
  }

 private:
  template <Value T, class Op>
  static void apply(T& value, Op op) {
    static_assert(element::width<T> == 16 || element::width<T> == 32);
    for (std::size_t g = 0; g < M; ++g) {
      const auto result = op(sources(g), destination(g), value);
      if (!result) fail_group(g, result.error());
    }
  }

  [[noreturn]] static void fail_group(std::size_t g, SchemeError e) {
    detail::fail_invalid_group(detail::describe_group(sources(g), destination(g)), e);
  }

  // Top (highest) source bit of the group with parity bit d.
  static constexpr std::size_t top(std::size_t d) noexcept { return M - 1 + N * (d + 1); }

  static constexpr Word top_bits() noexcept {
    Word mask = 0;
    for (std::size_t d = 0; d < M; ++d) mask = static_cast<Word>(mask | (Word{1} << top(d)));
    return mask;
  }

  // Parity of each group's sources, at the group's top bit (garbage elsewhere).
  static constexpr Word group_parities(Word v) noexcept { return detail::window_xor<N>(v); }

  // The parity bits travel between bit d and top(d) in log2(M) stages. Bit d
  // sits at W-M+d at one end and at top(d) at the other, W-M+d - top(d) =
  // (N-1)(M-1-d) apart; the stage for bit j of (M-1-d) moves by (N-1) << j.
  // Going down, the longest moves come first: the bits are then still far
  // apart, so each stage's stray copies miss every kept position (checked in
  // moves_are_exact). position(d, k) is where bit d is after k stages down.
  static constexpr std::size_t kStages = static_cast<std::size_t>(std::countr_zero(M));

  static constexpr std::size_t position(std::size_t d, std::size_t stages_done) noexcept {
    const std::size_t low_bits_left = (std::size_t{1} << (kStages - stages_done)) - 1;
    const std::size_t moved = (M - 1 - d) & ~low_bits_left;
    return kWidth - M + d - (N - 1) * moved;
  }

  static constexpr Word positions_mask(std::size_t stages_done) noexcept {
    Word mask = 0;
    for (std::size_t d = 0; d < M; ++d) {
      mask = static_cast<Word>(mask | (Word{1} << position(d, stages_done)));
    }
    return mask;
  }

  // Bit top(d) of t -> bit d, for every d: the stages down, undone in reverse.
  static constexpr Word gather_parities(Word t) noexcept {
    Word x = static_cast<Word>(t & top_bits());
    x = gather_stages(x, std::make_index_sequence<kStages>{});
    return detail::shr(x, kWidth - M);
  }

  template <std::size_t... K>
  static constexpr Word gather_stages(Word x, std::index_sequence<K...>) noexcept {
    // Step K undoes stage kStages-1-K, the move by (N-1) << K.
    ((x = static_cast<Word>((x | detail::shl(x, (N - 1) << K)) & positions_mask(kStages - 1 - K))), ...);
    return x;
  }

  // Bit d of v -> bit top(d), for every d; no other bits set.
  static constexpr Word spread_parities(Word v) noexcept {
    // Masking before the shift is redundant, but without it GCC widens the
    // uint16 version to 32-bit lanes and runs at half speed.
    const Word x = detail::shl(static_cast<Word>(v & kParityMask), kWidth - M);
    return spread_stages(x, std::make_index_sequence<kStages>{});
  }

  template <std::size_t... K>
  static constexpr Word spread_stages(Word x, std::index_sequence<K...>) noexcept {
    // Stage K moves by (N-1) << (kStages-1-K).
    ((x = static_cast<Word>((x | detail::shr(x, (N - 1) << (kStages - 1 - K))) & positions_mask(K + 1))), ...);
    return x;
  }

  // The one-op-per-stage moves above rely on a stage's stray copies never
  // landing on a kept position; check that for every parity pattern.
  static constexpr bool moves_are_exact() noexcept {
    for (std::size_t p = 0; p < (std::size_t{1} << M); ++p) {
      Word at_top = 0;
      for (std::size_t d = 0; d < M; ++d) {
        if ((p >> d) & 1) at_top = static_cast<Word>(at_top | (Word{1} << top(d)));
      }
      if (spread_parities(static_cast<Word>(p)) != at_top) return false;
      if (gather_parities(at_top) != p) return false;
    }
    return position(0, kStages) == top(0) && position(M - 1, kStages) == top(M - 1);
  }
};

// The layout of a member for element type T (float32 or uint16).
template <Value T, std::size_t N>
using SchemeFor = Scheme<N, element::width<T> / (N + 1)>;

// ---- whole-array kernels ----
//
// In-place encode or decode of a run of elements, float32 arrays passed as
// their uint32 bit patterns. Each is a plain function, vectorised, compiled
// for AVX2 and baseline x86-64 and picked at load time.

enum class Operation : int { Decode = 0, Encode = 1 };
enum class ElementType : int { F32 = 0, U16 = 1 };

template <class U>
using ArrayKernel = void (*)(std::span<U>);

// Throws InternalError for a member outside D3P1..D15P1.
template <Value T>
ArrayKernel<element::Bits<T>> kernel(Operation op, Member member);
extern template ArrayKernel<std::uint32_t> kernel<float>(Operation, Member);
extern template ArrayKernel<std::uint16_t> kernel<std::uint16_t>(Operation, Member);

inline ArrayKernel<std::uint32_t> f32_kernel(Operation op, Member member) { return kernel<float>(op, member); }
inline ArrayKernel<std::uint16_t> u16_kernel(Operation op, Member member) { return kernel<std::uint16_t>(op, member); }

// The same twelve kernels in one table, type-erased to (data, element count)
// and ordered decode f32, decode u16, encode f32, encode u16, each block in
// member order D3P1, D7P1, D15P1.
using ErasedKernel = void (*)(void* data, std::size_t count);
extern const std::array<ErasedKernel, 12> kElementKernels;

constexpr std::size_t kernel_index(Operation op, ElementType type, Member member) noexcept {
  return 6 * static_cast<std::size_t>(op) + 3 * static_cast<std::size_t>(type) + static_cast<std::size_t>(member);
}

}  // namespace corvane::memory::encoding::embedded_parity
