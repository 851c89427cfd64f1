// Backup with the archiver on a remote host. The fake ssh and scp stand for a host whose
// /opt/zelvor and work directory are other directories: they run the remote side in a
// nested mount namespace with those bound over the local paths.
#include "modules_common/remote_backup_files.h"
#include "modules_common/sandboxed_case.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

namespace fs = boost::filesystem;
using zv_test::CallLog;
using zv_test::LogCapture;
using zv_test::SnapshotModule;

namespace {

std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// REMOTE_ROOT holds the remote host: opt (its /opt/zelvor), work (its work directory),
// ssh.calls, scp.calls, zvfd.calls, and switches: "refuse" (no connection), "scp-fail"
// (an scp whose arguments hold its text fails), "zvfd-status", "no-meta".
const char* const remote_side =
    "remote() {\n"
    "  unshare --mount --propagation private bash -c 'mount --bind \"$REMOTE_ROOT/opt\" "
    "/opt/zelvor && mount --bind \"$REMOTE_ROOT/work\" \"$WORK\" && exec bash -c \"$1\"' _ \"$1\"\n"
    "}\n";

const char* const fake_ssh =
    "args=(\"$@\"); for i in \"${!args[@]}\"; do [ \"${args[$i]}\" = -l ] && host=${args[$((i+2))]}; done\n"
    "[ -e \"$REMOTE_ROOT/refuse\" ] && { echo \"ssh: connect to host $host port 22: Connection "
    "refused\"; exit 255; }\n"
    "remote \"${@: -1}\"\n";

const char* const fake_scp =
    "[ -e \"$REMOTE_ROOT/scp-fail\" ] && [[ \"$*\" == *\"$(cat \"$REMOTE_ROOT/scp-fail\")\"* ]] && "
    "{ echo \"scp: ${@: -1}: Permission denied\"; exit 1; }\n"
    "hop=$(mktemp); from=${@: -2:1}; to=${@: -1}\n"
    "case \"$from\" in\n"
    "  *@*:*) remote \"cp -- '${from#*:}' '$hop'\" && cp -- \"$hop\" \"$to\" ;;\n"
    "  *) cp -- \"$from\" \"$hop\" && target=${to#*:} && "
    "remote \"if [ -d '$target' ]; then cp -- '$hop' '$target/'$(basename \"$from\"); else cp -- '$hop' '$target'; fi\" ;;\n"
    "esac\n"
    "status=$?; rm -f \"$hop\"; exit $status\n";

const char* const remote_zvfd =
    "#!/bin/bash\n"
    "(IFS=$'\\x1f'; printf '%s\\n' \"$*\") >> \"$REMOTE_ROOT/zvfd.calls\"\n"
    "echo \"ZVFD PID: $$\"\n"
    "echo 'Packed: 50%'\n"
    "while [ $# -gt 0 ]; do [ \"$1\" = -m ] && meta=$2; shift; done\n"
    "[ -e \"$REMOTE_ROOT/no-meta\" ] || echo 'remote metadata' > \"$meta\"\n"
    "echo 'archiver: sent to media server'\n"
    "exit $(cat \"$REMOTE_ROOT/zvfd-status\" 2>/dev/null || echo 0)\n";

const char* const remote_signature = "bool ZvModuleUniversal::make_backup_remotely()";

struct RemoteSetup : zv_test::RemoteBackupFiles {
    std::string root = zv_test::case_env("REMOTE_ROOT");

    ZvModuleOptions options(bool local_restrictions) const {
        return RemoteBackupFiles::options("backup-host", local_restrictions);
    }
    void set(const std::string& name, const std::string& text = "") const {
        zv_test::write_text(root + "/" + name, text);
    }
    CallLog ssh() const { return zv_test::calls(root + "/ssh.calls"); }
    CallLog scp() const { return zv_test::calls(root + "/scp.calls"); }
    bool remote_exists(const std::string& path) const {
        if (path.compare(0, work.size(), work) == 0)
            return fs::exists(root + "/work" + path.substr(work.size()));
        return fs::exists(root + "/opt" + path.substr(std::string("/opt/zelvor").size()));
    }
};

}  // namespace

