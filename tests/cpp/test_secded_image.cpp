// The fast encoded image against the chunk pipeline, and its own edges.
#include <gtest/gtest.h>

#include "internal_error_text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "internal_error.hpp"
#include "memory/chunks.hpp"
#include "memory/encoding/secded.hpp"
#include "memory/encoding/secded_image.hpp"
#include "memory/encoding/secded_kernels.hpp"
#include "memory/fault.hpp"

namespace {

using corvane::InternalError;
using corvane::memory::FaultAt;
using corvane::memory::FaultKind;
using corvane::memory::chunks::ByteChunks;
using corvane::memory::chunks::DynChunks;
using corvane::memory::encoding::secded::data_position;
using corvane::memory::encoding::secded::encoded_bit_count;
using corvane::memory::encoding::secded::Image;
using corvane::memory::encoding::secded::ImageError;
using corvane::memory::encoding::secded::Kernel;
using corvane::memory::encoding::secded::kernel_supported;
using corvane::memory::encoding::secded::ScopedKernel;

template <class T>
using Runs = std::vector<std::vector<T>>;
using U16 = std::uint16_t;
using U32 = std::uint32_t;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
const std::string kTooFewBits =
    "these must match because the chunked buffer can potentially only have more bits, not less.";

template <class T>
std::vector<std::span<const T>> spans(const Runs<T>& runs) {
  return {runs.begin(), runs.end()};
}

template <class T>
corvane::Expected<Image, ImageError> encode(const Runs<T>& runs, std::uint64_t d) {
  const auto views = spans(runs);
  return Image::encode<T>(views, d);
}

U32 f32(float v) { return std::bit_cast<U32>(v); }

using corvane::testing::internal_error_of;

std::string assertion(std::uint64_t left, std::uint64_t right) {
  return "assertion `left == right` failed: " + kTooFewBits + "\n  left: " + std::to_string(left) +
         "\n right: " + std::to_string(right);
}

// Result vectors seen as one bit and byte space, as the copy back needs them.
template <class U>
class RunSink {
 public:
  explicit RunSink(Runs<U>& runs) : runs_(&runs) {}
  std::uint64_t bit_count() const { return 8 * byte_count(); }
  std::uint64_t byte_count() const {
    std::uint64_t total = 0;
    for (const auto& run : *runs_) total += run.size() * sizeof(U);
    return total;
  }
  void set_0(std::uint64_t g) { element(g / 8) &= static_cast<U>(~bit(g)); }
  void set_1(std::uint64_t g) { element(g / 8) |= bit(g); }
  void set_byte(std::uint64_t b, std::uint8_t v) {
    for (unsigned k = 0; k < 8; ++k) ((v >> k) & 1U) ? set_1(8 * b + k) : set_0(8 * b + k);
  }

