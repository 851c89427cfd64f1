// The archiver on an S3 media server, run with the command lines the module builds,
// against the real radosgw: round trips, one repository format on both backends, two
// hosts into one bucket, Object Lock, the repository check, and a gateway that goes
// away in the middle of a backup.
#include "support/module_sandbox.h"
#include "support/random_data.h"
#include "support/scratch_dir.h"
#include "zvfd/cipher.h"
#include "zvfd/index_segment.h"
#include "zvfd/radosgw/s3_relay.h"
#include "zvfd/radosgw/s3_test_env.h"
#include "zvfd/s3_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <future>
#include <random>
#include <thread>

namespace fs = boost::filesystem;

namespace {

using zv_test::random_bytes;

// A disk image with data islands and holes, and the list file the module writes.
void make_image(const fs::path& image, std::uint64_t size, unsigned seed) {
    const int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    for (std::uint64_t at = 0; at + (2 << 20) <= size; at += 8 << 20) {
        const std::string data = random_bytes(2 << 20, seed + static_cast<unsigned>(at >> 20));
        ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)), static_cast<ssize_t>(data.size()));
    }
    ::close(fd);
}

void overwrite(const fs::path& image, std::uint64_t offset, std::size_t length, unsigned seed) {
    const int fd = ::open(image.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const std::string data = random_bytes(length, seed);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(length));
    ::close(fd);
}

// One virtualisation host: a /opt/zelvor of its own (its local state) whose media
// server "media1" is the given S3 location and "local1" a directory.
class Host {
public:
    Host(zv_test::Radosgw& gw, const std::string& location) : gw_(gw) {
        box_.install_zvfd();
        zv_test::write_file(box_.opt() / "etc" / "zvfd-repositories.conf",
                            "# media servers of this host\nmedia1 = " + location + "\nlocal1 = /opt/zelvor/var/local1\n");
        const fs::path keys = box_.opt() / "etc" / "media1.s3";
        zv_test::write_file(keys, "access_key_id " + gw.keys().access_key + "\nsecret_access_key " +
                                      gw.keys().secret_key + "\n");
        ::chmod(keys.c_str(), 0600);
        for (const char* task : {"42", "43"})
            zv_test::write_file(box_.opt() / "var" / "tasks" / (std::string("task_secret_") + task),
                                std::string("secret of task ") + task + "\n");
        fs::create_directories(work() / "snap");
    }
    fs::path work() const { return box_.root() / "work"; }
    const zv_test::Sandbox& box() const { return box_; }

    // The list file of one disk, as the module writes it.
    std::string list_of(const fs::path& image) const {
        const fs::path list = work() / (image.filename().string() + ".list");
        zv_test::write_file(list, "ZVFD file list:\n" + image.string() + " : vda\n");
        return list.string();
    }
    std::string meta(const std::string& name) const { return (work() / "snap" / (name + ".meta")).string(); }

    // The module's backup command line (full, or incremental with a reference).
    zv_test::RunResult backup(const std::string& list, const std::string& name, const std::string& task = "42",
                              const std::string& reference = "", const std::string& server = "media1") const {
        std::string command = "cd / && /opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -c " + list +
                              " -x /opt/zelvor/keys/master-key,/opt/zelvor/keys/secret-key.pem";
        if (!reference.empty()) command += " -S " + reference;
        command += " -z None -M " + server + " -N " + name + " -T " + task + " -s /opt/zelvor/var/tasks//task_secret_" +
                   task + " -m " + meta(name) + " 2>&1";
        return run(command);
    }
    // The module's restore command line.
    zv_test::RunResult restore(const std::string& name, const fs::path& dir, const std::string& task = "42",
                               const std::string& server = "media1") const {
        return run("/opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -R 1001 -M " + server + " -T " + task +
                   " -s /opt/zelvor/var/tasks//task_secret_" + task + " -m " + meta(name) + " -d " + dir.string() +
                   " 2>&1");
    }
    zv_test::RunResult check(const std::string& extra = "", const std::string& server = "media1") const {
        return run("/opt/zelvor/bin/zvfd --check -M " + server + " -T 42 -s /opt/zelvor/var/tasks//task_secret_42" +
                   extra + " 2>&1");
    }
    zv_test::RunResult run(const std::string& command) const {
        zv_test::RunResult result = box_.shell(command);
        // The keys never show, whatever happened.
        EXPECT_EQ(result.out.find(gw_.keys().secret_key), std::string::npos) << command;
        EXPECT_EQ(result.out.find(gw_.keys().access_key), std::string::npos) << command;
        return result;
    }

private:
    zv_test::Radosgw& gw_;
    zv_test::Sandbox box_;
};

