// The KVM module: backs up and restores libvirt domains through virsh, the QEMU
// guest agent, qemu-img and the archiver. Operations live in sources by concern:
// host check and listing, domain discovery, guest programs and snapshots,
// backup preparation, restore deployment.
#pragma once

#include "kvm/kvm_device_info.h"
#include "modules_common/zv_modules_common.h"

#include <string>
#include <utility>
#include <vector>

class ZvModuleKvm : public ZvModuleUniversal {
public:
    explicit ZvModuleKvm(ZvModuleOptions options);
    ~ZvModuleKvm() override = default;

    bool prepare_resource_before_backup(const bool& replication) override;
    bool release_resource_after_backup() override;
    bool load_module_config() override;
    void usage_custom() override;
    int check_client(const bool& verbose) override;
    std::string get_full_module_version() override;
    int list_header_labels() override;
    int list_all_resources() override;
    int list_all_resources_with_header_labels() override;
    bool resource_exists() override;
    bool before_restore() override;
    bool after_restore() override;
    bool after_restore_last_file() override;
    bool deployment(const bool& replication) override;
    void autonomous_options() override;
    void make_archiving() override;

    bool is_VM_online(std::string domain, bool& online);
    bool load_online_VM_devices(std::string domain, std::vector<kvm_device_info>* devices);
    bool create_VM_xml(std::string domain, std::string xml_path);
    bool qemu_guest_agent_enabled();
    bool kvm_run_script_inside_vm(std::string domain, std::string program, std::string arguments,
                                  unsigned timeout);
    int create_kvm_snapshots(std::string domain, std::string snapshot_name,
                             std::vector<kvm_device_info> devices);
    int commit_kvm_snapshots(std::string domain, std::string snapshot_name,
                             std::vector<kvm_device_info> devices);
    bool analyse_targer_list(std::string directory,
                             std::vector<std::pair<std::string, std::string>>& targets,
                             std::string& uuid);

protected:
    bool vm_online = false;
    std::vector<kvm_device_info> devices;
    bool qemu_img_force_share = false;
};
