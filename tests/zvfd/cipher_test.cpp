// The sealers of "-C": each layout checked against an independent computation
// (OpenSSL, the gost engine, published examples), every kind of damage refused, and
// the keys one key file yields.
#include "zvfd/block_name.h"
#include "zvfd/cipher.h"
#include "zvfd/io.h"

#include "stage_test_support.h"
#include "support/gost_openssl.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <set>
#include <thread>
#include <vector>

namespace {

using zvfd::to_hex;
using zvfd_test::openssl_hmac;
using zvfd_test::error_of;
using zvfd_test::random_text;
using zvfd_test::says;
using zvfd_test::unhex;

zvfd::Keys keys_of(const char* cipher, const std::string& encryption, const std::string& mac = std::string(32, 'm')) {
    zvfd::Keys k;
    k.cipher = cipher;
    k.encryption = encryption;
    k.mac = mac;
    k.id = std::string(16, 'i');
    return k;
}

const std::size_t kLengths[] = {0, 1, 15, 16, 17, 100, 4096 + 3};

std::string openssl_aes_gcm(const std::string& key, const std::string& nonce, const std::string& plain) {
    std::string out(plain.size() + 16, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                       reinterpret_cast<const unsigned char*>(nonce.data()));
    EVP_EncryptUpdate(ctx, o, &len, reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, o + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, o + plain.size());
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

TEST(AesGcmSealer, IsOpensslGcmUnderItsNonce) {
    const zvfd::Keys keys = keys_of("aes-256-gcm", random_text(32, 1));
    const auto sealer = zvfd::make_sealer(keys);
    ASSERT_TRUE(sealer);
    std::set<std::string> nonces;
    for (std::size_t len : kLengths) {
        const std::string plain = random_text(len, 100 + static_cast<std::uint32_t>(len));
        const std::string sealed = sealer->seal(plain);
        ASSERT_EQ(sealed.size(), 12 + len + 16) << len;
        const std::string nonce = sealed.substr(0, 12);
        nonces.insert(nonce);
        EXPECT_EQ(to_hex(sealed.substr(12)), to_hex(openssl_aes_gcm(keys.encryption, nonce, plain))) << len;
        EXPECT_EQ(sealer->open(sealed), plain) << len;
    }
    EXPECT_EQ(nonces.size(), std::size(kLengths));  // a fresh nonce per sealed item
}

// McGrew and Viega's GCM test cases 13, 14 and 15 (AES-256, no additional data),
// laid out as the sealer stores them: nonce | ciphertext | tag.
TEST(AesGcmSealer, OpensPublishedTestVectors) {
    const std::string zero_key(64, '0');
    const std::string key15 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
    struct Case {
        const char* what;
        std::string key, nonce, plain, cipher, tag;
    } cases[] = {
        {"13", zero_key, "000000000000000000000000", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
        {"14", zero_key, "000000000000000000000000", "00000000000000000000000000000000",
         "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
        {"15", key15, "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
         "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
         "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
         "b094dac5d93471bdec1a502270e3cc6c"},
    };
    for (const Case& c : cases) {
        const auto sealer = zvfd::make_sealer(keys_of("aes-256-gcm", unhex(c.key)));
        std::string sealed = unhex(c.nonce + c.cipher + c.tag);
        EXPECT_EQ(to_hex(sealer->open(sealed)), c.plain) << "test case " << c.what;
        sealed.back() ^= 1;
        EXPECT_THROW(sealer->open(sealed), zvfd::AuthError) << "test case " << c.what;
    }
}

// The counter-mode example of GOST R 34.13-2015 (the counter is the IV followed by
// eight zero bytes, which is the sealer's 16-byte IV), with a tag made by OpenSSL.
TEST(KuznyechikSealer, OpensTheStandardCounterModeExample) {
    const std::string mac_key = random_text(32, 2);
    const auto sealer = zvfd::make_sealer(
        keys_of("kuznyechik", unhex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef"), mac_key));
    ASSERT_TRUE(sealer);
    const std::string iv_and_cipher = unhex(
        "1234567890abcef00000000000000000"
        "f195d8bec10ed1dbd57b5fa240bda1b885eee733f6a13e5df33ce4b33c45dee4"
        "a5eae88be6356ed3d5e877f13564a3a5cb91fab1f20cbab6d1c6d15820bdba73");
    EXPECT_EQ(to_hex(sealer->open(iv_and_cipher + openssl_hmac(EVP_sha256(), mac_key, iv_and_cipher))),
              "1122334455667700ffeeddccbbaa998800112233445566778899aabbcceeff0a"
              "112233445566778899aabbcceeff0a002233445566778899aabbcceeff0a0011");
}

// Counter blocks IV, IV+1, ... (one big-endian number) enciphered by the gost engine.
std::string engine_keystream(const std::string& key, std::string counter, std::size_t len) {
    std::string counters;
    while (counters.size() < len) {
        counters += counter;
        for (int i = 15; i >= 0 && ++reinterpret_cast<unsigned char&>(counter[i]) == 0; --i) {
        }
    }
    return zv_test::gost_ecb_encrypt(key, counters);
}

TEST(KuznyechikSealer, IsCounterModeThenHmacOverIvAndCiphertext) {
    const zvfd::Keys keys = keys_of("kuznyechik", random_text(32, 3), random_text(32, 4));
    const auto sealer = zvfd::make_sealer(keys);
    const std::string plain = random_text(4096 + 3, 5);
    for (std::size_t len : kLengths) {
        const std::string text = plain.substr(0, len);
        const std::string sealed = sealer->seal(text);
        ASSERT_EQ(sealed.size(), 16 + len + 32) << len;
        const std::string iv = sealed.substr(0, 16), body = sealed.substr(16, len);
        EXPECT_EQ(to_hex(sealed.substr(16 + len)), to_hex(openssl_hmac(EVP_sha256(), keys.mac, iv + body))) << len;
        std::string expected = engine_keystream(keys.encryption, iv, len);
        for (std::size_t i = 0; i < len; ++i) expected[i] ^= text[i];
        EXPECT_EQ(to_hex(body), to_hex(expected.substr(0, len))) << len;
        EXPECT_EQ(sealer->open(sealed), text) << len;
    }
}

// Whatever is changed, cut off or opened with another key fails authentication; it
// never yields bytes.
TEST(Sealers, RefuseEveryDamageAndWrongKeys) {
    struct Layout {
        const char* cipher;
        std::size_t nonce, tag;
    };
    for (const Layout& l : {Layout{"aes-256-gcm", 12, 16}, Layout{"kuznyechik", 16, 32}}) {
        const auto sealer = zvfd::make_sealer(keys_of(l.cipher, random_text(32, 9), random_text(32, 10)));
        const std::string plain = random_text(50, 11);
        const std::string sealed = sealer->seal(plain);
        EXPECT_EQ(sealer->overhead(), l.nonce + l.tag) << l.cipher;
        const std::size_t body = l.nonce, tag = l.nonce + plain.size(), end = sealed.size();
        for (std::size_t at : {std::size_t{0}, l.nonce - 1, body, body + 25, tag - 1, tag, tag + l.tag / 2, end - 1})
            for (unsigned char bit : {0x01, 0x80}) {
                std::string changed = sealed;
                changed[at] ^= static_cast<char>(bit);
                EXPECT_THROW(sealer->open(changed), zvfd::AuthError) << l.cipher << " byte " << at;
            }
        for (std::size_t len = 0; len < end; ++len)
            EXPECT_THROW(sealer->open(sealed.substr(0, len)), zvfd::AuthError) << l.cipher << " cut to " << len;
        EXPECT_THROW(sealer->open(sealed + '\0'), zvfd::AuthError) << l.cipher << " one byte more";
        // Another key file changes every key; AES-GCM ignores the MAC key, Kuznyechik's
        // tag is refused on a changed MAC key alone.
        std::vector<zvfd::Keys> others{keys_of(l.cipher, random_text(32, 12), random_text(32, 13))};
        if (l.tag == 32) others.push_back(keys_of(l.cipher, random_text(32, 9), random_text(32, 13)));
        for (const zvfd::Keys& other : others)
            EXPECT_THROW(zvfd::make_sealer(other)->open(sealed), zvfd::AuthError) << l.cipher << " another key";
        EXPECT_EQ(sealer->open(sealed), plain);
    }
}

// One sealer serves every worker thread at once, and a thread may use several
// sealers in turn (another cipher, another key); each keeps to its own key.
TEST(Sealers, SealAndOpenFromManyThreadsAndSealers) {
    std::vector<std::unique_ptr<zvfd::Sealer>> sealers;
    for (const char* cipher : {"aes-256-gcm", "kuznyechik"})
        for (std::uint32_t key : {14, 15})
            sealers.push_back(zvfd::make_sealer(keys_of(cipher, random_text(32, key), random_text(32, key + 10))));
    const std::string reference_plain = random_text(1000, 16);
    std::vector<std::string> references;
    for (const auto& s : sealers) references.push_back(s->seal(reference_plain));
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                const std::size_t n = (t + i) % sealers.size(), other = n ^ 1;  // same cipher, other key
                const std::string plain = random_text(1 + (t * 400 + i) % 3000, t * 1000 + i);
                if (sealers[n]->open(sealers[n]->seal(plain)) != plain) ++failures[t];
                if (sealers[n]->open(references[n]) != reference_plain) ++failures[t];
                if (error_of<zvfd::AuthError>([&] { sealers[other]->open(references[n]); }) == "(no error)")
                    ++failures[t];
            }
        });
    for (auto& t : threads) t.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

class DeriveKeys : public zv_test::ScratchDirTest {};

TEST_F(DeriveKeys, EachCipherAndKeyFileGivesItsOwnKeys) {
    const std::string one = write("one", "first secret"), two = write("two", "second secret");
    std::set<std::string> seen;
    for (const char* cipher : {"aes-256-gcm", "kuznyechik"})
        for (const std::string& file : {one, two}) {
            const zvfd::Keys k = zvfd::derive_keys(cipher, file);
            EXPECT_EQ(k.cipher, cipher);
            EXPECT_EQ(k.id.size(), 16u);
            for (const std::string* key : {&k.encryption, &k.mac, &k.naming}) {
                EXPECT_EQ(key->size(), 32u);
                EXPECT_TRUE(seen.insert(*key).second) << cipher << " " << file << ": a key repeats";
            }
            EXPECT_TRUE(seen.insert(k.id).second) << cipher << " " << file << ": the key id repeats";
            const zvfd::Keys again = zvfd::derive_keys(cipher, file);
            EXPECT_EQ(again.encryption + again.mac + again.naming + again.id, k.encryption + k.mac + k.naming + k.id);
        }
    // The word's letter case changes nothing; "nocrypt" needs no key file.
    EXPECT_EQ(zvfd::derive_keys("AES-256-GCM", one).encryption, zvfd::derive_keys("aes-256-gcm", one).encryption);
    for (const char* none : {"nocrypt", "NoCrypt", ""}) {
        const zvfd::Keys k = zvfd::derive_keys(none, "");
        EXPECT_EQ(k.cipher, "nocrypt");
        EXPECT_EQ(k.id, std::string(16, '\0'));
        EXPECT_TRUE(k.encryption.empty() && k.mac.empty() && k.naming.empty());
        EXPECT_EQ(zvfd::make_sealer(k), nullptr);
    }
}

TEST_F(DeriveKeys, MissingOrEmptyKeyFileIsAClearError) {
    const std::string empty = write("empty", "");
    struct Case {
        const char* what;
        std::string cipher, file, message;
    } cases[] = {
        {"no key file", "aes-256-gcm", "", "needs a key file"},
        {"missing file", "kuznyechik", (dir_ / "missing").string(), "cannot read key file"},
        {"empty file", "aes-256-gcm", empty, "is empty"},
        {"directory", "aes-256-gcm", dir_.string(), "is not a regular file"},
        {"unknown word", "des", empty, "known: nocrypt, aes-256-gcm, kuznyechik"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(says(error_of([&] { zvfd::derive_keys(c.cipher, c.file); }), c.message)) << c.what;
    }
}

}  // namespace