 private:
  static U bit(std::uint64_t g) { return static_cast<U>(U{1} << (g % (8 * sizeof(U)))); }
  U& element(std::uint64_t byte) {
    for (auto& run : *runs_) {
      if (byte < run.size() * sizeof(U)) return run[byte / sizeof(U)];
      byte -= run.size() * sizeof(U);
    }
    throw std::out_of_range("sink");
  }
  Runs<U>* runs_;
};

// What the chunk pipeline decodes to; no arrays when it holds too few bits.
template <class U>
struct ReferenceDecoded {
  std::optional<Runs<U>> arrays;
  std::vector<bool> flags;
  std::uint64_t copied = 0;
  std::uint64_t needed = 0;
};

template <class U>
ReferenceDecoded<U> reference_decode(const DynChunks& codewords, std::uint64_t d, std::span<const std::size_t> counts) {
  auto decoded = corvane::memory::chunks::decode_chunks(codewords, d).value();
  ReferenceDecoded<U> out;
  Runs<U> arrays;
  for (const std::size_t count : counts) arrays.emplace_back(count);
  RunSink<U> sink(arrays);
  if (const auto* bytes = std::get_if<ByteChunks>(&decoded.first)) {
    out.copied = 8 * bytes->copy_into_chunked_offset(0, 0, sink).first;
  } else {
    out.copied = std::get<DynChunks>(decoded.first).copy_into_offset(0, 0, sink).first;
  }
  out.needed = sink.bit_count();
  out.flags = std::move(decoded.second);
  if (out.copied == out.needed) out.arrays = std::move(arrays);
  return out;
}

template <class T>
DynChunks reference_encode(const Runs<T>& runs, std::uint64_t d) {
  const auto views = spans(runs);
  return corvane::memory::chunks::encode_chunks(corvane::memory::chunks::from_buffer<T>(views, d).value());
}

void apply_to_reference(DynChunks& codewords, const FaultAt& f) {
  if (f.kind == FaultKind::Flip) return codewords.flip_bit(f.bit);
  f.kind == FaultKind::StuckAt1 ? codewords.set_1(f.bit) : codewords.set_0(f.bit);
}

void expect_same_bits(const Image& image, const DynChunks& codewords) {
  ASSERT_EQ(image.bit_count(), codewords.bit_count());
  for (std::uint64_t g = 0; g < image.bit_count(); ++g) ASSERT_EQ(image.is_1(g), codewords.is_1(g)) << "bit " << g;
}

template <class U>
void expect_same_decoding(const Image& image, const DynChunks& codewords) {
  const auto expected = reference_decode<U>(codewords, image.bits_per_chunk(), image.element_counts());
  if (!expected.arrays) {
    EXPECT_EQ(internal_error_of([&] { (void)image.decode<U>(); }), assertion(expected.copied, expected.needed));
    return;
  }
  const auto decoded = image.decode<U>();
  ASSERT_EQ(decoded.flags.to_vector(), expected.flags);
  ASSERT_EQ(decoded.arrays, *expected.arrays);
}

// Random runs (some empty) of about `bits` bits in all.
template <class T>
Runs<T> random_runs(std::mt19937_64& rng, std::uint64_t bits) {
  const std::size_t elements = std::max<std::size_t>(1, (bits + 8 * sizeof(T) - 1) / (8 * sizeof(T)));
  Runs<T> runs(1 + rng() % 4);
  for (std::size_t e = 0; e < elements; ++e) runs[rng() % runs.size()].push_back(static_cast<T>(rng()));
  if (rng() % 2) runs.insert(runs.begin() + static_cast<std::ptrdiff_t>(rng() % runs.size()), std::vector<T>{});
  return runs;
}

// 0 to 5 faults per codeword of every kind, aimed at the parity bit, the check
// bits, the data bits and the fill bits alike.
std::vector<FaultAt> random_faults(std::mt19937_64& rng, const Image& image, std::uint64_t data_bits) {
  const std::uint64_t d = image.bits_per_chunk(), n = image.codeword_bits(), r = n - d - 1;
  const std::uint64_t chunks = image.chunk_count();
  const std::uint64_t fill_from = data_bits - (chunks - 1) * d;  // in the last chunk
  std::vector<FaultAt> faults;
  for (std::uint64_t i = 0; i < chunks; ++i) {
    for (auto m = rng() % 6; m > 0; --m) {
      const auto aim = rng() % 4;
      const bool fill = aim == 3 && i + 1 == chunks && fill_from < d;
      const std::uint64_t p = aim == 0   ? 0
                              : aim == 1 ? std::uint64_t{1} << (rng() % r)
                                         : data_position(fill ? fill_from + rng() % (d - fill_from) : rng() % d);
      faults.push_back({static_cast<FaultKind>(rng() % 3), i * n + p});
    }
  }
  std::shuffle(faults.begin(), faults.end(), rng);
  return faults;
}

template <class T>
void differential_trial(std::uint64_t d, std::uint64_t target, std::mt19937_64& rng) {
  const Runs<T> runs = random_runs<T>(rng, target);
  std::uint64_t data_bits = 0;
  for (const auto& run : runs) data_bits += 8 * sizeof(T) * run.size();
  SCOPED_TRACE("d=" + std::to_string(d) + " data bits=" + std::to_string(data_bits) +
               " element bits=" + std::to_string(8 * sizeof(T)));

  DynChunks codewords = reference_encode(runs, d);
  Image image = encode(runs, d).value();
  ASSERT_NO_FATAL_FAILURE(expect_same_bits(image, codewords));

  const auto faults = random_faults(rng, image, data_bits);
  for (const auto& f : faults) apply_to_reference(codewords, f);
  // Half in one batch, the rest one by one: both keep the order.
  const auto half = static_cast<std::ptrdiff_t>(faults.size() / 2);
  image.apply_faults({faults.data(), faults.size() / 2});
  std::for_each(faults.begin() + half, faults.end(), [&](const FaultAt& f) { image.apply_fault(f); });
  ASSERT_NO_FATAL_FAILURE(expect_same_bits(image, codewords));

  ASSERT_NO_FATAL_FAILURE(expect_same_decoding<U16>(image, codewords));
  ASSERT_NO_FATAL_FAILURE(expect_same_decoding<U32>(image, codewords));
}

// Each bulk test runs once per kernel variant, forced, so that the variant the
// CPU would pick cannot hide a fault in the other.
using VariantCase = std::tuple<Kernel, std::uint64_t>;

class PerVariant : public testing::TestWithParam<VariantCase> {
 protected:
  void SetUp() override {
    if (!kernel_supported(std::get<0>(GetParam()))) GTEST_SKIP() << "variant not supported on this CPU";
    forced_.emplace(std::get<0>(GetParam()));
  }
  void TearDown() override { forced_.reset(); }
  std::uint64_t chunk_size() const { return std::get<1>(GetParam()); }

