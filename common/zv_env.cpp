// Process-level helpers: a scoped environment variable, secret and single-key
// terminal input, the login name, the main log file path and free-space checks.
// Apart from the environment exceptions, reports go straight to standard error.
#include "common/zv_utils_common.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim_all.hpp>

#include <fcntl.h>
#include <pwd.h>
#include <sys/statfs.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace zv_details_linux {
namespace {

void set_env_var(const std::string& name, const std::string& value, bool overwrite) {
    if (::setenv(name.c_str(), value.c_str(), overwrite ? 1 : 0) != 0)
        throw std::runtime_error("environment variable \"" + name + "\" set failure");
}

void unset_env_var(const std::string& name) {
    if (::unsetenv(name.c_str()) != 0)
        throw std::runtime_error("environment variable \"" + name + "\" unset failure");
}

std::string get_env_var(const std::string& name) {
    const char* value = ::getenv(name.c_str());
    return value ? value : "";
}

}  // namespace
}  // namespace zv_details_linux

EnvironmentVariable::EnvironmentVariable(const std::string& name, const std::string& value)
    : name_(name) {
    zv_details_linux::set_env_var(name_, value, true);
}

EnvironmentVariable::EnvironmentVariable(const std::string& name)
    : EnvironmentVariable(name, "") {}

EnvironmentVariable::~EnvironmentVariable() {
    try {
        zv_details_linux::unset_env_var(name_);
    } catch (const std::exception&) {
        // The name was accepted when the variable was set, so this cannot fail.
    }
}

std::string EnvironmentVariable::getValue() const { return getValue(name_); }
void EnvironmentVariable::setValue(const std::string& value) { setValue(name_, value); }
void EnvironmentVariable::unset() { unset(name_); }

std::string EnvironmentVariable::getValue(const std::string& name) {
    return zv_details_linux::get_env_var(name);
}
void EnvironmentVariable::setValue(const std::string& name, const std::string& value) {
    zv_details_linux::set_env_var(name, value, true);
}
void EnvironmentVariable::unset(const std::string& name) { zv_details_linux::unset_env_var(name); }

namespace zv_utils_common {

void echo_off(int fd, termios* saved) {
    ::tcgetattr(fd, saved);
    termios quiet = *saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(fd, TCSANOW, &quiet);
}

void echo_on(int fd, termios* saved) { ::tcsetattr(fd, TCSANOW, saved); }

void get_client_secret_input(std::string& secret) {
    termios saved{};
    echo_off(STDIN_FILENO, &saved);
    std::getline(std::cin, secret);
    // The user's Enter was not echoed.
    std::cout << std::endl;
    echo_on(STDIN_FILENO, &saved);
}

int getkey() {
    termios saved{};
    ::tcgetattr(STDIN_FILENO, &saved);
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VMIN] = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    const int key = std::fgetc(stdin);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return key;
}

std::string get_loginname() {
    if (const char* login = ::getlogin()) return login;
    if (const passwd* entry = ::getpwuid(::geteuid())) return entry->pw_name;
    return "";
}

std::string get_logfile() {
    const char* const config_path = "/opt/zelvor/etc/config.file";
    std::ifstream in(config_path);
    if (!in.is_open()) {
        std::cerr << "Can't open config file: " << config_path << std::endl;
        std::exit(1);
    }
    std::string logfile;
    for (std::string line; std::getline(in, line);) {
        boost::algorithm::replace_all(line, "\t", " ");
        boost::algorithm::trim_all(line);
        if (line.empty() || line[0] == '#') continue;
        const std::string key = "logfile ";
        if (line.compare(0, key.size(), key) == 0) logfile = line.substr(key.size());
    }
    return logfile.empty() ? "/opt/zelvor/log/Zelvor.log" : logfile;
}

namespace {

bool available_bytes(const std::string& path, std::uint64_t& bytes) {
    struct statfs info {};
    if (::statfs(path.c_str(), &info) != 0) {
        std::perror(("Can't call statfs for: " + path).c_str());
        return false;
    }
    bytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_bsize);
    return true;
}

}  // namespace

bool check_free_space(const std::string& path, const unsigned long long& bytes) {
    try {
        std::uint64_t available = 0;
        if (!available_bytes(path, available)) return false;
        return available >= static_cast<std::uint64_t>(bytes);
    } catch (const std::exception& e) {
        std::cerr << "zv_utils_common::check_free_space: " << e.what() << std::endl;
        return false;
    }
}

bool check_free_space(const std::string& path, const std::string& file) {
    try {
        std::uint64_t available = 0;
        if (!available_bytes(path, available)) return false;
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::perror(("Can't open: " + file).c_str());
            return false;
        }
        // Seeking to the end also gives the size of a block device.
        const off_t size = ::lseek(fd, 0, SEEK_END);
        const int seek_error = errno;
        ::close(fd);
        if (size < 0) {
            errno = seek_error;
            std::perror(("Can't lseek: " + file).c_str());
            return false;
        }
        return available >= static_cast<std::uint64_t>(size);
    } catch (const std::exception& e) {
        std::cerr << "zv_utils_common::check_free_space: " << e.what() << std::endl;
        return false;
    }
}

}  // namespace zv_utils_common
