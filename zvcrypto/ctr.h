// The abstract stream-cipher interface and counter mode over any block cipher.
// Counter-mode Kuznyechik enciphers the machine-bound strings and the
// client-defined storage file.
// Usage: zvcrypto::ctr c{zvcrypto::kuznyechik()}; c.init(key, 32, iv, 2); c.encrypt(in, n, out);
#pragma once

#include "zvcrypto/block_cipher.h"

#include <cstddef>
#include <memory>

namespace zvcrypto {

class stream_cipher {
public:
    stream_cipher() = default;
    stream_cipher(const stream_cipher&) = delete;
    stream_cipher& operator=(const stream_cipher&) = delete;

    virtual ~stream_cipher() = default;
    // Sizes are in bits.
    virtual std::size_t keysize() const = 0;
    virtual std::size_t ivsize() const = 0;
    // A new object of the same kind, not initialised; the caller owns it.
    virtual stream_cipher* clone() const = 0;
    // Wipes key material and stream state.
    virtual void clear() = 0;
    virtual void init(const unsigned char* key, std::size_t keylen, const unsigned char* iv,
                      std::size_t ivlen) = 0;
    virtual void encrypt(const unsigned char* in, std::size_t len, unsigned char* out) = 0;
    virtual void decrypt(const unsigned char* in, std::size_t len, unsigned char* out) = 0;
};

// The counter block is the IV followed by zero bytes and counts up as one
// big-endian number per block; the keystream runs on across calls until the
// next init, so splitting an input over calls changes nothing.
class ctr : public stream_cipher {
public:
    // The cipher is only cloned: the caller keeps it, and it need not be keyed.
    explicit ctr(const block_cipher& cipher);
    ~ctr() override;

    std::size_t keysize() const override { return cipher_->keysize(); }
    std::size_t ivsize() const override { return cipher_->blocksize(); }
    ctr* clone() const override;
    void clear() override;
    // `keylen` must be the cipher's key size in bytes and `ivlen` at most one
    // block; std::invalid_argument otherwise, since either would read or write
    // past a buffer.
    void init(const unsigned char* key, std::size_t keylen, const unsigned char* iv,
              std::size_t ivlen) override;
    // `in` and `out` may be the same buffer.
    void encrypt(const unsigned char* in, std::size_t len, unsigned char* out) override;
    void decrypt(const unsigned char* in, std::size_t len, unsigned char* out) override;

private:
    // Counter mode asks the cipher for up to this many blocks in one call, so
    // that a cipher which runs blocks side by side can do so.
    static constexpr std::size_t batch_blocks = 64;

    unsigned char* counters_;   // inputs of the next batch of keystream blocks
    unsigned char* keystream_;  // the current batch of keystream blocks
    unsigned char* iv_;         // the counter block: input of the next keystream block
    std::size_t pos;            // bytes of keystream_ already used
    std::size_t avail_;         // bytes of keystream_ made by the last batch
    std::size_t nb_;            // block size in bytes
    std::unique_ptr<block_cipher> cipher_;
};

}  // namespace zvcrypto
