// Helpers for tests of the OS-snapshot and remote-backup members, which run outside
// programs by name or at fixed paths:
// - SnapshotModule is the test module with the snapshot state public.
// - FakeBin puts scripted programs first on PATH for this process, each logging its
//   arguments; calls() reads such a log back.
// - A sandboxed case is a test body that runs inside a zv_test::Sandbox mount namespace
//   (fakes over /sbin/lsmod, /usr/bin/ssh..., private mounts): the test program starts
//   itself there and SandboxedCase.Run runs the body named by ZV_SANDBOXED_CASE.
//
//   ZV_SANDBOXED_CASE(lists_the_first_device) { EXPECT_EQ(...); }
//   TEST(X, Y) { zv_test::Sandbox box; ...; zv_test::expect_case_passes(box, "lists_the_first_device"); }
#pragma once

#include "common/zv_shell.h"
#include "support/module_sandbox.h"
#include "support/test_module.h"

#include <boost/algorithm/string/split.hpp>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace zv_test {

using CallLog = std::vector<std::vector<std::string>>;

// Shell lines that append the script's arguments to `log`, one call a line, the
// arguments separated by \x1f. Put after "#!/bin/bash".
inline std::string log_arguments_to(const std::string& log) {
    return "(IFS=$'\\x1f'; printf '%s\\n' \"$*\") >> " + zv_utils_common::shell_quote(log) + "\n";
}

inline CallLog calls(const std::string& log) {
    CallLog result;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> arguments;
        boost::split(arguments, line, [](char c) { return c == '\x1f'; });
        result.push_back(arguments);
    }
    return result;
}

inline void write_text(const std::string& path, const std::string& text) {
    boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::trunc) << text;
}

// A scratch directory whose programs come first on PATH while the object lives.
class FakeBin {
public:
    FakeBin() {
        char pattern[] = "/tmp/zvfakebin-XXXXXX";
        dir_ = mkdtemp(pattern);
        const char* path = std::getenv("PATH");
        saved_path_ = path ? path : "/usr/bin:/bin";
        prepend(dir_);
    }
    ~FakeBin() {
        setenv("PATH", saved_path_.c_str(), 1);
        boost::system::error_code ec;
        boost::filesystem::remove_all(dir_, ec);
    }
    FakeBin(const FakeBin&) = delete;
    FakeBin& operator=(const FakeBin&) = delete;

    const std::string& dir() const { return dir_; }
    std::string log(const std::string& program) const { return dir_ + "/" + program + ".calls"; }
    // A bash script `program` that logs its arguments to log(program), then runs `body`.
    void add(const std::string& program, const std::string& body) const {
        const std::string path = dir_ + "/" + program;
        write_text(path, "#!/bin/bash\n" + log_arguments_to(log(program)) + body);
        boost::filesystem::permissions(path, boost::filesystem::perms(0755));
    }
    CallLog calls_of(const std::string& program) const { return calls(log(program)); }
    void prepend(const std::string& directory) const {
        setenv("PATH", (directory + ":" + std::getenv("PATH")).c_str(), 1);
    }

private:
    std::string dir_;
    std::string saved_path_;
};

// The test module with the OS-snapshot and remote-backup state in reach.
class SnapshotModule : public TestModule {
public:
    using TestModule::TestModule;
    using ZvModuleUniversal::defect_flag;
    using ZvModuleUniversal::os_snapshot;
    using ZvModuleUniversal::os_snapshots;
    using ZvModuleUniversal::zvfd_result;
};

using SandboxedBody = void (*)();

inline std::map<std::string, SandboxedBody>& sandboxed_cases() {
    static std::map<std::string, SandboxedBody> cases;
    return cases;
}

struct SandboxedCaseRegistration {
    SandboxedCaseRegistration(const char* name, SandboxedBody body) {
        sandboxed_cases()[name] = body;
    }
};

inline std::string test_program_path() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

// Runs the case in `box`'s namespace; its gtest report is in the result.
inline RunResult run_case(const Sandbox& box, const std::string& name, RunOptions options = {}) {
    options.env["ZV_SANDBOXED_CASE"] = name;
    return box.shell("exec " + zv_utils_common::shell_quote(test_program_path()) +
                         " --gtest_filter=SandboxedCase.Run --gtest_color=no",
                     options);
}

inline void expect_case_passes(const Sandbox& box, const std::string& name,
                               RunOptions options = {}) {
    const RunResult result = run_case(box, name, std::move(options));
    EXPECT_EQ(result.status, 0) << "sandboxed case " << name << ":\n" << result.out << result.err;
}

// The value a test handed to its sandboxed case through RunOptions::env.
inline std::string case_env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace zv_test

#define ZV_SANDBOXED_CASE(name)                                                        \
    static void name();                                                                \
    static const zv_test::SandboxedCaseRegistration name##_registration(#name, &name); \
    static void name()
