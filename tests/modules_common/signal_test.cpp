// Termination, pause and continue of a module run, each in a forked child that
// installs the module's handlers and is then signalled (by itself at a chosen point
// of the run, or by the test). What the child did is read back from an events file
// and its standard output, where its log lines go.
#include "modules_common/zv_modules_common.h"
#include "modules_common/zv_signal_handler.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "support/hold.h"
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"
#include "support/test_module.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace fs = boost::filesystem;
using zv_test::read_file;

namespace {

// One write on an O_APPEND descriptor: safe from a handler, whole across processes.
void record(const fs::path& events, const std::string& event) {
    const std::string line = event + "\n";
    const int fd = open(events.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The framework's test module with hooks at the points a signal may hit.
class SignalModule : public zv_test::TestModule {
public:
    using zv_test::TestModule::TestModule;

    std::function<bool()> on_prepare = [] { return true; };
    std::function<bool()> on_release = [] { return true; };
    std::function<bool()> on_before_restore = [] { return true; };
    std::function<bool()> on_load_config = [] { return true; };
    std::function<void()> on_overdue = [] {};

    bool prepare_resource_before_backup(const bool&) override { return on_prepare(); }
    bool release_resource_after_backup() override { return on_release(); }
    bool before_restore() override { return on_before_restore(); }
    bool load_module_config() override { return on_load_config(); }
    void handle_overdue_termination() override { on_overdue(); }

    using ZvModuleUniversal::created_restore_directory_;
    using ZvModuleUniversal::paused;
    using ZvModuleUniversal::reference_snapshot_directory;
    using ZvModuleUniversal::release_pending_;
    using ZvModuleUniversal::zvfd_pid;
};

struct ChildResult {
    int status = -1;  // exit status; 128 + signal; -2 when it had to be killed
    std::string out;  // standard output and error, log lines included
    double seconds = 0;
    bool has(const std::string& fragment) const { return out.find(fragment) != std::string::npos; }
    int count(const std::string& fragment) const {
        int n = 0;
        for (auto at = out.find(fragment); at != std::string::npos; at = out.find(fragment, at + 1)) ++n;
        return n;
    }
};

// A forked child running `body`; its return value is the exit status. The logger
// writes to the child's standard output, kept in a file of the scratch directory.
class Child {
public:
    Child(const fs::path& scratch, const std::function<int()>& body) : out_(scratch / "child.out") {
        started_ = std::chrono::steady_clock::now();
        pid_ = fork();
        if (pid_ != 0) return;
        const int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        setpgid(0, 0);
        ZvLogStream::read_config_ = false;  // never the host's /opt/zelvor
        ZvLogStream::global_log_level_ = ZvLogLvl::InfoMask;
        for (unsigned key : {0x1u, 0x2u, 0x3u, 0x4u, 0x7u, 0x8u, 0xfu}) ZvLogStream::set_log_level_logger(key);
        ZvLogStream::set_default_loggers(ZvDestination::Stdout());
        int status = 1;
        try {
            status = body();
        } catch (...) {
        }
        std::fflush(nullptr);
        _exit(status);
    }
    ~Child() {
        if (waited_) return;
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    void signal(int sig) const { kill(pid_, sig); }

    // What the child has written so far.
    std::string output() const { return zv_test::strip_colours(read_file(out_)); }

    // Kills the child when it has not ended by the deadline: a fault, never the load.
    ChildResult wait() {
        ChildResult result;
        const auto deadline = started_ + zv_test::kGenerousDeadline;
        int status = 0;
        for (;;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                kill(-pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                result.status = -2;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        waited_ = true;
        kill(-pid_, SIGKILL);  // whatever of its group is left
        result.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        result.out = zv_test::strip_colours(read_file(out_));
        return result;
    }

private:
    fs::path out_;
    pid_t pid_ = -1;
    bool waited_ = false;
    std::chrono::steady_clock::time_point started_;
};

class Signals : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zvsignal-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        operation_ = scratch_ / "op";
        fs::create_directories(operation_);
        events_ = scratch_ / "events";
    }
    void TearDown() override {
        boost::system::error_code ec;
        fs::remove_all(scratch_, ec);
    }

    ZvModuleOptions options(ZvModuleOperations operation) const {
        ZvModuleOptions o;
        o.operation = operation;
        o.resource = "vm";
        o.record_id = "42";
        o.tmp_operation_directory = operation_.string();
        o.archive_name = "arc";
        o.autonomous = true;
        return o;
    }
    std::function<void(const std::string&)> recorder() const {
        const fs::path events = events_;
        return [events](const std::string& event) { record(events, event); };
    }
    std::vector<std::string> events() const { return lines_of(read_file(events_)); }
    void wait_for_event(const std::string& event) const {
        const bool seen = zv_test::wait_for([&] {
            const auto now = events();
            return std::find(now.begin(), now.end(), event) != now.end();
        });
        if (!seen) FAIL() << "the child never recorded " << event;
    }

    fs::path scratch_, operation_, events_;
};

TEST_F(Signals, TerminationDuringPreparationWaitsForItAndReleasesIt) {
    auto note = recorder();
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        auto handler = ZvModuleSignalHandler::init(&module);
        module.on_prepare = [&] {
            note("prepare begins");
            raise(SIGTERM);
            note("prepare ends");
            return true;
        };
        module.on_release = [&] {
            note("release");
            return true;
        };
        module.run_backup(false);
        note("run returned");
        return 0;
    });
    const auto result = child.wait();
    EXPECT_EQ(result.status, 17) << result.out;
    EXPECT_EQ(events(), (std::vector<std::string>{"prepare begins", "prepare ends", "release"}));
    EXPECT_TRUE(result.has("Info: Module was terminated. PID: " + std::to_string(child.pid()) + "\n"))
        << result.out;
}

TEST_F(Signals, TerminationDuringReleaseLetsItFinishAndNeverRepeatsIt) {
    auto note = recorder();
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        auto handler = ZvModuleSignalHandler::init(&module);
        module.on_release = [&] {
            note("release begins");
            raise(SIGTERM);
            note("release ends");
            return true;
        };
        module.run_backup(false);
        note("run returned");
        return 0;
    });
    const auto result = child.wait();
    EXPECT_EQ(result.status, 17) << result.out;
    EXPECT_EQ(events(), (std::vector<std::string>{"release begins", "release ends"}));
}