std::string location(zv_test::Radosgw& gw, const std::string& bucket, const std::string& extra = "",
                     const std::string& endpoint = "") {
    return "s3 endpoint=" + (endpoint.empty() ? gw.endpoint() : endpoint) + " bucket=" + bucket +
           " region=default credentials=/opt/zelvor/etc/media1.s3 prefix=site/kvm" + extra;
}

void expect_same(const fs::path& restored, const fs::path& source) {
    ASSERT_TRUE(fs::exists(restored)) << restored;
    EXPECT_EQ(zv_test::read_file(restored), zv_test::read_file(source)) << restored;
    struct stat a {}, b {};
    ::stat(restored.c_str(), &a);
    ::stat(source.c_str(), &b);
    EXPECT_LE(a.st_blocks, b.st_blocks + 16) << "holes come back as holes: " << restored;
}

TEST(S3Program, FullIncrementalAndRestore) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    Host host(gw, location(gw, bucket));
    const fs::path image = host.work() / "disk.img";
    make_image(image, 48 << 20, 1);
    const std::string list = host.list_of(image);
    const fs::path full_copy = host.work() / "disk.full";
    fs::copy_file(image, full_copy);

    auto run = host.backup(list, "vm1_full_1");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Transferred: "), std::string::npos) << run.out;
    const std::uint64_t after_full = gw.stored_bytes(bucket, "site/kvm/");
    overwrite(image, 3 << 20, 1 << 20, 77);
    run = host.backup(list, "vm1_inc_2", "42", host.meta("vm1_full_1"));
    ASSERT_EQ(run.status, 0) << run.out;
    // The incremental stores the changed MiB, not the disk again.
    EXPECT_LT(gw.stored_bytes(bucket, "site/kvm/") - after_full, 2u << 20);

    zvfd::S3Client client(gw.location(bucket), gw.keys());
    EXPECT_EQ(client.list_keys("site/kvm/tasks/42/records/"),
              (std::vector<std::string>{"site/kvm/tasks/42/records/vm1_full_1", "site/kvm/tasks/42/records/vm1_inc_2"}));
    EXPECT_FALSE(client.list_keys("site/kvm/packs/").empty());
    EXPECT_FALSE(client.list_keys("site/kvm/segments/").empty());

    run = host.restore("vm1_full_1", host.work() / "r1");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r1" / "vda", full_copy);
    run = host.restore("vm1_inc_2", host.work() / "r2");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r2" / "vda", image);
}

// A repository copied object by object from a directory into a bucket opens there,
// and copied back opens as a directory again.
TEST(S3Program, OneFormatOnBothBackends) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    Host host(gw, location(gw, bucket));
    const fs::path image = host.work() / "disk.img";
    make_image(image, 24 << 20, 2);
    auto run = host.backup(host.list_of(image), "local_full", "42", "", "local1");
    ASSERT_EQ(run.status, 0) << run.out;

    const fs::path local = host.box().opt() / "var" / "local1";
    zvfd::S3Client client(gw.location(bucket), gw.keys());
    for (const auto& entry : fs::recursive_directory_iterator(local)) {
        const std::string name = fs::relative(entry.path(), local).generic_string();
        if (!fs::is_regular_file(entry.path()) || name[0] == '.') continue;
        client.put_object("site/kvm/" + name, zv_test::read_file(entry.path()), nullptr);
    }
    run = host.restore("local_full", host.work() / "from-s3");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "from-s3" / "vda", image);

    overwrite(image, 0, 1 << 20, 5);
    run = host.backup(host.list_of(image), "s3_inc", "42", host.meta("local_full"));
    ASSERT_EQ(run.status, 0) << run.out;
    fs::remove_all(local);
    for (const auto& key : client.list_keys("site/kvm/"))
        zv_test::write_file(local / key.substr(9), *client.get_object(key));
    run = host.restore("s3_inc", host.work() / "from-dir", "42", "local1");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "from-dir" / "vda", image);
}

