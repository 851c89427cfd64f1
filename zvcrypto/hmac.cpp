#include "zvcrypto/hmac.h"

#include <cstring>
#include <vector>

namespace zvcrypto {

hmac::hmac(const crypto_hash& hash, const unsigned char* key, std::size_t keylen)
    : hash_(hash.clone()) {
    construct(key, keylen);
}

hmac::hmac(const crypto_hash& hash, const std::string& key)
    : hmac(hash, reinterpret_cast<const unsigned char*>(key.data()), key.size()) {}

hmac::~hmac() {
    clear();
    secure_zero(ipad_, block_bytes());
    secure_zero(opad_, block_bytes());
    delete[] ipad_;
    delete[] opad_;
}

void hmac::construct(const unsigned char* key, std::size_t keylen) {
    const std::size_t b = block_bytes();
    ipad_ = new unsigned char[b]();
    opad_ = new unsigned char[b]();
    if (keylen > b) {
        hash_->hash_string(key, keylen, ipad_);
        std::memcpy(opad_, ipad_, digest_bytes());
    } else if (keylen > 0) {
        std::memcpy(ipad_, key, keylen);
        std::memcpy(opad_, key, keylen);
    }
    for (std::size_t i = 0; i < b; ++i) {
        opad_[i] ^= 0x5c;
        ipad_[i] ^= 0x36;
    }
}

void hmac::init() {
    hash_->init();
    hash_->update(ipad_, block_bytes());
}

void hmac::update(const unsigned char* data, std::size_t len) { hash_->update(data, len); }

void hmac::final(unsigned char* mac) {
    std::vector<unsigned char> inner(digest_bytes());
    hash_->final(inner.data());
    hash_->init();
    hash_->update(opad_, block_bytes());
    hash_->update(inner.data(), inner.size());
    secure_zero(inner.data(), inner.size());
    hash_->final(mac);
}

hmac* hmac::clone() const {
    auto* copy = new hmac(*hash_, nullptr, 0);
    std::memcpy(copy->ipad_, ipad_, block_bytes());
    std::memcpy(copy->opad_, opad_, block_bytes());
    return copy;
}

void hmac::clear() { hash_->clear(); }

}  // namespace zvcrypto