 private:
  std::optional<ScopedKernel> forced_;
};

std::string variant_name(const testing::TestParamInfo<VariantCase>& info) {
  return std::string(std::get<0>(info.param) == Kernel::Scalar ? "Scalar" : "Avx2") + "_" +
         std::to_string(std::get<1>(info.param));
}

template <class Sizes>
auto per_variant(Sizes sizes) {
  return testing::Combine(testing::Values(Kernel::Scalar, Kernel::Avx2), sizes);
}

class Differential : public PerVariant {};

// A few chunks: every boundary case of the last chunk and its fill bits.
TEST_P(Differential, ImageMatchesTheChunkPipelineBitForBit) {
  const std::uint64_t d = chunk_size();
  std::mt19937_64 rng(d * 7919);
  for (int trial = 0; trial < 4; ++trial) {
    ASSERT_NO_FATAL_FAILURE(differential_trial<U16>(d, 1 + rng() % (7 * d / 2 + 100), rng));
    ASSERT_NO_FATAL_FAILURE(differential_trial<U32>(d, 1 + rng() % (7 * d / 2 + 100), rng));
  }
}

class ManyChunks : public PerVariant {};

// Hundreds of chunks: the bulk paths, which take whole groups of 64 chunks.
TEST_P(ManyChunks, ImageMatchesTheChunkPipelineBitForBit) {
  const std::uint64_t d = chunk_size();
  std::mt19937_64 rng(d * 104729);
  ASSERT_NO_FATAL_FAILURE(differential_trial<U32>(d, d * (140 + rng() % 120), rng));
  ASSERT_NO_FATAL_FAILURE(differential_trial<U16>(d, d * (140 + rng() % 120), rng));
}

std::vector<std::uint64_t> chunk_sizes() {
  std::vector<std::uint64_t> sizes;
  for (std::uint64_t d = 1; d <= 300; ++d) sizes.push_back(d);
  // Past 300: region changes of the code at 502, 1013, 2036, 4083, 8178, 16369.
  for (const std::uint64_t d : {502, 503, 512, 1000, 1024, 4096, 8192, 8200, 20000}) sizes.push_back(d);
  return sizes;
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, Differential, per_variant(testing::ValuesIn(chunk_sizes())), variant_name);
INSTANTIATE_TEST_SUITE_P(ChunkSizes, ManyChunks,
                         per_variant(testing::Values<std::uint64_t>(1, 2, 3, 5, 7, 8, 12, 15, 16, 24, 30, 32, 33, 36,
                                                                    40, 48, 56, 60, 63, 64, 65, 100, 1000)),
                         variant_name);

TEST(ImageEncode, OneFloatInA32BitChunk) {
  const Image image = encode(Runs<U32>{{f32(1.0f)}}, 32).value();
  EXPECT_EQ(image.bit_count(), 39U);
  const std::vector<std::uint8_t> codeword = {0x01, 0x01, 0x01, 0xE0, 0x1E};
  for (std::uint64_t g = 0; g < 39; ++g) EXPECT_EQ(image.is_1(g), ((codeword[g / 8] >> (g % 8)) & 1U) != 0) << g;
  const auto decoded = image.decode<U32>();
  EXPECT_EQ(decoded.arrays, (Runs<U32>{{f32(1.0f)}}));
  EXPECT_EQ(decoded.flags.to_vector(), std::vector<bool>{true});
}

struct LayoutCase {
  std::uint64_t elements, d, chunks, bit_count;
};

class ImageLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(ImageLayout, CountsChunksAndBits) {
  const auto& c = GetParam();
  const Image image = encode(Runs<U32>{std::vector<U32>(c.elements, 7)}, c.d).value();
  EXPECT_EQ(image.chunk_count(), c.chunks);
  EXPECT_EQ(image.bit_count(), c.bit_count);
  EXPECT_EQ(image.codeword_bits(), encoded_bit_count(c.d).value());
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageLayout,
                         testing::Values(LayoutCase{3, 40, 3, 141}, LayoutCase{3, 36, 3, 129},
                                         LayoutCase{3, 1000, 1, 1011}, LayoutCase{1, 1, 32, 128},
                                         LayoutCase{2, 1u << 20, 1, (1u << 20) + 22},
                                         // Far past the data: the fill bits cost nothing until a fault sets one.
                                         LayoutCase{1, std::uint64_t{1} << 62, 1, (std::uint64_t{1} << 62) + 64},
                                         LayoutCase{1, kMax - 65, 1, kMax}));

TEST(ImageEncode, RefusesWhatCannotBeChunked) {
  const auto message = [](const auto& made) { return made.error().message(); };
  EXPECT_EQ(message(encode(Runs<U16>{}, 8)), "Cannot chunk an empty buffer");
  EXPECT_EQ(message(encode(Runs<U16>{{}, {}}, 0)), "Cannot chunk an empty buffer");
  EXPECT_EQ(message(encode(Runs<U16>{{0}}, 0)), "The chunk size has to be non-zero");
  EXPECT_EQ(message(encode(Runs<U16>{{0}}, kMax)), "bits_per_chunk 18446744073709551615 is too large");
  EXPECT_EQ(message(encode(Runs<U32>{{0}}, kMax - 64)), "bits_per_chunk 18446744073709551551 is too large");
}

const Runs<U32> kFloats = {{f32(1.0f), f32(-2.0f), f32(0.5f)}, {}, {f32(3.25f), f32(1e-3f)}};
constexpr std::uint64_t kN = 39;  // codeword bits of 32-bit chunks

struct FaultCase {
  std::vector<FaultAt> faults;
  U32 chunk_1_mask;  // the bits of element 1 (chunk 1) that decode flipped
  std::vector<bool> flags;
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, DecodeAsTheCodeDecides) {
  Image image = encode(kFloats, 32).value();
  image.apply_faults(GetParam().faults);
  Runs<U32> expected = kFloats;
  expected[0][1] ^= GetParam().chunk_1_mask;
  const auto decoded = image.decode<U32>();
  EXPECT_EQ(decoded.arrays, expected);
  EXPECT_EQ(decoded.flags.to_vector(), GetParam().flags);
}

const std::vector<bool> kAllClean(5, true);
INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    testing::Values(FaultCase{{{FaultKind::Flip, kN + 3}}, 0, kAllClean},  // data bit 0: corrected
                    FaultCase{{{FaultKind::Flip, kN + 3}, {FaultKind::Flip, kN + 5}},
                              0b11,
                              {true, false, true, true, true}},  // two errors: data as stored
                    FaultCase{{{FaultKind::Flip, kN}}, 0, {true, false, true, true, true}},  // the parity bit alone
                    // Data bit 30 of -2.0f is 1 already: with it, one flip stays one error.
                    FaultCase{{{FaultKind::StuckAt1, kN + 37}, {FaultKind::Flip, kN + 3}}, 0, kAllClean}));