TEST(S3Program, TwoHostsShareOneRepository) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    Host a(gw, location(gw, bucket)), b(gw, location(gw, bucket));

    // Different domains at the same time: both records, neither disturbs the other.
    make_image(a.work() / "web.img", 32 << 20, 10);
    make_image(b.work() / "db.img", 32 << 20, 20);
    auto first = std::async(std::launch::async, [&] { return a.backup(a.list_of(a.work() / "web.img"), "web_1", "42"); });
    auto second = std::async(std::launch::async, [&] { return b.backup(b.list_of(b.work() / "db.img"), "db_1", "43"); });
    const auto ra = first.get(), rb = second.get();
    ASSERT_EQ(ra.status, 0) << ra.out;
    ASSERT_EQ(rb.status, 0) << rb.out;
    auto run = b.restore("db_1", b.work() / "db", "43");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(b.work() / "db" / "vda", b.work() / "db.img");
    run = a.restore("web_1", a.work() / "web", "42");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(a.work() / "web" / "vda", a.work() / "web.img");
    // With host a gone, host b restores its record as a task of its own, found by the
    // record's name among the bucket's tasks.
    run = b.run("/opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -R web_1 -M media1 -T 77 -s "
                "/opt/zelvor/var/tasks//task_secret_77 -d " + (b.work() / "elsewhere").string() + " 2>&1");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(b.work() / "elsewhere" / "vda", a.work() / "web.img");

    // Two linked clones of one base image, one on each host: the second host finds
    // the base's blocks in the index the first one wrote.
    const std::uint64_t base_size = 64 << 20;
    make_image(a.work() / "clone.img", base_size, 30);
    fs::copy_file(a.work() / "clone.img", b.work() / "clone.img");
    overwrite(a.work() / "clone.img", 0, 256 << 10, 31);
    overwrite(b.work() / "clone.img", 8 << 20, 256 << 10, 32);
    run = a.backup(a.list_of(a.work() / "clone.img"), "clone_a", "42");
    ASSERT_EQ(run.status, 0) << run.out;
    const std::uint64_t before = gw.stored_bytes(bucket, "site/kvm/");
    run = b.backup(b.list_of(b.work() / "clone.img"), "clone_b", "43");
    ASSERT_EQ(run.status, 0) << run.out;
    const std::uint64_t growth = gw.stored_bytes(bucket, "site/kvm/") - before;
    const std::uint64_t shared_data = (base_size / (8 << 20)) * (2 << 20);  // the base's data islands
    EXPECT_LT(growth, shared_data / 20) << "growth " << growth << " of shared data " << shared_data;
    run = b.restore("clone_b", b.work() / "cb", "43");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(b.work() / "cb" / "vda", b.work() / "clone.img");
}

