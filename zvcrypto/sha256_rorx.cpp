// SHA-256 two blocks per pass with AVX2 (both message schedules side by side,
// one block per 128-bit lane) and BMI2 rotates in the rounds; compiled with
// -mavx2 -mbmi2 and called only when the processor and the OS support them.
#include "zvcrypto/sha256_block_functions.h"
#include "zvcrypto/sha256_schedule_sse.h"

#include <immintrin.h>

namespace zvcrypto {

namespace {

// Each group of four constants twice, once per lane.
alignas(32) const std::uint32_t k_rorx[128] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5,
    0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
    0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3,
    0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5,
    0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

ZV_SHA256_INLINE __m256i rotr(__m256i x, int n) {
    return _mm256_or_si256(_mm256_srli_epi32(x, n), _mm256_slli_epi32(x, 32 - n));
}

ZV_SHA256_INLINE __m256i sigma0(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(rotr(x, 7), rotr(x, 18)), _mm256_srli_epi32(x, 3));
}

// sigma1 of words 0 and 2 of each lane (as 64-bit halves w:w, a 64-bit shift
// right leaves the 32-bit rotate in the low word), returned in words 0 and 2.
ZV_SHA256_INLINE __m256i sigma1_even(__m256i ww) {
    const __m256i r = _mm256_xor_si256(_mm256_srli_epi64(ww, 17), _mm256_srli_epi64(ww, 19));
    return _mm256_xor_si256(r, _mm256_srli_epi64(_mm256_slli_epi64(ww, 32), 42));
}

// Every AVX2 byte-align and shuffle works per 128-bit lane, so each lane
// computes the schedule of its own block.
ZV_SHA256_INLINE __m256i next_schedule(__m256i x0, __m256i x1, __m256i x2, __m256i x3) {
    __m256i w = _mm256_add_epi32(_mm256_add_epi32(x0, sigma0(_mm256_alignr_epi8(x1, x0, 4))),
                                 _mm256_alignr_epi8(x3, x2, 4));
    // W[t] and W[t+1] need W[t-2] and W[t-1] (words 2 and 3 of x3); W[t+2] and
    // W[t+3] need the new words 0 and 1.
    // The byte shuffles gather words 0 and 2 and clear the other two words.
    const __m256i to_low = _mm256_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1,
                                            0, 1, 2, 3, 8, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i to_high = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 3, 8, 9, 10, 11,
                                             -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 3, 8, 9, 10, 11);
    __m256i s = sigma1_even(_mm256_shuffle_epi32(x3, _MM_SHUFFLE(3, 3, 2, 2)));
    w = _mm256_add_epi32(w, _mm256_shuffle_epi8(s, to_low));
    s = sigma1_even(_mm256_shuffle_epi32(w, _MM_SHUFFLE(1, 1, 0, 0)));
    return _mm256_add_epi32(w, _mm256_shuffle_epi8(s, to_high));
}

ZV_SHA256_INLINE __m256i load_pair_be(const unsigned char* first, const unsigned char* second) {
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                          3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    const __m256i x = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(first))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(second)), 1);
    return _mm256_shuffle_epi8(x, swap);
}

// The schedule of one pair of blocks, one group of four words per step, into
// a work area laid out as group g of the first block at wk[8g] and of the
// second block at wk[8g + 4]. Steps 0 to 3 load the blocks; each later step
// needs the four groups before it, which `x` keeps.
struct pair_schedule {
    __m256i x[4];

    ZV_SHA256_INLINE void step(int group, const unsigned char* pair, std::uint32_t* wk) {
        __m256i w;
        if (group < 4) {
            w = load_pair_be(pair + 16 * group, pair + 64 + 16 * group);
            x[group] = w;
        } else {
            w = next_schedule(x[0], x[1], x[2], x[3]);
            x[0] = x[1];
            x[1] = x[2];
            x[2] = x[3];
            x[3] = w;
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 8 * group),
                           _mm256_add_epi32(w, _mm256_load_si256(reinterpret_cast<const __m256i*>(k_rorx + 8 * group))));
    }
};

