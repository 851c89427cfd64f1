// The host's local restriction list: resources a backup must not touch.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <sstream>

namespace {
constexpr std::size_t largest_restriction_list = 16 * 1024 * 1024;
}  // namespace

bool ZvModuleUniversal::read_local_restrictions(std::vector<std::string>& restrictions) const {
    restrictions.clear();
    const std::string& path = options_.restriction_list_path;
    boost::system::error_code error;
    if (!boost::filesystem::exists(path, error)) return true;
    // A FIFO or a device is not read: it would hold the run or feed it without end.
    std::string text, reason;
    if (!zv_utils_common::read_regular_file(path, text, reason, largest_restriction_list)) {
        ZvLogStream(ZvLogLvl::Error)
            << "std::vector<std::__cxx11::basic_string<char> > "
               "ZvModuleUniversal::read_local_restrictions() const: unable to open "
            << path << ": " << reason << std::endl;
        return false;
    }
    // Lines are taken exactly: no trimming, so a carriage return or a trailing blank
    // is part of the entry.
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) restrictions.push_back(line);
    return true;
}

bool ZvModuleUniversal::check_local_restrictions() const {
    // A list that cannot be read may restrict anything: nothing passes it.
    std::vector<std::string> restrictions;
    if (!read_local_restrictions(restrictions)) return false;
    return std::find(restrictions.begin(), restrictions.end(), options_.resource) ==
           restrictions.end();
}