TEST(S3Program, ComplianceLockOutlivesTheModulesOwnDeletes) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(true);
    Host host(gw, location(gw, bucket, " retention_days=1 retention_mode=compliance"));
    const fs::path image = host.work() / "disk.img";
    make_image(image, 24 << 20, 3);
    const std::int64_t start = std::time(nullptr);
    auto run = host.backup(host.list_of(image), "locked_1");
    ASSERT_EQ(run.status, 0) << run.out;

    zvfd::S3Client client(gw.location(bucket), gw.keys());
    const auto packs = client.list_keys("site/kvm/packs/");
    ASSERT_FALSE(packs.empty());
    for (const auto& key : {packs.front(), std::string("site/kvm/tasks/42/records/locked_1"),
                            std::string("site/kvm/tasks/42/secret")}) {
        const auto retention = client.get_retention(key);
        ASSERT_TRUE(retention) << key;
        EXPECT_EQ(retention->mode, zvfd::S3LockMode::Compliance);
        EXPECT_GE(retention->until, start + 86400) << key;
    }

    // An incremental that reuses the pack leaves it locked at least as long as itself.
    overwrite(image, 8 << 20, 64 << 10, 9);
    const std::int64_t second = std::time(nullptr);
    run = host.backup(host.list_of(image), "locked_2", "42", host.meta("locked_1"));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_GE(client.get_retention(packs.front())->until, second + 86400);

    // The module's own keys cannot remove a version; a plain DELETE only hides it.
    for (const auto& version : client.list_versions(packs.front())) {
        try {
            client.delete_version(packs.front(), version.version_id);
            ADD_FAILURE() << "a locked version was deleted";
        } catch (const zvfd::S3Error& e) {
            EXPECT_NE(std::string(e.what()).find("403"), std::string::npos) << e.what();
        }
    }
    for (const auto& key : client.list_keys("site/kvm/")) client.delete_object(key);
    EXPECT_TRUE(client.list_keys("site/kvm/").empty());
    run = host.restore("locked_2", host.work() / "r");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r" / "vda", image);
}

// Whoever holds the module's keys can put a new version over any locked object. A
// record's bytes put over another record and a damaged copy put over a pack: check
// and restore still give the locked data, and the next backup that reuses the pack
// locks the version reads take, not the one put on top.
TEST(S3Program, VersionsPutOverLockedObjectsChangeNothing) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(true);
    Host host(gw, location(gw, bucket, " retention_days=1 retention_mode=governance"));
    make_image(host.work() / "locked.img", 24 << 20, 40);
    make_image(host.work() / "evil.img", 24 << 20, 41);
    ASSERT_EQ(host.backup(host.list_of(host.work() / "locked.img"), "locked_1").status, 0);
    zvfd::S3Client client(gw.location(bucket), gw.keys());
    const std::string pack = client.list_keys("site/kvm/packs/").front();
    ASSERT_EQ(host.backup(host.list_of(host.work() / "evil.img"), "evil_2").status, 0);

    client.put_object("site/kvm/tasks/42/records/locked_1", *client.get_object("site/kvm/tasks/42/records/evil_2"),
                      nullptr, false);
    std::string bytes = *client.get_object(pack);
    bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
    client.put_object(pack, bytes, nullptr, false);

    auto run = host.check(" --read-data");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Record locked_1: sound, data read\n"), std::string::npos) << run.out;
    run = host.restore("locked_1", host.work() / "r1");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r1" / "vda", host.work() / "locked.img");
    run = host.run("/opt/zelvor/bin/zvfd -R locked_1 -M media1 -T 42 -s /opt/zelvor/var/tasks//task_secret_42 -d " +
                   (host.work() / "r2").string() + " 2>&1");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r2" / "vda", host.work() / "locked.img");

    // The pack's lock about to lapse: the next backup that names it locks it again.
    const auto versions = client.versions_of(pack);
    ASSERT_EQ(versions.size(), 2u);
    zv_test::shorten_lock(client, pack, versions[0].version_id, std::time(nullptr) + 600);
    const std::int64_t third = std::time(nullptr);
    ASSERT_EQ(host.backup(host.list_of(host.work() / "locked.img"), "locked_3").status, 0);
    EXPECT_GE(client.get_retention(pack, versions[0].version_id)->until, third + 86400);
    EXPECT_FALSE(client.get_retention(pack, versions[1].version_id)) << "the version put on top was locked";
}

