// Server-mode runs of the real binary against the test guest: a scratch /opt/zelvor
// with the stand-in archiver, a fake lsmod that shows KVM and the task's secret, one
// operation directory for what a test backs up, and the command line the client
// agent gives for a backup.
//
//   ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
//   zv_test::ServerModeBox b;
//   const auto result = b.box().run(b.backup_args("-1", dom.name(), "full_1"));
#pragma once

#include "support/hold.h"
#include "support/libvirt_env.h"
#include "support/module_sandbox.h"

#include "common/zv_shell.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace zv_test {

inline const char* const kMediaServer = "media-1";
inline const char* const kTaskId = "task-1";
inline const char* const kFakeLsmod =
    "#!/bin/sh\n"
    "echo 'Module                  Size  Used by'\n"
    "echo 'kvm_intel             380928  0'\n"
    "echo 'kvm                  1142784  1 kvm_intel'\n";

#define ZV_REQUIRE_SANDBOX_AND_LIBVIRT()                                                   \
    do {                                                                                   \
        ZV_REQUIRE_NAMESPACES();                                                           \
        ZV_REQUIRE_LIBVIRT();                                                              \
    } while (0)

class ServerModeBox {
public:
    ServerModeBox() {
        box_.install_zvfd();
        box_.fake_program("/sbin/lsmod", kFakeLsmod);
        std::ofstream((box_.opt() / "var/tasks" / (std::string("task_secret_") + kTaskId)).string())
            << "secret of the task\n";
        boost::filesystem::create_directories(operation());
    }

    Sandbox& box() { return box_; }
    const Sandbox& box() const { return box_; }
    boost::filesystem::path operation() const { return box_.root() / "operation"; }

    // "-1" full, "-2" incremental, "-3" differential, "-A" replica (which names the
    // domain without -b).
    std::vector<std::string> backup_args(const std::string& kind, const std::string& domain,
                                         const std::string& record,
                                         const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> args = {kind};
        if (kind != "-A") args.push_back("-b");
        args.insert(args.end(), {domain, "-d", operation().string(), "-n", record, "-m", kMediaServer,
                                 "-T", kTaskId});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // A record of the media server unpacked by the archiver itself into `directory`:
    // what the backup put into it.
    boost::filesystem::path unpack(const std::string& record, const boost::filesystem::path& directory) const {
        const auto result = box_.shell(zv_utils_common::shell_command(
            "/opt/zelvor/bin/zvfd", {"-R", record, "-M", kMediaServer, "-T", kTaskId, "-s",
                                     std::string("/opt/zelvor/var/tasks//task_secret_") + kTaskId, "-d",
                                     directory.string()}));
        EXPECT_EQ(result.status, 0) << describe(result);
        return directory;
    }

private:
    Sandbox box_;
};

// A run whose archiver waits at `hold` (its test aid): the options for the module.
inline RunOptions held_archiver(const Hold& hold) {
    RunOptions options;
    options.env["ZVFD_TEST_AID"] = hold.aid();
    return options;
}

// Waits until the archiver, started with `hold` in its test aid, is held: the
// preparation is done, the snapshot taken, and the archiver has begun and cannot end
// before the release. False when the run ended first.
inline bool wait_for_archiver(const Sandbox::Background& run, const Hold& hold) {
    return wait_for([&] { return hold.held() || !run.running(); }) && hold.held();
}

// The names in a directory; none when it does not exist.
inline std::set<std::string> entries(const boost::filesystem::path& directory) {
    std::set<std::string> names;
    if (!boost::filesystem::exists(directory)) return names;
    for (const auto& entry : boost::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

inline bool same_bytes(const boost::filesystem::path& a, const boost::filesystem::path& b) {
    return run_program({"cmp", "-s", a.string(), b.string()}).status == 0;
}

}  // namespace zv_test
