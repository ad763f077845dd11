#include "memory/chunks.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>

#include "parallel/parallel.hpp"

namespace corvane::memory::chunks {
namespace {

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

[[noreturn]] void index_out_of_range(std::uint64_t len, std::uint64_t index) {
  fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

// Walks the bytes (or bits) of the runs in global order.
template <class T>
class SourceWalk {
 public:
  explicit SourceWalk(std::span<const std::span<const T>> runs) : runs_(runs) {}

  template <class Visit>
  void bytes(std::uint64_t limit, Visit visit) const {
    std::uint64_t at = 0;
    for (const auto run : runs_) {
      for (const T element : run) {
        for (unsigned k = 0; k < sizeof(T); ++k, ++at) {
          if (at == limit) return;
          visit(at, static_cast<std::uint8_t>(element >> (8 * k)));
        }
      }
    }
  }

  template <class Visit>
  void bits(std::uint64_t limit, Visit visit) const {
    std::uint64_t at = 0;
    for (const auto run : runs_) {
      for (const T element : run) {
        for (unsigned k = 0; k < 8 * sizeof(T); ++k, ++at) {
          if (at == limit) return;
          visit(at, ((element >> k) & 1U) != 0);
        }
      }
    }
  }

  std::uint64_t byte_count() const {
    std::uint64_t total = 0;
    for (const auto run : runs_) total += std::uint64_t{run.size()} * sizeof(T);
    return total;
  }

 private:
  std::span<const std::span<const T>> runs_;
};

using Decoded = Expected<std::pair<Chunks, std::vector<bool>>, DecodeError>;

// Runs decode_into on codeword i and its own destination, for every i.
template <class Destination, class MakeDestination>
Expected<std::pair<std::vector<Destination>, std::vector<bool>>, DecodeError> decode_all(DynChunks codewords,
                                                                                         MakeDestination make) {
  const std::size_t k = codewords.chunk_count();
  if (k == 0) fail("assertion failed: chunks > 0");
  std::vector<Limited> items = std::move(codewords).into_chunks();
  return parallel::try_map_unzip<Destination, DecodeError>(
      k, [&](std::size_t i) -> Expected<std::pair<Destination, bool>, DecodeError> {
        Destination destination = make();
        auto flag = encoding::secded::decode_into(items[i], destination);
        if (!flag) {
          if (flag.error().kind() == encoding::secded::DecodeError::Kind::EmptyDestination) {
            fail("internal error: entered unreachable code: There is always at least one chunk");
          }
          return Unexpected(DecodeError{flag.error()});
        }
        return std::pair{std::move(destination), *flag};
      });
}

}  // namespace

std::string_view message(ChunksCreationError error) noexcept {
  switch (error) {
    case ChunksCreationError::EmptyBuffer:
      return "Cannot chunk an empty buffer";
    case ChunksCreationError::ZeroChunkSize:
      return "The chunk size has to be non-zero";
  }
  return {};
}

std::string DecodeError::message() const {
  return "The data bits count must be invalid because a length mismatch was detected during decoding: " +
         inner.message();
}

Expected<ByteChunks, ChunksCreationError> ByteChunks::zero(std::uint64_t total_bytes, std::uint64_t bytes_per_chunk) {
  if (total_bytes == 0) return Unexpected(ChunksCreationError::EmptyBuffer);
  if (bytes_per_chunk == 0) return Unexpected(ChunksCreationError::ZeroChunkSize);
  std::vector<std::vector<std::uint8_t>> chunks(static_cast<std::size_t>(ceil_div(total_bytes, bytes_per_chunk)),
                                                std::vector<std::uint8_t>(static_cast<std::size_t>(bytes_per_chunk)));
  return ByteChunks(std::move(chunks), 8 * bytes_per_chunk);
}

std::uint8_t ByteChunks::get_byte(std::uint64_t b) const {
  const std::uint64_t chunk_bytes = chunk_bits_ / 8;
  if (chunk_bytes == 0) fail("attempt to divide by zero");
  if (b / chunk_bytes >= chunks_.size()) index_out_of_range(chunks_.size(), b / chunk_bytes);
  return chunks_[b / chunk_bytes][b % chunk_bytes];
}

void ByteChunks::set_byte(std::uint64_t b, std::uint8_t v) {
  const std::uint64_t chunk_bytes = chunk_bits_ / 8;
  if (chunk_bytes == 0) fail("attempt to divide by zero");
  if (b / chunk_bytes >= chunks_.size()) fail(std::to_string(b) + " is out of bounds");
  chunks_[b / chunk_bytes][b % chunk_bytes] = v;
}

Expected<DynChunks, ChunksCreationError> DynChunks::zero(std::uint64_t total_bits, std::uint64_t bits_per_chunk) {
  if (total_bits == 0) return Unexpected(ChunksCreationError::EmptyBuffer);
  if (bits_per_chunk == 0) return Unexpected(ChunksCreationError::ZeroChunkSize);
  std::vector<Limited> items(static_cast<std::size_t>(ceil_div(total_bits, bits_per_chunk)),
                             Limited::zeros(bits_per_chunk));
  auto sequence = UniformSequence<Limited>::create(std::move(items));
  if (!sequence) fail("equal chunks always form a uniform sequence");
  return DynChunks(std::move(*sequence));
}

Expected<DynChunks, NonMatchingItemError> DynChunks::from_raw(std::vector<Limited> items) {
  auto sequence = UniformSequence<Limited>::create(std::move(items));
  if (!sequence) return Unexpected(sequence.error());
  return DynChunks(std::move(*sequence));
}

template <class T>
Expected<Chunks, ChunksCreationError> from_buffer(std::span<const std::span<const T>> source, std::uint64_t c) {
  const SourceWalk<T> walk(source);
  const std::uint64_t total_bytes = walk.byte_count();
  if (c % 8 == 0) {
    auto made = ByteChunks::zero(total_bytes, c / 8);
    if (!made) return Unexpected(made.error());
    ByteChunks chunks = std::move(*made);
    const std::uint64_t limit = std::min(total_bytes, chunks.byte_count());
    walk.bytes(limit, [&](std::uint64_t b, std::uint8_t v) { chunks.set_byte(b, v); });
    if (limit != total_bytes) fail_assert_eq(limit, total_bytes);
    return Chunks(std::move(chunks));
  }
  const std::uint64_t total_bits = 8 * total_bytes;
  auto made = DynChunks::zero(total_bits, c);
  if (!made) return Unexpected(made.error());
  DynChunks chunks = std::move(*made);
  const std::uint64_t limit = std::min(total_bits, chunks.bit_count());
  walk.bits(limit, [&](std::uint64_t g, bool one) {
    if (one) chunks.set_1(g);
  });
  if (limit != total_bits) fail_assert_eq(limit, total_bits);
  return Chunks(std::move(chunks));
}

template Expected<Chunks, ChunksCreationError> from_buffer(std::span<const std::span<const std::uint16_t>>,
                                                           std::uint64_t);
template Expected<Chunks, ChunksCreationError> from_buffer(std::span<const std::span<const std::uint32_t>>,
                                                           std::uint64_t);

DynChunks encode_chunks(const Chunks& data) {
  auto codewords = std::visit(
      [](const auto& chunks) {
        return parallel::map_collect<Limited>(chunks.chunk_count(), [&](std::size_t i) {
          std::optional<Limited> codeword;
          if constexpr (std::is_same_v<std::decay_t<decltype(chunks)>, ByteChunks>) {
            codeword = encoding::secded::encode(std::span<const std::uint8_t>(chunks.chunks()[i]));
          } else {
            codeword = encoding::secded::encode(chunks.chunks()[i]);
          }
          if (!codeword) fail("chunks cannot be empty");
          return std::move(*codeword);
        });
      },
      data);
  auto sequence = DynChunks::from_raw(std::move(codewords));
  if (!sequence) {
    fail(
        "internal error: entered unreachable code: UniformSequence creation shouldn't fail as the chunk sizes are "
        "known to be the same unless they have been tampered with after creation. Got error " +
        sequence.error().message());
  }
  return std::move(*sequence);
}

Decoded decode_chunks(DynChunks codewords, std::uint64_t d) {
  return d % 8 == 0 ? decode_chunks_byte(std::move(codewords), d) : decode_chunks_dyn(std::move(codewords), d);
}

Decoded decode_chunks_byte(DynChunks codewords, std::uint64_t d) {
  auto decoded = decode_all<std::vector<std::uint8_t>>(
      std::move(codewords), [d] { return std::vector<std::uint8_t>(static_cast<std::size_t>(d / 8)); });
  if (!decoded) return Unexpected(decoded.error());
  auto& [chunks, flags] = *decoded;
  return std::pair{Chunks(ByteChunks(std::move(chunks), d)), std::move(flags)};
}

Decoded decode_chunks_dyn(DynChunks codewords, std::uint64_t d) {
  auto decoded = decode_all<Limited>(std::move(codewords), [d] {
    auto block = Limited::create(std::vector<std::uint8_t>(static_cast<std::size_t>(ceil_div(d, 8))), d);
    if (!block) fail("cannot fail as long as the function above is correct");
    return std::move(*block);
  });
  if (!decoded) return Unexpected(decoded.error());
  auto& [chunks, flags] = *decoded;
  auto sequence = UniformSequence<Limited>::create(std::move(chunks));
  if (!sequence) fail("decoded chunks all have the requested length");
  return std::pair{Chunks(DynChunks(std::move(*sequence))), std::move(flags)};
}

}  // namespace corvane::memory::chunks
