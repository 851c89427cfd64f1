#include "zvcrypto/md5.h"

#include "openssl_reference.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using zvtest::bytes;
using zvtest::hex;

namespace {

std::string md5_hex(const std::string& text) {
    zvcrypto::md5 h;
    unsigned char out[16];
    h.hash_string(text, out);
    return hex(out, 16);
}

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, EveryLengthUpToFourKibAgreesWithOpenssl) {
    const bytes data = zvtest::random_bytes(4096 + 64, 11);
    zvcrypto::md5 h;
    unsigned char out[16];
    for (std::size_t len = 0; len <= data.size(); ++len) {
        h.hash_string(data.data(), len, out);
        ASSERT_EQ(hex(out, 16), hex(zvtest::openssl_digest(EVP_md5(), data.data(), len)))
            << "length " << len;
    }
}

TEST(Md5, MultiMegabyteInputInUnevenPiecesAgreesWithOpenssl) {
    const bytes data = zvtest::random_bytes(3 * 1024 * 1024 + 5, 12);
    zvcrypto::md5 h;
    h.init();
    zvtest::feed_unevenly(h, data);
    unsigned char out[16];
    h.final(out);
    EXPECT_EQ(hex(out, 16), hex(zvtest::openssl_digest(EVP_md5(), data.data(), data.size())));
}

TEST(Md5, CloneIsAFreshObjectOfTheSameAlgorithm) {
    zvcrypto::md5 h;
    h.init();
    h.update(reinterpret_cast<const unsigned char*>("xyz"), 3);
    std::unique_ptr<zvcrypto::md5> copy(h.clone());
    unsigned char out[16];
    copy->hash_string(std::string("abc"), out);
    EXPECT_EQ(hex(out, 16), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(copy->hashsize(), 128u);
    EXPECT_EQ(copy->blocksize(), 512u);
}

}  // namespace
