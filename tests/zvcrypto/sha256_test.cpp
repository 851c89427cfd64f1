#include "zvcrypto/sha256.h"

#include "openssl_reference.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

using zvcrypto::sha256_block_kind;
using zvtest::bytes;
using zvtest::hex;

namespace {

// A hash bound to a chosen block function, whatever the dispatch would pick.
template <typename Base>
class forced : public Base {
public:
    explicit forced(sha256_block_kind kind) { this->use_block_function(kind); }
};

bool runs_here(sha256_block_kind kind) {
    const auto& f = zvcrypto::cpu_info::features();
    switch (kind) {
        case sha256_block_kind::avx2_bmi2:
            return f.avx2_bmi2_usable() && f.ecx1_[19] && f.ecx1_[9];
        case sha256_block_kind::sse4:
            return f.ecx1_[19] && f.ecx1_[9];
        case sha256_block_kind::sse2:
            return f.edx1_[26];
        case sha256_block_kind::portable:
            return true;
    }
    return false;
}

const char* name_of(sha256_block_kind kind) {
    switch (kind) {
        case sha256_block_kind::avx2_bmi2:
            return "avx2_bmi2";
        case sha256_block_kind::sse4:
            return "sse4";
        case sha256_block_kind::sse2:
            return "sse2";
        case sha256_block_kind::portable:
            return "portable";
    }
    return "?";
}

template <typename Hash>
std::string digest_hex(Hash& h, const std::string& text) {
    unsigned char out[32];
    h.hash_string(text, out);
    return hex(out, h.hashsize() / 8);
}

class Sha256PerBlockFunction : public ::testing::TestWithParam<sha256_block_kind> {
protected:
    void SetUp() override {
        if (!runs_here(GetParam())) {
            GTEST_SKIP() << "this processor or OS lacks the " << name_of(GetParam())
                         << " block function's instructions";
        }
    }
};

TEST_P(Sha256PerBlockFunction, PublishedExamples) {
    struct example {
        std::string text;
        const char* sha256;
        const char* sha224;
    };
    const example examples[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
         "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
         "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67"},
    };
    forced<zvcrypto::sha256> h256(GetParam());
    forced<zvcrypto::sha224> h224(GetParam());
    for (const auto& e : examples) {
        EXPECT_EQ(digest_hex(h256, e.text), e.sha256) << e.text.size() << " bytes";
        EXPECT_EQ(digest_hex(h224, e.text), e.sha224) << e.text.size() << " bytes";
    }
}

TEST_P(Sha256PerBlockFunction, EveryLengthUpToFourKibAgreesWithOpenssl) {
    const bytes data = zvtest::random_bytes(4096 + 64, 1);
    forced<zvcrypto::sha256> h256(GetParam());
    forced<zvcrypto::sha224> h224(GetParam());
    unsigned char out[32];
    for (std::size_t len = 0; len <= 4096 + 64; ++len) {
        h256.hash_string(data.data(), len, out);
        ASSERT_EQ(hex(out, 32), hex(zvtest::openssl_digest(EVP_sha256(), data.data(), len)))
            << "length " << len;
        h224.hash_string(data.data(), len, out);
        ASSERT_EQ(hex(out, 28), hex(zvtest::openssl_digest(EVP_sha224(), data.data(), len)))
            << "length " << len;
    }
}

TEST_P(Sha256PerBlockFunction, MultiMegabyteInputInUnevenPiecesAgreesWithOpenssl) {
    const bytes data = zvtest::random_bytes(5 * 1024 * 1024 + 37, 2);
    forced<zvcrypto::sha256> h(GetParam());
    h.init();
    zvtest::feed_unevenly(h, data);
    unsigned char out[32];
    h.final(out);
    EXPECT_EQ(hex(out, 32), hex(zvtest::openssl_digest(EVP_sha256(), data.data(), data.size())));
}

TEST_P(Sha256PerBlockFunction, UnalignedInputHashesLikeAligned) {
    alignas(64) unsigned char buffer[64 * 9 + 1];
    const bytes data = zvtest::random_bytes(64 * 9, 3);
    std::memcpy(buffer + 1, data.data(), data.size());
    forced<zvcrypto::sha256> h(GetParam());
    unsigned char odd[32], reference[32];
    h.hash_string(buffer + 1, data.size(), odd);
    h.hash_string(data.data(), data.size(), reference);
    EXPECT_EQ(hex(odd, 32), hex(reference, 32));
}

INSTANTIATE_TEST_SUITE_P(AllBlockFunctions, Sha256PerBlockFunction,
                         ::testing::Values(sha256_block_kind::avx2_bmi2, sha256_block_kind::sse4,
                                           sha256_block_kind::sse2, sha256_block_kind::portable),
                         [](const auto& info) { return std::string(name_of(info.param)); });

