// The S3 backend of the repository on the real radosgw: the storage contract the
// stages above rely on, prefixes that keep media servers apart, failures at the start,
// and retention: locked objects, kept ones extended, delete markers seen through.
#include "support/scratch_dir.h"
#include "zvfd/radosgw/s3_relay.h"
#include "zvfd/radosgw/s3_test_env.h"
#include "zvfd/s3_storage.h"

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <future>
#include <thread>

namespace {

using zvfd::S3Storage;
using zvfd::S3StorageConfig;

S3StorageConfig config_for(zv_test::Radosgw& gw, const std::string& bucket, const std::string& prefix = "") {
    S3StorageConfig config;
    config.location = gw.location(bucket);
    config.prefix = prefix;
    config.retry_seconds = 5;
    return config;
}

// A media server under "repo" of a bucket with Object Lock that locks what records
// need for `days` in governance mode.
S3StorageConfig locked_config(zv_test::Radosgw& gw, const std::string& bucket, unsigned days) {
    S3StorageConfig config = config_for(gw, bucket, "repo");
    config.retention_days = days;
    config.retention_mode = zvfd::S3LockMode::Governance;
    return config;
}

std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const zvfd::StorageError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no StorageError";
    return {};
}

TEST(S3Storage, KeepsTheStorageContract) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    S3Storage store(config_for(gw, bucket, "site/a"), gw.keys());
    S3Storage neighbour(config_for(gw, bucket, "site/ab"), gw.keys());
    EXPECT_EQ(store.describe(), gw.endpoint() + "/" + bucket + "/site/a");

    EXPECT_TRUE(store.put_if_absent("packs/0a/0a11", "pack one"));
    EXPECT_FALSE(store.put_if_absent("packs/0a/0a11", "another"));
    EXPECT_TRUE(store.put_if_absent("index/0a11", "index one"));
    EXPECT_TRUE(store.put_if_absent("packs/0b/0b22", std::string(5 << 20, 'p')));
    EXPECT_TRUE(neighbour.put_if_absent("packs/0a/0a99", "not mine"));
    EXPECT_EQ(store.get("packs/0a/0a11"), "pack one");
    EXPECT_EQ(store.get("packs/0b/0b22").size(), 5u << 20);
    EXPECT_THROW(store.get("packs/0c/0c33"), zvfd::ObjectMissing);
    EXPECT_TRUE(store.exists("packs/0a/0a11"));
    EXPECT_FALSE(store.exists("packs/0c/0c33"));
    EXPECT_FALSE(store.exists("packs/0a"));
    EXPECT_EQ(store.get_range("packs/0a/0a11", 5, 3), "one");
    EXPECT_EQ(store.get_range("packs/0a/0a11", 5, 100), "one");
    EXPECT_EQ(store.get_range("packs/0a/0a11", 8, 4), "");
    EXPECT_EQ(store.get_range("packs/0b/0b22", (5 << 20) - 2, 2), "pp");
    EXPECT_THROW(store.get_range("packs/0c/0c33", 0, 1), zvfd::ObjectMissing);

    EXPECT_EQ(store.list("packs/"), (std::vector<std::string>{"packs/0a/0a11", "packs/0b/0b22"}));
    EXPECT_EQ(store.list("packs/0a"), std::vector<std::string>{"packs/0a/0a11"});
    EXPECT_EQ(store.list(""), (std::vector<std::string>{"index/0a11", "packs/0a/0a11", "packs/0b/0b22"}));
    EXPECT_EQ(neighbour.list(""), std::vector<std::string>{"packs/0a/0a99"});
    // The same names as the local directory: the key is the prefix and the name.
    EXPECT_EQ(store.client().get_object("site/a/index/0a11"), "index one");

    store.remove("packs/0a/0a11");
    store.remove("packs/0a/0a11");
    EXPECT_THROW(store.get("packs/0a/0a11"), zvfd::ObjectMissing);
    EXPECT_THROW(store.put_if_absent("../escape", "x"), zvfd::StorageError);
}

