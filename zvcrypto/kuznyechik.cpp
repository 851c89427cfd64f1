#include "zvcrypto/kuznyechik.h"

#include "zvcrypto/cpuinfo.h"
#include "zvcrypto/crypto_hash.h"
#include "zvcrypto/kuznyechik_wide.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the table rounds read block bytes out of little-endian 64-bit words"
#endif

namespace zvcrypto {

namespace {

// The substitution pi of GOST R 34.12-2015.
const unsigned char pi[256] = {
    252, 238, 221, 17,  207, 110, 49,  22,  251, 196, 250, 218, 35,  197, 4,   77,
    233, 119, 240, 219, 147, 46,  153, 186, 23,  54,  241, 187, 20,  205, 95,  193,
    249, 24,  101, 90,  226, 92,  239, 33,  129, 28,  60,  66,  139, 1,   142, 79,
    5,   132, 2,   174, 227, 106, 143, 160, 6,   11,  237, 152, 127, 212, 211, 31,
    235, 52,  44,  81,  234, 200, 72,  171, 242, 42,  104, 162, 253, 58,  206, 204,
    181, 112, 14,  86,  8,   12,  118, 18,  191, 114, 19,  71,  156, 183, 93,  135,
    21,  161, 150, 41,  16,  123, 154, 199, 243, 145, 120, 111, 157, 158, 178, 177,
    50,  117, 25,  61,  255, 53,  138, 126, 109, 84,  198, 128, 195, 189, 13,  87,
    223, 245, 36,  169, 62,  168, 67,  201, 215, 121, 214, 246, 124, 34,  185, 3,
    224, 15,  236, 222, 122, 148, 176, 188, 220, 232, 40,  80,  78,  51,  10,  74,
    167, 151, 96,  115, 30,  0,   98,  68,  26,  184, 56,  130, 100, 159, 38,  65,
    173, 69,  70,  146, 39,  94,  85,  47,  140, 163, 165, 125, 105, 213, 149, 59,
    7,   88,  179, 64,  134, 172, 29,  247, 48,  55,  107, 228, 136, 217, 231, 137,
    225, 27,  131, 73,  76,  63,  248, 254, 141, 83,  170, 144, 202, 216, 133, 97,
    32,  113, 103, 164, 45,  43,  9,   91,  203, 155, 37,  208, 190, 229, 108, 82,
    89,  166, 116, 210, 230, 244, 180, 192, 209, 102, 175, 194, 57,  75,  99,  182,
};

// Coefficients of the linear map l, for block bytes 0 to 15.
const unsigned char lc[16] = {148, 32, 133, 16, 194, 192, 1, 251, 1, 192, 194, 16, 133, 32, 148, 1};

// Multiplication in GF(2^8) modulo x^8 + x^7 + x^6 + x + 1.
unsigned char gf_mul(unsigned a, unsigned b) {
    unsigned r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a <<= 1;
        if (a & 0x100) a ^= 0x1c3;
        b >>= 1;
    }
    return static_cast<unsigned char>(r);
}

// L: sixteen steps, each putting l of the block in front and dropping the last byte.
void linear(unsigned char b[16]) {
    for (int step = 0; step < 16; ++step) {
        unsigned char x = 0;
        for (int i = 0; i < 16; ++i) x ^= gf_mul(lc[i], b[i]);
        std::memmove(b + 1, b, 15);
        b[0] = x;
    }
}

// The inverse of L: l's last coefficient is 1, so each step recovers the dropped byte.
void inverse_linear(unsigned char b[16]) {
    for (int step = 0; step < 16; ++step) {
        unsigned char x = b[0];
        for (int i = 0; i < 15; ++i) x ^= gf_mul(lc[i], b[i + 1]);
        std::memmove(b, b + 1, 15);
        b[15] = x;
    }
}

struct tables {
    unsigned char S[256];
    unsigned char IS[256];
    // T[i][b] = L(block with pi(b) at byte i), IT[i][b] = L^-1(block with pi^-1(b) at
    // byte i); L is linear over the field, so each entry is the image of the unit
    // block scaled by the substituted byte.
    alignas(64) unsigned char T[16][256][16];
    alignas(64) unsigned char IT[16][256][16];
    unsigned char C[32][16];
    // Multiplication by l's coefficients 148, 32, 133, 16, 194, 192 and 251 as
    // GF(2) bit matrices, for the wide code.
    std::uint64_t mul_matrix[7];

