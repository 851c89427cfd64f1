// The configuration merge of -u old:new:update: precedence of the three files, the
// layout of the merged file, its warnings and errors, and that a merge that cannot
// be written leaves the new file as the package installed it.
#include "support/test_module.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace fs = boost::filesystem;

namespace {

// Records the hooks' calls; "optional_*" variables may be left out.
class UpgradeModule : public zv_test::TestModule {
public:
    int get_config_option_presence_type(const std::string& name) override {
        presence_asked.insert(name);
        return name.rfind("optional_", 0) == 0 ? 1 : 0;
    }
    std::string resolve_config_option_merge_conflict(const std::string& name,
                                                     const std::string& old_value) override {
        conflicts.insert(name);
        return name == "renamed" ? "resolved:" + old_value : old_value;
    }
    std::set<std::string> presence_asked;
    std::set<std::string> conflicts;
};

class ConfigUpgrade : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / fs::unique_path("zv-upgrade-%%%%-%%%%");
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }
    static std::string read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool upgrade(UpgradeModule& module, const std::string& configs) {
        module.options_.configs_list = configs;
        return module.upgrade_config();
    }

    fs::path dir_;
    zv_test::LogCapture log_;
};

TEST_F(ConfigUpgrade, UpdateBeatsOldAndTheNewFileGivesTheLayout) {
    const std::string old_file = write("old", "both old-b\nold_only o\nrenamed r\nplain p-old\n");
    const std::string new_file = write(
        "new", "# settings\nboth new-b\nplain p-new\nrenamed n\nfresh f\noptional_x ox\n");
    const std::string update_file = write("update", "both upd-b\nupdate_only u\n");
    const std::string old_text = read(old_file), update_text = read(update_file);

    UpgradeModule module;
    ASSERT_TRUE(upgrade(module, old_file + ":" + new_file + ":" + update_file));
    EXPECT_EQ(read(new_file),
              "# Description variables\n"
              "# settings\n"
              "#both new-b\n"
              "#plain p-new\n"
              "#renamed n\n"
              "#fresh f\n"
              "#optional_x ox\n"
              "#\n"
              "# Variables value\n"
              "both upd-b\n"
              "plain p-old\n"
              "renamed resolved:r\n"
              "fresh \n");
    // The hooks: presence asked for every new variable, the conflict hook only
    // where the old value is taken.
    EXPECT_EQ(module.presence_asked,
              (std::set<std::string>{"both", "plain", "renamed", "fresh", "optional_x"}));
    EXPECT_EQ(module.conflicts, (std::set<std::string>{"plain", "renamed"}));
    EXPECT_EQ(log_.count("Warning: Variable 'fresh' is mandatory and has no value. Module cannot be "
                         "used"),
              1);
    EXPECT_EQ(log_.count("Variable 'optional_x'"), 0);
    EXPECT_EQ(log_.count("Info: The module is installed"), 1);
    EXPECT_EQ(log_.count("Info: UpgradeConfig options.configs_list: " + old_file), 1);
    EXPECT_EQ(read(old_file), old_text);
    EXPECT_EQ(read(update_file), update_text);
}

TEST_F(ConfigUpgrade, EmptyOldAndUpdatePathsStillMerge) {
    const std::string new_file = write("new", "a 1\nb 2\n");
    UpgradeModule module;
    ASSERT_TRUE(upgrade(module, ":" + new_file + ":"));
    EXPECT_EQ(read(new_file),
              "# Description variables\n#a 1\n#b 2\n#\n# Variables value\na \nb \n");
    EXPECT_EQ(log_.count("Warning: Can't open file ''"), 2);
    // Log text has its runs of blanks reduced to one.
    EXPECT_EQ(log_.count("Warning: Old configuration file doesn't exists. Will use only new "
                         "configuration file."),
              1);
    EXPECT_EQ(log_.count("Warning: Update configuration file doesn't exists"), 1);
    EXPECT_EQ(log_.count("is mandatory and has no value"), 2);
}

TEST_F(ConfigUpgrade, RefusedRuns) {
    const std::string new_file = write("new", "a 1\n");
    const std::string missing = path("missing");
    const struct {
        std::string configs;
        std::string error;
    } cases[] = {
        {path("old") + ":" + new_file, "Error: Incorrect configuration file format"},
        {path("old") + ":" + new_file + ":" + path("update") + ":",
         "Error: Incorrect configuration file format"},
        {new_file, "Error: Incorrect configuration file format"},
        {":" + missing + ":",
         "Error: New configuration file " + missing +
             " doesn't exists. Merge configuration files impossible."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.configs);
        log_.clear();
        UpgradeModule module;
        EXPECT_FALSE(upgrade(module, c.configs));
        EXPECT_EQ(log_.count(c.error), 1);
        EXPECT_EQ(read(new_file), "a 1\n");
        EXPECT_FALSE(fs::exists(missing));
    }
    EXPECT_EQ(log_.count("Error: Can't open file '" + missing + "'"), 1);
}

TEST_F(ConfigUpgrade, FailedSaveKeepsTheInstalledFile) {
    std::string text;
    for (int i = 0; i < 50; ++i) text += "key" + std::to_string(i) + " value\n";
    const std::string new_file = write("new", text);
    const std::string update_file = write("update", "key1 " + std::string(4000, 'u') + "\n");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file-size limit stands in for a full disk.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{512, 512};
        setrlimit(RLIMIT_FSIZE, &limit);
        UpgradeModule module;
        const bool saved = upgrade(module, ":" + new_file + ":" + update_file);
        const bool logged = log_.count("Error: Can't save '" + new_file + "'") == 1;
        _exit(!saved && logged ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed save was not reported";
    EXPECT_EQ(read(new_file), text);
    int entries = 0;
    for (fs::directory_iterator it(dir_), end; it != end; ++it) ++entries;
    EXPECT_EQ(entries, 2) << "a temporary file was left beside the configuration";
}

}  // namespace