TEST(ImageFaults, OutOfBoundsTargetsAreFoundBeforeAnythingChanges) {
  Image image = encode(kFloats, 32).value();
  const std::vector<FaultAt> faults = {{FaultKind::Flip, 3}, {FaultKind::Flip, 5 * kN}, {FaultKind::Flip, kMax}};
  EXPECT_EQ(image.first_out_of_bounds(faults), std::optional<std::size_t>(1));
  EXPECT_EQ(image.first_out_of_bounds({faults.data(), 1}), std::nullopt);
  EXPECT_EQ(internal_error_of([&] { image.apply_faults(faults); }), "195 is out of bounds");
  EXPECT_FALSE(image.is_1(3));
}

TEST(ImageFaults, NeitherDecodingNorACloneSharesState) {
  Image image = encode(kFloats, 32).value();
  const Image clone = image;
  image.flip_bit(kN + 10);
  const auto first = image.decode<U32>();
  EXPECT_EQ(first.arrays, kFloats);                     // corrected in the output...
  EXPECT_NE(image.is_1(kN + 10), clone.is_1(kN + 10));  // ...not in the image
  EXPECT_EQ(image.decode<U32>().arrays, first.arrays);
  image.flip_bit(kN + 11);
  EXPECT_EQ(clone.decode<U32>().flags.to_vector(), kAllClean);
}

