// Lock files that keep two module processes off one resource: one empty file per
// (module, resource) pair under /opt/zelvor/var/zelvor-modules, named after a keyed
// digest of the pair, with an exclusive fcntl record lock on it.
// Usage:
//   zelvor::module::resource_file_lock lock(module, resource);
//   if (!lock.try_lock()) { /* another process works on the resource */ }
//   zelvor::module::resource_file_scoped_lock held(lock, boost::interprocess::accept_ownership);
#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/interprocess/sync/file_lock.hpp>
#include <boost/interprocess/sync/lock_options.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace zelvor::module {

class resource_lock_file_handler {
public:
    resource_lock_file_handler() = default;
    // Computes the lock file path and creates the file (and its directory) when
    // missing; throws std::runtime_error when that fails.
    resource_lock_file_handler(std::string module_name, std::string resource_name);

    const std::string& module_name() const { return module_name_; }
    const std::string& resource_name() const { return resource_name_; }
    const boost::filesystem::path& resource_lock_file_path() const { return lock_file_path_; }

    void create() const;
    // Deletes the lock file; logs and returns false when nothing was deleted.
    bool remove() const noexcept;

    static constexpr std::size_t hash_substr_length = 8;
    static std::string make_lock_file_name(const std::string& module_name,
                                           const std::string& resource_name);
    static boost::filesystem::path make_lock_files_dir_path();
    static boost::filesystem::path make_lock_file_path(const std::string& lock_file_name);

protected:
    std::string module_name_;
    std::string resource_name_;
    boost::filesystem::path lock_file_path_;
};

class resource_file_lock : public resource_lock_file_handler {
public:
    resource_file_lock() = default;
    resource_file_lock(std::string module_name, std::string resource_name);
    resource_file_lock(const resource_file_lock&) = delete;
    resource_file_lock& operator=(const resource_file_lock&) = delete;
    resource_file_lock(resource_file_lock&& other) noexcept;
    resource_file_lock& operator=(resource_file_lock&& other) noexcept;
    // Removes the lock file when no other process holds it.
    ~resource_file_lock();

    void swap(resource_file_lock& other) noexcept;

    // Takes the exclusive lock without waiting; false while another process holds it.
    // A lock taken on a file that its previous holder removed in the meantime guards
    // nothing, so the lock is taken again on the file now at the path.
    bool try_lock();
    void unlock();

private:
    friend class resource_file_scoped_lock;

    // Opens file_lock_ on the file at the path and remembers which file that is.
    void open_lock_file();
    // True when the file at the path is the one file_lock_ has open.
    bool holds_file_at_path() const;
    // After a lock on a removed file: let it go and open the file now at the path.
    void reopen_after_removal();
    void lock_waiting();

    boost::interprocess::file_lock file_lock_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

class resource_file_scoped_lock {
public:
    using holder_type = boost::interprocess::scoped_lock<boost::interprocess::file_lock>;

    resource_file_scoped_lock() = default;
    // Waits until the lock is free.
    explicit resource_file_scoped_lock(resource_file_lock& lock);
    resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::defer_lock_type);
    resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::accept_ownership_type);
    resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::try_to_lock_type);
    resource_file_scoped_lock(const resource_file_scoped_lock&) = delete;
    resource_file_scoped_lock& operator=(const resource_file_scoped_lock&) = delete;
    resource_file_scoped_lock(resource_file_scoped_lock&& other) noexcept;
    resource_file_scoped_lock& operator=(resource_file_scoped_lock&& other) noexcept;
    ~resource_file_scoped_lock() = default;  // the holder releases what it owns

    void swap(resource_file_scoped_lock& other) noexcept;
    bool owns() const { return holder_.owns(); }

private:
    holder_type holder_;
    resource_file_lock* lock_ = nullptr;
};

}  // namespace zelvor::module
