// SHA-256 blocks with SSE2 only, the baseline of x86-64.
#include "zvcrypto/sha256_block_functions.h"
#include "zvcrypto/sha256_schedule_sse.h"

namespace zvcrypto {

namespace {

struct sse2_ops {
    static __m128i align4(__m128i hi, __m128i lo) {
        return _mm_or_si128(_mm_srli_si128(lo, 4), _mm_slli_si128(hi, 12));
    }
    static __m128i load_be(const unsigned char* p) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Swap the bytes of each 16-bit half, then the two halves of each word.
        x = _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
        x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
        return _mm_shufflehi_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
    }
};

}  // namespace

void X86_SHA256_HashBlocks(std::uint32_t* state, const std::uint32_t* input, std::size_t length) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(input);
    const unsigned char* const end = p + length / 64 * 64;
    __m128i* s = reinterpret_cast<__m128i*>(state);
    // Tested before the first block: a zero length hashes nothing.
    for (; p < end; p += 64) {
        alignas(16) std::uint32_t work[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(work), _mm_load_si128(s));
        _mm_store_si128(reinterpret_cast<__m128i*>(work + 4), _mm_load_si128(s + 1));
        sse_block_rounds<sse2_ops>(p, work, SHA256_K);
        _mm_store_si128(s, _mm_add_epi32(_mm_load_si128(s), _mm_load_si128(reinterpret_cast<__m128i*>(work))));
        _mm_store_si128(s + 1, _mm_add_epi32(_mm_load_si128(s + 1),
                                             _mm_load_si128(reinterpret_cast<__m128i*>(work + 4))));
    }
}

}  // namespace zvcrypto
