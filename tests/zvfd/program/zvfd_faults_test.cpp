// The archiver where its surroundings work against it: a umask that would show a
// repository to every local user, a repository on a read-only mount, a full file
// system, planted links, a target that is a block device. Each run goes through a
// shell in a mount namespace of its own, where the test mounts what it needs.
#include "support/module_sandbox.h"
#include "support/random_data.h"
#include "support/scratch_dir.h"
#include "zvfd/cipher.h"
#include "zvfd/record.h"
#include "zvfd/repository.h"
#include "zvfd/storage.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace {

using zv_test::random_bytes;

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

const char kTask[] = " -T 42 -s /opt/zelvor/var/tasks//task_secret_42";

class ArchiverFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ZV_REQUIRE_NAMESPACES();
        box_.install_zvfd();
        zv_test::write_file(box_.opt() / "var" / "tasks" / "task_secret_42", "secret of task 42\n");
        fs::create_directories(work() / "snap");
    }

    fs::path work() const { return box_.root() / "work"; }
    fs::path repository() const { return box_.opt() / "var" / "repositories" / "media1"; }
    std::string meta(const std::string& name) const { return (work() / "snap" / (name + ".meta")).string(); }

    // A source file of random data and a list naming it "vda".
    std::string source(const std::string& file, std::size_t size, unsigned seed) const {
        zv_test::write_file(work() / file, random_bytes(size, seed));
        const fs::path list = work() / (file + ".list");
        zv_test::write_file(list, "ZVFD file list:\n" + (work() / file).string() + " : vda\n");
        return list.string();
    }
    static std::string backup_command(const std::string& list, const std::string& name, const std::string& meta) {
        return "/opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -c " + list + " -z None -M media1 -N " + name + kTask +
               " -m " + meta + " 2>&1";
    }
    std::string backup_command(const std::string& list, const std::string& name) const {
        return backup_command(list, name, meta(name));
    }
    std::string restore_command(const std::string& name, const fs::path& dir, const std::string& extra = "") const {
        return "/opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -R 1001 -M media1" + std::string(kTask) + " -m " +
               meta(name) + " -d " + dir.string() + extra + " 2>&1";
    }
    static std::string check_command() {
        return "/opt/zelvor/bin/zvfd --check --read-data -M media1" + std::string(kTask) + " 2>&1";
    }
    zv_test::RunResult sh(const std::string& script) const { return box_.shell("set -e\n" + script); }

    zv_test::Sandbox box_;
};

// Under the module's umask 022 the repository, the metadata file and an archive are
// still the owner's alone; a restored file keeps the mode its record gives it.
TEST_F(ArchiverFaults, RepositoryAndOutputsArePrivateWhateverTheUmask) {
    const std::string list = source("disk.img", 1 << 20, 1);
    ::chmod((work() / "disk.img").c_str(), 0644);
    const fs::path archive = work() / "a.zvfd";
    const zv_test::RunResult run =
        sh("umask 022\n" + backup_command(list, "full") + "\n/opt/zelvor/bin/zvfd -c " + list + " -n " +
           archive.string() + " -m " + meta("autonomous") + " 2>&1\n" +
           restore_command("full", work() / "restored"));
    ASSERT_EQ(run.status, 0) << run.out;
    unsigned directories = 0, files = 0;
    for (fs::recursive_directory_iterator it(box_.opt() / "var" / "repositories"), end; it != end; ++it) {
        const bool directory = fs::is_directory(it->symlink_status());
        EXPECT_EQ(mode_of(it->path()), directory ? 0700u : 0600u) << it->path();
        ++(directory ? directories : files);
    }
    EXPECT_GT(directories, 3u);
    EXPECT_GT(files, 3u);
    EXPECT_EQ(mode_of(box_.opt() / "var" / "repositories"), 0700u);
    for (const std::string& path : {meta("full"), meta("autonomous"), archive.string()})
        EXPECT_EQ(mode_of(path), 0600u) << path;
    EXPECT_EQ(mode_of(work() / "restored" / "vda"), 0644u);
}

