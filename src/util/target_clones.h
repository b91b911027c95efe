#pragma once

// Compute-bound row loops are built twice, for AVX2 and for the baseline x86-64, and the loader
// picks one by the processor at start-up. ThreadSanitizer instruments that picking function,
// which runs before the sanitizer is ready, so thread-sanitized builds keep the baseline only;
// other compilers and processors do too, and so does a build with BREL_BASELINE_ONLY, which
// tests the baseline bodies on a processor that has AVX2.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__) && !defined(BREL_BASELINE_ONLY)
#define BREL_TARGET_CLONES_AVX2 __attribute__((target_clones("avx2", "default")))
// Where clones are built, a few row loops written for AVX2 (some with fused multiply-add) stand
// beside their plain bodies and are picked by a check of the processor at run time.
#define BREL_AVX2_ROWS 1
#else
#define BREL_TARGET_CLONES_AVX2
#define BREL_AVX2_ROWS 0
#endif

#if BREL_AVX2_ROWS
namespace brel {

// Whether the processor runs the AVX2 row loops, and those that also use fused multiply-add;
// asked once.
inline bool cpu_has_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

inline bool cpu_has_avx2_fma() {
  static const bool supported = cpu_has_avx2() && __builtin_cpu_supports("fma");
  return supported;
}

}  // namespace brel
#endif
