// The program's front door, run as the client agent runs it: the command line, the
// one operation it selects, the exit status, the protocol lines on standard output
// and the Error lines that reach both standard output and the log file.
#include "support/hold.h"
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using zv_test::read_file;

namespace {

// This test program doubles as the tiny launcher that starts the module with an
// empty argv: a shell cannot do that, and the module must be started inside the
// sandbox's namespace so that its log file stays out of the host's /opt/zelvor.
const char* const exec_empty_argv_variable = "ZV_TEST_EXEC_WITH_EMPTY_ARGV";
const bool exec_hook_installed = [] {
    if (const char* target = std::getenv(exec_empty_argv_variable)) {
        char* no_arguments[] = {nullptr};
        execve(target, no_arguments, environ);
        _exit(127);
    }
    return true;
}();

const std::string wrong_combination = "Wrong combination of options";
const std::string parser_signature =
    "bool ZvModuleUniversal::parse_module_options(int, char**, ZvModuleOptions&): ";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string golden(const std::string& name) {
    return read_file(fs::path(ZV_SOURCE_DIR) / "tests/blackbox/golden" / name);
}

std::vector<std::string> error_lines(const std::vector<std::string>& log_lines) {
    std::vector<std::string> errors;
    for (const auto& line : log_lines)
        if (line.find("] Error: ") != std::string::npos) errors.push_back(line);
    return errors;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

// Each destination stamps its own copy of a line, so the file and the console may
// disagree by a second: compare what follows the time stamp.
std::string without_time_stamps(const std::string& text) {
    std::string result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto end = line.rfind("] ", line.find(": "));
        result += (line.rfind("[", 0) == 0 && end != std::string::npos ? line.substr(end + 2) : line) + "\n";
    }
    return result;
}

// One command line and everything the client agent and the operator see of it.
struct FrontDoorCase {
    std::vector<std::string> args;
    int status;
    // Protocol lines on standard output, exactly; nullopt when not compared here.
    std::optional<std::vector<std::string>> protocol;
    // Each fragment must appear in exactly one Error line, in this order.
    std::vector<std::string> errors;
    // Refused start: status 14 and "Wrong combination of options" once, after the errors.
    bool refused = false;
    // Lays out files under /opt/zelvor (the sandbox's opt()) before the run.
    std::function<void(const zv_test::Sandbox&)> prepare = nullptr;
    // Fragment expected on standard error; empty: standard error stays empty.
    std::string err = "";
    // The log file is a regular file that gets every log line of standard output.
    bool log_is_file = true;
};

std::ostream& operator<<(std::ostream& out, const FrontDoorCase& c) {
    out << "zv_module_kvm";
    for (const auto& arg : c.args) out << " '" << arg << "'";
    return out;
}

// A short test name: the row's number and the letters and digits of its first
// arguments, so that ctest lines stay readable ("7_b_vm_d_op_n_arc").
std::string case_name(const testing::TestParamInfo<FrontDoorCase>& info) {
    std::string name = std::to_string(info.index);
    for (const auto& arg : info.param.args) {
        std::string word;
        for (char ch : arg)
            if (std::isalnum(static_cast<unsigned char>(ch))) word += ch;
        if (!word.empty()) name += "_" + word;
        if (name.size() >= 24) break;
    }
    return name.substr(0, 32);
}

// Every file and directory under `root`, as paths relative to it.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> paths;
    boost::system::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        paths.insert(fs::relative(it->path(), root).generic_string());
    return paths;
}

using Lines = std::vector<std::string>;

const Lines backup_options = {
    "backup_if_shutdown : boolean Perform a backup if the VM is shutted down",
    "script_before_snapshot : string Execute script before snapshot(s) creation",
    "script_after_snapshot : string Execute script after snapshot(s) creation",
    "execution_script_timeout : integer Script timeout, seconds",
    "ceph_user : string Ceph user, if you use it as VM disk storage",
    "termination_timeout : integer Time a termination waits for a snapshot or a merge under way, seconds "
    "(default 60)",
};

FrontDoorCase refused(std::vector<std::string> args, std::vector<std::string> errors = {}) {
    return {std::move(args), 14, Lines{}, std::move(errors), true};
}

