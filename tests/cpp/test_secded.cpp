// The bit-by-bit SEC-DED block code and its Limited container.
#include <gtest/gtest.h>

#include "internal_error_text.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "internal_error.hpp"
#include "memory/encoding/secded.hpp"
#include "memory/limited.hpp"

namespace {

using corvane::InternalError;
using corvane::memory::encoding::secded::data_index;
using corvane::memory::encoding::secded::data_position;
using corvane::memory::encoding::secded::decode_into;
using corvane::memory::encoding::secded::DecodeError;
using corvane::memory::encoding::secded::encode;
using corvane::memory::encoding::secded::encoded_bit_count;
using corvane::memory::encoding::secded::is_data_position;
using corvane::memory::limited::Limited;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Limited limited(Bytes bytes, std::uint64_t limit) { return Limited::create(std::move(bytes), limit).value(); }

using corvane::testing::internal_error_of;

struct CountCase {
  std::uint64_t d;
  std::optional<std::uint64_t> n;
};

class EncodedBitCount : public testing::TestWithParam<CountCase> {};

TEST_P(EncodedBitCount, MatchesTheSmallestCheckBitCount) { EXPECT_EQ(encoded_bit_count(GetParam().d), GetParam().n); }

INSTANTIATE_TEST_SUITE_P(Table, EncodedBitCount,
                         testing::Values(CountCase{0, std::nullopt}, CountCase{1, 4}, CountCase{2, 6}, CountCase{4, 8},
                                         CountCase{5, 10}, CountCase{8, 13}, CountCase{11, 16}, CountCase{12, 18},
                                         CountCase{16, 22}, CountCase{26, 32}, CountCase{27, 34}, CountCase{32, 39},
                                         CountCase{57, 64}, CountCase{58, 66}, CountCase{64, 72}, CountCase{120, 128},
                                         CountCase{121, 130}, CountCase{128, 137}, CountCase{256, 266},
                                         CountCase{512, 523}, CountCase{1013, 1024}, CountCase{1014, 1026},
                                         CountCase{1024, 1036}, CountCase{4096, 4110}, CountCase{8192, 8207},
                                         // Past 32-bit arithmetic: every size a 64-bit machine can hold is right.
                                         CountCase{(std::uint64_t{1} << 32) - 33, std::uint64_t{1} << 32},
                                         CountCase{(std::uint64_t{1} << 32) - 32, (std::uint64_t{1} << 32) + 2},
                                         CountCase{(std::uint64_t{1} << 63) - 64, std::uint64_t{1} << 63},
                                         CountCase{(std::uint64_t{1} << 63) - 63, (std::uint64_t{1} << 63) + 2},
                                         CountCase{kMax - 65, kMax},
                                         // n itself would not fit.
                                         CountCase{kMax - 64, std::nullopt}, CountCase{kMax, std::nullopt}));

TEST(DataPositions, SkipZeroAndEveryPowerOfTwo) {
  std::uint64_t p = 3;
  for (std::uint64_t j = 0; j < 20000; ++j) {
    ASSERT_EQ(data_position(j), p) << j;
    ASSERT_EQ(data_index(p), j) << p;
    ASSERT_TRUE(is_data_position(p));
    do ++p;
    while (!is_data_position(p));
  }
  for (const std::uint64_t j : {std::uint64_t{1} << 40, (std::uint64_t{1} << 62) - 63, kMax - 66}) {
    const std::uint64_t q = data_position(j);
    EXPECT_TRUE(is_data_position(q)) << j;
    EXPECT_EQ(data_index(q), j);
  }
}

struct VectorCase {
  Bytes data;
  std::uint64_t limit;
  Bytes codeword;
};

class EncodeVectors : public testing::TestWithParam<VectorCase> {};

TEST_P(EncodeVectors, ByteAndLimitedBlocksGiveTheKnownCodeword) {
  const auto& c = GetParam();
  const auto from_bytes = encode(std::span<const std::uint8_t>(c.data));
  ASSERT_TRUE(from_bytes);
  EXPECT_EQ(from_bytes->limit(), c.limit);
  EXPECT_EQ(Bytes(from_bytes->bytes().begin(), from_bytes->bytes().end()), c.codeword);
  const auto from_limited = encode(limited(c.data, 8 * c.data.size()));
  ASSERT_TRUE(from_limited);
  EXPECT_EQ(*from_limited, *from_bytes);
}

INSTANTIATE_TEST_SUITE_P(Known, EncodeVectors,
                         testing::Values(VectorCase{{0xA5}, 13, {0x4E, 0x14}},
                                         VectorCase{{0x01, 0x00}, 22, {0x0F, 0x00, 0x00}},
                                         VectorCase{{0x00, 0x00, 0x80, 0x3F}, 39, {0x01, 0x01, 0x01, 0xE0, 0x1E}},
                                         VectorCase{Bytes(8, 0), 72, Bytes(9, 0)}));

TEST(Encode, EmptyBlocksHaveNoCodeword) {
  EXPECT_FALSE(encode(std::span<const std::uint8_t>()));
  EXPECT_FALSE(encode(limited({0xFF}, 0)));
}

// Random blocks of many sizes; decode_into into either destination kind.
class Corrections : public testing::TestWithParam<std::uint64_t> {
 protected:
  Limited data_ = random_block(GetParam());
  Limited codeword_ = encode(data_).value();

