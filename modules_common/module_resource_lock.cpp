#include "modules_common/module_resource_lock.h"

#include "common/config_file.h"
#include "common/zv_logger.h"
#include "zvcrypto/zv_hash.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <utility>

namespace fs = boost::filesystem;

namespace zelvor::module {

namespace {

std::string quoted(const std::string& text) { return zelvor::as_quoted(text, '"', '\\'); }

// Replacing a removed lock file more often than this means other processes keep
// taking and ending the lock: report the resource as busy.
constexpr int max_lock_attempts = 16;

}  // namespace

resource_lock_file_handler::resource_lock_file_handler(std::string module_name,
                                                       std::string resource_name)
    : module_name_(std::move(module_name)),
      resource_name_(std::move(resource_name)),
      lock_file_path_(make_lock_file_path(make_lock_file_name(module_name_, resource_name_))) {
    create();
}

std::string resource_lock_file_handler::make_lock_file_name(const std::string& module_name,
                                                            const std::string& resource_name) {
    const std::string text = zelvor::hash::to_string(
        zelvor::hash::sha::make_hash<std::array<unsigned char, 32>, std::string>(module_name + resource_name));
    ZvLogStream(ZvLogLvl::Debug) << "module " << quoted(module_name) << " resource " << quoted(resource_name)
                                 << " hash string is " << text << "." << " will be truncated to "
                                 << hash_substr_length << " characters at begin." << std::endl;
    return "Zelvor_MOD_mutex_" + text.substr(0, hash_substr_length);
}

fs::path resource_lock_file_handler::make_lock_files_dir_path() {
    return fs::path("/opt/zelvor") / "var" / "zelvor-modules";
}

fs::path resource_lock_file_handler::make_lock_file_path(const std::string& lock_file_name) {
    return make_lock_files_dir_path() / lock_file_name;
}

void resource_lock_file_handler::create() const {
    if (fs::exists(lock_file_path_)) {
        return;
    }
    const fs::path dir = lock_file_path_.parent_path();
    if (!fs::exists(dir) && !fs::create_directories(dir)) {
        ZvLogStream(ZvLogLvl::Error) << "lock file parent directories creation at " << dir << " fails!"
                                     << std::endl;
        throw std::runtime_error("unable to prepare resources lock file parent directories");
    }
    fs::ofstream file(lock_file_path_, std::ios::out | std::ios::trunc);
    if (!file.is_open()) {
        ZvLogStream(ZvLogLvl::Error) << "lock file " << lock_file_path_ << " for module " << quoted(module_name_)
                                     << " with resource " << quoted(resource_name_) << " creation fails!"
                                     << std::endl;
        throw std::runtime_error("unable to create lock file");
    }
}

bool resource_lock_file_handler::remove() const noexcept {
    if (lock_file_path_.empty()) {
        return true;
    }
    try {
        boost::system::error_code ec;
        if (!fs::remove(lock_file_path_, ec)) {
            ZvLogStream(ZvLogLvl::Error) << "unable to remove lock file " << lock_file_path_ << " for module "
                                         << quoted(module_name_) << " with resource " << quoted(resource_name_)
                                         << " (" << ec.category().name() << ":" << ec.value() << ")!"
                                         << std::endl;
            return false;
        }
    } catch (...) {
        // Only building the log line can throw here (allocation).
        return false;
    }
    return true;
}

resource_file_lock::resource_file_lock(std::string module_name, std::string resource_name)
    : resource_lock_file_handler(std::move(module_name), std::move(resource_name)) {
    open_lock_file();
}

resource_file_lock::resource_file_lock(resource_file_lock&& other) noexcept { swap(other); }

resource_file_lock& resource_file_lock::operator=(resource_file_lock&& other) noexcept {
    swap(other);
    return *this;
}

void resource_file_lock::swap(resource_file_lock& other) noexcept {
    module_name_.swap(other.module_name_);
    resource_name_.swap(other.resource_name_);
    lock_file_path_.swap(other.lock_file_path_);
    file_lock_.swap(other.file_lock_);
    std::swap(device_, other.device_);
    std::swap(inode_, other.inode_);
}

void resource_file_lock::open_lock_file() {
    const std::string path = lock_file_path_.generic_string();
    // The file lock offers no way to ask which file it opened, so open the file
    // here, note its identity, and hand the same file to the lock through the
    // descriptor's /proc link. Closing this descriptor before any lock is taken
    // costs nothing; the lock object keeps the one descriptor that matters.
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        // Let the file lock report the failure in its own exception.
        file_lock_ = boost::interprocess::file_lock(path.c_str());
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            device_ = st.st_dev;
            inode_ = st.st_ino;
        }
        return;
    }
    struct stat st {};
    ::fstat(fd, &st);
    try {
        boost::interprocess::file_lock opened(("/proc/self/fd/" + std::to_string(fd)).c_str());
        file_lock_.swap(opened);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    device_ = st.st_dev;
    inode_ = st.st_ino;
}

