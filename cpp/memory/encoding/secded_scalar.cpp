// The scalar kernels: every chunk size, word-parallel with AND + popcount per
// 64 data bits, or with byte tables for chunks of up to 64 bits.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "cpu_features.hpp"
#include "memory/encoding/secded_kernels.hpp"

namespace corvane::memory::encoding::secded::kernels {
namespace {

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

}  // namespace

// clang-format off
CORVANE_CLONES_AVX2_POPCNT
void encode_groups_scalar(const View& v, std::uint64_t g0, std::uint64_t g1, std::uint64_t* fields_out) {
  with_period(v.layout->period_bytes, [&](auto p) __attribute__((always_inline)) {
    encode_groups_with<decltype(p)::value>(v, g0, g1, fields_out);
  });
}

CORVANE_CLONES_AVX2_POPCNT
void decode_groups_scalar(const View& v, std::uint64_t g0, std::uint64_t g1, const std::uint64_t* stored,
                          std::uint64_t needed, std::uint64_t* flag_words, std::vector<std::uint64_t>& flips) {
  with_period(v.layout->period_bytes, [&](auto p) __attribute__((always_inline)) {
    decode_groups_with<decltype(p)::value>(v, g0, g1, stored, needed, flag_words, flips);
  });
}
// clang-format on

}  // namespace corvane::memory::encoding::secded::kernels
