#include "zvfd/cipher.h"

#include "zvfd/block_name.h"
#include "zvfd/io.h"

#include "zvcrypto/ctr.h"
#include "zvcrypto/kuznyechik.h"

#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <fstream>
#include <iterator>

namespace zvfd {

namespace {

std::string hmac256(const std::string& key, const std::string& data) {
    unsigned char out[32];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), out, &len);
    return std::string(reinterpret_cast<char*>(out), len);
}

void random_bytes(unsigned char* out, int n) {
    if (RAND_bytes(out, n) != 1) throw Error("no random bytes for a nonce");
}

// One cipher context per thread and direction, keyed once for the sealer it last
// served: setting the key up and fetching the algorithm cost more than sealing a
// block. Sealers are told apart by a serial number, never by their address, which a
// later sealer may reuse.
std::atomic<std::uint64_t> next_sealer_serial{1};

struct CipherContext {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::uint64_t keyed_for = 0;
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
};

const EVP_CIPHER* aes_256_gcm() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    if (!cipher) throw Error("AES-256-GCM is not available");
    return cipher;
}

class AesGcm : public Sealer {
public:
    explicit AesGcm(std::string key) : key_(std::move(key)) {}
    ~AesGcm() override { OPENSSL_cleanse(key_.data(), key_.size()); }
    std::size_t overhead() const override { return 28; }
    void seal_into(const char* plain, std::size_t n, char* out) const override {
        thread_local CipherContext c;
        auto* o = reinterpret_cast<unsigned char*>(out);
        random_bytes(o, 12);
        int len = 0;
        bool ok = c.ctx && keyed(c, true) && EVP_EncryptInit_ex(c.ctx, nullptr, nullptr, nullptr, o) == 1 &&
                  EVP_EncryptUpdate(c.ctx, o + 12, &len, reinterpret_cast<const unsigned char*>(plain),
                                    static_cast<int>(n)) == 1 &&
                  EVP_EncryptFinal_ex(c.ctx, o + 12 + len, &len) == 1 &&
                  EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, 16, o + 12 + n) == 1;
        if (!ok) {
            c.keyed_for = 0;
            throw Error("AES-256-GCM encryption failed");
        }
    }
    std::size_t open_into(const char* sealed, std::size_t size, char* out) const override {
        if (size < 28) throw AuthError("sealed data is too short");
        thread_local CipherContext c;
        const auto* s = reinterpret_cast<const unsigned char*>(sealed);
        const std::size_t n = size - 28;
        auto* o = reinterpret_cast<unsigned char*>(out);
        int len = 0;
        unsigned char tag[16];
        std::copy(s + 12 + n, s + 28 + n, tag);
        bool ok = c.ctx && keyed(c, false) && EVP_DecryptInit_ex(c.ctx, nullptr, nullptr, nullptr, s) == 1 &&
                  EVP_DecryptUpdate(c.ctx, o, &len, s + 12, static_cast<int>(n)) == 1 &&
                  EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
                  EVP_DecryptFinal_ex(c.ctx, o + len, &len) == 1;
        if (!ok) throw AuthError("authentication tag does not match");
        return n;
    }

private:
    bool keyed(CipherContext& c, bool encrypt) const {
        if (c.keyed_for == serial_) return true;
        const auto* k = reinterpret_cast<const unsigned char*>(key_.data());
        const bool ok = encrypt ? EVP_EncryptInit_ex(c.ctx, aes_256_gcm(), nullptr, k, nullptr) == 1
                                : EVP_DecryptInit_ex(c.ctx, aes_256_gcm(), nullptr, k, nullptr) == 1;
        c.keyed_for = ok ? serial_ : 0;
        return ok;
    }
    std::string key_;
    const std::uint64_t serial_ = next_sealer_serial++;
};

