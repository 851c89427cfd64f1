// Scalar SHA-256 rounds shared by every block function. Everything here has
// internal linkage, so each block function's file gets its own copy compiled
// for its own instruction set.
#pragma once

#include <cstdint>
#include <cstring>

// The rounds only run fast as one straight block of code with the working
// variables in registers, so inlining is not left to the compiler's judgement.
#define ZV_SHA256_INLINE inline __attribute__((always_inline))

namespace zvcrypto {
namespace {

ZV_SHA256_INLINE std::uint32_t rotr32(std::uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

ZV_SHA256_INLINE std::uint32_t load_be32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

// One round. `bc` carries b ^ c in (c enters only through it) and a ^ b out:
// the next round's b ^ c, so Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)) needs no
// second xor.
ZV_SHA256_INLINE void sha256_round(std::uint32_t a, std::uint32_t b, [[maybe_unused]] std::uint32_t c,
                                   std::uint32_t& d, std::uint32_t e, std::uint32_t f,
                                   std::uint32_t g, std::uint32_t& h, std::uint32_t& bc,
                                   std::uint32_t wk) {
    h += wk;
    h += g ^ (e & (f ^ g));
    h += rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25);
    d += h;
    const std::uint32_t ab = a ^ b;
    h += (rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22)) + (b ^ (ab & bc));
    bc = ab;
}

// Eight rounds: the first four take lo[0..3], the next four hi[0..3], each the
// message word already added to its round constant.
ZV_SHA256_INLINE void sha256_eight_rounds(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                                          std::uint32_t& d, std::uint32_t& e, std::uint32_t& f,
                                          std::uint32_t& g, std::uint32_t& h, std::uint32_t& bc,
                                          const std::uint32_t* lo, const std::uint32_t* hi) {
    sha256_round(a, b, c, d, e, f, g, h, bc, lo[0]);
    sha256_round(h, a, b, c, d, e, f, g, bc, lo[1]);
    sha256_round(g, h, a, b, c, d, e, f, bc, lo[2]);
    sha256_round(f, g, h, a, b, c, d, e, bc, lo[3]);
    sha256_round(e, f, g, h, a, b, c, d, bc, hi[0]);
    sha256_round(d, e, f, g, h, a, b, c, bc, hi[1]);
    sha256_round(c, d, e, f, g, h, a, b, bc, hi[2]);
    sha256_round(b, c, d, e, f, g, h, a, bc, hi[3]);
}

// The 64 rounds of one block from 64 consecutive message-plus-constant words.
ZV_SHA256_INLINE void sha256_compress_wk(std::uint32_t* state, const std::uint32_t* wk) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    std::uint32_t bc = b ^ c;
    for (int i = 0; i < 64; i += 8) {
        sha256_eight_rounds(a, b, c, d, e, f, g, h, bc, wk + i, wk + i + 4);
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

}  // namespace
}  // namespace zvcrypto
