// LVM and dattobd snapshot providers and the factory that picks one.
#include "modules_common/os_snapshot.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "modules_common/os_snapshot_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using zv_utils_common::shell_quote;

namespace {

const char* const lvm_create_signature =
    "virtual bool SnapshotLVM::create(const string&, const string&, const string&, const "
    "string&, uintmax_t, std::__cxx11::string&)";
const char* const dattobd_create_signature =
    "virtual bool SnapshotDattobd::create(const string&, const string&, const string&, const "
    "string&, uintmax_t, std::__cxx11::string&)";
const char* const dattobd_remove_signature = "virtual bool SnapshotDattobd::remove(const string&)";
const char* const exists_signature =
    "bool SnapshotDattobd::is_dattobd_snapshot_exists(const string&, bool&, "
    "std::__cxx11::string&) const";
const char* const free_minor_signature =
    "bool SnapshotDattobd::get_dattobd_free_minor(std::__cxx11::string&)";
const char* const datto_info_command = "cat /proc/datto-info";

// The status document as a non-empty object; false after its Error lines.
bool read_datto_info(const std::string& signature, boost::json::value& document) {
    std::string output;
    if (zv_utils_common::execute_command(datto_info_command, output) != 0) {
        os_snapshot_internal::log_command_failure(signature, datto_info_command, output);
        return false;
    }
    if (!os_snapshot_json::parse(output, signature, document)) return false;
    return os_snapshot_json::non_empty_object(document, signature) != nullptr;
}

}  // namespace

OsSnapshot::OsSnapshot(std::unique_ptr<Snapshot> snapshot_, std::string mount_dir_,
                       std::string device_)
    : snapshot(std::move(snapshot_)), mount_dir(std::move(mount_dir_)), device(std::move(device_)) {}

OsSnapshot::OsSnapshot(OsSnapshot&& other) noexcept
    : snapshot(std::move(other.snapshot)),
      mount_dir(std::move(other.mount_dir)),
      device(std::move(other.device)),
      mounted(other.mounted) {}

OsSnapshot::~OsSnapshot() = default;

std::unique_ptr<Snapshot> SnapshotFactory::createSnapshot(const std::string& device_type,
                                                          const std::string& snapshot_type) {
    if (snapshot_type == "lvm") {
        if (device_type == "lvm") return std::make_unique<SnapshotLVM>();
        ZvLogStream(ZvLogLvl::Warning) << "Unable to use LVM snapshot for non-LVM volume: "
                                       << device_type << ", skip" << std::endl;
        ZvLogStream(ZvLogLvl::Warning)
            << "SnapshotFactory:: it is impossible to determine the snapshot type. "
            << "Block device type: " << device_type << ", snapshot type: " << snapshot_type
            << std::endl;
        return nullptr;
    }
    if (snapshot_type == "dattobd") return std::make_unique<SnapshotDattobd>();
    ZvLogStream(ZvLogLvl::Error) << "SnapshotFactory:: wrong value of OS snapshot type: "
                                 << snapshot_type << std::endl;
    return nullptr;
}

bool SnapshotLVM::check(const std::string&) { return true; }

bool SnapshotLVM::create(const std::string& device, const std::string& name, const std::string&,
                         const std::string& task, uintmax_t size, std::string& out) {
    const std::string origin = "/dev/mapper/" + name;
    const std::string path = origin + "--zv--snap--" + task;
    // The path is kept only once lvcreate made the volume: a later remove() must never
    // delete a volume of that name that was there before and is not ours.
    snapshot_path.clear();
    removed = false;
    // lvcreate takes the snapshot's device-mapper path as its name and derives the
    // volume group and the volume name from it.
    const std::string command = "/sbin/lvcreate --size=" + std::to_string(size) +
                                "B --snapshot --name " + shell_quote(path) + " " +
                                shell_quote(origin);
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << lvm_create_signature
                                     << ": Unable create LVM snapshot for " << origin << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Command: " << command << std::endl;
        ZvLogStream(ZvLogLvl::Error) << output << std::endl;
        ZvLogStream(ZvLogLvl::Warning) << "LVM snapshot wasn't created" << std::endl;
        return false;
    }
    snapshot_path = path;
    ZvLogStream(ZvLogLvl::Info) << "The snapshot was created: " << snapshot_path << std::endl;
    out = snapshot_path;

    // A snapshot that cannot be read is of no use for a backup and would only fill up.
    const int fd = ::open(snapshot_path.c_str(), O_RDONLY);
    if (fd < 0) {
        const int error = errno;
        ZvLogStream(ZvLogLvl::Error) << lvm_create_signature << ": Unable to read LVM snapshot: "
                                     << snapshot_path << ". Error: " << std::strerror(error)
                                     << std::endl;
        remove(device);
        ZvLogStream(ZvLogLvl::Warning) << "LVM snapshot has been deleted" << std::endl;
        return false;
    }
    ::close(fd);
    return true;
}

bool SnapshotLVM::remove(const std::string&) {
    if (removed) return true;
    if (snapshot_path.empty()) {
        ZvLogStream(ZvLogLvl::Error)
            << "SnapshotLVM: LVM snapshot path is empty, unable to remove LVM snapshot"
            << std::endl;
        return false;
    }
    const std::string command = "/sbin/lvremove -y " + shell_quote(snapshot_path);
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << "SnapshotLVM: command: " << command << std::endl;
        ZvLogStream(ZvLogLvl::Error) << output << std::endl;
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "LVM snapshot was removed: " << snapshot_path << std::endl;
    removed = true;
    return true;
}