class KuznyechikCtrHmac : public Sealer {
public:
    KuznyechikCtrHmac(std::string key, const std::string& mac) : key_(std::move(key)), mac_(DigestKind::Sha256, mac) {}
    ~KuznyechikCtrHmac() override { OPENSSL_cleanse(key_.data(), key_.size()); }
    std::size_t overhead() const override { return 48; }
    void seal_into(const char* plain, std::size_t n, char* out) const override {
        auto* o = reinterpret_cast<unsigned char*>(out);
        random_bytes(o, 16);
        crypt(o, reinterpret_cast<const unsigned char*>(plain), n, o + 16);
        mac_.compute(o, 16 + n, o + 16 + n);
    }
    std::size_t open_into(const char* sealed, std::size_t size, char* out) const override {
        if (size < 48) throw AuthError("sealed data is too short");
        const std::size_t n = size - 48;
        const auto* s = reinterpret_cast<const unsigned char*>(sealed);
        unsigned char tag[32];
        mac_.compute(s, 16 + n, tag);
        if (CRYPTO_memcmp(tag, s + 16 + n, 32) != 0) throw AuthError("authentication tag does not match");
        crypt(s, s + 16, n, reinterpret_cast<unsigned char*>(out));
        return n;
    }

private:
    void crypt(const unsigned char* iv, const unsigned char* in, std::size_t n, unsigned char* out) const {
        zvcrypto::kuznyechik cipher;
        zvcrypto::ctr stream(cipher);
        stream.init(reinterpret_cast<const unsigned char*>(key_.data()), 32, iv, 16);
        stream.encrypt(in, n, out);
    }
    std::string key_;
    Digest mac_;
};

}  // namespace

std::string Sealer::seal(const std::string& plain) const {
    std::string out(plain.size() + overhead(), '\0');
    seal_into(plain.data(), plain.size(), out.data());
    return out;
}

std::string Sealer::open(const std::string& sealed) const {
    if (sealed.size() < overhead()) throw AuthError("sealed data is too short");
    std::string out(sealed.size() - overhead(), '\0');
    open_into(sealed.data(), sealed.size(), out.data());
    return out;
}

std::string canonical_cipher(const std::string& cipher_word) {
    std::string w = cipher_word;
    std::transform(w.begin(), w.end(), w.begin(), [](unsigned char c) { return std::tolower(c); });
    if (w.empty() || w == "nocrypt") return "nocrypt";
    if (w == "aes-256-gcm" || w == "kuznyechik") return w;
    throw Error("unknown encryption '" + cipher_word + "' (known: nocrypt, aes-256-gcm, kuznyechik)");
}

Keys no_keys() {
    Keys keys;
    keys.cipher = "nocrypt";
    keys.id = std::string(16, '\0');
    return keys;
}

Keys derive_keys(const std::string& cipher_word, const std::string& key_file) {
    const std::string cipher = canonical_cipher(cipher_word);
    if (cipher == "nocrypt") return no_keys();
    if (key_file.empty()) throw Error("encryption " + cipher + " needs a key file (-k)");
    struct stat st {};
    if (::stat(key_file.c_str(), &st) != 0) throw Error("cannot read key file " + key_file);
    const std::string secret = read_file(key_file, "key file");
    if (secret.empty()) throw Error("key file " + key_file + " is empty");
    Keys keys;
    keys.cipher = cipher;
    keys.encryption = hmac256(secret, "zvfd encryption key " + cipher);
    keys.mac = hmac256(secret, "zvfd mac key " + cipher);
    keys.naming = hmac256(secret, "zvfd block naming key " + cipher);
    keys.id = hmac256(secret, "zvfd key id " + cipher).substr(0, 16);
    return keys;
}

std::unique_ptr<Sealer> make_sealer(const Keys& keys) {
    if (keys.cipher == "aes-256-gcm") return std::make_unique<AesGcm>(keys.encryption);
    if (keys.cipher == "kuznyechik") return std::make_unique<KuznyechikCtrHmac>(keys.encryption, keys.mac);
    return nullptr;
}

}  // namespace zvfd
