// The picker's generator, map and permutation. Expected sequences were
// computed independently with arbitrary-precision integer arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "internal_error.hpp"
#include "picker/picker.hpp"
#include "picker/rng.hpp"
#include "picker/u64_map.hpp"

namespace corvane::picker {
namespace {

constexpr std::uint64_t kMax = ~std::uint64_t{0};

std::vector<std::uint64_t> draw(Picker& p, std::size_t limit = SIZE_MAX) {
  std::vector<std::uint64_t> out;
  while (out.size() < limit) {
    const auto v = p.next();
    if (!v) break;
    out.push_back(*v);
  }
  return out;
}

// Number of 64-bit outputs that take `from` to `to` (up to 8).
int outputs_between(Xoshiro256pp from, const Xoshiro256pp& to) {
  for (int n = 0; n <= 8; ++n, from.next_u64()) {
    if (from == to) return n;
  }
  return -1;
}

// ---- generator ----

TEST(Rng, Seed0StateAndFirstOutput) {
  auto rng = Xoshiro256pp::expand_seed(0);
  EXPECT_EQ(rng.state(), (Xoshiro256pp::State{0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4,
                                               0x06C45D188009454F, 0xF88BB8A8724C81EC}));
  auto copy = rng;
  EXPECT_EQ(rng.next_u64(), 0x53175D61490B23DFu);
  EXPECT_EQ(copy.next_u32(), 0x53175D61u);
}

TEST(Rng, BytesAreLittleEndianWordsAndZeroBecomesSeed0) {
  std::array<std::uint8_t, 32> bytes{};
  EXPECT_EQ(Xoshiro256pp::from_bytes(bytes), Xoshiro256pp::expand_seed(0));
  EXPECT_EQ(Xoshiro256pp::from_state({}), Xoshiro256pp::expand_seed(0));
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  EXPECT_EQ(Xoshiro256pp::from_bytes(bytes).state(),
            (Xoshiro256pp::State{0x0706050403020100, 0x0F0E0D0C0B0A0908, 0x1716151413121110,
                                 0x1F1E1D1C1B1A1918}));
}

TEST(Rng, EntropySeeding) {
  EXPECT_NE(Xoshiro256pp::from_rng(), Xoshiro256pp::from_rng());
  EXPECT_EQ(from_entropy([](std::span<std::uint8_t> out) {
              std::fill(out.begin(), out.end(), 0);
              return 0;
            }),
            Xoshiro256pp::expand_seed(0));
  try {
    from_entropy([](std::span<std::uint8_t>) { return ENOSYS; });
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("could not initialize ThreadRng: ", 0), 0u) << e.what();
  }
}

struct RangeCase {
  std::uint64_t seed, k, value;
  int outputs;  // 64-bit outputs consumed
};

// One output, and two outputs without and with a carry, for both widths.
constexpr RangeCase kRangeCases[] = {
    {0, 1, 0x0, 1},
    {1, 10, 0x8, 1},
    {4, 3000000000, 0x79845CA4, 1},
    {1, 3000000000, 0x9120A7FC, 2},
    {0, 3000000000, 0x3A09E06C, 2},                  // carry
    {1, 0xFFFFFFFF, 0xCFC5D07E, 2},                  // the last 32-bit range
    {1, 0x100000000, 0xCFC5D07F, 1},                 // the first 64-bit range
    {0, 0x8000000000003039, 0x298BAEB0A485A196, 1},
    {3, 0x8000000000003039, 0x0695F5C8DC8CB70F, 2},
    {1, 0x8000000000003039, 0x67E2E83FB7820871, 2},  // carry
    {0, kMax, 0x53175D61490B23DF, 2},                // carry
};

TEST(Rng, RandomRangeExactValuesAndConsumption) {
  for (const RangeCase& c : kRangeCases) {
    SCOPED_TRACE(testing::Message() << "seed " << c.seed << " k " << c.k);
    auto rng = Xoshiro256pp::expand_seed(c.seed);
    const auto before = rng;
    EXPECT_EQ(random_range(rng, c.k), c.value);
    EXPECT_EQ(outputs_between(before, rng), c.outputs);
  }
  auto rng = Xoshiro256pp::expand_seed(0);
  EXPECT_THROW(random_range(rng, 0), InternalError);
}

// ---- map ----

TEST(U64Map, RandomOperationsMatchModel) {
  std::mt19937_64 gen(5);
  // Small pools so that overwrites and hits are frequent; the all-ones key
  // takes the side slot, the 2^32 multiples collide in the folded hash.
  std::vector<std::uint64_t> keys = {0, 1, kMax, kMax - 1};
  for (std::uint64_t i = 0; i < 300; ++i) keys.push_back(i << 32);
  for (int i = 0; i < 3000; ++i) keys.push_back(gen());
  for (std::uint64_t i = 2; i < 3000; ++i) keys.push_back(i);

  U64Map map;
  std::unordered_map<std::uint64_t, std::uint64_t> model;
  for (int step = 0; step < 200000; ++step) {
    const std::uint64_t key = keys[gen() % keys.size()];
    const auto op = gen() % 1000;
    if (op == 0) {
      const std::size_t capacity = map.capacity();
      map.clear();
      model.clear();
      ASSERT_EQ(map.capacity(), capacity);
    } else if (op < 500) {
      const std::uint64_t value = gen();
      map.insert_or_assign(key, value);
      model[key] = value;
    } else {
      const auto it = model.find(key);
      ASSERT_EQ(map.contains(key), it != model.end());
      ASSERT_EQ(map.get_or(key, 7), it == model.end() ? 7 : it->second);
    }
    ASSERT_EQ(map.size(), model.size());
  }
  std::unordered_map<std::uint64_t, std::uint64_t> seen;
  map.for_each([&](std::uint64_t k, std::uint64_t v) { EXPECT_TRUE(seen.emplace(k, v).second); });
  EXPECT_EQ(seen, model);
}

TEST(U64Map, GrowthKeepsLoadBoundedAndReserveHolds) {
  U64Map map;
  for (std::uint64_t i = 1; i <= 100000; ++i) {
    map.insert_or_assign(i * 0x10001, i);
    ASSERT_TRUE(std::has_single_bit(map.capacity()));
    ASSERT_LE(2 * map.size(), map.capacity());
  }
  map.reserve(300000);
  const std::size_t capacity = map.capacity();
  for (std::uint64_t i = 0; i < 200000; ++i) map.insert_or_assign(i << 40, i);
  EXPECT_EQ(map.capacity(), capacity);
  for (std::uint64_t i = 1; i <= 100000; ++i) ASSERT_EQ(map.get_or(i * 0x10001, 0), i);
}

// ---- picker ----

Picker seeded(std::uint64_t size, std::uint64_t seed) {
  return Picker(size, Xoshiro256pp::expand_seed(seed));
}

Picker rebuilt(std::uint64_t size, std::vector<std::uint64_t> returned, std::uint64_t seed) {
  auto p = Picker::from_returned(size, returned, Xoshiro256pp::expand_seed(seed));
  if (!p) {
    ADD_FAILURE() << p.error().message();
  }
  return std::move(p).value();
}

using Seq = std::vector<std::uint64_t>;

struct PrefixCase {
  std::uint64_t size, seed;
  Seq prefix;
};

TEST(Picker, KnownSequences) {
  const PrefixCase cases[] = {
      {10, 0, {3, 9, 2, 0, 7, 6, 8, 5, 4, 1}},
      {10, 42, {8, 2, 7, 4, 6, 9, 0, 1, 3, 5}},
      {std::uint64_t{1} << 40, 7, {60869443626, 189243383290, 788983296943, 469722163809, 1059554849521}},
      {(std::uint64_t{1} << 32) + 1, 5, {1254228683, 2626112286, 420748982, 2263690115, 1974465312}},
      {std::uint64_t{1} << 63,
       3,
       {474555578799928468, 5975984577801893009, 7996793291405390542, 5781173930417689889}},
      {kMax, 3, {949111157599856937, 15993586582810781086u, 11562347860835379780u, 3323846055500481592}},
  };
  for (const PrefixCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " seed " << c.seed);
    Picker p = seeded(c.size, c.seed);
    EXPECT_EQ(draw(p, c.prefix.size()), c.prefix);
    EXPECT_EQ(p.remaining(), c.size - c.prefix.size());
    EXPECT_EQ(p.initial_size(), c.size);
  }
}