// A step that holds the termination back but never ends (its program hangs): once the
// termination has waited its limit, the program is ended, the module's overdue
// clean-up runs instead of the rest of the step, and the run ends with 17. The same
// when the termination's own release is what hangs.
TEST_F(Signals, TerminationThatWaitsPastItsLimitEndsTheStepAndTheRun) {
    for (const bool in_release : {false, true}) {
        SCOPED_TRACE(in_release ? "the release hangs" : "the preparation hangs");
        fs::remove(events_);
        auto note = recorder();
        Child child(scratch_, [&] {
            ZvModuleOptions o = options(ZvModuleOperations::Backup);
            o.module_params = "termination_timeout:1";
            SignalModule module(o);
            auto handler = ZvModuleSignalHandler::init(&module);
            if (!module.parce_param_string()) return 1;
            auto hang = [&](const std::string& step) {
                note(step + " hangs");
                std::string output;
                zv_utils_common::execute_command("sleep 600", output);
                note(step + " ends");
                return true;
            };
            module.on_prepare = [&] { return in_release ? true : hang("prepare"); };
            module.on_release = [&] { return in_release ? hang("release") : true; };
            module.on_overdue = [&] { note("overdue clean-up"); };
            if (in_release) {
                module.release_pending_ = true;  // prepared; the archiver runs
                raise(SIGTERM);
            }
            module.run_backup(false);
            note("run returned");
            return 0;
        });
        const std::string step = in_release ? "release" : "prepare";
        wait_for_event(step + " hangs");
        const auto asked = std::chrono::steady_clock::now();
        child.signal(SIGTERM);
        const auto result = child.wait();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
        EXPECT_EQ(result.status, 17) << result.out;
        EXPECT_LT(seconds, 1 + 30) << result.out;
        EXPECT_EQ(events(), (std::vector<std::string>{step + " hangs", "overdue clean-up"}));
        EXPECT_TRUE(result.has("Warning: The termination has waited 1 s for the step under way")) << result.out;
        EXPECT_TRUE(result.has("PID was terminated: ")) << result.out;
        EXPECT_EQ(result.count("Module was terminated. PID: "), 1) << result.out;
    }
}

// A termination ends the run well before what it must not wait for would have ended by
// itself (a 60 s program, a pause that no continue ends).
constexpr double kAtOnceSeconds = 30;