bool resource_file_lock::holds_file_at_path() const {
    struct stat st {};
    if (::stat(lock_file_path_.c_str(), &st) != 0) {
        return false;
    }
    return st.st_dev == device_ && st.st_ino == inode_;
}

void resource_file_lock::reopen_after_removal() {
    file_lock_.unlock();
    boost::interprocess::file_lock none;
    file_lock_.swap(none);  // closes the removed file once `none` goes
    create();
    open_lock_file();
}

bool resource_file_lock::try_lock() {
    for (int attempt = 1;; ++attempt) {
        if (!file_lock_.try_lock()) {
            return false;
        }
        if (lock_file_path_.empty() || holds_file_at_path()) {
            return true;
        }
        if (attempt == max_lock_attempts) {
            file_lock_.unlock();
            return false;
        }
        reopen_after_removal();
    }
}

void resource_file_lock::lock_waiting() {
    for (;;) {
        file_lock_.lock();
        if (lock_file_path_.empty() || holds_file_at_path()) {
            return;
        }
        reopen_after_removal();
    }
}

void resource_file_lock::unlock() { file_lock_.unlock(); }

resource_file_lock::~resource_file_lock() {
    try {
        if (!resource_name_.empty() && !module_name_.empty() && !lock_file_path_.empty() && try_lock()) {
            ZvLogStream(ZvLogLvl::Debug) << "resource_file_lock dtor:" << " module " << quoted(module_name_)
                                         << ", resource " << quoted(resource_name_) << ", file lock path "
                                         << lock_file_path_ << " -> try remove..." << std::endl;
            remove();
            unlock();
        }
    } catch (const std::exception& e) {
        try {
            ZvLogStream(ZvLogLvl::Error) << "file lock releasing fails (" << e.what() << ")!" << std::endl;
        } catch (...) {
        }
    }
}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock) : lock_(&lock) {
    lock.lock_waiting();
    holder_ = holder_type(lock.file_lock_, boost::interprocess::accept_ownership);
}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock,
                                                     boost::interprocess::defer_lock_type)
    : holder_(lock.file_lock_, boost::interprocess::defer_lock), lock_(&lock) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock,
                                                     boost::interprocess::accept_ownership_type)
    : holder_(lock.file_lock_, boost::interprocess::accept_ownership), lock_(&lock) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock,
                                                     boost::interprocess::try_to_lock_type)
    : holder_(lock.file_lock_, boost::interprocess::defer_lock), lock_(&lock) {
    // Through the lock object, so a removed file is noticed as with try_lock.
    if (lock.try_lock()) {
        holder_ = holder_type(lock.file_lock_, boost::interprocess::accept_ownership);
    }
}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_scoped_lock&& other) noexcept {
    swap(other);
}

resource_file_scoped_lock& resource_file_scoped_lock::operator=(resource_file_scoped_lock&& other) noexcept {
    swap(other);
    return *this;
}

void resource_file_scoped_lock::swap(resource_file_scoped_lock& other) noexcept {
    holder_.swap(other.holder_);
    std::swap(lock_, other.lock_);
}

}  // namespace zelvor::module
