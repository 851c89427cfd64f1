// Placeholder until this concern is built: every call logs and fails.
#include "kvm/zv_module_kvm.h"
#include "common/zv_logger.h"

bool ZvModuleKvm::prepare_resource_before_backup(const bool&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::prepare_resource_before_backup: not available in this build" << std::endl;
    return false;
}

bool ZvModuleKvm::release_resource_after_backup() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::release_resource_after_backup: not available in this build" << std::endl;
    return false;
}

bool ZvModuleKvm::is_VM_online(std::string, bool&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::is_VM_online: not available in this build" << std::endl;
    return false;
}

bool ZvModuleKvm::load_online_VM_devices(std::string, std::vector<kvm_device_info>*) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::load_online_VM_devices: not available in this build" << std::endl;
    return false;
}

bool ZvModuleKvm::create_VM_xml(std::string, std::string) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::create_VM_xml: not available in this build" << std::endl;
    return false;
}

bool ZvModuleKvm::qemu_guest_agent_enabled() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::qemu_guest_agent_enabled: not available in this build" << std::endl;
    return false;
}

bool ZvModuleKvm::kvm_run_script_inside_vm(std::string, std::string, std::string, unsigned) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::kvm_run_script_inside_vm: not available in this build" << std::endl;
    return false;
}

int ZvModuleKvm::create_kvm_snapshots(std::string, std::string, std::vector<kvm_device_info>) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::create_kvm_snapshots: not available in this build" << std::endl;
    return 1;
}

int ZvModuleKvm::commit_kvm_snapshots(std::string, std::string, std::vector<kvm_device_info>) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleKvm::commit_kvm_snapshots: not available in this build" << std::endl;
    return 1;
}

