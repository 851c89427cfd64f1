#include "zvfd/block_name.h"

#include "zvfd/io.h"

#include <openssl/evp.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>

namespace zvfd {

DigestKind digest_kind(const std::string& algorithm, bool long_digest) {
    std::string word = algorithm;
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!word.empty() && word != "sha2")
        throw Error("unknown hash algorithm '" + algorithm + "' (known: sha2 with -2 or -5)");
    return long_digest ? DigestKind::Sha512 : DigestKind::Sha256;
}

std::size_t digest_size(DigestKind kind) { return kind == DigestKind::Sha512 ? 64 : 32; }

const char* digest_word(DigestKind kind) { return kind == DigestKind::Sha512 ? "sha512" : "sha256"; }

struct Digest::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(ctx); }
};

namespace {

// Fetched once: the implicit fetch behind EVP_sha256() takes a lock on every use.
const EVP_MD* fetched(DigestKind kind) {
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
    static EVP_MD* const sha512 = EVP_MD_fetch(nullptr, "SHA2-512", nullptr);
    const EVP_MD* md = kind == DigestKind::Sha512 ? sha512 : sha256;
    if (!md) throw Error("the SHA-2 digests are not available");
    return md;
}

void check(bool ok) {
    if (!ok) throw Error("cannot compute a block digest");
}

}  // namespace

Digest::Digest(DigestKind kind, const std::string& key) : md_(fetched(kind)), size_(digest_size(kind)) {
    if (key.empty()) return;
    const auto* md = static_cast<const EVP_MD*>(md_);
    const auto block = static_cast<std::size_t>(EVP_MD_get_block_size(md));
    std::string k = key;
    if (k.size() > block) {
        unsigned char short_key[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        check(EVP_Digest(k.data(), k.size(), short_key, &n, md, nullptr) == 1);
        k.assign(reinterpret_cast<char*>(short_key), n);
    }
    k.resize(block, '\0');
    std::string ipad = k, opad = k;
    for (std::size_t i = 0; i < block; ++i) {
        ipad[i] = static_cast<char>(ipad[i] ^ 0x36);
        opad[i] = static_cast<char>(opad[i] ^ 0x5c);
    }
    auto start = [&](const std::string& pad) {
        auto s = std::make_unique<State>();
        check(s->ctx && EVP_DigestInit_ex2(s->ctx, md, nullptr) == 1 &&
              EVP_DigestUpdate(s->ctx, pad.data(), pad.size()) == 1);
        return s;
    };
    inner_ = start(ipad);
    outer_ = start(opad);
    OPENSSL_cleanse(k.data(), k.size());
    OPENSSL_cleanse(ipad.data(), ipad.size());
    OPENSSL_cleanse(opad.data(), opad.size());
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::compute(const void* data, std::size_t len, unsigned char* out) const {
    thread_local State work;
    unsigned int n = 0;
    if (!inner_) {
        check(EVP_DigestInit_ex2(work.ctx, static_cast<const EVP_MD*>(md_), nullptr) == 1 &&
              EVP_DigestUpdate(work.ctx, data, len) == 1 && EVP_DigestFinal_ex(work.ctx, out, &n) == 1);
        return;
    }
    unsigned char inner[EVP_MAX_MD_SIZE];
    check(EVP_MD_CTX_copy_ex(work.ctx, inner_->ctx) == 1 && EVP_DigestUpdate(work.ctx, data, len) == 1 &&
          EVP_DigestFinal_ex(work.ctx, inner, &n) == 1);
    check(EVP_MD_CTX_copy_ex(work.ctx, outer_->ctx) == 1 && EVP_DigestUpdate(work.ctx, inner, n) == 1 &&
          EVP_DigestFinal_ex(work.ctx, out, &n) == 1);
}

std::string BlockNamer::name(const void* data, std::size_t len) const {
    std::string out(digest_.size(), '\0');
    digest_.compute(data, len, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

std::string to_hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

}  // namespace zvfd