// Paused inside the release, which holds termination back until it is done: the
// termination ends the pause, the release finishes, and the run ends within seconds
// instead of sleeping until a continue that never comes.
TEST_F(Signals, TerminationDuringAPauseInsideTheReleaseEndsTheRun) {
    auto note = recorder();
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        auto handler = ZvModuleSignalHandler::init(&module);
        module.release_pending_ = true;
        module.on_release = [&] {
            note("release paused");
            raise(SIGTSTP);
            note("release ends");
            return true;
        };
        module.release_prepared_resource();
        note("not terminated");
        return 0;
    });
    wait_for_event("release paused");
    ASSERT_TRUE(zv_test::wait_for([&] { return child.output().find(" put on pause") != std::string::npos; }))
        << child.output();
    const auto asked = std::chrono::steady_clock::now();
    child.signal(SIGTERM);
    const auto result = child.wait();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_EQ(result.status, 17) << result.out;
    EXPECT_LT(seconds, kAtOnceSeconds) << "the pause held the termination back";
    EXPECT_EQ(events(), (std::vector<std::string>{"release paused", "release ends"}));
    EXPECT_EQ(result.count("Module was terminated. PID: "), 1) << result.out;
}

TEST_F(Signals, SecondTerminationDuringTheCleanUpDoesNotReleaseAgain) {
    auto note = recorder();
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        auto handler = ZvModuleSignalHandler::init(&module);
        module.release_pending_ = true;  // prepared; the archiver runs
        module.on_release = [&] {
            note("release begins");
            raise(SIGTERM);
            raise(SIGINT);
            kill(getpid(), SIGTERM);
            note("release ends");
            return true;
        };
        raise(SIGTERM);
        note("not terminated");
        return 0;
    });
    const auto result = child.wait();
    EXPECT_EQ(result.status, 17) << result.out;
    EXPECT_EQ(events(), (std::vector<std::string>{"release begins", "release ends"}));
    EXPECT_EQ(result.count("Module was terminated. PID: "), 1) << result.out;
}

// An exception after a successful preparation (here: a path the file system refuses
// to look at) still releases the resource once, and the run reports it as the
// unexpected error it is (13), not as an ordinary failure.
TEST_F(Signals, ExceptionAfterThePreparationReleasesAndEndsWithThirteen) {
    auto note = recorder();
    const fs::path list = scratch_ / "zvfd.list";
    std::ofstream(list.string()) << "ZVFD file list:\n";
    Child child(scratch_, [&] {
        ZvModuleOptions o = options(ZvModuleOperations::Backup);
        o.autonomous = false;
        o.media_server = "ms";
        o.task_id = "7";
        o.remote_host = "backup-host";
        o.resource_list_file = list.string();
        o.restriction_list_path = "/tmp/" + std::string(300, 'x');  // ENAMETOOLONG
        SignalModule module(o);
        auto handler = ZvModuleSignalHandler::init(&module);
        module.on_release = [&] {
            note("release");
            return true;
        };
        return static_cast<int>(module.run());
    });
    const auto result = child.wait();
    EXPECT_EQ(result.status, 13) << result.out;
    EXPECT_EQ(events(), (std::vector<std::string>{"release"}));
    EXPECT_TRUE(result.has("File name too long")) << result.out;
}

TEST_F(Signals, TerminationWhileTheSnapshotFileIsPackedLeavesNoPartOfIt) {
    const fs::path packing = operation_ / "arc.snap.part";
    std::ofstream(packing.string()) << "half a snapshot file";
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        auto handler = ZvModuleSignalHandler::init(&module);
        raise(SIGTERM);
        return 0;
    });
    EXPECT_EQ(child.wait().status, 17);
    EXPECT_FALSE(fs::exists(packing));
    EXPECT_TRUE(fs::exists(operation_));
}

TEST_F(Signals, TerminationBeforeThePreparationReleasesNothing) {
    auto note = recorder();
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        auto handler = ZvModuleSignalHandler::init(&module);
        module.on_load_config = [] {
            raise(SIGTERM);
            return true;
        };
        module.on_release = [&] {
            note("release");
            return true;
        };
        module.run_backup(false);
        return 0;
    });
    EXPECT_EQ(child.wait().status, 17);
    EXPECT_TRUE(events().empty());
}

// A destination that is itself interrupted by the termination while it writes, with
// its mutex held: the handler's own lines must still get out.
class InterruptedDestination : public ZvDestination::ZvLogger {
protected:
    int write_log_impl(const std::string& text) override {
        std::cout << text << std::flush;
        if (!raised_) {
            raised_ = true;
            raise(SIGTERM);
        }
        return 0;
    }

private:
    bool raised_ = false;
};

