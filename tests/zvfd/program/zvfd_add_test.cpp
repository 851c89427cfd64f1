// Adding files to a record or an archive file with the command lines the module builds
// for it ("cd 'D' && zvfd ... -U NAME --add LIST -M -T -s -m ..." and "-u ARCHIVE --add
// LIST"): the new version holds the old files and the new ones, nothing stored before
// changes, the metadata file describes the new version, and a refused addition leaves
// everything as it was.
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <random>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using zv_test::read_file;
using zv_test::write_file;

namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(gen());
    return data;
}

const char* const kSecret = " -s /opt/zelvor/var/tasks//task_secret_42";
const char* const kCrypt = " -C aes-256-gcm -k /opt/zelvor/keys/zvfd.key";

class RecordAddition : public ::testing::Test {
protected:
    void SetUp() override {
        ZV_REQUIRE_NAMESPACES();
        box_.install_zvfd();
        write_file(box_.opt() / "var/tasks/task_secret_42", "secret of task 42\n");
        write_file(box_.opt() / "keys/zvfd.key", "key of the site");
        write_file(src() / "target_list", "vda " + (src() / "vda.img").string() + "\n");
        write_file(src() / "vda.img", random_bytes(3 << 20, 1) + std::string(1 << 20, '\0') + "tail");
        write_file(src() / "special1", random_bytes(100000, 2));
        write_file(src() / "special2", "second special record\n");
        write_file(work() / "zvfd.list", "ZVFD file list:\n" + (src() / "target_list").string() + " : target_list\n" +
                                             (src() / "vda.img").string() + " : vda\n");
        fs::create_directories(snap_dir());
    }

    fs::path src() const { return box_.root() / "src"; }
    fs::path work() const { return box_.root() / "op"; }
    fs::path snap_dir() const { return work() / "vm1_full_1.snap_dir"; }
    std::string meta() const { return (snap_dir() / "vm1_full_1.meta").string(); }
    fs::path repository() const { return box_.opt() / "var/repositories/media1"; }
    fs::path record_object() const { return repository() / "tasks/42/records/vm1_full_1"; }
    fs::path addition(int n) const { return repository() / "tasks/42/additions/vm1_full_1" / std::to_string(n); }

    // The list file as the module rewrites it for the records it adds.
    std::string special_list(const std::string& records) const {
        write_file(work() / "special.list", "ZVFD file list:\n" + records);
        return (work() / "special.list").string();
    }
    std::string listed(const std::string& file, const std::string& name) const {
        return "   " + (src() / file).string() + " : " + name + "\n";
    }

    zv_test::RunResult zvfd(const std::string& arguments) const {
        return box_.shell("/opt/zelvor/bin/zvfd" + arguments + " 2>&1");
    }
    zv_test::RunResult backup(const std::string& target) const {
        return box_.shell("cd / && /opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -c " + (work() / "zvfd.list").string() +
                          " -x /opt/zelvor/keys/master-key,/opt/zelvor/keys/secret-key.pem -z None" + target + kCrypt +
                          " 2>&1");
    }
    // The server-mode addition, its fragments in the module's order.
    zv_test::RunResult add(const std::string& list, const std::string& head = " -a sha2 -2  -b 16384",
                           const std::string& after_meta = std::string(kCrypt) + " -z fast") const {
        return box_.shell("cd '" + work().string() + "' && /opt/zelvor/bin/zvfd" + head + " -U vm1_full_1 --add " +
                          list + " -M media1 -T 42" + kSecret + " -m " + meta() + after_meta + " 2>&1");
    }
    // A restore as the module runs it, as a task of its own: by the record id and the
    // metadata file, or by the record's name alone.
    zv_test::RunResult restore(const fs::path& to, const std::string& by) const {
        const std::string record = by.empty() ? "vm1_full_1" : "1001 -m " + by;
        return zvfd(" -a sha2 -2  -b 16384 -R " + record + " -M media1 -T 77 -s /opt/zelvor/var/tasks//task_secret_77" +
                    " -d " + to.string() + kCrypt);
    }

    // The names below `dir`, each with its bytes compared to the source it came from.
    void expect_restored(const fs::path& dir, const std::vector<std::pair<std::string, std::string>>& files) const {
        std::vector<std::string> found, wanted;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (fs::is_regular_file(e.path())) found.push_back(fs::relative(e.path(), dir).string());
        for (const auto& [name, source] : files) {
            wanted.push_back(name);
            EXPECT_TRUE(read_file(dir / name) == read_file(src() / source)) << name;
        }
        std::sort(found.begin(), found.end());
        std::sort(wanted.begin(), wanted.end());
        EXPECT_EQ(found, wanted) << dir;
    }