// Puts a FIFO, or a link to /dev/zero, at fixed paths of /opt/zelvor (relative).
std::function<void(const zv_test::Sandbox&)> fifo_at(std::vector<std::string> paths) {
    return [paths](const zv_test::Sandbox& box) {
        for (const auto& path : paths) {
            fs::create_directories((box.opt() / path).parent_path());
            fs::remove(box.opt() / path);
            ASSERT_EQ(::mkfifo((box.opt() / path).c_str(), 0600), 0) << path;
        }
    };
}

std::function<void(const zv_test::Sandbox&)> zero_at(std::vector<std::string> paths) {
    return [paths](const zv_test::Sandbox& box) {
        for (const auto& path : paths) {
            fs::create_directories((box.opt() / path).parent_path());
            fs::remove(box.opt() / path);
            fs::create_symlink("/dev/zero", box.opt() / path);
        }
    };
}

// A row whose fixed path is not a regular file: refused at the start, naming it.
FrontDoorCase not_a_file(std::vector<std::string> args, std::vector<std::string> errors,
                         std::function<void(const zv_test::Sandbox&)> prepare) {
    FrontDoorCase c = refused(std::move(args), std::move(errors));
    c.prepare = std::move(prepare);
    return c;
}

// --need_esign answers without running anything, so a command line that passes
// every check ends with 14 and no Error line, while a refused one adds
// "Wrong combination of options": that tells accepted combinations apart.
FrontDoorCase accepted(std::vector<std::string> args) {
    args.insert(args.begin(), "--need_esign");
    return {std::move(args), 14, Lines{}, {}, false};
}

