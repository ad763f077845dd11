// The process-wide worker pool.
//
// One pool per process, created on first use and never shut down: its
// threads are detached and live until the process ends. A child created by
// fork() inherits none of them, so it builds a fresh pool on its first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace corvane::parallel {

// Runs body(begin, end) over contiguous pieces that cover [0, n) exactly once,
// and returns when all pieces have finished. n <= 1 runs on the calling
// thread; otherwise the caller only waits while the pool does the work. If
// pieces throw, the exception of the piece that comes first in item order is
// rethrown on the caller after every piece has ended. Called from inside a
// piece (a nested operation), the whole range runs inline on that worker.
//
// Throws InternalError("The global thread pool has not been initialized.: ...")
// if the worker threads cannot be started.
void run_pieces(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Number of worker threads the pool has (creating the pool if needed).
std::size_t pool_size();

// Parses a thread-count variable: decimal digits with an optional leading
// '+', nothing else, as an unsigned 64-bit value. nullopt for anything else
// (empty text, signs other than a single '+', spaces, overflow).
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The pool size for the given values of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (nullptr when unset) and processor count:
// a valid RAYON_NUM_THREADS > 0 wins; 0 counts as unset, and anything else
// falls through likewise to RAYON_RS_NUM_CPUS (> 0), then the count.
std::size_t choose_pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t processors);

// Processors available to this process (affinity mask), 1 if unknown.
std::size_t available_processors();

// Test hook: while alive, run_pieces splits every range into min(n, pieces)
// pieces instead of its own choice, so tests can show that results do not
// depend on the split. Not for concurrent use with other callers.
class ScopedPieceCount {
 public:
  explicit ScopedPieceCount(std::size_t pieces);
  ~ScopedPieceCount();
  ScopedPieceCount(const ScopedPieceCount&) = delete;
  ScopedPieceCount& operator=(const ScopedPieceCount&) = delete;

 private:
  std::size_t previous_;
};

}  // namespace corvane::parallel