TEST_F(Signals, TerminationWhileALineIsWrittenDoesNotDeadlock) {
    Child child(scratch_, [&] {
        ZvLogStream::set_default_loggers(std::make_unique<InterruptedDestination>());
        SignalModule module(options(ZvModuleOperations::ListAllResources));
        auto handler = ZvModuleSignalHandler::init(&module);
        ZvLogStream(ZvLogLvl::Info) << "a line of the main flow" << std::endl;
        return 0;
    });
    const auto result = child.wait();
    ASSERT_EQ(result.status, 17) << "deadlocked in the logger? " << result.out;
    EXPECT_TRUE(result.has("Info: a line of the main flow\n")) << result.out;
    EXPECT_TRUE(result.has("Info: Module was terminated. PID: ")) << result.out;
}

TEST_F(Signals, TerminationStopsTheChildProcesses) {
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Version));
        auto handler = ZvModuleSignalHandler::init(&module);
        std::string output;
        // The shell's child: `sleep` has no children of its own and is terminated.
        zv_utils_common::execute_command("sh -c 'sleep 60; echo done'", output);
        return 0;
    });
    // Wait for the sleep to run, then end the child.
    std::string sleeper;
    ASSERT_TRUE(zv_test::wait_for([&] {
        zv_utils_common::execute_command("pgrep -g " + std::to_string(child.pid()) + " -x sleep", sleeper);
        return !sleeper.empty();
    }));
    child.signal(SIGTERM);
    const auto result = child.wait();
    EXPECT_EQ(result.status, 17) << result.out;
    EXPECT_LT(result.seconds, kAtOnceSeconds) << "waited for the 60 s program";
    EXPECT_TRUE(result.has("PID was terminated: " + std::to_string(std::stoi(sleeper)) + "\n"))
        << result.out;
}

struct RestoreCase {
    const char* name;
    const char* archive_to_patch;    // -i: a directory that exists before the run
    bool restore_directory_exists;   // "42.rest" is left from an earlier run of the record
    bool signal_before_definition;   // the signal comes before the restore directory exists
    bool removed;                    // the run removed a restore directory
    bool left;                       // the restore directory exists after the run
};

class RestoreTermination : public Signals, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreTermination, RemovesOnlyTheRestoreDirectoryThisRunCreated) {
    const RestoreCase& c = GetParam();
    std::ofstream((operation_ / "client data").string()) << "keep";
    const std::string rest_name = c.archive_to_patch[0] ? std::string(c.archive_to_patch) + ".rest" : "42.rest";
    const fs::path rest = operation_ / rest_name;
    if (c.archive_to_patch[0] || c.restore_directory_exists) {
        fs::create_directories(rest);
        std::ofstream((rest / "earlier file").string()) << "earlier";
    }
    Child child(scratch_, [&] {
        ZvModuleOptions o = options(ZvModuleOperations::Restore);
        o.autonomous = false;  // the restore directory is named after the record
        o.archive_to_patch = c.archive_to_patch;
        SignalModule module(o);
        auto handler = ZvModuleSignalHandler::init(&module);
        module.on_load_config = [&] {
            if (c.signal_before_definition) raise(SIGINT);
            return true;
        };
        module.on_before_restore = [&] {
            std::ofstream((fs::path(module.options().tmp_operation_directory) / "restored").string()) << "x";
            raise(SIGINT);
            return true;
        };
        module.run_restore(false);
        return 0;
    });
    const auto result = child.wait();
    EXPECT_EQ(result.status, 17) << result.out;
    EXPECT_EQ(read_file(operation_ / "client data"), "keep");
    EXPECT_EQ(fs::exists(rest), c.left) << result.out;
    if (c.left) {
        EXPECT_EQ(read_file(rest / "earlier file"), "earlier");
    }
    EXPECT_EQ(result.has("Info: Remove temporary operation directory: " + rest.string() + "\n"),
              c.removed)
        << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestoreTermination,
    ::testing::Values(RestoreCase{"BeforeTheRestoreDirectoryIsDefined", "", false, true, false, false},
                      RestoreCase{"RestoreDirectoryOfThisRun", "", false, false, true, false},
                      RestoreCase{"RestoreDirectoryOfAnEarlierRun", "", true, false, false, true},
                      RestoreCase{"ArchiveToPatch", "patched", false, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Signals, TerminationOfAReplicaApplicationRemovesTheReferenceSnapshotDirectory) {
    const fs::path reference = operation_ / "ref.snap_dir";
    fs::create_directories(reference / "leveldb");
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::ApplyReplica));
        auto handler = ZvModuleSignalHandler::init(&module);
        module.reference_snapshot_directory = reference.string();
        raise(SIGTERM);
        return 0;
    });
    const auto result = child.wait();
    EXPECT_EQ(result.status, 17) << result.out;
    EXPECT_FALSE(fs::exists(reference));
    EXPECT_TRUE(fs::exists(operation_));
}

