// The worker pool: N detached pthreads with 2 MiB stacks, one job at a time.
//
// A job is one run_pieces call. The caller publishes it and sleeps; workers
// claim pieces through an atomic counter, so a busy or descheduled worker
// never holds up the others. Workers spin briefly after a job before they
// sleep, because bulk calls tend to come back to back (encode, inject,
// decode) and a futex wake costs more than the work on a small array.
#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "internal_error.hpp"

namespace corvane::parallel {
namespace {

constexpr std::size_t kStackSize = std::size_t{2} << 20;
// Pieces per worker: enough to even out a worker that starts late or shares
// its core, few enough that per-piece overhead stays invisible.
constexpr std::size_t kPiecesPerWorker = 4;
// How long a thread polls before it sleeps on a condition variable. Polling
// yields the processor, so it never starves the thread it waits for.
constexpr std::chrono::microseconds kWorkerSpin{100};
constexpr std::chrono::microseconds kCallerSpin{50};

using Body = std::function<void(std::size_t, std::size_t)>;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Polls `ready` for up to `budget`: a short busy phase for the common
// back-to-back case, then yielding so that a thread sharing this core runs.
template <class Ready>
bool poll(Ready ready, std::chrono::microseconds budget) {
  for (int i = 0; i < 64; ++i) {
    if (ready()) return true;
    cpu_relax();
  }
  const auto deadline = std::chrono::steady_clock::now() + budget;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sched_yield();
  }
  return true;
}

// Piece p of `pieces` over [0, n): the first n % pieces pieces get one more.
struct Range {
  std::size_t begin, end;
};
constexpr Range piece_range(std::size_t n, std::size_t pieces, std::size_t p) noexcept {
  const std::size_t q = n / pieces, r = n % pieces;
  const std::size_t begin = p * q + std::min(p, r);
  return {begin, begin + q + (p < r ? 1 : 0)};
}

struct Job {
  const Body* body;
  std::size_t n;
  std::size_t pieces;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> complete{false};  // hint for the spinning caller only
  // Guarded by Pool::mutex_.
  std::size_t finished = 0;
  std::size_t users = 0;
  std::size_t failed_piece = std::numeric_limits<std::size_t>::max();
  std::exception_ptr error;
};

thread_local bool t_is_worker = false;

class Pool {
 public:
  explicit Pool(std::size_t threads) : size_(threads) {}

  // Starts the threads; on failure returns why, and the threads already
  // started exit (the Pool must then be leaked, they may still touch it).
  std::optional<std::string> start() {
    pthread_attr_t attr;
    if (int rc = pthread_attr_init(&attr); rc != 0) return describe(rc, 0);
    std::optional<std::string> failure;
    int rc = pthread_attr_setstacksize(&attr, kStackSize);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc != 0) failure = describe(rc, 0);
    for (std::size_t i = 0; !failure && i < size_; ++i) {
      pthread_t tid;
      rc = pthread_create(&tid, &attr, &Pool::thread_main, this);
      if (rc != 0) failure = describe(rc, i);
    }
    pthread_attr_destroy(&attr);
    if (failure) {
      std::lock_guard lock(mutex_);
      shutdown_ = true;
      work_cv_.notify_all();
    }
    return failure;
  }

  std::size_t size() const noexcept { return size_; }

