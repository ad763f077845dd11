#include "memory/limited.hpp"

#include <string>

#include "internal_error.hpp"

namespace corvane::memory::limited {

std::optional<Limited> Limited::create(std::vector<std::uint8_t> bytes, std::uint64_t limit) {
  // Compared as limit / 8 so that eight times a huge byte count cannot wrap.
  const std::uint64_t whole_bytes = limit / 8 + (limit % 8 != 0 ? 1 : 0);
  if (whole_bytes > bytes.size()) return std::nullopt;
  return Limited(std::move(bytes), limit);
}

Limited Limited::zeros(std::uint64_t limit) {
  return Limited(std::vector<std::uint8_t>(static_cast<std::size_t>(limit / 8 + (limit % 8 != 0 ? 1 : 0))), limit);
}

void Limited::out_of_bounds(std::uint64_t i) { fail(std::to_string(i) + " is out of bounds"); }

}  // namespace corvane::memory::limited
