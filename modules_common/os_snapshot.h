// Providers of operating-system block-device snapshots (LVM, dattobd) for the
// framework's OS-snapshot members.
#pragma once

#include <memory>
#include <string>

class Snapshot {
public:
    virtual ~Snapshot() = default;
};

struct OsSnapshot {
    std::unique_ptr<Snapshot> snapshot;
    std::string mount_dir;
};