ZV_SANDBOXED_CASE(remote_backup_succeeds) {
    RemoteSetup remote;
    LogCapture log;
    SnapshotModule module(remote.options(true));
    ASSERT_TRUE(module.make_backup()) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(module.zvfd_result);

    EXPECT_EQ(read(remote.meta), "remote metadata\n");
    EXPECT_EQ(zv_test::calls(remote.root + "/zvfd.calls"),
              (CallLog{{"-a", "sha2", "-2", "-b", "16384", "-c", remote.list, "-x",
                        "/opt/zelvor/keys/master-key,/opt/zelvor/keys/secret-key.pem,/var/lib/private",
                        "-z", "None", "-M", "ms.example", "-N", "vm1_full_1", "-T", "77", "-s",
                        remote.secret, "-m", remote.meta, "-X",
                        remote.snap_dir + "/restrictions.list"}}));
    const CallLog ssh = remote.ssh();
    ASSERT_GE(ssh.size(), 1u);
    // Every ssh call is one that can neither prompt nor hang on a silent host, nor read
    // the module's standard input.
    for (const auto& call : ssh) {
        ASSERT_GE(call.size(), 9u);
        EXPECT_EQ(std::vector<std::string>(call.begin(), call.begin() + 9),
                  (std::vector<std::string>{"-q", "-n", "-o", "BatchMode=yes", "-o",
                                            "ConnectTimeout=5", "-l", "root", "backup-host"}));
    }
    EXPECT_EQ(std::vector<std::string>(ssh[0].begin() + 9, ssh[0].end()),
              (std::vector<std::string>{"-o", "ConnectTimeout=5", "-o", "PasswordAuthentication=no",
                                        "-o", "PubkeyAuthentication=yes", "-o", "BatchMode=yes",
                                        "exit 0"}));
    const std::vector<std::string> scp_options = {"-o", "BatchMode=yes", "-o", "ConnectTimeout=5"};
    const auto scp = [&](const std::string& from, const std::string& to) {
        std::vector<std::string> call = scp_options;
        call.push_back(from);
        call.push_back(to);
        return call;
    };
    EXPECT_EQ(remote.scp(),
              (CallLog{scp(remote.secret, "root@backup-host:" + remote.secret),
                       scp(remote.list, "root@backup-host:" + remote.list),
                       scp(remote.restrictions, "root@backup-host:" + remote.snap_dir),
                       scp("root@backup-host:" + remote.meta, remote.meta)}));
    // Nothing of the backup stays on the remote host.
    for (const std::string& path : {remote.secret, remote.list, remote.snap_dir})
        EXPECT_FALSE(remote.remote_exists(path)) << path;
    EXPECT_TRUE(remote.remote_exists(remote.work));
    EXPECT_EQ(log.count("Warning"), 0);
}

ZV_SANDBOXED_CASE(remote_backup_failures) {
    RemoteSetup remote;
    LogCapture log;

    remote.set("refuse");
    EXPECT_FALSE(SnapshotModule(remote.options(false)).make_backup_remotely());
    // The logger writes each line of a message as a line of its own.
    EXPECT_EQ(log.count(std::string(remote_signature) +
                        ": the ssh unable to connect. command output: ssh: connect to host "
                        "backup-host port 22: Connection refused"),
              1);
    EXPECT_EQ(log.count("ssh connection failed to: backup-host"), 1);
    EXPECT_EQ(remote.ssh().size(), 1u);  // no clean-up after a failed connection
    fs::remove(remote.root + "/refuse");

    // A work directory that the remote host lacks.
    fs::create_directories(remote.work + "/local-only");
    ZvModuleOptions local_only = remote.options(false);
    local_only.tmp_operation_directory = remote.work + "/local-only";
    fs::remove(remote.root + "/ssh.calls");
    EXPECT_FALSE(SnapshotModule(local_only).make_backup_remotely());
    EXPECT_EQ(log.count(std::string(remote_signature) + "command output: "), 1);
    EXPECT_EQ(log.count("folder: " + local_only.tmp_operation_directory +
                        " does not exist on remote host: backup-host"),
              1);
    EXPECT_EQ(remote.ssh().size(), 2u);

    // From the copies on, every failure cleans the remote host up.
    remote.set("scp-fail", "zvfd.list");
    fs::remove(remote.root + "/ssh.calls");
    EXPECT_FALSE(SnapshotModule(remote.options(false)).make_backup_remotely());
    EXPECT_EQ(log.count(std::string(remote_signature) +
                        ": the following command produced an error: /usr/bin/scp -o BatchMode=yes "
                        "-o ConnectTimeout=5 '" + remote.list + "' 'root@backup-host:" + remote.list + "'"),
              1);
    EXPECT_EQ(log.count("command output: scp: root@backup-host:" + remote.list +
                        ": Permission denied"),
              1);
    EXPECT_EQ(log.count("Cleaning remote host"), 1);
    EXPECT_FALSE(remote.remote_exists(remote.secret));
    EXPECT_FALSE(remote.remote_exists(remote.snap_dir));
    fs::remove(remote.root + "/scp-fail");

    remote.set("zvfd-status", "1");
    EXPECT_FALSE(SnapshotModule(remote.options(false)).make_backup_remotely());
    EXPECT_EQ(log.count(std::string(remote_signature) +
                        ": remote ZVFD command exec /usr/bin/ssh -q -n -o BatchMode=yes -o "
                        "ConnectTimeout=5 -l 'root' 'backup-host' "),
              1);
    EXPECT_EQ(log.count("produced an error, zvfd out: archiver: sent to media server"), 1);
    EXPECT_EQ(log.count("Cleaning remote host"), 2);
    EXPECT_FALSE(remote.remote_exists(remote.secret));
    fs::remove(remote.root + "/zvfd-status");

    remote.set("no-meta");
    fs::remove(remote.meta);
    log.clear();
    SnapshotModule module(remote.options(false));
    EXPECT_FALSE(module.make_backup_remotely());
    EXPECT_FALSE(module.zvfd_result);
    EXPECT_EQ(log.count("metafile: " + remote.meta + " does not exist on remote host: backup-host"), 1);
    EXPECT_EQ(log.count("Cleaning remote host"), 1);
    // The remote rm of the missing metadata file fails: a Warning, the clean-up goes on.
    EXPECT_EQ(log.count("bool ZvModuleUniversal::cleanup_remote_host(const string&): the following "
                        "command produced an error: "),
              1);
    EXPECT_FALSE(remote.remote_exists(remote.secret));
    EXPECT_FALSE(fs::exists(remote.meta));
}

