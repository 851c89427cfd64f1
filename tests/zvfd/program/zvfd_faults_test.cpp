// The archiver where its surroundings work against it: a umask that would show a
// repository to every local user, a repository on a read-only mount, a full file
// system, planted links, a target that is a block device. Each run goes through a
// shell in a mount namespace of its own, where the test mounts what it needs.
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string data(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(&data[i], &word, 8);
    }
    return data;
}

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

}  // namespace
