// Placeholder until this concern is built: every call logs and fails.
#include "kvm/zv_module_kvm.h"
#include "common/zv_logger.h"

int ZvModuleKvm::check_client(const bool&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::check_client: not available in this build" << std::endl;
    return 2;
}

int ZvModuleKvm::list_header_labels() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::list_header_labels: not available in this build" << std::endl;
    return 2;
}

int ZvModuleKvm::list_all_resources() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::list_all_resources: not available in this build" << std::endl;
    return 2;
}

int ZvModuleKvm::list_all_resources_with_header_labels() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::list_all_resources_with_header_labels: not available in this build" << std::endl;
    return 2;
}

bool ZvModuleKvm::resource_exists() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::resource_exists: not available in this build" << std::endl;
    return false;
}