// Drives the portable block function directly, to compare the vector ones with.
class portable_blocks : public zvcrypto::sha256 {
public:
    std::uint32_t* state() { return H; }
    void run(void* blocks, std::uint64_t n) { transform(blocks, n); }
};

TEST(Sha256BlockFunctions, EachLeavesThePortableStateForZeroOneTwoAndOddCounts) {
    const auto& f = zvcrypto::cpu_info::features();
    const bool have_sse4 = f.ecx1_[19] && f.ecx1_[9];
    const bool have_avx2 = f.avx2_bmi2_usable();
    if (!have_sse4) {
        std::cout << "[ NOTE     ] sha256_sse4 not run: no SSSE3/SSE4.1 here\n";
    }
    if (!have_avx2) {
        std::cout << "[ NOTE     ] sha256_rorx not run: no usable AVX2/BMI2 here\n";
    }
    const bytes data = zvtest::random_bytes(64 * 9 + 1, 4);
    for (std::uint64_t n : {0, 1, 2, 3, 4, 5, 7, 9}) {
        for (std::size_t offset : {0, 1}) {
            // Any start state: each function is one step of a longer message.
            const bytes seed = zvtest::random_bytes(32, static_cast<std::uint32_t>(100 + n));
            portable_blocks reference;
            std::memcpy(reference.state(), seed.data(), 32);
            void* in = const_cast<unsigned char*>(data.data() + offset);
            reference.run(in, n);
            const std::string expected = hex(reinterpret_cast<unsigned char*>(reference.state()), 32);

            alignas(16) std::uint32_t state[8];
            auto check = [&](const char* which) {
                EXPECT_EQ(hex(reinterpret_cast<unsigned char*>(state), 32), expected)
                    << which << ", " << n << " blocks at offset " << offset;
            };
            if (n > 0) {
                std::memcpy(state, seed.data(), 32);
                zvcrypto::X86_SHA256_HashBlocks(state, static_cast<const std::uint32_t*>(in), n * 64);
                check("X86_SHA256_HashBlocks");
            }
            if (have_sse4) {
                std::memcpy(state, seed.data(), 32);
                zvcrypto::sha256_sse4(in, state, n);
                check("sha256_sse4");
            }
            if (have_avx2) {
                std::memcpy(state, seed.data(), 32);
                zvcrypto::sha256_rorx(in, state, n);
                check("sha256_rorx");
            }
        }
    }
}

