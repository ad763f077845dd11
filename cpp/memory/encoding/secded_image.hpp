// The SEC-DED encoded image: what an Encoding holds.
//
// The codewords are never stored whole. All data bits live in one contiguous
// little-endian image of 64-bit words (the input laid end to end); the
// redundancy of every chunk, its overall parity bit and its r check bits, in
// a packed side array of (r + 1)-bit fields. Encoded bit g = i * n + p of
// chunk i maps to storage in O(1):
//   p = 0     field bit i * (r + 1)
//   p = 2^k   field bit i * (r + 1) + 1 + k
//   else      data bit i * d + (p - floor(log2 p) - 2)
// The fill bits of the last chunk (zero up to the chunk size) are kept
// sparsely, as the set of those that are 1, so a chunk size far beyond the
// data costs nothing. Redundancy is computed word-parallel: with AND + popcount
// per 64 data bits, or with byte tables for chunks of up to 64 bits (see
// secded_kernels.hpp). Decoding corrects in its output only, never in the image.
// The bit-by-bit block code (secded.hpp)
// and the chunk pipeline (chunks.hpp) are the reference this is tested against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "expected.hpp"
#include "memory/fault.hpp"

namespace corvane::memory::encoding::secded {

class ImageError {
 public:
  enum class Kind : std::uint8_t { EmptyBuffer, ZeroChunkSize, ChunkTooLarge };

  ImageError(Kind kind, std::uint64_t bits_per_chunk) noexcept : kind_(kind), bits_per_chunk_(bits_per_chunk) {}

  Kind kind() const noexcept { return kind_; }
  // "Cannot chunk an empty buffer", "The chunk size has to be non-zero", or
  // "bits_per_chunk {d} is too large" when the encoded bit count would not fit in 64 bits.
  std::string message() const;

 private:
  Kind kind_;
  std::uint64_t bits_per_chunk_;
};

// One flag per chunk, in chunk order: true when the chunk was clean or one
// error was corrected, false when an error was detected and not corrected.
// Packed 64 to a word (flag i is bit i % 64 of word i / 64), so that millions
// of chunks cost bytes, not a walk over a vector<bool>.
class ChunkFlags {
 public:
  ChunkFlags() = default;
  ChunkFlags(std::vector<std::uint64_t> words, std::size_t size) : words_(std::move(words)), size_(size) {}

  std::size_t size() const noexcept { return size_; }
  bool operator[](std::size_t i) const noexcept { return ((words_[i / 64] >> (i % 64)) & 1U) != 0; }
  std::span<const std::uint64_t> words() const noexcept { return words_; }
  std::vector<bool> to_vector() const;

 private:
  std::vector<std::uint64_t> words_;
  std::size_t size_ = 0;
};

// Decoded arrays, one per recorded element count, and the chunk flags.
template <class T>
struct Decoded {
  std::vector<std::vector<T>> arrays;
  ChunkFlags flags;
};

namespace detail {
// Owned 64-bit words, allocated without zero-filling (every word is written
// before it is read) and, when large, on huge pages where the system allows.
class Words {
 public:
  Words() = default;
  explicit Words(std::size_t size);
  Words(const Words& other);
  Words& operator=(const Words& other);
  Words(Words&& other) noexcept : words_(std::move(other.words_)), size_(std::exchange(other.size_, 0)) {}
  Words& operator=(Words&& other) noexcept {
    words_ = std::move(other.words_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ~Words() = default;

  std::size_t size() const noexcept { return size_; }
  std::uint64_t* data() noexcept { return words_.get(); }
  const std::uint64_t* data() const noexcept { return words_.get(); }
  std::uint64_t& operator[](std::size_t i) noexcept { return words_[i]; }
  std::uint64_t operator[](std::size_t i) const noexcept { return words_[i]; }

 private:
  std::unique_ptr<std::uint64_t[]> words_;
  std::size_t size_ = 0;
};
}  // namespace detail

class Image {
 public:
  // Copies the runs (element patterns: uint32_t for float32, or uint16_t) and
  // encodes them in chunks of `bits_per_chunk` data bits, on the worker pool.
  // Records the element count of every run.
  template <class T>
  static Expected<Image, ImageError> encode(std::span<const std::span<const T>> runs, std::uint64_t bits_per_chunk);

