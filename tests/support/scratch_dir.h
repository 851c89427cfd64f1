// A fixture with a fresh scratch directory per test, removed afterwards, and the
// whole-file reads and writes the file tests make in it.
//
//   class MyTest : public zv_test::ScratchDirTest {};
//   TEST_F(MyTest, X) { const std::string path = write("a.conf", "x=1\n"); ... }
#pragma once

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace zv_test {

// The file's bytes as they are; empty when it cannot be read.
inline std::string read_file(const boost::filesystem::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ScratchDirTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = boost::filesystem::temp_directory_path() /
               boost::filesystem::unique_path("zvtest-scratch-%%%%-%%%%");
        boost::filesystem::create_directories(dir_);
    }
    void TearDown() override { boost::filesystem::remove_all(dir_); }

    // Writes `text` to `name` in the scratch directory (which must exist below
    // it already) and returns the file's path.
    std::string write(const std::string& name, const std::string& text) const {
        const boost::filesystem::path path = dir_ / name;
        std::ofstream(path.string(), std::ios::binary) << text;
        return path.string();
    }

    boost::filesystem::path dir_;
};

}  // namespace zv_test
