// Placeholder until this concern is built: every call logs and fails.
#include "modules_common/zv_modules_common.h"
#include "common/zv_logger.h"




void ZvModuleUniversal::handle_shutdown_signal() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::handle_shutdown_signal: not available in this build" << std::endl;
}

