#include "memory/encoding/secded_trial.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <type_traits>
#include <utility>

#include "memory/encoding/secded.hpp"

namespace corvane::memory::encoding::secded {
namespace {

constexpr std::uint64_t kOnes = ~std::uint64_t{0};
constexpr std::uint64_t kNoBit = kOnes;

std::uint64_t low_mask(std::uint64_t bits) { return bits >= 64 ? kOnes : (std::uint64_t{1} << bits) - 1; }

std::uint64_t parity(std::uint64_t x) { return static_cast<std::uint64_t>(std::popcount(x)) & 1U; }

// The 64 bits from bit o on; words[o / 64 + 1] must exist.
std::uint64_t read64(const std::uint64_t* words, std::uint64_t o) {
  const std::uint64_t q = o >> 6;
  const unsigned s = o & 63;
  return (words[q] >> s) | ((words[q + 1] << 1) << (63 - s));
}

bool bit_of(const std::uint64_t* words, std::uint64_t bit) { return ((words[bit >> 6] >> (bit & 63)) & 1U) != 0; }

// Bit i of kIndexBit[t] is bit t of i.
constexpr std::array<std::uint64_t, 6> kIndexBit = {0xAAAAAAAAAAAAAAAA, 0xCCCCCCCCCCCCCCCC, 0xF0F0F0F0F0F0F0F0,
                                                    0xFF00FF00FF00FF00, 0xFFFF0000FFFF0000, 0xFFFFFFFF00000000};

// XOR of (base + i) over the set bits i of x, with popcounts instead of a
// walk over the bits: the low six bits of base + i follow a rotated index
// pattern, and the high part is base / 64 below the carry and one more above.
std::uint64_t xor_positions(std::uint64_t x, std::uint64_t base) {
  const unsigned s = base & 63;
  const std::uint64_t high = base >> 6;
  const std::uint64_t below = low_mask(64 - s);
  std::uint64_t out = (-parity(x & below) & (high << 6)) ^ (-parity(x & ~below) & ((high + 1) << 6));
  for (unsigned t = 0; t < 6; ++t) out ^= parity(x & std::rotr(kIndexBit[t], static_cast<int>(s))) << t;
  return out;
}

// The first data index whose position is data index + c: positions from
// 2^(c-2) + 1 on, past the check bit 2^(c-2).
std::uint64_t region_start(std::uint64_t c) { return c - 2 < 64 ? (std::uint64_t{1} << (c - 2)) - c + 1 : kOnes; }

struct Sums {
  std::uint64_t syndrome = 0;  // XOR of the positions of the 1 bits
  std::uint64_t ones = 0;      // their number, mod 2
};

// Masks of the first 128 data bits of a chunk by position bit: bit j % 64 of
// kHead[j / 64][k] is bit k of data_position(j). Those positions stay below
// 256, so eight masks per word cover them, and the many short regions of the
// first word cost eight popcounts instead of a walk region by region.
struct HeadMasks {
  std::array<std::array<std::uint64_t, 8>, 2> masks{};
  constexpr HeadMasks() {
    for (std::uint64_t j = 0; j < 128; ++j) {
      const std::uint64_t p = data_position(j);
      for (unsigned k = 0; k < 8; ++k) {
        if ((p >> k) & 1U) masks[j / 64][k] |= std::uint64_t{1} << (j % 64);
      }
    }
  }
};
constexpr HeadMasks kHead;

std::uint64_t head_syndrome(std::uint64_t x, unsigned word) {
  std::uint64_t syndrome = 0;
  for (unsigned k = 0; k < 8; ++k) syndrome |= parity(x & kHead.masks[word][k]) << k;
  return syndrome;
}

// The sums of `len` data bits from image bit `start` on (data bit j of the
// chunk at position data_position(j)). From data bit 128 on, a word of 64
// data bits spans at most two regions of constant offset c = position -
// index, and each region part is one xor_positions.
Sums data_sums(const std::uint64_t* data, std::uint64_t start, std::uint64_t len) {
  Sums sums;
  std::uint64_t ones = 0;
  for (std::uint64_t j = 0; j < len; j += 64) {
    std::uint64_t x = read64(data, start + j) & low_mask(len - j);
    ones ^= x;
    if (j < 128) {
      sums.syndrome ^= head_syndrome(x, static_cast<unsigned>(j / 64));
      continue;
    }
    std::uint64_t at = j;
    while (x != 0) {
      const std::uint64_t c = data_position(at) - at;
      const std::uint64_t next = region_start(c + 1);
      const std::uint64_t part = next - j >= 64 ? x : x & low_mask(next - j);
      sums.syndrome ^= xor_positions(part, j + c);
      x ^= part;
      at = next;
    }
  }
  sums.ones = parity(ones);
  return sums;
}

// The decode of one chunk: its flag, and the data bit (within the chunk) a
// correction flips. The rule of the full decode: a zero syndrome is clean
// with even parity (odd alone: the parity bit, or three or more errors,
// flagged unless the rule takes it for the parity bit); a nonzero one is
// corrected only with odd parity at a position that exists.
struct Verdict {
  bool flag = true;
  std::uint64_t corrected = kNoBit;
};

Verdict verdict_of(const Sums& s, std::uint64_t n, ParityRule rule) {
  if (s.syndrome == 0) return {s.ones == 0 || rule == ParityRule::Correct, kNoBit};
  if (s.ones == 0 || s.syndrome >= n) return {false, kNoBit};
  if (std::has_single_bit(s.syndrome)) return {true, kNoBit};
  return {true, data_index(s.syndrome)};
}

// Reads an image in place, chunk by chunk.
class Reader {
 public:
  Reader(const Image& image, ParityRule rule)
      : image_(image), storage_(image.storage()), d_(image.bits_per_chunk()), n_(image.codeword_bits()), rule_(rule) {}

