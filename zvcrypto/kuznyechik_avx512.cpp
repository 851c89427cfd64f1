#include "zvcrypto/kuznyechik_wide.h"

#include <immintrin.h>

namespace zvcrypto {

namespace {

// The 64 blocks are held transposed: register i has byte i of every block.
// Then S is a byte lookup on whole registers, and each of the sixteen steps of
// L is a sum of constant multiples of registers, a GF(2)-linear map per byte.

// Stage `s` of a 16x16 transpose of 32-bit elements: registers whose index
// differs in bit s trade the elements whose index differs from theirs in bit s.
template <int S>
inline void transpose_stage(__m512i (&r)[16]) {
    constexpr int h = 1 << S;
    alignas(64) int lo_index[16];
    alignas(64) int hi_index[16];
    for (int d = 0; d < 16; ++d) {
        lo_index[d] = (d & h) ? 16 + (d ^ h) : d;
        hi_index[d] = (d & h) ? 16 + d : (d ^ h);
    }
    const __m512i lo = _mm512_load_si512(lo_index);
    const __m512i hi = _mm512_load_si512(hi_index);
    for (int k = 0; k < 16; ++k) {
        if (k & h) continue;
        const __m512i a = r[k];
        const __m512i b = r[k | h];
        r[k] = _mm512_permutex2var_epi32(a, lo, b);
        r[k | h] = _mm512_permutex2var_epi32(a, hi, b);
    }
}

inline void transpose_dwords(__m512i (&r)[16]) {
    transpose_stage<0>(r);
    transpose_stage<1>(r);
    transpose_stage<2>(r);
    transpose_stage<3>(r);
}

inline __m512i substitute(__m512i x, const __m512i (&s)[4]) {
    const __m512i low = _mm512_permutex2var_epi8(s[0], x, s[1]);
    const __m512i high = _mm512_permutex2var_epi8(s[2], x, s[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
}

inline __m512i mul(__m512i x, __m512i matrix) { return _mm512_gf2p8affine_epi64_epi8(x, matrix, 0); }

inline __m512i xor3(__m512i a, __m512i b, __m512i c) { return _mm512_ternarylogic_epi64(a, b, c, 0x96); }

}  // namespace

void kuznyechik_encrypt64_avx512(const unsigned char (*round_keys)[16], const unsigned char* sbox,
                                 const std::uint64_t* mul_matrices, const unsigned char* in,
                                 unsigned char* out) {
    // Byte 16m+d of four blocks goes to byte 4d+m, so that element d of each
    // register holds byte d of its four blocks; `gather` and `scatter` are
    // inverses. (Two-source byte permutes: GCC 12 warns on the one-source form.)
    alignas(64) unsigned char gather_index[64];
    alignas(64) unsigned char scatter_index[64];
    for (int m = 0; m < 4; ++m) {
        for (int d = 0; d < 16; ++d) {
            gather_index[4 * d + m] = static_cast<unsigned char>(16 * m + d);
            scatter_index[16 * m + d] = static_cast<unsigned char>(4 * d + m);
        }
    }
    const __m512i gather = _mm512_load_si512(gather_index);
    const __m512i scatter = _mm512_load_si512(scatter_index);

    __m512i x[16];
    for (int k = 0; k < 16; ++k) {
        x[k] = _mm512_permutex2var_epi8(_mm512_loadu_si512(in + 64 * k), gather, _mm512_setzero_si512());
    }
    transpose_dwords(x);

    const __m512i s[4] = {_mm512_loadu_si512(sbox), _mm512_loadu_si512(sbox + 64),
                          _mm512_loadu_si512(sbox + 128), _mm512_loadu_si512(sbox + 192)};
    // l's coefficients are symmetric: bytes i and 14-i share one for i < 7, and
    // bytes 6, 8 and 15 have coefficient 1.
    __m512i m[7];
    for (int i = 0; i < 7; ++i) m[i] = _mm512_set1_epi64(static_cast<long long>(mul_matrices[i]));

    for (int i = 0; i < 16; ++i) x[i] = _mm512_xor_si512(x[i], _mm512_set1_epi8(static_cast<char>(round_keys[0][i])));
    for (int r = 1; r < 10; ++r) {
        for (int i = 0; i < 16; ++i) x[i] = substitute(x[i], s);
        // Sixteen steps of l; register `first` holds array byte 0 after each.
#pragma GCC unroll 16
        for (int step = 0; step < 16; ++step) {
            // b[j] is x[(j + 16 - step) % 16] before this step.
            auto b = [&](int j) -> __m512i& { return x[(j + 16 - step) & 15]; };
            const __m512i sum = xor3(xor3(mul(_mm512_xor_si512(b(0), b(14)), m[0]),
                                          mul(_mm512_xor_si512(b(1), b(13)), m[1]),
                                          mul(_mm512_xor_si512(b(2), b(12)), m[2])),
                                     xor3(mul(_mm512_xor_si512(b(3), b(11)), m[3]),
                                          mul(_mm512_xor_si512(b(4), b(10)), m[4]),
                                          mul(_mm512_xor_si512(b(5), b(9)), m[5])),
                                     xor3(mul(b(7), m[6]), b(6), _mm512_xor_si512(b(8), b(15))));
            // The last byte drops out and the sum becomes byte 0: it takes the
            // dropped byte's register.
            b(15) = sum;
        }
        for (int i = 0; i < 16; ++i) {
            x[i] = _mm512_xor_si512(x[i], _mm512_set1_epi8(static_cast<char>(round_keys[r][i])));
        }
    }

    transpose_dwords(x);
    for (int k = 0; k < 16; ++k) {
        _mm512_storeu_si512(out + 64 * k, _mm512_permutex2var_epi8(x[k], scatter, x[k]));
    }
}

}  // namespace zvcrypto
