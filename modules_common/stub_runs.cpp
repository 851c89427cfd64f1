// Placeholder until this concern is built: every call logs and fails.
#include "modules_common/zv_modules_common.h"
#include "common/zv_logger.h"

unsigned int ZvModuleUniversal::run_backup(bool) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::run_backup: not available in this build" << std::endl;
    return 6;
}

unsigned int ZvModuleUniversal::run_restore(bool) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::run_restore: not available in this build" << std::endl;
    return 7;
}

bool ZvModuleUniversal::reassign_resource_locker(const std::string&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::reassign_resource_locker: not available in this build" << std::endl;
    return false;
}

void ZvModuleUniversal::handle_shutdown_signal() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::handle_shutdown_signal: not available in this build" << std::endl;
}