    zv_test::Sandbox box_;
};

using Files = std::vector<std::pair<std::string, std::string>>;

TEST_F(RecordAddition, NewVersionHoldsOldAndAddedFilesAndLeavesTheRecordAsItWas) {
    ASSERT_EQ(backup(" -M media1 -N vm1_full_1 -T 42" + std::string(kSecret) + " -m " + meta()).status, 0);
    const std::string record_before = read_file(record_object());
    const std::string meta_before = read_file(meta());
    write_file(work() / "before.meta", meta_before);
    const fs::path key = box_.root() / "secret-key.pem", pass = box_.root() / "master-key";
    write_file(pass, "pass phrase\n");
    const zv_test::RunResult keys = box_.shell(
        "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -aes256 -pass file:" + pass.string() +
        " -out " + key.string() + " 2>&1 && openssl pkey -in " + key.string() + " -passin file:" + pass.string() +
        " -pubout -out " + (box_.root() / "public.pem").string() + " 2>&1");
    ASSERT_EQ(keys.status, 0) << keys.out;
    const std::string signature = (work() / "vm1_full_1.signature").string();

    const zv_test::RunResult first =
        add(special_list(listed("special1", "special1")), " -a sha2 -2  -b 16384",
            " -g " + signature + " --passin " + pass.string() + " --sign " + key.string() + " -p 2" + kCrypt +
                " -z fast --memory-threshold 1024");
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(first.out.rfind("ZVFD PID: ", 0), 0u) << first.out;
    EXPECT_TRUE(read_file(record_object()) == record_before) << "the record was rewritten";
    EXPECT_TRUE(fs::exists(addition(1)));
    EXPECT_EQ(zvfd(" -l " + meta()).out, "target_list\nvda\nspecial1\n");
    // In server mode the signature covers the metadata file, now the new version's.
    const zv_test::RunResult verified = box_.shell("openssl dgst -sha256 -verify " + (box_.root() / "public.pem").string() +
                                                   " -signature " + signature + " " + meta() + " 2>&1");
    EXPECT_EQ(verified.status, 0) << verified.out;

    const zv_test::RunResult second = add(special_list(listed("special2", "sub/special2")));
    ASSERT_EQ(second.status, 0) << second.out;
    const Files all = {{"target_list", "target_list"}, {"vda", "vda.img"}, {"special1", "special1"},
                       {"sub/special2", "special2"}};
    const struct {
        const char* what;
        std::string by;
        Files files;
    } restores[] = {
        {"by the metadata file", meta(), all},
        {"by the record's name, the newest version", "", all},
        {"by the metadata file of the backup, its own version", (work() / "before.meta").string(),
         {{"target_list", "target_list"}, {"vda", "vda.img"}}},
    };
    int n = 0;
    for (const auto& r : restores) {
        SCOPED_TRACE(r.what);
        const fs::path to = box_.root() / ("restored-" + std::to_string(n++));
        const zv_test::RunResult run = restore(to, r.by);
        ASSERT_EQ(run.status, 0) << run.out;
        expect_restored(to, r.files);
    }

    const zv_test::RunResult check = zvfd(" --check -M media1 -T 42" + std::string(kSecret) + kCrypt + " --read-data");
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(check.out,
              "Record vm1_full_1: sound, data read\nRecord vm1_full_1 addition 1: sound, data read\n"
              "Record vm1_full_1 addition 2: sound, data read\n");

    // The new version is a record of the repository: a backup that takes its metadata
    // file for the reference trusts its blocks.
    const zv_test::RunResult incremental = backup(" -M media1 -N vm1_incr_1 -T 42" + std::string(kSecret) + " -m " +
                                                  (work() / "incr.meta").string() + " -S " + meta());
    ASSERT_EQ(incremental.status, 0) << incremental.out;
    EXPECT_EQ(incremental.out.find("is not a record of"), std::string::npos) << incremental.out;
}

