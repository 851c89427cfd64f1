// Which blocks a backup may trust: the archiver run with the module's command lines
// against a repository that was damaged, forged or cut short behind its back. Each
// case ends in a record that restores, or in a clear failure; never in exit 0 and a
// record that cannot be restored.
#include "archiver_host.h"
#include "zvfd/pack.h"
#include "zvfd/record.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <boost/filesystem.hpp>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace {

using zv_test::objects_below;
using zv_test::random_bytes;

std::string sha256(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

class RepositoryTrust : public zv_test::ArchiverHost {};

// A repository of the format before index segments, with one index object per pack:
// the index of one pack stored under another pack's name must not make the next
// full backup take the other pack's bytes for the blocks it names.
TEST_F(RepositoryTrust, IndexUnderAnotherPacksNameDoesNotMisleadAFullBackup) {
    const std::string one = source("one.img", 1 << 20, 1), two = source("two.img", 1 << 20, 2);
    ASSERT_EQ(backup(one, "one_1").status, 0);
    ASSERT_EQ(backup(two, "two_1").status, 0);
    // Back to the earlier format: no segments, an index object for each pack.
    fs::remove_all(repository() / "segments");
    std::map<std::string, std::vector<zvfd::PackEntry>> packs;
    for (const char* name : {"one_1", "two_1"}) {
        const zvfd::Record record = zvfd::read_meta_file(meta(name));
        for (const auto& b : record.files.at(0).blocks)
            packs[record.packs.at(b.pack)].push_back({b.name, b.pack_offset, b.stored, b.length, b.flags});
    }
    ASSERT_EQ(packs.size(), 2u);
    const std::string first = zvfd::read_meta_file(meta("one_1")).packs.at(0);
    const std::string second = packs.begin()->first == first ? packs.rbegin()->first : packs.begin()->first;
    // The index of pack one under the name of pack two's; pack one keeps none.
    zv_test::write_file(repository() / zvfd::index_object_name(second),
                        zvfd::encode_pack_index(first, packs[first], zvfd::no_keys(), nullptr));

    const zv_test::RunResult again = backup(one, "one_2");
    ASSERT_EQ(again.status, 0) << again.out;
    expect_restores("one_2", "one.img");
    expect_restores("two_1", "two.img");
}

// An incremental whose reference names blocks the repository does not hold (or not
// there): the blocks are stored again and the record restores.
TEST_F(RepositoryTrust, ReferenceWithBlocksTheRepositoryLacksIsNotTrusted) {
    const auto changed_disk = [] { return random_bytes(6 << 20, 3).replace(0, 4096, random_bytes(4096, 4)); };
    struct Case {
        const char* what;
        std::function<void()> damage;
    } cases[] = {
        {"the media server's directory removed", [this] { fs::remove_all(repository()); }},
        {"one of its packs removed", [this] { fs::remove(repository() / objects_below(repository(), "packs").back()); }},
        {"a metadata file that differs from the repository's record",
         [this, changed_disk] {
             // It claims that the pack holding the first block also holds the block the
             // next backup will find there: a block this repository has never seen.
             zvfd::Record forged = zvfd::read_meta_file(meta("full"));
             forged.files.at(0).blocks.at(0).name = sha256(changed_disk().substr(0, 16384));
             zvfd::write_meta_file(meta("full"), forged);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(repository());
        const std::string list = source("disk.img", 6 << 20, 3);
        ASSERT_EQ(backup(list, "full").status, 0);
        c.damage();
        zv_test::write_file(work() / "disk.img", changed_disk());
        const zv_test::RunResult run = backup(list, "incremental", " -S " + meta("full"));
        ASSERT_EQ(run.status, 0) << run.out;
        expect_restores("incremental", "disk.img");
        fs::remove(meta("incremental"));
    }
}

// A pack removed behind the archiver's back: the next full backup of the same data
// stores those blocks again instead of naming the missing pack.
TEST_F(RepositoryTrust, FullBackupAfterAPackWasRemovedRestores) {
    const std::string list = source("disk.img", 6 << 20, 5);
    ASSERT_EQ(backup(list, "first").status, 0);
    const std::vector<std::string> packs = objects_below(repository(), "packs");
    ASSERT_EQ(packs.size(), 2u);
    fs::remove(repository() / packs.front());
    ASSERT_EQ(backup(list, "second").status, 0);
    expect_restores("second", "disk.img");
    // Only the lost pack's blocks were stored again.
    EXPECT_EQ(objects_below(repository(), "packs").size(), 2u);
    ASSERT_EQ(backup(list, "third").status, 0);
    expect_restores("third", "disk.img");
}

// A flipped byte in a pack is what only reading the data finds: once the check has
// read it, the next full backup stores the damaged pack's blocks again.
TEST_F(RepositoryTrust, FullBackupAfterACheckFoundADamagedPackRestores) {
    const std::string list = source("disk.img", 6 << 20, 6);
    ASSERT_EQ(backup(list, "first").status, 0);
    const std::vector<std::string> packs = objects_below(repository(), "packs");
    ASSERT_EQ(packs.size(), 2u);
    std::string bytes = zv_test::read_file(repository() / packs.front());
    bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
    zv_test::write_file(repository() / packs.front(), bytes);

    const std::string check = "/opt/zelvor/bin/zvfd --check -M media1 -T 42 -s /opt/zelvor/var/tasks//task_secret_42";
    zv_test::RunResult run = box_.shell(check + " --read-data 2>&1");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("Record first: damaged: "), std::string::npos) << run.out;
    EXPECT_EQ(objects_below(repository(), "damaged").size(), 1u);

    ASSERT_EQ(backup(list, "healed").status, 0);
    expect_restores("healed", "disk.img");
    run = box_.shell(check + " --read-data 2>&1");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("Record first: damaged: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Record healed: sound, data read\n"), std::string::npos) << run.out;
    // What was recorded once is not recorded again.
    EXPECT_EQ(objects_below(repository(), "damaged").size(), 1u);
}

// A record's bytes copied over another record's name (any task's, with the store's
// access alone): restore and check call it damaged, and never give back the other
// record's data for it.
TEST_F(RepositoryTrust, RecordCopiedOverAnotherNameIsDamaged) {
    const std::string one = source("one.img", 1 << 20, 7), two = source("two.img", 1 << 20, 8);
    ASSERT_EQ(backup(one, "one").status, 0);
    ASSERT_EQ(backup(two, "two").status, 0);
    const fs::path records = repository() / "tasks" / "42" / "records";
    fs::remove(records / "one");
    fs::copy_file(records / "two", records / "one");
    fs::create_directories(repository() / "tasks" / "43" / "records");
    fs::copy_file(records / "two", repository() / "tasks" / "43" / "records" / "two");

    const std::string restore_of = "/opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -M media1 -s /opt/zelvor/var/tasks//task_secret_42 ";
    struct Case {
        const char* what;
        std::string command;
        std::string says;
    } cases[] = {
        {"its metadata file names it", restore_of + "-R 1001 -T 42 -m " + meta("one"),
         "record one of task 42 in the repository /opt/zelvor/var/repositories/media1 is not the record its "
         "metadata file describes"},
        {"found by its name", restore_of + "-R one -T 42", "record one of task 42 is damaged: it says it is record two of task 42"},
        {"found in another task", restore_of + "-R two -T 43", "record two of task 43 is damaged: it says it is record two of task 42"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path dir = work() / "restored";
        const zv_test::RunResult run = box_.shell(c.command + " -d " + dir.string() + " 2>&1");
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_FALSE(fs::exists(dir / "vda"));
    }
    const zv_test::RunResult run =
        box_.shell("/opt/zelvor/bin/zvfd --check -M media1 -T 42 -s /opt/zelvor/var/tasks//task_secret_42 2>&1");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("Record one: damaged: record one of task 42 is damaged: it says it is record two"),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Record two: sound\n"), std::string::npos) << run.out;
    expect_restores("two", "two.img");
}

// A repository written by the archiver's first format (one index object per pack,
// records and metadata files of the first layout, plain and encrypted) keeps
// restoring, and its blocks count as known to later backups.
TEST_F(RepositoryTrust, FirstFormatRepositoryRestoresAndItsBlocksAreKnown) {
    const fs::path fixture = fs::path(ZV_SOURCE_DIR) / "tests" / "zvfd" / "program" / "first_format";
    fs::create_directories(repository().parent_path());
    for (const auto& e : fs::recursive_directory_iterator(fixture / "media1")) {
        const fs::path to = repository() / fs::relative(e.path(), fixture / "media1");
        if (fs::is_directory(e.path()))
            fs::create_directories(to);
        else
            fs::copy_file(e.path(), to);
    }
    for (const char* name : {"plain", "sealed"}) fs::copy_file(fixture / (std::string(name) + ".meta"), meta(name));
    for (const char* file : {"random", "text", "key"}) fs::copy_file(fixture / file, work() / file);
    const std::string sealed = " -C aes-256-gcm -k " + (work() / "key").string();
    for (const auto& [name, extra] : {std::pair<std::string, std::string>{"plain", ""}, {"sealed", sealed}}) {
        const fs::path dir = work() / ("r-" + name);
        const zv_test::RunResult run =
            box_.shell("/opt/zelvor/bin/zvfd -R 7 -M media1 -T 42 -s /opt/zelvor/var/tasks//task_secret_42 -m " +
                       meta(name) + " -d " + dir.string() + extra + " 2>&1");
        ASSERT_EQ(run.status, 0) << name << "\n" << run.out;
        for (const char* file : {"random", "text"})
            EXPECT_TRUE(zv_test::read_file(dir / file) == zv_test::read_file(work() / file)) << name << " " << file;
    }

    const fs::path list = work() / "first.list";
    zv_test::write_file(list, "ZVFD file list:\n" + (work() / "random").string() + " : random\n" +
                                  (work() / "text").string() + " : text\n");
    const std::vector<std::string> packs = objects_below(repository(), "packs");
    for (const auto& [name, extra] : {std::pair<std::string, std::string>{"again", ""}, {"again_sealed", sealed},
                                      {"incremental", " -S " + meta("plain")}}) {
        const zv_test::RunResult run = backup(list.string(), name, extra);
        ASSERT_EQ(run.status, 0) << name << "\n" << run.out;
        EXPECT_EQ(objects_below(repository(), "packs"), packs) << name << " stored known blocks again";
    }
}

}  // namespace
