// Bulk site drawing, site injection into runs, and bitwise differences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "internal_error_text.hpp"
#include "memory/difference.hpp"
#include "memory/fault.hpp"
#include "memory/site_injection.hpp"
#include "parallel/pool.hpp"
#include "picker/draw.hpp"
#include "picker/picker.hpp"
#include "picker/rng.hpp"

namespace {

using corvane::memory::FaultKind;
namespace site_injection = corvane::memory::site_injection;

class DrawInto : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(DrawInto, YieldsWhatThePickerYields) {
  const std::uint64_t size = GetParam();
  for (const std::uint64_t seed : {0ULL, 1ULL, 42ULL, ~0ULL}) {
    const std::uint64_t count = std::min<std::uint64_t>(size, 300);
    std::vector<std::uint64_t> drawn(count);
    corvane::picker::draw_into(size, seed, drawn);
    corvane::picker::Picker picker(size, corvane::picker::Xoshiro256pp::expand_seed(seed));
    for (std::uint64_t k = 0; k < count; ++k) ASSERT_EQ(drawn[k], *picker.next()) << "draw " << k;
  }
}

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
INSTANTIATE_TEST_SUITE_P(Sizes, DrawInto,
                         ::testing::Values(1, 2, 10, 1000, (1ULL << 32) - 1, 1ULL << 32, (1ULL << 32) + 1,
                                           1ULL << 40, kMax));

TEST(DrawInto, TheWholeRangeIsAPermutation) {
  std::vector<std::uint64_t> drawn(1000);
  corvane::picker::draw_into(1000, 5, drawn);
  std::sort(drawn.begin(), drawn.end());
  for (std::uint64_t k = 0; k < 1000; ++k) EXPECT_EQ(drawn[k], k);
  std::vector<std::uint64_t> too_many(3);
  EXPECT_NE(corvane::testing::internal_error_of([&] { corvane::picker::draw_into(2, 5, too_many); }),
            "(no internal error)");
}

// The model: one bit at a time, run after run.
template <class Bits>
void model_inject(std::vector<std::vector<Bits>>& runs, FaultKind kind, std::uint64_t g) {
  constexpr unsigned w = 8 * sizeof(Bits);
  for (auto& run : runs) {
    if (g < run.size() * w) {
      run[g / w] = corvane::memory::apply_fault_to_word(run[g / w], static_cast<unsigned>(g % w), kind);
      return;
    }
    g -= run.size() * w;
  }
  FAIL() << "site beyond the runs";
}

template <class Bits>
class SiteInjection : public ::testing::Test {};
using BitTypes = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(SiteInjection, BitTypes);

TYPED_TEST(SiteInjection, MatchesOneBitAtATimeInOrder) {
  using Bits = TypeParam;
  std::mt19937_64 rng(3);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::vector<Bits>> runs(1 + rng() % 4);
    for (auto& run : runs) {
      run.resize(rng() % 50);  // empty runs included
      for (auto& v : run) v = static_cast<Bits>(rng());
    }
    auto expected = runs;
    std::vector<std::span<Bits>> spans(runs.begin(), runs.end());
    const std::uint64_t total = site_injection::bit_offsets<Bits>(spans).back();
    if (total == 0) continue;
    for (const FaultKind kind : {FaultKind::StuckAt0, FaultKind::StuckAt1, FaultKind::Flip}) {
      std::vector<std::uint64_t> sites(rng() % 100);  // more than the lookahead, duplicates likely
      for (auto& s : sites) s = rng() % std::min<std::uint64_t>(total, 64 + rng() % total);
      for (const auto g : sites) model_inject(expected, kind, g);
      site_injection::inject<Bits>(spans, kind, sites);
      ASSERT_EQ(runs, expected);
    }
  }
}

TEST(SiteInjection, FindsTheFirstSiteOutOfBounds) {
  const std::uint64_t sites[] = {3, 9, 10, 12};
  EXPECT_EQ(site_injection::first_out_of_bounds(sites, 10), 2U);
  EXPECT_EQ(site_injection::first_out_of_bounds(sites, 13), std::nullopt);
}

template <class Bits>
class Difference : public ::testing::Test {};
TYPED_TEST_SUITE(Difference, BitTypes);

TYPED_TEST(Difference, FindsEveryDifferingElementInOrderWhateverTheSplit) {
  using Bits = TypeParam;
  std::mt19937_64 rng(4);
  const std::size_t n = 3 * corvane::memory::difference::kBlockElements + 77;
  std::vector<Bits> a(n), b;
  for (auto& v : a) v = static_cast<Bits>(rng());
  b = a;
  std::vector<std::uint64_t> expected;
  for (std::size_t i = 0; i < n; i += 1 + rng() % 5000) {
    b[i] ^= static_cast<Bits>(Bits{1} << (rng() % (8 * sizeof(Bits))));
    expected.push_back(i);
  }
  b[n - 1] ^= 1;
  if (expected.back() != n - 1) expected.push_back(n - 1);
  for (const std::size_t pieces : {1, 2, 7}) {
    const corvane::parallel::ScopedPieceCount split(pieces);
    EXPECT_EQ(corvane::memory::difference::changed_indices<Bits>(a, b), expected);
  }
  EXPECT_TRUE(corvane::memory::difference::changed_indices<Bits>(a, a).empty());
}

TYPED_TEST(Difference, FindsDenseDifferencesOnMisalignedRuns) {
  // Runs that start one element into their buffers (not 8-byte aligned), with
  // whole lines, line edges and single elements changed, and a ragged tail.
  using Bits = TypeParam;
  constexpr std::size_t kLine = corvane::memory::difference::kLineBytes / sizeof(Bits);
  std::mt19937_64 rng(5);
  const std::size_t n = corvane::memory::difference::kBlockElements + 5 * kLine + 3;
  std::vector<Bits> a(n + 1), b;
  for (auto& v : a) v = static_cast<Bits>(rng());
  b = a;
  std::vector<std::uint64_t> expected;
  for (std::size_t i = 0; i < n; ++i) {
    const bool whole_line = (i / kLine) % 97 == 3;
    const bool edge = i % kLine == 0 || i % kLine == kLine - 1;
    if (whole_line || (edge && rng() % 3 == 0) || rng() % 41 == 0 || i == n - 1) {
      b[i + 1] ^= static_cast<Bits>(Bits{1} << (rng() % (8 * sizeof(Bits))));
      expected.push_back(i);
    }
  }
  const std::span<const Bits> ra(a.data() + 1, n);
  const std::span<const Bits> rb(b.data() + 1, n);
  for (const std::size_t pieces : {1, 3}) {
    const corvane::parallel::ScopedPieceCount split(pieces);
    EXPECT_EQ(corvane::memory::difference::changed_indices<Bits>(ra, rb), expected);
  }
}

}  // namespace
