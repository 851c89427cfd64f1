// Backup preparation and release: the module's special parameters, the work
// directory with target_list, the domain XML and the archiver's zvfd.list, the
// guest programs around the snapshot of a running domain, and the merge back.
#include "kvm/zv_module_kvm.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <exception>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace fs = boost::filesystem;
using zv_utils_common::shell_quote;

namespace {

const char* const prepare_signature = "virtual bool ZvModuleKvm::prepare_resource_before_backup(const bool&)";
const char* const release_signature = "virtual bool ZvModuleKvm::release_resource_after_backup()";
const char* const default_guest_program = "/opt/zelvor/scripts/zelvor-kvm.sh";

bool is_disk(const kvm_device_info& device) { return device.device == kvm_device_type::disk; }

// False, with an Error naming the file, when the stream did not take every line.
bool finish_file(std::ofstream& file, const std::string& path) {
    file.close();
    if (file) return true;
    ZvLogStream(ZvLogLvl::Error) << prepare_signature << ": Can't write: " << path << std::endl;
    return false;
}

}  // namespace

zv_kvm_conf ZvModuleKvm::read_kvm_conf() const {
    zv_kvm_conf conf;
    std::string value;
    if (find_special_param("backup_if_shutdown", value))
        conf.backup_if_shutdown = value == "t" || value == "true";
    if (find_special_param("script_before_snapshot", value)) conf.script_before_snapshot = value;
    if (find_special_param("script_after_snapshot", value)) conf.script_after_snapshot = value;
    if (find_special_param("execution_script_timeout", value) &&
        !parse_script_timeout(value, conf.execution_script_timeout))
        throw std::invalid_argument("execution_script_timeout \"" + value +
                                    "\" is refused: it must be a whole number of seconds from 0 "
                                    "to 4294967295");
    if (find_special_param("ceph_user", value)) conf.ceph_user = value;
    return conf;
}

bool ZvModuleKvm::parse_script_timeout(const std::string& text, std::uint32_t& seconds) {
    // Only plain digits: a sign, blanks or a unit would be read as some other number
    // (stoi takes "-1" and "12s"), and -1 as an unsigned count waits for 136 years.
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::stoull(text);
    if (value > std::numeric_limits<std::uint32_t>::max()) return false;
    seconds = static_cast<std::uint32_t>(value);
    return true;
}

std::string ZvModuleKvm::work_directory() const {
    return options_.tmp_operation_directory + "/" + options_.archive_name;
}

bool ZvModuleKvm::run_guest_step(const std::string& configured, const std::string& argument,
                                 bool& ran) {
    ran = false;
    const std::string& domain = options_.resource;
    if (!configured.empty()) {
        ran = true;
        return kvm_run_script_inside_vm(domain, configured, argument,
                                        kvm_conf.execution_script_timeout);
    }
    if (!kvm_run_script_inside_vm(domain, "/usr/bin/test", std::string("-f ") + default_guest_program, 1))
        return true;  // no default program in the guest: nothing to run
    ZvLogStream(ZvLogLvl::Info) << "Default script exists in VM: " << default_guest_program << std::endl;
    ran = true;
    return kvm_run_script_inside_vm(domain, default_guest_program, argument,
                                    kvm_conf.execution_script_timeout);
}

bool ZvModuleKvm::run_owed_after_step() {
    if (!after_step_owed) return true;
    after_step_owed = false;
    bool ran = false;
    return run_guest_step(kvm_conf.script_after_snapshot, "after", ran);
}

bool ZvModuleKvm::merge_snapshots() {
    if (snapshot_devices.empty()) return true;
    const std::string& domain = options_.resource;
    bool exists = true;
    std::vector<kvm_device_info> unmerged;
    if (!domain_shut_off(domain, exists)) {
        for (const auto& device : snapshot_devices) {
            // One disk a call, so that only the overlays that failed stay on record.
            if (commit_kvm_snapshots(domain, options_.archive_name, {device}) != 0)
                unmerged.push_back(device);
        }
        if (unmerged.empty() || !domain_shut_off(domain, exists)) {
            snapshot_devices.swap(unmerged);
            return snapshot_devices.empty();
        }
    } else {
        unmerged = snapshot_devices;
    }
    // The domain stopped during the backup: it has no block jobs any more.
    std::vector<overlay_on_disk> overlays;
    for (const auto& device : unmerged)
        overlays.push_back({device.target, overlay_path(device, options_.archive_name, snapshot_devices), "", ""});
    if (merge_overlays_offline(domain, overlays)) unmerged.clear();
    snapshot_devices.swap(unmerged);
    return snapshot_devices.empty();
}

