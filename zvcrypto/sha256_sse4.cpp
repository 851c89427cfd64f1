// SHA-256 blocks with SSSE3 byte shuffles; compiled with -mssse3 -msse4.1 and
// called only when the processor has them.
#include "zvcrypto/sha256_block_functions.h"
#include "zvcrypto/sha256_schedule_sse.h"

#include <tmmintrin.h>

namespace zvcrypto {

namespace {

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
        sse_block_rounds<ssse3_ops>(p, v, SHA256_K);
        for (int i = 0; i < 8; ++i) {
            state[i] += v[i];
        }
    }
}

}  // namespace zvcrypto