// One round, written out so that the compiler neither reassociates the sums
// nor forwards the stored schedule words through vector extracts, both of
// which cost more issue slots than the round itself has to spare. `bc` is
// b ^ c on entry and is used up; `ab` receives a ^ b, the next round's b ^ c,
// so that Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)) needs no second xor. The
// next e is formed as d + h + W + K before e is needed, and Sigma1 and Ch are
// added into it and into h separately: one add more per round, but only
// Sigma1 and one add lie between e and the next e.
ZV_SHA256_INLINE void rorx_round(std::uint32_t a, std::uint32_t b, std::uint32_t& d, std::uint32_t e,
                                 std::uint32_t f, std::uint32_t g, std::uint32_t& h, std::uint32_t& bc,
                                 std::uint32_t& ab, const std::uint32_t& wk) {
    std::uint32_t t;
    asm("addl %[wk], %[h]\n\t"
        "addl %[h], %[d]\n\t"
        "rorxl $25, %[e], %[t]\n\t"
        "rorxl $11, %[e], %[ab]\n\t"
        "xorl %[ab], %[t]\n\t"
        "rorxl $6, %[e], %[ab]\n\t"
        "xorl %[ab], %[t]\n\t"
        "movl %[f], %[ab]\n\t"
        "xorl %[g], %[ab]\n\t"
        "andl %[e], %[ab]\n\t"
        "xorl %[g], %[ab]\n\t"
        "addl %[ab], %[h]\n\t"
        "addl %[ab], %[d]\n\t"
        "addl %[t], %[h]\n\t"
        "addl %[t], %[d]\n\t"
        "rorxl $22, %[a], %[t]\n\t"
        "rorxl $13, %[a], %[ab]\n\t"
        "xorl %[ab], %[t]\n\t"
        "rorxl $2, %[a], %[ab]\n\t"
        "xorl %[ab], %[t]\n\t"
        "movl %[a], %[ab]\n\t"
        "xorl %[b], %[ab]\n\t"
        "andl %[ab], %[bc]\n\t"
        "xorl %[b], %[bc]\n\t"
        "addl %[t], %[h]\n\t"
        "addl %[bc], %[h]"
        : [h] "+r"(h), [d] "+r"(d), [bc] "+r"(bc), [ab] "=&r"(ab), [t] "=&r"(t)
        : [a] "r"(a), [b] "r"(b), [e] "r"(e), [f] "r"(f), [g] "r"(g), [wk] "m"(wk));
}

// Eight rounds from lo[0..3] and hi[0..3]; the working variables return to
// their own names, and b ^ c to `bc`.
ZV_SHA256_INLINE void rorx_eight_rounds(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                                        std::uint32_t& d, std::uint32_t& e, std::uint32_t& f,
                                        std::uint32_t& g, std::uint32_t& h, std::uint32_t& bc,
                                        const std::uint32_t* lo, const std::uint32_t* hi) {
    std::uint32_t ab;
    rorx_round(a, b, d, e, f, g, h, bc, ab, lo[0]);
    rorx_round(h, a, c, d, e, f, g, ab, bc, lo[1]);
    rorx_round(g, h, b, c, d, e, f, bc, ab, lo[2]);
    rorx_round(f, g, a, b, c, d, e, ab, bc, lo[3]);
    rorx_round(e, f, h, a, b, c, d, bc, ab, hi[0]);
    rorx_round(d, e, g, h, a, b, c, ab, bc, hi[1]);
    rorx_round(c, d, f, g, h, a, b, bc, ab, hi[2]);
    rorx_round(b, c, e, f, g, h, a, ab, bc, hi[3]);
}

// The 64 rounds of one block of the pair in `wk` (`lane` 0 or 4), with the
// schedule of the next pair computed one group per eight rounds, from group
// `first` on, while they run.
ZV_SHA256_INLINE void rorx_block(std::uint32_t* state, const std::uint32_t* wk, int lane,
                                 pair_schedule& next, int first, const unsigned char* next_pair,
                                 std::uint32_t* next_wk) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    std::uint32_t bc = b ^ c;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        next.step(first + i, next_pair, next_wk);
        rorx_eight_rounds(a, b, c, d, e, f, g, h, bc, wk + 16 * i + lane, wk + 16 * i + 8 + lane);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

struct avx_ops {
    static __m128i align4(__m128i hi, __m128i lo) { return _mm_alignr_epi8(hi, lo, 4); }
    static __m128i load_be(const unsigned char* p) {
        const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
        return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
    }
};

}  // namespace

void sha256_rorx(void* input, std::uint32_t* state, std::uint64_t blocks) {
    const unsigned char* p = static_cast<const unsigned char*>(input);
    if (blocks >= 2) {
        // The rounds of one pair run from one work area while the schedule of
        // the next pair fills the other, so the vector work spreads over all
        // the rounds and every word is in memory long before it is read.
        alignas(32) std::uint32_t wk[2][128];
        std::uint32_t* current = wk[0];
        std::uint32_t* next = wk[1];
        pair_schedule schedule;
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            schedule.step(group, p, current);
        }
        for (; blocks >= 2; blocks -= 2, p += 128) {
            // After the last pair the schedule steps rework the current pair
            // into the idle area, which keeps a single copy of the rounds.
            const unsigned char* following = blocks >= 4 ? p + 128 : p;
            rorx_block(state, current, 0, schedule, 0, following, next);
            rorx_block(state, current, 4, schedule, 8, following, next);
            std::uint32_t* spent = current;
            current = next;
            next = spent;
        }
    }
    // A lone block (the last of an odd count, or a count of 1) takes the
    // 128-bit one-block path.
    if (blocks != 0) {
        std::uint32_t v[8];
        for (int i = 0; i < 8; ++i) {
            v[i] = state[i];
        }
        sse_block_rounds<avx_ops>(p, v, SHA256_K);
        for (int i = 0; i < 8; ++i) {
            state[i] += v[i];
        }
    }
}

}  // namespace zvcrypto
