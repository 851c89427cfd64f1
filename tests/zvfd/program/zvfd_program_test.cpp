// The archiver run as the module runs it: a child process with arguments, read
// through its merged output, with a scratch directory standing for /opt/zelvor.
// Round trips check content, holes and modes; the test aid checks that tests can
// make it fail, hang or misbehave on purpose.
#include "support/hold.h"
#include "support/module_sandbox.h"
#include "support/zvfd_argv_log.h"
#include "support/scratch_dir.h"
#include "zvfd/record.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <string_view>
#include <tuple>
#include <unordered_set>

namespace fs = boost::filesystem;

namespace {

using zv_test::read_file;

using Env = std::map<std::string, std::string>;

struct ZvfdRun {
    int status = -1;  // exit code, or 128 + signal
    std::string out;  // stdout and stderr, merged as the module merges them
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }
};

// Starts the archiver with exactly these arguments and environment additions, in a
// mount namespace of its own where `opt` stands for /opt/zelvor.
pid_t spawn(const std::vector<std::string>& args, const Env& env, const fs::path& cwd, int& read_fd,
            const fs::path& opt) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("zvtest", "/opt", "tmpfs", 0, "mode=0755") != 0 || ::mkdir("/opt/zelvor", 0755) != 0 ||
            ::mount(opt.c_str(), "/opt/zelvor", nullptr, MS_BIND, nullptr) != 0)
            ::_exit(125);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        std::string program = zv_test::zvfd_binary();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    read_fd = fds[0];
    return pid;
}

int wait_status(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string read_all(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

// One line from a pipe, byte by byte, so a test can react while the child runs.
std::string read_line(int fd) {
    std::string line;
    for (char c; ::read(fd, &c, 1) == 1 && c != '\n';) line += c;
    return line;
}

std::string sha256_of(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    std::vector<char> buf(1 << 20);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0)
        EVP_DigestUpdate(ctx, buf.data(), static_cast<std::size_t>(in.gcount()));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

std::uint64_t allocated(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

void write_random(int fd, std::uint64_t offset, std::size_t len, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<char> buf(len);
    for (auto& c : buf) c = static_cast<char>(gen());
    ASSERT_EQ(::pwrite(fd, buf.data(), len, static_cast<off_t>(offset)), static_cast<ssize_t>(len));
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream(path.string(), std::ios::binary) << text;
}

bool any_part_file(const fs::path& dir) {
    if (!fs::exists(dir)) return false;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.path().extension() == ".part" || e.path().extension() == ".zvfd-part") return true;
    return false;
}

class ZvfdProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root and mount namespaces";
        dir_ = fs::temp_directory_path() / fs::unique_path("zvfd-program-%%%%-%%%%");
        fs::create_directories(dir_ / "src");
        fs::create_directories(dir_ / "snap");
        fs::create_directories(dir_ / "opt" / "var" / "tasks");
        write_file(dir_ / "opt" / "var" / "tasks" / "task_secret_42", "secret of task 42\n");
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // Host paths of the repository of media server media1 and of a record in it.
    fs::path repository() const { return dir_ / "opt" / "var" / "repositories" / "media1"; }
    fs::path record_object(const std::string& name) const { return repository() / "tasks" / "42" / "records" / name; }
    pid_t start(const std::vector<std::string>& args, const Env& env, const fs::path& cwd, int& fd) const {
        return spawn(args, env, cwd, fd, dir_ / "opt");
    }

    ZvfdRun run(const std::vector<std::string>& args, Env extra = {}) const {
        Env env = env_;
        for (auto& [k, v] : extra) env[k] = v;
        int fd = -1;
        pid_t pid = start(args, env, dir_, fd);
        ZvfdRun r;
        r.out = read_all(fd);
        r.status = wait_status(pid);
        return r;
    }

    // A 256 MiB image whose data lies at the start, in the middle and in its last,
    // partial block, a small dense file, an empty file and one that is all hole.
    void make_sources() {
        const fs::path image = dir_ / "src" / "disk.img";
        int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0640);
        ASSERT_GE(fd, 0);
        const std::uint64_t size = (256ull << 20) + 1000;
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        write_random(fd, 0, 3 << 20, 1);
        write_random(fd, 128ull << 20, 5 << 20, 2);
        write_random(fd, size - 700, 700, 3);
        ::close(fd);
        write_file(dir_ / "src" / "target_list", "UUID vm1\nvda " + image.string() + "\n");
        write_file(dir_ / "src" / "empty", "");
        fd = ::open((dir_ / "src" / "hole").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(::ftruncate(fd, 64 << 20), 0);
        ::close(fd);
        std::ofstream list((dir_ / "zvfd.list").string());
        list << "ZVFD file list:\n"
             << (dir_ / "src" / "target_list").string() << " : target_list\n"
             << image.string() << " : vda\n"
             << "   " << (dir_ / "src" / "empty").string() << " : sub/empty\n"
             << (dir_ / "src" / "hole").string() << " : hole\n";
    }

    std::vector<std::string> server_backup(const std::string& name) const {
        return {"-a", "sha2", "-2", "-b", "16384", "-c", (dir_ / "zvfd.list").string(),
                "-x", "/opt/zelvor/keys/master-key,/opt/zelvor/keys/secret-key.pem", "-z", "None",
                "-M", "media1", "-N", name, "-T", "42", "-s", "/opt/zelvor/var/tasks//task_secret_42",
                "-m", meta(name)};
    }
    std::vector<std::string> task_args() const {
        return {"-T", "42", "-s", "/opt/zelvor/var/tasks//task_secret_42"};
    }
    std::string meta(const std::string& name) const { return (dir_ / "snap" / (name + ".meta")).string(); }

    void expect_same_files(const fs::path& restored) const {
        const std::map<std::string, std::string> names = {
            {"target_list", "target_list"}, {"vda", "disk.img"}, {"sub/empty", "empty"}, {"hole", "hole"}};
        for (const auto& [archived, source] : names) {
            fs::path a = restored / archived, b = dir_ / "src" / source;
            ASSERT_TRUE(fs::exists(a)) << archived;
            EXPECT_EQ(fs::file_size(a), fs::file_size(b)) << archived;
            EXPECT_EQ(sha256_of(a), sha256_of(b)) << archived;
            EXPECT_EQ(mode_of(a), mode_of(b)) << archived;
            // As sparse as the source: holes come back as holes.
            EXPECT_LE(allocated(a), allocated(b) + 8192) << archived;
        }
    }

    fs::path dir_;
    Env env_;
};

TEST_F(ZvfdProgram, ServerBackupAndRestoreKeepContentHolesAndModes) {
    make_sources();
    ZvfdRun backup = run(server_backup("vm1_full_1"));
    ASSERT_EQ(backup.status, 0) << backup.out;
    auto lines = backup.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("ZVFD PID: ", 0), 0u);
    EXPECT_GT(std::stol(lines[0].substr(10)), 0);
    int packed = 0, transferred = 0;
    for (const auto& l : lines) {
        packed += l.rfind("Packed: ", 0) == 0;
        transferred += l.rfind("Transferred: ", 0) == 0;
    }
    EXPECT_GE(packed, 2);
    EXPECT_GE(transferred, 2);

    ASSERT_TRUE(fs::exists(record_object("vm1_full_1")));
    // Only the 8 MiB of data cost space, not the 256 MiB of the image.
    std::uint64_t used = 0;
    for (const auto& e : fs::recursive_directory_iterator(repository()))
        if (fs::is_regular_file(e.path())) used += allocated(e.path());
    EXPECT_LT(used, 9ull << 20);
    EXPECT_TRUE(fs::exists(meta("vm1_full_1")));
    EXPECT_FALSE(any_part_file(dir_));

    ZvfdRun restore = run({"-a", "sha2", "-2", "-b", "16384", "-R", "1001", "-M", "media1", "-T", "42", "-s",
                       "/opt/zelvor/var/tasks//task_secret_42", "-m", meta("vm1_full_1"), "-d",
                       (dir_ / "op" / "1001.rest").string()});
    ASSERT_EQ(restore.status, 0) << restore.out;
    EXPECT_EQ(restore.lines().at(0).rfind("ZVFD PID: ", 0), 0u);
    EXPECT_NE(restore.out.find("\nUnpacked: "), std::string::npos);
    expect_same_files(dir_ / "op" / "1001.rest");
    EXPECT_FALSE(any_part_file(dir_));
}

