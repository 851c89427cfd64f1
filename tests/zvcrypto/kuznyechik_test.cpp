#include "zvcrypto/kuznyechik.h"

#include "openssl_reference.h"
#include "support/gost_openssl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using zvcrypto::block_cipher;
using zvcrypto::kuznyechik;
using zvtest::bytes;
using zvtest::from_hex;
using zvtest::hex;

namespace {

const char* const example_key = "8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef";
const char* const example_plain = "1122334455667700ffeeddccbbaa9988";
const char* const example_cipher = "7f679d90bebc24305a468d42b9d4edcd";

std::string as_text(const bytes& b) { return std::string(b.begin(), b.end()); }
bytes as_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

TEST(Kuznyechik, StandardExampleEnciphersAndDeciphers) {
    const bytes key = from_hex(example_key);
    const bytes plain = from_hex(example_plain);
    unsigned char out[16];

    kuznyechik enc;
    ASSERT_TRUE(enc.init(key.data(), block_cipher::encryption));
    enc.encrypt_block(plain.data(), out);
    EXPECT_EQ(hex(out, 16), example_cipher);

    kuznyechik dec;
    ASSERT_TRUE(dec.init(key.data(), block_cipher::decryption));
    const bytes cipher = from_hex(example_cipher);
    dec.decrypt_block(cipher.data(), out);
    EXPECT_EQ(hex(out, 16), example_plain);
}

TEST(Kuznyechik, SameBufferForInputAndOutput) {
    const bytes key = from_hex(example_key);
    bytes buffer = from_hex(example_plain);
    kuznyechik k;
    k.init(key.data(), block_cipher::encryption);
    k.encrypt_block(buffer.data(), buffer.data());
    EXPECT_EQ(hex(buffer), example_cipher);
    // A new init switches the same object to the other direction.
    k.init(key.data(), block_cipher::decryption);
    k.decrypt_block(buffer.data(), buffer.data());
    EXPECT_EQ(hex(buffer), example_plain);
}

TEST(Kuznyechik, MatchesGostEngineOnRandomKeysAndBlocks) {
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        const bytes key = zvtest::random_bytes(32, seed);
        const bytes plain = zvtest::random_bytes(16 * 64, 100 + seed);
        const bytes expected = as_bytes(zv_test::gost_ecb_encrypt(as_text(key), as_text(plain)));
        ASSERT_EQ(expected.size(), plain.size());

        kuznyechik enc;
        enc.init(key.data(), block_cipher::encryption);
        bytes out(plain.size());
        enc.encrypt_blocks(plain.data(), out.data(), 64);
        EXPECT_EQ(hex(out), hex(expected)) << "key " << hex(key);

        kuznyechik dec;
        dec.init(key.data(), block_cipher::decryption);
        dec.decrypt_blocks(expected.data(), out.data(), 64);
        EXPECT_EQ(hex(out), hex(plain)) << "key " << hex(key);
    }
}

TEST(Kuznyechik, BlockRunsTouchExactlyTheirBlocks) {
    const bytes key = from_hex(example_key);
    kuznyechik k;
    k.init(key.data(), block_cipher::encryption);
    const bytes plain = zvtest::random_bytes(48, 7);
    bytes out(64, 0xa5);
    k.encrypt_blocks(plain.data(), out.data(), 3);
    for (int b = 0; b < 3; ++b) {
        unsigned char one[16];
        k.encrypt_block(plain.data() + 16 * b, one);
        EXPECT_EQ(hex(out.data() + 16 * b, 16), hex(one, 16)) << "block " << b;
    }
    EXPECT_EQ(out[48], 0xa5);
    EXPECT_EQ(out[63], 0xa5);
}

TEST(Kuznyechik, CloneIsSameAlgorithmWithoutTheKey) {
    const bytes key = from_hex(example_key);
    const bytes plain = from_hex(example_plain);
    kuznyechik original;
    original.init(key.data(), block_cipher::encryption);
    std::unique_ptr<block_cipher> copy(original.clone());
    EXPECT_EQ(copy->blocksize(), 128u);
    EXPECT_EQ(copy->keysize(), 256u);

    unsigned char unkeyed[16];
    copy->encrypt_block(plain.data(), unkeyed);
    EXPECT_NE(hex(unkeyed, 16), example_cipher);

    copy->init(key.data(), block_cipher::encryption);
    unsigned char keyed[16];
    copy->encrypt_block(plain.data(), keyed);
    EXPECT_EQ(hex(keyed, 16), example_cipher);
}

TEST(Kuznyechik, ClearForgetsTheKey) {
    const bytes key = from_hex(example_key);
    const bytes plain = from_hex(example_plain);
    kuznyechik k;
    k.init(key.data(), block_cipher::encryption);
    k.clear();
    kuznyechik fresh;
    unsigned char cleared[16];
    unsigned char unkeyed[16];
    k.encrypt_block(plain.data(), cleared);
    fresh.encrypt_block(plain.data(), unkeyed);
    EXPECT_EQ(hex(cleared, 16), hex(unkeyed, 16));
}

}  // namespace
