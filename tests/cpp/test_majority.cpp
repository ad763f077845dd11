#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "internal_error.hpp"
#include "memory/encoding/majority.hpp"

namespace corvane::memory::encoding::majority {
namespace {

// "ok" or the error's debug form.
template <std::size_t N>
std::string create_outcome(std::size_t length, std::size_t source,
                           const std::array<std::size_t, N>& targets) {
  auto s = Scheme<N>::create(length, source, targets);
  return s ? "ok" : debug_string(s.error());
}

TEST(Creation, ChecksInOrder) {
  struct Case {
    std::size_t length, source;
    std::array<std::size_t, 2> targets;
    std::string want;
  };
  const Case cases[] = {
      {16, 16, {0, 1}, "IndexOutOfBounds(16)"},
      {16, 20, {17, 1}, "IndexOutOfBounds(17)"},  // targets are visited first
      {16, 20, {3, 3}, "IndexOutOfBounds(20)"},   // every bound before any duplicate
      {16, 14, {0, 0}, "DuplicateIndex(0)"},
      {16, 1, {0, 1}, "DuplicateIndex(1)"},  // the source is visited last
      {32, 30, {0, 1}, "ok"},
      {16, 14, {0, 1}, "ok"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(create_outcome(c.length, c.source, c.targets), c.want)
        << c.length << " " << c.source << " [" << c.targets[0] << ", " << c.targets[1] << "]";
  }
  EXPECT_EQ(create_outcome<0>(16, 99, {}), "EmptyTargets");
  EXPECT_EQ(create_outcome<1>(16, 99, {99}), "OddTargets");
  EXPECT_EQ(create_outcome<4>(16, 9, {0, 1, 2, 9}), "DuplicateIndex(9)");
  EXPECT_EQ(debug_string(InvalidSchemeError{16, 32}),
            "InvalidSchemeError { expected_length: 16, actual_length: 32 }");
}

TEST(FixedSchemes, Fields) {
  EXPECT_EQ(f16_scheme().length(), 16u);
  EXPECT_EQ(f16_scheme().source(), 14u);
  EXPECT_EQ(f32_scheme().length(), 32u);
  EXPECT_EQ(f32_scheme().source(), 30u);
  EXPECT_EQ(f32_scheme().targets(), (std::array<std::size_t, 2>{0, 1}));
}

TEST(Reference, WidthMismatchLeavesValueUnchanged) {
  float v = 2.0f;
  EXPECT_EQ(encode(v, f16_scheme()).error(), (InvalidSchemeError{16, 32}));
  EXPECT_EQ(decode(v, f16_scheme()).error(), (InvalidSchemeError{16, 32}));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(v), 0x40000000u);
  std::uint16_t h = 0x4000;
  EXPECT_EQ(encode(h, f32_scheme()).error(), (InvalidSchemeError{32, 16}));
  EXPECT_EQ(h, 0x4000);
}

// One element through the reference (kernel = false) or the array kernel.
template <class U>
U run(bool enc, U in, bool kernel) {
  if (kernel) {
    if constexpr (sizeof(U) == 4) {
      enc ? encode_f32({&in, 1}) : decode_f32({&in, 1});
    } else {
      enc ? encode_u16({&in, 1}) : decode_u16({&in, 1});
    }
    return in;
  }
  if constexpr (sizeof(U) == 4) {
    float v = std::bit_cast<float>(in);
    EXPECT_TRUE(enc ? encode(v, f32_scheme()) : decode(v, f32_scheme()));
    return std::bit_cast<U>(v);
  } else {
    EXPECT_TRUE(enc ? encode(in, f16_scheme()) : decode(in, f16_scheme()));
    return in;
  }
}

TEST(FixedSchemes, Vectors) {
  struct Case {
    bool encode;
    std::uint32_t in, out;
  };
  const Case f32_cases[] = {
      {true, 0x40000000, 0x40000003},  {false, 0x40000003, 0x40000003},
      {true, 0x3F800000, 0x3F800000},  {true, 0x3F800003, 0x3F800000},
      {false, 0x00000003, 0x40000003},  // a flipped source is outvoted
      {false, 0x40000002, 0x40000002},  // a bad copy loses and is not repaired
      {false, 0x40000000, 0x00000000},  // two bad copies win
      {true, 0xC0000000, 0xC0000003},  {true, 0x3F000000, 0x3F000000},
  };
  const Case u16_cases[] = {{true, 0x4000, 0x4003},  {false, 0x0003, 0x4003},
                            {true, 0x3C00, 0x3C00},  {false, 0x3C00, 0x3C00},
                            {false, 0xBFFF, 0xFFFF}, {false, 0xBFFD, 0xBFFD}};
  for (bool kernel : {false, true}) {
    for (const auto& c : f32_cases) {
      EXPECT_EQ(run<std::uint32_t>(c.encode, c.in, kernel), c.out) << std::hex << c.in;
    }
    for (const auto& c : u16_cases) {
      EXPECT_EQ(run<std::uint16_t>(c.encode, static_cast<std::uint16_t>(c.in), kernel), c.out)
          << std::hex << c.in;
    }
  }
}

// Any even number of copies: the vote is a count over all voters.
TEST(Reference, FourCopiesVoteByCount) {
  auto scheme = Scheme<4>::create(16, 7, {0, 3, 12, 15});
  ASSERT_TRUE(scheme.has_value());
  const std::uint32_t copies = 0x8000 | 0x1000 | 0x0008 | 0x0001;
  for (std::uint32_t x = 0; x < (1u << 16); ++x) {
    auto v = static_cast<std::uint16_t>(x);
    ASSERT_TRUE(decode(v, *scheme));
    const bool win = std::popcount(x & (copies | 0x80)) >= 3;
    ASSERT_EQ(v, win ? (x | 0x80) : (x & ~0x80u)) << std::hex << x;
    v = static_cast<std::uint16_t>(x);
    ASSERT_TRUE(encode(v, *scheme));
    ASSERT_EQ(v, (x & 0x80) ? (x | copies) : (x & ~copies)) << std::hex << x;
  }
}

template <class U>
void expect_kernels_match_reference(std::vector<U> input) {
  for (bool enc : {true, false}) {
    auto out = input;
    if constexpr (sizeof(U) == 4) {
      enc ? encode_f32(std::span(out)) : decode_f32(std::span(out));
    } else {
      enc ? encode_u16(std::span(out)) : decode_u16(std::span(out));
    }
    for (std::size_t i = 0; i < input.size(); ++i) {
      ASSERT_EQ(out[i], run<U>(enc, input[i], false))
          << (enc ? "encode" : "decode") << " len " << input.size() << " at " << i;
    }
  }
}

TEST(Kernels, MatchReference) {
  std::mt19937_64 rng(5);
  for (std::size_t n = 0; n <= 70; ++n) {
    std::vector<std::uint32_t> v(n);
    for (auto& x : v) x = static_cast<std::uint32_t>(rng());
    expect_kernels_match_reference(v);
  }
  std::vector<std::uint16_t> all(1 << 16);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint16_t>(i);
  expect_kernels_match_reference(all);
}

TEST(Kernels, SchemeOfTheWrongWidthIsAnInternalError) {
  std::vector<std::uint32_t> data = {0x40000000, 0x1};
  try {
    encode_array(std::span(data), f16_scheme());
    FAIL() << "no error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(),
                 "The scheme is known to be correct: InvalidSchemeError { expected_length: 16, "
                 "actual_length: 32 }");
  }
  EXPECT_EQ(data, (std::vector<std::uint32_t>{0x40000000, 0x1}));
}

}  // namespace
}  // namespace corvane::memory::encoding::majority