  Image(const Image&) = default;  // clone: an independent copy
  Image& operator=(const Image&) = default;
  Image(Image&&) noexcept = default;
  Image& operator=(Image&&) noexcept = default;

  std::uint64_t bits_per_chunk() const noexcept { return d_; }
  std::uint64_t codeword_bits() const noexcept { return n_; }
  std::uint64_t chunk_count() const noexcept { return chunks_; }
  // Every index below this is a valid fault target.
  std::uint64_t bit_count() const noexcept { return chunks_ * n_; }
  std::span<const std::size_t> element_counts() const noexcept { return counts_; }
  // Heap bytes held (approximate for the sparse fill bits).
  std::size_t memory_bytes() const noexcept;

  // The index of the first fault whose target is bit_count() or more.
  std::optional<std::size_t> first_out_of_bounds(std::span<const FaultAt> faults) const noexcept;
  // Applies the faults in order (later ones see earlier ones), each in O(1).
  // A target out of bounds is an internal error, raised before any change.
  void apply_faults(std::span<const FaultAt> faults);
  void apply_fault(FaultAt fault) { apply_faults({&fault, 1}); }

  bool is_1(std::uint64_t g) const;
  void set_0(std::uint64_t g) { apply_fault({FaultKind::StuckAt0, g}); }
  void set_1(std::uint64_t g) { apply_fault({FaultKind::StuckAt1, g}); }
  void flip_bit(std::uint64_t g) { apply_fault({FaultKind::Flip, g}); }

  // Decodes into new vectors of T, one per recorded element count, read in T
  // whatever type was encoded. Needing more bits than the chunks hold (float32
  // read from too little uint16 data) is an internal equality assertion.
  template <class T>
  Decoded<T> decode() const;

  // The same into caller-provided arrays, every element of which is written;
  // returns the flags. Lets a caller decode straight into memory it owns.
  template <class T>
  ChunkFlags decode_into(std::span<const std::span<T>> outputs) const;

  // The stored bits as they lie, for readers that work on a few chunks in
  // place instead of decoding the whole image (secded_trial.hpp).
  struct Storage {
    const std::uint64_t* data;  // data bits 0 .. data_bits - 1, then zero words
    std::uint64_t data_bits;
    const std::uint64_t* fields;  // chunk i: parity bit at bit i * (r + 1), then its r check bits
    unsigned r;
    const std::unordered_set<std::uint64_t>* fill;  // data bit indexes >= data_bits that are 1
  };
  Storage storage() const noexcept { return {data_.data(), data_bits_, fields_.data(), r_, &fill_}; }

 private:
  Image() = default;

  std::uint64_t d_ = 0;                     // data bits per chunk
  std::uint64_t n_ = 0;                     // codeword bits
  unsigned r_ = 0;                          // check bits per chunk (n = d + r + 1)
  std::uint64_t chunks_ = 0;                // chunk count
  std::uint64_t data_bits_ = 0;             // bits of the input; image bits past it are zero
  detail::Words data_;                      // ceil(data_bits / 64) + 1 words
  detail::Words fields_;                    // chunk i: parity bit at bit i * (r + 1), then its r check bits
  std::unordered_set<std::uint64_t> fill_;  // data bit indexes >= data_bits_ that are 1
  std::vector<std::size_t> counts_;
};

extern template Expected<Image, ImageError> Image::encode(std::span<const std::span<const std::uint16_t>>,
                                                          std::uint64_t);
extern template Expected<Image, ImageError> Image::encode(std::span<const std::span<const std::uint32_t>>,
                                                          std::uint64_t);
extern template Decoded<std::uint16_t> Image::decode() const;
extern template Decoded<std::uint32_t> Image::decode() const;
extern template ChunkFlags Image::decode_into(std::span<const std::span<std::uint16_t>>) const;
extern template ChunkFlags Image::decode_into(std::span<const std::span<std::uint32_t>>) const;

}  // namespace corvane::memory::encoding::secded
