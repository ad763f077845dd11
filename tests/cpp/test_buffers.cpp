// Bit numbering of values, vectors, strided arrays and sequences of them.
#include <gtest/gtest.h>

#include "internal_error_text.hpp"

#include <cstdint>
#include <random>
#include <vector>

#include "memory/bit_buffer.hpp"
#include "memory/byte_buffer.hpp"
#include "memory/sequence/non_uniform.hpp"
#include "memory/strided_array.hpp"

namespace corvane::memory {
namespace {

using bit_buffer::VectorBits;
using corvane::testing::internal_error_of;
using byte_buffer::VectorBytes;
using sequence::non_uniform::locate_in;
using sequence::non_uniform::NonUniformSequence;
using strided_array::StridedArray;

TEST(ValueBytes, LittleEndianWhateverTheHost) {
  EXPECT_EQ(byte_buffer::value_byte<std::uint16_t>(0x1234, 0), 0x34);
  EXPECT_EQ(byte_buffer::value_byte<std::uint16_t>(0x1234, 1), 0x12);
  EXPECT_EQ(byte_buffer::value_byte<float>(1.0f, 3), 0x3F);
  EXPECT_EQ(byte_buffer::value_byte<float>(1.0f, 0), 0x00);
  EXPECT_EQ(byte_buffer::value_byte<std::int32_t>(-2, 0), 0xFE);
}

TEST(ValueBytes, IndexPastTheEndIsAnInternalError) {
  EXPECT_EQ(internal_error_of([&] { byte_buffer::value_byte<std::uint16_t>(0x1234, 2); }), "buffer has 2 bytes, got index 2");
  EXPECT_THROW(byte_buffer::value_byte<float>(1.0f, 4), InternalError);
}

TEST(VectorBytes, ReadsAndWritesOneByteOfAnElement) {
  std::vector<float> v{1.0f, 2.0f};
  VectorBytes bytes(v);
  EXPECT_EQ(bytes.byte_count(), 8u);
  EXPECT_EQ(bytes.get_byte(3), 0x3F);
  EXPECT_EQ(bytes.get_byte(7), 0x40);
  bytes.set_byte(7, 0xC0);
  EXPECT_EQ(v[1], -2.0f);
  EXPECT_EQ(v[0], 1.0f);
  EXPECT_EQ(internal_error_of([&] { bytes.get_byte(9); }), "out of bounds, child_byte_count: 4, item_index: 2, index_in_item: 1");
  EXPECT_EQ(internal_error_of([&] { bytes.set_byte(8, 0); }), "8 is out of bounds");
}

TEST(VectorBits, BitGIsBitGModWOfElementGDivW) {
  std::vector<std::uint16_t> v{0, 0};
  VectorBits bits(v);
  bits.set_1(16 + 3);
  EXPECT_EQ(v[1], 8);
  EXPECT_TRUE(bits.is_1(19));
  bits.flip_bit(19);
  bits.flip_bit(0);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[1], 0);
  EXPECT_THROW(bits.set_0(32), InternalError);
}

// A 2x3 uint8 array in row-major memory.
struct Grid {
  std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(6, 0);
  std::int64_t shape[2] = {2, 3};
  std::int64_t strides[2] = {3, 1};
  StridedArray<std::uint8_t> view() { return {reinterpret_cast<std::byte*>(memory.data()), shape, strides}; }
};

TEST(StridedArray, FirstAxisVariesFastest) {
  struct Case {
    std::uint64_t bit;
    std::size_t row, col;
  };
  for (const Case c : {Case{8, 1, 0}, Case{16, 0, 1}, Case{40, 1, 2}, Case{7, 0, 0}}) {
    Grid g;
    g.view().set_1(c.bit);
    for (std::size_t r = 0; r < 2; ++r) {
      for (std::size_t k = 0; k < 3; ++k) {
        const bool hit = r == c.row && k == c.col;
        EXPECT_EQ(g.memory[r * 3 + k] != 0, hit) << "bit " << c.bit;
      }
    }
  }
}

TEST(StridedArray, NegativeAndByteGranularStrides) {
  std::vector<std::uint8_t> memory(3, 0);
  std::int64_t shape[1] = {3}, reversed[1] = {-1};
  StridedArray<std::uint8_t> view(reinterpret_cast<std::byte*>(memory.data() + 2), shape, reversed);
  view.set_1(0);
  EXPECT_EQ(memory, (std::vector<std::uint8_t>{0, 0, 1}));

  // uint16 elements 3 bytes apart, starting at an odd address.
  std::vector<std::uint8_t> packed(10, 0);
  std::int64_t stride3[1] = {3};
  StridedArray<std::uint16_t> odd(reinterpret_cast<std::byte*>(packed.data() + 1), shape, stride3);
  odd.set_1(16 + 8);
  EXPECT_EQ(packed, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
  EXPECT_TRUE(odd.is_1(24));
}

TEST(StridedArray, ZeroDimensionalHoldsOneElement) {
  std::uint16_t value = 0;
  StridedArray<std::uint16_t> scalar(reinterpret_cast<std::byte*>(&value), {}, {});
  EXPECT_EQ(scalar.bit_count(), 16u);
  scalar.flip_bit(15);
  EXPECT_EQ(value, 0x8000);
}

TEST(NonUniformSequence, LocateAndOffsetsAgreeWithEmptyItems) {
  // Items of 8, 0, 8 and 0 bits.
  std::vector<std::vector<std::uint8_t>> storage{{0}, {}, {0}, {}};
  std::vector<VectorBits<std::uint8_t>> items;
  for (auto& s : storage) items.emplace_back(s);
  NonUniformSequence<VectorBits<std::uint8_t>> seq(items);
  const auto table = seq.offsets();
  EXPECT_EQ(table, (std::vector<std::uint64_t>{0, 8, 8, 16, 16}));
  for (std::uint64_t g = 0; g < 16; ++g) {
    const auto linear = seq.locate(g);
    ASSERT_TRUE(linear.has_value());
    const auto binary = locate_in(table, g);
    EXPECT_EQ(linear->item, binary.item);
    EXPECT_EQ(linear->index, binary.index);
    EXPECT_EQ(linear->item, g < 8 ? 0u : 2u);
  }
  EXPECT_FALSE(seq.locate(16).has_value());
  EXPECT_THROW(locate_in(table, 16), InternalError);
  EXPECT_EQ(internal_error_of([&] { seq.apply_fault(FaultKind::Flip, 16); }), "out of bounds: OutOfBoundsError");
}

TEST(NonUniformSequence, NoItemsMeansEverythingIsOutOfBounds) {
  std::vector<VectorBits<std::uint8_t>> none;
  NonUniformSequence<VectorBits<std::uint8_t>> seq(none);
  EXPECT_EQ(seq.bit_count(), 0u);
  EXPECT_FALSE(seq.locate(0).has_value());
  EXPECT_EQ(seq.offsets(), std::vector<std::uint64_t>{0});
  EXPECT_EQ(internal_error_of([&] { locate_in(std::span<const std::uint64_t>{}, 0); }), "offsets always has at least one element");
}

TEST(NonUniformSequence, BatchEqualsOneByOneOnRandomLayouts) {
  std::mt19937_64 rng(42);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::vector<std::uint16_t>> a, b;
    const int n = static_cast<int>(rng() % 5) + 1;
    for (int k = 0; k < n; ++k) {
      std::vector<std::uint16_t> item(rng() % 4);
      for (auto& x : item) x = static_cast<std::uint16_t>(rng());
      a.push_back(item);
      b.push_back(item);
    }
    std::vector<VectorBits<std::uint16_t>> ia, ib;
    for (auto& s : a) ia.emplace_back(s);
    for (auto& s : b) ib.emplace_back(s);
    NonUniformSequence<VectorBits<std::uint16_t>> sa(ia), sb(ib);
    const std::uint64_t total = sa.bit_count();
    if (total == 0) continue;
    std::vector<FaultAt> faults;
    for (int i = 0; i < 20; ++i) faults.push_back({static_cast<FaultKind>(rng() % 3), rng() % total});
    sa.apply_faults(faults);
    for (const auto& f : faults) sb.apply_fault(f.kind, f.bit);
    EXPECT_EQ(a, b);
  }
}

TEST(FaultKinds, StuckAtAndFlipOnOneWord) {
  EXPECT_EQ(apply_fault_to_word<std::uint8_t>(0xFF, 0, FaultKind::StuckAt0), 0xFE);
  EXPECT_EQ(apply_fault_to_word<std::uint8_t>(0x00, 7, FaultKind::StuckAt1), 0x80);
  EXPECT_EQ(apply_fault_to_word<std::uint32_t>(0x3F800000, 31, FaultKind::Flip), 0xBF800000u);
  EXPECT_EQ(apply_fault_to_word<std::uint16_t>(0x0001, 0, FaultKind::StuckAt1), 0x0001);
}

}  // namespace
}  // namespace corvane::memory
