// E-signature pieces inside the process: the request document, hexadecimal signature
// text into a file, and the metadata check through the real openssl with real keys.
// The whole verification, with its fixed task-directory paths and the archiver, is
// tested from outside (tests/blackbox/storages_test.cpp).
#include "archiver_test_support.h"

#include "support/openssl_signer.h"

#include <gtest/gtest.h>

using namespace archiver_test;

namespace {

const std::string parse_signature =
    "virtual bool ZvModuleUniversal::parse_esign_json(const string&, std::__cxx11::string&, "
    "std::__cxx11::string&, std::__cxx11::string&)";

TEST(EsignRequest, ReadsTheThreeMembers) {
    LogCapture log;
    TestModule module;
    std::string name = "old", archive = "old", snapshot = "old";
    ASSERT_TRUE(module.parse_esign_json(
        R"({"x": [1], "archive_name": "local-directory:1@/a \"b\"", "archive_sign": "0a0b",)"
        R"( "snapshot_sign": 12})",
        name, archive, snapshot));
    EXPECT_EQ(name, R"(local-directory:1@/a \b\)");
    EXPECT_EQ(archive, "0a0b");
    EXPECT_EQ(snapshot, "12");

    std::string a, b, c;
    EXPECT_TRUE(module.parse_esign_json(R"({"other": 1})", a, b, c));
    EXPECT_EQ(a + b + c, "");
}

TEST(EsignRequest, RefusedDocuments) {
    const struct {
        std::string json;
        std::string message;
    } cases[] = {
        {"{", ": "},
        {"", ": "},
        {"[]", ": json value is not an object"},
        {"\"text\"", ": json value is not an object"},
        {"{}", ": json object value is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        LogCapture log;
        TestModule module;
        std::string a, b, s;
        EXPECT_FALSE(module.parse_esign_json(c.json, a, b, s));
        EXPECT_TRUE(log.has("Error: " + parse_signature + c.message)) << log.all();
    }
}

TEST(EsignFile, HexadecimalPairsBecomeBytes) {
    const struct {
        std::string hex;
        std::string bytes;
    } cases[] = {
        {"00ff7Fa0", std::string("\x00\xff\x7f\xa0", 4)},
        {"0102f", "\x01\x02"},                 // a last odd character is ignored
        {"01zz02", "\x01\x02"},                // a pair without a number is skipped
        {"1z 2", std::string("\x01\x02", 2)},  // reading stops at a non-digit, blanks lead
        {"", ""},
    };
    ScratchDir scratch;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        LogCapture log;
        TestModule module;
        const fs::path file = scratch.path() / "sign";
        write_file(file, "previous content that must go");
        ASSERT_TRUE(module.write_esign(c.hex, file.string()));
        EXPECT_EQ(read_file(file), c.bytes);
    }

    LogCapture log;
    TestModule module;
    const std::string missing = (scratch.path() / "no/such/dir/sign").string();
    EXPECT_FALSE(module.write_esign("00", missing));
    EXPECT_TRUE(
        log.has("bool ZvModuleUniversal::write_esign(const string&, const string&): "
                "can't create: " +
                missing));
}

// The metadata check runs the real /usr/bin/openssl against a signature made with a
// fresh key, on a file whose name needs quoting.
class MetadataCheck : public ::testing::Test {
protected:
    MetadataCheck() : key(scratch.path() / "keys") {
        meta = scratch.path() / "meta 'q' $(touch injected); x.snap";
        write_file(meta, "metadata");
        signature = scratch.path() / "sign";
    }
    bool check(const std::string& hex, const std::string& hash) {
        EXPECT_TRUE(module.write_esign(hex, signature.string()));
        return module.check_filename_by_esing(key.public_key(), hash, signature.string(),
                                              meta.string(), true);
    }

    ScratchDir scratch;
    LogCapture log;
    TestModule module;
    zv_test::SigningKey key;
    fs::path meta, signature;
};

TEST_F(MetadataCheck, GoodAndTamperedSignatures) {
    const std::string good = key.sign_hex(meta);
    EXPECT_TRUE(check(good, "sha256")) << log.all();
    EXPECT_TRUE(log.has("Info: Verification of: '" + meta.string() + "': [ ok ]"));

    std::string flipped = good;
    flipped[flipped.size() - 1] = flipped.back() == '0' ? '1' : '0';
    EXPECT_FALSE(check(flipped, "sha256"));

    write_file(meta, "metadatA");
    EXPECT_FALSE(check(good, "sha256"));
    EXPECT_TRUE(log.has("Error: : Verification of: '" + meta.string() + "': [ failed ]"));

    EXPECT_FALSE(fs::exists(scratch.path() / "injected"));
    EXPECT_FALSE(fs::exists("injected"));
}

TEST_F(MetadataCheck, OnlyKnownDigestNamesReachOpenssl) {
    const std::string good = key.sign_hex(meta, "sha384");
    EXPECT_TRUE(check(good, "sha384")) << log.all();
    EXPECT_TRUE(check(good, "SHA384")) << log.all();
    for (const std::string hash :
         {"sha384 -engine x", "sha384;touch injected", "sha384'", "-sha384", "", "nosuchdigest"}) {
        SCOPED_TRACE(hash);
        log.clear();
        EXPECT_FALSE(check(good, hash));
        EXPECT_TRUE(log.has("unknown signature hash")) << log.all();
        EXPECT_TRUE(log.has("': [ failed ]"));
    }
    EXPECT_FALSE(fs::exists("injected"));
}

}  // namespace
