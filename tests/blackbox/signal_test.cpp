// Termination of runs that need no libvirt, through the real binary: a restore
// interrupted while the (hanging) stand-in archiver unpacks removes the restore
// directory it created and nothing else of the client's, and a host check
// interrupted in the middle of its pipeline ends with 17 leaving no process behind.
#include "support/hold.h"
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace fs = boost::filesystem;
using namespace zv_test;

namespace {

bool wait_for_output(const Sandbox::Background& run, const std::string& fragment) {
    const auto seen = [&] { return run.current_output().find(fragment) != std::string::npos; };
    return wait_for([&] { return seen() || !run.running(); }) && seen();
}

class Terminated : public ::testing::Test {
protected:
    void SetUp() override {
        ZV_REQUIRE_NAMESPACES();
        box_.install_zvfd();
        std::ofstream((box_.opt() / "var/tasks/task_secret_7").string()) << "secret\n";
        fs::create_directories(operation());
        std::ofstream((operation() / "client's file").string()) << "not the module's";
    }
    fs::path operation() const { return box_.root() / "operation"; }

    Sandbox box_;
};

TEST_F(Terminated, InterruptedRestoreRemovesTheRestoreDirectoryItCreatedAndNothingElse) {
    RunOptions hanging;
    hanging.env["ZVFD_TEST_AID"] = "hang";
    auto run = box_.start({"-r", "42", "-d", operation().string(), "-m", "media-1", "-T", "7"}, hanging);
    ASSERT_TRUE(wait_for_output(run, "ZVFD PID: ")) << describe(run.wait());
    const fs::path restore_directory = operation() / "42.rest";
    ASSERT_TRUE(fs::is_directory(restore_directory));
    run.signal(SIGINT);
    const RunResult result = run.wait();
    EXPECT_EQ(result.status, 17) << describe(result);
    EXPECT_TRUE(result.has_log("Remove temporary operation directory: " + restore_directory.string()))
        << describe(result);
    EXPECT_TRUE(result.has_log("Module was terminated. PID: " + std::to_string(run.pid())));
    EXPECT_FALSE(fs::exists(restore_directory));
    EXPECT_EQ(read_file(operation() / "client's file"), "not the module's");
    EXPECT_TRUE(live_processes_in_group(run.pid()).empty()) << live_processes_in_group(run.pid()).front();
}

TEST_F(Terminated, InterruptedRestoreIntoAnArchiveToPatchLeavesThatDirectory) {
    const fs::path patched = operation() / "old.rest";
    fs::create_directories(patched);
    std::ofstream((patched / "restored earlier").string()) << "earlier";
    RunOptions hanging;
    hanging.env["ZVFD_TEST_AID"] = "hang";
    auto run = box_.start(
        {"-r", "42", "-d", operation().string(), "-m", "media-1", "-T", "7", "-i", "old"}, hanging);
    ASSERT_TRUE(wait_for_output(run, "ZVFD PID: ")) << describe(run.wait());
    run.signal(SIGTERM);
    const RunResult result = run.wait();
    EXPECT_EQ(result.status, 17) << describe(result);
    EXPECT_FALSE(result.has_log("Remove temporary operation directory: ")) << describe(result);
    EXPECT_EQ(read_file(patched / "restored earlier"), "earlier");
    EXPECT_EQ(read_file(operation() / "client's file"), "not the module's");
}

bool running(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// A module killed outright runs no clean-up; its archiver must not go on without it
// and finish an archive for a task that nobody waits for any more.
TEST_F(Terminated, ArchiverDoesNotOutliveAKilledModule) {
    RunOptions hanging;
    hanging.env["ZVFD_TEST_AID"] = "hang";
    auto run = box_.start({"-r", "42", "-d", operation().string(), "-m", "media-1", "-T", "7"}, hanging);
    ASSERT_TRUE(wait_for_output(run, "ZVFD PID: ")) << describe(run.wait());
    const std::string out = run.current_output();
    const pid_t archiver = std::atoi(out.c_str() + out.find("ZVFD PID: ") + 10);
    ASSERT_GT(archiver, 0);
    ASSERT_TRUE(running(archiver));
    run.signal(SIGKILL);
    const RunResult result = run.wait();
    EXPECT_EQ(result.status, 128 + SIGKILL) << describe(result);
    const bool gone = wait_for([&] { return !running(archiver); });
    EXPECT_TRUE(gone) << "the archiver " << archiver << " still runs without its module";
    if (!gone) ::kill(archiver, SIGKILL);
}

TEST_F(Terminated, InterruptedHostCheckEndsWithSeventeenAndNoProcessLeft) {
    // The check's "lsmod | grep kvm": a pipeline whose first program has a child.
    box_.fake_program("/sbin/lsmod", "#!/bin/sh\necho started >&2\nsleep 60\necho kvm\n");
    auto run = box_.start({"-t"});
    std::vector<std::string> group;
    ASSERT_TRUE(wait_for([&] {
        group = live_processes_in_group(run.pid());
        return std::any_of(group.begin(), group.end(),
                           [](const std::string& process) { return process.find("(sleep)") != std::string::npos; });
    })) << "lsmod never ran";
    ASSERT_GE(group.size(), 4u) << "module, shell, lsmod, sleep and grep were expected";
    run.signal(SIGTERM);
    const RunResult result = run.wait();
    EXPECT_EQ(result.status, 17) << describe(result);
    EXPECT_TRUE(result.has_log("Module was terminated. PID: " + std::to_string(run.pid())));
    std::vector<std::string> left;
    EXPECT_TRUE(wait_for([&] {
        left = live_processes_in_group(run.pid());
        return left.empty();
    })) << left.front();
}

}  // namespace