  void run(std::size_t n, std::size_t pieces, const Body& body) {
    std::lock_guard submit(submit_mutex_);
    Job job;
    job.body = &body;
    job.n = n;
    job.pieces = pieces;
    {
      std::lock_guard lock(mutex_);
      current_ = &job;
      generation_.fetch_add(1, std::memory_order_release);
      if (sleepers_ > 0) work_cv_.notify_all();
    }
    poll([&] { return job.complete.load(std::memory_order_acquire); }, kCallerSpin);
    {
      std::unique_lock lock(mutex_);
      done_cv_.wait(lock, [&] { return job.users == 0 && job.finished == job.pieces; });
      current_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
  }

 private:
  std::string describe(int rc, std::size_t index) const {
    return "could not start worker thread " + std::to_string(index + 1) + " of " + std::to_string(size_) + ": " +
           std::strerror(rc);
  }

  static void* thread_main(void* self) {
    t_is_worker = true;
    static_cast<Pool*>(self)->worker_loop();
    return nullptr;
  }

  void worker_loop() {
    std::uint64_t seen = 0;
    for (;;) {
      poll([&] { return generation_.load(std::memory_order_acquire) != seen; }, kWorkerSpin);
      Job* job = nullptr;
      {
        std::unique_lock lock(mutex_);
        if (!shutdown_ && generation_.load(std::memory_order_relaxed) == seen) {
          ++sleepers_;
          work_cv_.wait(lock, [&] { return shutdown_ || generation_.load(std::memory_order_relaxed) != seen; });
          --sleepers_;
        }
        if (shutdown_) return;
        seen = generation_.load(std::memory_order_relaxed);
        job = current_;
        if (job == nullptr) continue;
        ++job->users;
      }
      work_on(*job);
    }
  }

  void work_on(Job& job) {
    std::size_t done = 0;
    for (;;) {
      const std::size_t p = job.next.fetch_add(1, std::memory_order_relaxed);
      if (p >= job.pieces) break;
      const Range r = piece_range(job.n, job.pieces, p);
      try {
        (*job.body)(r.begin, r.end);
      } catch (...) {
        std::lock_guard lock(mutex_);
        if (p < job.failed_piece) {
          job.failed_piece = p;
          job.error = std::current_exception();
        }
      }
      ++done;
    }
    std::lock_guard lock(mutex_);
    job.finished += done;
    if (--job.users == 0 && job.finished == job.pieces) {
      job.complete.store(true, std::memory_order_release);
      done_cv_.notify_one();
    }
  }

  const std::size_t size_;
  std::mutex submit_mutex_;  // one job at a time, whatever thread submits it
  std::mutex mutex_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::atomic<std::uint64_t> generation_{0};  // written under mutex_ only
  Job* current_ = nullptr;
  std::size_t sleepers_ = 0;
  bool shutdown_ = false;
};

// The process-wide pool. A forked child clears g_pool in its atfork handler
// (its copy of the workers does not exist) and so builds a new one. Pools
// are never freed: detached workers use theirs until the process ends.
std::mutex g_create_mutex;
std::atomic<Pool*> g_pool{nullptr};
std::once_flag g_atfork_once;
std::atomic<std::size_t> g_piece_override{0};

void before_fork() { g_create_mutex.lock(); }
void after_fork_parent() { g_create_mutex.unlock(); }
void after_fork_child() {
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_create_mutex.unlock();
}

Pool& global_pool() {
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  std::call_once(g_atfork_once, [] { pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child); });
  std::lock_guard lock(g_create_mutex);
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  const std::size_t size =
      choose_pool_size(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
  auto* pool = new Pool(size);
  if (auto failure = pool->start()) {
    fail("The global thread pool has not been initialized.: " + *failure);
  }
  g_pool.store(pool, std::memory_order_release);
  return *pool;
}

std::size_t default_pieces(std::size_t n, std::size_t workers) {
  if (std::size_t forced = g_piece_override.load(std::memory_order_relaxed)) {
    return std::min(n, forced);
  }
  if (workers <= 1) return 1;
  return std::min(n, workers * kPiecesPerWorker);
}

}  // namespace

void run_pieces(std::size_t n, const Body& body) {
  if (n == 0) return;
  if (n == 1 || t_is_worker) {
    body(0, n);
    return;
  }
  Pool& pool = global_pool();
  pool.run(n, default_pieces(n, pool.size()), body);
}

std::size_t pool_size() { return global_pool().size(); }

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  // from_chars accepts neither signs nor spaces, so only digits remain.
  auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

std::size_t choose_pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t processors) {
  const std::size_t fallback = std::max<std::size_t>(processors, 1);
  if (num_threads != nullptr) {
    // 0 counts as unset: the next variable is asked.
    if (auto n = parse_thread_count(num_threads); n && *n > 0) return *n;
  }
  if (rs_num_cpus != nullptr) {
    if (auto n = parse_thread_count(rs_num_cpus); n && *n > 0) return *n;
  }
  return fallback;
}

std::size_t available_processors() {
  // Try growing mask sizes so that hosts with more than CPU_SETSIZE CPUs work.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 16); cpus *= 4) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, bytes, set);
    const int err = errno;
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0 && count > 0) return static_cast<std::size_t>(count);
    if (rc != 0 && err != EINVAL) break;
  }
  const unsigned hc = std::thread::hardware_concurrency();
  return hc > 0 ? hc : 1;
}

ScopedPieceCount::ScopedPieceCount(std::size_t pieces)
    : previous_(g_piece_override.exchange(pieces, std::memory_order_relaxed)) {}

ScopedPieceCount::~ScopedPieceCount() { g_piece_override.store(previous_, std::memory_order_relaxed); }

}  // namespace corvane::parallel