std::vector<FrontDoorCase> front_door_cases() {
    const std::string no_autonomy = "Autonomous mode is not supported by module ";
    const std::string no_archiving = "Archiving is not supported by module ";
    const std::string needs_d =
        "A restore or replica application needs a temporary operation directory: option -d is "
        "missing";
    // A run that went ahead would make its directories here, inside the sandbox.
    const std::string op = "/opt/zelvor/var/op";
    const std::string needs_s =
        "An incremental or differential backup needs the reference snapshot of an earlier "
        "backup: option -s is missing";
    const std::string full_replica_only = "A replica is always a full copy";
    const std::string needs_m_and_t = " needs both -m media_server and -T task_id.";
    const std::string params_signature = "void ZvModuleUniversal::parce_param_string(): ";
    return {
        // Simple operations and their answers.
        {{"-V"}, 0, Lines{"2.1.0"}, {}},
        {{"--version"}, 0, Lines{"2.1.0"}, {}},
        {{"-1"}, 0, Lines{}, {}},
        {{"-2"}, 0, Lines{}, {}},
        {{"-3"}, 0, Lines{}, {}},
        {{"--diff"}, 0, Lines{}, {}},
        {{"-D"}, 0, Lines{}, {}},
        {{"-a"}, 16, Lines{}, {}},
        {{"--autonomous"}, 14, Lines{}, {}},
        {{"--show-backup-options"}, 0, backup_options, {}},
        {{"--show-module-properties"}, 0, lines_of(golden("module_properties.txt")), {}},
        {{"-o"}, 0, Lines{}, {}},
        {{"-h", "-V", "-b", "vm", "-e", "not a parameter string"}, 1, std::nullopt, {}},
        {{"--help"}, 1, std::nullopt, {}},
        {{}, 14, std::nullopt, {}, true},

        // The e-signature question is answered before anything else runs.
        {{"--need_esign", "--verify_in_client_defined_storage"}, 0, Lines{}, {}},
        {{"--need_esign", "-b", "vm"}, 14, Lines{}, {}},
        {{"--delete_from_client_defined_storage", ""}, 14, Lines{}, {"Empty json content"}},

        // Combinations that pass every check.
        accepted({"-b", "vm", "-1", "-d", "/tmp/op", "-n", "arc", "-m", "srv", "-T", "5", "-z",
                  "9", "-j", "--dgst", "-e", ""}),
        accepted({"-2", "-b", "vm", "-s", "ref.snap", "-d", "/tmp/op", "-n", "arc", "-z", "0",
                  "-m", "srv", "-T", "5"}),
        accepted({"-1", "-A", "vm", "-d", "/tmp/op", "-m", "srv", "-T", "5"}),
        accepted({"-r", "5", "-d", "/tmp/op", "-m", "srv", "-T", "7", "-f", "files", "-i", "old"}),
        accepted({"-R", "5", "-d", "/tmp/dest", "-m", "srv", "-T", "7"}),
        accepted({"-t", "-p", "4294967295", "-G", "0"}),
        accepted({"-t", "-p", "007"}),
        accepted({"-A", "vm", "-d", "/tmp/op", "-n", "arc", "-m", "srv", "-T", "1", "-j"}),
        accepted({"--delete_from_client_defined_storage", "{}", "-T", "5", "-e", ""}),
        accepted({"-t", "-C", "alg", "-k", "key", "-i", "a", "-M", "m", "-p", "3", "-g", "g", "-G",
                  "5", "--sign_hash", "h", "--esign", "{}", "--client-archive", "c"}),
        accepted({"-V", "--dgst"}),

        // Two operations, or an option that does not fit the operation: one line only.
        refused({"-V", "-t"}),
        refused({"-t", "-V"}),
        refused({"-1", "-2"}),
        refused({"-l", "-L"}),
        refused({"-o", "-V"}),
        refused({"-b", "vm", "-A", "vm"}),
        refused({"-r", "5", "-b", "vm", "-d", "/tmp/op"}),
        refused({"-a", "-2", "-b", "vm"}),
        refused({"--autonomous", "-t"}),
        refused({"-t", "-d", "/tmp/op"}),
        refused({"-V", "-e", "key:value"}),
        refused({"-t", "-z", "2"}),
        refused({"-V", "-j"}),
        refused({"-r", "5", "-d", "/tmp/op", "-j"}),
        refused({"-t", "-n", "arc"}),
        refused({"-2", "-s", "ref.snap"}),
        refused({"-t", "-m", "srv"}),

        // Refusals with a reason of their own.
        refused({"-b", ""}, {"Resource is empty"}),
        refused({"-A", ""}, {"Resource is empty"}),
        // A control character would split a name where lists are read line by line.
        refused({"-1", "-b", "a\tb", "-d", "/tmp/op", "-n", "arc", "-m", "srv", "-T", "5"},
                {"Resource name must not hold a tab, a line feed or another control character: "
                 "\"a\\x09b\""}),
        refused({"-1", "-b", "vm", "-d", "/tmp/op", "-n", "arc\nx", "-m", "srv", "-T", "5"},
                {"Archive name must not hold a tab, a line feed or another control character: "
                 "\"arc\\x0ax\""}),
        refused({"-r", "5\x7f", "-d", "/tmp/op", "-m", "srv", "-T", "5"},
                {"Record ID must not hold a tab, a line feed or another control character: "
                 "\"5\\x7f\""}),
        refused({"-B", ""}, {parser_signature + "resource is empty"}),
        refused({"-r", "", "-d", "/tmp/op"},
                {"You must define restore object, record ID in server mode or archive file for "
                 "authonomous mode"}),
        refused({"-R", "", "-d", "/tmp/op"}, {"Record ID is empty"}),
        refused({"-b", "vm", "--autonomous", "-m", "srv"},
                {"Can't use media server with autonomous mode"}),
        refused({"-1", "-b", "vm", "-s", "ref.snap"},
                {"Reference snapshot cannot be defined for full backup."}),
        refused({"-b", "vm", "-T", "5"}, {"You must define media-server before task ID"}),
        refused({"-b", "vm", "-m", "srv", "-T", "../../etc/x"},
                {"Task ID must be a plain name without '/': ../../etc/x"}),
        refused({"-t", "-T", "5"}, {"Operation 1 incompatible with task ID"}),
        refused({"-f", "files"}, {"The '-r' option must also be specified for granular restore"}),
        refused({"-b", "vm", "-f", "files"},
                {"The '-r' option must also be specified for granular restore"}),

        // The module has neither autonomous mode nor archiving: it must not pretend.
        refused({"--autonomous", "-b", "vm"}, {no_autonomy}),
        refused({"-r", "5", "-d", "/tmp/op", "--autonomous"}, {no_autonomy}),
        refused({"-m", "", "--autonomous", "-b", "vm"}, {no_autonomy}),
        refused({"-a", "-b", "vm"}, {no_archiving}),
        refused({"-1", "-b", "vm", "-a"}, {no_archiving}),

        // A restore without -d would unpack into, and later remove, a directory at "/".
        refused({"-r", "5"}, {needs_d}),
        refused({"-r", "5", "-d", ""}, {needs_d}),
        refused({"-R", "5", "-m", "srv"}, {needs_d}),

        // Runs that could only fail after the snapshot are refused before anything
        // is touched: no lock file, no directory, no call to libvirt.
        refused({"-3", "-A", "vm", "-d", op, "-n", "arc", "-m", "srv", "-T", "5"},
                {full_replica_only}),
        refused({"-2", "-A", "vm", "-d", op, "-n", "arc", "-m", "srv", "-T", "5"},
                {full_replica_only}),
        refused({"-2", "-b", "vm", "-d", op, "-n", "arc", "-m", "srv", "-T", "5"}, {needs_s}),
        refused({"-3", "-b", "vm", "-s", "", "-d", op, "-n", "arc", "-m", "srv", "-T", "5"},
                {needs_s}),

        // Server mode needs both -m and -T, for restores and replicas as for backups.
        refused({"-b", "vm", "-d", op, "-n", "arc"},
                {"Backup module: a backup to a media server" + needs_m_and_t}),
        refused({"-A", "vm", "-d", op, "-n", "arc", "-m", "srv"},
                {"Backup module: a replica to a media server" + needs_m_and_t}),
        refused({"-r", "5", "-d", op, "-m", "srv"},
                {"Restore: a restore from a media server" + needs_m_and_t}),
        refused({"-R", "5", "-d", op},
                {"Restore: a replica application from a media server" + needs_m_and_t}),

        // Unsigned options take no sign and nothing beyond 32 bits; sizes in -e name
        // their key and value.
        refused({"-t", "-p-1"},
                {parser_signature + "the argument ('-1') for option '--parallelism' is invalid"}),
        refused({"-t", "-G", "-5"},
                {parser_signature + "the argument ('-5') for option '--memory-threshold' is "
                                    "invalid: a whole number from 0 to 4294967295 is needed"}),
        refused({"-t", "-G", "4294967296"},
                {parser_signature + "the argument ('4294967296') for option '--memory-threshold'"}),
        refused({"-b", "vm", "-d", op, "-n", "arc", "-m", "srv", "-T", "5", "-e", "zvd_block_size:x"},
                {params_signature + "wrong value of zvd_block_size: 'x', it must be a positive "
                                    "number"}),

        // Fixed paths that hold a FIFO or a link to a device are neither waited on nor
        // read without end: the run is refused (or goes on without them), naming them.
        [] {
            FrontDoorCase c = refused({"-V", "-t"});
            c.prepare = fifo_at({"etc/zv_logger.config"});
            c.err = "Warning: ZvLogStream config file is not used, the defaults apply: Can't open "
                    "file '/opt/zelvor/etc/zv_logger.config': it is not a regular file\n";
            return c;
        }(),
        [] {
            FrontDoorCase c = refused({"-V", "-t"});
            c.prepare = zero_at({"etc/zv_logger.config"});
            c.err = "it is not a regular file";
            return c;
        }(),
        [] {
            FrontDoorCase c = refused({"-V", "-t"});
            c.prepare = fifo_at({"log/zv_module_kvm.log"});
            c.err = "Error: the log file '/opt/zelvor/log/zv_module_kvm.log' is not written: it "
                    "is not a regular file\n";
            c.log_is_file = false;
            return c;
        }(),
        not_a_file({"-b", "vm", "-d", op, "-n", "arc", "-m", "srv", "-T", "5"},
                   {"Task secret file \"/opt/zelvor/var/tasks//task_secret_5\" can't be used: it "
                    "is not a regular file"},
                   fifo_at({"var/tasks/task_secret_5"})),
        not_a_file({"-R", "5", "-d", op, "-m", "srv", "-T", "6"},
                   {"Task secret file \"/opt/zelvor/var/tasks//task_secret_6\" can't be used"},
                   zero_at({"var/tasks/task_secret_6"})),
        not_a_file({"-b", "vm", "-d", op, "-n", "arc", "-m", "srv", "-T", "5", "-j"},
                   {"Local restriction list \"/opt/zelvor/etc/zelvor_restriction.list.kvm\" "
                    "can't be used: it is not a regular file"},
                   fifo_at({"etc/zelvor_restriction.list.kvm"})),
        not_a_file({"-B", "/opt/zelvor/var/list.json", "-d", op, "-n", "arc", "-m", "srv", "-T", "5"},
                   {"bool ResourceList::parse_json_file(const string&): resource list file "
                    "/opt/zelvor/var/list.json can't be read: it is not a regular file",
                    parser_signature + "can't parse json file: /opt/zelvor/var/list.json"},
                   fifo_at({"var/list.json"})),
        not_a_file({"-B", "/opt/zelvor/var/list.json", "-d", op, "-n", "arc", "-m", "srv", "-T", "5"},
                   {"bool ResourceList::parse_json_file(const string&): resource list file "
                    "/opt/zelvor/var/list.json can't be read: it is not a regular file",
                    parser_signature + "can't parse json file"},
                   zero_at({"var/list.json"})),
        // Nesting deep enough to exhaust the stack of a recursive parser.
        not_a_file({"-B", "/opt/zelvor/var/list.json", "-d", op, "-n", "arc", "-m", "srv", "-T", "5"},
                   {"bool ResourceList::parse_json_file(const string&): json parser error: "
                    "/opt/zelvor/var/list.json: ",
                    parser_signature + "can't parse json file: /opt/zelvor/var/list.json"},
                   [](const zv_test::Sandbox& box) {
                       zv_test::write_file(box.opt() / "var/list.json",
                                           std::string(80000, '[') + std::string(80000, ']'));
                   }),
        not_a_file({"-r", "5", "-d", op, "-m", "srv", "-T", "5", "-M", "/opt/zelvor/var/x.snap"},
                   {"Meta or snapshot file \"/opt/zelvor/var/x.snap\" can't be used: it is not a "
                    "regular file"},
                   fifo_at({"var/x.snap"})),
        not_a_file({"-2", "-b", "vm", "-s", "/opt/zelvor/var/ref.meta", "-d", op, "-n", "arc", "-m",
                    "srv", "-T", "5"},
                   {"Reference snapshot file \"/opt/zelvor/var/ref.meta\" can't be used"},
                   zero_at({"var/ref.meta"})),
        [] {
            FrontDoorCase c{{"-u", "/opt/zelvor/etc/old.conf:/opt/zelvor/etc/new.conf:"},
                            1,
                            Lines{},
                            {"Can't open file '/opt/zelvor/etc/new.conf': it is not a regular file",
                             "New configuration file /opt/zelvor/etc/new.conf doesn't exists."}};
            c.prepare = [](const zv_test::Sandbox& box) {
                zero_at({"etc/old.conf"})(box);
                fifo_at({"etc/new.conf"})(box);
            };
            return c;
        }(),

        // The option parser's own refusals.
        refused({"--bogus"}, {parser_signature + "unrecognised option '--bogus'"}),
        // A stray word, such as the tail of an unquoted path with a blank, is refused.
        refused({"-b", "vm", "-d", "/a b", "c"},
                {parser_signature + "too many positional options have been specified"}),
        refused({"-b"}, {parser_signature + "the required argument for option '--backup'"}),
        refused({"-b", "vm", "-z", "abc"},
                {parser_signature + "the argument ('abc') for option '--compress' is invalid"}),
        refused({"-b", "vm", "-d", "a", "-d", "b"},
                {parser_signature + "option '--tmp-operation-directory' cannot be specified "
                                    "more than once"}),
        refused({"-t", "-p", "many"},
                {parser_signature + "the argument ('many') for option '--parallelism' is invalid"}),
    };
}