// A process standing for the archiver: it stops on SIGTSTP like a program with the
// default action, and records nothing itself; the test reads its state from /proc.
pid_t start_fake_archiver() {
    // Held until the child has its default actions: a pause that came earlier would
    // run the module's handler, inherited through fork, and never stop the child.
    sigset_t held, previous;
    sigemptyset(&held);
    sigaddset(&held, SIGTSTP);
    sigaddset(&held, SIGCONT);
    sigprocmask(SIG_BLOCK, &held, &previous);
    const pid_t pid = fork();
    if (pid != 0) sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (pid == 0) {
        signal(SIGTSTP, SIG_DFL);
        signal(SIGCONT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (;;) pause();
    }
    return pid;
}

char process_state(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// The child works in steps of 10 ms, recording each, until `done` exists; then it
// records "done". A pause holds the steps.
int working_child(SignalModule& module, const fs::path& events, const fs::path& archiver_pid_file,
                  const fs::path& done) {
    auto handler = ZvModuleSignalHandler::init(&module);
    module.zvfd_pid = start_fake_archiver();
    std::ofstream(archiver_pid_file.string()) << module.zvfd_pid;
    record(events, "ready");
    while (!fs::exists(done)) {
        record(events, "step");
        usleep(10000);
    }
    record(events, "done");
    kill(module.zvfd_pid, SIGKILL);
    return 0;
}

// Once the working child is ready: pauses it and waits until its archiver stopped too.
// Returns the archiver's process id.
pid_t pause_working_child(const Child& child, const fs::path& archiver_pid_file) {
    const pid_t archiver = std::stoi(read_file(archiver_pid_file));
    child.signal(SIGTSTP);
    zv_test::wait_for([&] { return process_state(archiver) == 'T'; });
    return archiver;
}

TEST_F(Signals, PauseHoldsTheWorkAndTheArchiverUntilContinue) {
    const fs::path archiver_pid_file = scratch_ / "archiver.pid";
    const fs::path done = scratch_ / "done";
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        return working_child(module, events_, archiver_pid_file, done);
    });
    wait_for_event("ready");
    const pid_t archiver = pause_working_child(child, archiver_pid_file);
    ASSERT_EQ(process_state(archiver), 'T') << "the archiver was not paused";
    ASSERT_TRUE(zv_test::wait_for([&] { return child.output().find(" put on pause") != std::string::npos; }))
        << child.output();
    // Told to finish, only the pause keeps the module from recording it within 10 ms.
    std::ofstream(done.string()).close();
    const auto held = events();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(events(), held) << "the module worked on during the pause";
    // Stopped ('T') is the fault; the pause wakes every 50 ms to look for a continue,
    // so on a busy machine it may be found running or waiting to run.
    EXPECT_NE(process_state(child.pid()), 'T') << "the module itself must not stop";

    child.signal(SIGCONT);
    const auto result = child.wait();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(events().back(), "done");
    const std::string pid = std::to_string(child.pid());
    EXPECT_TRUE(result.has("Info: Module pid: " + pid + " put on pause\n")) << result.out;
    EXPECT_TRUE(result.has("Info: Module pid: " + pid + " continue working\n")) << result.out;
    EXPECT_TRUE(result.has("sent signal " + std::to_string(SIGTSTP) + " to the process: " +
                           std::to_string(archiver)))
        << result.out;
    EXPECT_TRUE(result.has("sent signal " + std::to_string(SIGCONT) + " to the process: " +
                           std::to_string(archiver)))
        << result.out;
}

// Continues while the pause is still being set up (here: while its line is logged).
class ContinuingDestination : public ZvDestination::ZvLogger {
protected:
    int write_log_impl(const std::string& text) override {
        std::cout << text << std::flush;
        if (text.find(" put on pause") != std::string::npos) raise(SIGCONT);
        return 0;
    }
};