TEST_F(ZvfdProgram, AutonomousBackupWritesArchiveAndRestoresFromIt) {
    make_sources();
    fs::path archive = dir_ / "arch.zvfd";
    ZvfdRun backup = run({"-a", "sha2", "-2", "-b", "16384", "-c", (dir_ / "zvfd.list").string(), "-n",
                      archive.string(), "-m", meta("arch")});
    ASSERT_EQ(backup.status, 0) << backup.out;
    EXPECT_EQ(backup.out.find("Transferred: "), std::string::npos);
    ASSERT_TRUE(fs::exists(archive));
    EXPECT_FALSE(fs::exists(repository()));

    // The archive alone is enough: no metadata file on the restore command line.
    ZvfdRun restore = run({"-a", "sha2", "-2", "-b", "16384", "-r", archive.string(), "-d", (dir_ / "out").string()});
    ASSERT_EQ(restore.status, 0) << restore.out;
    expect_same_files(dir_ / "out");
}

// A loop device over a sparse file: the device cannot be asked for holes, so runs of
// zero blocks must be left out while reading or the restored image would be dense.
class LoopDevice {
public:
    explicit LoopDevice(const fs::path& file) {
        FILE* p = ::popen(("losetup -f --show " + file.string() + " 2>/dev/null").c_str(), "r");
        if (!p) return;
        char buf[256] = {};
        if (std::fgets(buf, sizeof buf, p)) device_ = std::string(buf, std::strcspn(buf, "\n"));
        if (::pclose(p) != 0) device_.clear();
    }
    ~LoopDevice() {
        if (!device_.empty()) std::system(("losetup -d " + device_).c_str());
    }
    const std::string& device() const { return device_; }

private:
    std::string device_;
};

