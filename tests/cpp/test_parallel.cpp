#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "internal_error.hpp"
#include "parallel/parallel.hpp"

namespace corvane::parallel {
namespace {

TEST(PoolSize, ParseThreadCount) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"4", 4}, {"+4", 4}, {"0", 0}, {"+0", 0}, {"007", 7},
      {"18446744073709551615", UINT64_MAX}, {"18446744073709551616", std::nullopt},
      {"", std::nullopt}, {"+", std::nullopt}, {"++4", std::nullopt}, {"-1", std::nullopt},
      {"-0", std::nullopt}, {" 4", std::nullopt}, {"4 ", std::nullopt}, {"0x10", std::nullopt}};
  for (const auto& [text, want] : cases) EXPECT_EQ(parse_thread_count(text), want) << text;
}

TEST(PoolSize, ChooseFromEnvironment) {
  struct Case {
    const char *num_threads, *rs_num_cpus;
    std::size_t processors, want;
  };
  const Case cases[] = {
      {nullptr, nullptr, 6, 6}, {nullptr, nullptr, 0, 1}, {"+3", "5", 6, 3},
      {"0", "5", 6, 5}, {"+0", nullptr, 6, 6},  // 0 behaves as if the variable were unset
      {"abc", "5", 6, 5}, {"-2", "5", 6, 5}, {"abc", "abc", 6, 6}, {nullptr, "0", 6, 6},
      {nullptr, "+1", 6, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(choose_pool_size(c.num_threads, c.rs_num_cpus, c.processors), c.want)
        << (c.num_threads ? c.num_threads : "-") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "-");
  }
  EXPECT_GE(available_processors(), 1u);
}

// Every operation equals a sequential loop whatever the split (0 = the
// pool's own choice).
TEST(Operations, MatchSequentialLoopForAnySplit) {
  for (std::size_t pieces : {0, 1, 2, 3, 7, 64, 100000}) {
    ScopedPieceCount split(pieces);
    for (std::size_t n : {0, 1, 2, 3, 64, 1000, 10007}) {
      SCOPED_TRACE(testing::Message() << "pieces " << pieces << " n " << n);
      std::vector<std::uint64_t> data(n);
      std::iota(data.begin(), data.end(), 0);
      for_each(std::span(data), [](std::uint64_t& x) { x = x * 3 + 1; });
      std::vector<int> hits(n, 0);
      for_each_range(std::span(hits), [](std::span<int> piece) {
        for (int& h : piece) ++h;
      });
      const auto squares = map_collect<std::string>(n, [](std::size_t i) {
        return std::to_string(i * i);
      });
      const auto unzipped = try_map_unzip<std::uint64_t, std::string>(
          n, [](std::size_t i) -> Expected<std::pair<std::uint64_t, bool>, std::string> {
            return std::pair{std::uint64_t{i} << 3, i % 3 == 0};
          });
      ASSERT_TRUE(unzipped.has_value());
      ASSERT_EQ(squares.size(), n);
      ASSERT_EQ(unzipped->first.size(), n);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(data[i], i * 3 + 1);
        ASSERT_EQ(hits[i], 1);
        ASSERT_EQ(squares[i], std::to_string(i * i));
        ASSERT_EQ(unzipped->first[i], std::uint64_t{i} << 3);
        ASSERT_EQ(unzipped->second[i], i % 3 == 0);
      }
    }
  }
}

TEST(Operations, TryMapUnzipReportsOneErrorAndStops) {
  for (std::size_t pieces : {1, 4, 0}) {
    ScopedPieceCount split(pieces);
    std::atomic<std::size_t> calls{0};
    auto r = try_map_unzip<int, std::string>(
        1000, [&](std::size_t i) -> Expected<std::pair<int, bool>, std::string> {
          calls.fetch_add(1);
          if (i == 100 || i == 900) return Unexpected{"bad " + std::to_string(i)};
          return std::pair{1, true};
        });
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error() == "bad 100" || r.error() == "bad 900") << r.error();
    if (pieces == 1) {
      EXPECT_EQ(calls.load(), 101u) << "nothing after the failure is touched";
    }
  }
}

