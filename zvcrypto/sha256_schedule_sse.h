// The SHA-256 message schedule four words at a time in 128-bit vectors, written
// over a policy that supplies the byte-align and big-endian load available to
// the including file's instruction set. Internal linkage, as for the rounds.
#pragma once

#include "zvcrypto/sha256_rounds.h"

#include <emmintrin.h>

#include <cstdint>

namespace zvcrypto {
namespace {

ZV_SHA256_INLINE __m128i sse_rotr32(__m128i x, int n) {
    return _mm_or_si128(_mm_srli_epi32(x, n), _mm_slli_epi32(x, 32 - n));
}

ZV_SHA256_INLINE __m128i sse_sigma0(__m128i x) {
    return _mm_xor_si128(_mm_xor_si128(sse_rotr32(x, 7), sse_rotr32(x, 18)), _mm_srli_epi32(x, 3));
}

ZV_SHA256_INLINE __m128i sse_sigma1(__m128i x) {
    return _mm_xor_si128(_mm_xor_si128(sse_rotr32(x, 17), sse_rotr32(x, 19)),
                         _mm_srli_epi32(x, 10));
}

// W[t..t+3] from x0 = W[t-16..t-13], x1, x2, x3 = W[t-4..t-1].
template <typename Ops>
ZV_SHA256_INLINE __m128i sse_next_schedule(__m128i x0, __m128i x1, __m128i x2, __m128i x3) {
    __m128i w = _mm_add_epi32(_mm_add_epi32(x0, sse_sigma0(Ops::align4(x1, x0))),
                              Ops::align4(x3, x2));
    // W[t] and W[t+1] need W[t-2] and W[t-1]; W[t+2] and W[t+3] need the first two.
    const __m128i zero = _mm_setzero_si128();
    __m128i s = sse_sigma1(_mm_shuffle_epi32(x3, _MM_SHUFFLE(3, 2, 3, 2)));
    w = _mm_add_epi32(w, _mm_unpacklo_epi64(s, zero));
    s = sse_sigma1(_mm_shuffle_epi32(w, _MM_SHUFFLE(1, 0, 1, 0)));
    return _mm_add_epi32(w, _mm_unpacklo_epi64(zero, s));
}

// Runs the 64 rounds of the block at p over the working variables in v (the
// state on entry; the caller adds them back). The schedule of the next eight
// words is computed while the rounds of the current eight run.
template <typename Ops>
ZV_SHA256_INLINE void sse_block_rounds(const unsigned char* p, std::uint32_t* v, const std::uint32_t* k) {
    alignas(16) std::uint32_t wk[64];
    __m128i x[4];
    for (int j = 0; j < 4; ++j) {
        x[j] = Ops::load_be(p + 16 * j);
        _mm_store_si128(reinterpret_cast<__m128i*>(wk + 4 * j),
                        _mm_add_epi32(x[j], _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * j))));
    }
    std::uint32_t a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], h = v[7];
    std::uint32_t bc = b ^ c;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        if (i < 6) {
#pragma GCC unroll 2
            for (int j = 0; j < 2; ++j) {
                const int group = 2 * i + 4 + j;
                const __m128i next = sse_next_schedule<Ops>(x[0], x[1], x[2], x[3]);
                x[0] = x[1];
                x[1] = x[2];
                x[2] = x[3];
                x[3] = next;
                _mm_store_si128(reinterpret_cast<__m128i*>(wk + 4 * group),
                                _mm_add_epi32(next, _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * group))));
            }
        }
        sha256_eight_rounds(a, b, c, d, e, f, g, h, bc, wk + 8 * i, wk + 8 * i + 4);
    }
    v[0] = a;
    v[1] = b;
    v[2] = c;
    v[3] = d;
    v[4] = e;
    v[5] = f;
    v[6] = g;
    v[7] = h;
}

}  // namespace
}  // namespace zvcrypto
