// Placeholder until this concern is built: every call logs and fails.
#include "modules_common/zv_modules_common.h"
#include "common/zv_logger.h"

bool ZvModuleUniversal::check_local_restrictions() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::check_local_restrictions: not available in this build" << std::endl;
    return false;
}

bool ZvModuleUniversal::read_local_restrictions(std::vector<std::string>&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::read_local_restrictions: not available in this build" << std::endl;
    return false;
}

bool ResourceList::parse_json_file(const std::string&) {
    ZvLogStream(ZvLogLvl::Error) << "bool ResourceList::parse_json_file(const std::string&): not available in this build" << std::endl;
    return false;
}

