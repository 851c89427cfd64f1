#include "zvcrypto/ctr.h"

#include "zvcrypto/kuznyechik.h"

#include "openssl_reference.h"
#include "support/gost_openssl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using zvcrypto::block_cipher;
using zvcrypto::ctr;
using zvcrypto::kuznyechik;
using zvtest::bytes;
using zvtest::from_hex;
using zvtest::hex;

namespace {

const bytes example_key =
    from_hex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");

std::string as_text(const bytes& b) { return std::string(b.begin(), b.end()); }

bytes encipher(const bytes& key, const bytes& iv, const bytes& data) {
    ctr c{kuznyechik()};
    c.init(key.data(), key.size(), iv.data(), iv.size());
    bytes out(data.size());
    c.encrypt(data.data(), data.size(), out.data());
    return out;
}

bytes block_of(const bytes& key, const bytes& counter) {
    kuznyechik k;
    k.init(key.data(), block_cipher::encryption);
    bytes out(16);
    k.encrypt_block(counter.data(), out.data());
    return out;
}

TEST(Ctr, StandardCounterModeExample) {
    const bytes plain = from_hex(
        "1122334455667700ffeeddccbbaa998800112233445566778899aabbcceeff0a"
        "112233445566778899aabbcceeff0a002233445566778899aabbcceeff0a0011");
    EXPECT_EQ(hex(encipher(example_key, from_hex("1234567890abcef0"), plain)),
              "f195d8bec10ed1dbd57b5fa240bda1b885eee733f6a13e5df33ce4b33c45dee4"
              "a5eae88be6356ed3d5e877f13564a3a5cb91fab1f20cbab6d1c6d15820bdba73");
}

TEST(Ctr, TwoByteIvStartsTheCounterWithFourteenZeroBytes) {
    const bytes keystream = encipher(example_key, {'Q', '7'}, bytes(32, 0));
    bytes counter(16, 0);
    counter[0] = 'Q';
    counter[1] = '7';
    EXPECT_EQ(hex(keystream.data(), 16), hex(block_of(example_key, counter)));
    counter[15] = 1;
    EXPECT_EQ(hex(keystream.data() + 16, 16), hex(block_of(example_key, counter)));
}

TEST(Ctr, CounterCarriesAndWrapsAsOneBigEndianNumber) {
    struct example {
        const char* start;
        const char* next;
    };
    const example examples[] = {
        {"000000000000000000000000000affff", "000000000000000000000000000b0000"},
        {"ffffffffffffffffffffffffffffffff", "00000000000000000000000000000000"},
        {"00ffffffffffffffffffffffffffffff", "01000000000000000000000000000000"},
    };
    for (const auto& e : examples) {
        const bytes keystream = encipher(example_key, from_hex(e.start), bytes(32, 0));
        EXPECT_EQ(hex(keystream.data() + 16, 16), hex(block_of(example_key, from_hex(e.next))))
            << "from " << e.start;
    }
}

TEST(Ctr, DecryptRestoresTheInput) {
    const bytes iv = {0x12, 0x34};
    for (std::size_t len : {0, 1, 15, 16, 17, 31, 32, 33, 1000}) {
        const bytes plain = zvtest::random_bytes(len, static_cast<std::uint32_t>(len));
        const bytes cipher = encipher(example_key, iv, plain);
        ctr c{kuznyechik()};
        c.init(example_key.data(), 32, iv.data(), iv.size());
        bytes back(len);
        c.decrypt(cipher.data(), len, back.data());
        EXPECT_EQ(back, plain) << "length " << len;
        if (len > 0) {
            EXPECT_NE(cipher, plain) << "length " << len;
        }
    }
}

TEST(Ctr, KeystreamRunsOnAcrossCalls) {
    const bytes iv = from_hex("a1b2c3d4");
    const bytes plain = zvtest::random_bytes(200, 3);
    const bytes whole = encipher(example_key, iv, plain);
    const std::vector<std::vector<std::size_t>> splits = {
        {5, 20, 7},        // within, across and at block ends
        {6, 3},            // 3 bytes out of 10 left over
        {16, 16},          // whole blocks, nothing left over
        {10, 6, 1},        // a call that uses up the leftover exactly
        {1, 0, 15, 0, 1},  // empty calls change nothing
        {33, 100, 67},
    };
    for (const auto& split : splits) {
        ctr c{kuznyechik()};
        c.init(example_key.data(), 32, iv.data(), iv.size());
        bytes out(plain.begin(), plain.end());  // in place
        std::size_t at = 0;
        for (std::size_t n : split) {
            c.encrypt(out.data() + at, n, out.data() + at);
            at += n;
        }
        EXPECT_EQ(hex(out.data(), at), hex(whole.data(), at)) << "split starting " << split[0];
    }
}

// Counter mode one block at a time, straight from its definition: the
// reference for the batched keystream.
bytes one_block_at_a_time(const bytes& key, const bytes& iv, const bytes& data) {
    kuznyechik k;
    k.init(key.data(), block_cipher::encryption);
    bytes counter(16, 0);
    std::copy(iv.begin(), iv.end(), counter.begin());
    bytes out(data.size());
    for (std::size_t at = 0; at < data.size(); at += 16) {
        unsigned char keystream[16];
        k.encrypt_block(counter.data(), keystream);
        for (std::size_t i = at; i < std::min(at + 16, data.size()); ++i) {
            out[i] = static_cast<unsigned char>(data[i] ^ keystream[i - at]);
        }
        for (std::size_t i = 16; i-- > 0 && ++counter[i] == 0;) {
        }
    }
    return out;
}

// The keystream is made many blocks per cipher call (1 KiB at a time); it must
// be the block-by-block stream for every length, across batch ends and counter
// carries, and however the input is split over calls.
TEST(Ctr, BatchedKeystreamEqualsBlockByBlock) {
    const std::size_t max_len = 3 * 1024 + 37;
    const bytes plain = zvtest::random_bytes(max_len, 21);
    const char* const ivs[] = {
        "0011223344556677",                  // short IV: counter starts at zero bytes
        "00112233445566778899aabbccddfff7",  // a carry through two bytes in the first batch
        "0011223344556677ffffffffffffff7b",  // a carry through eight bytes in the third batch
        "fffffffffffffffffffffffffffffffa",  // wraps to zero
    };
    for (const char* iv_hex : ivs) {
        const bytes iv = from_hex(iv_hex);
        const bytes expected = one_block_at_a_time(example_key, iv, plain);
        for (std::size_t len = 0; len <= max_len; ++len) {
            const bytes in(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(len));
            const bytes got = encipher(example_key, iv, in);
            if (!std::equal(got.begin(), got.end(), expected.begin())) {
                ADD_FAILURE() << "length " << len << ", IV " << iv_hex;
                break;
            }
        }
        // Random splits, calls of every size around a block and a batch.
        std::mt19937 gen(std::hash<std::string>{}(iv_hex) & 0xffffffffu);
        const std::size_t sizes[] = {0, 1, 3, 15, 16, 17, 100, 1023, 1024, 1025, 2047};
        for (int trial = 0; trial < 40; ++trial) {
            ctr c{kuznyechik()};
            c.init(example_key.data(), 32, iv.data(), iv.size());
            bytes out(plain);  // in place
            std::string split;
            for (std::size_t at = 0; at < max_len;) {
                const std::size_t n = std::min(sizes[gen() % std::size(sizes)], max_len - at);
                c.encrypt(out.data() + at, n, out.data() + at);
                at += n;
                split += std::to_string(n) + " ";
            }
            if (out != expected) {
                ADD_FAILURE() << "IV " << iv_hex << ", calls of " << split;
                break;
            }
        }
    }
}

TEST(Ctr, InitRestartsTheKeystream) {
    const bytes iv = {1, 2};
    ctr c{kuznyechik()};
    c.init(example_key.data(), 32, iv.data(), iv.size());
    bytes first(21), second(21);
    const bytes zeros(21, 0);
    c.encrypt(zeros.data(), 21, first.data());
    c.init(example_key.data(), 32, iv.data(), iv.size());
    c.encrypt(zeros.data(), 21, second.data());
    EXPECT_EQ(first, second);
}

TEST(Ctr, SizesAndOwnershipOfTheCipher) {
    std::unique_ptr<ctr> c;
    {
        kuznyechik unkeyed;  // only cloned, so it may go at once
        c = std::make_unique<ctr>(unkeyed);
    }
    EXPECT_EQ(c->keysize(), 256u);
    EXPECT_EQ(c->ivsize(), 128u);
    const bytes iv = from_hex("1234567890abcef0");
    c->init(example_key.data(), 32, iv.data(), iv.size());
    const bytes plain = zvtest::random_bytes(40, 9);
    bytes out(40);
    c->encrypt(plain.data(), 40, out.data());
    EXPECT_EQ(out, encipher(example_key, iv, plain));

    std::unique_ptr<zvcrypto::stream_cipher> copy(c->clone());
    copy->init(example_key.data(), 32, iv.data(), iv.size());
    bytes copied(40);
    copy->encrypt(plain.data(), 40, copied.data());
    EXPECT_EQ(copied, out);
}

TEST(Ctr, RefusesKeyAndIvLengthsThatDoNotFit) {
    ctr c{kuznyechik()};
    const bytes key(40, 7);
    const bytes iv(17, 1);
    EXPECT_THROW(c.init(key.data(), 31, iv.data(), 2), std::invalid_argument);
    EXPECT_THROW(c.init(key.data(), 33, iv.data(), 2), std::invalid_argument);
    EXPECT_THROW(c.init(key.data(), 0, iv.data(), 2), std::invalid_argument);
    EXPECT_THROW(c.init(key.data(), 32, iv.data(), 17), std::invalid_argument);
    EXPECT_NO_THROW(c.init(key.data(), 32, iv.data(), 16));
    EXPECT_NO_THROW(c.init(key.data(), 32, nullptr, 0));
}

// One engine run per key and IV gives a stream of every prefix length: counter
// mode enciphers the first n bytes of a text as the first n bytes of the whole.
TEST(Ctr, MatchesGostEngineForEveryLengthUpTo4KiB) {
    const std::size_t max_len = 4096 + 17;
    struct setting {
        std::uint32_t seed;
        std::size_t ivlen;
    };
    for (const setting s : {setting{11, 8}, setting{12, 2}, setting{13, 0}, setting{14, 5}}) {
        const bytes key = zvtest::random_bytes(32, s.seed);
        const bytes iv = zvtest::random_bytes(s.ivlen, s.seed + 1000);
        const bytes plain = zvtest::random_bytes(max_len, s.seed + 2000);
        const std::string expected = zv_test::gost_ctr_encrypt(as_text(key), as_text(iv), as_text(plain));
        ASSERT_EQ(expected.size(), max_len);

        // Odd addresses for input and output: the vector XOR must not assume alignment.
        bytes in_buffer(max_len + 1), out_buffer(max_len + 3);
        std::copy(plain.begin(), plain.end(), in_buffer.begin() + 1);
        for (std::size_t len = 0; len <= max_len; ++len) {
            ctr c{kuznyechik()};
            c.init(key.data(), key.size(), iv.data(), iv.size());
            c.encrypt(in_buffer.data() + 1, len, out_buffer.data() + 3);
            if (std::string(out_buffer.begin() + 3, out_buffer.begin() + 3 + len) != expected.substr(0, len)) {
                ADD_FAILURE() << "length " << len << ", IV of " << s.ivlen << " bytes";
                break;
            }
        }
    }
}

}  // namespace
