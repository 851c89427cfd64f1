// SHA-256 blocks with SSSE3 byte shuffles; compiled with -mssse3 -msse4.1 and
// called only when the processor has them.
#include "zvcrypto/sha256_block_functions.h"
#include "zvcrypto/sha256_schedule_sse.h"

#include <tmmintrin.h>

namespace zvcrypto {

namespace {

alignas(16) const std::uint32_t k_sse4[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

struct ssse3_ops {
    static __m128i align4(__m128i hi, __m128i lo) { return _mm_alignr_epi8(hi, lo, 4); }
    static __m128i load_be(const unsigned char* p) {
        const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
        return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
    }
};

}  // namespace

void sha256_sse4(void* input, std::uint32_t* state, std::uint64_t blocks) {
    const unsigned char* p = static_cast<const unsigned char*>(input);
    for (; blocks != 0; --blocks, p += 64) {
        std::uint32_t v[8];
        for (int i = 0; i < 8; ++i) {
            v[i] = state[i];
        }
        sse_block_rounds<ssse3_ops>(p, v, k_sse4);
        for (int i = 0; i < 8; ++i) {
            state[i] += v[i];
        }
    }
}

}  // namespace zvcrypto
