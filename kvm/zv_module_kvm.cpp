// The KVM module's trivial operations: version, special options, and the hooks
// this module leaves empty because it has no configuration file of its own.
#include "kvm/zv_module_kvm.h"

#include "common/zv_logger.h"
#include "common/zv_version.h"

#include <iostream>

ZvModuleKvm::ZvModuleKvm(ZvModuleOptions options) : ZvModuleUniversal(options) {}

bool ZvModuleKvm::load_module_config() { return true; }
void ZvModuleKvm::usage_custom() {}
bool ZvModuleKvm::before_restore() { return true; }
bool ZvModuleKvm::after_restore() { return true; }
bool ZvModuleKvm::after_restore_last_file() { return true; }

std::string ZvModuleKvm::get_full_module_version() {
    return zelvor::version_current_string + "." + "8b87713";
}

void ZvModuleKvm::autonomous_options() {
    static const char* const lines[][3] = {
        {"backup_if_shutdown", " : boolean ", "Perform a backup if the VM is shutted down"},
        {"script_before_snapshot", " : string ", "Execute script before snapshot(s) creation"},
        {"script_after_snapshot", " : string ", "Execute script after snapshot(s) creation"},
        {"execution_script_timeout", " : integer ", "Script timeout, seconds"},
        {"ceph_user", " : string ", "Ceph user, if you use it as VM disk storage"},
        {"termination_timeout", " : integer ",
         "Time a termination waits for a snapshot or a merge under way, seconds (default 60)"},
    };
    for (const auto& line : lines) std::cout << line[0] << line[1] << line[2] << std::endl;
}

void ZvModuleKvm::make_archiving() {
    ZvLogStream(ZvLogLvl::Error) << "No archiving capability" << std::endl;
}
