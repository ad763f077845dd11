#include "memory/encoding/secded_image.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "internal_error.hpp"
#include "memory/encoding/secded.hpp"
#include "parallel/pool.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace corvane::memory::encoding::secded {

// The image is the input's bytes in memory order read as 64-bit words.
static_assert(std::endian::native == std::endian::little, "the encoded image assumes a little-endian host");

namespace {

constexpr std::uint64_t kOnes = ~std::uint64_t{0};

// Work units of the pool: copies go by blocks of bytes, check bits by groups
// of 64 chunks, whose packed check bits (64 * r bits), parity bits and flags
// fill whole words, so that no two pieces ever write the same word.
constexpr std::uint64_t kCopyBlockBytes = std::uint64_t{1} << 20;
constexpr std::uint64_t kGroupChunks = 64;

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

// A codeword's shape, and for its first two data words the masks of the bits
// whose position has bit k set: check bit k is the parity of the data under mask k.
struct Layout {
  std::uint64_t d = 0;
  std::uint64_t n = 0;
  unsigned r = 0;
  std::array<std::array<std::uint64_t, 64>, 2> head{};

  Layout(std::uint64_t d_, std::uint64_t n_, unsigned r_) : d(d_), n(n_), r(r_) {
    for (std::uint64_t j = 0; j < std::min<std::uint64_t>(d, 128); ++j) {
      const std::uint64_t p = data_position(j);
      for (unsigned k = 0; k < r; ++k) {
        if ((p >> k) & 1U) head[j / 64][k] |= std::uint64_t{1} << (j % 64);
      }
    }
  }
};

// XOR of the positions of a chunk's 1 data bits, and their number (mod 2 in bit 0).
struct Sums {
  std::uint64_t syndrome = 0;
  std::uint64_t ones = 0;
};

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
  std::uint64_t region_acc = 0;
  std::uint64_t high = 0;
  const auto add_word = [&](std::uint64_t x, std::uint64_t j) {
    region_acc ^= x;
    const std::uint64_t below = kOnes >> (c & 63);
    const std::uint64_t h = (j + c) >> 6;
    high ^= (-parity(x & below) & h) ^ (-parity(x & ~below) & (h + 1));
  };
  const auto flush_region = [&] {
    const unsigned s = c & 63;
    for (unsigned t = 0; t < 6; ++t) sums.syndrome ^= parity(region_acc & std::rotr(kIndexBit[t], s)) << t;
    region_acc = 0;
  };
  for (std::uint64_t j = 128; j < len; j += 64) {
    const std::uint64_t x = read64(image, start + j) & low_mask(len - j);
    ones_acc ^= x;
    if (next < j + 64) {
      const std::uint64_t before = x & low_mask(next - j);
      add_word(before, j);
      flush_region();
      ++c;
      next = c - 1 < 64 ? (std::uint64_t{1} << (c - 1)) - c : kOnes;
      add_word(x ^ before, j);
    } else {
      add_word(x, j);
    }
  }
  flush_region();
  sums.syndrome ^= high << 6;
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

// What the check kernels read.
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

// Check bits are chosen to make the syndrome zero, the parity bit to make the
// codeword's number of 1s even.
__attribute__((target_clones("avx2", "popcnt", "default"))) void encode_groups(const View& v, std::uint64_t g0,
                                                                                std::uint64_t g1,
                                                                                std::uint64_t* checks_out,
                                                                                std::uint64_t* parity_out) {
  const unsigned r = v.layout->r;
  for (std::uint64_t g = g0; g < g1; ++g) {
    std::array<std::uint64_t, 65> fields{};
    std::uint64_t parity_word = 0;
    const std::uint64_t first = g * kGroupChunks, last = std::min(first + kGroupChunks, v.chunks);
    for (std::uint64_t i = first; i < last; ++i) {
      const Sums s = sums_of_chunk(v, i);
      const std::uint64_t at = (i - first) * r;
      fields[at >> 6] |= s.syndrome << (at & 63);
      if ((at & 63) + r > 64) fields[(at >> 6) + 1] |= s.syndrome >> (64 - (at & 63));
      parity_word |= (s.ones ^ parity(s.syndrome)) << (i - first);
    }
    std::copy_n(fields.begin(), r, checks_out + g * r);
    parity_out[g] = parity_word;
  }
}

// Recomputes every chunk's syndrome against its stored check bits; records the
// data bit to flip (below `needed`) for each corrected chunk.
__attribute__((target_clones("avx2", "popcnt", "default"))) void decode_groups(const View& v, std::uint64_t g0,
                                                                                std::uint64_t g1,
                                                                                const std::uint64_t* checks_in,
                                                                                const std::uint64_t* parity_in,
                                                                                std::uint64_t needed,
                                                                                std::uint64_t* flag_words,
                                                                                std::vector<std::uint64_t>& flips) {
  const Layout& layout = *v.layout;
  for (std::uint64_t g = g0; g < g1; ++g) {
    std::uint64_t flags = 0;
    const std::uint64_t first = g * kGroupChunks, last = std::min(first + kGroupChunks, v.chunks);
    for (std::uint64_t i = first; i < last; ++i) {
      const Sums s = sums_of_chunk(v, i);
      const std::uint64_t checks = read64(checks_in, i * layout.r) & low_mask(layout.r);
      const std::uint64_t syndrome = s.syndrome ^ checks;
      const std::uint64_t odd = s.ones ^ parity(checks) ^ ((parity_in[i / 64] >> (i % 64)) & 1U);
      bool ok = false;
      if (syndrome == 0) {
        ok = odd == 0;  // odd alone: the parity bit itself, or three or more errors
      } else if (odd != 0 && syndrome < layout.n) {
        ok = true;
        if (!std::has_single_bit(syndrome)) {
          const std::uint64_t bit = i * layout.d + data_index(syndrome);
          if (bit < needed) flips.push_back(bit);
        }
      }
      flags |= std::uint64_t{ok} << (i - first);
    }
    flag_words[g] = flags;
  }
}

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
  for (std::size_t i = 0; i < runs.size(); ++i) starts[i + 1] = starts[i] + std::uint64_t{runs[i].size()} * element_size;
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

std::string ImageError::message() const {
  switch (kind_) {
    case Kind::EmptyBuffer: return "Cannot chunk an empty buffer";
    case Kind::ZeroChunkSize: return "The chunk size has to be non-zero";
    case Kind::ChunkTooLarge: return "bits_per_chunk " + std::to_string(bits_per_chunk_) + " is too large";
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
  image.checks_ = detail::Words(static_cast<std::size_t>(groups * image.r_ + 1));
  image.parity_ = detail::Words(static_cast<std::size_t>(groups));

  // The input's last word and the spare word after it are zero past the input.
  const std::size_t words = image.data_.size();
  image.data_[words - 1] = 0;
  image.data_[words - 2] = 0;
  image.checks_[image.checks_.size() - 1] = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(image.data_.data());
  for_byte_blocks(data_bytes, [&](std::uint64_t begin, std::uint64_t end) {
    for_run_parts(starts, begin, end, [&](std::size_t run, std::uint64_t in_run, std::uint64_t at, std::uint64_t len) {
      std::memcpy(bytes + at, reinterpret_cast<const unsigned char*>(runs[run].data()) + in_run, len);
    });
  });

  const Layout layout(image.d_, image.n_, image.r_);
  const View view{image.data_.data(), data_bits, chunks, &layout, {}};
  parallel::run_pieces(static_cast<std::size_t>(groups), [&](std::size_t g0, std::size_t g1) {
    encode_groups(view, g0, g1, image.checks_.data(), image.parity_.data());
  });
  return image;
}

template <class T>
std::vector<bool> Image::decode_into(std::span<const std::span<T>> outputs) const {
  static_assert(kElement<T>);
  const auto starts = byte_starts(outputs, sizeof(T));
  const std::uint64_t needed = 8 * starts.back();
  const std::uint64_t available = chunks_ * d_;
  if (needed > available) {
    fail_assert_eq(available, needed,
                   "these must match because the chunked buffer can potentially only have more bits, not less.");
  }

  // The stored data bits; past the input the fill bits, zero but for those set.
  const std::uint64_t data_bytes = data_bits_ / 8;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data_.data());
  for_byte_blocks(needed / 8, [&](std::uint64_t begin, std::uint64_t end) {
    for_run_parts(starts, begin, end, [&](std::size_t run, std::uint64_t in_run, std::uint64_t at, std::uint64_t len) {
      auto* out = reinterpret_cast<unsigned char*>(outputs[run].data()) + in_run;
      const std::uint64_t stored = at < data_bytes ? std::min(len, data_bytes - at) : 0;
      std::memcpy(out, bytes + at, stored);
      std::memset(out + stored, 0, len - stored);
    });
  });
  const auto flip_output = [&](std::uint64_t bit) {
    constexpr unsigned w = 8 * sizeof(T);
    const std::uint64_t byte = bit / 8;
    const auto run = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), byte) - starts.begin()) - 1;
    const std::uint64_t in_run = bit - 8 * starts[run];
    outputs[run][in_run / w] ^= static_cast<T>(T{1} << (in_run % w));
  };
  Sums fill;
  for (const std::uint64_t bit : fill_) {
    fill.syndrome ^= data_position(bit - (chunks_ - 1) * d_);
    fill.ones ^= 1;
    if (bit < needed) flip_output(bit);
  }

  const Layout layout(d_, n_, r_);
  const View view{data_.data(), data_bits_, chunks_, &layout, fill};
  const std::uint64_t groups = ceil_div(chunks_, kGroupChunks);
  std::vector<std::uint64_t> flag_words(static_cast<std::size_t>(groups));
  std::vector<std::uint64_t> flips;
  std::mutex flips_mutex;
  parallel::run_pieces(static_cast<std::size_t>(groups), [&](std::size_t g0, std::size_t g1) {
    std::vector<std::uint64_t> local;
    decode_groups(view, g0, g1, checks_.data(), parity_.data(), needed, flag_words.data(), local);
    if (local.empty()) return;
    const std::lock_guard lock(flips_mutex);
    flips.insert(flips.end(), local.begin(), local.end());
  });
  for (const std::uint64_t bit : flips) flip_output(bit);

  std::vector<bool> flags(static_cast<std::size_t>(chunks_));
  for (std::uint64_t i = 0; i < chunks_; ++i) flags[i] = ((flag_words[i / 64] >> (i % 64)) & 1U) != 0;
  return flags;
}