class FrontDoor : public testing::TestWithParam<FrontDoorCase> {};

TEST_P(FrontDoor, Run) {
    ZV_REQUIRE_NAMESPACES();
    const FrontDoorCase& c = GetParam();
    zv_test::Sandbox box;
    // libvirt must not be asked anything at the front door.
    const fs::path virsh_calls = box.root() / "virsh-calls";
    box.fake_program("/usr/bin/virsh",
                     "#!/bin/sh\necho \"$*\" >>'" + virsh_calls.string() + "'\nexit 1\n");
    // A complete logger configuration: a run that reads it says nothing on stderr.
    zv_test::write_file(box.opt() / "etc/zv_logger.config",
                        "log_level Info\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
    if (c.prepare) c.prepare(box);
    const auto before = tree(box.opt());
    zv_test::RunOptions options;
    options.timeout_seconds = 60;  // nothing here may wait for anything
    const auto result = box.run(c.args, options);

    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    if (c.err.empty()) {
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(virsh_calls)) << read_file(virsh_calls);
    // Nothing but the log file and the logger configuration appears: no lock file,
    // no work or restore directory.
    std::set<std::string> made;
    for (const auto& path : tree(box.opt()))
        if (!before.count(path) && path != "log/zv_module_kvm.log" && path != "etc/zv_logger.config")
            made.insert(path);
    EXPECT_TRUE(made.empty()) << *made.begin();
    if (c.protocol) {
        EXPECT_EQ(result.protocol_lines(), *c.protocol) << result.out;
    }

    std::vector<std::string> expected = c.errors;
    if (c.refused) expected.push_back(wrong_combination);
    const auto errors = error_lines(result.log_lines());
    ASSERT_EQ(errors.size(), expected.size()) << result.out;
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NE(errors[i].find("Error: " + expected[i]), std::string::npos)
            << "expected '" << expected[i] << "' in: " << errors[i];
    if (c.refused) {
        EXPECT_EQ(result.count_log(wrong_combination), 1) << result.out;
    }

    // Every log line on standard output is in the log file too, and only those.
    const fs::path log_file = box.opt() / "log" / "zv_module_kvm.log";
    if (c.log_is_file) {
        EXPECT_EQ(without_time_stamps(zv_test::strip_colours(read_file(log_file))),
                  without_time_stamps(joined(result.log_lines())));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FrontDoor, testing::ValuesIn(front_door_cases()), case_name);

// The usage text of a start without arguments, compared byte for byte.
TEST(FrontDoorText, UsageTextWithoutArgumentsIsExact) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    zv_test::RunOptions options;
    options.argv0 = "zv_module_kvm";
    const auto result = box.run({}, options);
    const std::string usage = golden("usage.txt");

    EXPECT_EQ(result.status, 14);
    ASSERT_GE(result.out.size(), usage.size());
    EXPECT_EQ(result.out.substr(0, usage.size()), usage);
    const auto rest = lines_of(result.out.substr(usage.size()));
    ASSERT_EQ(rest.size(), 1u) << result.out;
    EXPECT_NE(zv_test::strip_colours(rest[0]).find("] Error: " + wrong_combination),
              std::string::npos);
}

// --help adds the library's description of all 44 options to the same usage text.
TEST(FrontDoorText, HelpPrintsUsageThenEveryOption) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    zv_test::RunOptions options;
    options.argv0 = "zv_module_kvm";
    const auto result = box.run({"-h", "-t"}, options);
    const std::string usage = golden("usage.txt");

    EXPECT_EQ(result.status, 1);
    ASSERT_GE(result.out.size(), usage.size());
    EXPECT_EQ(result.out.substr(0, usage.size()), usage);
    const std::string description = result.out.substr(usage.size());
    EXPECT_EQ(description.rfind("Options description:\n", 0), 0u) << description;
    EXPECT_TRUE(result.log_lines().empty()) << result.out;
    const char* const long_names[] = {
        "help", "version", "update-config", "full", "incr", "diff", "autonomous",
        "show-backup-options", "show-module-properties", "create-replica",
        "is-archiving-supported", "backup", "backup_list", "crypto", "list-headers",
        "is-dedup-supported", "tmp-operation-directory", "module-params", "archive-to-patch",
        "local-restrictions", "key-file", "list-all-resource", "list-all-resource--with-headers",
        "media-server", "archive-name", "meta-file", "parallelism", "apply-replica", "restore",
        "reference-snapshot", "task-id", "check-client", "compress", "granular-list",
        "granular-entities", "dgst", "restore-parameters", "memory-threshold",
        "delete_from_client_defined_storage", "verify_in_client_defined_storage", "need_esign",
        "sign_hash", "esign", "client-archive"};
    static_assert(sizeof long_names / sizeof long_names[0] == 44);
    for (const char* name : long_names) {
        const std::string option = std::string("--") + name;
        bool listed = false;
        for (const auto& line : lines_of(description)) {
            const auto at = line.find(option);
            // A whole option name: "--list-all-resource" must not be found inside
            // "--list-all-resource--with-headers" only.
            if (at != std::string::npos &&
                (at + option.size() == line.size() || line[at + option.size()] == ' '))
                listed = true;
        }
        EXPECT_TRUE(listed) << option;
    }
}