    tables() {
        for (int b = 0; b < 256; ++b) {
            S[b] = pi[b];
            IS[pi[b]] = static_cast<unsigned char>(b);
        }
        for (int i = 0; i < 16; ++i) {
            unsigned char unit[16] = {};
            unit[i] = 1;
            unsigned char inverse_unit[16] = {};
            inverse_unit[i] = 1;
            linear(unit);
            inverse_linear(inverse_unit);
            for (int b = 0; b < 256; ++b) {
                for (int j = 0; j < 16; ++j) {
                    T[i][b][j] = gf_mul(S[b], unit[j]);
                    IT[i][b][j] = gf_mul(IS[b], inverse_unit[j]);
                }
            }
        }
        for (int i = 0; i < 32; ++i) {
            std::memset(C[i], 0, 16);
            C[i][15] = static_cast<unsigned char>(i + 1);
            linear(C[i]);
        }
        for (int c = 0; c < 7; ++c) {
            // Row i (byte 7-i) picks the input bits that feed output bit i.
            mul_matrix[c] = 0;
            for (int i = 0; i < 8; ++i) {
                std::uint64_t row = 0;
                for (int j = 0; j < 8; ++j) row |= std::uint64_t{(gf_mul(lc[c < 6 ? c : 7], 1u << j) >> i) & 1u} << j;
                mul_matrix[c] |= row << (8 * (7 - i));
            }
        }
    }
};

const tables& tbl() {
    static const tables t;
    return t;
}

// One 128-bit block in array byte order: a vector register where SSE2 is the
// baseline, two little-endian words elsewhere.
#if defined(__SSE2__)
struct block {
    __m128i v;
};

inline block load(const unsigned char* p) { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
inline block load_aligned(const unsigned char* p) {
    return {_mm_load_si128(reinterpret_cast<const __m128i*>(p))};
}
inline void store(const block& b, unsigned char* p) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), b.v); }
inline block operator^(const block& a, const block& b) { return {_mm_xor_si128(a.v, b.v)}; }
inline std::uint64_t low_word(const block& b) { return static_cast<std::uint64_t>(_mm_cvtsi128_si64(b.v)); }
inline std::uint64_t high_word(const block& b) {
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(b.v, b.v)));
}
#else
struct block {
    std::uint64_t lo, hi;  // array bytes 0-7 and 8-15
};

inline block load(const unsigned char* p) {
    block b;
    std::memcpy(&b.lo, p, 8);
    std::memcpy(&b.hi, p + 8, 8);
    return b;
}
inline block load_aligned(const unsigned char* p) { return load(p); }
inline void store(const block& b, unsigned char* p) {
    std::memcpy(p, &b.lo, 8);
    std::memcpy(p + 8, &b.hi, 8);
}
inline block operator^(const block& a, const block& b) { return {a.lo ^ b.lo, a.hi ^ b.hi}; }
inline std::uint64_t low_word(const block& b) { return b.lo; }
inline std::uint64_t high_word(const block& b) { return b.hi; }
#endif

inline block key(const std::uint64_t k[2]) { return load_aligned(reinterpret_cast<const unsigned char*>(k)); }

// XOR of the 16 table entries that the block's bytes choose, each byte first
// substituted by `s` when `Substitute` is set (so the IT table then gives a bare
// L^-1). Four partial sums keep the XOR chain short: one long chain of sixteen
// would make every round wait on the previous load for each entry.
template <bool Substitute>
inline block table_round(const unsigned char (*t)[256][16], const unsigned char* s, const block& a) {
    const std::uint64_t w[2] = {low_word(a), high_word(a)};
    block sum[4];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
        unsigned b = static_cast<unsigned>((w[i >> 3] >> (8 * (i & 7))) & 0xff);
        if (Substitute) b = s[b];
        const block entry = load_aligned(t[i][b]);
        sum[i & 3] = i < 4 ? entry : sum[i & 3] ^ entry;
    }
    return (sum[0] ^ sum[1]) ^ (sum[2] ^ sum[3]);
}

// N blocks side by side: their rounds are independent, so the loads and XORs of
// one fill the waits of the others.
template <std::size_t N>
inline void encrypt_group(const tables& t, const std::uint64_t (*rk)[2], const unsigned char* in,
                          unsigned char* out) {
    block x[N];
    const block k0 = key(rk[0]);
    for (std::size_t j = 0; j < N; ++j) x[j] = load(in + 16 * j) ^ k0;
    for (int r = 1; r < 10; ++r) {
        const block k = key(rk[r]);
        for (std::size_t j = 0; j < N; ++j) x[j] = table_round<false>(t.T, nullptr, x[j]) ^ k;
    }
    for (std::size_t j = 0; j < N; ++j) store(x[j], out + 16 * j);
}