TEST(ImageDecode, TheOtherElementTypeReadsTheSameBits) {
  // uint16 read from float32 data: as many values as floats, from the start.
  const Image floats = encode(Runs<U32>{{0x22221111, 0x44443333}, {0x66665555}}, 40).value();
  EXPECT_EQ(floats.decode<U16>().arrays, (Runs<U16>{{0x1111, 0x2222}, {0x3333}}));

  // float32 from uint16 data needs twice the bits: enough here thanks to the fill bits...
  const Image halves = encode(Runs<U16>{{0x1111, 0x2222}, {0x3333}}, 100).value();
  EXPECT_EQ(halves.decode<U32>().arrays, (Runs<U32>{{0x22221111, 0x00003333}, {0}}));
  // ...but not here.
  const Image tight = encode(Runs<U16>{{0x1111}}, 16).value();
  EXPECT_EQ(internal_error_of([&] { (void)tight.decode<U32>(); }), assertion(16, 32));
}

TEST(ImageDecode, DecodeIntoWritesEveryElement) {
  const Runs<U16> input = {{1, 2, 3, 4, 5}};
  Image image = encode(input, 48).value();
  image.apply_faults(std::vector<FaultAt>{{FaultKind::StuckAt1, 55 + 9}});  // chunk 1, data bit 4
  std::vector<U32> out(3, 0xDEADBEEF);
  const std::vector<std::span<U32>> outputs = {out};
  EXPECT_EQ(image.decode_into<U32>(outputs).to_vector(), (std::vector<bool>{true, true}));
  EXPECT_EQ(out, (std::vector<U32>{0x00020001, 0x00040003, 0x00000005}));
}

TEST(HugeChunks, FillBitsAreFaultTargetsLikeAnyOther) {
  const std::uint64_t d = std::uint64_t{1} << 62;
  Image image = encode(Runs<U16>{{0xABCD, 0x1234}}, d).value();
  EXPECT_LT(image.memory_bytes(), 4096U);
  const std::uint64_t last = image.bit_count() - 1;  // a fill bit
  EXPECT_FALSE(image.is_1(last));

  // One error in the fill bits is corrected like any other.
  image.set_1(last);
  auto decoded = image.decode<U32>();
  EXPECT_EQ(decoded.arrays, (Runs<U32>{{0x1234ABCD, 0x00000000}}));
  EXPECT_EQ(decoded.flags.to_vector(), std::vector<bool>{true});

  // Two are detected, and the stored fill bits show through where data are read.
  const std::uint64_t fill_bit_40 = data_position(40);
  image.flip_bit(fill_bit_40);
  decoded = image.decode<U32>();
  EXPECT_EQ(decoded.arrays, (Runs<U32>{{0x1234ABCD, 0x00000100}}));
  EXPECT_EQ(decoded.flags.to_vector(), std::vector<bool>{false});

  image.apply_faults(std::vector<FaultAt>{{FaultKind::StuckAt0, last}, {FaultKind::Flip, fill_bit_40}});
  EXPECT_EQ(image.decode<U32>().flags.to_vector(), std::vector<bool>{true});
}