// The index segment of an unencrypted repository can be forged whole, bound to its
// own name as a genuine one is, with the blocks' locations shuffled, and put as a new
// version: the next full backup still takes the blocks from where they are.
TEST(S3Program, ForgedIndexVersionDoesNotMisleadTheNextBackup) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(true);
    Host host(gw, location(gw, bucket, " retention_days=1 retention_mode=governance"));
    const fs::path image = host.work() / "disk.img";
    make_image(image, 24 << 20, 42);
    ASSERT_EQ(host.backup(host.list_of(image), "first").status, 0);

    zvfd::S3StorageConfig config;
    config.location = gw.location(bucket);
    config.prefix = "site/kvm";
    config.retention_days = 1;
    config.retention_mode = zvfd::S3LockMode::Governance;
    zvfd::S3Storage store(config, gw.keys());
    zvfd::SegmentCache cache(64 << 20);
    const zvfd::SegmentSpace space(store, zvfd::no_keys(), nullptr, 32, cache);
    const auto segment = zvfd::Segment::open(space, 0, 0);
    ASSERT_TRUE(segment);
    const std::vector<zvfd::IndexEntry> entries = segment->slice(0, 0);
    ASSERT_GT(entries.size(), 1u);
    std::vector<zvfd::IndexEntry> forged = entries;
    for (std::size_t i = 0; i < entries.size(); ++i) forged[i].name = entries[(i + 1) % entries.size()].name;
    zv_test::ScratchDir scratch;
    zvfd::LocalStorage elsewhere(scratch.str());
    const zvfd::SegmentSpace forged_space(elsewhere, zvfd::no_keys(), nullptr, 32, cache);
    ASSERT_TRUE(zvfd::write_segment(forged_space, 0, 0, forged));
    ASSERT_EQ(elsewhere.list("segments/").size(), 1u) << "a segment of one object";
    store.client().put_object(store.key_of(space.object(0, 0)), elsewhere.get(space.object(0, 0)), nullptr, false);

    auto run = host.backup(host.list_of(image), "again");
    ASSERT_EQ(run.status, 0) << run.out;
    run = host.restore("again", host.work() / "r");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r" / "vda", image);
}

// Two hosts back up under one record name at once, the first one's record held back
// on its way to the store until the second is done: one of them is told success, the
// other fails saying so, and the record restores as the one that was kept.
TEST(S3Program, TwoWritersOfOneRecordNameAreNotBothToldSuccess) {
    ZV_REQUIRE_RADOSGW(gw);
    for (const bool locked : {false, true}) {
        SCOPED_TRACE(locked ? "Object Lock bucket" : "plain bucket");
        const std::string bucket = gw.new_bucket(locked);
        const std::string lock = locked ? " retention_days=1 retention_mode=governance" : "";
        zv_test::S3Relay relay(gw.endpoint());
        Host late(gw, location(gw, bucket, lock, relay.endpoint())), early(gw, location(gw, bucket, lock));
        make_image(late.work() / "late.img", 8 << 20, 43);
        make_image(early.work() / "early.img", 8 << 20, 44);

        relay.hold("PUT /" + bucket + "/site/kvm/tasks/42/records/same ");
        auto held = std::async(std::launch::async, [&] { return late.backup(late.list_of(late.work() / "late.img"), "same"); });
        ASSERT_TRUE(relay.wait_held());
        auto run = early.backup(early.list_of(early.work() / "early.img"), "same");
        EXPECT_EQ(run.status, 0) << run.out;
        relay.release();
        run = held.get();
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find("the record name was written twice: record same of task 42"), std::string::npos)
            << run.out;
        EXPECT_FALSE(fs::exists(late.meta("same")));

        run = late.run("/opt/zelvor/bin/zvfd -R same -M media1 -T 42 -s /opt/zelvor/var/tasks//task_secret_42 -d " +
                       (late.work() / "r").string() + " 2>&1");
        ASSERT_EQ(run.status, 0) << run.out;
        expect_same(late.work() / "r" / "vda", early.work() / "early.img");
    }
}

