// Test support for the OpenNebula library: the scripted stand-ins of
// standins/opennebula/ made to appear at the fixed paths the library calls
// (/usr/bin/onevm, oneimage, onetemplate, onedatastore, onehost, /usr/sbin/lvs)
// and first on the search path (rbd), and a per-test reply directory.
//
//   class MyTest : public one_test::ToolsTest {};
//   TEST_F(MyTest, X) { tools.reply({"oneimage", "show", "5", "-x"}, "<IMAGE/>"); ... }
//
// The fixed paths appear through a read-only overlay in a private mount namespace
// that the test process enters once (it needs root); nothing reaches the host.
#pragma once

#include "support/module_sandbox.h"
#include "support/test_module.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace one_test {

namespace fs = boost::filesystem;

inline fs::path standin_script() {
    return fs::path(ZV_SOURCE_DIR) / "standins" / "opennebula" / "onetool";
}

// Folders the process made for its whole life, removed (after their mounts are
// undone) when it exits, so that a test run leaves nothing behind.
class ExitCleanup {
public:
    static ExitCleanup& instance() {
        static ExitCleanup cleanup;
        return cleanup;
    }
    void folder(const fs::path& path) { folders_.push_back(path); }
    void mount_point(const std::string& path) { mounts_.push_back(path); }
    ~ExitCleanup() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
        boost::system::error_code ec;
        for (const auto& path : folders_) fs::remove_all(path, ec);
    }

private:
    std::vector<fs::path> folders_;
    std::vector<std::string> mounts_;
};

// Enters, once per process, a private mount namespace in which the stand-ins
// stand at the tools' paths. False when that is impossible (not root).
inline bool enter_standin_namespace() {
    static const bool entered = [] {
        if (geteuid() != 0) return false;
        const fs::path layers = fs::temp_directory_path() / fs::unique_path("zv-one-layers-%%%%%%");
        ExitCleanup::instance().folder(layers);
        const auto layer = [&](const std::string& dir, std::initializer_list<const char*> names) {
            const fs::path path = layers / dir;
            fs::create_directories(path);
            for (const char* name : names) fs::create_symlink(standin_script(), path / name);
            return path;
        };
        const fs::path bin =
            layer("bin", {"onevm", "oneimage", "onetemplate", "onedatastore", "onehost"});
        const fs::path sbin = layer("sbin", {"lvs"});
        const fs::path search = layer("path", {"rbd"});
        if (unshare(CLONE_NEWNS) != 0) return false;
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
        const auto overlay = [](const fs::path& top, const char* dir) {
            const std::string options = "lowerdir=" + top.string() + ":" + dir;
            if (mount("zvtest", dir, "overlay", MS_RDONLY, options.c_str()) != 0) return false;
            ExitCleanup::instance().mount_point(dir);
            return true;
        };
        if (!overlay(bin, "/usr/bin") || !overlay(sbin, "/usr/sbin")) return false;
        const char* path = std::getenv("PATH");
        setenv("PATH", (search.string() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
        return true;
    }();
    return entered;
}

// The replies and the call log of one test.
class Tools {
public:
    Tools() : dir_(fs::temp_directory_path() / fs::unique_path("zv-one-%%%%-%%%%")) {
        fs::create_directories(dir_ / "replies");
        setenv("ZV_ONE_STANDIN_DIR", dir_.c_str(), 1);
    }
    ~Tools() {
        unsetenv("ZV_ONE_STANDIN_DIR");
        boost::system::error_code ec;
        fs::remove_all(dir_, ec);
    }
    Tools(const Tools&) = delete;
    Tools& operator=(const Tools&) = delete;

    const fs::path& dir() const { return dir_; }

    // What the call of `argv` (tool name first) prints and its exit status.
    void reply(const std::vector<std::string>& argv, const std::string& out, int status = 0) {
        fs::path path = dir_ / "replies";
        for (const auto& arg : argv) path /= arg.empty() ? std::string("%empty") : arg;
        fs::create_directories(path);
        std::ofstream(path / "out", std::ios::binary | std::ios::trunc) << out;
        std::ofstream(path / "status", std::ios::trunc) << status;
    }

    // Every call so far: the tool and its arguments.
    std::vector<std::vector<std::string>> calls() const {
        std::vector<std::vector<std::string>> result;
        std::ifstream in((dir_ / "calls.log").string());
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> argv;
            std::istringstream fields(line);
            for (std::string field; std::getline(fields, field, '\t');) argv.push_back(field);
            result.push_back(argv);
        }
        return result;
    }

private:
    fs::path dir_;
};

// MD5 of `data` in lower-case hexadecimal, computed by OpenSSL.
inline std::string openssl_md5_hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    static const char* const hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0xf];
    }
    return text;
}

inline void write_file(const fs::path& path, const std::string& data) {
    std::ofstream(path.string(), std::ios::binary | std::ios::trunc) << data;
}

// Base fixture: skips without the namespace, captures the log, gives `tools`.
class ToolsTest : public testing::Test {
protected:
    void SetUp() override {
        if (!enter_standin_namespace()) GTEST_SKIP() << "needs root for a private mount namespace";
    }
    // Lines holding the fragment, colours and time stamps aside.
    int logged(const std::string& fragment) const { return log.count(fragment); }
    std::string log_text() const {
        std::string text;
        for (const auto& line : log.lines()) text += zv_test::strip_colours(line);
        return text;
    }

    zv_test::LogCapture log;
    Tools tools;
};

}  // namespace one_test
