#include "kvm/kvm_log.h"

#include <boost/filesystem.hpp>

#include <ostream>

void log_failed_command(ZvLogLvl::Level level, const std::string& command, const std::string& output) {
    ZvLogStream(level) << "Command: " << command << std::endl;
    ZvLogStream(level) << output << std::endl;
}

void remove_obsoleted_file(const std::string& path) {
    boost::system::error_code ec;
    if (boost::filesystem::remove(path, ec))
        ZvLogStream(ZvLogLvl::Info) << "Remove obsoleted file: " << path << std::endl;
    else
        ZvLogStream(ZvLogLvl::Warning) << "Can't remove obsoleted file: " << path << std::endl;
}
