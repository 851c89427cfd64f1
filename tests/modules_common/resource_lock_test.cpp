// Resource locks between real processes. Every scenario runs in a forked child
// inside a private mount namespace with a scratch tmpfs over /opt, so the lock
// directory (and the logger's configuration file) never touch the host's
// /opt/zelvor.
#include "modules_common/module_resource_lock.h"

#include "zvcrypto/zv_hash.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>

namespace fs = boost::filesystem;
using zelvor::module::resource_file_lock;
using zelvor::module::resource_file_scoped_lock;
using zelvor::module::resource_lock_file_handler;

namespace {

// Runs `body` in a child process: exit status of the child.
int in_child(const std::function<int()>& body) {
    std::cout.flush();
    const pid_t pid = fork();
    if (pid == 0) {
        int rc = 99;
        try {
            rc = body();
        } catch (const std::exception& e) {
            std::cerr << "child: " << e.what() << "\n";
        }
        std::cout.flush();
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `body` with a scratch /opt in a private mount namespace; the body returns
// an empty text on success or what went wrong.
std::string in_scratch_opt(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    const int rc = in_child([&] {
        close(fds[0]);
        alarm(60);  // a scenario that hangs fails instead of stalling the suite
        std::string result;
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("zvtest", "/opt", "tmpfs", 0, "size=16m") != 0 || mkdir("/opt/zelvor", 0755) != 0) {
            result = "cannot set up the scratch /opt";
        } else {
            try {
                result = body();
            } catch (const std::exception& e) {
                result = std::string("exception: ") + e.what();
            }
        }
        if (!result.empty() && write(fds[1], result.data(), result.size()) < 0) {
            return 2;
        }
        close(fds[1]);
        return result.empty() ? 0 : 1;
    });
    close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (rc != 0 && text.empty()) {
        text = "scenario process ended with status " + std::to_string(rc);
    }
    return text;
}

void run_scenario(const std::function<std::string()>& body) {
    const std::string failure = in_scratch_opt(body);
    EXPECT_TRUE(failure.empty()) << failure;
}

bool can_unshare() {
    return in_child([] { return unshare(CLONE_NEWNS) == 0 ? 0 : 1; }) == 0;
}

class ResourceLock : public ::testing::Test {
protected:
    void SetUp() override {
        if (!can_unshare()) {
            GTEST_SKIP() << "needs root for a private mount namespace";
        }
    }
};

#define REQUIRE(cond)                                                         \
    do {                                                                      \
        if (!(cond)) {                                                        \
            return std::string("line ") + std::to_string(__LINE__) + ": " #cond; \
        }                                                                     \
    } while (0)

// Kills and reaps a helper process that a failed scenario leaves waiting.
struct reaper {
    pid_t pid = -1;
    ~reaper() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    int wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
};

// One-byte messages between the processes of a scenario.
struct signal_pipe {
    int fds[2];
    signal_pipe() {
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
    }
    ~signal_pipe() {
        close(fds[0]);
        close(fds[1]);
    }
    void send() const {
        if (write(fds[1], "x", 1) != 1) {
            throw std::runtime_error("pipe write");
        }
    }
    void wait() const {
        char c;
        if (read(fds[0], &c, 1) != 1) {
            throw std::runtime_error("pipe read");
        }
    }
};

TEST_F(ResourceLock, NameIsTheKeyedDigestPrefixOfModuleAndResourceJoined) {
    run_scenario([] {
        const std::string name = resource_lock_file_handler::make_lock_file_name("ab", "c");
        REQUIRE(name == resource_lock_file_handler::make_lock_file_name("a", "bc"));
        REQUIRE(name != resource_lock_file_handler::make_lock_file_name("ab", "d"));
        REQUIRE(std::regex_match(name, std::regex("Zelvor_MOD_mutex_[0-9a-f]{8}")));
        const std::string digest = zelvor::hash::to_string(
            zelvor::hash::sha::make_hash<std::array<unsigned char, 32>, std::string>("abc"));
        REQUIRE(name == "Zelvor_MOD_mutex_" + digest.substr(0, 8));
        // Other programs sharing the lock directory compute the same names: a literal
        // name and digest pin the key text and the digest's byte order.
        REQUIRE(resource_lock_file_handler::make_lock_file_name("zv_module_kvm", "vm1") ==
                "Zelvor_MOD_mutex_430e5789");
        REQUIRE(zelvor::hash::to_string(
                    zelvor::hash::sha::make_hash<std::array<unsigned char, 32>, std::string>(
                        "zv_module_kvmvm1")) ==
                "430e578932b5bd0d0b2c2b0f1e502229787ef9f9b75c3efcda9d5e1425cf1a49");
        REQUIRE(resource_lock_file_handler::make_lock_files_dir_path() == "/opt/zelvor/var/zelvor-modules");
        REQUIRE(resource_lock_file_handler::make_lock_file_path(name) == "/opt/zelvor/var/zelvor-modules/" + name);
        return std::string();
    });
}

TEST_F(ResourceLock, CreatesDirectoryAndFileAndLeavesAnExistingFileAlone) {
    run_scenario([] {
        {
            resource_file_lock unused;
        }
        REQUIRE(!fs::exists("/opt/zelvor/var"));
        const fs::path path = resource_lock_file_handler::make_lock_file_path(
            resource_lock_file_handler::make_lock_file_name("mod", "res"));
        {
            resource_lock_file_handler handler("mod", "res");
            REQUIRE(handler.resource_lock_file_path() == path);
            REQUIRE(fs::is_regular_file(path));
            REQUIRE(fs::file_size(path) == 0);
            std::ofstream(path.string()) << "kept";
            handler.create();
            resource_lock_file_handler again("mod", "res");
        }
        // The handler alone never removes the file.
        REQUIRE(fs::file_size(path) == 4);
        return std::string();
    });
}

TEST_F(ResourceLock, SecondProcessOnTheSameResourceIsRefusedAndOthersRun) {
    run_scenario([] {
        const fs::path path = resource_lock_file_handler::make_lock_file_path(
            resource_lock_file_handler::make_lock_file_name("zv_module_kvm", "vm1"));
        {
            resource_file_lock held("zv_module_kvm", "vm1");
            REQUIRE(held.try_lock());
            REQUIRE(held.try_lock());  // a record lock belongs to the process
            resource_file_scoped_lock scoped;
            resource_file_scoped_lock owner(held, boost::interprocess::accept_ownership);
            scoped.swap(owner);
            REQUIRE(scoped.owns());

            const int same = in_child([] {
                resource_file_lock second("zv_module_kvm", "vm1");
                return second.try_lock() ? 1 : 0;
            });
            REQUIRE(same == 0);
            REQUIRE(fs::exists(path));  // the refused process left the holder's file

            const fs::path other = resource_lock_file_handler::make_lock_file_path(
                resource_lock_file_handler::make_lock_file_name("zv_module_kvm", "vm2"));
            const int different = in_child([&] {
                resource_file_lock second("zv_module_kvm", "vm2");
                return second.try_lock() && fs::exists(other) ? 0 : 1;
            });
            REQUIRE(different == 0);
            REQUIRE(!fs::exists(other));  // removed when that process ended
        }
        REQUIRE(!fs::exists(path));
        return std::string();
    });
}

TEST_F(ResourceLock, ScopedLockReleasesAtTheEndOfItsScope) {
    run_scenario([] {
        resource_file_lock lock("m", "r");
        auto other_process_gets_it = [] {
            return in_child([] {
                resource_file_lock mine("m", "r");
                resource_file_scoped_lock tried(mine, boost::interprocess::try_to_lock);
                return tried.owns() ? 0 : 1;
            }) == 0;
        };
        {
            resource_file_scoped_lock waiting(lock);
            REQUIRE(waiting.owns());
            REQUIRE(!other_process_gets_it());
        }
        REQUIRE(other_process_gets_it());
        {
            resource_file_scoped_lock deferred(lock, boost::interprocess::defer_lock);
            REQUIRE(!deferred.owns());
            REQUIRE(other_process_gets_it());
        }
        return std::string();
    });
}

TEST_F(ResourceLock, FileOfADeadHolderIsReused) {
    run_scenario([] {
        const fs::path path = resource_lock_file_handler::make_lock_file_path(
            resource_lock_file_handler::make_lock_file_name("m", "crashed"));
        const int died = in_child([] {
            auto* lock = new resource_file_lock("m", "crashed");
            // Ends without destructors, as a killed process would.
            _exit(lock->try_lock() ? 0 : 1);
            return 1;
        });
        REQUIRE(died == 0);
        REQUIRE(fs::exists(path));
        resource_file_lock next("m", "crashed");
        REQUIRE(next.try_lock());
        return std::string();
    });
}

TEST_F(ResourceLock, RemovingAMissingFileLogsAndFails) {
    run_scenario([] {
        resource_lock_file_handler handler("m", "r");
        REQUIRE(handler.remove());
        const int out = open("/opt/zelvor/out.txt", O_CREAT | O_WRONLY | O_TRUNC, 0644);
        std::cout.flush();
        const int saved = dup(1);
        dup2(out, 1);
        const bool removed_again = handler.remove();
        std::cout.flush();
        dup2(saved, 1);
        close(out);
        REQUIRE(!removed_again);
        std::ifstream in("/opt/zelvor/out.txt");
        std::stringstream text;
        text << in.rdbuf();
        const std::string expected = "unable to remove lock file \"" + handler.resource_lock_file_path().string() +
                                     "\" for module \"m\" with resource \"r\" (system:0)!";
        if (text.str().find(expected) == std::string::npos) {
            return "log was: " + text.str();
        }
        REQUIRE(resource_lock_file_handler().remove());  // no path: nothing to do
        return std::string();
    });
}

// The holder removes the file while another process already has it open. That
// process must not end up locking the removed file while a third one creates
// and locks a new file under the same name.
TEST_F(ResourceLock, LockOnAFileRemovedByItsHolderIsTakenAgainOnTheNewFile) {
    run_scenario([] {
        const fs::path path = resource_lock_file_handler::make_lock_file_path(
            resource_lock_file_handler::make_lock_file_name("m", "vm"));
        signal_pipe opened, go, locked, finish;
        auto holder = std::make_unique<resource_file_lock>("m", "vm");
        REQUIRE(holder->try_lock());

        std::cout.flush();
        reaper second;
        second.pid = fork();
        if (second.pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a failed scenario
            int rc = 1;
            try {
                resource_file_lock mine("m", "vm");  // opens the holder's file
                opened.send();
                go.wait();
                rc = mine.try_lock() ? 0 : 2;
                locked.send();
                finish.wait();
            } catch (...) {
                rc = 3;
            }
            std::cout.flush();
            _exit(rc);
        }
        opened.wait();
        holder.reset();  // the holder ends: removes its file and unlocks
        REQUIRE(!fs::exists(path));
        go.send();
        locked.wait();
        REQUIRE(fs::exists(path));

        const int third = in_child([] {
            resource_file_lock late("m", "vm");
            return late.try_lock() ? 1 : 0;
        });
        finish.send();
        const int status = second.wait();
        REQUIRE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        REQUIRE(third == 0);  // the second process holds the file now at the path
        REQUIRE(!fs::exists(path));
        return std::string();
    });
}

}  // namespace
