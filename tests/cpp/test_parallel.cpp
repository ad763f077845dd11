#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "internal_error.hpp"
#include "parallel/parallel.hpp"
#include "parallel/pool.hpp"

namespace corvane::parallel {
namespace {

// ---------------------------------------------------------------- env rules

TEST(PoolSize, ParseThreadCount) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> want;
  };
  const Case cases[] = {
      {"4", 4},
      {"+4", 4},
      {"0", 0},
      {"+0", 0},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++4", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"4x", std::nullopt},
      {"abc", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_thread_count(c.text), c.want) << "text: '" << c.text << "'";
  }
}

TEST(PoolSize, ChooseFromEnvironment) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t processors;
    std::size_t want;
  };
  const Case cases[] = {
      {nullptr, nullptr, 6, 6},
      {nullptr, nullptr, 0, 1},  // processor count unknown
      {"3", nullptr, 6, 3},
      {"+3", "5", 6, 3},
      {"3", "5", 6, 3},
      {"0", "5", 6, 6},  // 0 means "the default", not "ask the next variable"
      {"abc", "5", 6, 5},
      {"", "5", 6, 5},
      {"-2", "5", 6, 5},
      {"abc", "abc", 6, 6},
      {nullptr, "5", 6, 5},
      {nullptr, "0", 6, 6},
      {nullptr, "+1", 6, 1},
      {"1", nullptr, 64, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(choose_pool_size(c.num_threads, c.rs_num_cpus, c.processors), c.want)
        << (c.num_threads ? c.num_threads : "<unset>") << " / "
        << (c.rs_num_cpus ? c.rs_num_cpus : "<unset>") << " / " << c.processors;
  }
}

TEST(PoolSize, ProcessorsAndPoolAreAtLeastOne) {
  EXPECT_GE(available_processors(), 1u);
  EXPECT_GE(pool_size(), 1u);
}

// ------------------------------------------------- operations, any split

// Piece counts to run each operation under; 0 leaves the pool's own choice.
const std::size_t kPieceCounts[] = {0, 1, 2, 3, 7, 64, 100000};
const std::size_t kLengths[] = {0, 1, 2, 3, 5, 64, 1000, 10007};

TEST(Operations, ForEachAppliesOnceInPlace) {
  for (std::size_t pieces : kPieceCounts) {
    ScopedPieceCount split(pieces);
    for (std::size_t n : kLengths) {
      std::vector<std::uint64_t> data(n);
      std::iota(data.begin(), data.end(), 0);
      for_each(std::span(data), [](std::uint64_t& x) { x = x * 3 + 1; });
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(data[i], i * 3 + 1) << "n=" << n << " pieces=" << pieces << " i=" << i;
      }
    }
  }
}

TEST(Operations, ForEachRangeCoversEveryElementOnce) {
  for (std::size_t pieces : kPieceCounts) {
    ScopedPieceCount split(pieces);
    for (std::size_t n : kLengths) {
      std::vector<std::uint32_t> hits(n, 0);
      std::atomic<std::size_t> calls{0};
      for_each_range(std::span(hits), [&](std::span<std::uint32_t> piece) {
        EXPECT_FALSE(piece.empty());
        calls.fetch_add(1);
        for (auto& h : piece) ++h;
      });
      EXPECT_EQ(std::count(hits.begin(), hits.end(), 1u), static_cast<std::ptrdiff_t>(n));
      if (pieces != 0 && n > 1) {
        EXPECT_EQ(calls.load(), std::min(n, pieces));
      }
    }
  }
}

TEST(Operations, MapCollectKeepsItemOrder) {
  for (std::size_t pieces : kPieceCounts) {
    ScopedPieceCount split(pieces);
    for (std::size_t n : kLengths) {
      auto out = map_collect<std::string>(n, [](std::size_t i) { return std::to_string(i * i); });
      ASSERT_EQ(out.size(), n);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], std::to_string(i * i));
    }
  }
}

TEST(Operations, TryMapUnzipSuccessKeepsOrder) {
  for (std::size_t pieces : kPieceCounts) {
    ScopedPieceCount split(pieces);
    for (std::size_t n : kLengths) {
      auto r = try_map_unzip<std::uint64_t, std::string>(
          n, [](std::size_t i) -> Expected<std::pair<std::uint64_t, bool>, std::string> {
            return std::pair{std::uint64_t{i} << 3, i % 3 == 0};
          });
      ASSERT_TRUE(r.has_value());
      const auto& [values, flags] = *r;
      ASSERT_EQ(values.size(), n);
      ASSERT_EQ(flags.size(), n);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(values[i], std::uint64_t{i} << 3);
        ASSERT_EQ(flags[i], i % 3 == 0);
      }
    }
  }
}

TEST(Operations, TryMapUnzipReportsOneErrorAndStops) {
  const std::size_t n = 1000;
  for (std::size_t pieces : kPieceCounts) {
    ScopedPieceCount split(pieces);
    std::atomic<std::size_t> calls{0};
    auto r = try_map_unzip<int, std::string>(
        n, [&](std::size_t i) -> Expected<std::pair<int, bool>, std::string> {
          calls.fetch_add(1);
          if (i == 100 || i == 900) return Unexpected{"bad " + std::to_string(i)};
          return std::pair{1, true};
        });
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error() == "bad 100" || r.error() == "bad 900") << r.error();
    if (pieces == 1) {
      // One sequential piece: nothing after the failing item is touched.
      EXPECT_EQ(r.error(), "bad 100");
      EXPECT_EQ(calls.load(), 101u);
    }
  }
}

