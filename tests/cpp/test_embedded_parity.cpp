#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
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

const Sources<15> kU16Descending = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
const Sources<3> kTopThree = {31, 30, 29};

// ------------------------------------------------- one group, reference

TEST(Group, EncodeDecodeVectors) {
  struct U16Case {
    bool encode;
    std::uint16_t in, out;
  };
  for (auto [enc, in, out] : {U16Case{true, 0x1234, 0x1235}, U16Case{false, 0x1235, 0x1234},
                              U16Case{false, 0x1234, 0x0000}, U16Case{true, 0xFFFF, 0xFFFF},
                              U16Case{false, 0xFFFF, 0xFFFE}}) {
    std::uint16_t v = in;
    ASSERT_TRUE(enc ? encode(kU16Descending, 0, v) : decode(kU16Descending, 0, v));
    EXPECT_EQ(v, out) << std::hex << (enc ? "encode " : "decode ") << in;
  }
  struct F32Case {
    bool encode;
    std::uint32_t in, out;
  };
  for (auto [enc, in, out] :
       {F32Case{true, 0x3F800000, 0x3F800080}, F32Case{false, 0x3F800080, 0x3F800000},
        F32Case{false, 0x7F800080, 0x1F800000}, F32Case{false, 0x5F800080, 0x5F800000}}) {
    float v = f32(in);
    ASSERT_TRUE(enc ? encode(kTopThree, 7, v) : decode(kTopThree, 7, v));
    EXPECT_EQ(bits(v), out) << std::hex << (enc ? "encode " : "decode ") << in;
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

struct ValidationCase {
  Sources<2> sources;
  std::size_t destination;
  bool is_f32;
  std::optional<SchemeError> want;
};

class Validation : public testing::TestWithParam<ValidationCase> {};

TEST_P(Validation, FirstFailureWinsAndFailureChangesNothing) {
  const auto& c = GetParam();
  auto check = [&](auto value) {
    using T = decltype(value);
    const auto r = validate_scheme<T>(c.sources, c.destination);
    ASSERT_EQ(r.has_value(), !c.want.has_value());
    if (!c.want) return;
    EXPECT_EQ(r.error(), *c.want);
    // A refused group leaves the value bit for bit as it was.
    T v = value;
    const auto e = encode(c.sources, c.destination, v);
    ASSERT_FALSE(e.has_value());
    EXPECT_EQ(e.error(), *c.want);
    EXPECT_EQ(std::memcmp(&v, &value, sizeof v), 0);
    const auto d = decode(c.sources, c.destination, v);
    ASSERT_FALSE(d.has_value());
    EXPECT_EQ(std::memcmp(&v, &value, sizeof v), 0);
  };
  if (c.is_f32) {
    check(f32(0x7FC01234));  // a NaN with payload must survive as is
  } else {
    check(std::uint16_t{0xBEEF});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Order, Validation,
    testing::Values(
        // An out-of-range source equal to the destination reads as "among".
        ValidationCase{{3, 40}, 40, true, SchemeError::DestinationAmongSources},
        // The first failing source is reported, before the destination.
        ValidationCase{{40, 3}, 3, true, SchemeError::SourceOutOfBounds},
        ValidationCase{{40, 1}, 99, true, SchemeError::SourceOutOfBounds},
        ValidationCase{{1, 2}, 32, true, SchemeError::DestinationOutOfBounds},
        ValidationCase{{1, 2}, 16, false, SchemeError::DestinationOutOfBounds},
        ValidationCase{{1, 16}, 0, false, SchemeError::SourceOutOfBounds},
        ValidationCase{{1, 2}, 2, false, SchemeError::DestinationAmongSources},
        ValidationCase{{1, 2}, 15, false, std::nullopt},
        ValidationCase{{1, 2}, 31, true, std::nullopt},
        ValidationCase{{5, 5}, 0, true, std::nullopt}));

TEST(Group, NoSourcesIsReportedFirst) {
  const Sources<0> none{};
  EXPECT_EQ(validate_scheme<float>(none, 99).error(), SchemeError::NoSourceBits);
  std::uint16_t v = 0xABCD;
  EXPECT_EQ(encode(none, 3, v).error(), SchemeError::NoSourceBits);
  EXPECT_EQ(v, 0xABCD);
}

TEST(Group, RepeatedSourceCancels) {
  for (std::uint32_t in : {0x0u, 0x21u, 0xFFFFFFFFu, 0x20u}) {
    float v = f32(in);
    ASSERT_TRUE(encode(Sources<2>{5, 5}, 0, v));
    EXPECT_EQ(bits(v), in & ~1u);
  }
}

// Random valid groups: encode touches only the destination and leaves the
// group with even parity; decode touches only the group and zeroes its
// sources exactly when the parity was odd.
TEST(Group, PropertiesOnRandomGroups) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20000; ++round) {
    Sources<5> s;
    for (auto& x : s) x = 1 + rng() % 31;
    const std::size_t d = 0;
    const std::uint32_t in = static_cast<std::uint32_t>(rng());
    std::uint32_t group = 1;
    unsigned parity = 0;
    for (auto x : s) {
      group |= 1u << x;
      parity ^= (in >> x) & 1;
    }

    float e = f32(in);
    ASSERT_TRUE(encode(s, d, e));
    EXPECT_EQ(bits(e), (in & ~1u) | parity);

    float v = f32(in);
    ASSERT_TRUE(decode(s, d, v));
    const bool odd = (parity ^ (in & 1)) != 0;
    EXPECT_EQ(bits(v), odd ? in & ~group : in & ~1u);
  }
}

// ------------------------------------------------------------ layouts

TEST(Layout, MasksAndGroupsInProcessingOrder) {
  auto source_masks = [](auto scheme) {
    using S = decltype(scheme);
    std::vector<std::uint64_t> masks;
    for (std::size_t g = 0; g < S::kGroups; ++g) masks.push_back(S::source_mask(g));
    return masks;
  };
  using F3 = SchemeFor<float, 3>;
  using F7 = SchemeFor<float, 7>;
  using F15 = SchemeFor<float, 15>;
  using H3 = SchemeFor<std::uint16_t, 3>;
  using H7 = SchemeFor<std::uint16_t, 7>;
  using H15 = SchemeFor<std::uint16_t, 15>;
  static_assert(std::is_same_v<F3, Scheme<3, 8>> && std::is_same_v<H15, Scheme<15, 1>>);

  EXPECT_EQ(F3::kParityMask, 0x000000FFu);
  EXPECT_EQ(F3::kDataMask, 0xFFFFFF00u);
  EXPECT_EQ(F7::kParityMask, 0x0000000Fu);
  EXPECT_EQ(F15::kDataMask, 0xFFFFFFFCu);
  EXPECT_EQ(H3::kParityMask, 0x000F);
  EXPECT_EQ(H7::kDataMask, 0xFFFC);
  EXPECT_EQ(H15::kParityMask, 0x0001);

  EXPECT_EQ(source_masks(F3()),
            (std::vector<std::uint64_t>{0xE0000000, 0x1C000000, 0x03800000, 0x00700000,
                                        0x000E0000, 0x0001C000, 0x00003800, 0x00000700}));
  EXPECT_EQ(source_masks(F7()),
            (std::vector<std::uint64_t>{0xFE000000, 0x01FC0000, 0x0003F800, 0x000007F0}));
  EXPECT_EQ(source_masks(F15()), (std::vector<std::uint64_t>{0xFFFE0000, 0x0001FFFC}));
  EXPECT_EQ(source_masks(H3()), (std::vector<std::uint64_t>{0xE000, 0x1C00, 0x0380, 0x0070}));
  EXPECT_EQ(source_masks(H7()), (std::vector<std::uint64_t>{0xFE00, 0x01FC}));
  EXPECT_EQ(source_masks(H15()), (std::vector<std::uint64_t>{0xFFFE}));

  EXPECT_EQ(F3::destination(0), 7u);
  EXPECT_EQ(F3::sources(0), (Sources<3>{31, 30, 29}));
  EXPECT_EQ(F7::sources(3), (Sources<7>{10, 9, 8, 7, 6, 5, 4}));
  EXPECT_EQ(H7::destination(1), 0u);
}

TEST(Layout, InvalidGroupMessage) {
  // A 32-bit layout applied to a 16-bit value is the one way to reach it.
  std::uint16_t v = 0x1234;
  try {
    Scheme<3, 8>::encode(v);
    FAIL() << "no error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(),
                 "Expected [31, 30, 29] -> 7 to be a valid scheme, got error: A source bit is "
                 "out of bounds");
  }
  EXPECT_EQ(v, 0x1234);
  try {
    Scheme<7, 4>::decode(v);
    FAIL() << "no error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(),
                 "Expected [31, 30, 29, 28, 27, 26, 25] -> 3 to be a valid scheme, got error: A "
                 "source bit is out of bounds");
  }
}