TEST(Failures, FirstFailingPieceInItemOrderWinsAndOthersRunToEnd) {
  const std::size_t n = 100;
  for (std::size_t pieces : {1, 4, 10, 100}) {
    ScopedPieceCount split(pieces);
    std::vector<std::atomic<int>> done(n);
    try {
      run_pieces(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          if (i == 75) throw InternalError("item 75");
          if (i == 35) {  // fails later in time than item 75, but first in order
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            throw InternalError("item 35");
          }
          done[i].store(1);
        }
      });
      ADD_FAILURE() << "no exception";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "item 35");
    }
    // Only the items after a failure within the failing piece are skipped.
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t piece_begin = i / (n / pieces) * (n / pieces);
      const bool skipped = (piece_begin <= 35 && 35 <= i) || (piece_begin <= 75 && 75 <= i);
      EXPECT_EQ(done[i].load(), skipped ? 0 : 1) << "pieces " << pieces << " item " << i;
    }
  }
}

TEST(Threads, CallerOnlyWaitsAndRunsSingleItems) {
  const auto caller = std::this_thread::get_id();
  std::atomic<int> on_caller{0};
  run_pieces(1000, [&](std::size_t, std::size_t) {
    if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
  });
  EXPECT_EQ(on_caller.load(), 0);
  run_pieces(1, [&](std::size_t, std::size_t) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
  });
}

TEST(Threads, NestedAndConcurrentCallersDoNotDeadlock) {
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([t, &wrong] {
      for (int round = 0; round < 50; ++round) {
        auto v = map_collect<int>(97, [t](std::size_t i) {
          auto inner = map_collect<int>(3, [i](std::size_t j) { return static_cast<int>(i + j); });
          return t * 1000 + inner[0];
        });
        for (std::size_t i = 0; i < v.size(); ++i) wrong += v[i] != t * 1000 + static_cast<int>(i);
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

std::uint64_t checksum_on_pool() {
  std::vector<std::uint64_t> data(100000);
  std::iota(data.begin(), data.end(), 1);
  for_each(std::span(data), [](std::uint64_t& x) { x *= 0x9E3779B97F4A7C15ull; });
  return std::accumulate(data.begin(), data.end(), std::uint64_t{0},
                         [](std::uint64_t a, std::uint64_t b) { return (a ^ b) * 31; });
}

// Runs `child` in a forked process, with a deadline so that a hang fails
// instead of blocking the suite; returns its exit code.
template <class F>
int run_in_child(F child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    _exit(child());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(Fork, ChildRebuildsThePoolWithItsOwnSize) {
  const std::uint64_t want = checksum_on_pool();  // the parent's pool is running
  for (std::size_t threads : {1, 3}) {
    EXPECT_EQ(run_in_child([&] {
                setenv("RAYON_NUM_THREADS", std::to_string(threads).c_str(), 1);
                return checksum_on_pool() == want && pool_size() == threads ? 0 : 1;
              }),
              0)
        << threads;
  }
  EXPECT_EQ(checksum_on_pool(), want);
}

#if !defined(__SANITIZE_ADDRESS__)  // ASan reserves more address space than the limit
TEST(Fork, ThreadStartFailureIsAnInternalError) {
  EXPECT_EQ(run_in_child([] {
              // Room for a few stacks only: 4096 workers cannot start.
              setenv("RAYON_NUM_THREADS", "4096", 1);
              long pages = 0;
              if (FILE* f = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
                std::fclose(f);
              }
              rlimit limit{};
              getrlimit(RLIMIT_AS, &limit);
              limit.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (16 << 20);
              if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return 3;
              try {
                run_pieces(10, [](std::size_t, std::size_t) {});
              } catch (const InternalError& e) {
                return std::string(e.what()).starts_with(
                           "The global thread pool has not been initialized.")
                           ? 0
                           : 1;
              }
              return 2;
            }),
            0);
}
#endif

}  // namespace
}  // namespace corvane::parallel