// A copy of a repository on a read-only mount restores and is checked; a check that
// finds damage there says so, and only warns that it cannot note the damaged pack.
TEST_F(ArchiverFaults, ReadOnlyRepositoryRestoresAndIsChecked) {
    const std::string list = source("disk.img", 6 << 20, 2);
    ASSERT_EQ(sh(backup_command(list, "full")).status, 0);
    fs::remove_all(repository() / ".tmp");  // a copy holds the objects alone
    const std::string seen = "/opt/zelvor/var/repositories/media1";
    const std::string read_only = "mount --bind " + seen + " " + seen + "\nmount -o remount,bind,ro " + seen + "\n";
    zv_test::RunResult run = sh(read_only + "if touch " + seen + "/x 2>/dev/null; then exit 3; fi\n" +
                                restore_command("full", work() / "restored") + "\n" + check_command());
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(zv_test::read_file(work() / "restored" / "vda") == zv_test::read_file(work() / "disk.img"));
    EXPECT_NE(run.out.find("Record full: sound, data read\n"), std::string::npos) << run.out;

    fs::path pack;
    for (const auto& e : fs::recursive_directory_iterator(repository() / "packs"))
        if (fs::is_regular_file(e.path())) pack = e.path();
    std::string bytes = zv_test::read_file(pack);
    bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
    zv_test::write_file(pack, bytes);
    run = sh(read_only + "set +e\n" + check_command() + "\necho status $?");
    EXPECT_NE(run.out.find("Record full: damaged: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("cannot note the packs found damaged or missing in the repository"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("status 1\n"), std::string::npos) << run.out;
}

// A restore writes below its directory only, through no link and over nothing but a
// regular file (or, applying a replica, a block device): a link someone planted in the
// target tree, even under the part file's name, leaves what it points at untouched.
TEST_F(ArchiverFaults, RestoreNeverWritesThroughALink) {
    zv_test::write_file(work() / "r.bin", random_bytes(100000, 3));
    zv_test::write_file(work() / "t.txt", "the record's text\n");
    const fs::path list = work() / "two.list";
    zv_test::write_file(list, "ZVFD file list:\n" + (work() / "r.bin").string() + " : d/r.bin\n" +
                                  (work() / "t.txt").string() + " : t.txt\n");
    ASSERT_EQ(sh(backup_command(list.string(), "two")).status, 0);
    const fs::path outside = work() / "outside";
    const fs::path victim = outside / "victim";
    struct Case {
        const char* what;
        std::function<void(const fs::path& target)> plant;
        const char* extra;
        const char* says;  // empty: the restore succeeds
    } cases[] = {
        {"a directory of the record is a link", [&](const fs::path& t) { fs::create_directory_symlink(outside, t / "d"); },
         "", "d is a link or not a directory; a restore does not write through it"},
        {"a part file's name is a link",
         [&](const fs::path& t) { fs::create_symlink(victim, t / "t.txt.zvfd-part"); }, "", ""},
        {"a replica's file is a link", [&](const fs::path& t) { fs::create_symlink(victim, t / "t.txt"); }, " -E",
         "t.txt is neither a regular file nor a block device; a restore does not replace it"},
        {"a file of the record is a link", [&](const fs::path& t) { fs::create_symlink(victim, t / "t.txt"); }, "",
         "t.txt is not a regular file; a restore does not replace it"},
        {"a file of the record is a directory", [&](const fs::path& t) { fs::create_directories(t / "t.txt" / "x"); },
         "", "t.txt is not a regular file"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(outside);
        zv_test::write_file(victim, "kept outside\n");
        ::chmod(victim.c_str(), 0600);
        const fs::path target = work() / ("target" + std::to_string(n++));
        fs::create_directories(target);
        c.plant(target);
        const zv_test::RunResult run = sh("set +e\n" + restore_command("two", target, c.extra) + "\necho status $?");
        if (*c.says) {
            EXPECT_NE(run.out.find("status 1\n"), std::string::npos) << run.out;
            EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
            EXPECT_FALSE(fs::exists(target / "d" / "r.bin"));
        } else {
            EXPECT_NE(run.out.find("status 0\n"), std::string::npos) << run.out;
            EXPECT_EQ(zv_test::read_file(target / "t.txt"), "the record's text\n");
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target / "t.txt")));
        }
        EXPECT_EQ(zv_test::read_file(victim), "kept outside\n");
        EXPECT_EQ(mode_of(victim), 0600u);
        EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
        for (fs::recursive_directory_iterator it(target), end; it != end; ++it)
            EXPECT_EQ(it->path().string().find(".zvfd-part"), std::string::npos) << it->path();
    }
}

