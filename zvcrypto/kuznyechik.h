// Kuznyechik, the 128-bit block cipher of GOST R 34.12-2015, with a 256-bit
// key. Blocks and keys are byte arrays in the order the standard writes its
// vectors (leftmost byte first). Counter mode over it enciphers the machine-bound
// strings and the client-defined storage file.
// Usage: zvcrypto::kuznyechik k; k.init(key32, block_cipher::decryption); k.decrypt_block(in, out);
#pragma once

#include "zvcrypto/block_cipher.h"

#include <cstddef>
#include <cstdint>

namespace zvcrypto {

class kuznyechik : public block_cipher {
public:
    kuznyechik() = default;
    ~kuznyechik() override;

    std::size_t blocksize() const override { return 128; }
    std::size_t keysize() const override { return 256; }
    kuznyechik* clone() const override;
    void clear() override;
    // Reads exactly 32 bytes. For decryption round keys 2 to 10 are kept
    // through the inverse linear map, so each inverse round adds its key
    // straight after the table lookups.
    bool init(const unsigned char* key, direction dir) override;
    // `in` and `out` may be the same buffer.
    void encrypt_block(const unsigned char* in, unsigned char* out) override;
    void decrypt_block(const unsigned char* in, unsigned char* out) override;
    // Several blocks at once run interleaved, faster than one at a time.
    void encrypt_blocks(const unsigned char* in, unsigned char* out, std::size_t n) override;
    void decrypt_blocks(const unsigned char* in, unsigned char* out, std::size_t n) override;

private:
    // K1 to K10, each as two words holding its 16 bytes in array order;
    // aligned so that the rounds can XOR them straight from memory.
    alignas(16) std::uint64_t rk[10][2] = {};
};

}  // namespace zvcrypto
