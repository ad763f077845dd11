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

// A destination of fixed size for the copy operations, in bits and bytes.
struct Sink {
  std::vector<bool> bits;
  std::uint64_t bit_count() const { return bits.size(); }
  void set_0(std::uint64_t g) { bits.at(g) = false; }
  void set_1(std::uint64_t g) { bits.at(g) = true; }
  std::uint64_t byte_count() const { return bits.size() / 8; }
  void set_byte(std::uint64_t b, std::uint8_t v) {
    for (unsigned k = 0; k < 8; ++k) bits.at(8 * b + k) = ((v >> k) & 1U) != 0;
  }
};

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

TEST(UniformSequenceCreation, AddressesItemsEndToEnd) {
  auto seq = UniformSequence<Limited>::create({Limited::zeros(5), Limited::zeros(5)}).value();
  seq.set_1(5);
  seq.flip_bit(9);
  seq.flip_bit(9);
  seq.set_1(4);
  seq.set_0(4);
  EXPECT_TRUE(seq.items()[1].is_1(0));
  EXPECT_FALSE(seq.is_1(9));
  EXPECT_FALSE(seq.items()[0].is_1(4));
  try {
    seq.set_1(10);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 2 but the index is 2");
  }
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

TEST(ChunkCreation, Uint16RunsKeepElementOrderAndBitOrder) {
  const Runs<std::uint16_t> runs = {{0x8001}, {}, {0x0003}};
  const Chunks chunks = chunk(runs, 5).value();
  // Bits 0, 15, 16, 17 set: chunk 0 bit 0, chunk 3 bits 0..2 (15, 16, 17), zero-filled to 35 bits.
  const auto& dyn = std::get<DynChunks>(chunks);
  ASSERT_EQ(dyn.chunk_count(), 7U);
  for (std::uint64_t g = 0; g < dyn.bit_count(); ++g) EXPECT_EQ(dyn.is_1(g), g == 0 || (g >= 15 && g <= 17)) << g;
}

// Byte chunks and bit chunks of the same data and size give the same codewords.
TEST(EncodeChunks, ByteAndBitChunksAgree) {
  std::mt19937_64 rng(7);
  Runs<std::uint16_t> runs(3);
  for (auto& run : runs) {
    run.resize(rng() % 20);
    for (auto& v : run) v = static_cast<std::uint16_t>(rng());
  }
  for (const std::uint64_t c : {8, 16, 24, 64, 200}) {
    const auto bytes = chunk(runs, c).value();
    const std::uint64_t total = chunk_bits(bytes);
    DynChunks bits = DynChunks::zero(total, c).value();
    for (std::uint64_t g = 0; g < total; ++g) {
      if (chunk_bit(bytes, g)) bits.set_1(g);
    }
    const auto from_bytes = encode_chunks(bytes).chunks();
    const auto from_bits = encode_chunks(Chunks(std::move(bits))).chunks();
    EXPECT_EQ(from_bytes, from_bits) << c;
  }
}

TEST(DecodeChunks, CleanCodewordsGiveTheDataChunksBack) {
  std::mt19937_64 rng(11);
  Runs<std::uint32_t> runs = {std::vector<std::uint32_t>(9)};
  for (auto& v : runs[0]) v = static_cast<std::uint32_t>(rng());
  for (const std::uint64_t c : {1, 7, 8, 36, 64, 100, 288}) {
    const Chunks data = chunk(runs, c).value();
    const auto decoded = decode_chunks(encode_chunks(data), c);
    ASSERT_TRUE(decoded) << c;
    const auto& [chunks, flags] = decoded.value();
    EXPECT_EQ(chunks.index(), data.index()) << c;
    EXPECT_EQ(flags, std::vector<bool>(flags.size(), true));
    ASSERT_EQ(chunk_bits(chunks), chunk_bits(data));
    for (std::uint64_t g = 0; g < chunk_bits(data); ++g) ASSERT_EQ(chunk_bit(chunks, g), chunk_bit(data, g)) << c;
  }
}

TEST(DecodeChunks, FaultsAreFlaggedPerChunk) {
  const Runs<std::uint32_t> runs = {{f32(1.0f), f32(2.0f), f32(3.0f)}};
  DynChunks codewords = encode_chunks(chunk(runs, 32).value());
  codewords.flip_bit(39 + 3);      // chunk 1: corrected
  codewords.flip_bit(2 * 39 + 3);  // chunk 2: two errors
  codewords.flip_bit(2 * 39 + 5);
  const auto [chunks, flags] = decode_chunks(std::move(codewords), 32).value();
  EXPECT_EQ(flags, (std::vector<bool>{true, true, false}));
  const auto& out = std::get<ByteChunks>(chunks).chunks();
  EXPECT_EQ(out[1], (Bytes{0x00, 0x00, 0x00, 0x40}));
  EXPECT_EQ(out[2], (Bytes{0x03, 0x00, 0x40, 0x40}));  // data bits 0 and 1 as stored
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

struct CopyCase {
  std::uint64_t source, a, destination, b, copied;
  bool fitted;
};

class Copies : public testing::TestWithParam<CopyCase> {};

TEST_P(Copies, BitsAndBytesFollowOneContract) {
  const auto& c = GetParam();
  // Source bits: 1 at every position divisible by 3.
  DynChunks bits = DynChunks::zero(8 * c.source, 8 * c.source).value();
  std::vector<std::vector<std::uint8_t>> byte_chunk(1, Bytes(c.source));
  for (std::uint64_t g = 0; g < 8 * c.source; g += 3) {
    bits.set_1(g);
    byte_chunk[0][g / 8] |= static_cast<std::uint8_t>(1U << (g % 8));
  }
  const ByteChunks bytes(byte_chunk, 8 * c.source);

  Sink bit_sink{std::vector<bool>(8 * c.destination)};
  EXPECT_EQ(bits.copy_into_offset(8 * c.a, 8 * c.b, bit_sink), std::pair(8 * c.copied, c.fitted));
  Sink byte_sink{std::vector<bool>(8 * c.destination)};
  EXPECT_EQ(bytes.copy_into_chunked_offset(c.a, c.b, byte_sink), std::pair(c.copied, c.fitted));
  EXPECT_EQ(bit_sink.bits, byte_sink.bits);
  for (std::uint64_t i = 0; i < 8 * c.destination; ++i) {
    const bool copied = i >= 8 * c.b && i < 8 * (c.b + c.copied);
    const std::uint64_t from = i - 8 * c.b + 8 * c.a;
    EXPECT_EQ(bit_sink.bits[i], copied && from % 3 == 0) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Contract, Copies,
                         testing::Values(CopyCase{6, 0, 4, 0, 4, false}, CopyCase{3, 0, 5, 0, 3, true},
                                         CopyCase{4, 0, 4, 0, 4, true}, CopyCase{4, 1, 4, 2, 2, false},
                                         CopyCase{4, 4, 4, 0, 0, true}, CopyCase{4, 0, 4, 4, 0, false}));

}  // namespace
