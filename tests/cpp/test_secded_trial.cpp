// Sparse trials against the dense path: copy the image, apply the faults,
// decode everything, compare with the fault-free decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "memory/encoding/secded.hpp"
#include "memory/encoding/secded_image.hpp"
#include "memory/encoding/secded_trial.hpp"
#include "memory/fault.hpp"

namespace {

using corvane::memory::FaultAt;
using corvane::memory::FaultKind;
using corvane::memory::encoding::secded::data_index;
using corvane::memory::encoding::secded::Image;
using corvane::memory::encoding::secded::is_data_position;
using corvane::memory::encoding::secded::ParityRule;
using corvane::memory::encoding::secded::sparse_trial;
using corvane::memory::encoding::secded::TrialError;
using corvane::memory::encoding::secded::TrialOutcome;

template <class T>
Image encode(const std::vector<std::vector<T>>& runs, std::uint64_t d) {
  const std::vector<std::span<const T>> views(runs.begin(), runs.end());
  return *Image::encode<T>(views, d);
}

template <class T>
std::vector<T> flat_decode(const Image& image, std::vector<bool>* flags) {
  auto decoded = image.decode<T>();
  std::vector<T> flat;
  for (const auto& a : decoded.arrays) flat.insert(flat.end(), a.begin(), a.end());
  if (flags != nullptr) *flags = decoded.flags.to_vector();
  return flat;
}

bool decoded_bit(const std::vector<std::uint8_t>& bytes, std::uint64_t b) { return ((bytes[b / 8] >> (b % 8)) & 1U) != 0; }

template <class T>
std::vector<std::uint8_t> as_bytes(const std::vector<T>& v) {
  std::vector<std::uint8_t> out(v.size() * sizeof(T));
  if (!v.empty()) std::memcpy(out.data(), v.data(), out.size());
  return out;
}

// Whether a codeword reads as a lone overall-parity error: zero syndrome,
// odd parity, from its stored bits.
bool zero_syndrome_odd_parity(const Image& image, std::uint64_t c) {
  const std::uint64_t n = image.codeword_bits();
  std::uint64_t syndrome = 0, ones = 0;
  for (std::uint64_t p = 0; p < n; ++p) {
    if (image.is_1(c * n + p)) {
      syndrome ^= p;
      ones ^= 1;
    }
  }
  return syndrome == 0 && ones == 1;
}

// The dense reference: every figure of the outcome from full decodes (the
// codec's decode flags a lone parity error; the other rule passes it).
template <class T>
TrialOutcome<T> dense_trial(const Image& image, FaultKind kind, std::span<const std::uint64_t> sites,
                            ParityRule rule = ParityRule::Flag) {
  constexpr unsigned w = 8 * sizeof(T);
  Image faulted(image);
  std::vector<FaultAt> faults;
  for (const std::uint64_t g : sites) faults.push_back({kind, g});
  faulted.apply_faults(faults);
  std::vector<bool> flags;
  const std::vector<T> before = flat_decode<T>(image, nullptr);
  const std::vector<T> after = flat_decode<T>(faulted, &flags);
  TrialOutcome<T> out;
  for (std::size_t e = 0; e < before.size(); ++e) {
    if (before[e] != after[e]) {
      out.indices.push_back(e);
      out.values.push_back(after[e]);
    }
  }
  const auto bb = as_bytes(before), ab = as_bytes(after);
  const std::uint64_t n = image.codeword_bits(), d = image.bits_per_chunk(), needed = std::uint64_t{before.size()} * w;
  std::vector<std::uint64_t> distinct(sites.begin(), sites.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<std::uint64_t> hit;
  for (const std::uint64_t g : distinct) hit.push_back(g / n);
  for (std::size_t k = 1; k < hit.size(); ++k) {
    if (hit[k] == hit[k - 1] && (k < 2 || hit[k - 2] != hit[k])) ++out.multi_hit;
  }
  hit.erase(std::unique(hit.begin(), hit.end()), hit.end());
  for (const std::uint64_t c : hit) {
    bool stored_changed = false, data_changed = false;
    for (std::uint64_t p = 0; p < n; ++p) {
      const bool differs = image.is_1(c * n + p) != faulted.is_1(c * n + p);
      stored_changed |= differs;
      data_changed |= differs && is_data_position(p) && c * d + data_index(p) < needed;
    }
    bool same = true;
    for (std::uint64_t b = c * d; b < std::min((c + 1) * d, needed); ++b) same &= decoded_bit(bb, b) == decoded_bit(ab, b);
    const bool passed = rule == ParityRule::Correct && zero_syndrome_odd_parity(faulted, c);
    if (!flags[c] && !passed) {
      ++out.flagged;
      out.flagged_intact += data_changed ? 0 : 1;
    } else if (!same) {
      ++out.miscorrected;
    } else if (stored_changed) {
      ++out.corrected;
    }
  }
  return out;
}

template <class T>
void expect_same(const TrialOutcome<T>& sparse, const TrialOutcome<T>& dense) {
  EXPECT_EQ(sparse.indices, dense.indices);
  EXPECT_EQ(sparse.values, dense.values);
  EXPECT_EQ(sparse.corrected, dense.corrected);
  EXPECT_EQ(sparse.flagged, dense.flagged);
  EXPECT_EQ(sparse.miscorrected, dense.miscorrected);
  EXPECT_EQ(sparse.flagged_intact, dense.flagged_intact);
  EXPECT_EQ(sparse.multi_hit, dense.multi_hit);
}

// Sites that favour the places where a trial can go wrong: the overall
// parity bit, check bits, the last (partial) chunk and its fill bits, and
// several faults in one chunk.
std::vector<std::uint64_t> tricky_sites(const Image& image, std::mt19937_64& rng, std::size_t count) {
  const std::uint64_t n = image.codeword_bits(), chunks = image.chunk_count();
  std::vector<std::uint64_t> sites;
  std::uint64_t chunk = rng() % chunks;
  for (std::size_t k = 0; k < count; ++k) {
    if (rng() % 3 == 0) chunk = rng() % 4 == 0 ? chunks - 1 : rng() % chunks;
    std::uint64_t p = 0;
    switch (rng() % 4) {
      case 0: p = 0; break;
      case 1: p = std::uint64_t{1} << (rng() % std::bit_width(n - 1)); break;
      default: p = rng() % n; break;
    }
    sites.push_back(chunk * n + std::min(p, n - 1));
    if (rng() % 5 == 0) sites.push_back(sites.back());  // the same bit twice
  }
  return sites;
}

template <class T>
std::vector<std::vector<T>> random_runs(std::mt19937_64& rng) {
  std::vector<std::vector<T>> runs(1 + rng() % 3);
  for (auto& run : runs) {
    run.resize(rng() % 40);
    for (auto& v : run) v = static_cast<T>(rng());
  }
  if (runs[0].empty()) runs[0].push_back(static_cast<T>(rng()));
  return runs;
}

const std::uint64_t kChunkSizes[] = {1, 2, 3, 5, 8, 13, 16, 31, 32, 36, 57, 64, 65, 100,
                                     127, 128, 129, 200, 255, 300, 512, 1000, 1024, 4096};
const FaultKind kKinds[] = {FaultKind::StuckAt0, FaultKind::StuckAt1, FaultKind::Flip};

template <class Stored, class Read>
void differential(std::uint64_t d, std::uint64_t seed) {
  std::mt19937_64 rng(seed * 1000 + d);
  for (int round = 0; round < 12; ++round) {
    Image image = encode(random_runs<Stored>(rng), d);
    // Some encodings carry earlier faults, so the fault-free decode is not
    // the clean one.
    if (round % 4 == 3) image.apply_fault({FaultKind::Flip, rng() % image.bit_count()});
    if (round % 6 == 5) image.apply_fault({FaultKind::StuckAt1, image.bit_count() - 1});
    std::uint64_t needed = 0;
    for (const auto c : image.element_counts()) needed += c * 8 * sizeof(Read);
    if (needed > image.chunk_count() * d) continue;
    for (const FaultKind kind : kKinds) {
      const auto sites = tricky_sites(image, rng, 1 + rng() % 10);
      for (const ParityRule rule : {ParityRule::Flag, ParityRule::Correct}) {
        const auto sparse = sparse_trial<Read>(image, kind, sites, rule);
        ASSERT_TRUE(sparse.has_value());
        expect_same(*sparse, dense_trial<Read>(image, kind, sites, rule));
      }
    }
  }
}

class TrialDifferential : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(TrialDifferential, Uint16ImagesReadAsUint16) { differential<std::uint16_t, std::uint16_t>(GetParam(), 1); }
TEST_P(TrialDifferential, Float32ImagesReadAsUint32) { differential<std::uint32_t, std::uint32_t>(GetParam(), 2); }
TEST_P(TrialDifferential, Float32ImagesReadAsUint16) { differential<std::uint32_t, std::uint16_t>(GetParam(), 3); }
TEST_P(TrialDifferential, Uint16ImagesReadAsUint32WhenTheFillHoldsEnough) {
  differential<std::uint16_t, std::uint32_t>(GetParam(), 4);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, TrialDifferential, ::testing::ValuesIn(kChunkSizes));

TEST(SparseTrial, ManyChunksAndManyFaults) {
  std::mt19937_64 rng(9);
  std::vector<std::vector<std::uint32_t>> runs(3);
  for (auto& run : runs) {
    run.resize(3000 + rng() % 100);
    for (auto& v : run) v = static_cast<std::uint32_t>(rng());
  }
  for (const std::uint64_t d : {36, 64, 1000}) {
    const Image image = encode(runs, d);
    for (const FaultKind kind : kKinds) {
      std::vector<std::uint64_t> sites(5000);
      for (auto& s : sites) s = rng() % image.bit_count();
      const auto sparse = sparse_trial<std::uint32_t>(image, kind, sites);
      ASSERT_TRUE(sparse.has_value());
      const auto dense = dense_trial<std::uint32_t>(image, kind, sites);
      expect_same(*sparse, dense);
      EXPECT_GT(dense.indices.size(), 0U);
    }
  }
}

TEST(SparseTrial, SingleFlipsAreCorrectedAndDoubleFlipsFlagged) {
  const Image image = encode<std::uint32_t>({{1, 2, 3, 4}}, 64);
  const std::uint64_t n = image.codeword_bits();
  const std::uint64_t one[] = {5}, two[] = {3, 5}, parity_bit[] = {n}, idle[] = {3, 3};
  const auto a = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, one);
  EXPECT_TRUE(a.indices.empty());
  EXPECT_EQ(a.corrected, 1U);
  const auto b = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, two);
  EXPECT_EQ(b.flagged, 1U);
  EXPECT_EQ(b.indices, (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(b.values, (std::vector<std::uint32_t>{1U ^ 0b11U}));
  // A flipped overall parity bit alone is flagged, as the full decode does.
  const auto c = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, parity_bit);
  EXPECT_EQ(c.flagged, 1U);
  EXPECT_TRUE(c.indices.empty());
  // Two flips of one bit, and stuck-at faults that change nothing, hit a
  // chunk without changing it.
  const auto d = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, idle);
  EXPECT_EQ(d.corrected + d.flagged + d.miscorrected, 0U);
  const std::uint64_t zero_bit[] = {5};  // data bit 1 of element 0 (value 1) is 0
  const auto e = *sparse_trial<std::uint32_t>(image, FaultKind::StuckAt0, zero_bit);
  EXPECT_EQ(e.corrected + e.flagged + e.miscorrected, 0U);
}

