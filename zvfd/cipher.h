// Authenticated encryption of what the archiver writes to a repository: every block
// in a pack, every pack index and every record. The words of "-C":
//   nocrypt       no encryption
//   aes-256-gcm   AES-256 in GCM (OpenSSL); sealed: 12-byte nonce, ciphertext, 16-byte tag
//   kuznyechik    Kuznyechik in CTR mode (zvcrypto) with an HMAC-SHA256 tag over the
//                 IV and the ciphertext (encrypt-then-MAC); sealed: 16-byte IV,
//                 ciphertext, 32-byte tag
// Letter case does not matter. Nonces and IVs are random per sealed item.
//
// The keys come from the key file of "-k": each is HMAC-SHA256 keyed with the file's
// bytes over a fixed label and the cipher word, so one key file yields independent
// encryption, MAC and block-naming keys, and a key id (16 bytes) that is stored in
// clear so that a wrong key is told apart from damaged data.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

namespace zvfd {

struct AuthError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Keys {
    std::string cipher;  // canonical word: "nocrypt", "aes-256-gcm" or "kuznyechik"
    std::string encryption, mac, naming;  // empty with nocrypt
    std::string id;                       // 16 bytes; all zero with nocrypt
};

// Throws Error for an unknown word or an unreadable or empty key file.
Keys derive_keys(const std::string& cipher_word, const std::string& key_file);
Keys no_keys();
std::string canonical_cipher(const std::string& cipher_word);

class Sealer {
public:
    virtual ~Sealer() = default;
    // Bytes a sealed item has beyond its plain bytes (nonce and tag).
    virtual std::size_t overhead() const = 0;
    // Seals `n` bytes into `out`, which has room for n + overhead() bytes.
    virtual void seal_into(const char* plain, std::size_t n, char* out) const = 0;
    // Opens `n` sealed bytes into `out`, which has room for n - overhead() bytes, and
    // returns that count. Throws AuthError when the tag does not match (wrong key or
    // changed bytes); `out` then holds nothing to use.
    virtual std::size_t open_into(const char* sealed, std::size_t n, char* out) const = 0;

    std::string seal(const std::string& plain) const;
    std::string open(const std::string& sealed) const;
};

// nullptr with nocrypt. Safe to use from several threads.
std::unique_ptr<Sealer> make_sealer(const Keys& keys);

}  // namespace zvfd
