// Resource lock files that keep two module processes off one resource.
// (Placeholder interface: the lock mechanism is completed with its own tests.)
#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/interprocess/sync/file_lock.hpp>

#include <string>

namespace zelvor::module {

class resource_lock_file_handler {
public:
    resource_lock_file_handler() = default;
    const std::string& module_name() const { return module_name_; }
    const std::string& resource_name() const { return resource_name_; }

protected:
    std::string module_name_;
    std::string resource_name_;
    boost::filesystem::path lock_file_path_;
};

class resource_file_lock : public resource_lock_file_handler {
public:
    resource_file_lock() = default;

private:
    boost::interprocess::file_lock file_lock_;
};

}  // namespace zelvor::module
