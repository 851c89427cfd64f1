// The shell runner and process termination, against real child processes.
#include "common/zv_utils_common.h"
#include "support/hold.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using zv_utils_common::execute_command;

// A shell script running as our child in a process group of its own; whatever
// is left of the group is killed and the child reaped when it goes out of scope.
class Script {
public:
    explicit Script(const std::string& script, bool ignore_sigterm = false) {
        // The pipe closes on exec, so the constructor returns only once the
        // script runs with its signal dispositions in place.
        int exec_pipe[2];
        if (pipe2(exec_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            close(exec_pipe[0]);
            setpgid(0, 0);
            if (ignore_sigterm) signal(SIGTERM, SIG_IGN);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(pid_, pid_);
        close(exec_pipe[1]);
        char byte;
        while (read(exec_pipe[0], &byte, 1) < 0 && errno == EINTR) {
        }
        close(exec_pipe[0]);
    }
    ~Script() {
        kill(-pid_, SIGKILL);
        if (!reaped_) waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

    // Waits for the script to end and returns its wait status.
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return status;
    }
    bool running() const { return !reaped_ && waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_;
    bool reaped_ = false;
};

std::vector<int> children_of(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<int> children;
    for (int child; in >> child;) children.push_back(child);
    return children;
}

// Waits until `pid` has at least one child and returns the first.
int first_child(int pid) {
    int child = 0;
    if (!zv_test::wait_for([&] {
            const auto children = children_of(pid);
            if (!children.empty()) child = children.front();
            return child != 0;
        }))
        throw std::runtime_error("no child appeared under " + std::to_string(pid));
    return child;
}

bool alive(int pid) { return kill(pid, 0) == 0; }

int unused_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

struct CommandCase {
    const char* name;
    std::string command;
    std::string held;  // what the output string holds before the call
    int status;
    std::string output;
};

TEST(ExecuteCommand, StatusAndCapturedOutput) {
    const std::string long_line(3000, 'x');
    const std::vector<CommandCase> cases = {
        {"exit status", "exit 3", "", 3, ""},
        {"stderr merged and appended", "sh -c 'echo out; echo err >&2; exit 2'", "held\n", 2,
         "held\nout\nerr\n"},
        {"shell killed by SIGKILL", "kill -9 $$", "", 128 + SIGKILL, ""},
        {"shell killed by SIGTERM", "echo before; kill -15 $$", "", 128 + SIGTERM, "before\n"},
        {"only the last command's stderr", "echo first >&2; echo second", "", 0, "second\n"},
        {"long line arrives whole", "head -c 3000 /dev/zero | tr '\\0' x; echo", "", 0,
         long_line + "\n"},
        {"NUL cuts a piece", "printf 'a\\000b\\n'", "", 0, "a"},
    };
    for (const auto& c : cases) {
        std::string output = c.held;
        EXPECT_EQ(execute_command(c.command, output), c.status) << c.name;
        EXPECT_EQ(output, c.output) << c.name;
    }
}

// With SIGCHLD ignored the kernel reaps the shell itself and pclose cannot
// collect its status: that must not read as success.
TEST(ExecuteCommand, UncollectableStatusIsFailure) {
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    std::string output;
    const int status = execute_command("echo ran", output);
    sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(output, "ran\n");
}

TEST(ExecuteCommand, NoShellGivesOneAndSaysWhy) {
    char path[] = "/tmp/zvtest-stderr-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fd, 2);
        close(fd);
        // Streams are used once while descriptors are still free: the sanitizer's
        // type check needs one the first time it sees a stream type.
        std::ostream warm_up(nullptr);
        warm_up << "Couldn't start OS command: " << std::string() << std::endl;
        // No descriptor is left for the pipe, so popen fails.
        struct rlimit limit {3, 3};
        setrlimit(RLIMIT_NOFILE, &limit);
        std::string output;
        _exit(execute_command("true", output));
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(path);
    std::stringstream err;
    err << in.rdbuf();
    unlink(path);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(err.str(), "Couldn't start OS command: true 2>&1\n");
}

TEST(SendSignal, RefusesPidsThatReachOtherProcesses) {
    Script group("sleep 30");
    // Signal 0 probes only, so none of these can harm the host even when refused wrongly.
    struct Case {
        const char* name;
        int pid;
        int signal;
    };
    const std::vector<Case> cases = {
        {"every process", -1, 0},
        {"the module itself", static_cast<int>(getpid()), 0},
        {"a process group", -group.pid(), SIGTERM},
        {"a pid that does not exist", unused_pid(), SIGTERM},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(zv_utils_common::send_signal(c.pid, c.signal)) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.name;
    }
    EXPECT_TRUE(group.running());

    testing::internal::CaptureStdout();
    EXPECT_TRUE(zv_utils_common::send_signal(0, SIGTERM));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SendSignal, SignalsALiveProcessAndSaysSo) {
    Script child("sleep 30");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(zv_utils_common::send_signal(child.pid(), SIGTERM));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "sent signal 15 to the process: " + std::to_string(child.pid()) + "\n");
    const int status = child.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(SynchronousTerminate, MissingProcessIsReported) {
    const int pid = unused_pid();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(zv_utils_common::synchronous_terminate(pid));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Process with pid:" + std::to_string(pid) + " does not exist\n");
    EXPECT_FALSE(zv_utils_common::synchronous_terminate(0));
}

TEST(SynchronousTerminate, ProcessIgnoringSigtermIsKilled) {
    Script stubborn("exec sleep 30", /*ignore_sigterm=*/true);
    EXPECT_TRUE(zv_utils_common::synchronous_terminate(stubborn.pid()));
    const int status = stubborn.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

// A process that takes a moment to shut down after SIGTERM has been terminated:
// it must not be reported as a failure because SIGKILL then finds it gone.
TEST(SynchronousTerminate, ProcessEndingDuringGraceCounts) {
    Script parent("sh -c 'trap \"sleep 0.2; exit 0\" TERM; while :; do sleep 0.05; done' & wait");
    const int slow = first_child(parent.pid());
    EXPECT_TRUE(zv_utils_common::synchronous_terminate(slow));
    EXPECT_FALSE(alive(slow));
}

TEST(KillChilds, OwnLeafChildIsTerminatedAndNothingElseReported) {
    Script child("exec sleep 30");
    testing::internal::CaptureStdout();
    zv_utils_common::kill_childs(getpid());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PID was terminated: " + std::to_string(child.pid()) + "\n");
    const int status = child.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(KillChilds, ProcessWithoutChildrenIsLeftAlone) {
    Script leaf("exec sleep 30");
    testing::internal::CaptureStdout();
    zv_utils_common::kill_childs(leaf.pid());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(leaf.running());
}

TEST(KillChilds, OnlyTheLeavesOfATreeAreTerminated) {
    Script parent("sh -c 'sleep 30; sleep 30' & wait");
    const int child = first_child(parent.pid());
    const int grandchild = first_child(child);
    testing::internal::CaptureStdout();
    zv_utils_common::kill_childs(parent.pid());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PID was terminated: " + std::to_string(grandchild) + "\n");
    EXPECT_FALSE(alive(grandchild));
    EXPECT_TRUE(alive(child));
    EXPECT_TRUE(parent.running());
}

}  // namespace