TEST(S3Storage, FailsAtTheStart) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    zvfd::S3Keys wrong = gw.keys();
    wrong.secret_key = "NotTheS3cretNotTheS3cretNotTheS3cret0000";
    std::string text = failure([&] { S3Storage(config_for(gw, bucket), wrong); });
    EXPECT_NE(text.find("does not accept the keys"), std::string::npos) << text;
    EXPECT_EQ(text.find(wrong.secret_key), std::string::npos) << text;

    text = failure([&] { S3Storage(config_for(gw, "zvtest-no-such-bucket"), gw.keys()); });
    EXPECT_NE(text.find("no bucket zvtest-no-such-bucket at " + gw.endpoint()), std::string::npos) << text;

    auto config = config_for(gw, bucket);
    config.location.endpoint = "http://127.0.0.1:9";
    config.retry_seconds = 1;
    text = failure([&] { S3Storage(config, gw.keys()); });
    EXPECT_NE(text.find("http://127.0.0.1:9/" + bucket), std::string::npos) << text;

    // The keys come from a file only root can read.
    zv_test::ScratchDir scratch;
    const std::string keys_file = scratch.str() + "/keys";
    zv_test::write_file(keys_file, "access_key_id " + gw.keys().access_key + "\nsecret_access_key " +
                                       gw.keys().secret_key + "\n");
    ::chmod(keys_file.c_str(), 0640);
    config = config_for(gw, bucket);
    config.credentials_file = keys_file;
    text = failure([&] { S3Storage store(config); });
    EXPECT_NE(text.find("must have mode 0600 or 0400 (it has 0640)"), std::string::npos) << text;
    ::chmod(keys_file.c_str(), 0600);
    S3Storage store(config);
    EXPECT_TRUE(store.list("").empty());
}

TEST(S3Storage, RetentionLocksWhatRecordsNeed) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(true);
    auto config = locked_config(gw, bucket, 2);
    S3Storage first(config, gw.keys());
    const std::int64_t before = std::time(nullptr);
    ASSERT_TRUE(first.put_if_absent("packs/aa/aa01", "pack"));
    EXPECT_FALSE(first.put_if_absent("packs/aa/aa01", "again"));  // a versioned bucket too
    auto held = first.client().get_retention("repo/packs/aa/aa01");
    ASSERT_TRUE(held);
    EXPECT_GE(held->until, before + 2 * 86400);
    EXPECT_EQ(held->mode, zvfd::S3LockMode::Governance);

    // The module's own keys hide the pack behind a delete marker: a later run still
    // reads and lists it, and keeping it locks the hidden version further.
    first.client().delete_object("repo/packs/aa/aa01");
    EXPECT_FALSE(first.client().get_object("repo/packs/aa/aa01"));
    S3Storage later(config, gw.keys());
    EXPECT_EQ(later.get("packs/aa/aa01"), "pack");
    EXPECT_EQ(later.list("packs/"), std::vector<std::string>{"packs/aa/aa01"});
    const auto versions = later.client().list_versions("repo/packs/aa/aa01");
    std::string version;
    for (const auto& v : versions)
        if (!v.delete_marker) version = v.version_id;
    zv_test::shorten_lock(later.client(), "repo/packs/aa/aa01", version, std::time(nullptr) + 600);
    const std::int64_t keep_time = std::time(nullptr);
    later.keep({"packs/aa/aa01"});
    held = later.client().get_retention("repo/packs/aa/aa01", version);
    ASSERT_TRUE(held);
    EXPECT_GE(held->until, keep_time + 2 * 86400);

    // Deleting for real is refused while the lock holds.
    const std::string text = failure([&] { later.remove("packs/aa/aa01"); });
    EXPECT_NE(text.find("403"), std::string::npos) << text;
    EXPECT_EQ(later.get("packs/aa/aa01"), "pack");
    EXPECT_THROW(later.keep({"packs/zz/none"}), zvfd::ObjectMissing);
}

