// Placeholder until this concern is built: every call logs and fails.
#include "modules_common/zv_modules_common.h"
#include "common/zv_logger.h"

bool ZvModuleUniversal::load_client_defined_storages() {
    // Without a task there is no storage list to load.
    if (options_.task_id.empty()) return true;
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::load_client_defined_storages: not available in this build" << std::endl;
    return false;
}

bool ZvModuleUniversal::client_defined_storage_prepare() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::client_defined_storage_prepare: not available in this build" << std::endl;
    return false;
}

bool ZvModuleUniversal::parse_json_of_client_defined_storage(const std::string&, std::vector<std::pair<int, std::string>>&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::parse_json_of_client_defined_storage: not available in this build" << std::endl;
    return false;
}

bool ZvModuleUniversal::delete_from_client_defined_storage(std::vector<std::pair<int, std::string>>) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::delete_from_client_defined_storage: not available in this build" << std::endl;
    return false;
}

bool ZvModuleUniversal::verify_in_client_defined_storage() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::verify_in_client_defined_storage: not available in this build" << std::endl;
    return false;
}

bool ZvModuleUniversal::parse_esign_json(const std::string&, std::string&, std::string&, std::string&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::parse_esign_json: not available in this build" << std::endl;
    return false;
}

