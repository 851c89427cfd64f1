// HMAC (RFC 2104) over any crypto_hash; HMAC-SHA256 keys the lock-file names
// and the machine-bound identifier.
// Usage: zvcrypto::sha256 h; zvcrypto::hmac mac(h, key); mac.hash_string(text, out);
#pragma once

#include "zvcrypto/crypto_hash.h"

#include <cstddef>
#include <memory>
#include <string>

namespace zvcrypto {

class hmac : public crypto_hash {
public:
    // The hash is only cloned; the caller keeps it.
    hmac(const crypto_hash& hash, const unsigned char* key, std::size_t keylen);
    hmac(const crypto_hash& hash, const std::string& key);
    ~hmac() override;

    void init() override;
    void update(const unsigned char* data, std::size_t len) override;
    void final(unsigned char* mac) override;
    std::size_t hashsize() const override { return hash_->hashsize(); }
    std::size_t blocksize() const override { return hash_->blocksize(); }
    hmac* clone() const override;
    void clear() override;

private:
    void construct(const unsigned char* key, std::size_t keylen);
    std::size_t block_bytes() const { return blocksize() / 8; }
    std::size_t digest_bytes() const { return hashsize() / 8; }

    unsigned char* ipad_ = nullptr;
    unsigned char* opad_ = nullptr;
    std::unique_ptr<crypto_hash> hash_;
};

}  // namespace zvcrypto