template <class T>
Decoded<T> Image::decode() const {
  static_assert(kElement<T>);
  std::uint64_t needed = 0;
  for (const std::size_t count : counts_) needed += std::uint64_t{count} * 8 * sizeof(T);
  if (needed > chunks_ * d_) {
    fail_assert_eq(chunks_ * d_, needed,
                   "these must match because the chunked buffer can potentially only have more bits, not less.");
  }
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
  return (data_.size() + checks_.size() + parity_.size()) * sizeof(std::uint64_t) +
         fill_.size() * kPerFillBit + fill_.bucket_count() * sizeof(void*) + counts_.size() * sizeof(std::size_t);
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
enum class Home : std::uint8_t { Parity, Check, Data, Fill };
struct Place {
  Home home;
  std::uint64_t bit;  // within parity_, checks_, data_, or the fill index
};

Place place_of(std::uint64_t g, std::uint64_t n, std::uint64_t d, unsigned r, std::uint64_t data_bits) {
  const std::uint64_t chunk = g / n, p = g % n;
  if (p == 0) return {Home::Parity, chunk};
  if (std::has_single_bit(p)) return {Home::Check, chunk * r + static_cast<unsigned>(std::countr_zero(p))};
  const std::uint64_t bit = chunk * d + data_index(p);
  return {bit < data_bits ? Home::Data : Home::Fill, bit};
}

void apply_to_words(detail::Words& words, std::uint64_t bit, FaultKind kind) {
  words[bit / 64] = apply_fault_to_word(words[bit / 64], static_cast<unsigned>(bit % 64), kind);
}

}  // namespace

