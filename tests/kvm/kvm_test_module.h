// The KVM module for in-process tests: the real operations with the protected
// state a test sets up or looks at made public. The host check passes without
// running lsmod (these hosts have no /proc/modules; the check has its own tests)
// and asks qemu-img for --force-share, as any QEMU of this decade needs.
//
//   zv_test::KvmTestModule module(zv_test::KvmTestModule::backup_options("vm1", "/tmp/t", "A"));
//   module.set_module_params("backup_if_shutdown:false");
//   EXPECT_FALSE(module.prepare_resource_before_backup(false));
#pragma once

#include "kvm/zv_module_kvm.h"

#include <gtest/gtest.h>

#include <string>

namespace zv_test {

// A device record as the domain's listing would give it.
inline kvm_device_info device(kvm_disk_type type, kvm_device_type kind, const std::string& target,
                              const std::string& source) {
    kvm_device_info d;
    d.type = type;
    d.device = kind;
    d.target = target;
    d.source = source;
    return d;
}

class KvmTestModule : public ZvModuleKvm {
public:
    explicit KvmTestModule(const ZvModuleOptions& options) : ZvModuleKvm(options) {
        qemu_img_force_share = true;
    }

    static ZvModuleOptions backup_options(const std::string& resource, const std::string& tmp_directory,
                                          const std::string& archive_name) {
        ZvModuleOptions options;
        options.resource = resource;
        options.tmp_operation_directory = tmp_directory;
        options.archive_name = archive_name;
        options.single_data_source = true;
        return options;
    }

    int check_client(const bool&) override {
        ++host_checks;
        return host_check_result;
    }

    // The module-parameter string as the framework parses it from -e.
    void set_module_params(const std::string& params) {
        options_.module_params = params;
        ASSERT_TRUE(parce_param_string());
    }

    int host_checks = 0;
    int host_check_result = 0;

    using ZvModuleKvm::after_step_owed;
    using ZvModuleKvm::devices;
    using ZvModuleKvm::kvm_conf;
    using ZvModuleKvm::options_;
    using ZvModuleKvm::parse_script_timeout;
    using ZvModuleKvm::read_kvm_conf;
    using ZvModuleKvm::snapshot_devices;
    using ZvModuleKvm::vm_online;
    using ZvModuleKvm::vm_paused;
    using ZvModuleKvm::work_directory;
    using ZvModuleKvm::write_file_list;
    using ZvModuleKvm::write_target_list;
};

}  // namespace zv_test
