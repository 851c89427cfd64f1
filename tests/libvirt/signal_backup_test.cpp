// Backups of the running test guest ended or paused by the client agent's signals, or
// killed outright, through the real binary, libvirt and the archiver zvfd (held by
// its test aid where a phase must be caught): a termination at any point ends with 17
// and leaves the domain running on its own disks with nothing of the backup left (no
// overlay, no process), and the next backup works; a pause holds the archiver until
// the run continues and then finishes normally; kills in the middle of the
// archiver's work leave the media server's repository whole.
#include "common/zv_shell.h"
#include "libvirt/domain_checks.h"
#include "libvirt/module_runs.h"
#include "libvirt/shared_guest.h"
#include "support/hold.h"
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"
#include "support/test_guest.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace fs = boost::filesystem;
using namespace zv_test;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The first live process of the group whose command line holds `fragment`; 0 if none.
pid_t group_process_with(pid_t group, const std::string& fragment) {
    for (const auto& line : live_processes_in_group(group)) {
        const std::string pid = line.substr(0, line.find(' '));
        std::string command = read_file("/proc/" + pid + "/cmdline");
        for (char& c : command)
            if (c == '\0') c = ' ';
        if (command.find(fragment) != std::string::npos) return std::stoi(pid);
    }
    return 0;
}

