#include "memory/encoding/secded_image.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <mutex>
#include <numeric>
#include <type_traits>

#include "internal_error.hpp"
#include "memory/encoding/secded.hpp"
#include "parallel/pool.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// The kernels are built for baseline x86-64 and again for CPUs with POPCNT
// and with AVX2, picked at load time.
#if defined(__x86_64__) || defined(__i386__)
#define CORVANE_POPCNT_CLONES __attribute__((target_clones("avx2", "popcnt", "default")))
#else
#define CORVANE_POPCNT_CLONES
#endif

namespace corvane::memory::encoding::secded {

// The image is the input's bytes in memory order read as 64-bit words.
static_assert(std::endian::native == std::endian::little, "the encoded image assumes a little-endian host");

namespace {

constexpr std::uint64_t kOnes = ~std::uint64_t{0};

// Work units of the pool: copies go by blocks of bytes, redundancy by groups
// of 64 chunks, whose fields (64 * (r + 1) bits) and flags fill whole words,
// so that no two pieces ever write the same word.
constexpr std::uint64_t kCopyBlockBytes = std::uint64_t{1} << 20;
constexpr std::uint64_t kGroupChunks = 64;
// Decoding copies the data out in blocks of about this many bytes, small
// enough to be still in the core's cache after their chunks were checked.
constexpr std::uint64_t kDecodeBlockBytes = std::uint64_t{128} << 10;

// Allocations from this size on ask for transparent huge pages: first-touch
// page faults otherwise cost several times the copy itself.
constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugePageThreshold) return;
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // advice only
#endif
}

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

[[gnu::always_inline]] inline std::uint64_t low_mask(std::uint64_t bits) {
  return bits >= 64 ? kOnes : (std::uint64_t{1} << bits) - 1;
}

[[gnu::always_inline]] inline std::uint64_t parity(std::uint64_t x) {
  return static_cast<std::uint64_t>(std::popcount(x)) & 1U;
}

// The 64 bits from bit o on; words[o / 64 + 1] must exist.
[[gnu::always_inline]] inline std::uint64_t read64(const std::uint64_t* words, std::uint64_t o) {
  const std::uint64_t q = o >> 6;
  const unsigned s = o & 63;
  return (words[q] >> s) | ((words[q + 1] << 1) << (63 - s));
}

// Bit i of kIndexBit[t] is bit t of i.
constexpr std::array<std::uint64_t, 6> kIndexBit = {0xAAAAAAAAAAAAAAAA, 0xCCCCCCCCCCCCCCCC, 0xF0F0F0F0F0F0F0F0,
                                                    0xFF00FF00FF00FF00, 0xFFFF0000FFFF0000, 0xFFFFFFFF00000000};

// Chunk sizes up to 64 bits whose period lcm(d, 8) spans at most this many
// bytes use byte tables (at most 32 KiB of them, so they stay in L1).
constexpr unsigned kMaxTableBytes = 16;

// A codeword's shape, and what the kernels precompute for it.
//
// Every chunk's redundancy is one field of r + 1 bits: the overall parity bit,
// then the r check bits. Check bit k is the parity of the data bits whose
// position has bit k set, so the field is a linear function of the data
// (over GF(2)), parity bit included: a data bit at position p contributes
// 1 ^ parity(p) to it and p to the check bits.
//
// `head[w][k]` masks the bits of data word w (< 2) whose position has bit k set.
//
// For d <= 64 the bytes [m * P, (m + 1) * P) hold exactly the chunks
// [m * C, (m + 1) * C), P = d / gcd(d, 8) and C = 8 / gcd(d, 8), and
// `tables[b][v]` is what value v at byte b of such a period adds to their C
// fields, laid side by side (C * (r + 1) <= 64 bits).
struct Layout {
  std::uint64_t d = 0;
  std::uint64_t n = 0;
  unsigned r = 0;
  unsigned field = 0;  // r + 1
  std::array<std::array<std::uint64_t, 64>, 2> head{};
  unsigned period_bytes = 0;   // P; 0 without tables
  unsigned period_chunks = 0;  // C
  std::vector<std::array<std::uint64_t, 256>> tables;

