// One block device of a libvirt domain, as the backup preparation discovers it
// and the restore deployment rewrites it.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

enum class kvm_disk_type : std::uint32_t { file = 1, block = 2, dir = 3, network = 4, volume = 5, nvme = 6 };

enum class kvm_device_type : std::uint32_t { floppy = 1, disk = 2, cdrom = 3, lun = 4 };

struct kvm_device_info {
    kvm_disk_type type = kvm_disk_type::file;
    kvm_device_type device = kvm_device_type::disk;
    std::string target;
    std::string source;
    std::vector<std::string> backing_chain;
};

namespace zelvor_common {

template <typename E>
constexpr std::underlying_type_t<E> to_underlying(E value) {
    return static_cast<std::underlying_type_t<E>>(value);
}

}  // namespace zelvor_common
