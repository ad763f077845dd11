// The process-wide worker pool.
#pragma once

#include <cstddef>
#include <functional>

namespace corvane::parallel {

// Runs body(begin, end) over contiguous pieces that cover [0, n) exactly once,
// and returns when all pieces have finished. n <= 1 runs on the calling
// thread. If pieces throw, the exception of the piece that comes first in
// item order is rethrown on the caller after every piece has ended.
void run_pieces(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Number of worker threads the pool has (creating the pool if needed).
std::size_t pool_size();

}  // namespace corvane::parallel