TEST(Sha256BlockFunctions, ZeroLengthLeavesTheStateAlone) {
    alignas(16) std::uint32_t state[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::uint32_t before[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    // A null input pointer would fault if any block were read.
    zvcrypto::X86_SHA256_HashBlocks(state, nullptr, 0);
    EXPECT_EQ(0, std::memcmp(state, before, sizeof(state)));
    zvcrypto::sha256_sse4(nullptr, state, 0);
    EXPECT_EQ(0, std::memcmp(state, before, sizeof(state)));
    if (zvcrypto::cpu_info::features().avx2_bmi2_usable()) {
        zvcrypto::sha256_rorx(nullptr, state, 0);
        EXPECT_EQ(0, std::memcmp(state, before, sizeof(state)));
    }
    portable_blocks portable;
    std::memcpy(portable.state(), before, sizeof(before));
    portable.run(nullptr, 0);
    EXPECT_EQ(0, std::memcmp(portable.state(), before, sizeof(before)));
}

// Feature records built by hand: bit positions as CPUID and XCR0 report them.
zvcrypto::cpu_info::cpu_info_impl record(bool sse2, bool sse41, bool avx2, bool bmi2,
                                         bool osxsave, unsigned xcr0) {
    zvcrypto::cpu_info::cpu_info_impl f;
    f.edx1_[26] = sse2;
    f.ecx1_[19] = sse41;
    f.ecx1_[9] = sse41;  // SSSE3 comes with SSE4.1
    f.ebx7_[5] = avx2;
    f.ebx7_[8] = bmi2;
    f.ecx1_[27] = osxsave;
    f.xcr0_ = xcr0;
    return f;
}

TEST(Sha256Dispatch, ChoosesByFeaturesAndRequiresTheOsToSaveYmmState) {
    struct decision {
        const char* what;
        zvcrypto::cpu_info::cpu_info_impl features;
        sha256_block_kind expected;
    };
    const decision table[] = {
        {"AVX2, BMI2, OS saves XMM and YMM", record(true, true, true, true, true, 0x7),
         sha256_block_kind::avx2_bmi2},
        {"AVX2 and BMI2 but no OSXSAVE", record(true, true, true, true, false, 0x7),
         sha256_block_kind::sse4},
        {"AVX2 and BMI2, OS saves XMM only", record(true, true, true, true, true, 0x3),
         sha256_block_kind::sse4},
        {"AVX2 and BMI2, OS saves YMM but not XMM", record(true, true, true, true, true, 0x5),
         sha256_block_kind::sse4},
        {"AVX2 without BMI2", record(true, true, true, false, true, 0x7), sha256_block_kind::sse4},
        {"BMI2 without AVX2", record(true, true, false, true, true, 0x7), sha256_block_kind::sse4},
        {"SSE2 only", record(true, false, false, false, false, 0), sha256_block_kind::sse2},
        {"AVX2 and BMI2 without OS support and no SSE4.1", record(true, false, true, true, false, 0),
         sha256_block_kind::sse2},
        {"nothing", record(false, false, false, false, false, 0), sha256_block_kind::portable},
    };
    for (const auto& d : table) {
        EXPECT_EQ(zvcrypto::choose_sha256_block_kind(d.features), d.expected) << d.what;
    }
}

TEST(Sha256Dispatch, AccessorsReportAvxOnlyWithOsSupport) {
    const auto& f = zvcrypto::cpu_info::features();
    EXPECT_EQ(zvcrypto::cpu_info::avx2(), f.ebx7_[5] && f.ymm_state_enabled());
    EXPECT_EQ(zvcrypto::cpu_info::sse2(), static_cast<bool>(f.edx1_[26]));
    EXPECT_EQ(zvcrypto::cpu_info::sse41(), static_cast<bool>(f.ecx1_[19]));
    EXPECT_EQ(zvcrypto::cpu_info::bmi2(), static_cast<bool>(f.ebx7_[8]));
    std::cout << "[ NOTE     ] this host dispatches SHA-256 to "
              << name_of(zvcrypto::choose_sha256_block_kind(f)) << "\n";
}

TEST(Sha224, FinalWritesExactly28Bytes) {
    zvcrypto::sha224 h;
    unsigned char out[40];
    std::memset(out, 0xee, sizeof(out));
    h.hash_string(std::string("abc"), out);
    EXPECT_EQ(hex(out, 28), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
    for (std::size_t i = 28; i < sizeof(out); ++i) {
        EXPECT_EQ(out[i], 0xee) << "byte " << i;
    }
    EXPECT_EQ(h.hashsize(), 224u);
    EXPECT_EQ(h.blocksize(), 512u);
}

TEST(Sha256, CloneInTheMiddleOfAMessageHashesIndependently) {
    zvcrypto::sha256 h;
    h.init();
    h.update(reinterpret_cast<const unsigned char*>("ab"), 2);
    std::unique_ptr<zvcrypto::sha256> copy(h.clone());
    copy->init();
    copy->update(reinterpret_cast<const unsigned char*>("abc"), 3);
    h.update(reinterpret_cast<const unsigned char*>("c"), 1);
    unsigned char a[32], b[32];
    h.final(a);
    copy->final(b);
    EXPECT_EQ(hex(a, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(b, 32), hex(a, 32));

    zvcrypto::sha224 h224;
    std::unique_ptr<zvcrypto::sha224> copy224(h224.clone());
    EXPECT_EQ(digest_hex(*copy224, "abc"), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
}

TEST(Sha256, ClearWipesStateAndPartialBlock) {
    class inspect : public zvcrypto::sha256 {
    public:
        bool all_zero() const {
            const std::uint32_t* s = H;
            for (int i = 0; i < 8; ++i) {
                if (s[i] != 0) {
                    return false;
                }
            }
            for (unsigned char c : m) {
                if (c != 0) {
                    return false;
                }
            }
            return true;
        }
    } h;
    h.init();
    h.update(reinterpret_cast<const unsigned char*>("secret"), 6);
    ASSERT_FALSE(h.all_zero());
    h.clear();
    EXPECT_TRUE(h.all_zero());
}

class size_checks : public zvcrypto::sha256 {
public:
    using zvcrypto::sha256::validate_hash_size;
};

TEST(CryptoHash, HashSizeChecks) {
    size_checks h;
    auto message = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(message([&] { h.validate_hash_size(7, 512); }),
              "zvcrypto does not support non-byte hash sizes");
    EXPECT_EQ(message([&] { h.validate_hash_size(520, 512); }), "invalid hash size");
    EXPECT_EQ(message([&] { h.validate_hash_size(0, 512); }), "hash size can't be zero");
    EXPECT_EQ(message([&] { h.validate_hash_size(512, 512); }), "accepted");
    EXPECT_EQ(message([&] { h.validate_hash_size(0, {256}); }), "hash size can't be zero");
    EXPECT_EQ(message([&] { h.validate_hash_size(384, {224, 256}); }), "invalid hash size");
    EXPECT_EQ(message([&] { h.validate_hash_size(256, {}); }), "invalid hash size");
    EXPECT_EQ(message([&] { h.validate_hash_size(256, {224, 256}); }), "accepted");
}

}  // namespace
