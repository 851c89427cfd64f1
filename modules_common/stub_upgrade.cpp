// Placeholder until this concern is built: every call logs and fails.
#include "modules_common/zv_modules_common.h"
#include "common/zv_logger.h"

bool ZvModuleUniversal::upgrade_config() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::upgrade_config: not available in this build" << std::endl;
    return false;
}

