// The host's local restriction list: resources a backup must not touch.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <fstream>

bool ZvModuleUniversal::read_local_restrictions(std::vector<std::string>& restrictions) const {
    restrictions.clear();
    const std::string& path = options_.restriction_list_path;
    boost::system::error_code error;
    if (!boost::filesystem::exists(path, error)) return true;
    std::ifstream in(path);
    if (!in.is_open()) {
        ZvLogStream(ZvLogLvl::Error)
            << "std::vector<std::__cxx11::basic_string<char> > "
               "ZvModuleUniversal::read_local_restrictions() const: unable to open "
            << path << std::endl;
        return false;
    }
    // Lines are taken exactly: no trimming, so a carriage return or a trailing blank
    // is part of the entry.
    for (std::string line; std::getline(in, line);) restrictions.push_back(line);
    return true;
}

bool ZvModuleUniversal::check_local_restrictions() const {
    std::vector<std::string> restrictions;
    read_local_restrictions(restrictions);
    return std::find(restrictions.begin(), restrictions.end(), options_.resource) ==
           restrictions.end();
}
