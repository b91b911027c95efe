#pragma once

// The C library's single-precision power for eight lanes at once, with its bits. The shading's
// powers must not change a pixel, and no vector power of another method rounds every result as
// the library does; so this one runs the library's own method: glibc's table-driven log2 and
// exp2 in double precision (its build for processors with FMA, which the library picks on every
// processor this path runs on), step by step in the same order, with the same tables and fused
// multiply-adds. Inputs its main path leaves to special cases are left to the caller.

#include "util/target_clones.h"

#if BREL_AVX2_ROWS
#include <immintrin.h>

namespace brel {

// x^y in the lanes where the library's main path gives it: x a positive normal float, y finite
// and not 0, and x^y neither overflowing nor underflowing. `handled` gets bit l set where lane l
// took that path; the other lanes hold no power. Needs AVX2 and FMA (cpu_has_avx2_fma).
__attribute__((target("avx2,fma"))) __m256 library_powf8(__m256 x, __m256 y, int& handled);

}  // namespace brel
#endif
