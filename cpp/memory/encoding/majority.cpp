#include "memory/encoding/majority.hpp"

#include "cpu_features.hpp"
#include "internal_error.hpp"

namespace corvane::memory::encoding::majority {

std::string debug_string(const SchemeCreationError& e) {
  using Kind = SchemeCreationError::Kind;
  switch (e.kind) {
    case Kind::OddTargets:
      return "OddTargets";
    case Kind::EmptyTargets:
      return "EmptyTargets";
    case Kind::DuplicateIndex:
      return "DuplicateIndex(" + std::to_string(e.position) + ")";
    case Kind::IndexOutOfBounds:
      return "IndexOutOfBounds(" + std::to_string(e.position) + ")";
  }
  return {};
}

std::string debug_string(const InvalidSchemeError& e) {
  return "InvalidSchemeError { expected_length: " + std::to_string(e.expected_length) +
         ", actual_length: " + std::to_string(e.actual_length) + " }";
}

namespace {

Scheme<2> known_scheme(std::size_t length, std::size_t source, const char* what) {
  auto scheme = Scheme<2>::create(length, source, {0, 1});
  if (!scheme) fail_expect(what, debug_string(scheme.error()));
  return *scheme;
}

// The loops take the scheme as loop-invariant masks and test bits with
// and-compare rather than shifts by a run-time count, which GCC would only
// vectorise for uint16 by widening to 32-bit lanes.
template <class U>
constexpr U bit_set(U w, U mask) noexcept {
  return static_cast<U>((w & mask) != 0);
}

template <class U, std::size_t N>
CORVANE_CLONES_AVX2 void encode_words(std::span<U> data, U source, U targets) {
  U* p = data.data();
  const std::size_t n = data.size();
  for (std::size_t i = 0; i < n; ++i) {
    const U w = p[i];
    const U copies = static_cast<U>(static_cast<U>(U{0} - bit_set(w, source)) & targets);
    p[i] = static_cast<U>((w & static_cast<U>(~targets)) | copies);
  }
}

template <class U, std::size_t N>
CORVANE_CLONES_AVX2 void decode_words(std::span<U> data, U source, std::array<U, N> targets) {
  U* p = data.data();
  const std::size_t n = data.size();
  const U keep = static_cast<U>(~source);
  for (std::size_t i = 0; i < n; ++i) {
    const U w = p[i];
    U ones = bit_set(w, source);
    for (U t : targets) ones = static_cast<U>(ones + bit_set(w, t));
    const U winner = static_cast<U>(ones > N / 2);
    p[i] = static_cast<U>((w & keep) | (static_cast<U>(U{0} - winner) & source));
  }
}

template <class U, std::size_t N>
void check_width(const Scheme<N>& scheme) {
  if (scheme.length() != 8 * sizeof(U)) {
    fail_expect("The scheme is known to be correct", debug_string(InvalidSchemeError{scheme.length(), 8 * sizeof(U)}));
  }
}

template <class U, std::size_t N>
void encode_checked(std::span<U> data, const Scheme<N>& scheme) {
  check_width<U>(scheme);
  U targets = 0;
  for (std::size_t t : scheme.targets()) targets = static_cast<U>(targets | (U{1} << t));
  encode_words<U, N>(data, static_cast<U>(U{1} << scheme.source()), targets);
}

template <class U, std::size_t N>
void decode_checked(std::span<U> data, const Scheme<N>& scheme) {
  check_width<U>(scheme);
  std::array<U, N> targets{};
  for (std::size_t k = 0; k < N; ++k) targets[k] = static_cast<U>(U{1} << scheme.targets()[k]);
  decode_words<U, N>(data, static_cast<U>(U{1} << scheme.source()), targets);
}

}  // namespace

const Scheme<2>& f16_scheme() {
  static const Scheme<2> scheme = known_scheme(16, 14, "known to be correct for f16");
  return scheme;
}

const Scheme<2>& f32_scheme() {
  static const Scheme<2> scheme = known_scheme(32, 30, "known to be correct for f32");
  return scheme;
}

void encode_array(std::span<std::uint32_t> data, const Scheme<2>& scheme) { encode_checked(data, scheme); }
void decode_array(std::span<std::uint32_t> data, const Scheme<2>& scheme) { decode_checked(data, scheme); }
void encode_array(std::span<std::uint16_t> data, const Scheme<2>& scheme) { encode_checked(data, scheme); }
void decode_array(std::span<std::uint16_t> data, const Scheme<2>& scheme) { decode_checked(data, scheme); }

template <>
const Scheme<2>& fixed_scheme<float>() {
  return f32_scheme();
}
template <>
const Scheme<2>& fixed_scheme<std::uint16_t>() {
  return f16_scheme();
}

template <Value T>
void encode_all(std::span<element::Bits<T>> data) {
  encode_array(data, fixed_scheme<T>());
}
template <Value T>
void decode_all(std::span<element::Bits<T>> data) {
  decode_array(data, fixed_scheme<T>());
}

template void encode_all<float>(std::span<std::uint32_t>);
template void decode_all<float>(std::span<std::uint32_t>);
template void encode_all<std::uint16_t>(std::span<std::uint16_t>);
template void decode_all<std::uint16_t>(std::span<std::uint16_t>);

}  // namespace corvane::memory::encoding::majority