TEST(S3Program, RetentionOnABucketWithoutLockFailsTheBackup) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    Host host(gw, location(gw, bucket, " retention_days=7 retention_mode=governance"));
    const fs::path image = host.work() / "disk.img";
    make_image(image, 8 << 20, 4);
    const auto run = host.backup(host.list_of(image), "unprotected");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("has no Object Lock"), std::string::npos) << run.out;
    zvfd::S3Client client(gw.location(bucket), gw.keys());
    EXPECT_TRUE(client.list_keys("site/kvm/tasks/42/records/").empty());
}

TEST(S3Program, CheckFindsMissingAndDamagedPacks) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    Host host(gw, location(gw, bucket));
    make_image(host.work() / "one.img", 16 << 20, 5);
    make_image(host.work() / "two.img", 16 << 20, 6);
    ASSERT_EQ(host.backup(host.list_of(host.work() / "one.img"), "one").status, 0);
    ASSERT_EQ(host.backup(host.list_of(host.work() / "two.img"), "two").status, 0);
    ASSERT_EQ(host.backup(host.list_of(host.work() / "one.img"), "one", "42", "", "local1").status, 0);

    auto run = host.check(" --read-data");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Record one: sound, data read\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Record two: sound, data read\n"), std::string::npos) << run.out;
    run = host.check("", "local1");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Record one: sound\n"), std::string::npos) << run.out;

    // A byte flipped inside a pack: every object is there, one record's data is not sound.
    zvfd::S3Client client(gw.location(bucket), gw.keys());
    const std::string pack = client.list_keys("site/kvm/packs/").front();
    std::string bytes = *client.get_object(pack);
    bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
    client.put_object(pack, bytes, nullptr, false);
    run = host.check();
    EXPECT_EQ(run.status, 0) << run.out;
    run = host.check(" --read-data");
    EXPECT_EQ(run.status, 1) << run.out;
    const bool one = run.out.find("Record one: damaged: ") != std::string::npos;
    const bool two = run.out.find("Record two: damaged: ") != std::string::npos;
    EXPECT_NE(one, two) << run.out;
    EXPECT_NE(run.out.find(one ? "Record two: sound, data read\n" : "Record one: sound, data read\n"),
              std::string::npos) << run.out;

    // The pack removed: the check names it.
    client.delete_object(pack);
    run = host.check();
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find(std::string("Record ") + (one ? "one" : "two") + ": missing pack " +
                           pack.substr(pack.rfind('/') + 1) + "\n"),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find(one ? "Record two: sound\n" : "Record one: sound\n"), std::string::npos) << run.out;
}

// Packs gone from the bucket: a later backup stores their blocks again instead of
// naming them, whether an index or the incremental's reference names them.
TEST(S3Program, BlocksOfMissingPacksAreStoredAgain) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    Host host(gw, location(gw, bucket));
    const fs::path image = host.work() / "disk.img";
    make_image(image, 48 << 20, 12);
    const std::string list = host.list_of(image);
    ASSERT_EQ(host.backup(list, "full_1").status, 0);
    zvfd::S3Client client(gw.location(bucket), gw.keys());
    client.delete_object(client.list_keys("site/kvm/packs/").front());
    auto run = host.backup(list, "full_2");
    ASSERT_EQ(run.status, 0) << run.out;
    run = host.restore("full_2", host.work() / "r2");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r2" / "vda", image);

    // The whole repository gone: the reference's blocks are no longer there either.
    for (const auto& key : client.list_keys("site/kvm/")) client.delete_object(key);
    overwrite(image, 1 << 20, 64 << 10, 13);
    run = host.backup(list, "incremental_3", "42", host.meta("full_2"));
    ASSERT_EQ(run.status, 0) << run.out;
    run = host.restore("incremental_3", host.work() / "r3");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r3" / "vda", image);
}

