#include "zvfd/cipher.h"

#include "zvfd/io.h"

#include "zvcrypto/ctr.h"
#include "zvcrypto/kuznyechik.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
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

class AesGcm : public Sealer {
public:
    explicit AesGcm(std::string key) : key_(std::move(key)) {}
    std::string seal(const std::string& plain) const override {
        std::string out(12 + plain.size() + 16, '\0');
        auto* o = reinterpret_cast<unsigned char*>(out.data());
        random_bytes(o, 12);
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int len = 0;
        bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key(), o) == 1 &&
                  EVP_EncryptUpdate(ctx, o + 12, &len, reinterpret_cast<const unsigned char*>(plain.data()),
                                    static_cast<int>(plain.size())) == 1 &&
                  EVP_EncryptFinal_ex(ctx, o + 12 + len, &len) == 1 &&
                  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, o + 12 + plain.size()) == 1;
        EVP_CIPHER_CTX_free(ctx);
        if (!ok) throw Error("AES-256-GCM encryption failed");
        return out;
    }
    std::string open(const std::string& sealed) const override {
        if (sealed.size() < 28) throw AuthError("sealed data is too short");
        const auto* s = reinterpret_cast<const unsigned char*>(sealed.data());
        const std::size_t n = sealed.size() - 28;
        std::string out(n, '\0');
        auto* o = reinterpret_cast<unsigned char*>(out.data());
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int len = 0;
        unsigned char tag[16];
        std::copy(s + 12 + n, s + 28 + n, tag);
        bool ok = ctx && EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key(), s) == 1 &&
                  EVP_DecryptUpdate(ctx, o, &len, s + 12, static_cast<int>(n)) == 1 &&
                  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
                  EVP_DecryptFinal_ex(ctx, o + len, &len) == 1;
        EVP_CIPHER_CTX_free(ctx);
        if (!ok) throw AuthError("authentication tag does not match");
        return out;
    }

private:
    const unsigned char* key() const { return reinterpret_cast<const unsigned char*>(key_.data()); }
    std::string key_;
};

class KuznyechikCtrHmac : public Sealer {
public:
    KuznyechikCtrHmac(std::string key, std::string mac) : key_(std::move(key)), mac_(std::move(mac)) {}
    std::string seal(const std::string& plain) const override {
        std::string out(16 + plain.size(), '\0');
        auto* o = reinterpret_cast<unsigned char*>(out.data());
        random_bytes(o, 16);
        crypt(o, reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), o + 16);
        out += hmac256(mac_, out);
        return out;
    }
    std::string open(const std::string& sealed) const override {
        if (sealed.size() < 48) throw AuthError("sealed data is too short");
        const std::size_t n = sealed.size() - 48;
        const std::string tag = hmac256(mac_, sealed.substr(0, 16 + n));
        if (CRYPTO_memcmp(tag.data(), sealed.data() + 16 + n, 32) != 0)
            throw AuthError("authentication tag does not match");
        std::string out(n, '\0');
        const auto* s = reinterpret_cast<const unsigned char*>(sealed.data());
        crypt(s, s + 16, n, reinterpret_cast<unsigned char*>(out.data()));
        return out;
    }

private:
    void crypt(const unsigned char* iv, const unsigned char* in, std::size_t n, unsigned char* out) const {
        zvcrypto::kuznyechik cipher;
        zvcrypto::ctr stream(cipher);
        stream.init(reinterpret_cast<const unsigned char*>(key_.data()), 32, iv, 16);
        stream.encrypt(in, n, out);
    }
    std::string key_, mac_;
};

}  // namespace

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
    std::ifstream in(key_file, std::ios::binary);
    if (!in) throw Error("cannot read key file " + key_file);
    const std::string secret((std::istreambuf_iterator<char>(in)), {});
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