// Packs a backup confirms are locked beside it (keep_soon), so that locking what the
// record needs when it is written costs no request for them: on a locked bucket the
// checks and extensions, one after the other at the end, made incrementals far slower
// than on a plain one.
TEST(S3Storage, LocksBegunEarlyAreNotAskedForAgain) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(true);
    auto config = locked_config(gw, bucket, 1);
    const std::vector<std::string> names = {"packs/aa/aa01", "packs/bb/bb01"};
    std::string version;
    {
        S3Storage first(config, gw.keys());
        for (const auto& name : names) ASSERT_TRUE(first.put_if_absent(name, "pack " + name));
        version = first.client().versions_of("repo/packs/aa/aa01").front().version_id;
        zv_test::shorten_lock(first.client(), "repo/packs/aa/aa01", version, std::time(nullptr) + 600);
    }
    zv_test::S3Relay relay(gw.endpoint());
    config.location.endpoint = relay.endpoint();
    S3Storage later(config, gw.keys());
    const std::string extension = "PUT /" + bucket + "/repo/packs/aa/aa01?retention";
    relay.hold(extension);
    const std::int64_t soon_time = std::time(nullptr);
    later.keep_soon(names);
    ASSERT_TRUE(relay.wait_held(std::chrono::seconds(120))) << "the lock was not begun before keep()";
    relay.release();
    // Once the store shows it extended, keep() has nothing left to ask for it.
    zvfd::S3Client direct(gw.location(bucket), gw.keys());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto extended = [&] {
        const auto held = direct.get_retention("repo/packs/aa/aa01", version);
        return held && held->until >= soon_time + 86400;
    };
    while (!extended() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_TRUE(extended());
    relay.hold(extension);
    later.keep(names);
    EXPECT_FALSE(relay.wait_held(std::chrono::seconds(0))) << "keep() extended the lock again";
    relay.release();
}

// Anyone with the store's keys can put a new version over a locked object: reads and
// locks keep to the first one, the one its writer was told is stored.
TEST(S3Storage, ReadsAndLocksTakeTheFirstVersion) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(true);
    auto config = locked_config(gw, bucket, 1);
    S3Storage store(config, gw.keys());
    ASSERT_TRUE(store.put_if_absent("packs/aa/aa01", "genuine bytes"));
    const std::string key = "repo/packs/aa/aa01";
    store.client().put_object(key, "forged", nullptr, false);
    store.client().put_object(key, "forged again", nullptr, false);
    const auto versions = store.client().versions_of(key);
    ASSERT_EQ(versions.size(), 3u);

    S3Storage later(config, gw.keys());
    EXPECT_EQ(later.get("packs/aa/aa01"), "genuine bytes");
    EXPECT_EQ(later.get_range("packs/aa/aa01", 8, 100), "bytes");
    EXPECT_EQ(later.get_later("packs/aa/aa01", 1), "forged");
    EXPECT_EQ(later.get_later("packs/aa/aa01", 2), "forged again");
    EXPECT_THROW(later.get_later("packs/aa/aa01", 3), zvfd::ObjectMissing);
    // A reader whose check refuses the first version gets the next it accepts.
    std::string accepted;
    zvfd::read_accepted(later, "packs/aa/aa01", [&](std::string& bytes) {
        if (bytes != "forged again") throw zvfd::Error("not this one");
        accepted = bytes;
    });
    EXPECT_EQ(accepted, "forged again");
    EXPECT_FALSE(later.put_if_absent("packs/aa/aa01", "forged"));

    // The first version's lock about to lapse: keeping it locks that one again.
    zv_test::shorten_lock(store.client(), key, versions[0].version_id, std::time(nullptr) + 600);
    const std::int64_t keep_time = std::time(nullptr);
    S3Storage(config, gw.keys()).keep({"packs/aa/aa01"});
    const auto first = later.client().get_retention(key, versions[0].version_id);
    ASSERT_TRUE(first);
    EXPECT_GE(first->until, keep_time + 86400);
    EXPECT_FALSE(later.client().get_retention(key, versions[2].version_id)) << "the forged version was locked";
}

