// Sparse SEC-DED trials: the effect of a batch of faults on an encoded image,
// found by decoding only the chunks the faults hit, without copying or
// changing the image.
//
// A chunk's syndrome and overall parity are linear in its stored bits, so the
// faulted chunk's are the stored chunk's XOR the positions of the bits the
// faults changed. Each hit chunk is read once (O(chunk) word operations) and
// every fault costs O(1) beyond sorting the batch: a trial costs what its
// faults cost, not what the image costs. The dense path (copy the image,
// apply the faults, decode everything, compare) is the reference this is
// tested against.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "expected.hpp"
#include "memory/encoding/secded_image.hpp"
#include "memory/fault.hpp"

namespace corvane::memory::encoding::secded {

class TrialError {
 public:
  enum class Kind : std::uint8_t { SiteOutOfBounds, TooFewBits };

  static TrialError site_out_of_bounds(std::size_t index, std::uint64_t site, std::uint64_t bit_count) noexcept {
    return {Kind::SiteOutOfBounds, index, site, bit_count};
  }
  static TrialError too_few_bits(std::uint64_t available, std::uint64_t needed) noexcept {
    return {Kind::TooFewBits, 0, needed, available};
  }

  Kind kind() const noexcept { return kind_; }
  // "site {site} (sites[{index}]) is out of bounds for an encoding of {n} bits", or
  // "decoding needs {needed} data bits but the chunks hold {available}".
  std::string message() const;

 private:
  TrialError(Kind kind, std::size_t index, std::uint64_t a, std::uint64_t b) noexcept
      : kind_(kind), index_(index), a_(a), b_(b) {}
  Kind kind_;
  std::size_t index_;
  std::uint64_t a_, b_;
};

// How a decoder treats a zero syndrome with odd overall parity: the codec
// flags it (the overall parity bit alone is wrong, or three or more bits
// are); memory controllers usually take it for a lone parity-bit error and
// pass the data, which is right for one fault and silent for the rest.
enum class ParityRule : std::uint8_t { Flag, Correct };

// What one trial did, judged against the decode of the image as it is.
// Element e of T covers decoded data bits [e * w, (e + 1) * w), numbered over
// the recorded arrays laid end to end, as the full decode numbers them.
template <class T>
struct TrialOutcome {
  std::vector<std::uint64_t> indices;  // sorted: the elements whose decoded bits changed
  std::vector<T> values;               // their new decoded bit patterns
  // Chunks whose stored bits the faults changed that decode with flag true
  // to their fault-free data (the bits the decode returns: fill bits past
  // the recorded elements are not compared).
  std::uint64_t corrected = 0;
  std::uint64_t flagged = 0;       // hit chunks that decode with flag false
  std::uint64_t miscorrected = 0;  // hit chunks with flag true but other data
  // Flagged chunks whose stored data bits (those the decode returns) the
  // faults left as they were: the flag was a false alarm.
  std::uint64_t flagged_intact = 0;
  std::uint64_t multi_hit = 0;  // chunks with two or more distinct sites
};

// The outcome of applying `kind` at every site (encoded bit indexes, in the
// numbering of Image::apply_faults; duplicates allowed) and decoding in T
// (uint16_t or uint32_t), as decode<T>() after apply_faults would give it,
// with a decoder that applies `rule` (the codec's decode is ParityRule::Flag).
// Fails, before any work, on the first site at or beyond bit_count() and
// when T needs more bits than the chunks hold.
template <class T>
Expected<TrialOutcome<T>, TrialError> sparse_trial(const Image& image, FaultKind kind,
                                                   std::span<const std::uint64_t> sites,
                                                   ParityRule rule = ParityRule::Flag);

extern template Expected<TrialOutcome<std::uint16_t>, TrialError> sparse_trial(const Image&, FaultKind,
                                                                               std::span<const std::uint64_t>,
                                                                               ParityRule);
extern template Expected<TrialOutcome<std::uint32_t>, TrialError> sparse_trial(const Image&, FaultKind,
                                                                               std::span<const std::uint64_t>,
                                                                               ParityRule);

}  // namespace corvane::memory::encoding::secded
