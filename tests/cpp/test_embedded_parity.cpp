#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "internal_error.hpp"
#include "memory/encoding/embedded_parity.hpp"
#include "memory/encoding/embedded_parity_layout.hpp"

namespace corvane::memory::encoding::embedded_parity {
namespace {

float f32(std::uint32_t bits) { return std::bit_cast<float>(bits); }
std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

TEST(Group, EncodeDecodeVectors) {
  const Sources<15> descending = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
  struct Case {
    bool encode;
    std::uint32_t in, out;
  };
  for (auto [enc, in, out] : {Case{true, 0x1234, 0x1235}, Case{false, 0x1235, 0x1234},
                              Case{false, 0x1234, 0x0000}, Case{true, 0xFFFF, 0xFFFF},
                              Case{false, 0xFFFF, 0xFFFE}}) {
    auto v = static_cast<std::uint16_t>(in);
    ASSERT_TRUE(enc ? encode(descending, 0, v) : decode(descending, 0, v));
    EXPECT_EQ(v, out) << std::hex << in;
  }
  const Sources<3> top_three = {31, 30, 29};
  for (auto [enc, in, out] : {Case{true, 0x3F800000, 0x3F800080},
                              Case{false, 0x3F800080, 0x3F800000},
                              Case{false, 0x7F800080, 0x1F800000},    // bit 30 flipped
                              Case{false, 0x5F800080, 0x5F800000}}) {  // two flips cancel
    float v = f32(in);
    ASSERT_TRUE(enc ? encode(top_three, 7, v) : decode(top_three, 7, v));
    EXPECT_EQ(bits(v), out) << std::hex << in;
  }
}

TEST(Group, ErrorTexts) {
  EXPECT_EQ(to_string(SchemeError::NoSourceBits), "0 source bits were specified");
  EXPECT_EQ(to_string(SchemeError::SourceOutOfBounds), "A source bit is out of bounds");
  EXPECT_EQ(to_string(SchemeError::DestinationOutOfBounds),
            "The destination bit is out of bounds");
  EXPECT_EQ(to_string(SchemeError::DestinationAmongSources),
            "The destination bit is among the source bits");
}

TEST(Group, ValidationOrderAndRefusalsChangeNothing) {
  struct Case {
    Sources<2> sources;
    std::size_t destination;
    bool is_f32;
    std::optional<SchemeError> want;
  };
  const Case cases[] = {
      // An out-of-range source equal to the destination reads as "among".
      {{3, 40}, 40, true, SchemeError::DestinationAmongSources},
      // The first failing source is reported, before the destination.
      {{40, 3}, 3, true, SchemeError::SourceOutOfBounds},
      {{40, 1}, 99, true, SchemeError::SourceOutOfBounds},
      {{1, 2}, 32, true, SchemeError::DestinationOutOfBounds},
      {{1, 2}, 16, false, SchemeError::DestinationOutOfBounds},
      {{1, 16}, 0, false, SchemeError::SourceOutOfBounds},
      {{1, 2}, 15, false, std::nullopt},
      {{5, 5}, 0, true, std::nullopt},  // repeated sources are allowed
  };
  for (const auto& c : cases) {
    auto check = [&](auto value) {
      using T = decltype(value);
      const auto r = validate_scheme<T>(c.sources, c.destination);
      ASSERT_EQ(r.has_value(), !c.want.has_value()) << c.destination;
      if (!c.want) return;
      EXPECT_EQ(r.error(), *c.want) << c.destination;
      T v = value;  // a refused group leaves the value bit for bit as it was
      EXPECT_EQ(encode(c.sources, c.destination, v).error(), *c.want);
      EXPECT_EQ(decode(c.sources, c.destination, v).error(), *c.want);
      EXPECT_EQ(std::memcmp(&v, &value, sizeof v), 0);
    };
    c.is_f32 ? check(f32(0x7FC01234)) : check(std::uint16_t{0xBEEF});
  }
  EXPECT_EQ(validate_scheme<float>(Sources<0>{}, 99).error(), SchemeError::NoSourceBits);
  for (std::uint32_t in : {0x0u, 0x21u, 0xFFFFFFFFu}) {
    float v = f32(in);  // two equal sources cancel: the parity bit is always 0
    ASSERT_TRUE(encode(Sources<2>{5, 5}, 0, v));
    EXPECT_EQ(bits(v), in & ~1u);
  }
}

TEST(Layout, MasksAndGroupsInProcessingOrder) {
  auto masks = [](auto scheme) {
    using S = decltype(scheme);
    std::vector<std::uint64_t> m = {S::kParityMask, S::kDataMask};
    for (std::size_t g = 0; g < S::kGroups; ++g) m.push_back(S::source_mask(g));
    return m;
  };
  using V = std::vector<std::uint64_t>;
  EXPECT_EQ(masks(SchemeFor<float, 3>()),
            (V{0xFF, 0xFFFFFF00, 0xE0000000, 0x1C000000, 0x03800000, 0x00700000, 0x000E0000,
               0x0001C000, 0x00003800, 0x00000700}));
  EXPECT_EQ(masks(SchemeFor<float, 7>()),
            (V{0xF, 0xFFFFFFF0, 0xFE000000, 0x01FC0000, 0x0003F800, 0x000007F0}));
  EXPECT_EQ(masks(SchemeFor<float, 15>()), (V{0x3, 0xFFFFFFFC, 0xFFFE0000, 0x0001FFFC}));
  EXPECT_EQ(masks(SchemeFor<std::uint16_t, 3>()),
            (V{0xF, 0xFFF0, 0xE000, 0x1C00, 0x0380, 0x0070}));
  EXPECT_EQ(masks(SchemeFor<std::uint16_t, 7>()), (V{0x3, 0xFFFC, 0xFE00, 0x01FC}));
  EXPECT_EQ(masks(SchemeFor<std::uint16_t, 15>()), (V{0x1, 0xFFFE, 0xFFFE}));
  EXPECT_EQ((Scheme<3, 8>::destination(0)), 7u);
  EXPECT_EQ((Scheme<7, 4>::sources(3)), (Sources<7>{10, 9, 8, 7, 6, 5, 4}));
}

TEST(Layout, InvalidGroupMessage) {
  // A 32-bit layout applied to a 16-bit value is the one way to reach it.
  std::uint16_t v = 0x1234;
  try {
    Scheme<7, 4>::decode(v);
    FAIL() << "no error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(),
                 "Expected [31, 30, 29, 28, 27, 26, 25] -> 3 to be a valid scheme, got error: A "
                 "source bit is out of bounds");
  }
  EXPECT_EQ(v, 0x1234);
}

// One element through the group-by-group reference.
template <Value T>
element::Bits<T> reference(Operation op, Member m, element::Bits<T> in) {
  T v = element::from_bits<T>(in);
  auto run = [&](auto scheme) {
    using S = decltype(scheme);
    op == Operation::Encode ? S::encode(v) : S::decode(v);
  };
  switch (m) {
    case Member::D3P1: run(SchemeFor<T, 3>()); break;
    case Member::D7P1: run(SchemeFor<T, 7>()); break;
    case Member::D15P1: run(SchemeFor<T, 15>()); break;
  }
  return element::bits_of(v);
}

TEST(Layout, ElementVectors) {
  struct Case {
    Operation op;
    Member m;
    std::uint32_t in, out;
  };
  const auto E = Operation::Encode, D = Operation::Decode;
  const auto D3 = Member::D3P1, D7 = Member::D7P1, D15 = Member::D15P1;
  const Case f32_cases[] = {
      {E, D3, 0x3F800000, 0x3F8000E0}, {D, D3, 0x3F8000E0, 0x3F800000},
      {D, D3, 0x3F8000E0 ^ (1u << 30), 0x1F800000}, {E, D7, 0x3F800000, 0x3F800008},
      {D, D7, 0x3F800008 ^ (1u << 30), 0x01800000}, {E, D15, 0x3F800000, 0x3F800002},
      {D, D15, 0x3F800002 ^ (1u << 30), 0x0},       {E, D3, 0x40490FD0, 0x40490F9F},
      {D, D3, 0x40490F9F, 0x40490F00},              {E, D7, 0x40490FD0, 0x40490FD8},
      {D, D7, 0x40490FD8, 0x40490FD0},              {E, D3, 0x7FC00001, 0x7FC00070},
      {D, D3, 0x7FC00070, 0x7FC00000},
      {D, D7, 0x3F8000E0, 0x01800000},  // encoded with D3P1, decoded with D7P1
  };
  for (const auto& c : f32_cases) {
    EXPECT_EQ(reference<float>(c.op, c.m, c.in), c.out) << std::hex << c.in;
  }
  const Case u16_cases[] = {
      {E, D3, 0x3C00, 0x3C0C}, {D, D3, 0x3C0C, 0x3C00}, {D, D3, 0x3C0C ^ 0x4000, 0x1C00},
      {E, D7, 0x3C00, 0x3C00}, {E, D15, 0x3C00, 0x3C00}, {E, D3, 0xFFFF, 0xFFFF},
      {E, D7, 0xFFFF, 0xFFFF}, {E, D15, 0xFFFF, 0xFFFF}, {D, D3, 0xFFFF, 0xFFF0},
      {D, D7, 0xFFFF, 0xFFFC}, {D, D15, 0xFFFF, 0xFFFE}, {D, D15, 0x1234, 0x0000},
  };
  for (const auto& c : u16_cases) {
    EXPECT_EQ(reference<std::uint16_t>(c.op, c.m, static_cast<std::uint16_t>(c.in)), c.out)
        << std::hex << c.in;
  }
}

// Both kernel tables against the reference, element by element.
template <Value T>
void expect_kernels_match_reference(const std::vector<element::Bits<T>>& input) {
  constexpr bool is_f32 = std::is_same_v<T, float>;
  for (Operation op : {Operation::Decode, Operation::Encode}) {
    for (Member m : {Member::D3P1, Member::D7P1, Member::D15P1}) {
      auto typed = input, erased = input;
      if constexpr (is_f32) {
        f32_kernel(op, m)(std::span(typed));
      } else {
        u16_kernel(op, m)(std::span(typed));
      }
      const auto type = is_f32 ? ElementType::F32 : ElementType::U16;
      kElementKernels[kernel_index(op, type, m)](erased.data(), erased.size());
      for (std::size_t i = 0; i < input.size(); ++i) {
        const auto want = reference<T>(op, m, input[i]);
        ASSERT_EQ(typed[i], want) << "op " << int(op) << " member " << int(m) << " len "
                                  << input.size() << " at " << i << std::hex << " in "
                                  << input[i];
        ASSERT_EQ(erased[i], want) << "table entry " << int(op) << "/" << int(m);
      }
    }
  }
}

// Random patterns with NaNs (with payloads), infinities, subnormals, signed
// zeros and extremes mixed in.
std::vector<std::uint32_t> random_f32_patterns(std::size_t n, std::uint64_t seed) {
  static const std::uint32_t special[] = {
      0x00000000, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC00000, 0x7FC00001, 0xFFFFFFFF,
      0x7F800001, 0x00000001, 0x007FFFFF, 0x80000001, 0x3F800000, 0x7F7FFFFF, 0x00800000};
  std::mt19937_64 rng(seed);
  std::vector<std::uint32_t> v(n);
  for (auto& x : v) {
    x = rng() % 4 == 0 ? special[rng() % std::size(special)] : static_cast<std::uint32_t>(rng());
  }
  return v;
}

TEST(Kernels, MatchReferenceOnAllTailLengths) {
  std::mt19937_64 rng(3);
  for (std::size_t n = 0; n <= 100; ++n) {
    expect_kernels_match_reference<float>(random_f32_patterns(n, 100 + n));
    std::vector<std::uint16_t> v(n);
    for (auto& x : v) x = static_cast<std::uint16_t>(rng());
    expect_kernels_match_reference<std::uint16_t>(v);
  }
  expect_kernels_match_reference<float>(random_f32_patterns(100003, 8));
  std::vector<std::uint16_t> all(1 << 16);  // every uint16 pattern
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint16_t>(i);
  expect_kernels_match_reference<std::uint16_t>(all);
}

// Through the word code: encoding is idempotent, decoding a clean value
// clears only the parity bits, and one flipped bit anywhere clears exactly
// its group.
template <class S>
void expect_single_flips_clear_their_group(std::uint64_t seed) {
  using W = typename S::Word;
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    const W x = static_cast<W>(rng());
    const W enc = S::encode_word(x);
    ASSERT_EQ(S::encode_word(enc), enc);
    ASSERT_EQ(S::decode_word(enc), static_cast<W>(x & S::kDataMask));
    for (std::size_t b = 0; b < S::kWidth; ++b) {
      const std::size_t d = b < S::kGroups ? b : (b - S::kGroups) / S::kDataBits;
      const W want = static_cast<W>(x & S::kDataMask & ~S::source_mask(S::kGroups - 1 - d));
      ASSERT_EQ(S::decode_word(static_cast<W>(enc ^ (W{1} << b))), want) << "bit " << b;
    }
  }
}

TEST(Kernels, SingleFlipsClearTheirGroup) {
  expect_single_flips_clear_their_group<Scheme<3, 8>>(1);
  expect_single_flips_clear_their_group<Scheme<7, 4>>(2);
  expect_single_flips_clear_their_group<Scheme<15, 2>>(3);
  expect_single_flips_clear_their_group<Scheme<3, 4>>(4);
  expect_single_flips_clear_their_group<Scheme<7, 2>>(5);
  expect_single_flips_clear_their_group<Scheme<15, 1>>(6);
}

}  // namespace
}  // namespace corvane::memory::encoding::embedded_parity