char process_state(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Not yet ended: a process that ended stays a zombie until its parent waits for it.
bool alive(pid_t pid) { return std::string("?ZX").find(process_state(pid)) == std::string::npos; }

// Polls until `ready` holds or the run ended; false when it never held.
bool wait_until(const Sandbox::Background& run, const std::function<bool()>& ready) {
    return wait_for([&] { return ready() || !run.running(); }) && ready();
}

bool output_has(const Sandbox::Background& run, const std::string& fragment) {
    return run.current_output().find(fragment) != std::string::npos;
}

// The seed of a test's random moments, printed so that a failure can be replayed
// with ZV_SIGNAL_SEED.
unsigned replayable_seed() {
    const char* seed_text = std::getenv("ZV_SIGNAL_SEED");
    const unsigned seed = seed_text ? static_cast<unsigned>(std::stoul(seed_text)) : std::random_device{}();
    std::cout << "[ seed     ] ZV_SIGNAL_SEED=" << seed << "\n";
    return seed;
}

// The archiver's process id from its echoed "ZVFD PID: " line; 0 before it.
pid_t archiver_pid(const Sandbox::Background& run) {
    const std::string out = run.current_output();
    const auto at = out.find("\nZVFD PID: ");
    return at == std::string::npos ? 0 : std::atoi(out.c_str() + at + 11);
}

// One running linked-clone guest for the whole suite, a sandbox with the archiver,
// and the checks every ending of a backup must pass.
class SignalledBackup : public SharedGuestSuite<SignalledBackup> {
public:
    static std::unique_ptr<TestDomain> make_guest() {
        DomainOptions options;
        options.name_prefix = "signalled";
        options.linked_clone = true;  // the shared base must come out unchanged
        return std::make_unique<TestDomain>(options);
    }

protected:
    static void SetUpTestSuite() {
        if (!can_use_namespaces()) {
            skip_reason_ = "needs root and mount namespaces";
            return;
        }
        SharedGuestSuite::SetUpTestSuite();
    }

    void SetUp() override {
        SharedGuestSuite::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        base_sum_ = sha256_of(guest().base_image());
    }
    void TearDown() override {
        if (!guest_) return;
        guest().set_script_behaviour("before", 0);
        guest().set_script_behaviour("after", 0);
    }

    std::vector<std::string> backup_args(const std::string& archive_name,
                                         const std::vector<std::string>& extra = {}) const {
        return server_.backup_args("-1", guest_->name(), archive_name, extra);
    }
    // With `hold`, the archiver waits at it until the test releases it.
    Sandbox::Background start_backup(const std::string& archive_name, const Hold* hold = nullptr,
                                     const std::vector<std::string>& extra = {}) {
        return server_.box().start(backup_args(archive_name, extra), hold ? held_archiver(*hold) : RunOptions{});
    }
    std::unique_ptr<Hold> archiver_hold(const std::string& name) const {
        return std::make_unique<Hold>(server_.box().root() / ("hold-" + name));
    }

    // What a terminated backup must leave: status 17 with its message, the domain
    // running and thawed on its own disks, no overlay file, the shared base unchanged,
    // the work directory gone and no process of the run alive.
    void expect_terminated_cleanly(const RunResult& result, pid_t module_pid,
                                   const std::string& archive_name, const ServerModeBox* box = nullptr) {
        EXPECT_EQ(result.status, 17) << describe(result);
        EXPECT_TRUE(result.has_log("Module was terminated. PID: " + std::to_string(module_pid)))
            << describe(result);
        expect_domain_intact();
        EXPECT_FALSE(fs::exists((box ? box : &server_)->operation() / archive_name)) << "the work directory stayed";
        EXPECT_EQ(result.out.find("MAIN ARCHIVE FILENAME:"), std::string::npos);
        expect_no_process_left(module_pid);
    }
    void expect_domain_intact() {
        EXPECT_EQ(block_list(guest().name()), own_images(guest()));
        EXPECT_EQ(block_list(guest().name(), true), own_images(guest()));
        std::vector<std::string> snapshot_files;
        for (fs::recursive_directory_iterator it(guest().directory()), end; it != end; ++it)
            if (it->path().filename().string().find(".snapshot.") != std::string::npos &&
                !merged_orphans_.count(it->path().string()))
                snapshot_files.push_back(it->path().string());
        EXPECT_TRUE(snapshot_files.empty()) << snapshot_files.front();
        EXPECT_EQ(sha256_of(guest().base_image()), base_sum_) << "the shared base changed";
        EXPECT_EQ(backing_file_of(guest().image("vda")), guest().base_image().string());
        EXPECT_EQ(guest().state(), "running");
        EXPECT_EQ(freeze_status(guest()), "thawed");
    }
    void expect_no_process_left(pid_t module_pid) {
        std::vector<std::string> left;
        // A killed process may take a moment to go.
        EXPECT_TRUE(wait_for([&] {
            left = live_processes_in_group(module_pid);
            return left.empty();
        })) << "still running: " << left.front();
    }
    void expect_next_backup_succeeds(const std::string& archive_name) {
        const RunResult next = server_.box().run(backup_args(archive_name));
        EXPECT_EQ(next.status, 0) << describe(next);
        EXPECT_TRUE(next.has_log("completed successfully")) << describe(next);
        expect_domain_intact();
    }

    // The files of a record as the archiver unpacks it, by name and SHA-256.
    std::map<std::string, std::string> unpacked_sums(const std::string& record, const std::string& directory) {
        std::map<std::string, std::string> sums;
        const fs::path unpacked = server_.unpack(record, server_.box().root() / directory);
        for (const auto& name : entries(unpacked)) sums[name] = sha256_of(unpacked / name);
        return sums;
    }
    // After runs that were ended or killed: every record the media server lists reads
    // back whole, to the last block, and each of `completed` is listed.
    void expect_repository_whole(const std::set<std::string>& completed) {
        const RunResult check = server_.box().shell(zv_utils_common::shell_command(
            "/opt/zelvor/bin/zvfd", {"--check", "--read-data", "-M", kMediaServer, "-T", kTaskId, "-s",
                                     std::string("/opt/zelvor/var/tasks//task_secret_") + kTaskId}));
        EXPECT_EQ(check.status, 0) << describe(check);
        std::set<std::string> listed;
        for (const auto& line : check.protocol_lines()) {
            const auto colon = line.find(": ");
            if (line.rfind("Record ", 0) != 0 || colon == std::string::npos) continue;
            EXPECT_EQ(line.substr(colon + 2), "sound, data read") << line;
            listed.insert(line.substr(7, colon - 7));
        }
        for (const auto& record : completed) EXPECT_EQ(listed.count(record), 1u) << record << " is not listed";
    }

    // A module killed while its pivot runs leaves an overlay that the pivot, ending
    // without it, took out of use: merged, named by nothing, and left where it is.
    // Returns such overlays of `record` once every process of the run has gone.
    std::vector<std::string> merged_overlays_left_by(const std::string& record, pid_t module_pid) {
        EXPECT_TRUE(wait_for([&] { return live_processes_in_group(module_pid).empty(); }));
        // Every file the domain's disks stand on, down their backing chains.
        std::set<std::string> used;
        for (const bool inactive : {false, true})
            for (const auto& [target, source] : block_list(guest().name(), inactive))
                for (std::string file = source; !file.empty() && used.insert(file).second;)
                    file = backing_file_of(file);
        std::vector<std::string> left;
        for (fs::recursive_directory_iterator it(guest().directory()), end; it != end; ++it) {
            const std::string name = it->path().filename().string();
            if (name.rfind(record + ".snapshot.", 0) == 0 && !used.count(it->path().string()))
                left.push_back(it->path().string());
        }
        return left;
    }

    ServerModeBox server_;
    std::string base_sum_;
    std::set<std::string> merged_orphans_;  // passed over by expect_domain_intact
};

// A termination ends the run well before a step it must not wait for would have ended
// by itself: a guest program of 60 s, an archiver held until the end of the test.
constexpr double kAtOnceSeconds = 30;

struct Phase {
    const char* name;
    // Seconds the guest programs take; whether the archiver is held.
    int before_sleep, after_sleep;
    bool hold_archiver;
    // The moment to send SIGTERM, seen from the outside.
    std::function<bool(const Sandbox::Background&)> reached;
    int expected_merges;  // "Blockcommited: " lines: the release ran once, or never
};

bool before_program_runs(const Sandbox::Background& run) {
    return output_has(run, "with argument '\"before\"' inside VM");
}

TEST_F(SignalledBackup, TerminationAtEachPhaseLeavesTheDomainOnItsOwnDisks) {
    const Phase phases[] = {
        // The run stops waiting for the program and takes no snapshot.
        {"BeforeProgram", 60, 0, false, before_program_runs, 0},
        {"Snapshot", 0, 0, false, [](const Sandbox::Background& run) {
             return group_process_with(run.pid(), "snapshot-create-as") != 0;
         }, 2},
        {"ArchiverRun", 0, 0, true, [](const Sandbox::Background& run) {
             return archiver_pid(run) != 0;
         }, 2},
        {"Merge", 0, 0, false, [](const Sandbox::Background& run) {
             return group_process_with(run.pid(), "blockcommit") != 0;
         }, 2},
    };
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.name);
        guest().set_script_behaviour("before", 0, phase.before_sleep);
        guest().set_script_behaviour("after", 0, phase.after_sleep);
        const std::string archive = std::string("term_") + phase.name;
        const auto hold = archiver_hold(archive);
        auto run = start_backup(archive, phase.hold_archiver ? hold.get() : nullptr);
        ASSERT_TRUE(wait_until(run, [&] { return phase.reached(run); }))
            << "the phase was never seen\n" << describe(run.wait());
        const auto asked = Clock::now();
        run.signal(SIGTERM);
        const RunResult result = run.wait();
        const double took = seconds_since(asked);
        std::cout << "[ measure  ] " << phase.name << ": ended " << took << " s after SIGTERM\n";
        EXPECT_LT(took, kAtOnceSeconds) << describe(result);
        expect_terminated_cleanly(result, run.pid(), archive);
        EXPECT_EQ(result.count_log("Blockcommited: "), phase.expected_merges) << describe(result);
        EXPECT_EQ(result.count_log("Module was terminated. PID: "), 1);
    }
    expect_next_backup_succeeds("after_terminations");
}

