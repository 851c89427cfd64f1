// The configuration-file model: what a file's lines become, what save writes back,
// the editing operations and their errors, and that a failed save never costs the
// file that was there.
#include "common/config_file.h"
#include "support/scratch_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using zv_config::ConfigFile;

namespace {

class ConfigFileTest : public zv_test::ScratchDirTest {
protected:
    static std::string read(const std::string& path) { return zv_test::read_file(path); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (fs::directory_iterator it(dir_), end; it != end; ++it)
            names.push_back(it->path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Each entity as "#text" for a comment or "name=value" for a variable.
std::vector<std::string> describe(const ConfigFile& config) {
    std::vector<std::string> out;
    for (const auto& entity : config) {
        if (entity->getType() == zv_config::CommentType) {
            out.push_back("#" + static_cast<const zv_config::Comment&>(*entity).getPure());
        } else {
            const auto& variable = static_cast<const zv_config::Variable&>(*entity);
            out.push_back(variable.getName() + "=" + variable.getValue());
        }
    }
    return out;
}

struct ReadCase {
    const char* what;
    std::string text;
    std::vector<std::string> entities;
    std::string saved;  // what save writes back
};

TEST_F(ConfigFileTest, LinesBecomeEntitiesAndSaveWritesThemBack) {
    const ReadCase cases[] = {
        {"blanks around and between", "   name   value  \n", {"name=value"}, "name value\n"},
        {"tab separator", "name\tvalue\n", {"name=value"}, "name value\n"},
        {"inner blanks of a value stay", "name a  b\n", {"name=a  b"}, "name a  b\n"},
        {"name alone", "name\n", {"name="}, "name \n"},
        {"comment keeps blanks after #", "  # word\n", {"# word"}, "# word\n"},
        {"comment without text", "#\n", {"#"}, "#\n"},
        {"white-space line dropped", "a 1\n \t \nb 2\n", {"a=1", "b=2"}, "a 1\nb 2\n"},
        {"repeated name: first place, last value", "a 1\nb 2\na 3\n", {"a=3", "b=2"},
         "a 3\nb 2\n"},
        {"CR LF line ends", "#c\r\na 1\r\nb\r\n", {"#c", "a=1", "b="}, "#c\na 1\nb \n"},
        {"last line without line end", "a 1\nb 2", {"a=1", "b=2"}, "a 1\nb 2\n"},
        {"value holding # and colons", "url http://h:1/#x\n", {"url=http://h:1/#x"},
         "url http://h:1/#x\n"},
        {"empty file", "", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ConfigFile config(write("in.conf", c.text));
        EXPECT_EQ(describe(config), c.entities);
        const std::string out = (dir_ / "out.conf").string();
        ASSERT_TRUE(config.save(out));
        EXPECT_EQ(read(out), c.saved);
        EXPECT_EQ(describe(ConfigFile(out)), c.entities);
    }
}

TEST_F(ConfigFileTest, LoadAddsToWhatIsThere) {
    ConfigFile config(write("a.conf", "#first\nx 1\ny 2\n"));
    config.load(write("b.conf", "#second\ny 20\nz 3\n"));
    EXPECT_EQ(describe(config), (std::vector<std::string>{"#first", "x=1", "y=20", "#second", "z=3"}));
}

TEST_F(ConfigFileTest, EditingKeepsOrderAndIndex) {
    ConfigFile config;
    config.addComment(" header");
    config.addVariable("a", "1");
    config.addVariable("b", "2");
    config.addVariable("a", "10");  // keeps its place
    config.addVariable("c", "3");
    EXPECT_EQ(describe(config), (std::vector<std::string>{"# header", "a=10", "b=2", "c=3"}));
    EXPECT_EQ(config["a"], "10");

    config.removeVariable("b");
    EXPECT_FALSE(config.variableExists("b"));
    config.addVariable("b", "again");  // appended at the end once removed
    EXPECT_EQ(describe(config), (std::vector<std::string>{"# header", "a=10", "c=3", "b=again"}));

    // Comments are matched by their whole line, "#" included.
    EXPECT_FALSE(config.commentExists(" header"));
    config.removeComment(" header");
    EXPECT_TRUE(config.commentExists("# header"));
    config.removeComment("# header");
    EXPECT_FALSE(config.commentExists("# header"));
    EXPECT_EQ(describe(config), (std::vector<std::string>{"a=10", "c=3", "b=again"}));

    config.clear();
    EXPECT_EQ(config.begin(), config.end());
    EXPECT_FALSE(config.variableExists("a"));
}

TEST_F(ConfigFileTest, CopiesAreIndependent) {
    ConfigFile source(write("a.conf", "#c\nx 1\n"));
    ConfigFile copy(source);
    copy.addVariable("x", "2");
    copy.addVariable("y", "3");
    EXPECT_EQ(source["x"], "1");
    EXPECT_FALSE(source.variableExists("y"));
    EXPECT_EQ(describe(copy), (std::vector<std::string>{"#c", "x=2", "y=3"}));

    ConfigFile assigned;
    assigned.addVariable("old", "gone");
    assigned = source;
    EXPECT_EQ(describe(assigned), describe(source));
    // The copy's variables refer to names the copy owns: the source can go away.
    {
        ConfigFile temporary(write("b.conf", "k v\n"));
        assigned = temporary;
    }
    EXPECT_EQ(assigned["k"], "v");
}

TEST_F(ConfigFileTest, MissingThingsThrowTheirExceptions) {
    const std::string missing = (dir_ / "no such.conf").string();
    try {
        ConfigFile config(missing);
        FAIL() << "no exception";
    } catch (const zv_config::WrongConfigException& e) {
        EXPECT_EQ(std::string(e.what()), "Can't open file '" + missing + "'");
    }
    ConfigFile config;
    EXPECT_THROW(config.load(missing), zv_config::WrongConfigException);

    config.addVariable("present", "1");
    try {
        (void)config["absent"];
        FAIL() << "no exception";
    } catch (const zv_config::VariableAbsentException& e) {
        EXPECT_EQ(std::string(e.what()), "absent");
    }
    EXPECT_THROW(config.removeVariable("absent"), zv_config::VariableAbsentException);
    config.removeComment("#none");  // never fails
}

TEST_F(ConfigFileTest, SaveReplacesTheFileAndKeepsItsMode) {
    const std::string path = write("keep.conf", "old 1\n");
    ::chmod(path.c_str(), 0640);
    ConfigFile config;
    config.addVariable("new", "2");
    ASSERT_TRUE(config.save(path));
    EXPECT_EQ(read(path), "new 2\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), std::vector<std::string>{"keep.conf"});  // no temporary left
}

TEST_F(ConfigFileTest, FailedSaveReportsAndLeavesTheOldFile) {
    ConfigFile config;
    config.addVariable("name", "value");
    EXPECT_FALSE(config.save((dir_ / "missing-dir" / "x.conf").string()));

    // The target is a directory: nothing can replace it.
    fs::create_directories(dir_ / "a-directory");
    EXPECT_FALSE(config.save((dir_ / "a-directory").string()));
    EXPECT_TRUE(fs::is_directory(dir_ / "a-directory"));

    // A write that runs out of room (a file-size limit stands in for a full disk)
    // must fail the save and leave the installed file as it was.
    const std::string old_text = "installed configuration\n";
    const std::string path = write("installed.conf", old_text);
    for (int i = 0; i < 100; ++i) config.addVariable("key" + std::to_string(i), std::string(50, 'v'));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(config.save(path) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "save reported success on a short write";
    EXPECT_EQ(read(path), old_text);
    EXPECT_EQ(entries(), (std::vector<std::string>{"a-directory", "installed.conf"}))
        << "temporary file left beside the target";
}

// A process killed while it writes (here by SIGXFSZ at the file-size limit) leaves
// the old file and no temporary file for a later run to find.
TEST_F(ConfigFileTest, CrashWhileSavingLeavesNothingBehind) {
    const std::string old_text = "installed configuration\n";
    const std::string path = write("installed.conf", old_text);
    ConfigFile config;
    for (int i = 0; i < 100; ++i) config.addVariable("key" + std::to_string(i), std::string(50, 'v'));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        config.save(path);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the save was expected to be killed mid-write";
    EXPECT_EQ(read(path), old_text);
    EXPECT_EQ(entries(), std::vector<std::string>{"installed.conf"});
}

// An administrator's link stays a link: its target gets the text and keeps its
// owner, group and mode, also when those are not the writer's.
TEST_F(ConfigFileTest, SaveWritesThroughALinkAndKeepsOwnerGroupAndMode) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file another owner";
    fs::create_directories(dir_ / "real");
    const std::string target = write("real/target.conf", "old 1\n");
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    fs::create_symlink("real/target.conf", dir_ / "link.conf");
    fs::create_symlink("link.conf", dir_ / "link-to-link.conf");

    ConfigFile config;
    config.addVariable("new", "2");
    ASSERT_TRUE(config.save((dir_ / "link-to-link.conf").string()));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link-to-link.conf"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.conf"));
    EXPECT_EQ(read(target), "new 2\n");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), (std::vector<std::string>{"link-to-link.conf", "link.conf", "real"}));
    std::vector<std::string> real;
    for (fs::directory_iterator it(dir_ / "real"), end; it != end; ++it)
        real.push_back(it->path().filename().string());
    EXPECT_EQ(real, std::vector<std::string>{"target.conf"});

    // A link whose target does not exist yet: the target is made, the link stays.
    fs::create_symlink("real/new.conf", dir_ / "dangling.conf");
    ASSERT_TRUE(config.save((dir_ / "dangling.conf").string()));
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.conf"));
    EXPECT_EQ(read((dir_ / "real/new.conf").string()), "new 2\n");
}

// Neither reading nor saving waits on a FIFO or reads a device without end.
TEST_F(ConfigFileTest, FifoAndDeviceAreRefusedWithoutWaiting) {
    const std::string fifo = (dir_ / "fifo.conf").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir_ / "zero.conf");
    alarm(20);  // a hang ends the test program instead of the whole run
    for (const std::string& path : {fifo, (dir_ / "zero.conf").string()}) {
        SCOPED_TRACE(path);
        try {
            ConfigFile config(path);
            ADD_FAILURE() << "read";
        } catch (const zv_config::WrongConfigException& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Can't open file '" + path + "': it is not a regular file");
        }
        ConfigFile config;
        config.addVariable("name", "value");
        EXPECT_FALSE(config.save(path));
    }
    alarm(0);
    struct stat info {};
    ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_TRUE(fs::is_symlink(dir_ / "zero.conf"));
    try {
        ConfigFile((dir_ / "absent.conf").string());
    } catch (const zv_config::WrongConfigException& e) {
        EXPECT_EQ(std::string(e.what()), "Can't open file '" + (dir_ / "absent.conf").string() + "'");
    }
}

}  // namespace