  Layout(std::uint64_t d_, std::uint64_t n_, unsigned r_) : d(d_), n(n_), r(r_), field(r_ + 1) {
    for (std::uint64_t j = 0; j < std::min<std::uint64_t>(d, 128); ++j) {
      const std::uint64_t p = data_position(j);
      for (unsigned k = 0; k < r; ++k) {
        if ((p >> k) & 1U) head[j / 64][k] |= std::uint64_t{1} << (j % 64);
      }
    }
    if (d > 64) return;
    const unsigned g = std::gcd(static_cast<unsigned>(d), 8U);
    if (d / g > kMaxTableBytes) return;
    period_bytes = static_cast<unsigned>(d / g);
    period_chunks = 8 / g;
    tables.resize(period_bytes);
    for (unsigned b = 0; b < period_bytes; ++b) {
      for (unsigned v = 1; v < 256; ++v) {
        const unsigned t = static_cast<unsigned>(std::countr_zero(v));
        const std::uint64_t chunk = (8 * b + t) / d, p = data_position((8 * b + t) % d);
        const std::uint64_t field_bits = (p << 1) | (1U ^ (std::popcount(p) & 1U));
        tables[b][v] = tables[b][v & (v - 1)] ^ (field_bits << (chunk * field));
      }
    }
  }
};

// XOR of the positions of a chunk's 1 data bits, and their number (mod 2 in bit 0).
struct Sums {
  std::uint64_t syndrome = 0;
  std::uint64_t ones = 0;
};

// One word of a region (see tail_sums): its bits join the region's XOR, and
// its high position parts the running XOR, under the parities of its bits
// below and above 64 - s.
[[gnu::always_inline]] inline void add_region_word(std::uint64_t x, std::uint64_t j, std::uint64_t c,
                                                   std::uint64_t below, std::uint64_t& region_acc,
                                                   std::uint64_t& high) {
  region_acc ^= x;
  const std::uint64_t h = (j + c) >> 6;
  high ^= (-parity(x & below) & h) ^ (-parity(x & ~below) & (h + 1));
}

// The low six bits of the XOR of a region's positions.
[[gnu::always_inline]] inline std::uint64_t region_low_bits(std::uint64_t region_acc, std::uint64_t c) {
  const unsigned s = c & 63;
  std::uint64_t low = 0;
  for (unsigned t = 0; t < 6; ++t) low |= parity(region_acc & std::rotr(kIndexBit[t], s)) << t;
  return low;
}

// Data bits 128 and up. There the positions are p = j + c with c constant over
// long regions (c = floor(log2 p) + 2), at most one region change per word.
// For a word at data index j (a multiple of 64) with offset s = c % 64, bit i
// has position j + c + i: its low six bits are (s + i) % 64, the same pattern
// for every word of the region, so the words are XORed together and the low
// bits taken once per region; its high part is (j + c) / 64 for i < 64 - s
// and one more above, so each word adds one of two values under its parity.
[[gnu::always_inline]] inline void tail_sums(const std::uint64_t* image, std::uint64_t start, std::uint64_t len,
                                             Sums& sums, std::uint64_t& ones_acc) {
  std::uint64_t c = 9;       // data_position(128) - 128
  std::uint64_t next = 247;  // first data index of the next region, 2^(c-1) - c
  std::uint64_t below = kOnes >> (c & 63);
  std::uint64_t region_acc = 0, high = 0, low = 0, ones = ones_acc;
  for (std::uint64_t j = 128; j < len; j += 64) {
    const std::uint64_t x = read64(image, start + j) & low_mask(len - j);
    ones ^= x;
    std::uint64_t rest = x;
    if (next < j + 64) [[unlikely]] {
      const std::uint64_t before = x & low_mask(next - j);
      add_region_word(before, j, c, below, region_acc, high);
      low ^= region_low_bits(region_acc, c);
      region_acc = 0;
      ++c;
      below = kOnes >> (c & 63);
      next = c - 1 < 64 ? (std::uint64_t{1} << (c - 1)) - c : kOnes;
      rest = x ^ before;
    }
    add_region_word(rest, j, c, below, region_acc, high);
  }
  sums.syndrome ^= low ^ region_low_bits(region_acc, c) ^ (high << 6);
  ones_acc = ones;
}

// The sums of the dense data bits of the chunk starting at image bit `start`,
// of which `len` (1 .. d) lie below the end of the input.
[[gnu::always_inline]] inline Sums chunk_sums(const std::uint64_t* image, std::uint64_t start, std::uint64_t len,
                                              const Layout& layout) {
  Sums sums;
  const std::uint64_t x0 = read64(image, start) & low_mask(len);
  if (len <= 64) {
    for (unsigned k = 0; k < layout.r; ++k) sums.syndrome |= parity(x0 & layout.head[0][k]) << k;
    sums.ones = parity(x0);
    return sums;
  }
  const std::uint64_t x1 = read64(image, start + 64) & low_mask(len - 64);
  for (unsigned k = 0; k < layout.r; ++k) {
    sums.syndrome |= parity((x0 & layout.head[0][k]) ^ (x1 & layout.head[1][k])) << k;
  }
  std::uint64_t ones_acc = x0 ^ x1;
  if (len > 128) tail_sums(image, start, len, sums, ones_acc);
  sums.ones = parity(ones_acc);
  return sums;
}

