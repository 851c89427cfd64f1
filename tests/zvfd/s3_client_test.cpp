// The S3 client's parts that need no server: the canonical query text that request
// signing depends on, digests and dates in the store's formats, answers worth a
// retry, and the checks on the credentials file.
#include "support/scratch_dir.h"
#include "zvfd/s3_client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using zvfd::S3Error;
namespace s3 = zvfd::s3;

TEST(S3Request, QueryIsSortedAndEncoded) {
    // libcurl signs the query as given, and the store sorts it: unsorted or
    // unencoded queries fail with SignatureDoesNotMatch.
    EXPECT_EQ(s3::query_text({{"retention", ""}}), "retention=");
    EXPECT_EQ(s3::query_text({{"versions", ""}, {"prefix", "repo/a b"}}), "prefix=repo%2Fa%20b&versions=");
    EXPECT_EQ(s3::query_text({{"list-type", "2"}, {"prefix", "p"}, {"continuation-token", "x+y=/"}}),
              "continuation-token=x%2By%3D%2F&list-type=2&prefix=p");
    EXPECT_EQ(s3::query_text({}), "");
}

TEST(S3Request, KeysKeepSlashesOnly) {
    EXPECT_EQ(s3::uri_encode("repo/packs/ab_c-1.x~", true), "repo/packs/ab_c-1.x~");
    EXPECT_EQ(s3::uri_encode("a/b c*", false), "a%2Fb%20c%2A");
    EXPECT_EQ(s3::uri_encode("\xff", true), "%FF");
}

TEST(S3Request, DigestsMatchPublishedVectors) {
    EXPECT_EQ(s3::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(s3::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(s3::md5_base64(""), "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(s3::md5_base64("abc"), "kAFQmDzST7DWlj99KOF/cg==");
}

TEST(S3Request, RetentionDates) {
    EXPECT_EQ(s3::iso8601(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(s3::iso8601(1797006455), "2026-12-11T16:27:35Z");
    EXPECT_EQ(s3::parse_iso8601("2026-12-11T16:27:35Z"), 1797006455);
    EXPECT_EQ(s3::parse_iso8601("2026-12-11T16:27:35.123Z"), 1797006455);
    EXPECT_FALSE(s3::parse_iso8601("2026-12-11T16:27:35"));
    EXPECT_FALSE(s3::parse_iso8601("2026-12-11T16:27:35+01:00"));
    EXPECT_FALSE(s3::parse_iso8601("tomorrow"));
}

TEST(S3Request, WhatIsRetried) {
    struct Case {
        long status;
        const char* code;
        bool retried;
    } cases[] = {
        {500, "InternalError", true}, {502, "", true},       {503, "SlowDown", true}, {504, "", true},
        {429, "", true},              {400, "RequestTimeout", true},                   {403, "AccessDenied", false},
        {403, "SignatureDoesNotMatch", false},              {404, "NoSuchBucket", false},
        {412, "PreconditionFailed", false},                 {400, "InvalidRequest", false},
    };
    for (const Case& c : cases) EXPECT_EQ(s3::retryable_status(c.status, c.code), c.retried) << c.status << " " << c.code;
}

TEST(S3Request, ErrorDocumentFields) {
    zvfd::S3Response response;
    response.body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>NoSuchBucket</Code>"
        "<Message>it &amp; is gone</Message><BucketName>b</BucketName></Error>";
    EXPECT_EQ(response.error_code(), "NoSuchBucket");
    EXPECT_EQ(response.error_message(), "it & is gone");
    response.body = "not xml";
    EXPECT_EQ(response.error_code(), "");
    EXPECT_EQ(s3::xml_texts("<a><Key>x</Key><b><Key>y</Key></b><Key>z</Key></a>", "Key"),
              (std::vector<std::string>{"x", "y", "z"}));
}

TEST(S3Client, RefusesMalformedLocations) {
    const char* endpoints[] = {"127.0.0.1:7480", "ftp://host", "http://", "http://host/path"};
    for (const char* endpoint : endpoints)
        EXPECT_THROW(zvfd::S3Client({endpoint, "bucket", "default", true}, {"a", "b"}), S3Error) << endpoint;
    EXPECT_THROW(zvfd::S3Client({"http://h:1", "", "default", true}, {"a", "b"}), S3Error);
    EXPECT_THROW(zvfd::S3Client({"http://h:1", "a/b", "default", true}, {"a", "b"}), S3Error);
    EXPECT_THROW(zvfd::S3Client({"http://h:1", "b", "", true}, {"a", "b"}), S3Error);
    zvfd::S3Client client({"http://h:1/", "b", "default", true}, {"a", "b"});
    EXPECT_EQ(client.describe("PUT", "r/k"), "PUT http://h:1/b/r/k");
    zvfd::S3Client hosted({"https://s3.example.org", "b", "eu", false}, {"a", "b"});
    EXPECT_EQ(hosted.describe("GET", "k"), "GET https://b.s3.example.org/k");
}

class S3Credentials : public zv_test::ScratchDirTest {
protected:
    std::string file(const std::string& text, mode_t mode = 0600, uid_t owner = 0) {
        const std::string path = write("keys", text);
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        EXPECT_EQ(::chown(path.c_str(), owner, 0), 0);
        return path;
    }
    // The message of the refusal, which must never repeat the secret.
    std::string refusal(const std::string& path) {
        try {
            zvfd::read_s3_credentials(path);
        } catch (const S3Error& e) {
            EXPECT_EQ(std::string(e.what()).find("S3CRET"), std::string::npos) << e.what();
            return e.what();
        }
        ADD_FAILURE() << "accepted " << path;
        return {};
    }
};

TEST_F(S3Credentials, ReadsBothKeys) {
    // Read-only for root is as safe as read-write for root.
    for (const mode_t mode : {0600, 0400}) {
        const auto keys = zvfd::read_s3_credentials(
            file("# keys of media server one\n\naccess_key_id AK1\nsecret_access_key  S3CRET/x+y==\n", mode));
        EXPECT_EQ(keys.access_key, "AK1") << mode;
        EXPECT_EQ(keys.secret_key, "S3CRET/x+y==") << mode;
    }
}

TEST_F(S3Credentials, RefusesUnsafeOrMalformedFiles) {
    ASSERT_EQ(::geteuid(), 0u) << "ownership checks need root";
    const std::string good = "access_key_id AK1\nsecret_access_key S3CRET\n";
    EXPECT_NE(refusal(file(good, 0644)).find("must have mode 0600 or 0400 (it has 0644)"), std::string::npos);
    EXPECT_NE(refusal(file(good, 0440)).find("(it has 0440)"), std::string::npos);
    EXPECT_NE(refusal(file(good, 0600, 65534)).find("must be owned by root"), std::string::npos);
    EXPECT_NE(refusal(file("access_key_id AK1\n")).find("must set access_key_id and secret_access_key"),
              std::string::npos);
    EXPECT_NE(refusal(file("access_key_id AK1\nS3CRET\n")).find("line 2 of"), std::string::npos);
    EXPECT_NE(refusal(file("access_key_id AK1\nsecret_access_key S3CRET extra\n")).find("line 2"),
              std::string::npos);
    EXPECT_NE(refusal((dir_ / "absent").string()).find("cannot open"), std::string::npos);
    EXPECT_NE(refusal(dir_.string()).find("not a regular file"), std::string::npos);
}

}  // namespace
