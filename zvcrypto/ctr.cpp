#include "zvcrypto/ctr.h"

#include "zvcrypto/cpuinfo.h"
#include "zvcrypto/crypto_hash.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zvcrypto {

namespace {

void xor_bytes(const unsigned char* in, const unsigned char* keystream, unsigned char* out,
               std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<unsigned char>(in[i] ^ keystream[i]);
    }
}

#if defined(__SSE2__)
// Caller buffers carry no alignment promise, so every access is an unaligned one.
void xor_sse2(const unsigned char* in, const unsigned char* keystream, unsigned char* out,
              std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keystream + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(a, k));
    }
    xor_bytes(in + i, keystream + i, out + i, n - i);
}
#endif

}  // namespace

ctr::ctr(const block_cipher& cipher)
    : block_(nullptr), iv_(nullptr), pos(0), nb_(cipher.blocksize() / 8), cipher_(cipher.clone()) {
    block_ = new unsigned char[nb_]();
    iv_ = new unsigned char[nb_]();
}

ctr::~ctr() {
    clear();
    delete[] block_;
    delete[] iv_;
}

ctr* ctr::clone() const { return new ctr(*cipher_); }

void ctr::clear() {
    secure_zero(block_, nb_);
    secure_zero(iv_, nb_);
    cipher_->clear();
}

void ctr::init(const unsigned char* key, std::size_t keylen, const unsigned char* iv,
               std::size_t ivlen) {
    if (keylen != cipher_->keysize() / 8) {
        throw std::invalid_argument("ctr::init: the key must hold " +
                                    std::to_string(cipher_->keysize() / 8) + " bytes, not " +
                                    std::to_string(keylen));
    }
    if (ivlen > nb_) {
        throw std::invalid_argument("ctr::init: the IV may hold at most " + std::to_string(nb_) +
                                    " bytes, not " + std::to_string(ivlen));
    }
    cipher_->init(key, block_cipher::encryption);
    if (ivlen > 0) {
        std::memcpy(iv_, iv, ivlen);
    }
    std::memset(iv_ + ivlen, 0, nb_ - ivlen);
    pos = 0;
}

void ctr::encrypt(const unsigned char* in, std::size_t len, unsigned char* out) {
    std::size_t done = 0;
    if (pos > 0) {
        for (; done < len && pos < nb_; ++done, ++pos) {
            out[done] = static_cast<unsigned char>(in[done] ^ block_[pos]);
        }
    }
    if (done == len) {
        return;
    }
#if defined(__SSE2__)
    auto* const xor_keystream = cpu_info::sse2() ? xor_sse2 : xor_bytes;
#else
    auto* const xor_keystream = xor_bytes;
#endif
    pos = 0;
    while (done < len) {
        cipher_->encrypt_block(iv_, block_);
        for (std::size_t i = nb_; i-- > 0;) {
            if (++iv_[i] != 0) {
                break;
            }
        }
        const std::size_t n = std::min(nb_, len - done);
        xor_keystream(in + done, block_, out + done, n);
        done += n;
        if (n < nb_) {
            pos = n;
        }
    }
}

void ctr::decrypt(const unsigned char* in, std::size_t len, unsigned char* out) {
    encrypt(in, len, out);
}

}  // namespace zvcrypto
