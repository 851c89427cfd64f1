// Reference digests from OpenSSL's libcrypto and small helpers shared by the
// hash tests.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace zvtest {

using bytes = std::vector<unsigned char>;

inline std::string hex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

inline std::string hex(const bytes& b) { return hex(b.data(), b.size()); }

inline bytes from_hex(const std::string& text) {
    bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline bytes random_bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    bytes out(n);
    for (auto& b : out) {
        b = static_cast<unsigned char>(gen());
    }
    return out;
}

inline bytes openssl_digest(const EVP_MD* md, const unsigned char* p, std::size_t n) {
    bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    EVP_Digest(p, n, out.data(), &len, md, nullptr);
    out.resize(len);
    return out;
}

inline bytes openssl_hmac(const EVP_MD* md, const bytes& key, const unsigned char* p, std::size_t n) {
    bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    // OpenSSL refuses a null key pointer even for an empty key.
    static const unsigned char empty = 0;
    HMAC(md, key.empty() ? &empty : key.data(), static_cast<int>(key.size()), p, n, out.data(), &len);
    out.resize(len);
    return out;
}

// Feeds `data` to `h` in pieces whose sizes cycle through awkward values.
template <typename Hash>
void feed_unevenly(Hash& h, const bytes& data) {
    static const std::size_t pieces[] = {1, 63, 64, 65, 127, 3, 4096, 55, 1000003, 128, 191, 9};
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
        const std::size_t n = std::min(pieces[i % (sizeof(pieces) / sizeof(pieces[0]))], data.size() - at);
        h.update(data.data() + at, n);
        at += n;
    }
}

}  // namespace zvtest
