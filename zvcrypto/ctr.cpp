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
    : counters_(nullptr),
      keystream_(nullptr),
      iv_(nullptr),
      pos(0),
      avail_(0),
      nb_(cipher.blocksize() / 8),
      cipher_(cipher.clone()) {
    counters_ = new unsigned char[batch_blocks * nb_]();
    keystream_ = new unsigned char[batch_blocks * nb_]();
    iv_ = new unsigned char[nb_]();
}

ctr::~ctr() {
    clear();
    delete[] counters_;
    delete[] keystream_;
    delete[] iv_;
}

ctr* ctr::clone() const { return new ctr(*cipher_); }

void ctr::clear() {
    secure_zero(counters_, batch_blocks * nb_);
    secure_zero(keystream_, batch_blocks * nb_);
    secure_zero(iv_, nb_);
    pos = avail_ = 0;
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
    pos = avail_ = 0;
}

void ctr::encrypt(const unsigned char* in, std::size_t len, unsigned char* out) {
#if defined(__SSE2__)
    auto* const xor_keystream = cpu_info::sse2() ? xor_sse2 : xor_bytes;
#else
    auto* const xor_keystream = xor_bytes;
#endif
    std::size_t done = std::min(len, avail_ - pos);
    xor_keystream(in, keystream_ + pos, out, done);
    pos += done;
    while (done < len) {
        // Only the blocks this call needs: a short message pays for no more.
        const std::size_t blocks = std::min(batch_blocks, (len - done + nb_ - 1) / nb_);
        for (std::size_t b = 0; b < blocks; ++b) {
            std::memcpy(counters_ + b * nb_, iv_, nb_);
            for (std::size_t i = nb_; i-- > 0;) {
                if (++iv_[i] != 0) {
                    break;
                }
            }
        }
        cipher_->encrypt_blocks(counters_, keystream_, blocks);
        avail_ = blocks * nb_;
        pos = std::min(avail_, len - done);
        xor_keystream(in + done, keystream_, out + done, pos);
        done += pos;
    }
}

void ctr::decrypt(const unsigned char* in, std::size_t len, unsigned char* out) {
    encrypt(in, len, out);
}

}  // namespace zvcrypto
