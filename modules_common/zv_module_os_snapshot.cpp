// OS block-device snapshots of backed-up paths: finding the device behind a path,
// taking a provider's snapshot of it, mounting it read-only, and undoing all of it.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "modules_common/os_snapshot_internal.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/filesystem.hpp>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
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

// A command's one-line answer without the line end that closes it; a line feed inside a
// path stays.
std::string without_final_line_feed(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A mount-table field as the kernel wrote it: blank, tab, line feed and backslash come as
// a backslash and three octal digits.
std::string decode_mount_field(const std::string& field) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string result;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            result += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                        (field[i + 3] - '0'));
            i += 3;
        } else {
            result += field[i];
        }
    }
    return result;
}

enum class MountTable { unreadable, not_mounted, mounted };

// What the mount table shows at `mountpoint`. With mounts stacked on one directory the
// last line is the one in sight; the lines before it are hidden beneath.
MountTable visible_mount(const std::string& mountpoint, std::string& device) {
    std::ifstream mounts("/proc/mounts");
    if (!mounts) return MountTable::unreadable;
    MountTable result = MountTable::not_mounted;
    for (std::string line; std::getline(mounts, line);) {
        std::vector<std::string> fields;
        boost::split(fields, line, boost::is_any_of(" "));
        if (fields.size() >= 2 && decode_mount_field(fields[1]) == mountpoint) {
            device = decode_mount_field(fields[0]);
            result = MountTable::mounted;
        }
    }
    return result;
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

// The snapshot's own directory inside the operation directory, named by the task id.
// Empty when the task id names no directory of its own ("", ".", "..", or with a slash):
// the mount would cover the operation directory itself, or land outside it.
std::string default_mount_dir(const ZvModuleOptions& options) {
    const std::string& task = options.task_id;
    if (task.empty() || task == "." || task == ".." || task.find('/') != std::string::npos)
        return "";
    return options.tmp_operation_directory + "/" + task;
}

bool refuse_default_mount_dir(const ZvModuleOptions& options, const char* signature) {
    ZvLogStream(ZvLogLvl::Error) << signature << ": the task id '" << options.task_id
                                 << "' names no mount directory of its own inside "
                                 << options.tmp_operation_directory << std::endl;
    return false;
}

bool is_mount_point(const std::string& dir) {
    std::string device;
    return visible_mount(dir, device) != MountTable::not_mounted;
}

bool run_mount(const std::string& options, const std::string& device, const std::string& mount_dir,
               std::string& command, std::string& output) {
    command = "mount " + options + " " + shell_quote(device) + " " + shell_quote(mount_dir);
    return zv_utils_common::execute_command(command, output) == 0;
}

// Unmounts what is mounted at `mount_dir` and removes the then empty directory. The
// unmount names the directory, never the device: the device may be mounted elsewhere
// too, and umount given a device detaches its latest mount, which need not be this one.
// The directory is removed only once it is no longer a mount point, and never with its
// contents: those would be the files of a file system still mounted there.
bool umount_directory(const ZvModuleUniversal& module, const std::string& mount_dir,
                      const char* signature) {
    try {
        if (mount_dir.empty() || !fs::exists(mount_dir)) return true;
        // The mount table names directories canonically.
        const std::string dir = fs::canonical(mount_dir).string();
        const std::string device = module.get_block_device(dir, false);
        if (device.empty()) return true;
        const std::string command = "umount -lf " + shell_quote(dir);
        std::string output;
        if (zv_utils_common::execute_command(command, output) != 0) {
            ZvLogStream(ZvLogLvl::Error) << signature << ": command: " << command << "; result: "
                                         << output << std::endl;
            return false;
        }
        std::string beneath;
        if (visible_mount(dir, beneath) != MountTable::not_mounted) {
            ZvLogStream(ZvLogLvl::Error) << signature << ": " << dir
                                         << " is still a mount point after unmounting " << device
                                         << "; it is left in place" << std::endl;
            return false;
        }
        if (::rmdir(dir.c_str()) != 0) {
            const int error = errno;
            ZvLogStream(ZvLogLvl::Error) << signature << ": can't remove " << dir << ": "
                                         << std::strerror(error) << std::endl;
            return false;
        }
        ZvLogStream(ZvLogLvl::Info) << "Unmount successful: " << dir << ", block device: " << device
                                    << "; remove obsoleted: " << dir << std::endl;
        return true;
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": " << e.what() << std::endl;
        return false;
    }
}

// Unmounts a kept snapshot from where the framework mounted it (`mounted_dir`, empty when
// it did not; cleared once unmounted), then has its provider remove it from `origin`. The
// removal is tried even when the unmount failed.
bool unmount_and_remove(const ZvModuleUniversal& module, Snapshot& provider,
                        const std::string& origin, std::string& mounted_dir,
                        const char* signature) {
    bool removed = true;
    if (!mounted_dir.empty()) {
        if (umount_directory(module, mounted_dir, signature))
            mounted_dir.clear();
        else
            removed = false;
    }
    if (!provider.remove(origin)) removed = false;
    return removed;
}

bool unmount_and_remove(const ZvModuleUniversal& module, OsSnapshot& record) {
    std::string mounted_dir = record.mounted ? record.mount_dir : "";
    const bool removed = unmount_and_remove(module, *record.snapshot, record.device, mounted_dir,
                                            umount_multiple_signature);
    if (mounted_dir.empty()) record.mounted = false;
    return removed;
}

}  // namespace

