#include "zvcrypto/zv_hash.h"

#include "openssl_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

using digest = std::array<unsigned char, 32>;

namespace {

std::string keyed_text(const std::string& text) {
    return zelvor::hash::to_string(zelvor::hash::sha::make_hash<digest, std::string>(text));
}

TEST(KeyedDigest, IsTheByteReversedHmacSha256UnderTheStoredKey) {
    const std::string& key_text = zelvor::hash::sha::stored_key_text();
    ASSERT_EQ(key_text.size(), 93u);
    EXPECT_TRUE(std::all_of(key_text.begin(), key_text.end(), [](char c) { return c >= '0' && c <= '9'; }));
    const zvtest::bytes key(key_text.begin(), key_text.end());
    for (const std::string& text : {std::string(), std::string("zv_module_kvmdomain-1"), std::string(300, 'x')}) {
        zvtest::bytes mac = zvtest::openssl_hmac(
            EVP_sha256(), key, reinterpret_cast<const unsigned char*>(text.data()), text.size());
        std::reverse(mac.begin(), mac.end());
        const std::string got = keyed_text(text);
        EXPECT_EQ(got.size(), 64u);
        EXPECT_EQ(got, zvtest::hex(mac)) << "text of " << text.size() << " bytes";
    }
}

TEST(KeyedDigest, TextWritesEachByteAsTwoLowerCaseDigitsLastByteFirst) {
    digest d{};
    d[31] = 0x0a;
    d[30] = 0xf0;
    d[0] = 0x01;
    EXPECT_EQ(zelvor::hash::to_string(d),
              "0af0" + std::string(56, '0') + "0001");
}

TEST(KeyedDigest, EmbeddedNulBytesCountAndResultsAreStable) {
    const std::string a("abc\0def", 7);
    const std::string b("abc\0xyz", 7);
    EXPECT_NE(keyed_text(a), keyed_text(b));
    EXPECT_EQ(keyed_text(a), keyed_text(a));
    const digest direct = zelvor::hash::sha::Hasher<digest>{}(a);
    EXPECT_EQ(zelvor::hash::to_string(direct), keyed_text(a));
}

}  // namespace
