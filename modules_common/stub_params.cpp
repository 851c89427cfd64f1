// Placeholder until this concern is built: every call logs and fails.
#include "modules_common/zv_modules_common.h"
#include "common/zv_logger.h"

bool ZvModuleUniversal::parce_param_string() {
    if (options_.module_params.empty()) return true;
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::parce_param_string: not available in this build" << std::endl;
    return false;
}

void ZvModuleUniversal::init_zvfd_flags() {}

