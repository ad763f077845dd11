#include "memory/encoding/secded_image.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>

#include "internal_error.hpp"
#include "memory/encoding/secded.hpp"
#include "memory/encoding/secded_kernels.hpp"
#include "memory/encoding/secded_runs.hpp"
#include "memory/huge_pages.hpp"
#include "parallel/pool.hpp"

namespace corvane::memory::encoding::secded {

// The image is the input's bytes in memory order read as 64-bit words.
static_assert(std::endian::native == std::endian::little, "the encoded image assumes a little-endian host");

namespace {

using kernels::ceil_div;
using kernels::kGroupChunks;
using kernels::kOnes;
using kernels::Layout;
using kernels::Sums;
using kernels::View;
using runs::byte_starts;
using runs::for_byte_blocks;
using runs::for_run_parts;

// Decoding copies the data out in blocks of about this many bytes, small
// enough to be still in the core's cache after their chunks were checked.
constexpr std::uint64_t kDecodeBlockBytes = std::uint64_t{128} << 10;

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
  const auto kernels = kernels::kernels_for(layout);
  parallel::run_pieces(static_cast<std::size_t>(groups),
                       [&](std::size_t g0, std::size_t g1) { kernels.encode(view, g0, g1, image.fields_.data()); });
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
  const auto kernels = kernels::kernels_for(layout);
  std::vector<std::uint64_t> flips;
  std::mutex flips_mutex;
  // Each block of groups is decoded, then its bytes are copied out while they
  // are still in cache: the image is read once, not once per pass.
  parallel::run_pieces(static_cast<std::size_t>(groups), [&](std::size_t g0, std::size_t g1) {
    std::vector<std::uint64_t> local;
    for (std::uint64_t b0 = g0; b0 < g1; b0 += block_groups) {
      const std::uint64_t b1 = std::min<std::uint64_t>(g1, b0 + block_groups);
      kernels.decode(view, b0, b1, fields_.data(), needed, flag_words.data(), local);
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
    memory::advise_huge_pages(array.data(), count * sizeof(T));
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

template Expected<Image, ImageError> Image::encode(std::span<const std::span<const std::uint16_t>>, std::uint64_t);
template Expected<Image, ImageError> Image::encode(std::span<const std::span<const std::uint32_t>>, std::uint64_t);
template Decoded<std::uint16_t> Image::decode() const;
template Decoded<std::uint32_t> Image::decode() const;
template ChunkFlags Image::decode_into(std::span<const std::span<std::uint16_t>>) const;
template ChunkFlags Image::decode_into(std::span<const std::span<std::uint32_t>>) const;

}  // namespace corvane::memory::encoding::secded