// One element through the reference, the word code and both kernel tables.
template <Value T>
struct Paths {
  using U = element::Bits<T>;
  static U reference(Operation op, Member m, U in) {
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
  static ArrayKernel<U> typed(Operation op, Member m) {
    if constexpr (std::is_same_v<T, float>) {
      return f32_kernel(op, m);
    } else {
      return u16_kernel(op, m);
    }
  }
  static ErasedKernel erased(Operation op, Member m) {
    const auto type = std::is_same_v<T, float> ? ElementType::F32 : ElementType::U16;
    return kElementKernels[kernel_index(op, type, m)];
  }
};

constexpr Member kMembers[] = {Member::D3P1, Member::D7P1, Member::D15P1};
constexpr Operation kOps[] = {Operation::Decode, Operation::Encode};

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
      {D, D3, 0x3F8000E0 ^ (1u << 30), 0x1F800000},
      {E, D3, 0x40490FD0, 0x40490F9F}, {D, D3, 0x40490F9F, 0x40490F00},
      {E, D7, 0x40490FD0, 0x40490FD8}, {D, D7, 0x40490FD8, 0x40490FD0},
      {E, D3, 0x7FC00001, 0x7FC00070}, {D, D3, 0x7FC00070, 0x7FC00000},
      {D, D7, 0x3F8000E0, 0x01800000},  // encoded with D3P1, decoded with D7P1
  };
  for (const auto& c : f32_cases) {
    EXPECT_EQ(Paths<float>::reference(c.op, c.m, c.in), c.out) << std::hex << c.in;
  }
  // The bit-30 fault under the coarser layouts.
  for (auto [m, out] : {std::pair{D7, 0x01800000u}, std::pair{D15, 0x0u}}) {
    const std::uint32_t enc = Paths<float>::reference(E, m, 0x3F800000);
    EXPECT_EQ(Paths<float>::reference(D, m, enc ^ (1u << 30)), out);
  }
  const Case u16_cases[] = {
      {E, D3, 0x3C00, 0x3C0C}, {D, D3, 0x3C0C, 0x3C00}, {D, D3, 0x3C0C ^ 0x4000, 0x1C00},
      {E, D7, 0x3C00, 0x3C00}, {E, D15, 0x3C00, 0x3C00}, {E, D3, 0xFFFF, 0xFFFF},
      {E, D7, 0xFFFF, 0xFFFF}, {E, D15, 0xFFFF, 0xFFFF}, {D, D3, 0xFFFF, 0xFFF0},
      {D, D7, 0xFFFF, 0xFFFC}, {D, D15, 0xFFFF, 0xFFFE}, {D, D15, 0x1234, 0x0000},
  };
  for (const auto& c : u16_cases) {
    EXPECT_EQ(Paths<std::uint16_t>::reference(c.op, c.m, static_cast<std::uint16_t>(c.in)),
              c.out)
        << std::hex << c.in;
  }
}

