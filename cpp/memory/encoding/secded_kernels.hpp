// The SEC-DED image's kernels: what they share, and the choice among them.
//
// Redundancy is computed a group of 64 chunks at a time (see secded_image.hpp
// for the storage). Two variants compute the same bits: the scalar kernels,
// for every chunk size (with byte tables for chunks of up to 64 bits), and the
// AVX2 kernels, for chunks of exactly 64 bits on CPUs that have AVX2. The image
// asks kernels_for() which to run; tests force each variant in turn with
// ScopedKernel, so that neither hides behind the other.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "memory/encoding/secded.hpp"

namespace corvane::memory::encoding::secded {

enum class Kernel : std::uint8_t { Scalar, Avx2 };

// Whether this build and this CPU can run the variant.
bool kernel_supported(Kernel kernel) noexcept;

// Test hook: while alive, every encode and decode runs `kernel` wherever it
// applies (AVX2 to 64-bit chunks only) instead of the best one for the CPU.
// The variant must be supported. Not for concurrent use with other callers.
class ScopedKernel {
 public:
  explicit ScopedKernel(Kernel kernel);
  ~ScopedKernel();
  ScopedKernel(const ScopedKernel&) = delete;
  ScopedKernel& operator=(const ScopedKernel&) = delete;

 private:
  int previous_;
};

namespace kernels {

inline constexpr std::uint64_t kOnes = ~std::uint64_t{0};

// The kernels' work unit on the pool: a group of 64 chunks, whose fields
// (64 * (r + 1) bits) and flags fill whole words, so that no two pieces ever
// write the same word.
constexpr std::uint64_t kGroupChunks = 64;

inline std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

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
  for (unsigned t = 0; t < 6; ++t) low |= parity(region_acc & std::rotr(kIndexBit[t], static_cast<int>(s))) << t;
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

// Encoding sets every chunk's field of groups [g0, g1) in `fields_out` so that
// the syndrome is zero and the number of 1s even; decoding recomputes them and
// compares them with the `stored` ones, setting the flag words of the groups
// and recording corrected data bits below `needed` in `flips`.
using EncodeGroups = void (*)(const View& v, std::uint64_t g0, std::uint64_t g1, std::uint64_t* fields_out);
using DecodeGroups = void (*)(const View& v, std::uint64_t g0, std::uint64_t g1, const std::uint64_t* stored,
                              std::uint64_t needed, std::uint64_t* flag_words, std::vector<std::uint64_t>& flips);

struct GroupKernels {
  EncodeGroups encode;
  DecodeGroups decode;
};

void encode_groups_scalar(const View& v, std::uint64_t g0, std::uint64_t g1, std::uint64_t* fields_out);
void decode_groups_scalar(const View& v, std::uint64_t g0, std::uint64_t g1, const std::uint64_t* stored,
                          std::uint64_t needed, std::uint64_t* flag_words, std::vector<std::uint64_t>& flips);

// Chunks of 64 bits only; groups that hold the last chunk go to the scalar
// kernels. Present only where kernel_supported(Kernel::Avx2) can be true.
void encode_groups_avx2(const View& v, std::uint64_t g0, std::uint64_t g1, std::uint64_t* fields_out);
void decode_groups_avx2(const View& v, std::uint64_t g0, std::uint64_t g1, const std::uint64_t* stored,
                        std::uint64_t needed, std::uint64_t* flag_words, std::vector<std::uint64_t>& flips);

// The kernels an image of this layout runs.
GroupKernels kernels_for(const Layout& layout) noexcept;

}  // namespace kernels
}  // namespace corvane::memory::encoding::secded
