#include "zvfd/block_name.h"

#include "zvfd/io.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

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

std::string BlockNamer::name(const void* data, std::size_t len) const {
    const EVP_MD* md = kind_ == DigestKind::Sha512 ? EVP_sha512() : EVP_sha256();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int out_len = 0;
    bool ok;
    if (key_.empty())
        ok = EVP_Digest(data, len, out, &out_len, md, nullptr) == 1;
    else
        ok = HMAC(md, key_.data(), static_cast<int>(key_.size()), static_cast<const unsigned char*>(data), len, out,
                  &out_len) != nullptr;
    if (!ok) throw Error("cannot compute a block digest");
    return std::string(reinterpret_cast<char*>(out), out_len);
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