bool SnapshotDattobd::is_dattobd_ready() const {
    std::string output;
    return zv_utils_common::execute_command("/sbin/lsmod | grep ^dattobd", output) == 0;
}

bool SnapshotDattobd::is_dattobd_snapshot_exists(const std::string& device, bool& exists,
                                                 std::string& found_minor) const {
    exists = false;
    boost::json::value document;
    if (!read_datto_info(exists_signature, document)) return false;
    for (const auto& member : document.as_object()) {
        if (member.key() != "devices") continue;
        const boost::json::array* devices = os_snapshot_json::array(member.value(), exists_signature);
        if (devices == nullptr) return false;
        for (const auto& element : *devices) {
            const boost::json::object* entry =
                os_snapshot_json::non_empty_object(element, exists_signature);
            if (entry == nullptr) return false;
            std::string block_device, minor_text;
            for (const auto& field : *entry) {
                if (field.key() == "block_device") block_device = os_snapshot_json::text(field.value());
                if (field.key() == "minor") minor_text = os_snapshot_json::text(field.value());
            }
            if (block_device == device) {
                found_minor = minor_text;
                exists = true;
                return true;
            }
        }
        return true;
    }
    return true;
}

bool SnapshotDattobd::get_dattobd_free_minor(std::string& free_minor) {
    boost::json::value document;
    if (!read_datto_info(free_minor_signature, document)) return false;
    for (const auto& member : document.as_object()) {
        if (member.key() != "devices") continue;
        const boost::json::array* devices =
            os_snapshot_json::array(member.value(), free_minor_signature);
        if (devices == nullptr) return false;
        long next = 0;
        for (const auto& element : *devices) {
            const boost::json::object* entry =
                os_snapshot_json::non_empty_object(element, free_minor_signature);
            if (entry == nullptr) return false;
            for (const auto& field : *entry)
                if (field.key() == "minor")
                    next = std::max(next, std::stol(os_snapshot_json::text(field.value())) + 1);
        }
        free_minor = std::to_string(next);
        return true;
    }
    return false;
}

bool SnapshotDattobd::check(const std::string& device) {
    if (!is_dattobd_ready()) {
        ZvLogStream(ZvLogLvl::Warning) << "Dattobd is not ready or not installed" << std::endl;
        return false;
    }
    bool exists = false;
    std::string existing;
    if (!is_dattobd_snapshot_exists(device, exists, existing)) {
        ZvLogStream(ZvLogLvl::Error)
            << "SnapshotDattobd::check: can't check weather dattobd snapshot exists for the device: "
            << device << std::endl;
        return false;
    }
    if (exists) {
        ZvLogStream(ZvLogLvl::Warning) << "Can't create dattobd snapshot of the device " << device
                                       << ". The snapshot exists: /dev/datto" << existing
                                       << std::endl;
        ZvLogStream(ZvLogLvl::Warning)
            << "You can remove it by hand if you are sure it is obsoleted. Command to destroy the "
               "snapshot: "
            << "dbdctl destroy " << existing << std::endl;
        return false;
    }
    if (!get_dattobd_free_minor(minor)) {
        ZvLogStream(ZvLogLvl::Error) << "Can't get free minor of dattobd to create snapshot"
                                     << std::endl;
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "Free dattobd minor to create a snapshot: " << minor
                                << std::endl;
    return true;
}

bool SnapshotDattobd::create(const std::string& device, const std::string&,
                             const std::string& mountpoint, const std::string& task,
                             uintmax_t size, std::string& out) {
    // The copy-on-write file lies at the root of the origin file system.
    const std::string command = "dbdctl setup-snapshot -f " + std::to_string(size / 1048576) +
                                " " + shell_quote(device) + " " +
                                shell_quote(mountpoint + "/.zelvor_dattobd_" + task) + " " +
                                shell_quote(minor);
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        os_snapshot_internal::log_command_failure(dattobd_create_signature, command, output);
        return false;
    }
    active_device = device;
    active_minor = minor;
    out = "/dev/datto" + minor;
    ZvLogStream(ZvLogLvl::Info) << "Dattobd snapshot was created: " << out << std::endl;
    return true;
}

bool SnapshotDattobd::remove(const std::string&) {
    if (active_minor.empty()) return true;
    // Only the minor set up here is destroyed, and only while it still snapshots the
    // device it was set up for: once it is gone, the device may carry another task's
    // snapshot, under this minor or another.
    bool exists = false;
    std::string current;
    if (!is_dattobd_snapshot_exists(active_device, exists, current)) {
        ZvLogStream(ZvLogLvl::Error) << dattobd_remove_signature
                                     << ": can't check whether the dattobd snapshot /dev/datto"
                                     << active_minor << " of " << active_device
                                     << " is still active" << std::endl;
        return false;
    }
    if (!exists || current != active_minor) {
        ZvLogStream(ZvLogLvl::Warning) << "Dattobd snapshot /dev/datto" << active_minor << " of "
                                       << active_device << " is no longer active" << std::endl;
        active_device.clear();
        active_minor.clear();
        return true;
    }
    const std::string command = "dbdctl destroy " + shell_quote(active_minor);
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        os_snapshot_internal::log_command_failure(dattobd_remove_signature, command, output);
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "Dattobd snapshot was destroyed: /dev/datto" << active_minor
                                << std::endl;
    active_device.clear();
    active_minor.clear();
    return true;
}
