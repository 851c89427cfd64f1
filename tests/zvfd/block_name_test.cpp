// Block names: plain digests, or HMACs under the naming key when encrypting, each
// the same as OpenSSL's one-shot computation, from any number of threads.
#include "zvfd/block_name.h"
#include "zvfd/io.h"

#include "stage_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

using zvfd::to_hex;

std::string reference(zvfd::DigestKind kind, const std::string& key, const std::string& data) {
    const EVP_MD* md = kind == zvfd::DigestKind::Sha512 ? EVP_sha512() : EVP_sha256();
    return key.empty() ? zvfd_test::openssl_digest(md, data) : zvfd_test::openssl_hmac(md, key, data);
}

struct Namer {
    const char* what;
    zvfd::DigestKind kind;
    std::string key;
};

const Namer kNamers[] = {
    {"sha256", zvfd::DigestKind::Sha256, ""},
    {"sha512", zvfd::DigestKind::Sha512, ""},
    {"keyed sha256", zvfd::DigestKind::Sha256, zvfd_test::random_text(32, 1)},
    {"keyed sha512", zvfd::DigestKind::Sha512, zvfd_test::random_text(32, 1)},
    {"keyed sha512, other key", zvfd::DigestKind::Sha512, zvfd_test::random_text(32, 2)},
};

TEST(BlockName, MatchesOpensslDigestsAndHmacs) {
    const std::string data = zvfd_test::random_text(65536 + 7, 3);
    std::vector<std::string> first_names;
    for (const Namer& n : kNamers) {
        const zvfd::BlockNamer namer(n.kind, n.key);
        EXPECT_EQ(namer.size(), n.kind == zvfd::DigestKind::Sha512 ? 64u : 32u) << n.what;
        for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{4096}, data.size()}) {
            const std::string name = namer.name(data.data(), len);
            EXPECT_EQ(name.size(), namer.size()) << n.what;
            EXPECT_EQ(to_hex(name), to_hex(reference(n.kind, n.key, data.substr(0, len)))) << n.what << ", " << len;
        }
        first_names.push_back(namer.name(data.data(), 4096));
    }
    // Keyed names reveal nothing of the plain ones, and two keys name apart.
    for (std::size_t i = 0; i < first_names.size(); ++i)
        for (std::size_t j = i + 1; j < first_names.size(); ++j)
            EXPECT_NE(first_names[i].substr(0, 32), first_names[j].substr(0, 32))
                << kNamers[i].what << " ~ " << kNamers[j].what;
}

// The workers share one namer, and a thread may name for several namers in turn
// (another kind, another key); each name must still be its own block's under its own
// namer.
TEST(BlockName, SameNamesFromManyThreadsAndNamers) {
    const std::string data = zvfd_test::random_text(1 << 20, 4);
    std::vector<std::unique_ptr<zvfd::BlockNamer>> namers;
    std::vector<std::vector<std::string>> expected(std::size(kNamers));
    for (std::size_t n = 0; n < std::size(kNamers); ++n) {
        namers.push_back(std::make_unique<zvfd::BlockNamer>(kNamers[n].kind, kNamers[n].key));
        for (std::size_t at = 0; at < data.size(); at += 4096)
            expected[n].push_back(reference(kNamers[n].kind, kNamers[n].key, data.substr(at, 4096 - at % 5)));
    }
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = t; i < expected[0].size(); i += 3)
                for (std::size_t k = 0; k < namers.size(); ++k) {
                    const std::size_t n = (k + i) % namers.size(), at = i * 4096;
                    if (namers[n]->name(data.data() + at, 4096 - at % 5) != expected[n][i]) ++wrong[t];
                }
        });
    for (auto& t : threads) t.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

TEST(BlockName, AlgorithmWords) {
    struct Case {
        const char* word;
        bool long_digest;
        zvfd::DigestKind kind;
    } cases[] = {
        {"sha2", false, zvfd::DigestKind::Sha256}, {"SHA2", false, zvfd::DigestKind::Sha256},
        {"", false, zvfd::DigestKind::Sha256},     {"sha2", true, zvfd::DigestKind::Sha512},
        {"Sha2", true, zvfd::DigestKind::Sha512},
    };
    for (const Case& c : cases) EXPECT_EQ(zvfd::digest_kind(c.word, c.long_digest), c.kind) << c.word;
    EXPECT_STREQ(zvfd::digest_word(zvfd::DigestKind::Sha256), "sha256");
    EXPECT_STREQ(zvfd::digest_word(zvfd::DigestKind::Sha512), "sha512");
    for (const char* word : {"md5", "sha256", "sha3", " sha2"}) {
        EXPECT_TRUE(zvfd_test::says(zvfd_test::error_of([&] { zvfd::digest_kind(word, false); }),
                                    "unknown hash algorithm '" + std::string(word) + "'"));
    }
    EXPECT_EQ(zvfd::to_hex(std::string("\x00\x0f\xa5\xff", 4)), "000fa5ff");
}

}  // namespace