// What the kernels read.
struct View {
  const std::uint64_t* data = nullptr;
  std::uint64_t data_bits = 0;
  std::uint64_t chunks = 0;
  const Layout* layout = nullptr;
  Sums last_chunk_fill{};  // the 1 fill bits of the last chunk
};

[[gnu::always_inline]] inline Sums sums_of_chunk(const View& v, std::uint64_t i) {
  const std::uint64_t d = v.layout->d;
  const std::uint64_t start = i * d;
  Sums s = chunk_sums(v.data, start, std::min(d, v.data_bits - start), *v.layout);
  if (i + 1 == v.chunks) {
    s.syndrome ^= v.last_chunk_fill.syndrome;
    s.ones ^= v.last_chunk_fill.ones;
  }
  return s;
}

// ORs `value` (no bits at or above `width` <= 64) into the bits from `at` on.
[[gnu::always_inline]] inline void or_bits(std::uint64_t* words, std::uint64_t at, std::uint64_t value,
                                           unsigned width) {
  words[at >> 6] |= value << (at & 63);
  if ((at & 63) + width > 64) words[(at >> 6) + 1] |= value >> (64 - (at & 63));
}

// The fields of the C chunks of one period, from its P bytes.
template <unsigned P>
[[gnu::always_inline]] inline std::uint64_t period_fields(const unsigned char* bytes, const Layout& layout) {
  std::uint64_t fields = 0;
  for (unsigned b = 0; b < P; ++b) fields ^= layout.tables[b][bytes[b]];
  return fields;
}

// The chunks of a group that the tables serve: whole periods before the last
// chunk, which alone has fill bits. Returns the first chunk left to the
// per-chunk path.
template <unsigned P, class Visit>
[[gnu::always_inline]] inline std::uint64_t for_table_periods(const View& v, std::uint64_t first, std::uint64_t last,
                                                              Visit visit) {
  if constexpr (P == 0) {
    return first;
  } else {
    const std::uint64_t c = v.layout->period_chunks;
    const auto* bytes = reinterpret_cast<const unsigned char*>(v.data) + first / c * P;
    std::uint64_t i = first;
    for (; i + c < v.chunks && i + c <= last; i += c, bytes += P) visit(i, period_fields<P>(bytes, *v.layout));
    return i;
  }
}

// Sets every chunk's field so that the syndrome is zero and the number of 1s even.
template <unsigned P>
[[gnu::always_inline]] inline void encode_groups_with(const View& v, std::uint64_t g0, std::uint64_t g1,
                                                      std::uint64_t* fields_out) {
  const Layout& layout = *v.layout;
  const unsigned width = layout.period_chunks * layout.field;
  for (std::uint64_t g = g0; g < g1; ++g) {
    std::array<std::uint64_t, 66> fields{};
    const std::uint64_t first = g * kGroupChunks, last = std::min(first + kGroupChunks, v.chunks);
    std::uint64_t i = for_table_periods<P>(v, first, last, [&](std::uint64_t at, std::uint64_t period) {
      or_bits(fields.data(), (at - first) * layout.field, period, width);
    });
    for (; i < last; ++i) {
      const Sums s = sums_of_chunk(v, i);
      const std::uint64_t at = (i - first) * layout.field;
      or_bits(fields.data(), at, s.ones ^ parity(s.syndrome), 1);
      or_bits(fields.data(), at + 1, s.syndrome, layout.r);
    }
    std::copy_n(fields.begin(), layout.field, fields_out + g * layout.field);
  }
}

// Whether a chunk with this syndrome and overall parity decodes as clean or
// corrected; a corrected data bit below `needed` is recorded for flipping.
[[gnu::always_inline]] inline bool classify(std::uint64_t syndrome, std::uint64_t odd, std::uint64_t chunk,
                                            const Layout& layout, std::uint64_t needed,
                                            std::vector<std::uint64_t>& flips) {
  if (syndrome == 0) return odd == 0;  // odd alone: the parity bit itself, or three or more errors
  if (odd == 0 || syndrome >= layout.n) return false;
  if (!std::has_single_bit(syndrome)) {
    const std::uint64_t bit = chunk * layout.d + data_index(syndrome);
    if (bit < needed) flips.push_back(bit);
  }
  return true;
}

