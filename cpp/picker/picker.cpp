#include "picker/picker.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace corvane::picker {

std::string FromReturnedError::message() const {
  return "returned value " + std::to_string(value) + " is not in the range 0.." + std::to_string(size);
}

Expected<Picker, FromReturnedError> Picker::from_returned(std::uint64_t initial_size,
                                                          std::span<const std::uint64_t> returned, Xoshiro256pp rng) {
  for (const std::uint64_t v : returned) {
    if (v >= initial_size) return Unexpected(FromReturnedError{v, initial_size});
  }
  std::vector<std::uint64_t> sorted(returned.begin(), returned.end());
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());

  Picker picker(initial_size, rng);
  picker.remaining_ = initial_size - sorted.size();  // all distinct and below initial_size
  picker.ahead_remaining_ = picker.remaining_;

  // Returned values below `remaining` are holes in the live range; the values
  // of remaining..n not returned are exactly as many, and fill them in order.
  const auto tail = std::lower_bound(sorted.begin(), sorted.end(), picker.remaining_);
  const std::span<const std::uint64_t> holes(sorted.begin(), tail);
  picker.swapped_.reserve(holes.size());
  auto returned_above = tail;
  std::uint64_t filler = picker.remaining_;
  for (const std::uint64_t hole : holes) {
    while (returned_above != sorted.end() && *returned_above == filler) {
      ++returned_above;
      ++filler;
    }
    picker.swapped_.insert_or_assign(hole, filler);
    ++filler;
  }
  return picker;
}

std::optional<std::uint64_t> Picker::next() {
  if (remaining_ == 0) return std::nullopt;
  // Grow before touching any state, so a failed allocation changes nothing.
  swapped_.reserve(swapped_.size() + 1);
  const std::uint64_t pos = random_range(rng_, remaining_);
  const std::uint64_t value = value_at(pos);
  --remaining_;
  // Move the last live value into the hole, unless the hole is the last one.
  if (value != remaining_) swapped_.insert_or_assign(pos, value_at(remaining_));
  look_ahead();
  return value;
}

void Picker::look_ahead() noexcept {
  if (ahead_remaining_ > remaining_) {  // the draw just made was not looked at
    ahead_rng_ = rng_;
    ahead_remaining_ = remaining_;
  }
  while (ahead_remaining_ > 0 && remaining_ - ahead_remaining_ < kLookahead) {
    swapped_.prefetch(random_range(ahead_rng_, ahead_remaining_));
    --ahead_remaining_;
    swapped_.prefetch(ahead_remaining_);  // the last live position of that draw
  }
}

void Picker::reset() noexcept {
  remaining_ = initial_size_;
  swapped_.clear();
  ahead_rng_ = rng_;
  ahead_remaining_ = remaining_;
}

}  // namespace corvane::picker