// L^-1(x ^ K10) = L^-1(x) ^ L^-1(K10); then each inverse round is
// L^-1(S^-1(x) ^ K) = IT-round(x) ^ L^-1(K), and the last S^-1 stands alone.
template <std::size_t N>
inline void decrypt_group(const tables& t, const std::uint64_t (*rk)[2], const unsigned char* in,
                          unsigned char* out) {
    block x[N];
    const block k9 = key(rk[9]);
    for (std::size_t j = 0; j < N; ++j) x[j] = table_round<true>(t.IT, t.S, load(in + 16 * j)) ^ k9;
    for (int r = 8; r >= 1; --r) {
        const block k = key(rk[r]);
        for (std::size_t j = 0; j < N; ++j) x[j] = table_round<false>(t.IT, nullptr, x[j]) ^ k;
    }
    const unsigned char* k1 = reinterpret_cast<const unsigned char*>(rk[0]);
    for (std::size_t j = 0; j < N; ++j) {
        unsigned char bytes[16];
        store(x[j], bytes);
        for (int i = 0; i < 16; ++i) {
            out[16 * j + i] = static_cast<unsigned char>(t.IS[bytes[i]] ^ k1[i]);
        }
    }
}

template <bool Decrypt, std::size_t N>
inline void run_group(const tables& t, const std::uint64_t (*rk)[2], const unsigned char* in,
                      unsigned char* out) {
    if constexpr (Decrypt) {
        decrypt_group<N>(t, rk, in, out);
    } else {
        encrypt_group<N>(t, rk, in, out);
    }
}

// Runs of eight blocks side by side, then the rest in runs of four, two and
// one; more than eight gained nothing measurable, fewer gave up a good part.
template <bool Decrypt>
void run_blocks(const std::uint64_t (*rk)[2], const unsigned char* in, unsigned char* out, std::size_t n) {
    const tables& t = tbl();
    if (!Decrypt && cpu_info::avx512_gfni()) {
        for (; n >= 64; n -= 64, in += 1024, out += 1024) {
            kuznyechik_encrypt64_avx512(reinterpret_cast<const unsigned char(*)[16]>(rk), t.S, t.mul_matrix, in, out);
        }
    }
    for (; n >= 8; n -= 8, in += 128, out += 128) run_group<Decrypt, 8>(t, rk, in, out);
    if (n >= 4) {
        run_group<Decrypt, 4>(t, rk, in, out);
        n -= 4, in += 64, out += 64;
    }
    if (n >= 2) {
        run_group<Decrypt, 2>(t, rk, in, out);
        n -= 2, in += 32, out += 32;
    }
    if (n == 1) run_group<Decrypt, 1>(t, rk, in, out);
}

}  // namespace

kuznyechik::~kuznyechik() { clear(); }

kuznyechik* kuznyechik::clone() const { return new kuznyechik(); }

void kuznyechik::clear() { secure_zero(rk, sizeof(rk)); }

bool kuznyechik::init(const unsigned char* key_bytes, direction dir) {
    const tables& t = tbl();
    block a = load(key_bytes);
    block b = load(key_bytes + 16);
    store(a, reinterpret_cast<unsigned char*>(rk[0]));
    store(b, reinterpret_cast<unsigned char*>(rk[1]));
    for (int pair = 0; pair < 4; ++pair) {
        for (int step = 0; step < 8; ++step) {
            const block next = table_round<false>(t.T, nullptr, a ^ load(t.C[8 * pair + step])) ^ b;
            b = a;
            a = next;
        }
        store(a, reinterpret_cast<unsigned char*>(rk[2 + 2 * pair]));
        store(b, reinterpret_cast<unsigned char*>(rk[3 + 2 * pair]));
    }
    if (dir == decryption) {
        for (int r = 1; r < 10; ++r) {
            store(table_round<true>(t.IT, t.S, key(rk[r])), reinterpret_cast<unsigned char*>(rk[r]));
        }
    }
    secure_zero(&a, sizeof(a));
    secure_zero(&b, sizeof(b));
    return true;
}

void kuznyechik::encrypt_block(const unsigned char* in, unsigned char* out) {
    encrypt_group<1>(tbl(), rk, in, out);
}

void kuznyechik::decrypt_block(const unsigned char* in, unsigned char* out) {
    decrypt_group<1>(tbl(), rk, in, out);
}

void kuznyechik::encrypt_blocks(const unsigned char* in, unsigned char* out, std::size_t n) {
    run_blocks<false>(rk, in, out, n);
}

void kuznyechik::decrypt_blocks(const unsigned char* in, unsigned char* out, std::size_t n) {
    run_blocks<true>(rk, in, out, n);
}

}  // namespace zvcrypto