// Whether a whole group that the tables serve has exactly its stored fields,
// the common case: the group's 64 fields fill `field` words, compared at once
// instead of field by field.
template <unsigned P>
[[gnu::always_inline]] inline bool clean_table_group(const View& v, std::uint64_t g, const std::uint64_t* stored) {
  if constexpr (P == 0) {
    return false;
  } else {
    const Layout& layout = *v.layout;
    const std::uint64_t first = g * kGroupChunks, last = first + kGroupChunks;
    if (last >= v.chunks) return false;  // the last chunk has fill bits: not table work
    const unsigned width = layout.period_chunks * layout.field;
    std::array<std::uint64_t, 66> fields{};
    for_table_periods<P>(v, first, last, [&](std::uint64_t at, std::uint64_t period) {
      or_bits(fields.data(), (at - first) * layout.field, period, width);
    });
    return std::equal(fields.begin(), fields.begin() + layout.field, stored + g * layout.field);
  }
}

// Recomputes every chunk's field and compares it with the stored one.
template <unsigned P>
[[gnu::always_inline]] inline void decode_groups_with(const View& v, std::uint64_t g0, std::uint64_t g1,
                                                      const std::uint64_t* stored, std::uint64_t needed,
                                                      std::uint64_t* flag_words, std::vector<std::uint64_t>& flips) {
  const Layout& layout = *v.layout;
  const unsigned c = layout.period_chunks, width = c * layout.field;
  for (std::uint64_t g = g0; g < g1; ++g) {
    const std::uint64_t first = g * kGroupChunks, last = std::min(first + kGroupChunks, v.chunks);
    if (clean_table_group<P>(v, g, stored)) {
      flag_words[g] = kOnes;
      continue;
    }
    std::uint64_t flags = 0;
    std::uint64_t i = for_table_periods<P>(v, first, last, [&](std::uint64_t at, std::uint64_t period) {
      const std::uint64_t diff = period ^ (read64(stored, at * layout.field) & low_mask(width));
      if (diff == 0) {
        flags |= low_mask(c) << (at - first);
        return;
      }
      for (unsigned k = 0; k < c; ++k) {
        // A field's difference holds the syndrome above the parity difference,
        // and the overall parity of the codeword is the parity of the whole difference.
        const std::uint64_t e = (diff >> (k * layout.field)) & low_mask(layout.field);
        const bool ok = e == 0 || classify(e >> 1, parity(e), at + k, layout, needed, flips);
        flags |= std::uint64_t{ok} << (at + k - first);
      }
    });
    for (; i < last; ++i) {
      const Sums s = sums_of_chunk(v, i);
      const std::uint64_t at = i * layout.field;
      const std::uint64_t checks = read64(stored, at + 1) & low_mask(layout.r);
      const std::uint64_t odd = s.ones ^ parity(checks) ^ ((stored[at >> 6] >> (at & 63)) & 1U);
      flags |= std::uint64_t{classify(s.syndrome ^ checks, odd, i, layout, needed, flips)} << (i - first);
    }
    flag_words[g] = flags;
  }
}

// Calls f with the layout's table period P as a constant (0: no tables).
template <class F>
[[gnu::always_inline]] inline void with_period(unsigned period, F f) {
  switch (period) {
    case 1:
      return f(std::integral_constant<unsigned, 1>{});
    case 2:
      return f(std::integral_constant<unsigned, 2>{});
    case 3:
      return f(std::integral_constant<unsigned, 3>{});
    case 4:
      return f(std::integral_constant<unsigned, 4>{});
    case 5:
      return f(std::integral_constant<unsigned, 5>{});
    case 6:
      return f(std::integral_constant<unsigned, 6>{});
    case 7:
      return f(std::integral_constant<unsigned, 7>{});
    case 8:
      return f(std::integral_constant<unsigned, 8>{});
    case 9:
      return f(std::integral_constant<unsigned, 9>{});
    case 11:
      return f(std::integral_constant<unsigned, 11>{});
    case 13:
      return f(std::integral_constant<unsigned, 13>{});
    case 15:
      return f(std::integral_constant<unsigned, 15>{});
    default:
      return f(std::integral_constant<unsigned, 0>{});
  }
}