TEST_F(RecordAddition, RefusedAdditionsChangeNothing) {
    ASSERT_EQ(backup(" -M media1 -N vm1_full_1 -T 42" + std::string(kSecret) + " -m " + meta()).status, 0);
    const std::string meta_before = read_file(meta());
    write_file(box_.root() / "wrong-secret", "not the secret\n");
    write_file(box_.root() / "other.key", "another key");
    const std::string good = special_list(listed("special1", "special1"));
    const std::string held = (work() / "held.list").string();
    write_file(held, "ZVFD file list:\n" + listed("special1", "special1") + listed("special2", "vda"));
    const std::string missing = (work() / "missing.list").string();
    write_file(missing, "ZVFD file list:\n" + listed("no-such-file", "x"));
    const std::string below = (work() / "below.list").string();
    write_file(below, "ZVFD file list:\n" + listed("special1", "vda/special1"));
    const std::string head = " -a sha2 -2  -b 16384";
    const struct {
        const char* what;
        zv_test::RunResult run;
        const char* message;
    } cases[] = {
        {"a name the record holds", add(held), "holds a file named 'vda' already"},
        {"a listed file that is missing", add(missing), "no-such-file"},
        {"a name below a file the record holds", add(below), "the name 'vda' is a file and the directory of"},
        {"another block digest", add(good, " -a sha2 -5  -b 16384"), "names its blocks with sha256"},
        {"another key", add(good, head, " -C aes-256-gcm -k " + (box_.root() / "other.key").string()),
         "another key"},
        {"no key", add(good, head, ""), "encrypted"},
        {"the wrong task secret",
         zvfd(head + " -U vm1_full_1 --add " + good + " -M media1 -T 42 -s " + (box_.root() / "wrong-secret").string() +
              " -m " + meta() + kCrypt),
         "does not authorise task 42"},
        {"a record the task lacks",
         zvfd(head + " -U vm9_full_1 --add " + good + " -M media1 -T 42" + kSecret + " -m " + meta() + kCrypt),
         "has no record vm9_full_1"},
        {"no metadata file", zvfd(head + " -U vm1_full_1 --add " + good + " -M media1 -T 42" + kSecret + kCrypt),
         "metadata file (-m)"},
        {"-U without --add", zvfd(head + " -U vm1_full_1 -M media1 -T 42" + kSecret + " -m " + meta()), "--add"},
        {"both -U and -u",
         zvfd(head + " -U vm1_full_1 -u " + (work() / "a.zvfd").string() + " --add " + good + " -M media1 -T 42" +
              kSecret + " -m " + meta() + kCrypt),
         "one of them"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.run.status, 1) << c.run.out;
        EXPECT_NE(c.run.out.find("zvfd: error: "), std::string::npos) << c.run.out;
        EXPECT_NE(c.run.out.find(c.message), std::string::npos) << c.run.out;
    }
    EXPECT_FALSE(fs::exists(addition(1).parent_path()));
    EXPECT_TRUE(read_file(meta()) == meta_before);

    // A pack of the record gone: a new version would name it too, and not restore.
    std::vector<fs::path> packs;
    for (const auto& e : fs::recursive_directory_iterator(repository() / "packs"))
        if (fs::is_regular_file(e.path())) packs.push_back(e.path());
    ASSERT_FALSE(packs.empty());
    for (const auto& pack : packs) fs::remove(pack);
    const zv_test::RunResult lost = add(good);
    EXPECT_EQ(lost.status, 1) << lost.out;
    EXPECT_NE(lost.out.find("which the repository lacks or a check found damaged"), std::string::npos) << lost.out;
    EXPECT_FALSE(fs::exists(addition(1).parent_path()));
    EXPECT_TRUE(read_file(meta()) == meta_before);
}

TEST_F(RecordAddition, ArchiveFileIsWrittenAnewWithTheAddedFiles) {
    const fs::path archive = work() / "vm1_full_1.zvfd";
    ASSERT_EQ(backup(" -n " + archive.string() + " -m " + meta()).status, 0);
    const std::string archive_before = read_file(archive);
    const std::string head = "cd '" + work().string() + "' && /opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -u ";

    // Refused: the archive stays byte for byte, and no temporary file is left.
    const zv_test::RunResult refused = box_.shell(
        head + archive.string() + " --add " + special_list(listed("special1", "target_list")) + kCrypt + " 2>&1");
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_TRUE(read_file(archive) == archive_before);

    // The module names the archive with its ".zvfd"; the name without it serves too.
    const std::string stem = (work() / "vm1_full_1").string();
    for (const auto& [target, record] : {std::pair<std::string, std::string>{archive.string(), "special1"},
                                         {stem, "special2"}}) {
        const zv_test::RunResult added = box_.shell(head + target + " --add " +
                                                    special_list(listed(record, record)) + kCrypt + " 2>&1");
        ASSERT_EQ(added.status, 0) << added.out;
    }
    EXPECT_FALSE(fs::exists(archive.string() + ".part"));
    EXPECT_FALSE(fs::exists(stem));
    const fs::path to = box_.root() / "restored";
    const zv_test::RunResult run = zvfd(" -r " + archive.string() + " -d " + to.string() + kCrypt);
    ASSERT_EQ(run.status, 0) << run.out;
    expect_restored(to, {{"target_list", "target_list"}, {"vda", "vda.img"}, {"special1", "special1"},
                         {"special2", "special2"}});
}

}  // namespace
