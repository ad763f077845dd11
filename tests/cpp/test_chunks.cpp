// Chunked buffers: cutting runs into chunks, their codewords, and the way back.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <span>
#include <variant>
#include <vector>

#include "internal_error.hpp"
#include "memory/chunks.hpp"
#include "memory/encoding/secded.hpp"
#include "memory/sequence/uniform.hpp"

namespace {

using corvane::InternalError;
using corvane::memory::chunks::ByteChunks;
using corvane::memory::chunks::Chunks;
using corvane::memory::chunks::ChunksCreationError;
using corvane::memory::chunks::decode_chunks;
using corvane::memory::chunks::DynChunks;
using corvane::memory::chunks::encode_chunks;
using corvane::memory::chunks::from_buffer;
using corvane::memory::limited::Limited;
using corvane::memory::sequence::uniform::NonMatchingItemError;
using corvane::memory::sequence::uniform::UniformSequence;
using Bytes = std::vector<std::uint8_t>;

template <class T>
using Runs = std::vector<std::vector<T>>;

template <class T>
std::vector<std::span<const T>> spans(const Runs<T>& runs) {
  return {runs.begin(), runs.end()};
}

template <class T>
corvane::Expected<Chunks, ChunksCreationError> chunk(const Runs<T>& runs, std::uint64_t c) {
  const auto views = spans(runs);
  return from_buffer<T>(views, c);
}

std::uint32_t f32(float v) { return std::bit_cast<std::uint32_t>(v); }

// Bit g of whatever chunks, by global index.
bool chunk_bit(const Chunks& chunks, std::uint64_t g) {
  if (const auto* bytes = std::get_if<ByteChunks>(&chunks)) return (bytes->get_byte(g / 8) >> (g % 8)) & 1U;
  return std::get<DynChunks>(chunks).is_1(g);
}

std::uint64_t chunk_bits(const Chunks& chunks) {
  return std::visit([](const auto& c) { return c.chunk_bits() * c.chunk_count(); }, chunks);
}

TEST(UniformSequenceCreation, ReportsTheFirstItemOfAnotherLength) {
  std::vector<Limited> items = {Limited::zeros(13), Limited::zeros(13), Limited::zeros(12), Limited::zeros(1)};
  const auto made = DynChunks::from_raw(items);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error(), NonMatchingItemError{2});
  EXPECT_EQ(made.error().message(), "item at index 2 has a different length than the rest of the sequence");

  const auto empty = DynChunks::from_raw({});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.value().chunk_count(), 0U);
  EXPECT_EQ(empty.value().bit_count(), 0U);
}

TEST(ChunkCreation, EmptyDataIsRefusedBeforeAZeroChunkSize) {
  for (const std::uint64_t c : {0, 1, 8, 36}) {
    EXPECT_EQ(chunk(Runs<std::uint32_t>{}, c).error(), ChunksCreationError::EmptyBuffer) << c;
    EXPECT_EQ(chunk(Runs<std::uint16_t>{{}, {}}, c).error(), ChunksCreationError::EmptyBuffer) << c;
  }
  EXPECT_EQ(chunk(Runs<std::uint16_t>{{0}}, 0).error(), ChunksCreationError::ZeroChunkSize);
  EXPECT_EQ(message(ChunksCreationError::EmptyBuffer), "Cannot chunk an empty buffer");
  EXPECT_EQ(message(ChunksCreationError::ZeroChunkSize), "The chunk size has to be non-zero");
}

struct ShapeCase {
  std::uint64_t c;
  bool bytes;
  std::size_t count;
  std::uint64_t codeword_bits;
  std::size_t codeword_bytes;
};

class ChunkShapes : public testing::TestWithParam<ShapeCase> {};

// Three float32 values: 96 data bits.
TEST_P(ChunkShapes, ThreeFloats) {
  const auto& s = GetParam();
  const Runs<std::uint32_t> runs = {{f32(1.0f), f32(-2.5f), f32(3.0e-5f)}};
  const Chunks chunks = chunk(runs, s.c).value();
  EXPECT_EQ(std::holds_alternative<ByteChunks>(chunks), s.bytes);
  std::visit([&](const auto& c) { EXPECT_EQ(c.chunk_count(), s.count); }, chunks);
  for (std::uint64_t g = 0; g < chunk_bits(chunks); ++g) {
    const bool expected = g < 96 && ((runs[0][g / 32] >> (g % 32)) & 1U);
    ASSERT_EQ(chunk_bit(chunks, g), expected) << g;
  }
  const DynChunks codewords = encode_chunks(chunks);
  EXPECT_EQ(codewords.chunk_count(), s.count);
  EXPECT_EQ(codewords.chunk_bits(), s.codeword_bits);
  EXPECT_EQ(codewords.chunks().front().bytes().size(), s.codeword_bytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkShapes,
                         testing::Values(ShapeCase{40, true, 3, 47, 6}, ShapeCase{36, false, 3, 43, 6},
                                         ShapeCase{1000, true, 1, 1011, 127}, ShapeCase{1001, false, 1, 1012, 127},
                                         ShapeCase{8, true, 12, 13, 2}, ShapeCase{1, false, 96, 4, 1},
                                         ShapeCase{96, true, 1, 104, 13}));

TEST(ChunkCreation, ArraysAreOneBitSpace) {
  const Runs<std::uint32_t> runs = {{0x11111111}, {0xAAAABBBB, 0xCCCCDDDD}};
  const Chunks chunks = chunk(runs, 48).value();
  const auto& first = std::get<ByteChunks>(chunks).chunks().front();
  EXPECT_EQ(first, (Bytes{0x11, 0x11, 0x11, 0x11, 0xBB, 0xBB}));
}

TEST(DecodeChunks, ALengthMismatchIsAnError) {
  DynChunks codewords = encode_chunks(chunk(Runs<std::uint16_t>{{1, 2}}, 8).value());  // 13-bit codewords
  const auto decoded = decode_chunks(std::move(codewords), 16);
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().message(),
            "The data bits count must be invalid because a length mismatch was detected during decoding: the encoded "
            "buffer should have 22 bits based on the destination, got 13");

  DynChunks bit_codewords = encode_chunks(chunk(Runs<std::uint16_t>{{1}}, 5).value());  // 10 bits
  EXPECT_EQ(decode_chunks(std::move(bit_codewords), 7).error().inner.expected(), 12U);
}

TEST(DecodeChunks, NoCodewordsIsAnInternalError) {
  try {
    (void)decode_chunks(DynChunks::from_raw({}).value(), 8);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "assertion failed: chunks > 0");
  }
}

}  // namespace
