// Inversion and turn with 256-bit vectors; the instruction set is an attribute of the function,
// never of the whole file.
#include "driver/core/invert_turn_avx2.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QOR_INVERT_AVX2 1
#endif

namespace qor {

#if defined(QOR_INVERT_AVX2)

namespace {

// Eight values inverted: v read as unsigned, 4095 - v up to 4095, else 0.
__attribute__((target("avx2"))) inline __m256i Inverted(__m256i v) {
    const __m256i top = _mm256_set1_epi32(4095);
    const __m256i inRange = _mm256_cmpeq_epi32(_mm256_min_epu32(v, top), v);
    return _mm256_and_si256(_mm256_sub_epi32(top, v), inRange);
}

// ... and put in reverse order.
__attribute__((target("avx2"))) inline __m256i InvertedReversed(__m256i v) {
    return _mm256_permutevar8x32_epi32(Inverted(v), _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}

} // namespace

__attribute__((target("avx2"))) std::size_t InvertLeadingAvx2(int32_t* frame, std::size_t count) {
    std::size_t done = 0;
    for (; done + 8 <= count; done += 8) {
        __m256i* at = reinterpret_cast<__m256i*>(frame + done);
        _mm256_storeu_si256(at, Inverted(_mm256_loadu_si256(at)));
    }
    return done;
}

__attribute__((target("avx2"))) std::size_t
InvertAndTurnPairsAvx2(int32_t* frame, std::size_t count, std::size_t begin, std::size_t end) {
    std::size_t i = begin;
    for (; i + 8 <= end; i += 8) {
        __m256i* front = reinterpret_cast<__m256i*>(frame + i);
        __m256i* back = reinterpret_cast<__m256i*>(frame + count - i - 8);
        const __m256i first = _mm256_loadu_si256(front);
        const __m256i last = _mm256_loadu_si256(back);
        _mm256_storeu_si256(front, InvertedReversed(last));
        _mm256_storeu_si256(back, InvertedReversed(first));
    }
    return i;
}

#else

std::size_t InvertLeadingAvx2(int32_t*, std::size_t) {
    return 0;
}

std::size_t InvertAndTurnPairsAvx2(int32_t*, std::size_t, std::size_t begin, std::size_t) {
    return begin;
}

#endif

} // namespace qor
