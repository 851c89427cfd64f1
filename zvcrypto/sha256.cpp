#include "zvcrypto/sha256.h"

#include "zvcrypto/md_block_buffer.h"
#include "zvcrypto/sha256_rounds.h"

#include <cstring>

namespace zvcrypto {

const std::uint32_t SHA256_K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

sha256_block_kind choose_sha256_block_kind(const cpu_info::cpu_info_impl& features) {
    if (features.avx2_bmi2_usable()) {
        return sha256_block_kind::avx2_bmi2;
    }
    if (features.ecx1_[19]) {
        return sha256_block_kind::sse4;
    }
    if (features.edx1_[26]) {
        return sha256_block_kind::sse2;
    }
    return sha256_block_kind::portable;
}

sha256::sha256() { use_block_function(choose_sha256_block_kind(cpu_info::features())); }

sha256::~sha256() { clear(); }

void sha256::use_block_function(sha256_block_kind kind) {
    std::uint32_t* const state = H;
    switch (kind) {
        case sha256_block_kind::avx2_bmi2:
            // The two-block routine gains nothing on a single block.
            transfunc = [state](void* blocks, std::uint64_t n) {
                if (n < 2) {
                    sha256_sse4(blocks, state, n);
                } else {
                    sha256_rorx(blocks, state, n);
                }
            };
            break;
        case sha256_block_kind::sse4:
            transfunc = [state](void* blocks, std::uint64_t n) { sha256_sse4(blocks, state, n); };
            break;
        case sha256_block_kind::sse2:
            transfunc = [state](void* blocks, std::uint64_t n) {
                X86_SHA256_HashBlocks(state, static_cast<const std::uint32_t*>(blocks), n * 64);
            };
            break;
        case sha256_block_kind::portable:
            transfunc = [this](void* blocks, std::uint64_t n) { transform(blocks, n); };
            break;
    }
}

void sha256::transform(void* blocks, std::uint64_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(blocks);
    std::uint32_t w[64];
    for (; n != 0; --n, p += 64) {
        for (int t = 0; t < 16; ++t) {
            w[t] = load_be32(p + 4 * t);
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr32(w[t - 15], 7) ^ rotr32(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr32(w[t - 2], 17) ^ rotr32(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        for (int t = 0; t < 64; ++t) {
            w[t] += SHA256_K[t];
        }
        sha256_compress_wk(H, w);
    }
}

void sha256::init() {
    static const std::uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(H, iv, sizeof(iv));
    pos = 0;
    total = 0;
}

void sha256::update(const unsigned char* data, std::size_t len) {
    // Whole blocks go straight from the caller's buffer.
    md_update(m, pos, total, data, len, [this](const unsigned char* p, std::uint64_t n) {
        transfunc(const_cast<unsigned char*>(p), n);
    });
}

void sha256::final(unsigned char* hash) {
    md_finish(m, pos, total, md_length_order::big_endian,
              [this](unsigned char* p, std::uint64_t n) { transfunc(p, n); });
    std::uint32_t* const state = H;
    for (int i = 0; i < 8; ++i) {
        state[i] = __builtin_bswap32(state[i]);
    }
    std::memcpy(hash, state, hashsize() / 8);
}

sha256* sha256::clone() const { return new sha256(); }

void sha256::clear() {
    secure_zero(H, H.bytes());
    secure_zero(m.data(), m.size());
}

void sha224::init() {
    static const std::uint32_t iv[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                        0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
    std::memcpy(H, iv, sizeof(iv));
    pos = 0;
    total = 0;
}

sha224* sha224::clone() const { return new sha224(); }

}  // namespace zvcrypto