TEST_F(ZvfdProgram, BlockDeviceComesBackAsSparseFile) {
    const fs::path backing = dir_ / "src" / "lv.img";
    int fd = ::open(backing.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(::ftruncate(fd, 64 << 20), 0);
    write_random(fd, 1 << 20, 1 << 20, 4);
    write_random(fd, (64 << 20) - 4096, 4096, 5);
    ::close(fd);
    LoopDevice loop(backing);
    if (loop.device().empty()) GTEST_SKIP() << "no loop device can be set up here";
    write_file(dir_ / "dev.list", "ZVFD file list:\n" + loop.device() + " : vdb\n");
    ZvfdRun backup = run({"-c", (dir_ / "dev.list").string(), "-n", (dir_ / "d.zvfd").string(), "-m", meta("d")});
    ASSERT_EQ(backup.status, 0) << backup.out;
    ZvfdRun restore = run({"-r", (dir_ / "d.zvfd").string(), "-d", (dir_ / "out").string()});
    ASSERT_EQ(restore.status, 0) << restore.out;
    EXPECT_EQ(sha256_of(dir_ / "out" / "vdb"), sha256_of(backing));
    EXPECT_LE(allocated(dir_ / "out" / "vdb"), (1 << 20) + 8192);
}

// A replica lists block disks by their device path; applied onto a device node, the
// replica is written into the device in place (the node stays a device), the ranges
// the record holds as zeros read as zeros, and what lies past the record's size stays.
TEST_F(ZvfdProgram, ReplicaAppliedOntoABlockDeviceWritesTheDevice) {
    const fs::path image = dir_ / "src" / "disk.img";
    int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(::ftruncate(fd, 8 << 20), 0);
    write_random(fd, 0, 2 << 20, 21);
    write_random(fd, 6 << 20, 2 << 20, 22);
    ::close(fd);
    const fs::path backing = dir_ / "lv.img";
    fd = ::open(backing.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    write_random(fd, 0, 16 << 20, 23);
    ::close(fd);
    const std::string old_tail = read_file(backing).substr(8 << 20);
    LoopDevice loop(backing);
    if (loop.device().empty()) GTEST_SKIP() << "no loop device can be set up here (losetup -f failed)";
    write_file(dir_ / "rep.list", "ZVFD file list:\n" + image.string() + " : dev/vdb\n");
    auto args = task_args();
    args.insert(args.end(), {"-c", (dir_ / "rep.list").string(), "-M", "media1", "-N", "rep", "-m", meta("rep")});
    ASSERT_EQ(run(args).status, 0);
    struct stat device {};
    ASSERT_EQ(::stat(loop.device().c_str(), &device), 0);
    fs::create_directories(dir_ / "dest" / "dev");
    const fs::path node = dir_ / "dest" / "dev" / "vdb";
    ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, device.st_rdev), 0);

    auto apply = task_args();
    apply.insert(apply.end(), {"-R", "rep", "-M", "media1", "-m", meta("rep"), "-d", (dir_ / "dest").string(), "-E"});
    ZvfdRun applied = run(apply);
    ASSERT_EQ(applied.status, 0) << applied.out;
    struct stat st {};
    ASSERT_EQ(::lstat(node.c_str(), &st), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    const std::string now = read_file(loop.device());
    ASSERT_EQ(now.size(), 16u << 20);
    EXPECT_TRUE(now.substr(0, 8 << 20) == read_file(image)) << "the device does not hold the replica";
    EXPECT_TRUE(now.substr(8 << 20) == old_tail) << "the device changed past the replica's size";
}

TEST_F(ZvfdProgram, ListingGranularRestoreAndReplicaNames) {
    make_sources();
    ASSERT_EQ(run(server_backup("rec")).status, 0);
    ZvfdRun listing = run({"-l", meta("rec"), "-v", "1"});
    ASSERT_EQ(listing.status, 0) << listing.out;
    // In list order, with the leading blanks of a list line not taken for the path.
    EXPECT_EQ(listing.out, std::to_string(fs::file_size(dir_ / "src" / "target_list")) + " target_list\n" +
                               std::to_string((256ull << 20) + 1000) + " vda\n0 sub/empty\n" +
                               std::to_string(64 << 20) + " hole\n");

    auto granular_args = task_args();
    granular_args.insert(granular_args.end(), {"-R", "rec", "-M", "media1", "-d", (dir_ / "g").string(), "-f",
                                               "target_list,hole"});
    ZvfdRun granular = run(granular_args);
    ASSERT_EQ(granular.status, 0) << granular.out;
    EXPECT_TRUE(fs::exists(dir_ / "g" / "target_list"));
    EXPECT_TRUE(fs::exists(dir_ / "g" / "hole"));
    EXPECT_FALSE(fs::exists(dir_ / "g" / "vda"));

    // A replica list holds paths alone; they come back below -d under their own path.
    write_file(dir_ / "replica.list", "ZVFD file list:\n" + (dir_ / "src" / "target_list").string() + "\n");
    auto replica_args = task_args();
    replica_args.insert(replica_args.end(),
                        {"-c", (dir_ / "replica.list").string(), "-M", "media1", "-N", "rep", "-m", meta("rep")});
    ASSERT_EQ(run(replica_args).status, 0);
    auto apply_args = task_args();
    apply_args.insert(apply_args.end(), {"-R", "9", "-M", "media1", "-m", meta("rep"), "-d", (dir_ / "dest").string(), "-E"});
    ZvfdRun apply = run(apply_args);
    ASSERT_EQ(apply.status, 0) << apply.out;
    fs::path relative = fs::path((dir_ / "src" / "target_list").string().substr(1));
    EXPECT_EQ(sha256_of(dir_ / "dest" / relative), sha256_of(dir_ / "src" / "target_list"));
}

// The names of a granular restore (-f): a list file may end its lines with CR LF, and a
// list that names nothing is an error, not a restore of nothing.
TEST_F(ZvfdProgram, GranularRestoreListsTakeCrlfAndRefuseNoNames) {
    make_sources();
    ASSERT_EQ(run(server_backup("rec")).status, 0);
    write_file(dir_ / "crlf.list", "target_list\r\nhole\r\n");
    write_file(dir_ / "empty.list", "\r\n");
    auto granular = [&](const std::string& list, const fs::path& to) {
        auto args = task_args();
        args.insert(args.end(), {"-R", "rec", "-M", "media1", "-d", to.string(), "-f", list});
        return run(args);
    };
    ZvfdRun crlf = granular((dir_ / "crlf.list").string(), dir_ / "g");
    ASSERT_EQ(crlf.status, 0) << crlf.out;
    EXPECT_EQ(sha256_of(dir_ / "g" / "target_list"), sha256_of(dir_ / "src" / "target_list"));
    EXPECT_TRUE(fs::exists(dir_ / "g" / "hole"));
    EXPECT_FALSE(fs::exists(dir_ / "g" / "vda"));
    for (const std::string& list : {std::string(","), std::string(",,"), (dir_ / "empty.list").string()}) {
        SCOPED_TRACE(list);
        ZvfdRun none = granular(list, dir_ / "none");
        EXPECT_EQ(none.status, 1) << none.out;
        EXPECT_NE(none.out.find("names no file to restore"), std::string::npos) << none.out;
        EXPECT_FALSE(fs::exists(dir_ / "none" / "target_list"));
    }
}

// A name is printed with its control characters escaped: a file named with a line feed
// cannot put a line of its own, such as a process id line, into what the module reads.
TEST_F(ZvfdProgram, ListingEscapesControlCharactersOfNames) {
    fs::create_directories(dir_ / "tree");
    for (const char* name : {"x\nZVFD PID: 1", "tab\there", "back\\slash"}) write_file(dir_ / "tree" / name, "data");
    int fd = -1;
    const pid_t pid = start({"-c", ".", "-n", (dir_ / "t.zvfd").string(), "-m", meta("t")}, env_, dir_ / "tree", fd);
    const std::string out = read_all(fd);
    ASSERT_EQ(wait_status(pid), 0) << out;
    ZvfdRun listing = run({"-l", meta("t"), "-v", "1"});
    ASSERT_EQ(listing.status, 0) << listing.out;
    EXPECT_EQ(listing.out, "4 back\\\\slash\n4 tab\\x09here\n4 x\\x0aZVFD PID: 1\n");
}

// The module's exclusions as it passes them: the key files, then the names of the
// restricted domains, which can equal names of the list or hold a comma.
TEST_F(ZvfdProgram, ExclusionsOfRestrictedDomainsDropNoListedFile) {
    make_sources();
    write_file(dir_ / "restrictions", "vda\nsub/empty\nweb,hole\ntarget_list\n");
    ZvfdRun backup = run({"-c", (dir_ / "zvfd.list").string(), "-x",
                          "/opt/zelvor/keys/master-key,/opt/zelvor/keys/secret-key.pem,vda,sub/empty,web,hole,target_list",
                          "-n", (dir_ / "r.zvfd").string(), "-m", meta("r"), "-X", (dir_ / "restrictions").string()});
    ASSERT_EQ(backup.status, 0) << backup.out;
    EXPECT_EQ(run({"-l", meta("r")}).out, "target_list\nvda\nsub/empty\nhole\n");
}

TEST_F(ZvfdProgram, DirectoryBackupSkipsExcludedPaths) {
    fs::create_directories(dir_ / "tree" / "keys");
    write_file(dir_ / "tree" / "a", "a");
    write_file(dir_ / "tree" / "keys" / "secret", "s");
    write_file(dir_ / "tree" / "b", "b");
    int fd = -1;
    Env env = env_;
    pid_t pid = start({"-c", ".", "-x", (dir_ / "tree" / "keys").string(), "-n", (dir_ / "t.zvfd").string(), "-m",
                       meta("t")},
                      env, dir_ / "tree", fd);
    std::string out = read_all(fd);
    ASSERT_EQ(wait_status(pid), 0) << out;
    ZvfdRun listing = run({"-l", meta("t")});
    EXPECT_EQ(listing.out, "a\nb\n");
}

TEST_F(ZvfdProgram, RefusalsLeaveNothingBehind) {
    make_sources();
    ASSERT_EQ(run(server_backup("taken")).status, 0);
    write_file(dir_ / "dup.list", "ZVFD file list:\n" + (dir_ / "src/empty").string() + " : x\n" +
                                      (dir_ / "src/hole").string() + " : x\n");
    write_file(dir_ / "escape.list", "ZVFD file list:\n" + (dir_ / "src/empty").string() + " : ../x\n");
    write_file(dir_ / "missing.list", "ZVFD file list:\n" + (dir_ / "src/nothing").string() + " : n\n");
    struct Case {
        const char* what;
        std::vector<std::string> args;
    } cases[] = {
        {"name listed twice", {"-c", (dir_ / "dup.list").string(), "-M", "media1", "-N", "a1", "-m", meta("a1")}},
        {"name leaving the target", {"-c", (dir_ / "escape.list").string(), "-M", "media1", "-N", "a2", "-m", meta("a2")}},
        {"missing source", {"-c", (dir_ / "missing.list").string(), "-M", "media1", "-N", "a3", "-m", meta("a3")}},
        {"archive exists", {"-c", (dir_ / "zvfd.list").string(), "-M", "media1", "-N", "taken", "-m", meta("a4")}},
        {"archive name with a slash", {"-c", (dir_ / "zvfd.list").string(), "-M", "media1", "-N", "../a5", "-m", meta("a5")}},
        {"reference that is no metadata file",
         {"-c", (dir_ / "zvfd.list").string(), "-M", "media1", "-N", "a6", "-m", meta("a6"), "-S", (dir_ / "zvfd.list").string()}},
        {"unknown option", {"-c", (dir_ / "zvfd.list").string(), "-Q", "-M", "media1", "-N", "a7", "-m", meta("a7")}},
        {"-m without a value", {"-R", "1", "-M", "media1", "-m", "-d", (dir_ / "r1").string()}},
        {"record that is not in the store",
         {"-R", "nope", "-M", "media1", "-T", "42", "-s", "/opt/zelvor/var/tasks//task_secret_42", "-d",
          (dir_ / "r2").string()}},
        {"encrypted without the key",
         {"-c", (dir_ / "zvfd.list").string(), "-M", "media1", "-N", "a8", "-m", meta("a8"), "-C", "kuznyechik"}},
    };
    for (const auto& c : cases) {
        ZvfdRun r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out;
        EXPECT_NE(r.out.find("zvfd: error: "), std::string::npos) << c.what;
    }
    EXPECT_EQ(fs::directory_iterator(record_object("taken").parent_path())->path().filename(), "taken");
    EXPECT_EQ(std::distance(fs::directory_iterator(record_object("taken").parent_path()), fs::directory_iterator()), 1);
    EXPECT_FALSE(fs::exists(dir_ / "r1"));
    EXPECT_FALSE(fs::exists(dir_ / "r2"));
    EXPECT_FALSE(any_part_file(dir_));
    for (const char* n : {"a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8"}) EXPECT_FALSE(fs::exists(meta(n))) << n;
}

TEST_F(ZvfdProgram, EncryptedArchiveNeedsItsKey) {
    make_sources();
    write_file(dir_ / "key1", "first key");
    write_file(dir_ / "key2", "other key");
    auto args = server_backup("enc");
    args.insert(args.end(), {"-C", "kuznyechik", "-k", (dir_ / "key1").string()});
    ASSERT_EQ(run(args).status, 0);
    auto restore = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = task_args();
        a.insert(a.end(), {"-R", "enc", "-M", "media1", "-m", meta("enc"), "-d", (dir_ / "r").string()});
        a.insert(a.end(), extra.begin(), extra.end());
        return run(a).status;
    };
    EXPECT_EQ(restore({}), 1);
    EXPECT_EQ(restore({"-C", "kuznyechik", "-k", (dir_ / "key2").string()}), 1);
    EXPECT_FALSE(fs::exists(dir_ / "r" / "vda"));
    EXPECT_EQ(restore({"-C", "kuznyechik", "-k", (dir_ / "key1").string()}), 0);
    expect_same_files(dir_ / "r");
}