// The little-endian bytes of runs laid end to end.
template <class T>
std::vector<std::uint8_t> concatenated_bytes(const Runs<T>& runs) {
  std::vector<std::uint8_t> bytes;
  for (const auto& run : runs) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(run.data());
    bytes.insert(bytes.end(), p, p + run.size() * sizeof(T));
  }
  return bytes;
}

class Blocks : public PerVariant {};

// Inputs spanning many decoding blocks and pool pieces, in two runs that
// split mid-block: every byte comes back, and each correction or detection
// lands in its own chunk.
TEST_P(Blocks, DecodingCoversEveryBlock) {
  const std::uint64_t d = chunk_size();
  std::mt19937_64 rng(d * 31);
  Runs<U32> input = {std::vector<U32>(600011), std::vector<U32>(200005)};  // 3.2 MB
  for (auto& run : input) std::generate(run.begin(), run.end(), [&] { return static_cast<U32>(rng()); });
  Image image = encode(input, d).value();
  const std::uint64_t n = image.codeword_bits(), chunks = image.chunk_count();

  std::vector<std::uint8_t> expected = concatenated_bytes(input);
  const auto flip_expected = [&](std::uint64_t bit) {
    if (bit < 8 * expected.size()) expected[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
  };
  std::vector<bool> flags(chunks, true);
  std::vector<FaultAt> faults;
  for (std::uint64_t i = rng() % 7; i < chunks; i += 1 + rng() % 97) {
    const std::uint64_t j = rng() % d;
    faults.push_back({FaultKind::Flip, i * n + data_position(j)});
    if (d > 1 && rng() % 2 == 0) {
      const std::uint64_t k = (j + 1 + rng() % (d - 1)) % d;
      faults.push_back({FaultKind::Flip, i * n + data_position(k)});
      flags[i] = false;
      flip_expected(i * d + j);
      flip_expected(i * d + k);
    }
  }
  image.apply_faults(faults);

  const auto wide = image.decode<U32>();
  EXPECT_EQ(wide.flags.to_vector(), flags);
  EXPECT_TRUE(concatenated_bytes(wide.arrays) == expected);
  const auto narrow = image.decode<U16>();
  EXPECT_EQ(narrow.flags.to_vector(), flags);
  const auto halves = concatenated_bytes(narrow.arrays);
  ASSERT_EQ(halves.size(), expected.size() / 2);
  EXPECT_TRUE(std::equal(halves.begin(), halves.end(), expected.begin()));
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, Blocks,
                         per_variant(testing::Values<std::uint64_t>(1, 7, 36, 64, 1000, 4096, 100000)), variant_name);

class Memory : public testing::TestWithParam<std::uint64_t> {};

// At most 1.05 times the encoded size of the data, plus a small constant.
TEST_P(Memory, StaysCloseToTheEncodedSize) {
  const std::uint64_t d = GetParam();
  const Runs<U32> input = {std::vector<U32>(1 << 16, 1), std::vector<U32>(1000, 2)};
  const Image image = encode(input, d).value();
  const double data_bytes = 4.0 * (input[0].size() + input[1].size());
  const double encoded = data_bytes * static_cast<double>(image.codeword_bits()) / static_cast<double>(d);
  EXPECT_LE(static_cast<double>(image.memory_bytes()), 1.05 * encoded + 1024) << d;
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, Memory, testing::Values(1, 3, 36, 64, 1000, 4096, 1 << 20));

}  // namespace
