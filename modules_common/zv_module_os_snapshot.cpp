// OS block-device snapshots of backed-up paths: finding the device behind a path,
// taking a provider's snapshot of it, mounting it read-only, and undoing all of it.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "modules_common/os_snapshot_internal.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/filesystem.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>

using zv_utils_common::shell_quote;

namespace {

namespace fs = boost::filesystem;

const char* const mountpoint_signature =
    "std::__cxx11::string ZvModuleUniversal::get_mountpoint(const string&) const";
const char* const block_device_signature =
    "std::__cxx11::string ZvModuleUniversal::get_block_device(const string&, bool) const";
const char* const device_info_signature =
    "bool ZvModuleUniversal::get_block_device_info(const string&, "
    "ZvModuleUniversal::block_device_info&) const";
const char* const create_signature =
    "bool ZvModuleUniversal::create_OS_snapshot(std::__cxx11::string&, bool, "
    "std::__cxx11::string&, std::__cxx11::string&)";
const char* const mount_signature =
    "bool ZvModuleUniversal::mount_OS_snapshot(const string&, std::__cxx11::string&, const "
    "string&) const";
const char* const umount_signature = "bool ZvModuleUniversal::umount_OS_snapshot() const";
const char* const create_multiple_signature =
    "bool ZvModuleUniversal::create_OS_snapshot_multiple(const string&, std::__cxx11::string&, "
    "bool, std::__cxx11::string&, std::__cxx11::string&)";
const char* const mount_multiple_signature =
    "bool ZvModuleUniversal::mount_OS_snapshot_multiple(const string&, std::__cxx11::string&, "
    "const string&) const";
const char* const umount_multiple_signature =
    "bool ZvModuleUniversal::umount_OS_snapshot_multiple(const string&) const";

std::string without_line_feeds(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

// One lsblk pass over the first device of its reply; `read` takes each member of that
// device and returns false to end the look-up.
bool read_lsblk(const std::string& command,
                const std::function<bool(const std::string&, const boost::json::value&)>& read) {
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        os_snapshot_internal::log_command_failure(device_info_signature, command, output);
        return false;
    }
    boost::json::value document;
    if (!os_snapshot_json::parse(output, device_info_signature, document)) return false;
    const boost::json::object* top = os_snapshot_json::non_empty_object(document, device_info_signature);
    if (top == nullptr) return false;
    for (const auto& member : *top) {
        if (member.key() != "blockdevices") continue;
        const boost::json::array* devices =
            os_snapshot_json::array(member.value(), device_info_signature);
        if (devices == nullptr) return false;
        if (devices->empty()) {
            ZvLogStream(ZvLogLvl::Error) << device_info_signature << ": array is empty" << std::endl;
            return false;
        }
        const boost::json::object* first =
            os_snapshot_json::non_empty_object(devices->front(), device_info_signature);
        if (first == nullptr) return false;
        for (const auto& field : *first)
            if (!read(std::string(field.key()), field.value())) return false;
        return true;
    }
    return true;
}

// lsblk's byte counts; false, logged, for a text that is no unsigned number (null).
bool to_bytes(const std::string& text, uintmax_t& value) {
    try {
        std::size_t used = 0;
        const unsigned long long number = std::stoull(text, &used, 10);
        if (used == text.size() && text.find('-') == std::string::npos) {
            value = number;
            return true;
        }
    } catch (const std::exception&) {
    }
    ZvLogStream(ZvLogLvl::Error) << device_info_signature << ": can't convert " << text
                                 << " to uintmax_t" << std::endl;
    return false;
}

std::string default_mount_dir(const ZvModuleOptions& options) {
    return options.tmp_operation_directory + "/" + options.task_id;
}

bool run_mount(const std::string& options, const std::string& device, const std::string& mount_dir,
               std::string& command, std::string& output) {
    command = "mount " + options + " " + shell_quote(device) + " " + shell_quote(mount_dir);
    return zv_utils_common::execute_command(command, output) == 0;
}

bool umount_directory(const ZvModuleUniversal& module, const std::string& mount_dir,
                      const char* signature) {
    try {
        if (!fs::exists(mount_dir)) return true;
        const std::string device = module.get_block_device(mount_dir, true);
        if (device.empty()) return true;
        const std::string command = "umount -lf " + shell_quote(device);
        std::string output;
        if (zv_utils_common::execute_command(command, output) != 0) {
            ZvLogStream(ZvLogLvl::Error) << signature << ": command: " << command << "; result: "
                                         << output << std::endl;
            return false;
        }
        fs::remove_all(mount_dir);
        ZvLogStream(ZvLogLvl::Info) << "Unmount successful: " << mount_dir
                                    << ", block device: " << device
                                    << "; remove obsoleted: " << mount_dir << std::endl;
        return true;
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": " << e.what() << std::endl;
        return false;
    }
}

}  // namespace

std::string ZvModuleUniversal::get_mountpoint(const std::string& path) const {
    const std::string command = "stat -c %m -- " + shell_quote(path);
    std::string output;
    if (zv_utils_common::execute_command(command, output) == 0) return without_line_feeds(output);
    os_snapshot_internal::log_command_failure(mountpoint_signature, command, output);
    return "";
}

