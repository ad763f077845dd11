// Function multi-versioning for x86-64: a kernel marked with one of these is
// built for each listed CPU feature set and for baseline x86-64, and the
// dynamic loader binds the best copy the running CPU supports. Elsewhere the
// marks are empty and the plain build serves. Clang's front end (as the
// static analysis uses it) does not yet clone templates, so it sees plain
// functions too. Under ThreadSanitizer the marks are empty as well: the
// loader runs the generated resolvers while it relocates, before the TSan
// runtime is set up, and their instrumentation crashes the process there.
#pragma once

#if defined(__x86_64__)
#define CORVANE_X86_64 1
// A function that uses AVX2 intrinsics; only called after a CPU check.
#define CORVANE_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define CORVANE_X86_64 0
#define CORVANE_TARGET_AVX2
#endif

#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
// AVX2, else baseline.
#define CORVANE_CLONES_AVX2 __attribute__((target_clones("avx2", "default")))
// AVX2, else POPCNT, else baseline: for popcount-bound code.
#define CORVANE_CLONES_AVX2_POPCNT __attribute__((target_clones("avx2", "popcnt", "default")))
// AVX-512 (x86-64-v4), else AVX2, else baseline: for compute-bound loops.
#define CORVANE_CLONES_AVX512_AVX2 __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define CORVANE_CLONES_AVX2
#define CORVANE_CLONES_AVX2_POPCNT
#define CORVANE_CLONES_AVX512_AVX2
#endif
