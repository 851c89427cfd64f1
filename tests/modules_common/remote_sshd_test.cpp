// Remote backup against a real sshd on 127.0.0.1, started by the test in a network and
// mount namespace of its own with a throwaway host key and an authorized key. The
// remote host is this host (everything shared), or a host that shares only the
// operation directory (its /opt/zelvor is another directory). Its archiver reports the
// process id of an unrelated local process and pauses the module meanwhile: that
// process must never be signalled.
#include "modules_common/remote_backup_files.h"
#include "modules_common/sandboxed_case.h"
#include "support/libvirt_env.h"
#include "support/scratch_dir.h"

#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>


namespace fs = boost::filesystem;
using zv_test::LogCapture;
using zv_test::SnapshotModule;
using zv_utils_common::shell_quote;
using zv_test::read_file;

namespace {

// The archiver on the remote side. It keeps what it found at the paths it was given
// (so the test sees that the files were there), names an unrelated process as itself,
// and pauses and continues the module while it runs.
const char* const remote_zvfd =
    "#!/bin/bash\n"
    "while [ $# -gt 0 ]; do case $1 in -m) meta=$2;; -s) secret=$2;; -c) list=$2;; -X) restr=$2;; "
    "esac; shift; done\n"
    "work=$(dirname \"$(dirname \"$meta\")\")\n"
    "cat \"$secret\" > \"$work/seen.secret\"; cat \"$list\" > \"$work/seen.list\"; "
    "cat \"$restr\" > \"$work/seen.restrictions\"\n"
    "victim=$(cat \"$work/victim.pid\"); module=$(cat \"$work/module.pid\")\n"
    "echo \"ZVFD PID: $victim\"\n"
    "kill -TSTP \"$module\"; sleep 1.5\n"
    "cut -d' ' -f3 \"/proc/$victim/stat\" > \"$work/victim.state\"\n"
    "kill -CONT \"$module\"\n"
    "echo 'Packed: 100%'\n"
    "echo 'remote metadata' > \"$meta\"\n";

struct LocalFiles : zv_test::RemoteBackupFiles {
    ZvModuleOptions options() const { return RemoteBackupFiles::options("127.0.0.1", true); }
};

// Runs one remote backup with the module's handlers installed, an unrelated process
// standing by; false when the backup failed. `victim_state` is that process's state
// while the module was paused.
bool backup_with_a_victim(const LocalFiles& files, LogCapture& log, std::string& victim_state) {
    const pid_t victim = fork();
    if (victim == 0) {
        execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    zv_test::write_text(files.work + "/victim.pid", std::to_string(victim));
    zv_test::write_text(files.work + "/module.pid", std::to_string(getpid()));
    bool ok = false;
    {
        SnapshotModule module(files.options());
        auto handler = ZvModuleSignalHandler::init(&module);
        ok = module.make_backup();
        EXPECT_TRUE(module.zvfd_result == ok);
    }
    victim_state = read_file(files.work + "/victim.state");
    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
    EXPECT_EQ(log.count(" put on pause"), 1) << "the remote archiver did not pause the module";
    EXPECT_EQ(log.count("sent signal"), 0) << ::testing::PrintToString(log.lines());
    return ok;
}

std::vector<std::string> probe_markers(const std::vector<std::string>& directories) {
    std::vector<std::string> left;
    for (const auto& directory : directories)
        for (const auto& entry : fs::directory_iterator(directory))
            if (entry.path().filename().string().rfind(".zv-remote-probe-", 0) == 0)
                left.push_back(entry.path().string());
    return left;
}

}  // namespace

ZV_SANDBOXED_CASE(remote_host_is_this_host) {
    LocalFiles files;
    LogCapture log;
    std::string victim_state;
    ASSERT_TRUE(backup_with_a_victim(files, log, victim_state)) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(victim_state, "S\n") << "the remote archiver's pid was signalled here";

    // The archiver found every file in place, and nothing local was deleted or
    // overwritten by a copy onto itself.
    EXPECT_EQ(read_file(files.work + "/seen.secret"), "secret of task 77");
    EXPECT_EQ(read_file(files.work + "/seen.list"), "ZVFD file list:\n/var/lib/vm1.img : vm1.img\n");
    EXPECT_EQ(read_file(files.work + "/seen.restrictions"), "/var/lib/private\n");
    EXPECT_EQ(read_file(files.secret), "secret of task 77");
    EXPECT_EQ(read_file(files.list), "ZVFD file list:\n/var/lib/vm1.img : vm1.img\n");
    EXPECT_EQ(read_file(files.meta), "remote metadata\n");
    EXPECT_EQ(read_file(files.restrictions), "/var/lib/private\n");
    // Only the copy of the restriction list made for the archiver is gone again.
    EXPECT_FALSE(fs::exists(files.snap_dir + "/restrictions.list"));
    EXPECT_EQ(log.count("The remote host shares "), 3) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(log.count("Warning"), 0) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(probe_markers({files.work, files.snap_dir, "/opt/zelvor/var/tasks"}).empty());
}

ZV_SANDBOXED_CASE(remote_host_shares_the_operation_directory) {
    LocalFiles files;
    const std::string remote_opt = zv_test::case_env("REMOTE_OPT");
    LogCapture log;
    std::string victim_state;
    ASSERT_TRUE(backup_with_a_victim(files, log, victim_state)) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(victim_state, "S\n") << "the remote archiver's pid was signalled here";

    // The task secret went over and came off again; the shared files stayed.
    EXPECT_EQ(read_file(files.work + "/seen.secret"), "secret of task 77");
    EXPECT_FALSE(fs::exists(remote_opt + "/var/tasks/task_secret_77"));
    EXPECT_EQ(read_file(files.secret), "secret of task 77");
    EXPECT_EQ(read_file(files.list), "ZVFD file list:\n/var/lib/vm1.img : vm1.img\n");
    EXPECT_EQ(read_file(files.meta), "remote metadata\n");
    EXPECT_EQ(read_file(files.work + "/seen.restrictions"), "/var/lib/private\n");
    EXPECT_FALSE(fs::exists(files.snap_dir + "/restrictions.list"));
    EXPECT_EQ(log.count("The remote host shares "), 2) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(log.count("Warning"), 0) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(probe_markers({files.work, files.snap_dir, "/opt/zelvor/var/tasks"}).empty());
}

namespace {

// A sandbox whose ssh client trusts only a throwaway sshd, and the script that starts
// that sshd on 127.0.0.1 in a network namespace of its own before the case runs.
class RemoteOverSsh : public ::testing::Test {
protected:
    void SetUp() override {
        if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root and namespaces";
        if (!fs::exists("/usr/sbin/sshd")) GTEST_SKIP() << "needs openssh-server";
        ssh_ = box_.root() / "ssh";
        fs::create_directories(ssh_);
        for (const char* key : {"host_key", "id"}) {
            const auto made = zv_test::run_program(
                {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "zvtest", "-f", (ssh_ / key).string()});
            ASSERT_TRUE(made.ok()) << made.describe();
        }
        fs::copy_file(ssh_ / "id.pub", ssh_ / "authorized_keys");
        zv_test::write_text((ssh_ / "known_hosts").string(), "127.0.0.1 " + read_file(ssh_ / "host_key.pub"));
        zv_test::write_text((ssh_ / "sshd_config").string(),
                            "ListenAddress 127.0.0.1\nPort 22\nHostKey " + (ssh_ / "host_key").string() +
                                "\nPidFile " + (ssh_ / "sshd.pid").string() +
                                "\nAuthorizedKeysFile " + (ssh_ / "authorized_keys").string() +
                                "\nPermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                                "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\nUseDNS no\n"
                                "Subsystem sftp internal-sftp\n");
        zv_test::write_text((ssh_ / "ssh_config").string(),
                            "Host *\n  IdentityFile " + (ssh_ / "id").string() + "\n  UserKnownHostsFile " +
                                (ssh_ / "known_hosts").string() +
                                "\n  GlobalKnownHostsFile /dev/null\n  StrictHostKeyChecking yes\n");
        box_.bind("/etc/ssh/ssh_config", (ssh_ / "ssh_config").string());
        work_ = box_.root() / "work";
        fs::create_directories(work_);
        for (const fs::path& opt : {box_.opt(), remote_opt()}) {
            zv_test::write_text((opt / "bin/zvfd").string(), remote_zvfd);
            fs::permissions(opt / "bin/zvfd", fs::perms(0755));
            fs::create_directories(opt / "var/tasks");
        }
    }