// The property listing ends without a line end: the whole output is compared.
TEST(FrontDoorText, ModulePropertiesAreExact) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    const auto result = box.run({"--show-module-properties"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, golden("module_properties.txt"));
}

// The log file is named after the program name the process was started with.
TEST(FrontDoorLogFile, NamedAfterArgv0) {
    ZV_REQUIRE_NAMESPACES();
    struct Case {
        std::string argv0;
        std::string log_name;
    };
    const Case cases[] = {
        {"/usr/local/bin/kvm-module", "kvm-module.log"},
        {"kvm-module", "kvm-module.log"},
        {"./zv module (copy)", "zv module (copy).log"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argv0);
        zv_test::Sandbox box;
        zv_test::RunOptions options;
        options.argv0 = c.argv0;
        const auto result = box.run({"-V", "-t"}, options);
        EXPECT_EQ(result.status, 14);
        std::vector<std::string> logs;
        for (fs::directory_iterator it(box.opt() / "log"), end; it != end; ++it)
            logs.push_back(it->path().filename().string());
        EXPECT_EQ(logs, std::vector<std::string>{c.log_name});
        const std::string text = read_file(box.opt() / "log" / c.log_name);
        EXPECT_NE(text.find("Error: " + wrong_combination), std::string::npos) << text;
    }
}