class RemoteBackup : public ::testing::Test {
protected:
    void expect(const std::string& name) {
        if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root for fakes at /usr/bin/ssh";
        zv_test::Sandbox box;
        const std::string root = box.root().string() + "/remote";
        fs::create_directories(root + "/work");
        for (const char* dir : {"bin", "var/tasks", "etc"}) fs::create_directories(root + "/opt/" + dir);
        zv_test::write_text(root + "/opt/bin/zvfd", remote_zvfd);
        fs::permissions(root + "/opt/bin/zvfd", fs::perms(0755));
        box.fake_program("/usr/bin/ssh", std::string("#!/bin/bash\n") +
                                             zv_test::log_arguments_to(root + "/ssh.calls") +
                                             remote_side + fake_ssh);
        box.fake_program("/usr/bin/scp", std::string("#!/bin/bash\n") +
                                             zv_test::log_arguments_to(root + "/scp.calls") +
                                             remote_side + fake_scp);
        zv_test::RunOptions options;
        options.env["REMOTE_ROOT"] = root;
        options.env["WORK"] = box.root().string() + "/work";
        zv_test::expect_case_passes(box, name, options);
    }
};

TEST_F(RemoteBackup, RunsTheArchiverRemotelyAndBringsBackOnlyTheMetadata) {
    expect("remote_backup_succeeds");
}

TEST_F(RemoteBackup, FailuresBeforeTheCopiesLeaveTheHostLaterOnesCleanIt) {
    expect("remote_backup_failures");
}

TEST(RemoteBackupRefusals, UnsupportedModesAreRefusedBeforeAnyConnection) {
    zv_test::FakeBin bin;  // a stray ssh on PATH is never the one used; /usr/bin/ssh is fixed
    const std::string list = bin.dir() + "/zvfd.list";
    zv_test::write_text(list, "ZVFD file list:\n");
    struct Case {
        std::function<void(ZvModuleOptions&)> change;
        std::string message;
    } cases[] = {
        {[](ZvModuleOptions& o) { o.autonomous = true; },
         ": Autonomous mode is not supported for remote backup zvfd mode"},
        {[](ZvModuleOptions& o) { o.dgst = true; },
         ": Digital signature is not supported for remote backup zvfd mode"},
        {[](ZvModuleOptions& o) { o.crypto_algorithm = "kuznyechik"; },
         ": Encrytping signature is not supported for remote backup zvfd mode"},
        {[](ZvModuleOptions& o) { o.remote_host = "-oProxyCommand=touch /tmp/x"; },
         ": wrong remote host or user: root@-oProxyCommand=touch /tmp/x"},
        {[&](ZvModuleOptions& o) { o.resource_list_file = list + ".missing"; },
         "resource list file doesn't exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ZvModuleOptions options;
        options.remote_host = "backup-host";
        options.tmp_operation_directory = bin.dir();
        options.archive_name = "vm1_full_1";
        options.task_id = "77";
        options.resource_list_file = list;
        c.change(options);
        LogCapture log;
        SnapshotModule module(options);
        // make_backup takes the remote path whenever a remote host is set.
        EXPECT_FALSE(module.make_backup());
        EXPECT_EQ(log.count(c.message), 1);
        EXPECT_EQ(log.count("Testing connection to remote host"), 0);
    }
}