TEST_F(ZvfdProgram, ReferenceMetadataIsRecorded) {
    make_sources();
    ASSERT_EQ(run(server_backup("full")).status, 0);
    auto args = server_backup("incr");
    args.insert(args.end(), {"-S", meta("full")});
    ASSERT_EQ(run(args).status, 0);
    EXPECT_EQ(zvfd::read_meta_file(meta("incr")).prop("reference"), "full");
    EXPECT_EQ(zvfd::read_meta_file(meta("full")).prop("kind"), "full");
}

TEST_F(ZvfdProgram, SignatureIsWrittenWithOpensslAndVerifies) {
    make_sources();
    const fs::path key = dir_ / "secret-key.pem", pass = dir_ / "master-key", pub = dir_ / "public.pem";
    write_file(pass, "pass phrase\n");
    ASSERT_EQ(std::system(("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -aes256 -pass file:" +
                           pass.string() + " -out " + key.string() + " 2>/dev/null && openssl pkey -in " + key.string() +
                           " -passin file:" + pass.string() + " -pubout -out " + pub.string())
                              .c_str()),
              0);
    fs::path archive = dir_ / "s.zvfd", sig = dir_ / "s.zvfd.signature";
    ZvfdRun backup = run({"-c", (dir_ / "zvfd.list").string(), "-n", archive.string(), "-m", meta("s"), "-g", sig.string(),
                      "--passin", pass.string(), "--sign", key.string()});
    ASSERT_EQ(backup.status, 0) << backup.out;
    ASSERT_TRUE(fs::exists(sig));
    // Checked by openssl itself, then through the archiver's own verification.
    EXPECT_EQ(std::system(("openssl dgst -sha256 -verify " + pub.string() + " -signature " + sig.string() + " " +
                           archive.string() + " >/dev/null")
                              .c_str()),
              0);
    auto verify = [&] {
        return run({"-n", archive.string(), "-g", sig.string(), "--verify", "--public-key", pub.string()}).status;
    };
    EXPECT_EQ(verify(), 0);
    int fd = ::open(archive.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, "X", 1, 100), 1);
    ::close(fd);
    EXPECT_EQ(verify(), 1);
}

