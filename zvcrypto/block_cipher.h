// The abstract block-cipher interface; Kuznyechik implements it and counter
// mode runs over it.
// Usage: zvcrypto::kuznyechik k; k.init(key32, block_cipher::encryption); k.encrypt_block(in, out);
#pragma once

#include <cstddef>

namespace zvcrypto {

class block_cipher {
public:
    enum direction { encryption = 0, decryption = 1 };

    block_cipher() = default;
    block_cipher(const block_cipher&) = delete;
    block_cipher& operator=(const block_cipher&) = delete;

    virtual ~block_cipher() = default;
    // Sizes are in bits.
    virtual std::size_t blocksize() const = 0;
    virtual std::size_t keysize() const = 0;
    // A new cipher of the same algorithm, not keyed; the caller owns it.
    virtual block_cipher* clone() const = 0;
    // Overwrites the key material with zero bytes.
    virtual void clear() = 0;
    // Expands keysize()/8 bytes at `key` for one direction.
    virtual bool init(const unsigned char* key, direction dir) = 0;
    virtual void encrypt_block(const unsigned char* in, unsigned char* out) = 0;
    virtual void decrypt_block(const unsigned char* in, unsigned char* out) = 0;
    // `n` consecutive blocks.
    virtual void encrypt_blocks(const unsigned char* in, unsigned char* out, std::size_t n);
    virtual void decrypt_blocks(const unsigned char* in, unsigned char* out, std::size_t n);
};

}  // namespace zvcrypto