// clang-format off
CORVANE_POPCNT_CLONES
void encode_groups(const View& v, std::uint64_t g0, std::uint64_t g1, std::uint64_t* fields_out) {
  with_period(v.layout->period_bytes, [&](auto p) __attribute__((always_inline)) {
    encode_groups_with<decltype(p)::value>(v, g0, g1, fields_out);
  });
}

CORVANE_POPCNT_CLONES
void decode_groups(const View& v, std::uint64_t g0, std::uint64_t g1, const std::uint64_t* stored,
                   std::uint64_t needed, std::uint64_t* flag_words, std::vector<std::uint64_t>& flips) {
  with_period(v.layout->period_bytes, [&](auto p) __attribute__((always_inline)) {
    decode_groups_with<decltype(p)::value>(v, g0, g1, stored, needed, flag_words, flips);
  });
}
// clang-format on

#if defined(__x86_64__) || defined(__i386__)
#define CORVANE_SECDED_AVX2 1

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

__attribute__((target("avx2"))) Avx2Tables avx2_tables(const Layout& layout) {
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
__attribute__((target("avx2"))) inline Fields32 fields_of_32(const std::uint64_t* words, const Avx2Tables& t) {
  // In each 128-bit lane: the bytes of its two chunks interleaved, then pairs,
  // quads and octets of registers merged, ending with one register per byte
  // position whose lane 0 holds chunks 0,1,4,5,...,28,29 and lane 1 2,3,6,7,...
  const __m256i pair_bytes = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 0, 8, 1, 9, 2, 10,
                                              3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
  __m256i y[8];
  for (unsigned m = 0; m < 8; ++m) {
    y[m] = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + 4 * m)), pair_bytes);
  }
  __m256i z[8];
  for (unsigned p = 0; p < 4; ++p) {
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

__attribute__((target("avx2"))) void encode_groups_64_avx2(const View& v, std::uint64_t g0, std::uint64_t g1,
                                                           std::uint64_t* fields_out) {
  const Avx2Tables t = avx2_tables(*v.layout);
  for (std::uint64_t g = g0; g < g1; ++g) {
    if (!vector_group(v, g)) {
      encode_groups(v, g, g + 1, fields_out);
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

__attribute__((target("avx2"))) void decode_groups_64_avx2(const View& v, std::uint64_t g0, std::uint64_t g1,
                                                           const std::uint64_t* stored, std::uint64_t needed,
                                                           std::uint64_t* flag_words,
                                                           std::vector<std::uint64_t>& flips) {
  const Avx2Tables t = avx2_tables(*v.layout);
  const auto* stored_bytes = reinterpret_cast<const unsigned char*>(stored);
  for (std::uint64_t g = g0; g < g1; ++g) {
    if (!vector_group(v, g)) {
      decode_groups(v, g, g + 1, stored, needed, flag_words, flips);
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

bool use_avx2_64(const Layout& layout) {
  static const bool has_avx2 = __builtin_cpu_supports("avx2") != 0;
  return has_avx2 && layout.d == 64;
}
#endif

// Calls copy(run, offset in run, global offset, length) for the parts of the
// runs that cover bytes [begin, end) of their concatenation; `starts` holds the
// runs' byte offsets and the total.
template <class Copy>
void for_run_parts(std::span<const std::uint64_t> starts, std::uint64_t begin, std::uint64_t end, Copy copy) {
  auto run = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin()) - 1;
  for (; run + 1 < starts.size() && starts[run] < end; ++run) {
    const std::uint64_t from = std::max(begin, starts[run]);
    const std::uint64_t to = std::min(end, starts[run + 1]);
    if (from < to) copy(run, from - starts[run], from, to - from);
  }
}

// Byte offsets of the runs, and the total as last entry.
template <class Runs>
std::vector<std::uint64_t> byte_starts(const Runs& runs, std::size_t element_size) {
  std::vector<std::uint64_t> starts(runs.size() + 1, 0);
  for (std::size_t i = 0; i < runs.size(); ++i)
    starts[i + 1] = starts[i] + std::uint64_t{runs[i].size()} * element_size;
  return starts;
}

// Runs body(begin, end) over byte blocks of [0, total) on the pool.
template <class Body>
void for_byte_blocks(std::uint64_t total, Body body) {
  parallel::run_pieces(static_cast<std::size_t>(ceil_div(total, kCopyBlockBytes)), [&](std::size_t b0, std::size_t b1) {
    body(b0 * kCopyBlockBytes, std::min<std::uint64_t>(b1 * kCopyBlockBytes, total));
  });
}

template <class T>
constexpr bool kElement = std::is_same_v<T, std::uint16_t> || std::is_same_v<T, std::uint32_t>;

// Decoding reads the chunks' data bits, fill bits included, in another
// element type too; it cannot read more than they hold.
void require_bits(std::uint64_t available, std::uint64_t needed) {
  if (needed > available) {
    fail_assert_eq(available, needed,
                   "these must match because the chunked buffer can potentially only have more bits, not less.");
  }
}

}  // namespace

namespace detail {

Words::Words(std::size_t size) : words_(new std::uint64_t[size]), size_(size) {
  advise_huge_pages(words_.get(), size * sizeof(std::uint64_t));
}

Words::Words(const Words& other) : Words(other.size_) { std::copy_n(other.words_.get(), size_, words_.get()); }

Words& Words::operator=(const Words& other) {
  if (this != &other) *this = Words(other);
  return *this;
}

}  // namespace detail

std::vector<bool> ChunkFlags::to_vector() const {
  std::vector<bool> flags(size_);
  for (std::size_t i = 0; i < size_; ++i) flags[i] = (*this)[i];
  return flags;
}

std::string ImageError::message() const {
  switch (kind_) {
    case Kind::EmptyBuffer:
      return "Cannot chunk an empty buffer";
    case Kind::ZeroChunkSize:
      return "The chunk size has to be non-zero";
    case Kind::ChunkTooLarge:
      return "bits_per_chunk " + std::to_string(bits_per_chunk_) + " is too large";
  }
  return {};
}

template <class T>
Expected<Image, ImageError> Image::encode(std::span<const std::span<const T>> runs, std::uint64_t bits_per_chunk) {
  static_assert(kElement<T>);
  const auto starts = byte_starts(runs, sizeof(T));
  const std::uint64_t data_bytes = starts.back();
  if (data_bytes == 0) return Unexpected(ImageError(ImageError::Kind::EmptyBuffer, bits_per_chunk));
  if (bits_per_chunk == 0) return Unexpected(ImageError(ImageError::Kind::ZeroChunkSize, bits_per_chunk));
  const auto n = encoded_bit_count(bits_per_chunk);
  const std::uint64_t data_bits = 8 * data_bytes;
  const std::uint64_t chunks = ceil_div(data_bits, bits_per_chunk);
  if (!n || chunks > kOnes / *n) return Unexpected(ImageError(ImageError::Kind::ChunkTooLarge, bits_per_chunk));

  Image image;
  image.d_ = bits_per_chunk;
  image.n_ = *n;
  image.r_ = static_cast<unsigned>(*n - bits_per_chunk - 1);
  image.chunks_ = chunks;
  image.data_bits_ = data_bits;
  image.counts_.reserve(runs.size());
  for (const auto run : runs) image.counts_.push_back(run.size());

  const std::uint64_t groups = ceil_div(chunks, kGroupChunks);
  image.data_ = detail::Words(static_cast<std::size_t>(ceil_div(data_bits, 64) + 1));
  image.fields_ = detail::Words(static_cast<std::size_t>(groups * (image.r_ + 1) + 1));

  // The input's last word and the spare word after it are zero past the input.
  const std::size_t words = image.data_.size();
  image.data_[words - 1] = 0;
  image.data_[words - 2] = 0;
  image.fields_[image.fields_.size() - 1] = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(image.data_.data());
  for_byte_blocks(data_bytes, [&](std::uint64_t begin, std::uint64_t end) {
    for_run_parts(starts, begin, end, [&](std::size_t run, std::uint64_t in_run, std::uint64_t at, std::uint64_t len) {
      std::memcpy(bytes + at, reinterpret_cast<const unsigned char*>(runs[run].data()) + in_run, len);
    });
  });

  const Layout layout(image.d_, image.n_, image.r_);
  const View view{image.data_.data(), data_bits, chunks, &layout, {}};
  parallel::run_pieces(static_cast<std::size_t>(groups), [&](std::size_t g0, std::size_t g1) {
#if CORVANE_SECDED_AVX2
    if (use_avx2_64(layout)) return encode_groups_64_avx2(view, g0, g1, image.fields_.data());
#endif
    encode_groups(view, g0, g1, image.fields_.data());
  });
  return image;
}

template <class T>
ChunkFlags Image::decode_into(std::span<const std::span<T>> outputs) const {
  static_assert(kElement<T>);
  const auto starts = byte_starts(outputs, sizeof(T));
  const std::uint64_t needed = 8 * starts.back();
  require_bits(chunks_ * d_, needed);

  // The stored data bits; past the input the fill bits, zero but for those set.
  const std::uint64_t out_bytes = needed / 8;
  const std::uint64_t data_bytes = data_bits_ / 8;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data_.data());
  const auto copy_out = [&](std::uint64_t begin, std::uint64_t end) {
    for_run_parts(starts, begin, end, [&](std::size_t run, std::uint64_t in_run, std::uint64_t at, std::uint64_t len) {
      auto* out = reinterpret_cast<unsigned char*>(outputs[run].data()) + in_run;
      const std::uint64_t stored = at < data_bytes ? std::min(len, data_bytes - at) : 0;
      std::memcpy(out, bytes + at, stored);
      std::memset(out + stored, 0, len - stored);
    });
  };
  const auto flip_output = [&](std::uint64_t bit) {
    constexpr unsigned w = 8 * sizeof(T);
    const std::uint64_t byte = bit / 8;
    const auto run =
        static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), byte) - starts.begin()) - 1;
    const std::uint64_t in_run = bit - 8 * starts[run];
    outputs[run][in_run / w] ^= static_cast<T>(T{1} << (in_run % w));
  };
  Sums fill;
  for (const std::uint64_t bit : fill_) {
    fill.syndrome ^= data_position(bit - (chunks_ - 1) * d_);
    fill.ones ^= 1;
  }

  const Layout layout(d_, n_, r_);
  const View view{data_.data(), data_bits_, chunks_, &layout, fill};
  const std::uint64_t groups = ceil_div(chunks_, kGroupChunks);
  // Group g starts at data byte 8 * d * g (64 chunks of d bits); past the
  // output, or beyond 64 bits, the output's end.
  const auto group_byte = [&](std::uint64_t g) {
    return g != 0 && d_ > out_bytes / 8 / g ? out_bytes : std::min(out_bytes, 8 * d_ * g);
  };
  const std::uint64_t block_groups = std::max<std::uint64_t>(1, kDecodeBlockBytes / 8 / d_);
  std::vector<std::uint64_t> flag_words(static_cast<std::size_t>(groups));
  std::vector<std::uint64_t> flips;
  std::mutex flips_mutex;
  // Each block of groups is decoded, then its bytes are copied out while they
  // are still in cache: the image is read once, not once per pass.
  parallel::run_pieces(static_cast<std::size_t>(groups), [&](std::size_t g0, std::size_t g1) {
    std::vector<std::uint64_t> local;
    for (std::uint64_t b0 = g0; b0 < g1; b0 += block_groups) {
      const std::uint64_t b1 = std::min<std::uint64_t>(g1, b0 + block_groups);
#if CORVANE_SECDED_AVX2
      if (use_avx2_64(layout)) {
        decode_groups_64_avx2(view, b0, b1, fields_.data(), needed, flag_words.data(), local);
      } else {
        decode_groups(view, b0, b1, fields_.data(), needed, flag_words.data(), local);
      }
#else
      decode_groups(view, b0, b1, fields_.data(), needed, flag_words.data(), local);
#endif
      copy_out(group_byte(b0), group_byte(b1));
    }
    if (local.empty()) return;
    const std::lock_guard lock(flips_mutex);
    flips.insert(flips.end(), local.begin(), local.end());
  });
  // Set fill bits and corrections are both changes of single output bits;
  // a corrected fill bit is flipped twice, back to zero.
  for (const std::uint64_t bit : fill_) {
    if (bit < needed) flip_output(bit);
  }
  for (const std::uint64_t bit : flips) flip_output(bit);

  return ChunkFlags(std::move(flag_words), static_cast<std::size_t>(chunks_));
}

template <class T>
Decoded<T> Image::decode() const {
  static_assert(kElement<T>);
  std::uint64_t needed = 0;
  for (const std::size_t count : counts_) needed += std::uint64_t{count} * 8 * sizeof(T);
  require_bits(chunks_ * d_, needed);  // before allocating
  Decoded<T> out;
  out.arrays.reserve(counts_.size());
  std::vector<std::span<T>> spans;
  spans.reserve(counts_.size());
  for (const std::size_t count : counts_) {
    std::vector<T>& array = out.arrays.emplace_back();
    // Reserve first so that the advice lands before the pages are touched.
    array.reserve(count);
    advise_huge_pages(array.data(), count * sizeof(T));
    array.resize(count);
    spans.emplace_back(array);
  }
  out.flags = decode_into<T>(spans);
  return out;
}

std::size_t Image::memory_bytes() const noexcept {
  constexpr std::size_t kPerFillBit = 4 * sizeof(void*);  // a node of the set, roughly
  return (data_.size() + fields_.size()) * sizeof(std::uint64_t) + fill_.size() * kPerFillBit +
         fill_.bucket_count() * sizeof(void*) + counts_.size() * sizeof(std::size_t);
}

std::optional<std::size_t> Image::first_out_of_bounds(std::span<const FaultAt> faults) const noexcept {
  const std::uint64_t total = bit_count();
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (faults[i].bit >= total) return i;
  }
  return std::nullopt;
}