void ZvModuleKvm::undo_preparation(bool remove_work_directory) {
    run_owed_after_step();
    merge_snapshots();
    if (remove_work_directory) {
        boost::system::error_code ec;
        fs::remove_all(work_directory(), ec);
    }
}

std::string ZvModuleKvm::backing_file_key(const std::string& target, std::size_t depth) {
    return target + ".backing." + std::to_string(depth);
}

std::vector<std::pair<std::string, std::string>> ZvModuleKvm::backing_files_to_save() const {
    // A disk is only whole with every image under it: a linked clone's own image
    // is nothing without its base. An image several disks share is saved once.
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> seen;
    for (const auto& device : devices)
        if (is_disk(device)) seen.push_back(device.source);
    for (const auto& device : devices) {
        if (!is_disk(device) || device.type == kvm_disk_type::network) continue;
        for (std::size_t depth = 1; depth < device.backing_chain.size(); ++depth) {
            const std::string& path = device.backing_chain[depth];
            if (std::find(seen.begin(), seen.end(), path) != seen.end()) continue;
            seen.push_back(path);
            files.emplace_back(backing_file_key(device.target, depth), path);
        }
    }
    return files;
}

bool ZvModuleKvm::write_target_list(const std::string& path) const {
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file) {
        ZvLogStream(ZvLogLvl::Error) << prepare_signature << ": Can't create: " << path << std::endl;
        return false;
    }
    file << "UUID " << options_.resource << "\n";
    for (const auto& device : devices)
        if (is_disk(device)) file << device.target << " " << device.source << "\n";
    // Each backing file under the key of the disk and depth it has in that disk's
    // chain; the restore rebuilds the chains from the images themselves.
    for (const auto& device : devices) {
        if (!is_disk(device) || device.type == kvm_disk_type::network) continue;
        for (std::size_t depth = 1; depth < device.backing_chain.size(); ++depth)
            file << backing_file_key(device.target, depth) << " " << device.backing_chain[depth] << "\n";
    }
    return finish_file(file, path);
}

bool ZvModuleKvm::write_file_list(bool replication) {
    const std::string directory = work_directory();
    options_.resource_list_file = directory + "/" + "zvfd.list";
    const std::string& path = options_.resource_list_file;
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file) {
        ZvLogStream(ZvLogLvl::Error) << prepare_signature << ": Can't create: " << path << std::endl;
        return false;
    }
    file << "ZVFD file list:" << "\n";
    if (!replication) {
        file << directory << "/target_list" << " : " << "target_list" << "\n";
        file << directory << "/" << options_.resource << ".xml" << " : " << options_.resource << ".xml"
             << "\n";
    }
    for (const auto& device : devices) {
        if (device.source != "-") {
            const char* ignored = device.device == kvm_device_type::floppy  ? "Ignore floppy: "
                                  : device.device == kvm_device_type::cdrom ? "Ignore cdrom: "
                                  : device.device == kvm_device_type::lun   ? "Ignore lun: "
                                                                            : nullptr;
            if (ignored)
                ZvLogStream(ZvLogLvl::Warning) << ignored << device.target << " source: "
                                               << device.source << std::endl;
        }
        switch (device.type) {
            case kvm_disk_type::file:
            case kvm_disk_type::block:
                if (!is_disk(device)) break;
                if (replication)
                    file << device.source << "\n";
                else
                    file << device.source << " : " << device.target << "\n";
                break;
            case kvm_disk_type::network: {
                if (!is_disk(device)) break;
                const std::string exported = directory + "/" + device.target;
                std::string command =
                    "/usr/bin/rbd export " + shell_quote(device.source) + " " + shell_quote(exported);
                if (!kvm_conf.ceph_user.empty()) command += " --id " + shell_quote(kvm_conf.ceph_user);
                std::string output;
                if (zv_utils_common::execute_command(command, output) != 0) {
                    ZvLogStream(ZvLogLvl::Error) << prepare_signature << ": Command: " << command
                                                 << std::endl;
                    ZvLogStream(ZvLogLvl::Error) << output << std::endl;
                    return false;
                }
                if (replication) {
                    ZvLogStream(ZvLogLvl::Error)
                        << "RADOS block device is not supported for Zelvor remote replication"
                        << std::endl;
                    return false;
                }
                file << exported << " : " << device.target << "\n";
                break;
            }
            case kvm_disk_type::dir:
            case kvm_disk_type::volume:
            case kvm_disk_type::nvme:
                ZvLogStream(ZvLogLvl::Error) << "Disk type: " << disk_type_word(device.type)
                                             << " is not support by this module" << std::endl;
                return false;
            default:
                ZvLogStream(ZvLogLvl::Error) << prepare_signature << ": Wrong disk type: "
                                             << zelvor_common::to_underlying(device.type) << std::endl;
                return false;
        }
    }
    for (const auto& [key, backing] : backing_files_to_save()) {
        if (replication)
            file << backing << "\n";
        else
            file << backing << " : " << key << "\n";
    }
    return finish_file(file, path);
}

