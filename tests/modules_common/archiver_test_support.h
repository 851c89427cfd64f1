// Fixtures shared by the archiver runner, command-line and snapshot-file tests: the
// test module with the archiver's state opened up, log and standard-output captures,
// a scratch directory, and a way to run an archiver command line against the
// stand-in archiver instead of the fixed product path.
#pragma once

#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"
#include "support/test_module.h"

#include <boost/filesystem.hpp>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace archiver_test {

namespace fs = boost::filesystem;

// The shared test module, with the archiver's and snapshot file's state opened up too.
class TestModule : public zv_test::TestModule {
public:
    using zv_test::TestModule::TestModule;
    void make_archiving() override { ++archiving_calls; }
    int archiving_calls = 0;

    using ZvModuleUniversal::chosen_storage_id;
    using ZvModuleUniversal::chosen_storage_type;
    using ZvModuleUniversal::client_defined_storages;
    using ZvModuleUniversal::defect_flag;
    using ZvModuleUniversal::reference_snapshot_directory;
    using ZvModuleUniversal::obsolete_snapshot_file;
    using ZvModuleUniversal::skip_reference_meta;
    using ZvModuleUniversal::zvfd_pid;
};

// The shared log capture with every level let through, Debug included.
class LogCapture : public zv_test::LogCapture {
public:
    LogCapture() : saved_level_(ZvLogStream::global_log_level_) {
        ZvLogStream::global_log_level_ = ~0u;
    }
    ~LogCapture() { ZvLogStream::global_log_level_ = saved_level_; }

    bool has(const std::string& fragment) const { return count(fragment) > 0; }
    std::string all() const {
        std::string text;
        for (const auto& line : lines()) text += zv_test::strip_colours(line);
        return text;
    }

private:
    unsigned saved_level_;
};

// What the module writes to std::cout for the client agent, while it lives.
class StdoutCapture {
public:
    StdoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~StdoutCapture() { std::cout.rdbuf(saved_); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* saved_;
};

using zv_test::read_file;
using zv_test::ScratchDir;
using zv_test::write_file;

// The command line as the module built it, with the product's archiver path replaced
// by the archiver built with the tests, so that the shell really parses the module's text.
inline std::string with_built_zvfd(std::string command) {
    const std::string program = zvfd_program;
    const auto at = command.find(program);
    if (at != std::string::npos) command.replace(at, program.size(), zv_test::zvfd_binary());
    return command;
}

// Sets an environment variable for the archiver while it lives.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
        ::setenv(name_.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv() { ::unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
};

}  // namespace archiver_test