  static Limited random_block(std::uint64_t d) {
    std::mt19937_64 rng(d);
    Limited block = Limited::zeros(d);
    for (std::uint64_t i = 0; i < d; ++i) block.set(i, (rng() & 1U) != 0);
    return block;
  }
  std::pair<bool, Limited> decode(Limited& codeword) const {
    Limited out = Limited::zeros(data_.limit());
    const auto flag = decode_into(codeword, out);
    EXPECT_TRUE(flag);
    return {flag.value(), out};
  }
};

TEST_P(Corrections, EverySingleFlipPastPositionZeroIsCorrectedInPlace) {
  for (std::uint64_t p = 1; p < codeword_.limit(); ++p) {
    Limited cw = codeword_;
    cw.flip_bit(p);
    ASSERT_EQ(decode(cw), std::pair(true, data_)) << "position " << p;
    ASSERT_EQ(cw, codeword_) << "position " << p;
  }
}

TEST_P(Corrections, AFlippedParityBitIsDetectedNotCorrected) {
  Limited cw = codeword_;
  cw.flip_bit(0);
  EXPECT_EQ(decode(cw), std::pair(false, data_));
  EXPECT_TRUE(cw.is_1(0) != codeword_.is_1(0));
}

TEST_P(Corrections, DoubleFlipsAreDetectedAndTheStoredDataReturned) {
  std::mt19937_64 rng(GetParam() + 1);
  for (int trial = 0; trial < 50; ++trial) {
    const std::uint64_t p = rng() % codeword_.limit();
    std::uint64_t q = rng() % codeword_.limit();
    if (q == p) q = (q + 1) % codeword_.limit();
    Limited cw = codeword_;
    cw.flip_bit(p);
    cw.flip_bit(q);
    Limited expected = data_;
    for (const std::uint64_t at : {p, q}) {
      if (is_data_position(at)) expected.flip_bit(data_index(at));
    }
    const Limited stored = cw;
    ASSERT_EQ(decode(cw), std::pair(false, expected)) << p << " " << q;
    ASSERT_EQ(cw, stored);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Corrections,
                         testing::Values(1, 2, 3, 4, 5, 8, 11, 12, 26, 27, 32, 36, 57, 58, 64, 100, 120, 121, 256,
                                         1000));

TEST(Decode, SyndromePastTheCodewordIsDetected) {
  // Three flips whose positions XOR to 15 in a 13-bit codeword: odd parity, no bit 15.
  Limited cw = encode(Bytes{0xA5}).value();
  for (const std::uint64_t p : {5, 6, 12}) cw.flip_bit(p);
  const Limited stored = cw;
  Bytes out(1);
  EXPECT_EQ(decode_into(cw, std::span<std::uint8_t>(out)).value(), false);
  EXPECT_EQ(cw, stored);
}

TEST(Decode, DestinationErrorsAreReportedAfterTheCorrection) {
  Limited cw = encode(Bytes{0xA5}).value();
  cw.flip_bit(3);
  Bytes none;
  const auto empty = decode_into(cw, std::span<std::uint8_t>(none));
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error(), DecodeError::empty_destination());
  EXPECT_EQ(empty.error().message(), "the destination buffer cannot be empty");
  EXPECT_EQ(cw, encode(Bytes{0xA5}).value());

  Bytes two(2);
  const auto mismatch = decode_into(cw, std::span<std::uint8_t>(two));
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error().message(), "the encoded buffer should have 22 bits based on the destination, got 13");

  Limited nothing;
  Limited one_byte = Limited::zeros(8);
  const auto zero_limit = decode_into(nothing, one_byte);
  ASSERT_FALSE(zero_limit);
  EXPECT_EQ(zero_limit.error(), DecodeError::length_mismatch(13, 0));

  Limited no_bits = Limited::zeros(0);
  EXPECT_EQ(decode_into(cw, no_bits).error(), DecodeError::empty_destination());
}

TEST(LimitedBlock, HoldsOnlyTheBitsBelowItsLimit) {
  EXPECT_TRUE(Limited::create(Bytes(2), 9));
  EXPECT_FALSE(Limited::create(Bytes(2), 17));
  EXPECT_FALSE(Limited::create(Bytes(1), kMax));  // no wrap-around in 8 * bytes
  Limited block = limited({0x00, 0x00}, 13);
  block.set_1(0);
  block.set_1(12);
  block.flip_bit(9);
  block.set_0(0);
  EXPECT_EQ(Bytes(block.bytes().begin(), block.bytes().end()), (Bytes{0x00, 0x12}));
  EXPECT_TRUE(block.is_1(12));
  EXPECT_EQ(internal_error_of([&] { block.is_1(13); }), "13 is out of bounds");
  EXPECT_EQ(internal_error_of([&] { block.set_1(13); }), "13 is out of bounds");
  EXPECT_EQ(internal_error_of([&] { block.flip_bit(100); }), "100 is out of bounds");
}

}  // namespace
