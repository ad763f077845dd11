// The AVX2 kernels, for chunks of 64 bits, the common case.
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "cpu_features.hpp"
#include "memory/encoding/secded_kernels.hpp"

#if CORVANE_X86_64
#include <immintrin.h>

namespace corvane::memory::encoding::secded::kernels {
namespace {

// Chunks of 64 bits, the common case, with AVX2: every chunk is one word and
// its field (parity bit and 7 check bits) one byte, so 32 chunks are done at
// once. Their bytes are transposed so that one register holds byte b of all
// of them; the table of byte b, split in two 16-entry tables by nibble
// (the map is linear), is then one pshufb per nibble.
struct Avx2Tables {
  __m256i low[8];
  __m256i high[8];
};

// Fields of chunks 0..15 and 16..31 of a block.
struct Fields32 {
  __m128i low;
  __m128i high;
};

CORVANE_TARGET_AVX2 Avx2Tables avx2_tables(const Layout& layout) {
  Avx2Tables t;
  for (unsigned b = 0; b < 8; ++b) {
    alignas(32) std::array<std::uint8_t, 32> low{}, high{};
    for (unsigned v = 0; v < 16; ++v) {
      low[v] = low[v + 16] = static_cast<std::uint8_t>(layout.tables[b][v]);
      high[v] = high[v + 16] = static_cast<std::uint8_t>(layout.tables[b][v << 4]);
    }
    t.low[b] = _mm256_load_si256(reinterpret_cast<const __m256i*>(low.data()));
    t.high[b] = _mm256_load_si256(reinterpret_cast<const __m256i*>(high.data()));
  }
  return t;
}

// The fields of the 32 chunks at `words`, in chunk order (chunks 0..15, 16..31).
CORVANE_TARGET_AVX2 inline Fields32 fields_of_32(const std::uint64_t* words, const Avx2Tables& t) {
  // In each 128-bit lane: the bytes of its two chunks interleaved, then pairs,
  // quads and octets of registers merged, ending with one register per byte
  // position whose lane 0 holds chunks 0,1,4,5,...,28,29 and lane 1 2,3,6,7,...
  const __m256i pair_bytes = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 0, 8, 1, 9, 2, 10,
                                              3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
  __m256i y[8];
  for (unsigned m = 0; m < 8; ++m) {
    y[m] = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + std::size_t{4} * m)),
                               pair_bytes);
  }
  __m256i z[8];
  for (std::size_t p = 0; p < 4; ++p) {
    z[p] = _mm256_unpacklo_epi16(y[2 * p], y[2 * p + 1]);      // positions 0..3
    z[p + 4] = _mm256_unpackhi_epi16(y[2 * p], y[2 * p + 1]);  // positions 4..7
  }
  __m256i w[8];
  for (unsigned h = 0; h < 2; ++h) {
    for (unsigned q = 0; q < 2; ++q) {
      w[4 * h + 2 * q] = _mm256_unpacklo_epi32(z[4 * h + 2 * q], z[4 * h + 2 * q + 1]);
      w[4 * h + 2 * q + 1] = _mm256_unpackhi_epi32(z[4 * h + 2 * q], z[4 * h + 2 * q + 1]);
    }
  }
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  __m256i acc = _mm256_setzero_si256();
  for (unsigned h = 0; h < 2; ++h) {
    for (unsigned q = 0; q < 2; ++q) {
      const __m256i a = w[4 * h + q], b = w[4 * h + 2 + q];
      const __m256i by_position[2] = {_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b)};
      for (unsigned e = 0; e < 2; ++e) {
        const unsigned position = 4 * h + 2 * q + e;
        const __m256i v = by_position[e];
        acc = _mm256_xor_si256(acc, _mm256_shuffle_epi8(t.low[position], _mm256_and_si256(v, nibble)));
        acc = _mm256_xor_si256(
            acc, _mm256_shuffle_epi8(t.high[position], _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
      }
    }
  }
  const __m128i lane0 = _mm256_castsi256_si128(acc), lane1 = _mm256_extracti128_si256(acc, 1);
  return {_mm_unpacklo_epi16(lane0, lane1), _mm_unpackhi_epi16(lane0, lane1)};
}

// Whether a group is all 32-chunk blocks the vector kernel may take: whole, and
// without the last chunk, which alone has fill bits.
bool vector_group(const View& v, std::uint64_t g) { return (g + 1) * kGroupChunks < v.chunks; }

}  // namespace

CORVANE_TARGET_AVX2 void encode_groups_avx2(const View& v, std::uint64_t g0, std::uint64_t g1,
                                            std::uint64_t* fields_out) {
  const Avx2Tables t = avx2_tables(*v.layout);
  for (std::uint64_t g = g0; g < g1; ++g) {
    if (!vector_group(v, g)) {
      encode_groups_scalar(v, g, g + 1, fields_out);
      continue;
    }
    for (std::uint64_t i = g * kGroupChunks; i < (g + 1) * kGroupChunks; i += 32) {
      const auto [low, high] = fields_of_32(v.data + i, t);
      auto* out = reinterpret_cast<unsigned char*>(fields_out) + i;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), high);
    }
  }
}

CORVANE_TARGET_AVX2 void decode_groups_avx2(const View& v, std::uint64_t g0, std::uint64_t g1,
                                            const std::uint64_t* stored, std::uint64_t needed,
                                            std::uint64_t* flag_words, std::vector<std::uint64_t>& flips) {
  const Avx2Tables t = avx2_tables(*v.layout);
  const auto* stored_bytes = reinterpret_cast<const unsigned char*>(stored);
  for (std::uint64_t g = g0; g < g1; ++g) {
    if (!vector_group(v, g)) {
      decode_groups_scalar(v, g, g + 1, stored, needed, flag_words, flips);
      continue;
    }
    std::uint64_t flags = 0;
    for (std::uint64_t i = g * kGroupChunks; i < (g + 1) * kGroupChunks; i += 32) {
      const auto [low, high] = fields_of_32(v.data + i, t);
      alignas(16) std::array<std::uint8_t, 32> diff;
      _mm_store_si128(reinterpret_cast<__m128i*>(diff.data()),
                      _mm_xor_si128(low, _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored_bytes + i))));
      _mm_store_si128(reinterpret_cast<__m128i*>(diff.data() + 16),
                      _mm_xor_si128(high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored_bytes + i + 16))));
      const __m256i all = _mm256_load_si256(reinterpret_cast<const __m256i*>(diff.data()));
      auto clean = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(all, _mm256_setzero_si256())));
      for (std::uint32_t dirty = ~clean; dirty != 0; dirty &= dirty - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(dirty));
        const std::uint64_t e = diff[k];
        if (classify(e >> 1, parity(e), i + k, *v.layout, needed, flips)) clean |= 1U << k;
      }
      flags |= std::uint64_t{clean} << (i % kGroupChunks);
    }
    flag_words[g] = flags;
  }
}

}  // namespace corvane::memory::encoding::secded::kernels
#endif  // CORVANE_X86_64
