// Whole-array kernels of the embedded-parity layouts.
//
// One loop template per (operation, layout); GCC vectorises the word
// functions since they are pure shift/mask/xor code. target_clones builds an
// AVX2 and a baseline copy of each and picks one when the library loads.
#include "memory/encoding/embedded_parity_layout.hpp"

#include "cpu_features.hpp"

namespace corvane::memory::encoding::embedded_parity {
namespace {

template <class S, Operation Op>
inline void run_words(typename S::Word* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = Op == Operation::Encode ? S::encode_word(p[i]) : S::decode_word(p[i]);
  }
}

// 32-bit words also get an AVX-512 copy: the float32 decodes are bound by
// computation rather than memory, and the wider vectors pay off there.
template <class S, Operation Op>
CORVANE_CLONES_AVX512_AVX2 void run_wide(typename S::Word* p, std::size_t n) {
  run_words<S, Op>(p, n);
}

template <class S, Operation Op>
CORVANE_CLONES_AVX2 void run_narrow(typename S::Word* p, std::size_t n) {
  run_words<S, Op>(p, n);
}

template <class S, Operation Op>
void run_kernel(std::span<typename S::Word> data) {
  if constexpr (sizeof(typename S::Word) == 4) {
    run_wide<S, Op>(data.data(), data.size());
  } else {
    run_narrow<S, Op>(data.data(), data.size());
  }
}

template <class S, Operation Op>
void run_erased(void* data, std::size_t count) {
  run_kernel<S, Op>({static_cast<typename S::Word*>(data), count});
}

template <Value T, Operation Op>
constexpr std::array<ArrayKernel<element::Bits<T>>, 3> kTyped = {
    &run_kernel<SchemeFor<T, 3>, Op>,
    &run_kernel<SchemeFor<T, 7>, Op>,
    &run_kernel<SchemeFor<T, 15>, Op>,
};

template <Value T, Operation Op>
constexpr ErasedKernel kErased[3] = {
    &run_erased<SchemeFor<T, 3>, Op>,
    &run_erased<SchemeFor<T, 7>, Op>,
    &run_erased<SchemeFor<T, 15>, Op>,
};

}  // namespace

template <Value T>
ArrayKernel<element::Bits<T>> kernel(Operation op, Member member) {
  const auto m = static_cast<std::size_t>(member);
  if (m >= 3) fail("internal error: entered unreachable code");
  return op == Operation::Encode ? kTyped<T, Operation::Encode>[m] : kTyped<T, Operation::Decode>[m];
}

template ArrayKernel<std::uint32_t> kernel<float>(Operation, Member);
template ArrayKernel<std::uint16_t> kernel<std::uint16_t>(Operation, Member);

const std::array<ErasedKernel, 12> kElementKernels = {
    kErased<float, Operation::Decode>[0],         kErased<float, Operation::Decode>[1],
    kErased<float, Operation::Decode>[2],         kErased<std::uint16_t, Operation::Decode>[0],
    kErased<std::uint16_t, Operation::Decode>[1], kErased<std::uint16_t, Operation::Decode>[2],
    kErased<float, Operation::Encode>[0],         kErased<float, Operation::Encode>[1],
    kErased<float, Operation::Encode>[2],         kErased<std::uint16_t, Operation::Encode>[0],
    kErased<std::uint16_t, Operation::Encode>[1], kErased<std::uint16_t, Operation::Encode>[2],
};

}  // namespace corvane::memory::encoding::embedded_parity
