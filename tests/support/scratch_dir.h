// A fixture with a fresh scratch directory per test, removed afterwards, and the
// whole-file reads and writes the file tests make in it.
//
//   class MyTest : public zv_test::ScratchDirTest {};
//   TEST_F(MyTest, X) { const std::string path = write("a.conf", "x=1\n"); ... }
//
//   zv_test::ScratchDir scratch;                   // the same as a scoped object
//   zv_test::write_file(scratch.path() / "sub/a", "x");
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

// Replaces the file's content with `text`, creating the directories above it.
inline void write_file(const boost::filesystem::path& path, const std::string& text) {
    boost::filesystem::create_directories(path.parent_path());
    std::ofstream(path.string(), std::ios::binary | std::ios::trunc) << text;
}

// A fresh directory below `parent`, removed with its content when the object goes.
class ScratchDir {
public:
    explicit ScratchDir(const boost::filesystem::path& parent = boost::filesystem::temp_directory_path(),
                        const std::string& leaf = "zvtest-scratch-%%%%-%%%%")
        : path_(parent / boost::filesystem::unique_path(leaf)) {
        boost::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const boost::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    boost::filesystem::path path_;
};

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
