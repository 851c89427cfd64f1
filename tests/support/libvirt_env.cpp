#include "support/libvirt_env.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = boost::filesystem;

namespace zv_test {

namespace {

const char* const kVirsh = "/usr/bin/virsh";
const char* const kUri = "qemu:///system";
const char* const kNamePrefix = "zvtest-";

int decode_wait_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool process_gone(long pid) {
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Throwaway domains and scratch directories of test processes that have ended
// (crashed, killed by a timeout) would otherwise pile up on the host.
void remove_leftovers_of_dead_processes() {
    static const std::regex owned("^zvtest-([0-9]+)-.*");
    std::smatch match;
    const auto listing = virsh({"list", "--all", "--name"}, 30);
    std::istringstream lines(listing.out);
    for (std::string name; std::getline(lines, name);) {
        if (std::regex_match(name, match, owned) && process_gone(std::stol(match[1].str())))
            remove_domain(name);
    }
    boost::system::error_code ec;
    for (fs::directory_iterator it(scratch_root(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string leaf = it->path().filename().string();
        if (std::regex_match(leaf, match, owned) && process_gone(std::stol(match[1].str())))
            fs::remove_all(it->path(), ec);
    }
}

bool libvirt_answers() { return virsh({"list"}, 20).ok(); }

}  // namespace

std::string CommandResult::describe() const {
    std::ostringstream text;
    text << command << "\n  status " << status << (timed_out ? " (timed out)" : "")
         << "\n  stdout: " << out << "\n  stderr: " << err;
    return text.str();
}

CommandResult run_program(const std::vector<std::string>& argv, int timeout_seconds) {
    CommandResult result;
    for (const auto& word : argv) result.command += (result.command.empty() ? "" : " ") + word;
    if (argv.empty()) return result;

    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return result;
    }
    std::vector<char*> args;
    for (const auto& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::close_range(3, ~0U, 0);  // a daemon started from here must not hold our pipes
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (pid < 0) {
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_fds = 2, wait_status = 0;
    bool reaped = false;
    char buffer[65536];
    while (open_fds > 0) {
        // Once the child is gone, a grandchild may still hold the pipes: drain what is
        // there and stop instead of waiting for an end of file that never comes.
        const int ready = ::poll(fds, 2, reaped ? 50 : 100);
        if (ready < 0 && errno != EINTR) break;
        bool got_data = false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
                got_data = true;
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
        if (!reaped && ::waitpid(pid, &wait_status, WNOHANG) == pid) reaped = true;
        else if (reaped && !got_data) break;
        if (!reaped && std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &wait_status, 0);
            reaped = true;
        }
    }
    for (auto& entry : fds)
        if (entry.fd >= 0) ::close(entry.fd);
    if (!reaped) ::waitpid(pid, &wait_status, 0);
    result.status = decode_wait_status(wait_status);
    return result;
}

CommandResult virsh(const std::vector<std::string>& args, int timeout_seconds) {
    std::vector<std::string> argv = {"/usr/bin/env", "LANG=C", kVirsh, "-c", kUri};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, timeout_seconds);
}

CommandResult pivot_when_ready(const std::string& domain, const std::string& target) {
    CommandResult pivot;
    for (int i = 0; i < 300; ++i) {
        pivot = virsh({"blockjob", domain, target, "--pivot"}, 20);
        if (pivot.ok()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pivot;
}

bool libvirt_installed(std::string& reason) {
    if (::geteuid() != 0) {
        reason = "needs root to drive the system libvirt daemon";
        return false;
    }
    for (const char* program : {"/usr/sbin/libvirtd", "/usr/sbin/virtlogd", kVirsh,
                                "/usr/bin/qemu-system-x86_64", "/usr/bin/qemu-img"}) {
        if (::access(program, X_OK) != 0) {
            reason = std::string(program) + " is not installed (run scripts/setup.sh)";
            return false;
        }
    }
    return true;
}

bool ensure_libvirt(std::string& reason) {
    static std::mutex mutex;
    static int state = 0;  // 0 not tried, 1 ready, 2 failed
    static std::string failure;
    std::lock_guard<std::mutex> lock(mutex);
    if (state == 1) return true;
    if (state == 2) {
        reason = failure;
        return false;
    }
    if (!libvirt_installed(failure)) {
        state = 2;
        reason = failure;
        return false;
    }
    // virtlogd is needed by every domain start even when libvirtd already answers.
    // Both daemons hold a pid-file lock, so starting one that runs is a harmless no-op.
    run_program({"/bin/sh", "-c", "cd / && /usr/sbin/virtlogd -d >/dev/null 2>&1"}, 30);
    if (!libvirt_answers()) {
        run_program({"/bin/sh", "-c", "cd / && /usr/sbin/libvirtd -d >/dev/null 2>&1"}, 60);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!libvirt_answers()) {
            if (std::chrono::steady_clock::now() > deadline) {
                failure = "libvirtd did not answer `virsh -c qemu:///system list` within 60 s "
                          "after `libvirtd -d`: " + virsh({"list"}, 20).describe();
                state = 2;
                reason = failure;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }
    remove_leftovers_of_dead_processes();
    state = 1;
    return true;
}

std::string unique_domain_name(const std::string& prefix) {
    static std::atomic<int> counter{0};
    std::string name = kNamePrefix + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    if (!prefix.empty()) name += "-" + prefix;
    return name;
}

void remove_domain(const std::string& name) {
    virsh({"destroy", name}, 60);
    virsh({"undefine", name, "--snapshots-metadata"}, 60);
}

std::string scratch_root() {
    const char* root = std::getenv("ZV_TEST_SCRATCH");
    return root && *root ? root : "/var/tmp";
}

}  // namespace zv_test