std::string ZvModuleUniversal::get_block_device(const std::string& mountpoint, bool resolve) const {
    std::ifstream mounts("/proc/mounts");
    if (!mounts) {
        ZvLogStream(ZvLogLvl::Error) << block_device_signature << ": can't open /proc/mounts"
                                     << std::endl;
        return "";
    }
    // The mount table writes a blank inside a field as \040.
    std::string encoded;
    for (char c : mountpoint) encoded += c == ' ' ? std::string("\\040") : std::string(1, c);

    std::string device;
    bool found = false;
    for (std::string line; std::getline(mounts, line);) {
        std::vector<std::string> fields;
        boost::split(fields, line, boost::is_any_of(" "));
        if (fields.size() >= 2 && fields[1] == encoded) {
            device = fields[0];
            found = true;
            break;
        }
    }
    if (!found) {
        ZvLogStream(ZvLogLvl::Error) << "Mount point " << mountpoint << " not found in '/proc/mounts'"
                                     << std::endl;
        return "";
    }
    if (!resolve) return device;

    const std::string command = "realpath " + shell_quote(device);
    std::string output;
    if (zv_utils_common::execute_command(command, output) == 0) return without_line_feeds(output);
    os_snapshot_internal::log_command_failure(block_device_signature, command, output);
    return "";
}

bool ZvModuleUniversal::get_block_device_info(const std::string& device,
                                              block_device_info& info) const {
    using os_snapshot_json::text;
    const bool first = read_lsblk("lsblk -bJ " + shell_quote(device),
                                  [&](const std::string& key, const boost::json::value& value) {
                                      if (key == "name") info.name = text(value);
                                      if (key == "type") info.type = text(value);
                                      if (key == "ro") info.ro = text(value) == "true";
                                      if (key == "size") return to_bytes(text(value), info.size);
                                      return true;
                                  });
    if (!first) return false;
    return read_lsblk("lsblk -bfJ " + shell_quote(device),
                      [&](const std::string& key, const boost::json::value& value) {
                          if (key == "fstype") info.fstype = text(value);
                          if (key == "fsver") info.fsver = text(value);
                          if (key == "label") info.label = text(value);
                          if (key == "uuid") info.uuid = text(value);
                          // An unmounted file system has no free space to report.
                          if (key == "fsavail") to_bytes(text(value), info.fsavail);
                          if (key == "mountpoints") {
                              if (const boost::json::array* list = value.if_array())
                                  for (const auto& element : *list)
                                      info.mountpoints.push_back(boost::json::serialize(element));
                          }
                          return true;
                      });
}

uintmax_t ZvModuleUniversal::calculate_OS_snapshot_size(uintmax_t device_size) const {
    const double bytes = std::round(os_snapshot_size * static_cast<double>(device_size) / 100.0);
    const double sectors = std::round(bytes / 512.0);
    if (!(sectors > 0)) return 0;
    return static_cast<uintmax_t>(sectors) * 512;
}

bool ZvModuleUniversal::create_OS_snapshot(std::string& device, bool mount, std::string& mount_dir,
                                           std::string& mountpoint) {
    return create_os_snapshot_of(options_.resource, device, mount, mount_dir, mountpoint, false,
                                 os_snapshot);
}

bool ZvModuleUniversal::create_OS_snapshot_multiple(const std::string& path, std::string& device,
                                                    bool mount, std::string& mount_dir,
                                                    std::string& mountpoint) {
    // Dropped without removal on every failure: a snapshot is kept only once it is complete.
    std::unique_ptr<Snapshot> provider;
    return create_os_snapshot_of(path, device, mount, mount_dir, mountpoint, true, provider);
}