// Interesting float32 patterns mixed into random data: NaNs with payloads,
// infinities, subnormals, signed zeros, extremes.
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

template <Value T>
void expect_kernels_match_reference(const std::vector<element::Bits<T>>& input) {
  using P = Paths<T>;
  for (Operation op : kOps) {
    for (Member m : kMembers) {
      auto typed = input, erased = input;
      P::typed(op, m)(std::span(typed));
      P::erased(op, m)(erased.data(), erased.size());
      for (std::size_t i = 0; i < input.size(); ++i) {
        const auto want = P::reference(op, m, input[i]);
        ASSERT_EQ(typed[i], want) << "op " << int(op) << " member " << int(m) << " len "
                                  << input.size() << " at " << i << std::hex << " in "
                                  << input[i];
        ASSERT_EQ(erased[i], want) << "erased table entry " << int(op) << "/" << int(m);
      }
    }
  }
}

TEST(Kernels, F32MatchReferenceOnAllTailLengths) {
  for (std::size_t n = 0; n <= 100; ++n) {
    expect_kernels_match_reference<float>(random_f32_patterns(n, 100 + n));
  }
  expect_kernels_match_reference<float>(random_f32_patterns(1 << 18, 7));
  expect_kernels_match_reference<float>(random_f32_patterns(100003, 8));
}

TEST(Kernels, U16MatchReferenceExhaustively) {
  std::vector<std::uint16_t> all(1 << 16);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint16_t>(i);
  expect_kernels_match_reference<std::uint16_t>(all);
  std::mt19937_64 rng(3);
  for (std::size_t n = 0; n <= 100; ++n) {
    std::vector<std::uint16_t> v(n);
    for (auto& x : v) x = static_cast<std::uint16_t>(rng());
    expect_kernels_match_reference<std::uint16_t>(v);
  }
}

// Through the fast word code: a single flipped bit anywhere in an encoded
// value clears exactly its group (data bits and parity bit) on decode.
template <class S>
void expect_single_flips_clear_their_group(std::uint64_t seed) {
  using W = typename S::Word;
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    const W x = static_cast<W>(rng());
    const W enc = S::encode_word(x);
    ASSERT_EQ(S::encode_word(enc), enc) << "encoding is idempotent";
    ASSERT_EQ(S::decode_word(enc), static_cast<W>(x & S::kDataMask));
    for (std::size_t b = 0; b < S::kWidth; ++b) {
      const std::size_t d = b < S::kGroups ? b : (b - S::kGroups) / S::kDataBits;
      const W group = S::source_mask(S::kGroups - 1 - d);
      const W want = static_cast<W>(x & S::kDataMask & ~group);
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

TEST(Kernels, UnknownMemberIsAnInternalError) {
  EXPECT_THROW(f32_kernel(Operation::Encode, static_cast<Member>(3)), InternalError);
}

}  // namespace
}  // namespace corvane::memory::encoding::embedded_parity