// With a FIFO as the log file (and nobody reading it) a run neither hangs on its
// lines nor on its termination: the lines go to standard output, SIGTERM ends it.
TEST(FrontDoorLogFile, FifoAsLogStillEndsOnSigterm) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    const fs::path log = box.opt() / "log" / "zv_module_kvm.log";
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    zv_test::write_file(box.opt() / "etc/zv_logger.config",
                        "log_level Info\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
    // Its own end would come long after the run's deadline (a fault's sign).
    box.fake_program("/sbin/lsmod", "#!/bin/sh\nsleep 600\n");
    zv_test::RunOptions options;
    options.timeout_seconds = 120;
    auto run = box.start({"-t"}, options);
    const bool sleeping = zv_test::wait_for([&] {
        for (const auto& process : zv_test::live_processes_in_group(run.pid()))
            if (process.find("(sleep)") != std::string::npos) return true;
        return false;
    });
    ASSERT_TRUE(sleeping) << run.current_output();
    run.signal(SIGTERM);
    const auto result = run.wait();
    EXPECT_EQ(result.status, 17) << zv_test::describe(result);
    EXPECT_TRUE(result.has_log("Module was terminated. PID: " + std::to_string(run.pid())))
        << zv_test::describe(result);
    EXPECT_NE(result.err.find("Error: the log file '/opt/zelvor/log/zv_module_kvm.log' is not "
                              "written: it is not a regular file\n"),
              std::string::npos)
        << result.err;
    struct stat info {};
    ASSERT_EQ(::stat(log.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// A process started with no argv at all (not even a program name) is refused
// like a start without arguments instead of crashing.
TEST(FrontDoorLogFile, EmptyArgvIsRefusedWithoutCrash) {
    ZV_REQUIRE_NAMESPACES();
    ASSERT_TRUE(exec_hook_installed);
    zv_test::Sandbox box;
    zv_test::RunOptions options;
    options.env[exec_empty_argv_variable] = zv_test::module_binary();
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const auto result = box.shell("exec '" + self + "'", options);

    EXPECT_EQ(result.status, 14) << result.out << result.err;
    const auto protocol = result.protocol_lines();
    ASSERT_FALSE(protocol.empty()) << result.out;
    EXPECT_EQ(protocol[0], "This utility is a part of Zelvor project");
    EXPECT_EQ(result.count_log(wrong_combination), 1) << result.out;
    const std::string text = read_file(box.opt() / "log" / "zv_module_kvm.log");
    EXPECT_NE(text.find("Error: " + wrong_combination), std::string::npos) << text;
}

}  // namespace
