// Shared/exclusive access to a Python object's C++ state for one call.
//
// Methods that only read take shared access; methods that mutate take
// exclusive access. A refused access fails at once with RuntimeError, so a
// re-entrant call (argument conversion running Python code that calls back
// into the same object) or concurrent use from another thread on a
// free-threaded interpreter is refused instead of racing.
#pragma once

#include <atomic>
#include <cstdint>

#include "bindings/errors.hpp"

namespace corvane::bindings {

class BorrowFlag {
 public:
  // Number of shared holders, or kExclusive.
  static constexpr std::int64_t kExclusive = -1;
  std::atomic<std::int64_t> state{0};
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    std::int64_t current = flag_.state.load(std::memory_order_relaxed);
    do {
      if (current == BorrowFlag::kExclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!flag_.state.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
  }
  ~SharedBorrow() { flag_.state.fetch_sub(1, std::memory_order_release); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    std::int64_t expected = 0;
    if (!flag_.state.compare_exchange_strong(expected, BorrowFlag::kExclusive, std::memory_order_acquire)) {
      raise(PyExc_RuntimeError, "Already borrowed");
    }
  }
  ~ExclusiveBorrow() { flag_.state.store(0, std::memory_order_release); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace corvane::bindings