TEST(Operations, TryMapUnzipSingleItem) {
  auto r = try_map_unzip<int, int>(1, [](std::size_t) -> Expected<std::pair<int, bool>, int> {
    return std::pair{7, false};
  });
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->first, std::vector<int>{7});
  EXPECT_EQ(r->second, std::vector<bool>{false});
}

// ------------------------------------------------------------ failures

TEST(Failures, FirstFailingPieceInItemOrderWinsAndOthersRunToEnd) {
  const std::size_t n = 100;
  for (std::size_t pieces : {std::size_t{1}, std::size_t{4}, std::size_t{10}, std::size_t{100}}) {
    ScopedPieceCount split(pieces);
    std::vector<std::atomic<int>> done(n);
    try {
      run_pieces(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          // Later items fail first in time, so the order is not luck.
          if (i == 75) throw InternalError("item 75");
          if (i == 35) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            throw InternalError("item 35");
          }
          done[i].store(1);
        }
      });
      FAIL() << "no exception";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "item 35");
    }
    // Every item ran except those after a failure inside the failing piece.
    for (std::size_t p = 0; p < pieces; ++p) {
      const std::size_t begin = n * p / pieces, end = n * (p + 1) / pieces;
      bool stopped = false;
      for (std::size_t i = begin; i < end; ++i) {
        if (i == 35 || i == 75) {
          stopped = true;
          continue;
        }
        EXPECT_EQ(done[i].load(), stopped ? 0 : 1) << "pieces=" << pieces << " item " << i;
      }
    }
  }
}

TEST(Failures, SingleItemThrowsOnCaller) {
  const auto caller = std::this_thread::get_id();
  EXPECT_THROW(run_pieces(1,
                          [&](std::size_t, std::size_t) {
                            EXPECT_EQ(std::this_thread::get_id(), caller);
                            throw std::runtime_error("x");
                          }),
               std::runtime_error);
  // The pool still works afterwards.
  EXPECT_EQ(map_collect<int>(10, [](std::size_t i) { return static_cast<int>(i); })[9], 9);
}

// --------------------------------------------------------- threading

TEST(Threads, CallerDoesNoItemWork) {
  const auto caller = std::this_thread::get_id();
  std::atomic<int> on_caller{0};
  run_pieces(1000, [&](std::size_t, std::size_t) {
    if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
  });
  EXPECT_EQ(on_caller.load(), 0);
}

TEST(Threads, NestedOperationRunsInline) {
  auto out = map_collect<std::uint64_t>(8, [](std::size_t i) {
    auto inner = map_collect<std::uint64_t>(100, [i](std::size_t j) { return i * j; });
    return std::accumulate(inner.begin(), inner.end(), std::uint64_t{0});
  });
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(out[i], i * 4950);
}

TEST(Threads, ConcurrentCallersAreServedInTurn) {
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([t, &wrong] {
      for (int round = 0; round < 50; ++round) {
        auto v = map_collect<int>(257, [t](std::size_t i) { return t * 1000 + static_cast<int>(i); });
        for (std::size_t i = 0; i < v.size(); ++i) {
          if (v[i] != t * 1000 + static_cast<int>(i)) wrong.fetch_add(1);
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ------------------------------------------------------------- fork

std::uint64_t checksum_on_pool() {
  std::vector<std::uint64_t> data(100000);
  std::iota(data.begin(), data.end(), 1);
  for_each(std::span(data), [](std::uint64_t& x) { x = x * 0x9E3779B97F4A7C15ull; });
  return std::accumulate(data.begin(), data.end(), std::uint64_t{0},
                         [](std::uint64_t a, std::uint64_t b) { return (a ^ b) * 31; });
}

// Runs `child` in a forked process (with a deadline, so a hang fails instead
// of blocking the suite) and returns its exit status.
template <class F>
int run_in_child(F child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    int code = 99;
    try {
      code = child();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

TEST(Fork, ChildRebuildsThePoolWithItsOwnSize) {
  const std::uint64_t want = checksum_on_pool();  // pool running in the parent
  for (const char* threads : {"1", "3"}) {
    EXPECT_EQ(run_in_child([&] {
                setenv("RAYON_NUM_THREADS", threads, 1);
                if (checksum_on_pool() != want) return 1;
                if (pool_size() != std::stoul(threads)) return 2;
                return 0;
              }),
              0)
        << "RAYON_NUM_THREADS=" << threads;
  }
  EXPECT_EQ(checksum_on_pool(), want);  // and the parent's pool is untouched
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(Fork, ThreadStartFailureIsAnInternalError) {
  // Address space for ~8 more stacks: the pool cannot start 4096 workers.
  EXPECT_EQ(run_in_child([] {
              setenv("RAYON_NUM_THREADS", "4096", 1);
              rlimit limit{};
              getrlimit(RLIMIT_AS, &limit);
              long pages = 0;
              if (FILE* f = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
                std::fclose(f);
              }
              if (pages == 0) return 3;
              limit.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (16 << 20);
              if (setrlimit(RLIMIT_AS, &limit) != 0) return 4;
              try {
                run_pieces(10, [](std::size_t, std::size_t) {});
              } catch (const InternalError& e) {
                const std::string prefix = "The global thread pool has not been initialized.";
                return std::string(e.what()).rfind(prefix, 0) == 0 ? 0 : 1;
              }
              return 2;
            }),
            0);
}
#endif

}  // namespace
}  // namespace corvane::parallel