TEST(S3Program, StartFailuresAreClear) {
    ZV_REQUIRE_RADOSGW(gw);
    const std::string bucket = gw.new_bucket(false);
    struct Case {
        std::string location;
        std::string says;
    } cases[] = {
        {location(gw, "zvtest-missing-bucket"), "no bucket zvtest-missing-bucket at " + gw.endpoint()},
        {location(gw, bucket, " retry_seconds=2", "http://127.0.0.1:9"), "http://127.0.0.1:9/" + bucket},
    };
    for (const Case& c : cases) {
        Host host(gw, c.location);
        make_image(host.work() / "d.img", 8 << 20, 7);
        const auto run = host.backup(host.list_of(host.work() / "d.img"), "x");
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    }
    // Wrong keys: the store refuses them, and the message says so without them.
    Host host(gw, location(gw, bucket));
    zv_test::write_file(host.box().opt() / "etc" / "media1.s3",
                        "access_key_id " + gw.keys().access_key + "\nsecret_access_key WrongWrongWrong\n");
    make_image(host.work() / "d.img", 8 << 20, 7);
    auto run = host.backup(host.list_of(host.work() / "d.img"), "x");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("does not accept the keys"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("WrongWrongWrong"), std::string::npos) << run.out;
    // A keys file others can read is refused before any request.
    ::chmod((host.box().opt() / "etc" / "media1.s3").c_str(), 0644);
    run = host.backup(host.list_of(host.work() / "d.img"), "x");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("must have mode 0600"), std::string::npos) << run.out;
}

// radosgw killed in the middle of a backup: bounded retries, a clear failure, no
// half record, earlier records intact; restarted within the window: the backup ends.
TEST(S3Program, GatewayStoppedAndRestarted) {
    ZV_REQUIRE_RADOSGW(gw);
    zv_test::SpareRadosgw spare(gw);
    ASSERT_TRUE(spare.start());
    const std::string bucket = gw.new_bucket(false);
    Host host(gw, location(gw, bucket, " retry_seconds=8", spare.endpoint()));
    const fs::path image = host.work() / "disk.img";
    make_image(image, 24 << 20, 8);
    auto run = host.backup(host.list_of(image), "before");
    ASSERT_EQ(run.status, 0) << run.out;

    make_image(host.work() / "big.img", 256 << 20, 80);
    zvfd::S3Client client(gw.location(bucket), gw.keys());
    const std::size_t packs_before = client.list_keys("site/kvm/packs/").size();
    auto failing = std::async(std::launch::async, [&] { return host.backup(host.list_of(host.work() / "big.img"), "cut"); });
    while (client.list_keys("site/kvm/packs/").size() < packs_before + 2 &&
           failing.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    }
    spare.stop();
    const auto stopped_at = std::chrono::steady_clock::now();
    run = failing.get();
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find(spare.endpoint() + "/" + bucket + "/site/kvm/"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("gave up after"), std::string::npos) << run.out;
    // Retried without end, it would never give up; within its 8 s, long before this.
    EXPECT_LT(std::chrono::steady_clock::now() - stopped_at, std::chrono::seconds(60));
    EXPECT_EQ(client.list_keys("site/kvm/tasks/42/records/"),
              std::vector<std::string>{"site/kvm/tasks/42/records/before"});

    // Down when the backup starts (a request has found it so), back within the window:
    // it completes. A window far longer than the gateway takes to start.
    zv_test::S3Relay relay(spare.endpoint());
    Host patient(gw, location(gw, bucket, " retry_seconds=600", relay.endpoint()));
    auto waiting = std::async(std::launch::async, [&] { return patient.backup(patient.list_of(image), "after"); });
    ASSERT_TRUE(zv_test::wait_for([&] { return relay.refused() > 0; })) << "the backup never tried the gateway";
    ASSERT_TRUE(spare.start());
    run = waiting.get();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(client.list_keys("site/kvm/tasks/42/records/"),
              (std::vector<std::string>{"site/kvm/tasks/42/records/after", "site/kvm/tasks/42/records/before"}));
    run = host.restore("before", host.work() / "r");
    ASSERT_EQ(run.status, 0) << run.out;
    expect_same(host.work() / "r" / "vda", image);
}

}  // namespace
