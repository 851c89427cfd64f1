#include "zvcrypto/crypto_hash.h"

#include <algorithm>
#include <stdexcept>

namespace zvcrypto {

void crypto_hash::hash_string(const unsigned char* data, std::size_t len, unsigned char* hash) {
    init();
    update(data, len);
    final(hash);
}

void crypto_hash::hash_string(const char* data, std::size_t len, unsigned char* hash) {
    hash_string(reinterpret_cast<const unsigned char*>(data), len, hash);
}

void crypto_hash::hash_string(const std::string& data, unsigned char* hash) {
    hash_string(data.data(), data.size(), hash);
}

void crypto_hash::validate_hash_size(std::size_t hs, std::size_t max) const {
    if (hs == 0) {
        throw std::runtime_error("hash size can't be zero");
    }
    if (hs % 8 != 0) {
        throw std::runtime_error("zvcrypto does not support non-byte hash sizes");
    }
    if (hs > max) {
        throw std::runtime_error("invalid hash size");
    }
}

void crypto_hash::validate_hash_size(std::size_t hs, std::initializer_list<std::size_t> set) const {
    if (hs == 0) {
        throw std::runtime_error("hash size can't be zero");
    }
    if (std::find(set.begin(), set.end(), hs) == set.end()) {
        throw std::runtime_error("invalid hash size");
    }
}

void secure_zero(void* data, std::size_t len) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < len; ++i) {
        p[i] = 0;
    }
}

}  // namespace zvcrypto