// Two writers of one name, the second one's PUT held back until the first is done:
// on every bucket, one of them is told its object is stored, and reads find that one.
TEST(S3Storage, TwoWritersOfOneNameAreNotBothStored) {
    ZV_REQUIRE_RADOSGW(gw);
    for (const bool locked : {false, true}) {
        SCOPED_TRACE(locked ? "Object Lock bucket" : "plain bucket");
        const std::string bucket = gw.new_bucket(locked);
        auto config = config_for(gw, bucket, "repo");
        if (locked) config.retention_days = 1;
        zv_test::S3Relay relay(gw.endpoint());
        auto slow_config = config;
        slow_config.location.endpoint = relay.endpoint();
        slow_config.retry_seconds = 120;
        S3Storage first(config, gw.keys()), second(slow_config, gw.keys());

        relay.hold("PUT /" + bucket + "/repo/tasks/42/records/same ");
        auto late = std::async(std::launch::async, [&] { return second.put_if_absent("tasks/42/records/same", "late"); });
        ASSERT_TRUE(relay.wait_held());
        EXPECT_TRUE(first.put_if_absent("tasks/42/records/same", "early"));
        relay.release();
        EXPECT_FALSE(late.get());
        EXPECT_EQ(S3Storage(config, gw.keys()).get("tasks/42/records/same"), "early");
    }
}

// The store stored the object, but its answer never came: the retry that finds the
// name taken by these very bytes is the success it is.
TEST(S3Storage, AnswerLostAfterAPutIsNoFailure) {
    ZV_REQUIRE_RADOSGW(gw);
    for (const bool locked : {false, true}) {
        SCOPED_TRACE(locked ? "Object Lock bucket" : "plain bucket");
        const std::string bucket = gw.new_bucket(locked);
        zv_test::S3Relay relay(gw.endpoint());
        auto config = config_for(gw, bucket, "repo");
        config.location.endpoint = relay.endpoint();
        if (locked) config.retention_days = 1;
        S3Storage store(config, gw.keys());
        relay.lose_answer("PUT /" + bucket + "/repo/tasks/42/records/once ");
        EXPECT_TRUE(store.put_if_absent("tasks/42/records/once", "the record"));
        EXPECT_TRUE(relay.answer_lost());
        EXPECT_EQ(store.get("tasks/42/records/once"), "the record");
        EXPECT_FALSE(store.put_if_absent("tasks/42/records/once", "another record"));
    }
}

// A store that takes connections and answers nothing: the request gives up when its
// retry_seconds are spent, not an attempt later.
TEST(S3Storage, StalledStoreIsGivenUpInTime) {
    ZV_REQUIRE_RADOSGW(gw);
    zv_test::S3Relay relay(gw.endpoint());
    auto config = config_for(gw, gw.new_bucket(false));
    config.location.endpoint = relay.endpoint();
    config.retry_seconds = 20;
    S3Storage store(config, gw.keys());
    ASSERT_TRUE(store.put_if_absent("packs/aa/aa00", "before the stall"));
    relay.stall();
    const auto start = std::chrono::steady_clock::now();
    const std::string text = failure([&] { store.put_if_absent("packs/aa/aa01", std::string(1 << 20, 'p')); });
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_NE(text.find("gave up after"), std::string::npos) << text;
    EXPECT_LT(spent, std::chrono::seconds(27)) << text;
}

TEST(S3Storage, RetentionWithoutObjectLockFails) {
    ZV_REQUIRE_RADOSGW(gw);
    auto config = config_for(gw, gw.new_bucket(false));
    config.retention_days = 1;
    config.retention_mode = zvfd::S3LockMode::Compliance;
    S3Storage store(config, gw.keys());
    const std::string text = failure([&] { store.put_if_absent("packs/aa/aa01", "pack"); });
    EXPECT_NE(text.find("has no Object Lock, so the retention of 1 day cannot be kept"), std::string::npos) << text;
    EXPECT_TRUE(store.list("").empty());
}

}  // namespace