TEST_F(Signals, ContinueThatComesWhileThePauseBeginsIsNotLost) {
    const fs::path archiver_pid_file = scratch_ / "archiver.pid";
    const fs::path done = scratch_ / "done";
    Child child(scratch_, [&] {
        ZvLogStream::set_default_loggers(std::make_unique<ContinuingDestination>());
        SignalModule module(options(ZvModuleOperations::Backup));
        return working_child(module, events_, archiver_pid_file, done);
    });
    wait_for_event("ready");
    child.signal(SIGTSTP);
    EXPECT_TRUE(zv_test::wait_for([&] { return child.output().find(" continue working") != std::string::npos; }))
        << "the pause never ended: " << child.output();
    std::ofstream(done.string()).close();
    const auto result = child.wait();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(result.has(" put on pause")) << result.out;
    EXPECT_EQ(events().back(), "done");
}

TEST_F(Signals, TerminationDuringAPauseEndsTheRunAtOnce) {
    const fs::path archiver_pid_file = scratch_ / "archiver.pid";
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        return working_child(module, events_, archiver_pid_file, scratch_ / "never");
    });
    wait_for_event("ready");
    const pid_t archiver = pause_working_child(child, archiver_pid_file);
    ASSERT_EQ(process_state(archiver), 'T') << "the archiver was not paused";
    const auto asked = std::chrono::steady_clock::now();
    child.signal(SIGTERM);
    const auto result = child.wait();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_EQ(result.status, 17) << result.out;
    EXPECT_LT(seconds, kAtOnceSeconds) << "the pause held the termination back";
    EXPECT_TRUE(result.has("PID was terminated: " + std::to_string(archiver))) << result.out;
}

TEST_F(Signals, BrokenPipeDoesNotEndTheRun) {
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        auto handler = ZvModuleSignalHandler::init(&module);
        struct sigaction action {};
        sigaction(SIGPIPE, nullptr, &action);
        if (action.sa_handler == SIG_IGN || action.sa_handler == SIG_DFL) return 3;
        int fds[2];
        if (pipe(fds) != 0) return 4;
        close(fds[0]);
        if (write(fds[1], "x", 1) != -1 || errno != EPIPE) return 5;  // SIGPIPE came and went
        raise(SIGPIPE);
        return 0;
    });
    EXPECT_EQ(child.wait().status, 0);
}

TEST_F(Signals, DestroyingTheHandlerRestoresTheDefaultActions) {
    Child child(scratch_, [&] {
        SignalModule module(options(ZvModuleOperations::Backup));
        const int handled[] = {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE};
        {
            auto handler = ZvModuleSignalHandler::init(&module);
            if (ZvModuleSignalHandler::module_ptr_ != &module) return 3;
            for (int sig : handled) {
                struct sigaction action {};
                sigaction(sig, nullptr, &action);
                if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) return 10 + sig;
            }
        }
        for (int sig : handled) {
            struct sigaction action {};
            sigaction(sig, nullptr, &action);
            if (action.sa_handler != SIG_DFL) return 50 + sig;
        }
        return 0;
    });
    EXPECT_EQ(child.wait().status, 0);
}

// The stamp a handler's line gets, against the C library's local time, in a zone
// east and one west of Greenwich (POSIX zone texts: no zone files needed).
TEST_F(Signals, LinesWrittenInAHandlerCarryTheLocalTime) {
    for (const char* zone : {"ZVE-5:30", "ZVW+3:15"}) {
        Child child(scratch_, [&] {
            setenv("TZ", zone, 1);
            tzset();
            ZvDestination::SignalContext::note_time_zone();
            for (int attempt = 0; attempt < 5; ++attempt) {
                const std::time_t before = std::time(nullptr);
                {
                    ZvDestination::SignalContext in_handler;
                    ZvLogStream(ZvLogLvl::Info) << "stamped" << std::endl;
                }
                if (std::time(nullptr) != before) continue;  // a second boundary: again
                std::tm local{};
                localtime_r(&before, &local);
                char stamp[64];
                std::strftime(stamp, sizeof stamp, "[%Y-%m-%d %X] Info: stamped", &local);
                std::cout << "expected " << stamp << std::endl;
                return 0;
            }
            return 1;
        });
        const auto result = child.wait();
        ASSERT_EQ(result.status, 0) << result.out;
        const auto lines = lines_of(result.out);
        ASSERT_GE(lines.size(), 2u) << result.out;
        EXPECT_EQ("expected " + lines[lines.size() - 2], lines.back()) << zone;
    }
}

}  // namespace
