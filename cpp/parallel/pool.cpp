// Placeholder: runs everything on the calling thread until the pool lands.
#include "parallel/pool.hpp"

namespace corvane::parallel {

void run_pieces(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  body(0, n);
}

std::size_t pool_size() { return 1; }

}  // namespace corvane::parallel
