// Faults on the image: where each encoded bit is stored, and its change in O(1).
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>

#include "internal_error.hpp"
#include "memory/encoding/secded.hpp"
#include "memory/encoding/secded_image.hpp"

namespace corvane::memory::encoding::secded {

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

}  // namespace corvane::memory::encoding::secded
