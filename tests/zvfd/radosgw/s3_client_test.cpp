// The S3 client against the real radosgw: objects in and out, listings longer than
// one page, refusals that must be told apart (keys, bucket, endpoint), and Object
// Lock (a locked version cannot be deleted, a delete marker does not lose data).
#include "zvfd/radosgw/s3_test_env.h"

#include <functional>

#include <ctime>
#include <future>
#include <set>

namespace {

using zvfd::S3Client;
using zvfd::S3Error;

std::string message_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const S3Error& e) {
        return e.what();
    }
    ADD_FAILURE() << "no S3Error";
    return {};
}

TEST(Radosgw, ObjectsInAndOut) {
    ZV_REQUIRE_RADOSGW(gw);
    S3Client client(gw.location(gw.new_bucket(false)), gw.keys());
    client.check_bucket();
    EXPECT_FALSE(client.object_lock_enabled());

    std::string data(3 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 5);
    EXPECT_TRUE(client.put_object("r/packs/a", data, nullptr));
    // Taken: the first object stays as it was.
    EXPECT_FALSE(client.put_object("r/packs/a", "other", nullptr));
    EXPECT_EQ(client.get_object("r/packs/a"), data);
    EXPECT_EQ(client.head_object("r/packs/a"), data.size());
    EXPECT_FALSE(client.get_object("r/packs/b"));
    EXPECT_FALSE(client.head_object("r/packs/b"));
    EXPECT_TRUE(client.put_object("r/empty", "", nullptr));
    EXPECT_EQ(client.get_object("r/empty"), "");

    client.delete_object("r/packs/a");
    client.delete_object("r/packs/a");  // already gone: no error
    EXPECT_FALSE(client.get_object("r/packs/a"));
}

TEST(Radosgw, ListingsSpanPages) {
    ZV_REQUIRE_RADOSGW(gw);
    S3Client client(gw.location(gw.new_bucket(false)), gw.keys());
    // One page holds 1000 keys; the prefix must keep out the neighbours.
    std::set<std::string> expected;
    for (int i = 0; i < 1003; ++i) expected.insert("repo/idx/" + std::to_string(100000 + i));
    std::vector<std::string> keys(expected.begin(), expected.end());
    std::vector<std::future<void>> puts;
    for (int t = 0; t < 8; ++t)
        puts.push_back(std::async(std::launch::async, [&, t] {
            for (std::size_t i = t; i < keys.size(); i += 8) client.put_object(keys[i], "x", nullptr);
        }));
    for (auto& put : puts) put.get();
    client.put_object("repo/idx", "y", nullptr);
    client.put_object("repo/other/1", "z", nullptr);

    const auto listed = client.list_keys("repo/idx/");
    EXPECT_EQ(std::vector<std::string>(listed.begin(), listed.end()), keys);
    EXPECT_EQ(client.list_keys("repo/o"), std::vector<std::string>{"repo/other/1"});
    EXPECT_TRUE(client.list_keys("nothing/").empty());
}

TEST(Radosgw, RefusalsSayWhatIsWrong) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    zvfd::S3Keys wrong = gw.keys();
    wrong.secret_key = "Wr0ngS3cretWr0ngS3cretWr0ngS3cretWr0ngS3";
    S3Client bad_keys(gw.location(bucket), wrong);
    std::string text = message_of([&] { bad_keys.check_bucket(); });
    EXPECT_NE(text.find("does not accept the keys"), std::string::npos) << text;
    EXPECT_NE(text.find(gw.endpoint()), std::string::npos) << text;
    EXPECT_EQ(text.find(wrong.secret_key), std::string::npos) << text;
    text = message_of([&] { bad_keys.put_object("k", "v", nullptr); });
    EXPECT_NE(text.find("PUT " + gw.endpoint() + "/" + bucket + "/k"), std::string::npos) << text;

    S3Client no_bucket(gw.location("zvtest-absent-bucket"), gw.keys());
    text = message_of([&] { no_bucket.check_bucket(); });
    EXPECT_NE(text.find("no bucket zvtest-absent-bucket at " + gw.endpoint()), std::string::npos) << text;

    // A port nobody listens on: retried for the window, then the endpoint and the object.
    zvfd::S3RetryPolicy brief;
    brief.window = std::chrono::seconds(2);
    S3Client unreachable({"http://127.0.0.1:9", bucket, "default", true}, gw.keys(), brief);
    const auto start = std::chrono::steady_clock::now();
    text = message_of([&] { unreachable.put_object("repo/x", "v", nullptr); });
    EXPECT_NE(text.find("PUT http://127.0.0.1:9/" + bucket + "/repo/x gave up after"), std::string::npos) << text;
    EXPECT_NE(text.find("connect"), std::string::npos) << text;
    // Retried for the default minute or without end, it would take far longer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(Radosgw, LockedVersionsOutliveDeletes) {
    ZV_REQUIRE_RADOSGW(gw);
    S3Client client(gw.location(gw.new_bucket(true)), gw.keys());
    ASSERT_TRUE(client.object_lock_enabled());
    const std::int64_t now = std::time(nullptr);
    zvfd::S3Retention retention{zvfd::S3LockMode::Compliance, now + 120};
    ASSERT_TRUE(client.put_object("r/pack", "locked bytes", &retention));
    const auto held = client.get_retention("r/pack");
    ASSERT_TRUE(held);
    EXPECT_EQ(held->until, now + 120);
    EXPECT_EQ(held->mode, zvfd::S3LockMode::Compliance);

    // Longer: taken. Shorter: the longer one stays, and that is no error.
    client.extend_retention("r/pack", {zvfd::S3LockMode::Compliance, now + 180});
    client.extend_retention("r/pack", {zvfd::S3LockMode::Compliance, now + 60});
    EXPECT_EQ(client.get_retention("r/pack")->until, now + 180);

    const auto versions = client.list_versions("r/pack");
    ASSERT_EQ(versions.size(), 1u);
    const std::string text = message_of([&] { client.delete_version("r/pack", versions[0].version_id); });
    EXPECT_NE(text.find("403"), std::string::npos) << text;

    // A plain delete only hides the object behind a marker; its bytes are still there.
    client.delete_object("r/pack");
    EXPECT_FALSE(client.get_object("r/pack"));
    EXPECT_EQ(client.get_object("r/pack", true), "locked bytes");
    EXPECT_FALSE(client.get_object("r/never", true));
}

TEST(Radosgw, RetentionNeedsALockedBucket) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    S3Client client(gw.location(bucket), gw.keys());
    EXPECT_FALSE(client.object_lock_enabled());
    zvfd::S3Retention retention{zvfd::S3LockMode::Governance, std::time(nullptr) + 60};
    std::string text = message_of([&] { client.put_object("r/pack", "x", &retention); });
    EXPECT_NE(text.find("does not accept a retention"), std::string::npos) << text;
    client.put_object("r/plain", "x", nullptr);
    text = message_of([&] { client.extend_retention("r/plain", retention); });
    EXPECT_NE(text.find("does not accept a retention"), std::string::npos) << text;
}

}  // namespace