bool ZvModuleKvm::prepare_resource_before_backup(const bool& replication) {
    bool work_directory_made = false;
    try {
        // A parameter that cannot be used is refused before the domain is looked at.
        kvm_conf = read_kvm_conf();
        if (check_client(false) != 0) {
            ZvLogStream(ZvLogLvl::Error) << "Unable to run the module on this client" << std::endl;
            return false;
        }
        // The work directory is removed recursively: its name must stay one entry
        // inside the temporary operation directory.
        if (!check_name_in_operation_directory("Archive name", options_.archive_name)) return false;

        const std::string& domain = options_.resource;
        if (!is_VM_online(domain, vm_online)) {
            ZvLogStream(ZvLogLvl::Error) << prepare_signature << ": can't get status of VM" << std::endl;
            return false;
        }
        if (vm_paused) {
            ZvLogStream(ZvLogLvl::Info) << "VM " << domain << " is paused: its snapshot is taken "
                                        << "without quiescing and without guest programs" << std::endl;
        } else if (vm_online) {
            if (!qemu_guest_agent_enabled()) return false;
        } else if (!kvm_conf.backup_if_shutdown) {
            ZvLogStream(ZvLogLvl::Warning)
                << "The task settings do not allow you to back up a shutted off VM" << std::endl;
            return false;
        }

        // An overlay an earlier backup left behind is not the disk: it goes back first.
        if (!merge_leftover_overlays(domain)) return false;
        devices.clear();
        if (!load_online_VM_devices(domain, &devices)) return false;
        ZvLogStream(ZvLogLvl::Info) << "Copy name: " << options_.archive_name << std::endl;
        ZvLogStream(ZvLogLvl::Info) << "VM: " << domain << " has " << devices.size() << " device(s)"
                                    << std::endl;

        const std::string directory = work_directory();
        fs::create_directories(directory);
        work_directory_made = true;
        if (!write_target_list(directory + "/target_list") ||
            !create_VM_xml(domain, directory + "/" + domain + ".xml")) {
            undo_preparation(true);
            return false;
        }

        if (vm_online) {
            bool ran = false;
            if (!vm_paused && !run_guest_step(kvm_conf.script_before_snapshot, "before", ran)) {
                undo_preparation(true);
                return false;
            }
            // From here on the guest's applications may be quiesced: whatever follows,
            // the after step runs once.
            after_step_owed = ran;

            // A run being ended takes no snapshot it would only have to merge back.
            if (ZvModuleSignalHandler::termination_pending() ||
                create_kvm_snapshots(domain, options_.archive_name, devices) != 0) {
                undo_preparation(true);
                return false;
            }
            for (const auto& device : devices) {
                if (!is_disk(device)) continue;
                snapshot_devices.push_back(device);
                ZvLogStream(ZvLogLvl::Info) << "Snapshot(s) was created for: " << device.source
                                            << std::endl;
            }

            after_step_owed = false;
            if (!vm_paused && !run_guest_step(kvm_conf.script_after_snapshot, "after", ran)) {
                undo_preparation(true);
                return false;
            }
        }

        if (!write_file_list(replication)) {
            undo_preparation(true);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << prepare_signature << ": " << e.what() << std::endl;
        try {
            undo_preparation(work_directory_made);
        } catch (const std::exception& again) {
            ZvLogStream(ZvLogLvl::Error) << prepare_signature << ": " << again.what() << std::endl;
        }
        return false;
    }
}

void ZvModuleKvm::remove_work_directory() {
    const std::string directory = work_directory();
    if (!fs::exists(directory)) return;
    ZvLogStream(ZvLogLvl::Info) << "Remove obsoleted: " << directory << std::endl;
    fs::remove_all(directory);
}

bool ZvModuleKvm::release_resource_after_backup() {
    try {
        bool result = run_owed_after_step();
        // Only overlays this run created are merged: a blockcommit of a disk that has
        // none would commit the domain's own image into its backing file.
        if (!merge_snapshots()) result = false;
        if (!check_name_in_operation_directory("Archive name", options_.archive_name)) return false;
        remove_work_directory();
        return result;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << release_signature << ": " << e.what() << std::endl;
        return false;
    }
}
