#include "picker/rng.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "internal_error.hpp"

namespace corvane::picker {

namespace {

constexpr std::uint64_t splitmix64_next(std::uint64_t& x) noexcept {
  x += 0x9E3779B97F4A7C15;
  std::uint64_t z = x;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

}  // namespace

Xoshiro256pp Xoshiro256pp::expand_seed(std::uint64_t seed) noexcept {
  State s;
  for (auto& word : s) word = splitmix64_next(seed);
  return Xoshiro256pp(s);
}

Xoshiro256pp Xoshiro256pp::from_state(const State& state) noexcept {
  // All-zero is the one fixed point of xoshiro: it would yield zeros forever.
  if ((state[0] | state[1] | state[2] | state[3]) == 0) return expand_seed(0);
  return Xoshiro256pp(state);
}

Xoshiro256pp Xoshiro256pp::from_bytes(std::span<const std::uint8_t, 32> bytes) noexcept {
  State s{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    s[i / 8] |= std::uint64_t{bytes[i]} << (8 * (i % 8));
  }
  return from_state(s);
}

Xoshiro256pp Xoshiro256pp::from_rng() { return from_entropy(fill_thread_entropy); }

int fill_thread_entropy(std::span<std::uint8_t> out) noexcept {
  std::size_t done = 0;
  while (done < out.size()) {
    // Without GRND_NONBLOCK this waits until the kernel pool is initialised
    // instead of handing out predictable bytes early in boot.
    const ssize_t got = getrandom(out.data() + done, out.size() - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(got);
  }
  return 0;
}

Xoshiro256pp from_entropy(EntropySource source) {
  std::array<std::uint8_t, 32> bytes{};
  if (const int err = source(bytes); err != 0) {
    fail("could not initialize ThreadRng: " + os_error_text(err));
  }
  return Xoshiro256pp::from_bytes(bytes);
}

namespace detail {

void fail_empty_range() { fail("cannot sample an empty range"); }

}  // namespace detail

}  // namespace corvane::picker