  std::uint64_t d() const noexcept { return d_; }
  std::uint64_t n() const noexcept { return n_; }
  Verdict classify(const Sums& sums) const { return verdict_of(sums, n_, rule_); }

  // The sums of chunk i's stored codeword: O(d / 64) word operations, plus
  // the set fill bits for the last chunk.
  Sums sums_of(std::uint64_t i) const {
    const std::uint64_t start = i * d_;
    const std::uint64_t len = start < storage_.data_bits ? std::min(d_, storage_.data_bits - start) : 0;
    Sums s = data_sums(storage_.data, start, len);
    if (i + 1 == image_.chunk_count()) {
      for (const std::uint64_t bit : *storage_.fill) {
        s.syndrome ^= data_position(bit - start);
        s.ones ^= 1;
      }
    }
    const std::uint64_t field = i * (storage_.r + 1);
    const std::uint64_t checks = read64(storage_.fields, field + 1) & low_mask(storage_.r);
    s.syndrome ^= checks;  // check bit k sits at position 2^k
    s.ones ^= parity(checks) ^ (bit_of(storage_.fields, field) ? 1U : 0U);
    return s;
  }

  // Starts loading the first words chunk i is read from: a batch of faults
  // lands at random in an image far larger than the cache, so each chunk
  // would otherwise wait for memory in turn.
  void prefetch(std::uint64_t i) const {
    const std::uint64_t start = i * d_;
    if (start < storage_.data_bits) __builtin_prefetch(storage_.data + start / 64);
    __builtin_prefetch(storage_.fields + i * (storage_.r + 1) / 64);
  }

  void prefetch_data(std::uint64_t b) const {
    if (b < storage_.data_bits) __builtin_prefetch(storage_.data + b / 64);
  }

  // The verdict on chunk i as stored. The hit chunks' verdicts are recorded
  // as they are made (in chunk order); any other chunk, which only an
  // element spanning two chunks can reach, is decoded again when asked.
  Verdict stored_verdict(std::uint64_t i) const {
    const auto it = std::lower_bound(hits_.begin(), hits_.end(), i,
                                     [](const auto& hit, std::uint64_t chunk) { return hit.first < chunk; });
    if (it != hits_.end() && it->first == i) return it->second;
    return classify(sums_of(i));
  }