std::string ZvModuleUniversal::get_mountpoint(const std::string& path) const {
    // stat names the mount point of a symbolic link itself, not of what it points to.
    boost::system::error_code ec;
    const fs::path resolved = fs::canonical(path, ec);
    const std::string command = "stat -c %m -- " + shell_quote(ec ? path : resolved.string());
    std::string output;
    if (zv_utils_common::execute_command(command, output) == 0)
        return without_final_line_feed(output);
    os_snapshot_internal::log_command_failure(mountpoint_signature, command, output);
    return "";
}

std::string ZvModuleUniversal::get_block_device(const std::string& mountpoint, bool resolve) const {
    std::string device;
    const MountTable found = visible_mount(mountpoint, device);
    if (found == MountTable::unreadable) {
        ZvLogStream(ZvLogLvl::Error) << block_device_signature << ": can't open /proc/mounts"
                                     << std::endl;
        return "";
    }
    if (found == MountTable::not_mounted) {
        ZvLogStream(ZvLogLvl::Error) << "Mount point " << mountpoint << " not found in '/proc/mounts'"
                                     << std::endl;
        return "";
    }
    if (!resolve) return device;

    const std::string command = "realpath " + shell_quote(device);
    std::string output;
    if (zv_utils_common::execute_command(command, output) == 0)
        return without_final_line_feed(output);
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
    return create_os_snapshot_of(options_.resource, device, mount, mount_dir, mountpoint, false);
}

bool ZvModuleUniversal::create_OS_snapshot_multiple(const std::string& path, std::string& device,
                                                    bool mount, std::string& mount_dir,
                                                    std::string& mountpoint) {
    return create_os_snapshot_of(path, device, mount, mount_dir, mountpoint, true);
}

bool ZvModuleUniversal::create_os_snapshot_of(const std::string& path, std::string& device,
                                              bool mount, std::string& mount_dir,
                                              std::string& mountpoint, bool multiple) {
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

    std::unique_ptr<Snapshot> provider =
        SnapshotFactory().createSnapshot(info.type, get_OS_snapshot_type());
    if (!provider || !provider->check(origin)) return false;
    if (!script_before_snapshot().empty()) {
        ZvLogStream(ZvLogLvl::Info) << "Run script '" << script_before_snapshot()
                                    << "' before snapshot creation" << std::endl;
        if (!run_script(script_before_snapshot(), "before")) return false;
    }
    // Room for the record beforehand: once the snapshot exists, it is recorded before
    // anything else can fail or throw.
    if (multiple) os_snapshots.reserve(os_snapshots.size() + 1);
    if (!provider->create(origin, info.name, origin_mountpoint, options_.task_id, size, device)) {
        if (!script_error_snapshot().empty()) {
            ZvLogStream(ZvLogLvl::Info) << "Run script '" << script_error_snapshot()
                                        << "' after snapshot creation failed" << std::endl;
            run_script(script_error_snapshot(), "error");
        }
        return false;
    }
    if (multiple) {
        os_snapshots.emplace_back(std::move(provider), mount_dir, origin);
    } else {
        os_snapshot = std::move(provider);
        os_snapshot_origin = origin;
        os_snapshot_mounted_dir.clear();
    }
    // A snapshot that is not complete is of no use to the caller, and one left behind
    // refuses every later dattobd snapshot of the device: it is removed again.
    bool finished = false;
    try {
        finished = finish_os_snapshot(multiple, mount, info.fstype, device, mount_dir);
    } catch (...) {
        discard_new_os_snapshot(multiple);
        throw;
    }
    if (!finished) {
        discard_new_os_snapshot(multiple);
        return false;
    }
    mountpoint = origin_mountpoint;
    defect_flag = false;
    return true;
}

