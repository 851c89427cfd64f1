// Helpers of the archiver's stage tests: hex in (zvfd::to_hex is the way out), seeded
// random data, OpenSSL's one-shot digests and HMAC as the reference the stages must
// match, and the message of an expected error.
//
//   EXPECT_TRUE(says(error_of([&] { zvfd::compression_from_word("zip"); }), "known:"));
#pragma once

#include "zvfd/io.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <random>
#include <string>

namespace zvfd_test {

inline std::string unhex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

inline std::string random_text(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(gen());
    return out;
}

inline std::string openssl_digest(const EVP_MD* md, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
    return std::string(reinterpret_cast<char*>(out), len);
}

inline std::string openssl_hmac(const EVP_MD* md, const std::string& key, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    HMAC(md, key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), out, &len);
    return std::string(reinterpret_cast<char*>(out), len);
}

// The message of the E that `run` throws, or "(no error)". An exception of another
// type is not caught, so it fails the test.
template <class E = zvfd::Error, class Run>
std::string error_of(Run&& run) {
    try {
        run();
    } catch (const E& e) {
        return e.what();
    }
    return "(no error)";
}

inline testing::AssertionResult says(const std::string& message, const std::string& part) {
    if (message.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << message << "\" does not say \"" << part << "\"";
}

}  // namespace zvfd_test