// A guest program that runs long under a long timeout, with the run paused or not:
// the termination ends the run within seconds, the program is left running in the
// guest (and said so), and no snapshot is taken.
TEST_F(SignalledBackup, TerminationDuringALongGuestProgramEndsWithinSeconds) {
    for (const bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "paused" : "running");
        guest().set_script_behaviour("before", 0, 60);
        const std::string archive = paused ? "long_paused" : "long_running";
        auto run = start_backup(archive, nullptr, {"-e", "execution_script_timeout:3600"});
        ASSERT_TRUE(wait_until(run, [&] { return before_program_runs(run); }))
            << describe(run.wait());
        if (paused) {
            run.signal(SIGTSTP);
            ASSERT_TRUE(wait_until(run, [&] { return output_has(run, " put on pause"); }))
                << describe(run.wait());
        }
        const auto asked = Clock::now();
        run.signal(SIGTERM);
        const RunResult result = run.wait();
        const double took = seconds_since(asked);
        std::cout << "[ measure  ] long guest program" << (paused ? ", paused" : "") << ": ended "
                  << took << " s after SIGTERM\n";
        EXPECT_LT(took, kAtOnceSeconds) << describe(result);
        expect_terminated_cleanly(result, run.pid(), archive);
        EXPECT_EQ(result.count_log("no longer waiting for '/opt/zelvor/scripts/zelvor-kvm.sh' inside "
                                   "VM: " + guest().name()),
                  1)
            << describe(result);
        EXPECT_EQ(result.count_log("it was left running in the guest"), 1) << describe(result);
        EXPECT_EQ(result.count_log("Blockcommited: "), 0) << describe(result);
        EXPECT_EQ(result.count_log("Snapshot(s) was created for: "), 0) << describe(result);
    }
    guest().set_script_behaviour("before", 0);
    expect_next_backup_succeeds("after_long_programs");
}

