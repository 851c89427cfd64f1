// Process-level helpers: the scoped environment variable, the main log file path
// read from the product's configuration file, and the free-space checks.
#include "common/zv_utils_common.h"

#include "support/module_sandbox.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

namespace fs = boost::filesystem;

namespace {

// The main configuration file has a fixed path under /opt/zelvor, so get_logfile is
// exercised by this test program itself, started again inside a sandbox.
const char* const print_logfile_variable = "ZV_TEST_PRINT_LOGFILE";
const bool print_logfile_hook = [] {
    if (std::getenv(print_logfile_variable)) {
        const std::string logfile = zv_utils_common::get_logfile();
        std::cout << "logfile=" << logfile << std::endl;
        std::exit(0);
    }
    return true;
}();

std::string this_program() { return fs::read_symlink("/proc/self/exe").string(); }

TEST(EnvironmentVariable, SetsForItsScopeAndRemovesAfter) {
    const std::string name = "ZV_TEST_ENV_SCOPED";
    ASSERT_EQ(setenv(name.c_str(), "before", 1), 0);
    {
        EnvironmentVariable variable(name, "inside");
        EXPECT_EQ(variable.getName(), name);
        EXPECT_EQ(variable.getValue(), "inside");
        variable.setValue("changed");
        EXPECT_STREQ(std::getenv(name.c_str()), "changed");
        EXPECT_EQ(EnvironmentVariable::getValue(name), "changed");
    }
    EXPECT_EQ(std::getenv(name.c_str()), nullptr) << "the earlier value is not brought back";

    EnvironmentVariable empty(name);
    EXPECT_NE(std::getenv(name.c_str()), nullptr);
    EXPECT_EQ(empty.getValue(), "");
    empty.unset();
    EXPECT_EQ(std::getenv(name.c_str()), nullptr);
    EXPECT_EQ(EnvironmentVariable::getValue("ZV_TEST_ENV_NEVER_SET"), "");
}

TEST(EnvironmentVariable, RefusedNameThrowsWithItsText) {
    try {
        EnvironmentVariable variable("A=B", "x");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "environment variable \"A=B\" set failure");
    }
    EXPECT_THROW(EnvironmentVariable::unset("A=B"), std::runtime_error);
}

struct LogfileCase {
    const char* what;
    const char* config;  // nullptr: no configuration file
    int status;
    std::string out;
};

TEST(MainLogFile, TakesTheLastLogfileLine) {
    ZV_REQUIRE_NAMESPACES();
    const LogfileCase cases[] = {
        {"later line wins, comments skipped", "logfile /a\n   logfile\t/b\n#logfile /c\n", 0,
         "logfile=/b\n"},
        {"no logfile line", "other /x\n", 0, "logfile=/opt/zelvor/log/Zelvor.log\n"},
        {"the word alone is no setting", "logfile\n", 0, "logfile=/opt/zelvor/log/Zelvor.log\n"},
        {"inner white space collapses", "logfile   /p  q\n", 0, "logfile=/p q\n"},
        {"missing file ends the process", nullptr, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        zv_test::Sandbox box;
        if (c.config) std::ofstream((box.opt() / "etc/config.file").string()) << c.config;
        zv_test::RunOptions options;
        options.env[print_logfile_variable] = "1";
        const auto result = box.shell("exec " + this_program(), options);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        if (!c.config) {
            EXPECT_EQ(result.err, "Can't open config file: /opt/zelvor/etc/config.file\n");
        }
    }
}

TEST(FreeSpace, ComparesAvailableBytes) {
    // /proc has no available blocks: 0 bytes is exactly enough, 1 is not.
    EXPECT_TRUE(zv_utils_common::check_free_space("/proc", 0ull));
    EXPECT_FALSE(zv_utils_common::check_free_space("/proc", 1ull));
    EXPECT_TRUE(zv_utils_common::check_free_space("/tmp", 1ull));
    EXPECT_FALSE(zv_utils_common::check_free_space("/tmp", ~0ull));

    const fs::path file = fs::temp_directory_path() / fs::unique_path("zv-space-%%%%");
    std::ofstream(file.string()) << "some bytes";
    EXPECT_TRUE(zv_utils_common::check_free_space("/tmp", file.string()));
    EXPECT_FALSE(zv_utils_common::check_free_space("/proc", file.string()));
    fs::remove(file);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(zv_utils_common::check_free_space("/tmp", "/no/such/file"));
    EXPECT_FALSE(zv_utils_common::check_free_space("/no/such/dir", 1ull));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Can't open: /no/such/file: No such file or directory\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Can't call statfs for: /no/such/dir: No such file or directory\n"),
              std::string::npos)
        << err;
}

}  // namespace
