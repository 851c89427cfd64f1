// Placeholder until this concern is built: every call logs and fails.
#include "kvm/zv_module_kvm.h"
#include "common/zv_logger.h"

bool ZvModuleKvm::deployment(const bool&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::deployment: not available in this build" << std::endl;
    return false;
}

bool ZvModuleKvm::analyse_targer_list(std::string, std::vector<std::pair<std::string, std::string>>&, std::string&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::analyse_targer_list: not available in this build" << std::endl;
    return false;
}