void Image::apply_faults(std::span<const FaultAt> faults) {
  if (const auto bad = first_out_of_bounds(faults)) fail(std::to_string(faults[*bad].bit) + " is out of bounds");
  for (const FaultAt& fault : faults) {
    const Place at = place_of(fault.bit, n_, d_, r_, data_bits_);
    switch (at.home) {
      case Home::Parity: apply_to_words(parity_, at.bit, fault.kind); break;
      case Home::Check: apply_to_words(checks_, at.bit, fault.kind); break;
      case Home::Data: apply_to_words(data_, at.bit, fault.kind); break;
      case Home::Fill:
        if (fault.kind == FaultKind::StuckAt1) {
          fill_.insert(at.bit);
        } else if (fault.kind == FaultKind::StuckAt0 || !fill_.insert(at.bit).second) {
          fill_.erase(at.bit);
        }
        break;
    }
  }
}

bool Image::is_1(std::uint64_t g) const {
  if (g >= bit_count()) fail(std::to_string(g) + " is out of bounds");
  const Place at = place_of(g, n_, d_, r_, data_bits_);
  const auto bit_of = [](const detail::Words& words, std::uint64_t bit) { return ((words[bit / 64] >> (bit % 64)) & 1U) != 0; };
  switch (at.home) {
    case Home::Parity: return bit_of(parity_, at.bit);
    case Home::Check: return bit_of(checks_, at.bit);
    case Home::Data: return bit_of(data_, at.bit);
    case Home::Fill: return fill_.contains(at.bit);
  }
  return false;
}

template Expected<Image, ImageError> Image::encode(std::span<const std::span<const std::uint16_t>>, std::uint64_t);
template Expected<Image, ImageError> Image::encode(std::span<const std::span<const std::uint32_t>>, std::uint64_t);
template Decoded<std::uint16_t> Image::decode() const;
template Decoded<std::uint32_t> Image::decode() const;
template std::vector<bool> Image::decode_into(std::span<const std::span<std::uint16_t>>) const;
template std::vector<bool> Image::decode_into(std::span<const std::span<std::uint32_t>>) const;

}  // namespace corvane::memory::encoding::secded
