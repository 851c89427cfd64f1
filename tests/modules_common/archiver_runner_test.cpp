// The archiver runner against small scripted children: line splitting, the protocol
// lines echoed to the client agent, wait-status decoding; and the helpers the command
// lines are made of.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

using namespace archiver_test;

namespace {

struct RunnerCase {
    const char* name;
    const char* script;  // shell text run as the archiver
    bool result;
    const char* echoed;     // what reaches standard output
    const char* collected;  // what is kept for the error log
    const char* progress;
    int pid_after;
    bool defect;
    std::vector<const char*> log_fragments;
};

void PrintTo(const RunnerCase& c, std::ostream* os) { *os << c.name; }

class RunnerTable : public ::testing::TestWithParam<RunnerCase> {};

TEST_P(RunnerTable, ReadsProtocolAndDecodesStatus) {
    const RunnerCase& c = GetParam();
    TestModule module;
    LogCapture log;
    std::string collected, progress;
    bool result;
    std::string echoed;
    {
        StdoutCapture out;
        result = module.run_zvfd_command(std::string(c.script) + " 2>&1", collected,
                                         module.zvfd_pid, progress);
        echoed = out.text();
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(echoed, c.echoed);
    EXPECT_EQ(collected, c.collected);
    EXPECT_EQ(progress, c.progress);
    EXPECT_EQ(module.zvfd_pid, c.pid_after);
    EXPECT_EQ(module.defect_flag, c.defect);
    for (const char* fragment : c.log_fragments) EXPECT_TRUE(log.has(fragment)) << fragment << "\n" << log.all();
}

const char* const signature =
    "bool ZvModuleUniversal::run_zvfd_command(const string&, std::__cxx11::string&, pid_t&, "
    "std::__cxx11::string&)";

INSTANTIATE_TEST_SUITE_P(
    Archiver, RunnerTable,
    ::testing::Values(
        // A CR LF pair yields an extra empty line; the unterminated last piece is lost.
        RunnerCase{"crlf_and_unterminated_tail",
                   "printf 'ZVFD PID: 4242\\nPacked: 10 of 20\\r\\nhello\\nTransferred: 99'",
                   true, "ZVFD PID: 4242\nPacked: 10 of 20\n", "\nhello\n", "10 of 20", 0, false,
                   {"zvfd process status 0x0.", "zvfd process exits with 0x0 status."}},
        RunnerCase{"carriage_returns_alone_end_lines",
                   "printf 'Unpacked: 1\\rUnpacked: 2\\rnote\\r'", true,
                   "Unpacked: 1\nUnpacked: 2\n", "note\n", "2", 0, false, {}},
        RunnerCase{"pid_with_blanks_and_trailing_text", "printf 'ZVFD PID:   77 (zvfd)\\n'; kill -9 $$",
                   false, "ZVFD PID:   77 (zvfd)\n", "", "", 0, false, {}},
        RunnerCase{"defect_exit_is_success_with_flag", "echo x; exit 100", true, "", "x\n", "", 0, true,
                   {"zvfd finished with a defect flag", "zvfd process exits with 0x64 status."}},
        RunnerCase{"exit_one_is_error_flag", "exit 1", false, "", "", "", 0, false,
                   {"zvfd finished with an error flag"}},
        RunnerCase{"other_exit_code_fails_quietly", "exit 26", false, "", "", "", 0, false,
                   {"zvfd process exits with 0x1a status."}},
        // A killed archiver's pid is forgotten too: a pause or continue sent to it
        // later would reach whatever process has the number by then.
        RunnerCase{"killed_by_signal", "printf 'ZVFD PID: 4242\\n'; kill -9 $$", false,
                   "ZVFD PID: 4242\n", "", "", 0, false,
                   {"zvfd process terminates with 0x9 signal."}},
        RunnerCase{"pid_line_without_number", "printf 'ZVFD PID: none\\nPacked: 1\\n'", false,
                   "", "", "", 0, false, {signature, ": stoi"}},
        RunnerCase{"pid_out_of_range", "printf 'ZVFD PID: 99999999999\\n'", false, "", "", "", 0,
                   false, {": stoi"}}),
    [](const ::testing::TestParamInfo<RunnerCase>& info) { return std::string(info.param.name); });

TEST(ArchiverRunner, LogsTheCommandLine) {
    TestModule module;
    LogCapture log;
    std::string collected, progress;
    module.run_zvfd_command("true 2>&1", collected, module.zvfd_pid, progress);
    EXPECT_TRUE(log.has(std::string(signature) + ":zvfd command: true 2>&1")) << log.all();
}

TEST(ArchiverRunner, ProgressLinesReachStdoutBeforeTheArchiverEnds) {
    // The client agent must see progress while the archiver still works: the runner
    // answers a line the child waits for only if it echoed the previous one at once.
    ScratchDir dir;
    const std::string fifo = (dir.path() / "go").string();
    ASSERT_EQ(std::system(("mkfifo " + fifo).c_str()), 0);
    TestModule module;
    LogCapture log;
    std::string collected, progress;
    struct Watcher : std::streambuf {
        std::string seen, fifo;
        bool opened = false;
        int overflow(int c) override {
            seen += static_cast<char>(c);
            if (!opened && seen.find("Packed: 1\n") != std::string::npos) {
                opened = true;
                std::FILE* f = std::fopen(fifo.c_str(), "w");
                if (f) std::fclose(f);
            }
            return c;
        }
    } watcher;
    watcher.fifo = fifo;
    std::streambuf* saved = std::cout.rdbuf(&watcher);
    const bool ok = module.run_zvfd_command(
        "printf 'Packed: 1\\n'; cat " + fifo + " >/dev/null; printf 'Packed: 2\\n' 2>&1", collected,
        module.zvfd_pid, progress);
    std::cout.rdbuf(saved);
    EXPECT_TRUE(ok);
    EXPECT_EQ(watcher.seen, "Packed: 1\nPacked: 2\n");
}

volatile std::sig_atomic_t usr2_seen = 0;

TEST(ArchiverRunner, NoSignalIsForwardedBeforeThePidIsKnown) {
    TestModule module;
    usr2_seen = 0;
    auto previous = std::signal(SIGUSR2, [](int) { usr2_seen = 1; });
    // A pid of 0 would address the whole process group, the module included.
    module.send_signal_to_zvfd(SIGUSR2);
    std::signal(SIGUSR2, previous);
    EXPECT_EQ(usr2_seen, 0);
}

TEST(ArchiverHelpers, CompressionWords) {
    TestModule module;
    const std::pair<unsigned, const char*> cases[] = {
        {1, "None"},
        {2, "fast"},
        {3, "optimal"},
        {4, "best"},
        {0, "Wrong or deprecated compression type: 0"},
        {5, "Wrong or deprecated compression type: 5"},
    };
    for (const auto& [type, word] : cases) EXPECT_EQ(module.compress_mode_str(type), word) << type;
}

TEST(ArchiverHelpers, TaskSecretPath) {
    ZvModuleOptions options;
    options.task_id = "42";
    TestModule module(options);
    EXPECT_EQ(module.get_task_secret(), "/opt/zelvor/var/tasks//task_secret_42");

    TestModule without_task;
    LogCapture log;
    EXPECT_EQ(without_task.get_task_secret(), "/opt/zelvor/var/tasks//task_secret_");
    EXPECT_TRUE(log.has("Task ID is empty"));
}

TEST(ArchiverHelpers, ShieldEscapesShellCharacters) {
    const std::pair<const char*, const char*> cases[] = {
        {"/tmp/a b/x.meta", "/tmp/a\\ b/x\\.meta"},
        {"a\\b", "a\\\\b"},
        {"a,b-c=d+e_f/g", "a,b-c=d+e_f/g"},
        {"$(id)", "\\$\\(id\\)"},
        {"x:y@z%", "x\\:y\\@z\\%"},
    };
    for (const auto& [input, expected] : cases) {
        std::string text = input;
        shield_string_for_command(text);
        EXPECT_EQ(text, expected) << input;
    }
}

TEST(ArchiverHelpers, ShieldedTextIsOneUnchangedShellWord) {
    // Hostile values must reach a program as one argument, byte for byte, and run nothing.
    ScratchDir dir;
    const std::string marker = (dir.path() / "ran").string();
    const std::vector<std::string> values = {
        "a b", "it's", "say \"hi\"", "line\nfeed", "tab\there", "$(touch " + marker + ")",
        "`touch " + marker + "`", "x; touch " + marker, "a\\b", "*", "~root", "#not a comment",
    };
    for (const auto& value : values) {
        std::string shielded = value;
        shield_string_for_command(shielded);
        const std::string command = "printf '%s|' " + shielded;
        std::FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string got;
        for (int c; (c = std::fgetc(pipe)) != EOF;) got += static_cast<char>(c);
        pclose(pipe);
        EXPECT_EQ(got, value + "|") << shielded;
    }
    EXPECT_FALSE(fs::exists(marker));
}

TEST(ArchiverHelpers, SplitFullVersion) {
    struct Case {
        const char* text;
        const char* major_minor;
        const char* patch;
        const char* build;
    };
    const Case cases[] = {
        {"5", "5.", "", ""},
        {"2.1.0.abc1234.x", "2.1", "0", "abc1234"},
        {"", ".", "", ""},
        {"1..3", "1.", "3", ""},
    };
    for (const auto& c : cases) {
        std::string a = "old", b = "old", d = "old";
        EXPECT_EQ(split_full_version(c.text, a, b, d), 0);
        EXPECT_EQ(a, c.major_minor) << c.text;
        EXPECT_EQ(b, c.patch) << c.text;
        EXPECT_EQ(d, c.build) << c.text;
    }
}

TEST(ArchiverHelpers, ScriptsRunOnlyFromTheScriptsDirectory) {
    TestModule module;
    LogCapture log;
    EXPECT_FALSE(module.run_script("/etc/zv-no-such-script-7d1.sh", "before"));
    EXPECT_TRUE(log.has("Change script path to: /opt/zelvor/scripts")) << log.all();
    EXPECT_TRUE(log.has("Script doesn't exist: \"/opt/zelvor/scripts/zv-no-such-script-7d1.sh\""))
        << log.all();
}

}  // namespace
