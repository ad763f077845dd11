// The choice of kernel variant, and its test override.
#include "memory/encoding/secded_kernels.hpp"

#include <atomic>

#include "cpu_features.hpp"
#include "internal_error.hpp"

namespace corvane::memory::encoding::secded {
namespace {

// -1: no override, the best variant for the CPU; otherwise a Kernel.
std::atomic<int> g_forced{-1};

bool cpu_has_avx2() noexcept {
#if CORVANE_X86_64
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
#else
  return false;
#endif
}

}  // namespace

bool kernel_supported(Kernel kernel) noexcept { return kernel == Kernel::Scalar || cpu_has_avx2(); }

ScopedKernel::ScopedKernel(Kernel kernel) : previous_(g_forced.load()) {
  if (!kernel_supported(kernel)) fail("the kernel variant is not supported on this CPU");
  g_forced.store(static_cast<int>(kernel));
}

ScopedKernel::~ScopedKernel() { g_forced.store(previous_); }

namespace kernels {

GroupKernels kernels_for(const Layout& layout) noexcept {
  const int forced = g_forced.load(std::memory_order_relaxed);
  const bool avx2 = forced < 0 ? cpu_has_avx2() : forced == static_cast<int>(Kernel::Avx2);
#if CORVANE_X86_64
  if (avx2 && layout.d == 64) return {encode_groups_avx2, decode_groups_avx2};
#else
  (void)avx2;
  (void)layout;
#endif
  return {encode_groups_scalar, decode_groups_scalar};
}

}  // namespace kernels
}  // namespace corvane::memory::encoding::secded
