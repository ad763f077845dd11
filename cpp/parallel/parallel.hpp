// The three parallel operations of the module, on the process-wide pool.
//
// Each splits [0, n) into contiguous pieces; every item is processed exactly
// once and every result lands in its own slot, so results never depend on
// the number of threads. Operations over 0 or 1 item run on the caller.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "expected.hpp"
#include "parallel/pool.hpp"

namespace corvane::parallel {

// Calls kernel(piece) on contiguous sub-spans covering `data`. The kernel
// form lets element-wise code run as a vectorised loop over each piece.
template <class T, class Kernel>
void for_each_range(std::span<T> data, Kernel&& kernel) {
  auto* k = &kernel;
  run_pieces(data.size(), [data, k](std::size_t begin, std::size_t end) { (*k)(data.subspan(begin, end - begin)); });
}

// Applies f to every element in place.
template <class T, class F>
void for_each(std::span<T> data, F&& f) {
  auto* fp = &f;
  run_pieces(data.size(), [data, fp](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) (*fp)(data[i]);
  });
}

// Returns {f(0), ..., f(n-1)} in item order.
template <class R, class F>
std::vector<R> map_collect(std::size_t n, F&& f) {
  std::vector<R> out(n);
  auto* fp = &f;
  R* slots = out.data();
  run_pieces(n, [slots, fp](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) slots[i] = (*fp)(i);
  });
  return out;
}

// f(i) returns Expected<std::pair<V, bool>, E>. Returns the values and flags
// in item order, or the first error recorded in time; once an error is
// recorded, pieces stop taking new items.
template <class V, class E, class F>
Expected<std::pair<std::vector<V>, std::vector<bool>>, E> try_map_unzip(std::size_t n, F&& f) {
  std::vector<V> values(n);
  std::vector<unsigned char> flags(n);
  std::atomic<bool> stop{false};
  std::mutex error_mutex;
  std::optional<E> error;
  auto* fp = &f;
  V* vslots = values.data();
  unsigned char* fslots = flags.data();
  run_pieces(n, [&, vslots, fslots, fp](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (stop.load(std::memory_order_relaxed)) return;
      auto r = (*fp)(i);
      if (!r) {
        std::lock_guard lock(error_mutex);
        if (!error) error.emplace(std::move(r.error()));
        stop.store(true, std::memory_order_relaxed);
        return;
      }
      vslots[i] = std::move(r->first);
      fslots[i] = r->second ? 1 : 0;
    }
  });
  if (error) return Unexpected<E>{std::move(*error)};
  return std::pair{std::move(values), std::vector<bool>(flags.begin(), flags.end())};
}

}  // namespace corvane::parallel