TEST(SparseTrial, ParityRuleDecidesTheLoneParityError) {
  const Image image = encode<std::uint32_t>({{1, 2, 3, 4}}, 64);
  const std::uint64_t n = image.codeword_bits();
  // The overall parity bit alone: a false alarm for the codec, nothing for the other rule.
  const std::uint64_t parity_bit[] = {n};
  const auto strict = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, parity_bit, ParityRule::Flag);
  EXPECT_EQ(strict.flagged, 1U);
  EXPECT_EQ(strict.flagged_intact, 1U);
  const auto passed = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, parity_bit, ParityRule::Correct);
  EXPECT_EQ(passed.flagged + passed.miscorrected, 0U);
  EXPECT_EQ(passed.corrected, 1U);
  // Three data bits at positions 3, 5 and 6 XOR to zero with odd parity: the
  // codec flags wrong data, the other rule passes it on silently.
  const std::uint64_t three[] = {3, 5, 6};
  const auto flagged = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, three, ParityRule::Flag);
  EXPECT_EQ(flagged.flagged, 1U);
  EXPECT_EQ(flagged.flagged_intact, 0U);
  EXPECT_EQ(flagged.multi_hit, 1U);
  const auto silent = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, three, ParityRule::Correct);
  EXPECT_EQ(silent.flagged, 0U);
  EXPECT_EQ(silent.miscorrected, 1U);
  EXPECT_EQ(silent.indices, (std::vector<std::uint64_t>{0}));
  // A check bit and the parity bit: nonzero syndrome, even parity, flagged
  // by both rules with the data intact.
  const std::uint64_t check_and_parity[] = {0, 2};
  for (const ParityRule rule : {ParityRule::Flag, ParityRule::Correct}) {
    const auto out = *sparse_trial<std::uint32_t>(image, FaultKind::Flip, check_and_parity, rule);
    EXPECT_EQ(out.flagged, 1U);
    EXPECT_EQ(out.flagged_intact, 1U);
  }
}