TEST(Picker, ReservedDrawsNeverGrowTheMapAndYieldTheSameValues) {
  for (const std::uint64_t size : {std::uint64_t{10}, std::uint64_t{1} << 40}) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    Picker plain = seeded(size, 9);
    Picker reserved = seeded(size, 9);
    reserved.reserve_draws(5000);  // more than a size of 10 holds: clamped to what is left
    const std::size_t capacity = reserved.swapped().capacity();
    const std::size_t n = size < 5000 ? static_cast<std::size_t>(size) : 5000;
    EXPECT_EQ(draw(reserved, n), draw(plain, n));
    EXPECT_EQ(reserved.swapped().capacity(), capacity);
  }
}

TEST(Picker, ResetDrawsANewPermutation) {
  Picker p = seeded(10, 42);
  draw(p);
  p.reset();
  EXPECT_EQ(p.remaining(), 10u);
  EXPECT_EQ(draw(p), (Seq{5, 7, 9, 0, 2, 8, 6, 3, 1, 4}));
}

TEST(Picker, TinySizesAndExhaustionConsumeExactly) {
  Picker empty = seeded(0, 1);
  const auto start = empty.rng();
  EXPECT_EQ(empty.next(), std::nullopt);
  EXPECT_EQ(empty.next(), std::nullopt);
  EXPECT_EQ(empty.rng(), start);

  Picker one = seeded(1, 1);
  EXPECT_EQ(one.next(), 0u);
  EXPECT_EQ(outputs_between(start, one.rng()), 1);
  EXPECT_EQ(one.next(), std::nullopt);
  EXPECT_EQ(outputs_between(start, one.rng()), 1);
  EXPECT_EQ(one.swapped().size(), 0u);
}