TEST_F(ZvfdProgram, SwitchesMakeItFailOrReportADefect) {
    make_sources();
    struct Case {
        Env env;
        int status;
        bool outputs;  // archive and metadata written
    } cases[] = {
        {{{"ZVFD_TEST_AID", "fail=1"}}, 1, false},
        {{{"ZVFD_TEST_AID", "fail=2"}}, 2, false},
        {{{"ZVFD_TEST_AID", "defect"}}, 100, true},
        {{{"ZVFD_TEST_AID", "fail=1,only=list+verify"}}, 0, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string name = "sw" + std::to_string(n++);
        ZvfdRun r = run(server_backup(name), c.env);
        EXPECT_EQ(r.status, c.status) << name << "\n" << r.out;
        EXPECT_EQ(r.lines().at(0).rfind("ZVFD PID: ", 0), 0u) << name;
        EXPECT_EQ(fs::exists(meta(name)), c.outputs) << name;
        EXPECT_EQ(fs::exists(record_object(name)), c.outputs) << name;
    }
    // Limited to listings, the failure hits the listing of a good backup.
    EXPECT_EQ(run({"-l", meta("sw3"), "-v", "1"}, {{"ZVFD_TEST_AID", "fail=1,only=list"}}).status, 1);
}

TEST_F(ZvfdProgram, MalformedOutputOnRequest) {
    make_sources();
    struct Case {
        const char* kind;
        std::function<void(const std::string&)> check;
    } cases[] = {
        {"pid-text", [](const std::string& out) { EXPECT_EQ(out.rfind("ZVFD PID: not-a-number\n", 0), 0u); }},
        {"pid-range", [](const std::string& out) { EXPECT_EQ(out.rfind("ZVFD PID: 99999999999999\n", 0), 0u); }},
        {"no-pid", [](const std::string& out) { EXPECT_EQ(out.rfind("Packed: ", 0), 0u); }},
        {"crlf", [](const std::string& out) {
             EXPECT_EQ(out.rfind("ZVFD PID: ", 0), 0u);
             EXPECT_NE(out.find("\r\nPacked: "), std::string::npos);
             EXPECT_EQ(out.find_first_of('\n'), out.find("\r\n") + 1);
         }},
        {"no-newline", [](const std::string& out) {
             ASSERT_FALSE(out.empty());
             EXPECT_NE(out.back(), '\n');
             EXPECT_EQ(out.substr(out.rfind('\n') + 1).rfind("Transferred: ", 0), 0u);
         }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        ZvfdRun r = run(server_backup("m" + std::to_string(n++)), {{"ZVFD_TEST_AID", std::string("malformed=") + c.kind}});
        EXPECT_EQ(r.status, 0) << r.out;
        c.check(r.out);
    }
}

char process_state(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    auto close = text.rfind(')');
    return close == std::string::npos ? '?' : text[close + 2];
}

bool wait_for_state(pid_t pid, char wanted) {
    return zv_test::wait_for([&] { return process_state(pid) == wanted; });
}

TEST_F(ZvfdProgram, HangsUntilKilledAndObeysStopAndContinue) {
    make_sources();
    Env env = env_;
    env["ZVFD_TEST_AID"] = "hang";
    int fd = -1;
    pid_t pid = start(server_backup("hang"), env, dir_, fd);
    EXPECT_EQ(read_line(fd), "ZVFD PID: " + std::to_string(pid));
    EXPECT_EQ(read_line(fd), "Packed: 0%");
    ::kill(pid, SIGTSTP);
    EXPECT_TRUE(wait_for_state(pid, 'T'));
    ::kill(pid, SIGCONT);
    EXPECT_TRUE(wait_for_state(pid, 'S'));
    ::kill(pid, SIGKILL);
    EXPECT_EQ(wait_status(pid), 128 + SIGKILL);
    ::close(fd);
    EXPECT_FALSE(fs::exists(meta("hang")));
}

// The archiver starts itself again with the C library's huge-page switch: it must stay
// the process its caller started, with the same arguments, and keep the caller's own
// switches.
TEST_F(ZvfdProgram, RestartOnHugePagesKeepsProcessArgumentsAndCallersSwitches) {
    make_sources();
    const struct {
        const char *given, *seen;
    } cases[] = {
        {"", "glibc.malloc.hugetlb=1"},
        {"glibc.malloc.arena_max=2", "glibc.malloc.arena_max=2:glibc.malloc.hugetlb=1"},
        {"glibc.malloc.hugetlb=0", "glibc.malloc.hugetlb=0"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        Env env = env_;
        env["ZVFD_TEST_AID"] = "hang";
        env["GLIBC_TUNABLES"] = c.given;
        const std::vector<std::string> args = server_backup("huge" + std::to_string(n++));
        int fd = -1;
        pid_t pid = start(args, env, dir_, fd);
        EXPECT_EQ(read_line(fd), "ZVFD PID: " + std::to_string(pid));
        EXPECT_EQ(read_line(fd), "Packed: 0%");
        // The C library cuts the switches apart in place (':' becomes a NUL).
        const std::string environ_bytes =
            std::string(1, '\0') + read_file(fs::path("/proc") / std::to_string(pid) / "environ");
        const auto at = environ_bytes.find(std::string("\0GLIBC_TUNABLES=", 16));
        ASSERT_NE(at, std::string::npos);
        std::string tunables = environ_bytes.substr(at + 16, std::strlen(c.seen) + 1);
        std::replace(tunables.begin(), tunables.end() - 1, '\0', ':');
        EXPECT_EQ(tunables, std::string(c.seen) + '\0');
        std::ifstream cmdline_file("/proc/" + std::to_string(pid) + "/cmdline");
        std::string entry;
        std::vector<std::string> seen_args;
        while (std::getline(cmdline_file, entry, '\0')) seen_args.push_back(entry);
        ASSERT_FALSE(seen_args.empty());
        EXPECT_EQ(std::vector<std::string>(seen_args.begin() + 1, seen_args.end()), args);
        ::kill(pid, SIGKILL);
        EXPECT_EQ(wait_status(pid), 128 + SIGKILL);
        ::close(fd);
    }
}

// Held, a backup or restore has begun its work when it says so and cannot end before
// the release; then it ends as it would have.
TEST_F(ZvfdProgram, HeldRunWaitsAfterItsFirstProgressLineUntilReleased) {
    make_sources();
    const struct {
        const char* name;
        std::function<std::vector<std::string>()> args;
        const char* line;
        std::function<bool()> done;
    } cases[] = {
        {"backup", [&] { return server_backup("held"); }, "Packed: 0 of ",
         [&] { return fs::exists(meta("held")); }},
        {"restore",
         [&] { return std::vector<std::string>{"-T", "42", "-s", "/opt/zelvor/var/tasks//task_secret_42", "-R",
                                               "held", "-M", "media1", "-m", meta("held"), "-d",
                                               (dir_ / "held-restore").string()}; },
         "Unpacked: 0 of ", [&] { return fs::exists(dir_ / "held-restore" / "vda"); }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        zv_test::Hold hold(dir_ / ("release-" + std::to_string(n++)));
        Env env = env_;
        env["ZVFD_TEST_AID"] = hold.aid();
        int fd = -1;
        const pid_t pid = start(c.args(), env, dir_, fd);
        EXPECT_EQ(read_line(fd), "ZVFD PID: " + std::to_string(pid));
        EXPECT_EQ(read_line(fd).rfind(c.line, 0), 0u);
        ASSERT_TRUE(hold.wait_held());
        // Longer than the whole run takes here unheld; a held run stays held however long.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "a held run ended";
        EXPECT_FALSE(c.done()) << "a held run did its work";
        hold.release();
        const std::string rest = read_all(fd);
        EXPECT_EQ(wait_status(pid), 0) << rest;
        EXPECT_TRUE(c.done()) << rest;
    }
}

TEST_F(ZvfdProgram, ArgvLogKeepsEveryArgumentExactly) {
    const fs::path log = dir_ / "argv.log";
    const std::vector<std::string> hostile = {"a b", "it's", "line\nfeed", "$(touch /tmp/pwned)", "", "tab\there"};
    std::vector<std::string> args = {"-l", (dir_ / "missing.meta").string(), "-v", "1", "-N", ""};
    for (const auto& h : hostile) {
        args.back() = h;
        run(args, {{"ZVFD_TEST_AID", "argv-log=" + log.string()}});
    }
    auto runs = zv_test::read_zvfd_argv_log(log);
    ASSERT_EQ(runs.size(), hostile.size());
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(runs[i].program, zv_test::zvfd_binary());
        EXPECT_EQ(runs[i].value("-N"), hostile[i]);
        EXPECT_EQ(runs[i].args.size(), 6u);
        EXPECT_EQ(runs[i].cwd, dir_.string());
        EXPECT_GT(runs[i].pid, 0);
    }
    EXPECT_TRUE(runs[0].has("-v"));
    EXPECT_FALSE(runs[0].has("-E"));
    EXPECT_EQ(runs[0].value("-Q"), std::nullopt);
    EXPECT_TRUE(zv_test::read_zvfd_argv_log(dir_ / "never-written.log").empty());

    std::ofstream(log.string(), std::ios::app) << "zvfd-argv 1\npid 5\ncwd 99:short\n";
    EXPECT_THROW(zv_test::read_zvfd_argv_log(log), std::runtime_error);
}

// --- the repository: growth, compression, encryption, damage and crashes ----------

std::uint64_t tree_bytes(const fs::path& dir) {
    std::uint64_t n = 0;
    if (!fs::exists(dir)) return 0;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (fs::is_regular_file(e.path())) n += fs::file_size(e.path());
    return n;
}

// Lines of English-like text, repeated: what a compressor should shrink.
std::string text_of(std::size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "Line " + std::to_string(i % 997) + ": the quick brown fox jumps over the lazy dog.\n";
    text.resize(size);
    return text;
}

class ZvfdRepository : public ZvfdProgram {
protected:
    // A list with a 16 MiB random file and an 8 MiB text file.
    void make_data() {
        int fd = ::open((dir_ / "src" / "random").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        write_random(fd, 0, 16 << 20, 7);
        ::close(fd);
        write_file(dir_ / "src" / "text", text_of(8 << 20));
        write_file(dir_ / "data.list", "ZVFD file list:\n" + (dir_ / "src" / "random").string() + " : random\n" +
                                           (dir_ / "src" / "text").string() + " : text\n");
    }
    // Random data in src/big, listed as "big" by big.list.
    fs::path make_big(std::size_t size, unsigned seed) const {
        const fs::path big = dir_ / "src" / "big";
        const int fd = ::open(big.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        write_random(fd, 0, size, seed);
        ::close(fd);
        write_file(dir_ / "big.list", "ZVFD file list:\n" + big.string() + " : big\n");
        return big;
    }
    std::vector<std::string> backup_of(const std::string& list, const std::string& name,
                                       std::vector<std::string> extra = {}) const {
        std::vector<std::string> a = task_args();
        a.insert(a.end(), {"-c", (dir_ / list).string(), "-M", "media1", "-N", name, "-m", meta(name)});
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::vector<std::string> restore_of(const std::string& name, const fs::path& to,
                                        std::vector<std::string> extra = {}) const {
        std::vector<std::string> a = task_args();
        a.insert(a.end(), {"-R", name, "-M", "media1", "-m", meta(name), "-d", to.string()});
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
};

TEST_F(ZvfdRepository, UnchangedDataIsNotStoredTwiceAndTextShrinks) {
    make_data();
    const std::uint64_t data = (16 << 20) + (8 << 20);
    ZvfdRun first = run(backup_of("data.list", "full1", {"-z", "optimal"}));
    ASSERT_EQ(first.status, 0) << first.out;
    const std::uint64_t after_first = tree_bytes(repository());
    // The random data cannot shrink; the text must shrink to well below its size.
    EXPECT_LT(after_first, (16 << 20) + (2 << 20)) << "compressible data did not shrink";
    EXPECT_GT(after_first, 16u << 20);

    ZvfdRun second = run(backup_of("data.list", "full2", {"-z", "optimal"}));
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_LT(tree_bytes(repository()) - after_first, data / 100) << "a second full backup stored the data again";

    // Without compression the text costs its full size.
    ZvfdRun plain = run(backup_of("data.list", "plain", {"-z", "None", "-C", "aes-256-gcm", "-k",
                                                         (dir_ / "src" / "text").string()}));
    ASSERT_EQ(plain.status, 0) << plain.out;
    ZvfdRun back = run(restore_of("plain", dir_ / "r", {"-C", "aes-256-gcm", "-k", (dir_ / "src" / "text").string()}));
    ASSERT_EQ(back.status, 0) << back.out;
    EXPECT_EQ(sha256_of(dir_ / "r" / "text"), sha256_of(dir_ / "src" / "text"));
    EXPECT_GT(tree_bytes(repository()) - after_first, data);
}

// Data repeated many times over is stored once and written back at every place: a
// pack of such blocks writes far more than it brings, and its writes are cut into
// batches between those of other packs, each batch taking its own copy of a block.
// The repeated data compresses, so that a pack holds more distinct bytes than a batch.
TEST_F(ZvfdRepository, BlocksUsedManyTimesOverComeBackEverywhere) {
    const fs::path source = dir_ / "src" / "repeated";
    std::string digits(24 << 20, '0');  // distinct blocks, each compressible to about half
    std::mt19937 gen(21);
    for (char& c : digits) c = "0123456789abcdef"[gen() % 16];
    {
        const int fd = ::open(source.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        for (unsigned i = 0; i < 4; ++i) {
            ASSERT_EQ(::pwrite(fd, digits.data(), digits.size(), off_t(i) * (32 << 20)), ssize_t(digits.size()));
            write_random(fd, std::uint64_t(i) * (32 << 20) + (24 << 20), 8 << 20, 100 + i);
        }
        ::close(fd);
    }
    write_file(dir_ / "repeated.list", "ZVFD file list:\n" + source.string() + " : repeated\n");
    ZvfdRun backup = run(backup_of("repeated.list", "repeated", {"-z", "optimal"}));
    ASSERT_EQ(backup.status, 0) << backup.out;
    ZvfdRun back = run(restore_of("repeated", dir_ / "r"));
    ASSERT_EQ(back.status, 0) << back.out;
    EXPECT_EQ(sha256_of(dir_ / "r" / "repeated"), sha256_of(source));
}

// Every 64-byte run of `plain` that occurs somewhere in the files below `dir`.
std::size_t plaintext_runs_in(const fs::path& dir, const std::string& plain) {
    std::unordered_set<std::string_view> windows;
    for (std::size_t i = 0; i + 64 <= plain.size(); ++i) windows.insert(std::string_view(plain).substr(i, 64));
    std::size_t found = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (!fs::is_regular_file(e.path())) continue;
        const std::string bytes = read_file(e.path());
        for (std::size_t i = 0; i + 64 <= bytes.size(); ++i)
            if (windows.count(std::string_view(bytes).substr(i, 64))) ++found;
    }
    return found;
}

TEST_F(ZvfdRepository, EncryptedRepositoryHoldsNoPlaintext) {
    // Text that does not repeat within 64 bytes, stored uncompressed: plain in the packs
    // unless it is encrypted.
    std::string secret;
    std::mt19937 gen(11);
    while (secret.size() < (256 << 10)) secret += "word" + std::to_string(gen()) + " ";
    write_file(dir_ / "src" / "secret.txt", secret);
    write_file(dir_ / "s.list", "ZVFD file list:\n" + (dir_ / "src" / "secret.txt").string() + " : secret.txt\n");
    write_file(dir_ / "key", "key file of the test");
    for (const char* cipher : {"aes-256-gcm", "kuznyechik"}) {
        SCOPED_TRACE(cipher);
        fs::remove_all(repository());
        ZvfdRun r = run(backup_of("s.list", std::string("s-") + cipher,
                                  {"-z", "None", "-C", cipher, "-k", (dir_ / "key").string()}));
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(plaintext_runs_in(repository(), secret), 0u);
    }
    // The check itself finds plaintext where there is some.
    fs::remove_all(repository());
    ASSERT_EQ(run(backup_of("s.list", "clear", {"-z", "None"})).status, 0);
    EXPECT_GT(plaintext_runs_in(repository(), secret), 0u);
}

TEST_F(ZvfdRepository, DamageAndWrongCredentialsFailClearly) {
    make_data();
    write_file(dir_ / "key", "the right key");
    write_file(dir_ / "other-key", "another key");
    write_file(dir_ / "wrong-secret", "not the secret\n");
    const std::vector<std::string> crypt = {"-C", "aes-256-gcm", "-k", (dir_ / "key").string()};
    ASSERT_EQ(run(backup_of("data.list", "rec", crypt)).status, 0);
    const std::string good_meta = read_file(meta("rec"));
    write_file(dir_ / "truncated.meta", good_meta.substr(0, good_meta.size() - 100));

    auto restore = [&](std::vector<std::string> args) {
        fs::remove_all(dir_ / "r");
        return run(args);
    };
    auto with = [](std::vector<std::string> a, const std::string& option, const std::string& value) {
        for (std::size_t i = 0; i + 1 < a.size(); ++i)
            if (a[i] == option) a[i + 1] = value;
        return a;
    };
    const auto good = restore_of("rec", dir_ / "r", crypt);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {"wrong key", with(good, "-k", (dir_ / "other-key").string()), "another key"},
        {"no key", restore_of("rec", dir_ / "r"), "encrypted"},
        {"backup into the task with another secret",
         with(backup_of("data.list", "rec2", crypt), "-s", (dir_ / "wrong-secret").string()),
         "does not authorise task 42"},
        {"truncated metadata file", with(good, "-m", (dir_ / "truncated.meta").string()), "truncated or damaged"},
    };
    for (const auto& c : cases) {
        ZvfdRun r = restore(c.args);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.what << "\n" << r.out;
        EXPECT_FALSE(fs::exists(dir_ / "r" / "random")) << c.what;
    }
    EXPECT_FALSE(fs::exists(record_object("rec2")));

    // A flipped byte in a pack: the restore fails and writes no file at all.
    std::vector<fs::path> packs;
    for (const auto& e : fs::recursive_directory_iterator(repository() / "packs"))
        if (fs::is_regular_file(e.path())) packs.push_back(e.path());
    ASSERT_FALSE(packs.empty());
    for (const auto& pack : packs) {
        std::string bytes = read_file(pack);
        bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
        fs::remove(pack);
        write_file(pack, bytes);
    }
    ZvfdRun damaged = restore(good);
    EXPECT_EQ(damaged.status, 1) << damaged.out;
    EXPECT_NE(damaged.out.find("is damaged"), std::string::npos) << damaged.out;
    EXPECT_FALSE(fs::exists(dir_ / "r" / "random"));
    EXPECT_FALSE(fs::exists(dir_ / "r" / "text"));
    EXPECT_FALSE(any_part_file(dir_ / "r"));
}

// The host that made a backup is gone. Another host has only the media server's line
// and the key file in its /opt/zelvor, and restores as a task of its own.
TEST_F(ZvfdRepository, RecordRestoresFromAnotherTaskOnAnotherHost) {
    make_data();
    zv_test::write_file(dir_ / "opt" / "keys" / "key", "the key of both hosts");
    write_file(dir_ / "opt" / "var" / "tasks" / "task_secret_43", "secret of task 43\n");
    const std::vector<std::string> crypt = {"-C", "aes-256-gcm", "-k", "/opt/zelvor/keys/key"};
    ASSERT_EQ(run(backup_of("data.list", "vm1_full_1", crypt)).status, 0);
    // One record name in two tasks, with different data.
    write_file(dir_ / "src" / "note", "task 42's note");
    write_file(dir_ / "src" / "note43", "task 43's note");
    write_file(dir_ / "note.list", "ZVFD file list:\n" + (dir_ / "src" / "note").string() + " : note\n");
    write_file(dir_ / "note43.list", "ZVFD file list:\n" + (dir_ / "src" / "note43").string() + " : note\n");
    ASSERT_EQ(run(backup_of("note.list", "shared", crypt)).status, 0);
    auto task43 = backup_of("note43.list", "shared", crypt);
    task43[1] = "43";
    task43[3] = "/opt/zelvor/var/tasks//task_secret_43";
    task43[task43.size() - crypt.size() - 1] = (dir_ / "snap" / "shared43.meta").string();
    ASSERT_EQ(run(task43).status, 0);

    const fs::path other = dir_ / "other-host";
    zv_test::write_file(other / "etc" / "zvfd-repositories.conf", "media1 = " + repository().string() + "\n");
    zv_test::write_file(other / "keys" / "key", "the key of both hosts");
    zv_test::write_file(other / "var" / "tasks" / "task_secret_77", "secret of the restore task\n");
    auto on_other_host = [&](std::vector<std::string> args) {
        int fd = -1;
        const pid_t pid = spawn(args, env_, dir_, fd, other);
        ZvfdRun r;
        r.out = read_all(fd);
        r.status = wait_status(pid);
        return r;
    };
    auto restore = [&](const std::string& record, const fs::path& to, std::vector<std::string> extra) {
        std::vector<std::string> a = {"-R", record, "-M", "media1", "-T", "77", "-s",
                                      "/opt/zelvor/var/tasks//task_secret_77", "-d", to.string()};
        a.insert(a.end(), crypt.begin(), crypt.end());
        a.insert(a.end(), extra.begin(), extra.end());
        return on_other_host(a);
    };
    // By the metadata file the client kept, and by the record's name alone.
    for (const auto& [what, record, extra] :
         {std::tuple<const char*, std::string, std::vector<std::string>>{"metadata", "1001", {"-m", meta("vm1_full_1")}},
          {"name", "vm1_full_1", {}}}) {
        SCOPED_TRACE(what);
        const fs::path to = dir_ / ("r-" + std::string(what));
        ZvfdRun r = restore(record, to, extra);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(sha256_of(to / "random"), sha256_of(dir_ / "src" / "random"));
        EXPECT_EQ(sha256_of(to / "text"), sha256_of(dir_ / "src" / "text"));
    }

    // A name two tasks hold needs the metadata file, unless the restore's own task is one.
    ZvfdRun ambiguous = restore("shared", dir_ / "r-amb", {});
    EXPECT_EQ(ambiguous.status, 1) << ambiguous.out;
    EXPECT_NE(ambiguous.out.find("record shared is held by tasks 42, 43"), std::string::npos) << ambiguous.out;
    EXPECT_FALSE(fs::exists(dir_ / "r-amb" / "note"));
    ZvfdRun chosen = restore("shared", dir_ / "r-43", {"-m", (dir_ / "snap" / "shared43.meta").string()});
    ASSERT_EQ(chosen.status, 0) << chosen.out;
    EXPECT_EQ(read_file(dir_ / "r-43" / "note"), "task 43's note");
    ZvfdRun own = run({"-R", "shared", "-M", "media1", "-T", "42", "-d", (dir_ / "r-42").string(), "-C",
                       "aes-256-gcm", "-k", "/opt/zelvor/keys/key"});
    ASSERT_EQ(own.status, 0) << own.out;
    EXPECT_EQ(read_file(dir_ / "r-42" / "note"), "task 42's note");
    ZvfdRun unknown = restore("vm9_full_1", dir_ / "r-none", {});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.out.find("no task of the repository " + repository().string() + " holds a record vm9_full_1"),
              std::string::npos)
        << unknown.out;

    // Writing into the backup's task still needs its secret.
    auto intrude = backup_of("note.list", "intruder", crypt);
    intrude[3] = "/opt/zelvor/var/tasks//task_secret_77";
    ZvfdRun refused = on_other_host(intrude);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("the task secret does not authorise task 42"), std::string::npos) << refused.out;
    EXPECT_FALSE(fs::exists(record_object("intruder")));
}

TEST_F(ZvfdRepository, KilledBackupLeavesEarlierRecordsAndLaterBackupsWorking) {
    make_data();
    ASSERT_EQ(run(backup_of("data.list", "before")).status, 0);
    // A bigger source, so the killed run is in the middle of its work.
    make_big(96 << 20, 8);
    // Killed as it begins, and while its workers have pieces in hand: held, the run
    // cannot have ended before the kill.
    for (const bool working : {false, true}) {
        const std::string name = working ? "killed-working" : "killed-beginning";
        SCOPED_TRACE(name);
        zv_test::Hold hold(dir_ / (name + ".release"));
        int out_fd = -1;
        const pid_t pid = start(backup_of("big.list", name), {{"ZVFD_TEST_AID", hold.aid()}}, dir_, out_fd);
        read_line(out_fd);  // the PID line: the run has begun
        if (working) ASSERT_TRUE(hold.wait_held());
        ::kill(pid, SIGKILL);
        EXPECT_EQ(wait_status(pid), 128 + SIGKILL);
        ::close(out_fd);
        EXPECT_FALSE(fs::exists(record_object(name)));
    }
    ZvfdRun after = run(backup_of("big.list", "after"));
    ASSERT_EQ(after.status, 0) << after.out;
    ZvfdRun old = run(restore_of("before", dir_ / "r1"));
    ASSERT_EQ(old.status, 0) << old.out;
    EXPECT_EQ(sha256_of(dir_ / "r1" / "random"), sha256_of(dir_ / "src" / "random"));
    EXPECT_EQ(sha256_of(dir_ / "r1" / "text"), sha256_of(dir_ / "src" / "text"));
    ZvfdRun later = run(restore_of("after", dir_ / "r2"));
    ASSERT_EQ(later.status, 0) << later.out;
    EXPECT_EQ(sha256_of(dir_ / "r2" / "big"), sha256_of(dir_ / "src" / "big"));
}

// A damaged pack found while a replica is applied fails the application before
// anything of the target changed: the standby copy is still the old state, whole.
TEST_F(ZvfdRepository, DamagedPackDuringReplicaLeavesTheTargetAsItWas) {
    make_data();
    const fs::path big = make_big(48 << 20, 24);
    write_file(dir_ / "rep.list", "ZVFD file list:\n" + big.string() + " : big\n" + (dir_ / "src" / "text").string() +
                                      " : text\n");
    ASSERT_EQ(run(backup_of("rep.list", "v1")).status, 0);
    const fs::path dest = dir_ / "dest";
    ASSERT_EQ(run(restore_of("v1", dest, {"-E"})).status, 0);
    const std::string before_big = sha256_of(dest / "big"), before_text = sha256_of(dest / "text");

    // Every block of the image changes but the last; the newest pack is damaged.
    const int fd = ::open(big.c_str(), O_RDWR);
    write_random(fd, 0, (48 << 20) - 16384, 25);
    ::close(fd);
    ASSERT_EQ(run(backup_of("rep.list", "v2")).status, 0);
    const std::vector<std::string> packs = zvfd::read_meta_file(meta("v2")).packs;
    const std::vector<std::string> old = zvfd::read_meta_file(meta("v1")).packs;
    std::vector<std::string> fresh;
    for (const auto& id : packs)
        if (std::find(old.begin(), old.end(), id) == old.end()) fresh.push_back(id);
    ASSERT_GT(fresh.size(), 4u);
    const fs::path damaged = repository() / "packs" / fresh.back().substr(0, 2) / fresh.back();
    std::string bytes = read_file(damaged);
    bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
    fs::remove(damaged);
    write_file(damaged, bytes);

    ZvfdRun applied = run(restore_of("v2", dest, {"-E"}));
    EXPECT_EQ(applied.status, 1) << applied.out;
    EXPECT_NE(applied.out.find("pack " + fresh.back() + " is damaged"), std::string::npos) << applied.out;
    EXPECT_EQ(sha256_of(dest / "big"), before_big);
    EXPECT_EQ(sha256_of(dest / "text"), before_text);
    EXPECT_FALSE(any_part_file(dest));
}

// The regular files of a directory (not below it).
std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> found;
    if (fs::exists(dir))
        for (const auto& e : fs::directory_iterator(dir))
            if (fs::is_regular_file(e.symlink_status())) found.push_back(e.path());
    return found;
}

// Held by the test aid, a run waits after its first progress line; meanwhile each
// worker finishes the piece it has in hand (4 MiB of random data fill a pack, which
// then waits in ".tmp" for the next flush) and then waits too. Returns once the run
// is held and `written` says its part files are there.
void wait_until_held(const zv_test::Hold& hold, const std::function<bool()>& written) {
    ASSERT_TRUE(hold.wait_held());
    ASSERT_TRUE(zv_test::wait_for(written)) << "no part file appeared";
}

// Told to end, as the module's shutdown tells it with SIGTERM, a run removes what it
// wrote under temporary names: objects in the repository's ".tmp", the part of an
// archive, the part files of a restore.
TEST_F(ZvfdRepository, TerminatedRunsLeaveNoPartFiles) {
    make_big(64 << 20, 14);
    make_data();
    ASSERT_EQ(run(backup_of("data.list", "full")).status, 0);
    const fs::path tmp = repository() / ".tmp";
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::function<bool()> parts_left;
    } cases[] = {
        {"backup into a media server", backup_of("big.list", "term", {"-z", "None"}),
         [&] { return !files_in(tmp).empty(); }},
        {"backup into an archive",
         {"-c", (dir_ / "big.list").string(), "-n", (dir_ / "a.zvfd").string(), "-m", meta("a"), "-z", "None"},
         [&] { return any_part_file(dir_); }},
        {"restore", restore_of("full", dir_ / "r"), [&] { return any_part_file(dir_ / "r"); }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        zv_test::Hold hold(dir_ / ("term-" + std::to_string(n++)));
        int fd = -1;
        const pid_t pid = start(c.args, {{"ZVFD_TEST_AID", hold.aid()}}, dir_, fd);
        wait_until_held(hold, c.parts_left);
        ::kill(pid, SIGTERM);
        EXPECT_EQ(wait_status(pid), 128 + SIGTERM);
        ::close(fd);
        EXPECT_FALSE(c.parts_left());
    }
    EXPECT_FALSE(fs::exists(record_object("term")));
    EXPECT_FALSE(fs::exists(dir_ / "a.zvfd"));
    EXPECT_FALSE(fs::exists(dir_ / "r" / "random"));
}

// A run killed without a chance to clean up (kill -9) leaves its part files in ".tmp";
// the next backup removes them, but never a file of a process that still runs, nor one
// that changed recently (a run of another host sharing the directory may own it).
TEST_F(ZvfdRepository, NextBackupSweepsOnlyOldPartFilesOfDeadRuns) {
    make_big(64 << 20, 14);
    make_data();
    const fs::path tmp = repository() / ".tmp";
    zv_test::Hold hold(dir_ / "release");
    int fd = -1;
    const pid_t pid = start(backup_of("big.list", "killed", {"-z", "None"}), {{"ZVFD_TEST_AID", hold.aid()}}, dir_, fd);
    wait_until_held(hold, [&] { return !files_in(tmp).empty(); });
    ::kill(pid, SIGKILL);
    ASSERT_EQ(wait_status(pid), 128 + SIGKILL);
    ::close(fd);
    const std::vector<fs::path> dead = files_in(tmp);
    ASSERT_FALSE(dead.empty());
    const std::time_t two_days_ago = std::time(nullptr) - 2 * 24 * 3600;
    for (const auto& f : dead) fs::last_write_time(f, two_days_ago);
    const fs::path live = tmp / (std::to_string(::getpid()) + "-0123456789abcdef");
    const fs::path recent = tmp / (std::to_string(pid) + "-fedcba9876543210");
    write_file(live, "a part of a run that still runs");
    write_file(recent, "a part written a moment ago");
    fs::last_write_time(live, two_days_ago);

    ASSERT_EQ(run(backup_of("data.list", "next")).status, 0);
    for (const auto& f : dead) EXPECT_FALSE(fs::exists(f)) << f;
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(recent));
}

TEST_F(ZvfdRepository, TwoBackupsIntoOneMediaServerAtOnceBothSucceed) {
    make_data();
    int fd = ::open((dir_ / "src" / "other").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    write_random(fd, 0, 24 << 20, 9);
    ::close(fd);
    write_file(dir_ / "other.list", "ZVFD file list:\n" + (dir_ / "src" / "other").string() + " : other\n");
    int a_fd = -1, b_fd = -1;
    const pid_t a = start(backup_of("data.list", "vm-a"), {}, dir_, a_fd);
    const pid_t b = start(backup_of("other.list", "vm-b"), {}, dir_, b_fd);
    const std::string a_out = read_all(a_fd), b_out = read_all(b_fd);
    EXPECT_EQ(wait_status(a), 0) << a_out;
    EXPECT_EQ(wait_status(b), 0) << b_out;
    ASSERT_EQ(run(restore_of("vm-a", dir_ / "ra")).status, 0);
    ASSERT_EQ(run(restore_of("vm-b", dir_ / "rb")).status, 0);
    EXPECT_EQ(sha256_of(dir_ / "ra" / "random"), sha256_of(dir_ / "src" / "random"));
    EXPECT_EQ(sha256_of(dir_ / "rb" / "other"), sha256_of(dir_ / "src" / "other"));
}

}  // namespace