// A server-mode sandbox of its own whose virsh is the real one behind a fake: the
// fake's `case " $* " in` takes `branches` (bash text) first. In them "$real" is the
// real virsh, `: > "$marks/NAME"` tells the test something (marked(NAME)), and
// "@HOLD@" stands for lines that hold the command (held()) without a child process of
// their own until the sandbox goes; the command then fails.
class ScriptedVirshBox : public ServerModeBox {
public:
    explicit ScriptedVirshBox(std::string branches) : hold_(box().root() / "virsh-hold") {
        const fs::path real = box().root() / "real-virsh";
        fs::copy_file("/usr/bin/virsh", real);
        fs::create_directories(marks());
        const std::string hold = hold_.shell() + "    exit 1";
        for (auto at = branches.find("@HOLD@"); at != std::string::npos; at = branches.find("@HOLD@"))
            branches.replace(at, 6, hold);
        box().fake_program("/usr/bin/virsh", "#!/bin/bash\nreal=" + quoted(real.string()) +
                                                 "\nmarks=" + quoted(marks().string()) + "\ncase \" $* \" in\n" +
                                                 branches + "\nesac\nexec \"$real\" \"$@\"\n");
    }
    bool marked(const std::string& name) const { return fs::exists(marks() / name); }
    bool held() const { return hold_.held(); }
    static std::string quoted(const std::string& text) { return zv_utils_common::shell_quote(text); }

private:
    fs::path marks() const { return box().root() / "marks"; }
    Hold hold_;
};

