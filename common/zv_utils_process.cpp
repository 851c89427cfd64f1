// The shell command runner and the process-tree termination used on shutdown.
// Everything here reports on the process's own standard output or standard
// error, never through the log: the logger itself may be what is shutting down.
#include "common/zv_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/algorithm/string/trim_all.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <exception>
#include <iostream>
#include <thread>
#include <vector>

namespace zv_utils_common {

namespace {

// Turns what pclose reports into the result callers test against 0. A shell
// killed by a signal reads as 128 + the signal, as the shell itself reports a
// killed command, so a killed tar or virsh never counts as success.
int command_status(int wait_status) {
    if (wait_status == -1) return -1;
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

// Children of `pid` as ps lists them, in its order. A ps that fails (it finds
// none, or cannot run) means no children. When `pid` is this process, the shell
// that runs ps is one of its children: it is gone once the listing is read, so
// it is left out (the line starts with its pid, "$$").
std::vector<int> list_children(int pid) {
    std::string output;
    const std::string command = "echo $$; ps -eo pid -h --ppid=" + std::to_string(pid);
    std::vector<int> children;
    if (execute_command(command, output) != 0) return children;

    std::vector<std::string> pieces;
    boost::split(pieces, output, boost::is_any_of("\n"));
    bool listing_shell_seen = false;
    int listing_shell = 0;
    for (auto& piece : pieces) {
        boost::trim_all(piece);
        if (piece.empty()) continue;
        const int child = std::stoi(piece);
        if (!listing_shell_seen) {
            listing_shell = child;
            listing_shell_seen = true;
            continue;
        }
        if (child != listing_shell) children.push_back(child);
    }
    return children;
}

// Depth first: a child without children of its own is terminated; a child
// with children is left running and its children are handled instead.
void terminate_leaves(const std::vector<int>& children) {
    for (const int child : children) {
        std::vector<int> grandchildren;
        try {
            grandchildren = list_children(child);
        } catch (const std::exception& e) {
            std::cerr << "zv_utils_common::kill_childs: error: " << e.what() << std::endl;
            continue;
        }
        if (!grandchildren.empty()) {
            terminate_leaves(grandchildren);
        } else if (synchronous_terminate(child)) {
            std::cout << "PID was terminated: " << child << std::endl;
        } else {
            std::cout << "Error terminate PID: " << child << std::endl;
        }
    }
}

}  // namespace

int execute_command(std::string command, std::string& output) {
    try {
        const std::string line = command + " 2>&1";
        FILE* pipe = popen(line.c_str(), "r");
        if (!pipe) {
            std::cerr << "Couldn't start OS command: " << line << std::endl;
            return 1;
        }
        char buffer[1024];
        try {
            while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
        } catch (...) {
            pclose(pipe);
            throw;
        }
        return command_status(pclose(pipe));
    } catch (const std::exception& e) {
        std::cerr << "zv_utils_common::execute_command: error: " << e.what() << std::endl;
        return -1;
    }
}

// kill() with a pid below 1 reaches a whole process group, or with -1 every
// process the caller may signal (as root: the host); a stale pid equal to our
// own would signal the module itself. Neither is ever meant.
bool send_signal(int pid, int signal) {
    if (pid == 0) return true;
    if (pid < 0 || pid == getpid()) {
        std::cerr << "Refusing to send signal " << signal << " to the process: " << pid << std::endl;
        return false;
    }
    if (kill(pid, 0) != 0) return false;
    if (kill(pid, signal) == 0) {
        std::cout << "sent signal " << signal << " to the process: " << pid << std::endl;
        return true;
    }
    std::cout << "No permissions to send signal " << signal << " the process: " << pid << std::endl;
    return false;
}

bool synchronous_terminate(const int& pid) {
    if (pid == 0) return false;
    if (pid < 0 || pid == getpid()) {
        std::cerr << "Refusing to terminate process with pid:" << pid << std::endl;
        return false;
    }
    if (kill(pid, 0) != 0) {
        std::cerr << "Process with pid:" << pid << " does not exist" << std::endl;
        return false;
    }
    if (kill(pid, SIGTERM) != 0) {
        std::cerr << " Error send signal:" << strsignal(SIGTERM) << " to process with pid:" << pid
                  << std::endl;
        return false;
    }
    // Give the process up to a second to end by itself; one that ended counts as
    // terminated, also when it went just before SIGKILL.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        if (kill(pid, 0) != 0) {
            if (errno == ESRCH) {
                std::cerr << "Process with pid:" << pid << " exited" << std::endl;
                return true;
            }
            std::cerr << "Error calling kill for process with pid:" << pid << ", :"
                      << strerror(errno) << std::endl;
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (kill(pid, SIGKILL) == 0 || errno == ESRCH) return true;
    std::cerr << "Error calling kill SIGKILL for process with pid:" << pid << ", :"
              << strerror(errno) << std::endl;
    return false;
}

void kill_childs(int pid) {
    try {
        terminate_leaves(list_children(pid));
    } catch (const std::exception& e) {
        std::cerr << "zv_utils_common::kill_childs: error: " << e.what() << std::endl;
    }
}

}  // namespace zv_utils_common