    fs::path remote_opt() const { return box_.root() / "remote_opt"; }

    // `sshd_prefix` runs in front of sshd: the remote host's own mounts, if any.
    void expect_case(const std::string& name, const std::string& sshd_prefix) {
        const std::string sshd = "/usr/sbin/sshd -f " + shell_quote((ssh_ / "sshd_config").string()) +
                                 " -E " + shell_quote((ssh_ / "sshd.log").string());
        const std::string inner =
            "set -e; ip link set lo up; mount -t tmpfs zvtest-run /run; mkdir -m 0755 /run/sshd; " +
            sshd_prefix + sshd + "; " +
            "for i in $(seq 6000); do [ -s " + shell_quote((ssh_ / "sshd.pid").string()) +
            " ] && break; sleep 0.05; done; set +e; " + "ZV_SANDBOXED_CASE=" + name + " " +
            shell_quote(zv_test::test_program_path()) +
            " --gtest_filter=SandboxedCase.Run --gtest_color=no; status=$?; kill $(cat " +
            shell_quote((ssh_ / "sshd.pid").string()) + "); exit $status";
        zv_test::RunOptions options;
        options.env["WORK"] = work_.string();
        options.env["REMOTE_OPT"] = remote_opt().string();
        const auto result = box_.shell("unshare --net bash -c " + shell_quote(inner), options);
        EXPECT_EQ(result.status, 0) << result.out << result.err << "\nsshd log:\n" << read_file(ssh_ / "sshd.log");
    }

    zv_test::Sandbox box_;
    fs::path ssh_, work_;
};

TEST_F(RemoteOverSsh, HostIsThisHost) { expect_case("remote_host_is_this_host", ""); }

TEST_F(RemoteOverSsh, HostSharesTheOperationDirectory) {
    expect_case("remote_host_shares_the_operation_directory",
                "unshare --mount --propagation private sh -c 'mount --bind \"$REMOTE_OPT\" /opt/zelvor && "
                "exec \"$0\" \"$@\"' ");
}

}  // namespace
