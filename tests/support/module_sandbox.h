// Runs the real module binary inside a private mount namespace with a scratch
// /opt/zelvor and optional scripted fakes bound over fixed platform paths.
// Nothing a test does here reaches the host's /opt/zelvor or leaves a mount.
//
//   zv_test::Sandbox box;
//   box.fake_program("/sbin/lsmod", "#!/bin/sh\necho 'kvm 1 0'\n");
//   auto result = box.run({"-t"});
//   EXPECT_EQ(result.status, 0);
#pragma once

#include <boost/filesystem/path.hpp>

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace zv_test {

// Removes terminal colour sequences (ESC [ ... m) so text can be compared.
std::string strip_colours(const std::string& text);

struct RunResult {
    int status = -1;  // exit status; 128 + signal number when killed by a signal
    std::string out;  // standard output: log lines and protocol lines together
    std::string err;
    long peak_kib = 0;  // the largest resident set of the run's processes, in KiB

    // Lines of standard output that are log lines ("[" time "] " ...), colours stripped.
    std::vector<std::string> log_lines() const;
    // The other lines of standard output: what the client agent reads.
    std::vector<std::string> protocol_lines() const;
    bool has_log(const std::string& fragment) const;
    // Number of log lines that contain the fragment.
    int count_log(const std::string& fragment) const;
};

struct RunOptions {
    std::map<std::string, std::string> env;  // for fakes and stand-ins only
    int timeout_seconds = 300;
    std::string argv0;  // program name to pass as argv[0]; default: the binary's path
    std::string input;  // standard input
};

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Host directory of this sandbox, and the host directory that stands for /opt/zelvor.
    const boost::filesystem::path& root() const { return root_; }
    boost::filesystem::path opt() const { return root_ / "opt_zelvor"; }

    // Writes an executable script and makes it appear at `target` inside the namespace.
    void fake_program(const std::string& target, const std::string& script);
    // Makes a host file or directory appear at `target` inside the namespace.
    void bind(const std::string& target, const std::string& host_path);
    // Puts the archiver built with the tests at /opt/zelvor/bin/zvfd.
    void install_zvfd();

    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) const;
    // Runs a shell script inside the same namespace set-up (to inspect what a run left).
    RunResult shell(const std::string& script, const RunOptions& options = {}) const;

    // A run in the background, for tests that signal the module while it works.
    class Background {
    public:
        Background(pid_t pid, boost::filesystem::path out, boost::filesystem::path err,
                   int timeout_seconds);
        Background(Background&&) noexcept;
        ~Background();
        pid_t pid() const { return pid_; }  // the module's own process id
        void signal(int signo) const;
        // Not yet ended (an ended run stays a zombie until wait()).
        bool running() const;
        RunResult wait();
        std::string current_output() const;

    private:
        pid_t pid_;
        boost::filesystem::path out_, err_;
        int timeout_seconds_;
        bool waited_ = false;
    };
    Background start(const std::vector<std::string>& args, const RunOptions& options = {}) const;

private:
    boost::filesystem::path write_launcher(const std::string& command_tail,
                                           const RunOptions& options) const;
    pid_t spawn(const boost::filesystem::path& launcher, const std::vector<std::string>& args,
                const RunOptions& options, boost::filesystem::path& out,
                boost::filesystem::path& err) const;

    boost::filesystem::path root_;
    std::vector<std::pair<std::string, std::string>> binds_;  // target, host path
    mutable int runs_ = 0;
};

// True when the process can create mount namespaces (root); tests skip otherwise.
bool can_use_namespaces();

// Skips the current test when the sandbox cannot be used here.
#define ZV_REQUIRE_NAMESPACES()                                                  \
    do {                                                                         \
        if (!::zv_test::can_use_namespaces())                                    \
            GTEST_SKIP() << "needs root and mount namespaces";                   \
    } while (0)

// A run's status and both outputs (colours stripped), for failure messages.
std::string describe(const RunResult& result);

// Live (not zombie) processes of a process group as "<pid> (<command>)". A module run
// leads its own group and none of its descendants leaves it.
std::vector<std::string> live_processes_in_group(pid_t group);

// Path of the module binary built with the tests, and of the archiver.
std::string module_binary();
std::string zvfd_binary();

}  // namespace zv_test
