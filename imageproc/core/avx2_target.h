// The attribute that compiles one function for AVX2 and FMA, where the compiler and processor
// family have them. The loops that carry it run only where cpu_features.h says so, so the
// instruction set is an attribute of each function, never an option of a whole file.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QOR_AVX2 __attribute__((target("avx2,fma")))
#define QOR_AVX2_LOOPS 1
#endif