// A virsh snapshot-create-as that never returns (a guest agent that never answers the
// freeze, a libvirtd that stalls), before libvirt took the snapshot, with the guest
// frozen, or after the snapshot was taken: SIGTERM ends the run within its limit and
// a few seconds, with the domain running, thawed, on its own disks.
TEST_F(SignalledBackup, TerminationOfASnapshotThatNeverReturnsEndsWithinTheLimit) {
    const int limit = 3;
    const std::string domain = ScriptedVirshBox::quoted(guest().name());
    const struct {
        const char* name;
        std::string before_hold;
        int merges;
        const char* log;
    } cases[] = {
        {"before libvirt takes it", "", 0, nullptr},
        {"with the guest frozen", "\"$real\" domfsfreeze " + domain + " >/dev/null", 0,
         "were frozen: thawed"},
        {"after libvirt took it", "\"$real\" \"$@\" || exit $?", 2, nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedVirshBox b("  *\" snapshot-create-as \"*)\n    " + c.before_hold + "\n    @HOLD@ ;;");
        const std::string archive = "hung_snapshot_" + std::to_string(++n);
        auto run = b.box().start(b.backup_args("-1", guest().name(), archive,
                                               {"-e", "termination_timeout:" + std::to_string(limit)}));
        ASSERT_TRUE(wait_until(run, [&] { return b.held(); })) << describe(run.wait());
        const auto asked = Clock::now();
        run.signal(SIGTERM);
        const RunResult result = run.wait();
        const double took = seconds_since(asked);
        std::cout << "[ measure  ] snapshot " << c.name << ": ended " << took << " s after SIGTERM\n";
        EXPECT_LT(took, limit + 30) << describe(result);
        EXPECT_TRUE(result.has_log("The termination has waited 3 s for the step under way")) << describe(result);
        expect_terminated_cleanly(result, run.pid(), archive, &b);
        EXPECT_EQ(result.count_log("Blockcommited: "), c.merges) << describe(result);
        if (c.log) {
            EXPECT_TRUE(result.has_log(c.log)) << describe(result);
        }
        if (HasFailure()) break;
    }
}

// A merge whose pivot libvirt never takes (vda's, here): the run gives up once the
// commit shows no progress and says how to finish it; terminated meanwhile, it ends
// within its limit and a few seconds and says the same. The command it names puts
// the domain back on its own disks.
TEST_F(SignalledBackup, MergeWhosePivotIsNeverTakenGivesUpAndNamesTheCommand) {
    const int limit = 3;
    const std::string pivot = "pivot it with: /usr/bin/virsh blockjob " + ScriptedVirshBox::quoted(guest().name()) +
                              " 'vda' --pivot";
    for (const bool terminated : {true, false}) {
        SCOPED_TRACE(terminated ? "terminated" : "left alone");
        ScriptedVirshBox b("  *\" blockjob \"*\" vda --pivot \"*)\n"
                           "    : > \"$marks/refused\"\n"
                           "    echo \"error: block copy still active: disk 'vda' not ready for pivot yet\" >&2\n"
                           "    exit 1 ;;");
        const std::string archive = terminated ? "unpivoted_terminated" : "unpivoted";
        auto run = b.box().start(b.backup_args("-1", guest().name(), archive,
                                               {"-e", "termination_timeout:" + std::to_string(limit)}));
        RunResult result;
        if (terminated) {
            ASSERT_TRUE(wait_until(run, [&] { return b.marked("refused"); })) << describe(run.wait());
            const auto asked = Clock::now();
            run.signal(SIGTERM);
            result = run.wait();
            const double took = seconds_since(asked);
            std::cout << "[ measure  ] pivot never taken: ended " << took << " s after SIGTERM\n";
            EXPECT_EQ(result.status, 17) << describe(result);
            EXPECT_LT(took, limit + 60) << describe(result);
            EXPECT_TRUE(result.has_log("The termination has waited 3 s for the step under way")) << describe(result);
        } else {
            result = run.wait();
            EXPECT_EQ(result.status, 6) << describe(result);
            EXPECT_NE(result.out.find("The commit job of disk vda showed no progress for 60 s and libvirt did "
                                      "not take its pivot"),
                      std::string::npos)
                << describe(result);
        }
        EXPECT_EQ(result.count_log(pivot), 1) << describe(result);
        EXPECT_EQ(result.out.find("MAIN ARCHIVE FILENAME:"), std::string::npos);
        EXPECT_FALSE(fs::exists(b.operation() / archive)) << "the work directory stayed";
        expect_no_process_left(run.pid());

        // What the log says to do, with the real virsh.
        const auto pivoted = pivot_when_ready(guest().name(), "vda");
        ASSERT_TRUE(pivoted.ok()) << pivoted.describe();
        fs::remove(guest().directory() / (archive + ".snapshot.vda.qcow2"));
        expect_domain_intact();
        if (HasFailure()) break;
    }
}

TEST_F(SignalledBackup, PauseHoldsTheArchiverAndContinueFinishesTheBackup) {
    const auto hold = archiver_hold("paused");
    auto run = start_backup("paused", hold.get());
    ASSERT_TRUE(wait_until(run, [&] { return hold->held() && archiver_pid(run) != 0; })) << describe(run.wait());
    const pid_t archiver = archiver_pid(run);
    run.signal(SIGTSTP);
    ASSERT_TRUE(wait_until(run, [&] { return process_state(archiver) == 'T'; })) << "the archiver was not paused";
    // Released, only the pause keeps the archiver from finishing in a fraction of this.
    hold->release();
    const std::string held = run.current_output();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(run.current_output(), held) << "the backup went on during the pause";
    EXPECT_EQ(block_list(guest().name()).at("vda").find(".snapshot.") != std::string::npos, true)
        << "the pause must keep the backup window open";

    run.signal(SIGCONT);
    const RunResult result = run.wait();
    EXPECT_EQ(result.status, 0) << describe(result);
    const std::string pid = std::to_string(run.pid());
    EXPECT_EQ(result.count_log("Module pid: " + pid + " put on pause"), 1) << describe(result);
    EXPECT_EQ(result.count_log("Module pid: " + pid + " continue working"), 1) << describe(result);
    EXPECT_TRUE(result.has_log("completed successfully")) << describe(result);
    EXPECT_NE(result.out.find("MAIN ARCHIVE FILENAME:"), std::string::npos);
    expect_domain_intact();
}

TEST_F(SignalledBackup, TerminationWhilePausedEndsTheRunAtOnce) {
    const auto hold = archiver_hold("paused_then_killed");
    auto run = start_backup("paused_then_killed", hold.get());
    ASSERT_TRUE(wait_until(run, [&] { return hold->held() && archiver_pid(run) != 0; })) << describe(run.wait());
    const pid_t archiver = archiver_pid(run);
    run.signal(SIGTSTP);
    ASSERT_TRUE(wait_until(run, [&] { return process_state(archiver) == 'T'; }));
    const auto asked = Clock::now();
    run.signal(SIGTERM);
    const RunResult result = run.wait();
    const double took = seconds_since(asked);
    std::cout << "[ measure  ] paused: ended " << took << " s after SIGTERM\n";
    EXPECT_LT(took, kAtOnceSeconds);
    expect_terminated_cleanly(result, run.pid(), "paused_then_killed");
    EXPECT_EQ(result.count_log("Blockcommited: "), 2) << describe(result);
}

TEST_F(SignalledBackup, BrokenPipeSignalDoesNotEndTheBackup) {
    const auto hold = archiver_hold("sigpipe");
    auto run = start_backup("sigpipe", hold.get());
    ASSERT_TRUE(wait_until(run, [&] { return hold->held() && archiver_pid(run) != 0; })) << describe(run.wait());
    run.signal(SIGPIPE);
    hold->release();
    const RunResult result = run.wait();
    EXPECT_EQ(result.status, 0) << describe(result);
    EXPECT_TRUE(result.has_log("completed successfully")) << describe(result);
    expect_domain_intact();
}

// Terminations at random moments between the module's first line and its usual end,
// each followed by the domain's check; afterwards the media server's repository is
// whole and the record made before them reads back unchanged.
TEST_F(SignalledBackup, RandomTerminationsNeverLeaveTheDomainOnOverlays) {
    const unsigned seed = replayable_seed();
    std::mt19937 random(seed);

    // The length of a whole backup here, to spread the kills over it.
    const auto measured = Clock::now();
    const RunResult reference = server_.box().run(backup_args("reference"));
    ASSERT_EQ(reference.status, 0) << describe(reference);
    const int span_ms = static_cast<int>(seconds_since(measured) * 1000);
    std::cout << "[ measure  ] a backup takes " << span_ms << " ms\n";
    const auto reference_sums = unpacked_sums("reference", "reference-1");
    ASSERT_FALSE(reference_sums.empty());

    int terminated = 0;
    std::set<std::string> completed = {"reference"};
    for (int i = 0; i < 20; ++i) {
        const int delay_ms = std::uniform_int_distribution<int>(0, span_ms)(random);
        const int sig = std::uniform_int_distribution<int>(0, 1)(random) ? SIGTERM : SIGINT;
        SCOPED_TRACE("kill " + std::to_string(i) + " with signal " + std::to_string(sig) + " after " +
                     std::to_string(delay_ms) + " ms (seed " + std::to_string(seed) + ")");
        const std::string archive = "random_" + std::to_string(i);
        auto run = start_backup(archive);
        // The client agent signals a module that has announced itself.
        ASSERT_TRUE(wait_until(run, [&] { return output_has(run, "MODULE PID:"); }))
            << describe(run.wait());
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        run.signal(sig);
        const RunResult result = run.wait();
        if (result.status == 0) {
            EXPECT_TRUE(result.has_log("completed successfully")) << describe(result);
            completed.insert(archive);
        } else {
            ++terminated;
            expect_terminated_cleanly(result, run.pid(), archive);
        }
        expect_domain_intact();
        if (HasFailure()) break;
    }
    std::cout << "[ measure  ] " << terminated << " of 20 runs were terminated\n";
    expect_next_backup_succeeds("after_random");
    completed.insert("after_random");
    expect_repository_whole(completed);
    EXPECT_EQ(unpacked_sums("reference", "reference-2"), reference_sums)
        << "the record made before the terminations reads back different";
}

// The archiver's or the module's process killed with SIGKILL at random moments of the
// archiver's work, round after round, into one media server: every record the
// repository lists reads back whole, a record made before the kills restores to the
// same bytes, and a new backup succeeds. A killed module leaves its overlays for the
// next run to merge; a killed archiver fails the run, which releases the domain.
TEST_F(SignalledBackup, KilledArchiverWorkLeavesTheRepositoryWhole) {
    const unsigned seed = replayable_seed();
    std::mt19937 random(seed);

    // The record made before the kills, as it read back then; and how long the
    // archiver works here, to spread the kills over its run.
    auto reference = start_backup("before_kills");
    ASSERT_TRUE(wait_until(reference, [&] { return archiver_pid(reference) != 0; })) << describe(reference.wait());
    const pid_t reference_archiver = archiver_pid(reference);
    const auto archiving = Clock::now();
    wait_until(reference, [&] { return !alive(reference_archiver); });
    const int span_ms = std::max(1, static_cast<int>(seconds_since(archiving) * 1000));
    const RunResult reference_result = reference.wait();
    ASSERT_EQ(reference_result.status, 0) << describe(reference_result);
    std::cout << "[ measure  ] the archiver works " << span_ms << " ms\n";
    const auto before_sums = unpacked_sums("before_kills", "before-kills-1");
    ASSERT_FALSE(before_sums.empty());

    const int rounds = 4;
    int killed = 0;
    std::set<std::string> completed = {"before_kills"};
    for (int i = 0; i < rounds; ++i) {
        const bool module_killed = i % 2 == 0;
        const int delay_ms = std::uniform_int_distribution<int>(0, span_ms)(random);
        SCOPED_TRACE(std::string(module_killed ? "module" : "archiver") + " killed " +
                     std::to_string(delay_ms) + " ms into the archiver's run (seed " + std::to_string(seed) + ")");
        const std::string record = "killed_" + std::to_string(i);
        auto run = start_backup(record);
        ASSERT_TRUE(wait_until(run, [&] { return archiver_pid(run) != 0; })) << describe(run.wait());
        const pid_t archiver = archiver_pid(run);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        ::kill(module_killed ? run.pid() : archiver, SIGKILL);
        const RunResult result = run.wait();
        if (result.status == 0) {
            completed.insert(record);  // the kill came after the work
        } else if (module_killed) {
            EXPECT_EQ(result.status, 128 + SIGKILL) << describe(result);
        } else {
            EXPECT_TRUE(result.has_log("zvfd process terminates with 0x9 signal")) << describe(result);
            EXPECT_EQ(result.out.find("MAIN ARCHIVE FILENAME:"), std::string::npos);
            expect_domain_intact();
        }
        if (result.status != 0) ++killed;
        if (module_killed) {
            // Its archiver goes with it (a virsh it had started may still be ending).
            EXPECT_TRUE(wait_for([&] { return !alive(archiver); })) << "the archiver outlived the killed module";
            for (const auto& overlay : merged_overlays_left_by(record, run.pid())) {
                std::cout << "[ measure  ] the killed module's pivot ended without it and left " << overlay << "\n";
                merged_orphans_.insert(overlay);
            }
        } else {
            expect_no_process_left(run.pid());
        }
        if (HasFailure()) break;
    }
    std::cout << "[ measure  ] " << killed << " of " << rounds << " runs were killed\n";

    // The next backup merges what a killed module left and succeeds.
    expect_next_backup_succeeds("after_kills");
    completed.insert("after_kills");

    expect_repository_whole(completed);
    EXPECT_EQ(unpacked_sums("before_kills", "before-kills-2"), before_sums)
        << "the record made before the kills reads back different";
    EXPECT_FALSE(unpacked_sums("after_kills", "after-kills").empty());
}

}  // namespace
