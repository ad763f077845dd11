// Data cut into equal chunks and the sequence of their SEC-DED codewords.
//
// Source bit g (array after array, element after element, least significant
// bit first) goes to chunk g / c at position g % c for c bits per chunk; the
// last chunk is filled up with zero bits, which are encoded like data. Chunk
// sizes that are a multiple of 8 give byte chunks, any other size bit chunks;
// both yield bit-identical codewords. This is the straightforward pipeline:
// the encoded image (encoding/secded_image.hpp) is the fast one, and is tested
// bit-exact against this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "expected.hpp"
#include "internal_error.hpp"
#include "memory/encoding/secded.hpp"
#include "memory/limited.hpp"
#include "memory/sequence/uniform.hpp"

namespace corvane::memory::chunks {

using limited::Limited;
using sequence::uniform::NonMatchingItemError;
using sequence::uniform::UniformSequence;

enum class ChunksCreationError : std::uint8_t { EmptyBuffer, ZeroChunkSize };

// The display text.
std::string_view message(ChunksCreationError error) noexcept;

// A codeword did not have the length the data bits per chunk call for.
struct DecodeError {
  encoding::secded::DecodeError inner;

  std::string message() const;
  bool operator==(const DecodeError&) const = default;
};

namespace detail {
// The shared contract of the two copy operations, in units of bits or bytes:
// copies min(A - a, B - b) units and says whether the source from a onwards fitted.
template <class CopyUnit>
std::pair<std::uint64_t, bool> copy_units(std::uint64_t source_size, std::uint64_t a, std::uint64_t destination_size,
                                          std::uint64_t b, CopyUnit copy_unit) {
  if (a >= source_size) return {0, true};
  if (b >= destination_size) return {0, false};
  const std::uint64_t left = source_size - a, room = destination_size - b;
  const std::uint64_t u = left < room ? left : room;
  for (std::uint64_t i = 0; i < u; ++i) copy_unit(a + i, b + i);
  return {u, room >= left};
}
}  // namespace detail

// Chunks of whole bytes; byte b is byte b of the concatenated chunks.
class ByteChunks {
 public:
  ByteChunks() = default;
  // Every chunk must have chunk_bits / 8 bytes.
  ByteChunks(std::vector<std::vector<std::uint8_t>> chunks, std::uint64_t chunk_bits)
      : chunks_(std::move(chunks)), chunk_bits_(chunk_bits) {}

  // ceil(total / bytes_per_chunk) zero chunks; an empty total is refused first.
  static Expected<ByteChunks, ChunksCreationError> zero(std::uint64_t total_bytes, std::uint64_t bytes_per_chunk);

  const std::vector<std::vector<std::uint8_t>>& chunks() const noexcept { return chunks_; }
  std::uint64_t chunk_bits() const noexcept { return chunk_bits_; }
  std::size_t chunk_count() const noexcept { return chunks_.size(); }

  std::uint64_t byte_count() const noexcept {
    return chunks_.empty() ? 0 : std::uint64_t{chunks_.front().size()} * chunks_.size();
  }
  std::uint8_t get_byte(std::uint64_t b) const;
  void set_byte(std::uint64_t b, std::uint8_t v);

  // Destination: byte_count() and set_byte(b, v).
  template <class Destination>
  std::pair<std::uint64_t, bool> copy_into_chunked_offset(std::uint64_t a, std::uint64_t b, Destination& dest) const {
    return detail::copy_units(byte_count(), a, dest.byte_count(), b,
                              [&](std::uint64_t from, std::uint64_t to) { dest.set_byte(to, get_byte(from)); });
  }

 private:
  std::vector<std::vector<std::uint8_t>> chunks_;
  std::uint64_t chunk_bits_ = 0;
};

// Chunks of any bit length (and all codewords): a uniform sequence of Limited.
class DynChunks {
 public:
  DynChunks() = default;
  explicit DynChunks(UniformSequence<Limited> sequence) : sequence_(std::move(sequence)) {}

  // ceil(total / bits_per_chunk) chunks of ceil(bits_per_chunk / 8) zero bytes.
  static Expected<DynChunks, ChunksCreationError> zero(std::uint64_t total_bits, std::uint64_t bits_per_chunk);
  static Expected<DynChunks, NonMatchingItemError> from_raw(std::vector<Limited> items);

  const std::vector<Limited>& chunks() const noexcept { return sequence_.items(); }
  std::vector<Limited> into_chunks() && noexcept { return std::move(sequence_).into_items(); }
  std::uint64_t chunk_bits() const noexcept { return sequence_.item_bits(); }
  std::size_t chunk_count() const noexcept { return sequence_.item_count(); }
  std::uint64_t bit_count() const noexcept { return sequence_.bit_count(); }

  bool is_1(std::uint64_t g) const { return sequence_.is_1(g); }
  void set_0(std::uint64_t g) { sequence_.set_0(g); }
  void set_1(std::uint64_t g) { sequence_.set_1(g); }
  void flip_bit(std::uint64_t g) { sequence_.flip_bit(g); }

  // Destination: bit_count(), set_0(g) and set_1(g).
  template <class Destination>
  std::pair<std::uint64_t, bool> copy_into_offset(std::uint64_t a, std::uint64_t b, Destination& dest) const {
    return detail::copy_units(bit_count(), a, dest.bit_count(), b, [&](std::uint64_t from, std::uint64_t to) {
      if (is_1(from)) {
        dest.set_1(to);
      } else {
        dest.set_0(to);
      }
    });
  }

 private:
  UniformSequence<Limited> sequence_;
};

using Chunks = std::variant<ByteChunks, DynChunks>;

// Cuts the runs (in order, as one bit space) into chunks of c data bits.
// T is the unsigned bit pattern of the element type (uint32_t for float32, uint16_t).
template <class T>
Expected<Chunks, ChunksCreationError> from_buffer(std::span<const std::span<const T>> source, std::uint64_t c);

// One codeword per data chunk, in chunk order (on the worker pool).
DynChunks encode_chunks(const Chunks& data);

// Decodes every codeword into d data bits (on the worker pool). The codewords
// are consumed: their corrections go with them.
Expected<std::pair<Chunks, std::vector<bool>>, DecodeError> decode_chunks(DynChunks codewords, std::uint64_t d);
Expected<std::pair<Chunks, std::vector<bool>>, DecodeError> decode_chunks_byte(DynChunks codewords, std::uint64_t d);
Expected<std::pair<Chunks, std::vector<bool>>, DecodeError> decode_chunks_dyn(DynChunks codewords, std::uint64_t d);

extern template Expected<Chunks, ChunksCreationError> from_buffer(std::span<const std::span<const std::uint16_t>>,
                                                                  std::uint64_t);
extern template Expected<Chunks, ChunksCreationError> from_buffer(std::span<const std::span<const std::uint32_t>>,
                                                                  std::uint64_t);

}  // namespace corvane::memory::chunks
