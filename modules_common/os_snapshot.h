// Providers of operating-system block-device snapshots (LVM, dattobd) and the record
// the framework's OS-snapshot members keep for each snapshot they made.
//
//   std::unique_ptr<Snapshot> provider = SnapshotFactory().createSnapshot("part", "dattobd");
//   std::string snapshot_device;
//   if (provider && provider->check("/dev/sda1") &&
//       provider->create("/dev/sda1", "sda1", "/", "42", size, snapshot_device)) { ... }
//   provider->remove("/dev/sda1");
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// One snapshot mechanism. Call check, then create, then remove on the same object.
class Snapshot {
public:
    Snapshot() = default;
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    // Whether this provider can snapshot the origin device now.
    virtual bool check(const std::string& device) = 0;
    // Snapshots `device` (lsblk `name`, its file system mounted at `mountpoint`) for
    // task `task` with room for `size` bytes of changes; `out` gets the snapshot device.
    virtual bool create(const std::string& device, const std::string& name,
                        const std::string& mountpoint, const std::string& task, uintmax_t size,
                        std::string& out) = 0;
    virtual bool remove(const std::string& device) = 0;
    virtual ~Snapshot() = default;
};

// LVM snapshot of a logical volume, made with lvcreate and removed with lvremove.
class SnapshotLVM : public Snapshot {
public:
    SnapshotLVM() = default;
    bool check(const std::string& device) override;
    bool create(const std::string& device, const std::string& name, const std::string& mountpoint,
                const std::string& task, uintmax_t size, std::string& out) override;
    // Removes the snapshot this object created; the device argument is not needed. A
    // second removal does nothing and succeeds.
    bool remove(const std::string& device) override;
    ~SnapshotLVM() override = default;

    const std::string& path() const { return snapshot_path; }

private:
    std::string snapshot_path;
    bool removed = false;
};

// dattobd snapshot of any block device, through the kernel module's dbdctl tool and
// its status document "/proc/datto-info". Documents that are not JSON, and minors
// that are not numbers, throw (boost::system::system_error, std::invalid_argument).
class SnapshotDattobd : public Snapshot {
public:
    SnapshotDattobd() = default;
    // Chooses the minor that create uses.
    bool check(const std::string& device) override;
    bool create(const std::string& device, const std::string& name, const std::string& mountpoint,
                const std::string& task, uintmax_t size, std::string& out) override;
    // Destroys the snapshot this object set up, and only that one: a snapshot of the same
    // device that another provider made is left alone. True when this object has nothing
    // (left) to remove; false when the status document cannot be read. The device
    // argument is not needed.
    bool remove(const std::string& device) override;
    ~SnapshotDattobd() override = default;

    // The kernel module is loaded.
    bool is_dattobd_ready() const;
    // False when the status document cannot be read; `exists` and `minor` tell whether
    // `device` has an active snapshot and under which minor.
    bool is_dattobd_snapshot_exists(const std::string& device, bool& exists,
                                    std::string& minor) const;
    // One above the largest minor in use ("0" when none); free minors below it are not reused.
    bool get_dattobd_free_minor(std::string& minor);

    const std::string& chosen_minor() const { return minor; }

private:
    std::string minor;
    // The snapshot create set up, until remove destroyed it.
    std::string active_device;
    std::string active_minor;
};

class SnapshotFactory {
public:
    // The provider for `snapshot_type` ("lvm" or "dattobd") on a device of lsblk type
    // `device_type`; null, with a message, when none fits.
    std::unique_ptr<Snapshot> createSnapshot(const std::string& device_type,
                                             const std::string& snapshot_type);
};

// A snapshot kept by the framework until it is removed: its provider, where it is
// mounted (or the directory the caller named), its origin device and whether the
// framework mounted it at mount_dir (only then is that directory unmounted and removed).
struct OsSnapshot {
    OsSnapshot(std::unique_ptr<Snapshot> snapshot, std::string mount_dir, std::string device);
    OsSnapshot(OsSnapshot&& other) noexcept;
    OsSnapshot(const OsSnapshot&) = delete;
    OsSnapshot& operator=(const OsSnapshot&) = delete;
    ~OsSnapshot();

    std::unique_ptr<Snapshot> snapshot;
    std::string mount_dir;
    std::string device;
    bool mounted = false;
};