bool ZvModuleUniversal::create_os_snapshot_of(const std::string& path, std::string& device,
                                              bool mount, std::string& mount_dir,
                                              std::string& mountpoint, bool multiple,
                                              std::unique_ptr<Snapshot>& provider) {
    if (!is_OS_snapshot_using()) {
        ZvLogStream(ZvLogLvl::Info) << "Snapshots are not used " << std::endl;
        return false;
    }
    defect_flag = true;

    std::string origin_mountpoint, origin;
    if (device.empty()) {
        origin_mountpoint = get_mountpoint(path);
        origin = get_block_device(origin_mountpoint, true);
    } else {
        origin_mountpoint = mountpoint;
        origin = device;
    }
    ZvLogStream(ZvLogLvl::Info) << "Resource mountpoint: " << origin_mountpoint << std::endl;
    ZvLogStream(ZvLogLvl::Info) << "Resource is located at the block device: " << origin
                                << std::endl;

    block_device_info info;
    if (!get_block_device_info(origin, info)) {
        ZvLogStream(ZvLogLvl::Error) << "Can't get block device info: " << origin << std::endl;
        return false;
    }
    const uintmax_t size = calculate_OS_snapshot_size(info.size);
    ZvLogStream(ZvLogLvl::Info) << "Block device " << origin << ", name: " << info.name
                                << ", size: " << info.size << " bytes" << std::endl;
    ZvLogStream(ZvLogLvl::Info) << "Expected OS snapshot size: " << size << " bytes" << std::endl;
    ZvLogStream(ZvLogLvl::Info) << "Try to use snapshot to make a backup: " << get_OS_snapshot_type()
                                << std::endl;
    if (size == 0) {
        ZvLogStream(ZvLogLvl::Error) << (multiple ? create_multiple_signature : create_signature)
                                     << ": unable to create a snapshot with a size of zero"
                                     << std::endl;
        return false;
    }

    provider = SnapshotFactory().createSnapshot(info.type, get_OS_snapshot_type());
    if (!provider || !provider->check(origin)) {
        provider.reset();
        return false;
    }
    if (!script_before_snapshot().empty()) {
        ZvLogStream(ZvLogLvl::Info) << "Run script '" << script_before_snapshot()
                                    << "' before snapshot creation" << std::endl;
        if (!run_script(script_before_snapshot(), "before")) return false;
    }
    if (!provider->create(origin, info.name, origin_mountpoint, options_.task_id, size, device)) {
        provider.reset();
        if (!script_error_snapshot().empty()) {
            ZvLogStream(ZvLogLvl::Info) << "Run script '" << script_error_snapshot()
                                        << "' after snapshot creation failed" << std::endl;
            run_script(script_error_snapshot(), "error");
        }
        return false;
    }
    // The single variant keeps its provider in os_snapshot for remove_OS_snapshot. A
    // snapshot of the multiple variant is recorded only once complete, so one that fails
    // now is undone here: nothing else would ever remove it, and a dattobd snapshot left
    // behind refuses every later snapshot of the device.
    const auto abandon = [&](bool mounted) {
        if (multiple) {
            if (mounted) umount_OS_snapshot_multiple(mount_dir);
            provider->remove(origin);
        }
        return false;
    };
    if (mount) {
        std::string mount_options = "-o ro,norecovery";
        // Mounting an xfs snapshot beside its origin needs the duplicate uuid accepted.
        if (info.fstype == "xfs") mount_options += ",nouuid";
        const bool mounted = multiple ? mount_OS_snapshot_multiple(device, mount_dir, mount_options)
                                      : mount_OS_snapshot(device, mount_dir, mount_options);
        if (!mounted) return abandon(false);
    }
    if (!script_after_snapshot().empty()) {
        ZvLogStream(ZvLogLvl::Info) << "Run script '" << script_after_snapshot()
                                    << "' after snapshot creation" << std::endl;
        if (!run_script(script_after_snapshot(), "after")) return abandon(mount);
    }
    mountpoint = origin_mountpoint;
    if (multiple) os_snapshots.emplace_back(std::move(provider), mount_dir, origin);
    defect_flag = false;
    return true;
}

bool ZvModuleUniversal::mount_OS_snapshot(const std::string& device, std::string& mount_dir,
                                          const std::string& options) const {
    mount_dir = default_mount_dir(options_);
    fs::create_directory(mount_dir);
    std::string command, output;
    if (!run_mount(options, device, mount_dir, command, output)) {
        os_snapshot_internal::log_command_failure(mount_signature, command, output);
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "Mount: " << mount_dir << ", block device: " << device
                                << std::endl;
    return true;
}

bool ZvModuleUniversal::mount_OS_snapshot_multiple(const std::string& device,
                                                   std::string& mount_dir,
                                                   const std::string& options) const {
    if (mount_dir.empty()) mount_dir = default_mount_dir(options_);
    // A directory that exists already may hold data or another snapshot's mount.
    if (!fs::create_directories(mount_dir)) {
        ZvLogStream(ZvLogLvl::Error) << mount_multiple_signature
                                     << ": Create directory failed: " << mount_dir << std::endl;
        return false;
    }
    std::string command, output;
    if (!run_mount(options, device, mount_dir, command, output)) {
        ZvLogStream(ZvLogLvl::Error) << mount_multiple_signature << ": command: " << command
                                     << "; result: " << output << std::endl;
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "Mount: " << mount_dir << ", block device: " << device
                                << std::endl;
    return true;
}

bool ZvModuleUniversal::umount_OS_snapshot() const {
    return umount_directory(*this, default_mount_dir(options_), umount_signature);
}

bool ZvModuleUniversal::umount_OS_snapshot_multiple(const std::string& mount_dir) const {
    return umount_directory(*this, mount_dir, umount_multiple_signature);
}

bool ZvModuleUniversal::remove_OS_snapshot() {
    if (!is_OS_snapshot_using()) return true;
    umount_OS_snapshot();
    const std::string origin = get_block_device(get_mountpoint(options_.resource), true);
    if (!os_snapshot) return true;
    return os_snapshot->remove(origin);
}

bool ZvModuleUniversal::remove_all_OS_snapshots() {
    if (os_snapshot) remove_OS_snapshot();
    if (!is_OS_snapshot_using()) return true;
    bool all = true;
    for (auto& record : os_snapshots) {
        if (!umount_OS_snapshot_multiple(record.mount_dir)) all = false;
        if (!record.snapshot->remove(record.device)) all = false;
    }
    return all;
}
