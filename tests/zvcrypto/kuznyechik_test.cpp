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

// Multi-block calls run 64 blocks at once where the processor has AVX-512 and
// GFNI, and otherwise (and for the rest) groups of eight, four, two and one side
// by side; every count must give the one-block results, in place too, and
// write no further.
TEST(Kuznyechik, BlockRunsEqualOneBlockAtATime) {
    const bytes key = from_hex(example_key);
    kuznyechik enc, dec;
    enc.init(key.data(), block_cipher::encryption);
    dec.init(key.data(), block_cipher::decryption);
    const std::size_t max_blocks = 2 * 64 + 15;
    const bytes plain = zvtest::random_bytes(16 * max_blocks, 7);
    bytes expected(plain.size());
    for (std::size_t b = 0; b < max_blocks; ++b) {
        enc.encrypt_block(plain.data() + 16 * b, expected.data() + 16 * b);
    }
    for (std::size_t n = 0; n <= max_blocks; ++n) {
        const std::size_t len = 16 * n;
        bytes out(len + 16, 0xa5);
        enc.encrypt_blocks(plain.data(), out.data(), n);
        EXPECT_EQ(hex(out.data(), len), hex(expected.data(), len)) << n << " blocks";
        EXPECT_EQ(hex(out.data() + len, 16), "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5") << n << " blocks";

        bytes in_place(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(len));
        enc.encrypt_blocks(in_place.data(), in_place.data(), n);
        EXPECT_EQ(hex(in_place), hex(expected.data(), len)) << n << " blocks in place";
        dec.decrypt_blocks(in_place.data(), in_place.data(), n);
        EXPECT_EQ(hex(in_place), hex(plain.data(), len)) << n << " blocks in place";
    }
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