namespace {

// Where encoded bit g is stored.
enum class Home : std::uint8_t { Field, Data, Fill };
struct Place {
  Home home;
  std::uint64_t bit;  // within fields_, data_, or the fill index
};

Place place_of(std::uint64_t g, std::uint64_t n, std::uint64_t d, unsigned r, std::uint64_t data_bits) {
  const std::uint64_t chunk = g / n, p = g % n;
  if (p == 0) return {Home::Field, chunk * (r + 1)};
  if (std::has_single_bit(p)) return {Home::Field, chunk * (r + 1) + 1 + static_cast<unsigned>(std::countr_zero(p))};
  const std::uint64_t bit = chunk * d + data_index(p);
  return {bit < data_bits ? Home::Data : Home::Fill, bit};
}

void apply_to_words(detail::Words& words, std::uint64_t bit, FaultKind kind) {
  words[bit / 64] = apply_fault_to_word(words[bit / 64], static_cast<unsigned>(bit % 64), kind);
}

}  // namespace

// Faults of a large batch land at random in an image of up to gigabytes, so
// each would wait for memory in turn. Their places are computed and their
// words prefetched this many faults ahead; they are still applied in order.
constexpr std::size_t kFaultsAhead = 16;

void Image::apply_faults(std::span<const FaultAt> faults) {
  if (const auto bad = first_out_of_bounds(faults)) fail(std::to_string(faults[*bad].bit) + " is out of bounds");
  const auto locate = [&](const FaultAt& fault) {
    const Place at = place_of(fault.bit, n_, d_, r_, data_bits_);
    if (at.home == Home::Field) __builtin_prefetch(fields_.data() + at.bit / 64, 1);
    if (at.home == Home::Data) __builtin_prefetch(data_.data() + at.bit / 64, 1);
    return at;
  };
  std::array<Place, kFaultsAhead> ahead{};
  for (std::size_t i = 0; i < std::min(kFaultsAhead, faults.size()); ++i) ahead[i] = locate(faults[i]);
  for (std::size_t i = 0; i < faults.size(); ++i) {
    const Place at = ahead[i % kFaultsAhead];
    if (i + kFaultsAhead < faults.size()) ahead[i % kFaultsAhead] = locate(faults[i + kFaultsAhead]);
    const FaultKind kind = faults[i].kind;
    switch (at.home) {
      case Home::Field:
        apply_to_words(fields_, at.bit, kind);
        break;
      case Home::Data:
        apply_to_words(data_, at.bit, kind);
        break;
      case Home::Fill:
        if (kind == FaultKind::StuckAt1) {
          fill_.insert(at.bit);
        } else if (kind == FaultKind::StuckAt0 || !fill_.insert(at.bit).second) {
          fill_.erase(at.bit);
        }
        break;
    }
  }
}

bool Image::is_1(std::uint64_t g) const {
  if (g >= bit_count()) fail(std::to_string(g) + " is out of bounds");
  const Place at = place_of(g, n_, d_, r_, data_bits_);
  const auto bit_of = [](const detail::Words& words, std::uint64_t bit) {
    return ((words[bit / 64] >> (bit % 64)) & 1U) != 0;
  };
  switch (at.home) {
    case Home::Field:
      return bit_of(fields_, at.bit);
    case Home::Data:
      return bit_of(data_, at.bit);
    case Home::Fill:
      return fill_.contains(at.bit);
  }
  return false;
}

template Expected<Image, ImageError> Image::encode(std::span<const std::span<const std::uint16_t>>, std::uint64_t);
template Expected<Image, ImageError> Image::encode(std::span<const std::span<const std::uint32_t>>, std::uint64_t);
template Decoded<std::uint16_t> Image::decode() const;
template Decoded<std::uint32_t> Image::decode() const;
template ChunkFlags Image::decode_into(std::span<const std::span<std::uint16_t>>) const;
template ChunkFlags Image::decode_into(std::span<const std::span<std::uint32_t>>) const;

}  // namespace corvane::memory::encoding::secded
