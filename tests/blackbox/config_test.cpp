// Configuration seen from outside the process: the logger configuration file the
// first log line reads (and writes when it is missing or incomplete), the -u merge,
// the -e values that refuse the start, and the local restriction list of -j.
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using zv_test::read_file;
using zv_test::write_file;

namespace {

const std::string default_logger_config =
    "#Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4\n"
    "log_level Info\n"
    "#Maximum size of log file in Mb\n"
    "log_file_max_size 1\n"
    "#Number of stored log file rotations, log file itself is not included\n"
    "log_file_max_rotate 10\n";

fs::path logger_config(const zv_test::Sandbox& box) { return box.opt() / "etc/zv_logger.config"; }

// A run that logs an Info line ("UpgradeConfig ...") and an Error line.
const std::vector<std::string> logging_run = {"-u", "only:two"};

TEST(LoggerConfigFile, MissingFileIsWrittenWithTheDefaults) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    const auto result = box.run(logging_run);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Warning: ZvLogStream config file is absent: Can't open file "
              "'/opt/zelvor/etc/zv_logger.config'\n");
    EXPECT_EQ(read_file(logger_config(box)), default_logger_config);
    EXPECT_TRUE(result.has_log("Info: UpgradeConfig options.configs_list: only:two"));

    // Next start: the file is there and complete, nothing is said or rewritten.
    const auto again = box.run(logging_run);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(read_file(logger_config(box)), default_logger_config);
}

// A file that lacks keys keeps every line the administrator wrote, byte for byte,
// and gets only the missing keys added; what it holds applies at once.
TEST(LoggerConfigFile, MissingKeysAreAddedAndWhatWasWrittenStays) {
    ZV_REQUIRE_NAMESPACES();
    const struct {
        std::string text;
        std::string err;
        std::string added;
        bool info_shown;
    } cases[] = {
        {"log_level Warning\nlog_file_max_size 5\n",
         "Warning: ZvLogStream config variable is absent: log_file_max_rotate\n",
         "#Number of stored log file rotations, log file itself is not included\n"
         "log_file_max_rotate 10\n",
         false},
        // "name=value" is no variable line of this format: the key counts as missing,
        // and the administrator's line is kept for them to correct.
        {"# mine\n\nlog_level=Warning\nlog_file_max_size   5   \nlog_file_max_rotate 3",
         "Warning: ZvLogStream config variable is absent: log_level\n",
         "\n#Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4\n"
         "log_level Info\n",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        zv_test::Sandbox box;
        write_file(logger_config(box), c.text);
        const auto result = box.run(logging_run);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(read_file(logger_config(box)), c.text + c.added);
        EXPECT_EQ(result.has_log("Info: UpgradeConfig"), c.info_shown);
        EXPECT_TRUE(result.has_log("Error: Incorrect configuration file format"));

        // Complete now: the next start says nothing and changes nothing.
        const auto again = box.run(logging_run);
        EXPECT_EQ(again.err, "");
        EXPECT_EQ(read_file(logger_config(box)), c.text + c.added);
    }
}

// The configuration may be a link to a file of another owner: the keys are added to
// the target, the link stays, the target keeps its owner, group and mode.
TEST(LoggerConfigFile, LinkedFileOfAnotherOwnerKeepsLinkOwnerAndMode) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    const fs::path target = box.opt() / "etc/shared/logger.conf";
    write_file(target, "log_level Info\n");
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
    fs::create_symlink("shared/logger.conf", logger_config(box));
    const auto result = box.run(logging_run);
    EXPECT_NE(result.err.find("absent: log_file_max_size"), std::string::npos) << result.err;
    EXPECT_TRUE(fs::is_symlink(logger_config(box)));
    EXPECT_EQ(read_file(target),
              "log_level Info\n#Maximum size of log file in Mb\nlog_file_max_size 1\n"
              "#Number of stored log file rotations, log file itself is not included\n"
              "log_file_max_rotate 10\n");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
    std::vector<std::string> names;
    for (fs::directory_iterator it(box.opt() / "etc"), end; it != end; ++it)
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"shared", "zv_logger.config"}));
}

TEST(LoggerConfigFile, LevelFromTheFileFiltersLines) {
    ZV_REQUIRE_NAMESPACES();
    const struct {
        std::string level;
        bool info_shown;
    } cases[] = {
        {"Warning", false},
        {"  Warning  ", false},  // trimmed before the look-up
        {"Debug", true},
        {"ErrorMask", true},  // no level name: Info stays
        {"info", true},
        {"Debug remark", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        zv_test::Sandbox box;
        const std::string text = "log_level " + c.level +
                                 "\nlog_file_max_size 10MB\nlog_file_max_rotate abc\n";
        write_file(logger_config(box), text);
        const auto result = box.run(logging_run);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.has_log("Info: UpgradeConfig"), c.info_shown);
        EXPECT_TRUE(result.has_log("Error: Incorrect configuration file format"));
        EXPECT_EQ(read_file(logger_config(box)), text) << "a complete file is not rewritten";
    }
}