  // The sums of hit chunk i, whose verdict is recorded.
  Sums record_hit(std::uint64_t i) {
    const Sums sums = sums_of(i);
    hits_.emplace_back(i, classify(sums));
    return sums;
  }

  // Stored data bit b (fill bits included).
  bool data_bit(std::uint64_t b) const {
    return b < storage_.data_bits ? bit_of(storage_.data, b) : storage_.fill->contains(b);
  }

  // Stored data bits [b, b + w), w <= 64.
  std::uint64_t data_bits(std::uint64_t b, unsigned w) const {
    if (b + w <= storage_.data_bits) return read64(storage_.data, b) & low_mask(w);
    std::uint64_t v = 0;
    for (unsigned k = 0; k < w; ++k) v |= std::uint64_t{data_bit(b + k)} << k;
    return v;
  }

  // Decoded bits [b, b + w) of the image as it is: stored bits and the
  // corrections of the chunks they lie in.
  std::uint64_t decoded_bits(std::uint64_t b, unsigned w) const {
    std::uint64_t v = data_bits(b, w);
    for (std::uint64_t i = b / d_; i <= (b + w - 1) / d_; ++i) {
      const Verdict verdict = stored_verdict(i);
      if (verdict.corrected == kNoBit) continue;
      const std::uint64_t bit = i * d_ + verdict.corrected;
      if (bit >= b && bit < b + w) v ^= std::uint64_t{1} << (bit - b);
    }
    return v;
  }

 private:
  const Image& image_;
  Image::Storage storage_;
  std::uint64_t d_, n_;
  ParityRule rule_;
  std::vector<std::pair<std::uint64_t, Verdict>> hits_;
};

// Removes the values that occur an even number of times from a sorted vector.
void keep_odd(std::vector<std::uint64_t>& bits) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < bits.size();) {
    std::size_t j = i;
    while (j < bits.size() && bits[j] == bits[i]) ++j;
    if ((j - i) % 2 == 1) bits[out++] = bits[i];
    i = j;
  }
  bits.resize(out);
}

}  // namespace

std::string TrialError::message() const {
  switch (kind_) {
    case Kind::SiteOutOfBounds:
      return "site " + std::to_string(a_) + " (sites[" + std::to_string(index_) +
             "]) is out of bounds for an encoding of " + std::to_string(b_) + " bits";
    case Kind::TooFewBits:
      return "decoding needs " + std::to_string(a_) + " data bits but the chunks hold " + std::to_string(b_);
  }
  return {};
}

