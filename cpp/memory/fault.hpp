// The three kinds of bit fault, shared by array injection and encodings.
#pragma once

#include <cstdint>

namespace corvane::memory {

enum class FaultKind : std::uint8_t { StuckAt0 = 0, StuckAt1 = 1, Flip = 2 };

// Applies `kind` to bit `bit` of the unsigned word `w`.
template <class U>
constexpr U apply_fault_to_word(U w, unsigned bit, FaultKind kind) noexcept {
  const U mask = static_cast<U>(U{1} << bit);
  switch (kind) {
    case FaultKind::StuckAt0:
      return static_cast<U>(w & static_cast<U>(~mask));
    case FaultKind::StuckAt1:
      return static_cast<U>(w | mask);
    case FaultKind::Flip:
      return static_cast<U>(w ^ mask);
  }
  return w;
}

// A fault and the global bit it targets.
struct FaultAt {
  FaultKind kind;
  std::uint64_t bit;
};

}  // namespace corvane::memory