TEST(Picker, FromReturnedKnownCases) {
  Picker p = rebuilt(10, {9, 0, 4}, 42);
  EXPECT_EQ(p.remaining(), 7u);
  EXPECT_EQ(p.swapped().size(), 2u);
  EXPECT_EQ(p.swapped().get_or(0, 0), 7u);
  EXPECT_EQ(p.swapped().get_or(4, 4), 8u);
  EXPECT_EQ(p.rng(), Xoshiro256pp::expand_seed(42));
  EXPECT_EQ(draw(p), (Seq{5, 1, 8, 2, 3, 6, 7}));

  // Dropping below 2^32 remaining switches to 32-bit draws from the start.
  Picker w = rebuilt((std::uint64_t{1} << 32) + 1, {std::uint64_t{1} << 32, 5}, 5);
  EXPECT_EQ(w.remaining(), 0xFFFFFFFFu);
  EXPECT_EQ(draw(w, 4), (Seq{1254228682, 420748982, 2263690115, 1974465312}));

  // Empty, full and duplicated sets.
  Picker fresh = seeded(50, 4);
  Picker from_empty = rebuilt(50, {}, 4);
  EXPECT_EQ(draw(from_empty), draw(fresh));
  Seq everything(50);
  std::iota(everything.begin(), everything.end(), 0);
  Picker full = rebuilt(50, everything, 4);
  EXPECT_EQ(full.remaining(), 0u);
  EXPECT_EQ(full.next(), std::nullopt);
  Picker dup = rebuilt(10, {4, 0, 9, 4, 0}, 42);
  EXPECT_EQ(draw(dup), (Seq{5, 1, 8, 2, 3, 6, 7}));
}

TEST(Picker, FromReturnedRejectsOutOfRange) {
  const struct {
    std::uint64_t size;
    Seq returned;
    const char* text;
  } cases[] = {
      {5, {5}, "returned value 5 is not in the range 0..5"},
      {5, {1, 7, 2}, "returned value 7 is not in the range 0..5"},
      {0, {0}, "returned value 0 is not in the range 0..0"},
      {kMax, {3, kMax}, "returned value 18446744073709551615 is not in the range 0..18446744073709551615"},
  };
  for (const auto& c : cases) {
    const auto p = Picker::from_returned(c.size, c.returned, Xoshiro256pp::expand_seed(0));
    ASSERT_FALSE(p.has_value());
    EXPECT_EQ(p.error().message(), c.text);
  }
}

// Any size, seed and returned set: exactly the complement, each value once;
// after a reset, the whole range, excluded values included.
TEST(Picker, YieldsAPermutationOfWhatIsLeft) {
  std::mt19937_64 gen(11);
  for (int round = 0; round < 300; ++round) {
    const std::uint64_t size = gen() % (round < 150 ? 40 : 3000);
    Seq returned;
    for (std::uint64_t v = 0; v < size; ++v) {
      if (round % 3 != 0 && gen() % 4 == 0) returned.push_back(v);
    }
    std::shuffle(returned.begin(), returned.end(), gen);
    Picker p = rebuilt(size, returned, gen());
    const std::set<std::uint64_t> excluded(returned.begin(), returned.end());
    Seq expected;
    for (std::uint64_t v = 0; v < size; ++v) {
      if (!excluded.contains(v)) expected.push_back(v);
    }
    ASSERT_EQ(p.remaining(), expected.size());
    Seq got = draw(p);
    ASSERT_EQ(p.remaining(), 0u);
    ASSERT_LE(p.swapped().size(), returned.size() + got.size());
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got, expected) << "size " << size;

    const std::size_t bytes = p.swapped().memory_bytes();
    p.reset();
    ASSERT_EQ(p.swapped().size(), 0u);
    ASSERT_EQ(p.swapped().memory_bytes(), bytes);
    got = draw(p);
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got.size(), size);
    for (std::uint64_t v = 0; v < size; ++v) ASSERT_EQ(got[v], v);
  }
}

TEST(Picker, MillionDrawsFromHugeRangeAreDistinctAndCompact) {
  constexpr std::size_t kDraws = 1000000;
  Picker p = seeded(std::uint64_t{1} << 40, 1);
  Seq got = draw(p, kDraws);
  ASSERT_EQ(got.size(), kDraws);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end());
  EXPECT_LT(got.back(), std::uint64_t{1} << 40);
  EXPECT_LE(p.swapped().memory_bytes(), 64 * kDraws);
}

}  // namespace
}  // namespace corvane::picker
