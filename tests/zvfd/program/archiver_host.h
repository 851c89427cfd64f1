// A host for the archiver's program tests: a scratch /opt/zelvor whose media server
// media1 is the default directory, task 42 with its secret, source files of random
// data, and the archiver's backup and restore command lines as the module builds them.
//
//   class MyTest : public zv_test::ArchiverHost {};
//   TEST_F(MyTest, X) { ASSERT_EQ(backup(source("a.img", 1 << 20, 1), "a_1").status, 0); }
#pragma once

#include "support/module_sandbox.h"
#include "support/random_data.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace zv_test {

// The regular files below a directory of the repository, as object names.
inline std::vector<std::string> objects_below(const boost::filesystem::path& repository, const std::string& prefix) {
    namespace fs = boost::filesystem;
    std::vector<std::string> names;
    if (!fs::exists(repository / prefix)) return names;
    for (const auto& e : fs::recursive_directory_iterator(repository / prefix))
        if (fs::is_regular_file(e.path())) names.push_back(fs::relative(e.path(), repository).generic_string());
    std::sort(names.begin(), names.end());
    return names;
}

class ArchiverHost : public ::testing::Test {
protected:
    void SetUp() override {
        ZV_REQUIRE_NAMESPACES();
        box_.install_zvfd();
        write_file(box_.opt() / "var" / "tasks" / "task_secret_42", "secret of task 42\n");
        boost::filesystem::create_directories(work() / "snap");
    }

    boost::filesystem::path work() const { return box_.root() / "work"; }
    boost::filesystem::path repository() const { return box_.opt() / "var" / "repositories" / "media1"; }
    std::string meta(const std::string& name) const { return (work() / "snap" / (name + ".meta")).string(); }

    // A source file of random data and a list naming it "vda".
    std::string source(const std::string& file, std::size_t size, unsigned seed) const {
        write_file(work() / file, random_bytes(size, seed));
        return list_of(file);
    }
    std::string list_of(const std::string& file) const {
        const boost::filesystem::path list = work() / (file + ".list");
        write_file(list, "ZVFD file list:\n" + (work() / file).string() + " : vda\n");
        return list.string();
    }
    std::string backup_command(const std::string& list, const std::string& name, const std::string& extra = "") const {
        return "cd / && /opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -c " + list +
               " -x /opt/zelvor/keys/master-key,/opt/zelvor/keys/secret-key.pem" + extra + " -z None -M media1 -N " +
               name + " -T 42 -s /opt/zelvor/var/tasks//task_secret_42 -m " + meta(name) + " 2>&1";
    }
    RunResult backup(const std::string& list, const std::string& name, const std::string& extra = "") const {
        return box_.shell(backup_command(list, name, extra));
    }
    RunResult restore(const std::string& name, const boost::filesystem::path& dir) const {
        return box_.shell("/opt/zelvor/bin/zvfd -a sha2 -2  -b 16384 -R 1001 -M media1 -T 42"
                          " -s /opt/zelvor/var/tasks//task_secret_42 -m " +
                          meta(name) + " -d " + dir.string() + " 2>&1");
    }
    // Restores the record and compares its vda with the source file.
    void expect_restores(const std::string& name, const std::string& file) const {
        const boost::filesystem::path dir = work() / ("restored-" + name);
        const RunResult run = restore(name, dir);
        ASSERT_EQ(run.status, 0) << name << "\n" << run.out;
        EXPECT_TRUE(read_file(dir / "vda") == read_file(work() / file)) << name;
    }
    // Bytes of the files below the repository's directory `prefix` ("" for all).
    std::uint64_t stored_bytes(const std::string& prefix = "") const {
        std::uint64_t n = 0;
        for (const auto& name : objects_below(repository(), prefix))
            n += boost::filesystem::file_size(repository() / name);
        return n;
    }

    Sandbox box_;
};

}  // namespace zv_test