template <class T>
Expected<TrialOutcome<T>, TrialError> sparse_trial(const Image& image, FaultKind kind,
                                                   std::span<const std::uint64_t> sites, ParityRule rule) {
  static_assert(std::is_same_v<T, std::uint16_t> || std::is_same_v<T, std::uint32_t>);
  constexpr unsigned w = 8 * sizeof(T);
  const std::uint64_t total = image.bit_count();
  for (std::size_t k = 0; k < sites.size(); ++k) {
    if (sites[k] >= total) return Unexpected(TrialError::site_out_of_bounds(k, sites[k], total));
  }
  std::uint64_t needed = 0;
  for (const std::size_t count : image.element_counts()) needed += std::uint64_t{count} * w;
  const std::uint64_t available = image.chunk_count() * image.bits_per_chunk();
  if (needed > available) return Unexpected(TrialError::too_few_bits(available, needed));

  TrialOutcome<T> out;
  if (sites.empty()) return out;
  Reader reader(image, rule);
  const std::uint64_t n = reader.n(), d = reader.d();

  // One kind for the whole batch, so order does not matter: a stuck-at sets
  // the bit, and flips cancel in pairs.
  std::vector<std::uint64_t> sorted(sites.begin(), sites.end());
  std::sort(sorted.begin(), sorted.end());

  // The first site of every hit chunk, so that chunks can be fetched ahead.
  std::vector<std::size_t> firsts;
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    if (k == 0 || sorted[k] / n != sorted[k - 1] / n) firsts.push_back(k);
  }
  constexpr std::size_t kAhead = 8;
  for (std::size_t h = 0; h < std::min(kAhead, firsts.size()); ++h) reader.prefetch(sorted[firsts[h]] / n);

  std::vector<std::uint64_t> changed;  // positions within the current chunk
  std::vector<std::uint64_t> diff;     // decoded data bits that differ, global, sorted
  std::vector<std::uint64_t> chunk_diff;
  for (std::size_t h = 0; h < firsts.size(); ++h) {
    if (h + kAhead < firsts.size()) reader.prefetch(sorted[firsts[h + kAhead]] / n);
    std::size_t k = firsts[h];
    const std::uint64_t chunk = sorted[k] / n;
    changed.clear();
    std::size_t distinct = 0;
    for (; k < sorted.size() && sorted[k] / n == chunk; ++distinct) {
      const std::uint64_t g = sorted[k];
      std::size_t times = 0;
      for (; k < sorted.size() && sorted[k] == g; ++k) ++times;
      const bool before = image.is_1(g);
      const bool after = kind == FaultKind::Flip ? before != (times % 2 == 1) : kind == FaultKind::StuckAt1;
      if (after != before) changed.push_back(g - chunk * n);
    }
    out.multi_hit += distinct >= 2 ? 1 : 0;
    Sums faulted = reader.record_hit(chunk);
    const Verdict base = reader.classify(faulted);
    if (changed.empty()) {
      out.flagged += base.flag ? 0 : 1;
      out.flagged_intact += base.flag ? 0 : 1;
      continue;
    }
    chunk_diff.clear();
    bool data_hit = false;  // a fault changed a stored data bit that the decode returns
    for (const std::uint64_t p : changed) {
      faulted.syndrome ^= p;
      faulted.ones ^= 1;
      if (is_data_position(p)) {
        chunk_diff.push_back(data_index(p));
        data_hit |= chunk * d + data_index(p) < needed;
      }
    }
    const Verdict now = reader.classify(faulted);
    if (base.corrected != kNoBit) chunk_diff.push_back(base.corrected);
    if (now.corrected != kNoBit) chunk_diff.push_back(now.corrected);
    std::sort(chunk_diff.begin(), chunk_diff.end());
    keep_odd(chunk_diff);
    const std::size_t visible_from = diff.size();
    for (const std::uint64_t j : chunk_diff) {
      if (chunk * d + j < needed) diff.push_back(chunk * d + j);
    }
    if (!now.flag) {
      ++out.flagged;
      out.flagged_intact += data_hit ? 0 : 1;
    } else if (diff.size() == visible_from) {
      ++out.corrected;
    } else {
      ++out.miscorrected;
    }
  }

  // Chunks come in order and each chunk's bits are sorted: so is `diff`.
  for (std::size_t k = 0; k < std::min(kAhead, diff.size()); ++k) reader.prefetch_data(diff[k] / w * w);
  for (std::size_t k = 0; k < diff.size();) {
    if (k + kAhead < diff.size()) reader.prefetch_data(diff[k + kAhead] / w * w);
    const std::uint64_t e = diff[k] / w;
    std::uint64_t mask = 0;
    for (; k < diff.size() && diff[k] / w == e; ++k) mask |= std::uint64_t{1} << (diff[k] % w);
    out.indices.push_back(e);
    out.values.push_back(static_cast<T>(reader.decoded_bits(e * w, w) ^ mask));
  }
  return out;
}

template Expected<TrialOutcome<std::uint16_t>, TrialError> sparse_trial(const Image&, FaultKind,
                                                                        std::span<const std::uint64_t>, ParityRule);
template Expected<TrialOutcome<std::uint32_t>, TrialError> sparse_trial(const Image&, FaultKind,
                                                                        std::span<const std::uint64_t>, ParityRule);

}  // namespace corvane::memory::encoding::secded