TEST(SparseTrial, MultiHitCountsChunksWithTwoOrMoreDistinctSites) {
  const Image image = encode<std::uint32_t>({{1, 2, 3, 4, 5, 6, 7, 8}}, 64);
  const std::uint64_t n = image.codeword_bits();
  // Chunk 0: one site twice (one distinct site); chunk 1: two sites; chunk 2: three.
  const std::uint64_t sites[] = {7, 7, n + 3, n + 9, 2 * n + 1, 2 * n + 4, 2 * n + 20};
  const auto out = *sparse_trial<std::uint32_t>(image, FaultKind::StuckAt1, sites);
  EXPECT_EQ(out.multi_hit, 2U);
}

TEST(SparseTrial, RefusesBadInputBeforeAnyWork) {
  const Image image = encode<std::uint16_t>({{7}}, 16);
  const std::uint64_t sites[] = {0, image.bit_count()};
  const auto out = sparse_trial<std::uint16_t>(image, FaultKind::Flip, sites);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().kind(), TrialError::Kind::SiteOutOfBounds);
  EXPECT_EQ(out.error().message(), "site 22 (sites[1]) is out of bounds for an encoding of 22 bits");
  const auto wide = sparse_trial<std::uint32_t>(image, FaultKind::Flip, std::span<const std::uint64_t>{});
  ASSERT_FALSE(wide.has_value());
  EXPECT_EQ(wide.error().message(), "decoding needs 32 data bits but the chunks hold 16");
}

}  // namespace