bool ZvModuleUniversal::finish_os_snapshot(bool multiple, bool mount, const std::string& fstype,
                                           const std::string& device, std::string& mount_dir) {
    if (mount) {
        std::string mount_options = "-o ro,norecovery";
        // Mounting an xfs snapshot beside its origin needs the duplicate uuid accepted.
        if (fstype == "xfs") mount_options += ",nouuid";
        if (multiple) {
            if (!mount_OS_snapshot_multiple(device, mount_dir, mount_options)) return false;
            os_snapshots.back().mount_dir = mount_dir;
            os_snapshots.back().mounted = true;
        } else {
            if (!mount_OS_snapshot(device, mount_dir, mount_options)) return false;
            os_snapshot_mounted_dir = mount_dir;
        }
    }
    if (!script_after_snapshot().empty()) {
        ZvLogStream(ZvLogLvl::Info) << "Run script '" << script_after_snapshot()
                                    << "' after snapshot creation" << std::endl;
        if (!run_script(script_after_snapshot(), "after")) return false;
    }
    return true;
}

void ZvModuleUniversal::discard_new_os_snapshot(bool multiple) {
    if (multiple) {
        if (unmount_and_remove(*this, os_snapshots.back())) os_snapshots.pop_back();
    } else if (unmount_and_remove(*this, *os_snapshot, os_snapshot_origin, os_snapshot_mounted_dir,
                                  umount_signature)) {
        os_snapshot.reset();
    }
}

bool ZvModuleUniversal::mount_OS_snapshot(const std::string& device, std::string& mount_dir,
                                          const std::string& options) const {
    mount_dir = default_mount_dir(options_);
    if (mount_dir.empty()) return refuse_default_mount_dir(options_, mount_signature);
    try {
        const bool created = fs::create_directory(mount_dir);
        // One name for the directory however -d was written (a trailing slash, ".."): the
        // one the mount table will show, and the one the unmount looks for.
        mount_dir = fs::canonical(mount_dir).string();
        // Mounting over a mount point would hide what is mounted there.
        if (!created && is_mount_point(mount_dir)) {
            ZvLogStream(ZvLogLvl::Error) << mount_signature << ": " << mount_dir
                                         << " is a mount point already" << std::endl;
            return false;
        }
        std::string command, output;
        if (!run_mount(options, device, mount_dir, command, output)) {
            os_snapshot_internal::log_command_failure(mount_signature, command, output);
            if (created) ::rmdir(mount_dir.c_str());
            return false;
        }
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << mount_signature << ": " << e.what() << std::endl;
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "Mount: " << mount_dir << ", block device: " << device
                                << std::endl;
    return true;
}

bool ZvModuleUniversal::mount_OS_snapshot_multiple(const std::string& device,
                                                   std::string& mount_dir,
                                                   const std::string& options) const {
    if (mount_dir.empty()) {
        mount_dir = default_mount_dir(options_);
        if (mount_dir.empty()) return refuse_default_mount_dir(options_, mount_multiple_signature);
    }
    try {
        // A directory that exists already may hold data or another snapshot's mount.
        if (fs::exists(mount_dir) || !fs::create_directories(mount_dir)) {
            ZvLogStream(ZvLogLvl::Error) << mount_multiple_signature
                                         << ": Create directory failed: " << mount_dir << std::endl;
            return false;
        }
        mount_dir = fs::canonical(mount_dir).string();
        std::string command, output;
        if (!run_mount(options, device, mount_dir, command, output)) {
            ZvLogStream(ZvLogLvl::Error) << mount_multiple_signature << ": command: " << command
                                         << "; result: " << output << std::endl;
            ::rmdir(mount_dir.c_str());
            return false;
        }
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << mount_multiple_signature << ": " << e.what() << std::endl;
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "Mount: " << mount_dir << ", block device: " << device
                                << std::endl;
    return true;
}

bool ZvModuleUniversal::umount_OS_snapshot() const {
    // Nothing of this run's can be mounted where no mount directory can be named.
    return umount_directory(*this, default_mount_dir(options_), umount_signature);
}

bool ZvModuleUniversal::umount_OS_snapshot_multiple(const std::string& mount_dir) const {
    return umount_directory(*this, mount_dir, umount_multiple_signature);
}

bool ZvModuleUniversal::remove_OS_snapshot() {
    if (!is_OS_snapshot_using()) return true;
    if (!os_snapshot) return true;
    return unmount_and_remove(*this, *os_snapshot, os_snapshot_origin, os_snapshot_mounted_dir,
                              umount_signature);
}

bool ZvModuleUniversal::remove_all_OS_snapshots() {
    bool all = true;
    if (os_snapshot && !remove_OS_snapshot()) all = false;
    if (!is_OS_snapshot_using()) return all;
    for (auto& record : os_snapshots)
        if (!unmount_and_remove(*this, record)) all = false;
    return all;
}