TEST(ConfigMerge, MergedFileAndExitStatus) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    write_file(box.opt() / "etc/old.conf", "server old-server\nport 1\nstale x\n");
    write_file(box.opt() / "etc/new.conf", "# Server\nserver default\nport 0\nuser root\n");
    write_file(box.opt() / "etc/update.conf", "port 2\n");
    const auto result = box.run(
        {"-u", "/opt/zelvor/etc/old.conf:/opt/zelvor/etc/new.conf:/opt/zelvor/etc/update.conf"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.has_log("Info: The module is installed"));
    EXPECT_TRUE(result.has_log("Warning: Variable 'user' is mandatory and has no value"));
    EXPECT_EQ(read_file(box.opt() / "etc/new.conf"),
              "# Description variables\n# Server\n#server default\n#port 0\n#user root\n#\n"
              "# Variables value\nserver old-server\nport 2\nuser \n");

    const auto refused = box.run({"-u", ":/opt/zelvor/etc/none.conf:"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.has_log("Error: New configuration file /opt/zelvor/etc/none.conf doesn't "
                                "exists. Merge configuration files impossible."));
    EXPECT_FALSE(fs::exists(box.opt() / "etc/none.conf"));
}

TEST(ModuleParamsFromClient, ValuesTheArchiverCannotTakeEndWith14) {
    ZV_REQUIRE_NAMESPACES();
    const struct {
        std::string params;
        std::string message;
    } cases[] = {
        {"zvd_hash_algorithm:sha2;touch /opt/zelvor/var/injected",
         "wrong value of zvd_hash_algorithm: 'sha2;touch /opt/zelvor/var/injected'"},
        {"worker_parallelism:1 $(touch /opt/zelvor/var/injected)",
         "wrong value of worker_parallelism"},
        {"zvd_block_size:0", "wrong value of zvd_block_size: '0', it must be a positive number"},
        {"zvd_hash_length:-256", "wrong value of zvd_hash_length"},
        {"zvd_hash_length:abc", "wrong value of zvd_hash_length: 'abc', it must be a positive number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        zv_test::Sandbox box;
        box.install_zvfd();
        const auto result = box.run({"-b", "vm1", "-d", "/opt/zelvor/var/tasks", "-n", "archive",
                                     "-m", "srv", "-T", "1", "-e", c.params});
        EXPECT_EQ(result.status, 14);
        EXPECT_TRUE(result.has_log(c.message)) << result.out;
        EXPECT_TRUE(result.has_log("Error: Wrong combination of options"));
        EXPECT_EQ(result.out.find("MODULE PID:"), std::string::npos) << "the run went ahead";
        EXPECT_FALSE(fs::exists(box.opt() / "var/injected"));
    }
}

TEST(LocalRestrictionList, ListedResourceEndsWith11OnlyWithJ) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    write_file(box.opt() / "etc/zelvor_restriction.list.kvm", "vm0\nvm1\n");
    write_file(box.opt() / "var/tasks/task_secret_1", "secret\n");  // a server-mode task
    const std::vector<std::string> backup = {"-b", "vm1", "-d", "/opt/zelvor/var/tasks",
                                             "-n", "archive", "-m", "srv", "-T", "1"};
    auto with_j = backup;
    with_j.push_back("-j");
    const auto refused = box.run(with_j);
    EXPECT_EQ(refused.status, 11);
    EXPECT_TRUE(refused.has_log("Error: Backup module: Unable to backup this resource \"vm1\". "
                                "Local restriction."))
        << refused.out;

    // Without -j the list is not read: the run goes on (and fails later for another
    // reason in this sandbox, which has no such domain).
    const auto without_j = box.run(backup);
    EXPECT_NE(without_j.status, 11);
    EXPECT_FALSE(without_j.has_log("Local restriction")) << without_j.out;

    // A line with a carriage return does not name the resource.
    write_file(box.opt() / "etc/zelvor_restriction.list.kvm", "vm1\r\n");
    const auto crlf = box.run(with_j);
    EXPECT_NE(crlf.status, 11);
    EXPECT_FALSE(crlf.has_log("Local restriction")) << crlf.out;
    EXPECT_EQ(crlf.status, without_j.status) << crlf.out;
}

}  // namespace
