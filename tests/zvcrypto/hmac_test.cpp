#include "zvcrypto/hmac.h"

#include "zvcrypto/md5.h"
#include "zvcrypto/sha256.h"

#include "openssl_reference.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using zvtest::bytes;
using zvtest::from_hex;
using zvtest::hex;

namespace {

std::string hmac_sha256_hex(const bytes& key, const bytes& data, std::size_t out_bytes = 32) {
    std::unique_ptr<zvcrypto::hmac> mac;
    {
        // The hash handed to the constructor may go at once.
        zvcrypto::sha256 inner;
        mac = std::make_unique<zvcrypto::hmac>(inner, key.data(), key.size());
    }
    unsigned char out[32];
    mac->hash_string(data.data(), data.size(), out);
    return hex(out, out_bytes);
}

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

TEST(HmacSha256, Rfc4231TestCases) {
    struct example {
        bytes key;
        bytes data;
        const char* mac;
        std::size_t out_bytes;
    };
    const example examples[] = {
        {bytes(20, 0x0b), text("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7", 32},
        {text("Jefe"), text("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843", 32},
        {bytes(20, 0xaa), bytes(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe", 32},
        {from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), bytes(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b", 32},
        {bytes(20, 0x0c), text("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b", 16},
        {bytes(131, 0xaa), text("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54", 32},
        {bytes(131, 0xaa),
         text("This is a test using a larger than block-size key and a larger than block-size data. "
              "The key needs to be hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2", 32},
    };
    int n = 1;
    for (const auto& e : examples) {
        EXPECT_EQ(hmac_sha256_hex(e.key, e.data, e.out_bytes), e.mac) << "test case " << n;
        ++n;
    }
}

TEST(HmacSha256, KeyLengthsAroundTheBlockSizeAgreeWithOpenssl) {
    // 64 bytes is used as it stands, 65 and more is hashed first; 93 is the
    // length of the program's own key.
    for (std::size_t keylen : {0, 1, 20, 32, 63, 64, 65, 93, 200}) {
        const bytes key = zvtest::random_bytes(keylen, static_cast<std::uint32_t>(keylen + 1));
        for (std::size_t len : {0, 1, 55, 56, 64, 65, 1000, 4099}) {
            const bytes data = zvtest::random_bytes(len, static_cast<std::uint32_t>(len + 7));
            EXPECT_EQ(hmac_sha256_hex(key, data),
                      hex(zvtest::openssl_hmac(EVP_sha256(), key, data.data(), data.size())))
                << "key " << keylen << " bytes, message " << len << " bytes";
        }
    }
}

TEST(HmacSha256, LargeMessageInUnevenPiecesAgreesWithOpenssl) {
    const bytes key = zvtest::random_bytes(93, 21);
    const bytes data = zvtest::random_bytes(2 * 1024 * 1024 + 77, 22);
    zvcrypto::hmac mac(zvcrypto::sha256(), key.data(), key.size());
    mac.init();
    zvtest::feed_unevenly(mac, data);
    unsigned char out[32];
    mac.final(out);
    EXPECT_EQ(hex(out, 32), hex(zvtest::openssl_hmac(EVP_sha256(), key, data.data(), data.size())));
}

TEST(Hmac, SameCodeTwiceAndFromAClone) {
    zvcrypto::hmac mac(zvcrypto::sha256(), std::string("a key of some length"));
    const std::string message = "the message";
    unsigned char first[32], second[32], cloned[32];
    mac.hash_string(message, first);
    mac.hash_string(message, second);
    EXPECT_EQ(hex(first, 32), hex(second, 32));
    std::unique_ptr<zvcrypto::hmac> copy(mac.clone());
    copy->hash_string(message, cloned);
    EXPECT_EQ(hex(cloned, 32), hex(first, 32));
    EXPECT_EQ(copy->hashsize(), 256u);
    EXPECT_EQ(copy->blocksize(), 512u);
}

TEST(Hmac, OverMd5AndSha224AgreesWithOpenssl) {
    const bytes key = zvtest::random_bytes(70, 31);
    const bytes data = zvtest::random_bytes(300, 32);
    unsigned char out[32];
    zvcrypto::hmac over_md5(zvcrypto::md5(), key.data(), key.size());
    over_md5.hash_string(data.data(), data.size(), out);
    EXPECT_EQ(hex(out, 16), hex(zvtest::openssl_hmac(EVP_md5(), key, data.data(), data.size())));
    zvcrypto::hmac over_sha224(zvcrypto::sha224(), key.data(), key.size());
    over_sha224.hash_string(data.data(), data.size(), out);
    EXPECT_EQ(hex(out, 28), hex(zvtest::openssl_hmac(EVP_sha224(), key, data.data(), data.size())));
}

}  // namespace