// 2000 files under a limit of 256 descriptors: a backup and a restore open each file
// while they read or write it, not all of them for the whole run.
TEST_F(ArchiverFaults, ManyFilesNeedFewDescriptors) {
    const fs::path tree = work() / "tree";
    for (int i = 0; i < 2000; ++i)
        zv_test::write_file(tree / ("d" + std::to_string(i % 7)) / ("f" + std::to_string(i)),
                            random_bytes(1000 + i, static_cast<unsigned>(i)));
    const zv_test::RunResult run =
        sh("ulimit -n 256\ncd " + tree.string() + "\n" + backup_command(".", "many") + "\n" +
           restore_command("many", work() / "restored"));
    ASSERT_EQ(run.status, 0) << run.out;
    int restored = 0;
    for (fs::recursive_directory_iterator it(work() / "restored"), end; it != end; ++it) {
        if (!fs::is_regular_file(it->path())) continue;
        ++restored;
        EXPECT_TRUE(zv_test::read_file(it->path()) == zv_test::read_file(tree / fs::relative(it->path(), work() / "restored")))
            << it->path();
    }
    EXPECT_EQ(restored, 2000);
}

// A record either restores or is not made: names of which one is the directory of
// another are refused at backup, and a record edited by hand into what a restore
// refuses (a name leaving the target, one given twice, one that is a file and a
// directory, a size no file system holds) is damaged for the check as well.
TEST_F(ArchiverFaults, RecordsThatCannotRestoreAreRefusedAndCalledDamaged) {
    source("disk.img", 1 << 20, 4);
    const fs::path nested = work() / "nested.list";
    zv_test::write_file(nested, "ZVFD file list:\n" + (work() / "disk.img").string() + " : disk\n" +
                                    (work() / "disk.img").string() + " : disk/x\n");
    zv_test::RunResult run = sh("set +e\n" + backup_command(nested.string(), "nested") + "\necho status $?");
    EXPECT_NE(run.out.find("status 1\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("the name 'disk' is a file and the directory of 'disk/x'"), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(repository() / "tasks" / "42" / "records" / "nested"));

    ASSERT_EQ(sh(backup_command(work().string() + "/disk.img.list", "good")).status, 0);
    const zvfd::Record good = zvfd::read_meta_file(meta("good"));
    struct Edit {
        const char* name;
        std::function<void(zvfd::Record&)> edit;
        const char* says;
    } edits[] = {
        {"escape", [](zvfd::Record& r) { r.files[0].name = "../vda"; }, "the name '../vda' would leave"},
        {"twice", [](zvfd::Record& r) { r.files.push_back(r.files[0]); }, "the name 'vda' is given twice"},
        {"file-and-directory", [](zvfd::Record& r) { r.files.push_back(r.files[0]); r.files[1].name = "vda/x"; },
         "the name 'vda' is a file and the directory of 'vda/x'"},
        {"huge", [](zvfd::Record& r) { r.files[0].size = 1ull << 62; }, "would be 4611686018427387904 bytes"},
    };
    zvfd::LocalStorage store(repository().string());
    zvfd::Repository repository(store, zvfd::derive_keys("nocrypt", ""));
    for (const Edit& e : edits) {
        zvfd::Record record = good;
        record.props["archive_name"] = e.name;
        e.edit(record);
        ASSERT_TRUE(repository.put_record("42", e.name, record));
    }
    run = sh("set +e\n" + check_command() + "\necho status $?");
    EXPECT_NE(run.out.find("Record good: sound, data read\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("status 1\n"), std::string::npos) << run.out;
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.name);
        const std::string line = "Record " + std::string(e.name) + ": damaged: ";
        const auto at = run.out.find(line);
        ASSERT_NE(at, std::string::npos) << run.out;
        EXPECT_NE(run.out.substr(at, run.out.find('\n', at) - at).find(e.says), std::string::npos) << run.out;
        const fs::path dir = work() / ("restored-" + std::string(e.name));
        const zv_test::RunResult restore = sh("set +e\n/opt/zelvor/bin/zvfd -R " + std::string(e.name) +
                                              " -M media1" + kTask + " -d " + dir.string() + " 2>&1\necho status $?");
        EXPECT_NE(restore.out.find("status 1\n"), std::string::npos) << restore.out;
        EXPECT_NE(restore.out.find(e.says), std::string::npos) << restore.out;
        EXPECT_TRUE(!fs::exists(dir) || fs::is_empty(dir)) << dir;
    }
}

// A metadata file that cannot be written (its file system is full) fails the backup
// with a message naming it, before the record is stored: once there is room, the same
// backup under the same name succeeds.
TEST_F(ArchiverFaults, MetadataFileOnAFullFileSystemLeavesNoRecord) {
    const std::string list = source("disk.img", 8 << 20, 5);
    const fs::path full = work() / "full";
    fs::create_directories(full);
    const std::string meta_path = (full / "vm.meta").string();
    const fs::path record = repository() / "tasks" / "42" / "records" / "vm";
    const zv_test::RunResult run =
        sh("mount -t tmpfs -o size=256k zvtest " + full.string() + "\ndd if=/dev/zero of=" + full.string() +
           "/filler bs=4k 2>/dev/null || true\nset +e\n" + backup_command(list, "vm", meta_path) +
           "\necho status $?\ntest -e " + record.string() + " && echo record stored\nrm " + full.string() +
           "/filler\n" + backup_command(list, "vm", meta_path) + "\necho status $?\n/opt/zelvor/bin/zvfd -l " +
           meta_path + " -v 1\nls " + full.string());
    const std::string first = run.out.substr(0, run.out.find("status "));
    EXPECT_NE(first.find("cannot write the metadata file " + meta_path + ": write failed: No space left on device"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("status 1\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("record stored"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("status 0\n8388608 vda\nvm.meta\n"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(record));
}

// A restore onto a file system that fills up fails, names what it could not write,
// and leaves no part of the file behind (its writes run beside the workers that
// unpack, and their failure must still reach the run).
TEST_F(ArchiverFaults, RestoreOntoAFullFileSystemFailsAndLeavesNothing) {
    const std::string list = source("disk.img", 24 << 20, 11);
    ASSERT_EQ(sh(backup_command(list, "full")).status, 0);
    const fs::path full = work() / "full";
    fs::create_directories(full);
    const zv_test::RunResult run = sh("mount -t tmpfs -o size=4m zvtest " + full.string() + "\nset +e\n" +
                                      restore_command("full", full / "out") + "\necho status $?\nls -A " +
                                      (full / "out").string());
    EXPECT_NE(run.out.find("No space left on device"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find((full / "out" / "vda").string()), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("status 1\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.substr(run.out.find("status 1\n") + 9), "") << run.out;
}

// Objects and files are taken whole only up to the size their kind can have: one grown
// (sparse) to 20 GiB is damaged, said so with its name, and takes no memory; under a
// limit of 2 GiB of address space, taking it would fail.
TEST_F(ArchiverFaults, ObjectsGrownPastTheirSizeAreDamagedAndTakeNoMemory) {
    const std::string list = source("disk.img", 6 << 20, 6);
    ASSERT_EQ(sh(backup_command(list, "full")).status, 0);
    const auto first_below = [&](const std::string& dir) {
        for (const auto& e : fs::recursive_directory_iterator(repository() / dir))
            if (fs::is_regular_file(e.path())) return e.path();
        return fs::path();
    };
    const std::string limited = "ulimit -v 2000000\nset +e\n";
    const struct {
        const char* what;
        fs::path grown;
        std::string command;
        std::string says;
        int status;
    } cases[] = {
        {"a pack", first_below("packs"), restore_command("full", work() / "r1"), "is damaged: it holds 21474836480", 1},
        {"a pack, checked", first_below("packs"), check_command(), "Record full: damaged: object packs/", 1},
        {"an index segment", first_below("segments"), backup_command(list, "again"), "", 0},
        {"the task's mark", repository() / "tasks" / "42" / "secret", backup_command(list, "marked"),
         "object tasks/42/secret in /opt/zelvor/var/repositories/media1 is damaged", 1},
        {"the metadata file", meta("full"), restore_command("full", work() / "r2"),
         "metadata file " + meta("full") + " is truncated or damaged", 1},
        {"the task secret file", box_.opt() / "var" / "tasks" / "task_secret_42", backup_command(list, "secret"),
         "task secret file /opt/zelvor/var/tasks//task_secret_42 is damaged", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(c.grown.empty());
        const std::uintmax_t size = fs::file_size(c.grown);
        fs::resize_file(c.grown, 20ull << 30);
        const zv_test::RunResult run = sh(limited + c.command + "\necho status $?");
        fs::resize_file(c.grown, size);
        EXPECT_NE(run.out.find("status " + std::to_string(c.status) + "\n"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("bad_alloc"), std::string::npos) << run.out;
    }
}

}  // namespace
