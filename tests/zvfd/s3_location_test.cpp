// The S3 media-server location line: what it sets, and each way it can be wrong.
#include "zvfd/s3_storage.h"

#include <gtest/gtest.h>

namespace {

TEST(S3Location, ReadsEverySetting) {
    EXPECT_TRUE(zvfd::is_s3_location("s3 endpoint=x"));
    EXPECT_FALSE(zvfd::is_s3_location("/srv/media"));
    EXPECT_FALSE(zvfd::is_s3_location("s3x endpoint=x"));

    const auto config = zvfd::parse_s3_location(
        "s3 endpoint=http://10.0.0.5:7480 bucket=zelvor region=default credentials=/opt/zelvor/etc/m2.s3 "
        " prefix=site-a/kvm/ path_style=no retention_days=30 retention_mode=governance retry_seconds=5");
    EXPECT_EQ(config.location.endpoint, "http://10.0.0.5:7480");
    EXPECT_EQ(config.location.bucket, "zelvor");
    EXPECT_EQ(config.location.region, "default");
    EXPECT_FALSE(config.location.path_style);
    EXPECT_EQ(config.credentials_file, "/opt/zelvor/etc/m2.s3");
    EXPECT_EQ(config.prefix, "site-a/kvm");
    EXPECT_EQ(config.retention_days, 30u);
    EXPECT_EQ(config.retention_mode, zvfd::S3LockMode::Governance);
    EXPECT_EQ(config.retry_seconds, 5u);

    const auto plain = zvfd::parse_s3_location("s3\tendpoint=http://h:1 bucket=b region=r credentials=/k");
    EXPECT_TRUE(plain.location.path_style);
    EXPECT_EQ(plain.prefix, "");
    EXPECT_EQ(plain.retention_days, 0u);
    EXPECT_EQ(plain.retry_seconds, 60u);
}

TEST(S3Location, RefusesMistakes) {
    const std::string base = "s3 endpoint=http://h:1 bucket=b region=r credentials=/k";
    struct Case {
        std::string line;
        const char* says;
    } cases[] = {
        {"s3 bucket=b region=r credentials=/k", "endpoint= is missing"},
        {"s3 endpoint=http://h:1 region=r credentials=/k", "bucket= is missing"},
        {"s3 endpoint=http://h:1 bucket=b credentials=/k", "region= is missing"},
        {"s3 endpoint=http://h:1 bucket=b region=r", "credentials= is missing"},
        {base + " bucket=c", "bucket is given twice"},
        {base + " colour=blue", "unknown setting colour"},
        {base + " secret", "'secret' is not name=value"},
        {base + " path_style=maybe", "path_style must be yes or no"},
        {base + " prefix=../up", "prefix=../up must be"},
        {base + " prefix=a//b", "prefix=a//b must be"},
        {base + " retention_days=30", "retention_days and retention_mode go together"},
        {base + " retention_mode=compliance", "retention_days and retention_mode go together"},
        {base + " retention_days=0 retention_mode=compliance", "between 1 and 36500"},
        {base + " retention_days=-3 retention_mode=compliance", "is not a number"},
        {base + " retention_days=7 retention_mode=strict", "governance or compliance"},
        {base + " retry_seconds=", "is not a number"},
    };
    for (const Case& c : cases) {
        try {
            zvfd::parse_s3_location(c.line);
            ADD_FAILURE() << "accepted: " << c.line;
        } catch (const zvfd::StorageError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.line << " -> " << e.what();
        }
    }
}

}  // namespace
