// Unique image signatures: a text computed from an image's data or storage that
// lets the image be recognised again (file digest, device digest, LVM uuid or
// Ceph image id).
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_query.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "zvcrypto/md5.h"

#include <boost/algorithm/string/trim.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iomanip>
#include <sstream>
#include <vector>

namespace zv_opennebula_common {

using detail::XmlDocument;
using zv_utils_common::shell_quote;

namespace {

// 32 lower-case hexadecimal digits, as md5sum prints a digest.
bool is_md5_text(const std::string& text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Closes a descriptor on every way out.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

namespace detail {

bool compute_image_signature(const char* signature, int disk_type, int type, bool lvm_uuid,
                             std::string& source, std::string& computed) {
    const std::string unresolved = source;
    int result = 1;
    switch (disk_type) {
        case DISK_TYPE_FILE:
        case DISK_TYPE_BLOCK: {
            std::string target = source;
            if (read_file_link(source, target, "", true) != 0) return false;
            source = target;
            if (disk_type == DISK_TYPE_FILE) {
                result = calc_md5sum(source, computed);
            } else if (type == IMAGE_TYPE_OS || type == IMAGE_TYPE_CDROM ||
                       type == IMAGE_TYPE_DATABLOCK) {
                if (lvm_uuid)
                    result = get_image_uuid(unresolved, computed);
                else
                    result = calc_md5sum_for_block_device(source, computed);
            }
            break;
        }
        case DISK_TYPE_RBD:
            result = get_ceph_image_id(unresolved, computed);
            break;
        default: {
            opennebula_disk_type named = static_cast<opennebula_disk_type>(disk_type);
            ZvLogStream(ZvLogLvl::Error) << signature << ": unsupported disk type: "
                                         << disk_type_to_str(named) << std::endl;
            return false;
        }
    }
    if (result == 0) return true;
    ZvLogStream(ZvLogLvl::Error) << signature
                                 << ": can't determine unique signature for the image source: "
                                 << source << std::endl;
    return false;
}

}  // namespace detail

bool calculate_unique_signature(oneimage& image, TM_MAD_TYPE tm_mad, bool force_digest) {
    static const char* const signature =
        "bool zv_opennebula_common::calculate_unique_signature(oneimage&, TM_MAD_TYPE, bool)";
    ZvLogStream(ZvLogLvl::Info) << signature
                                << ": determining unique signature for the image source: "
                                << image.source << std::endl;
    // An LVM volume of lvm_lvm is known by its uuid unless a digest of its data is
    // asked for.
    const bool lvm_uuid = tm_mad == TM_MAD_LVM_LVM && !force_digest;
    return detail::compute_image_signature(signature, image.disk_type, image.type, lvm_uuid,
                                           image.source, image.unique_signature);
}

int calc_md5sum(const std::string& path, std::string& digest) {
    static const char* const signature =
        "int zv_opennebula_common::calc_md5sum(const string&, std::__cxx11::string&)";
    FileDescriptor file(open(path.c_str(), O_RDONLY));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't open file: " << path << std::endl;
        return 1;
    }
    // Every empty image would have the same digest, the MD5 of nothing, and a search
    // by signature would take one empty image for another; a caller's earlier digest
    // must never stand for the file's either.
    if (status.st_size == 0) {
        digest.clear();
        ZvLogStream(ZvLogLvl::Error) << signature << ": got empty md5sum for the file: " << path
                                     << std::endl;
        return 1;
    }
    constexpr std::size_t piece = 4096;
    zvcrypto::md5 hash;
    hash.init();
    std::vector<unsigned char> buffer(piece);
    std::uint64_t left = static_cast<std::uint64_t>(status.st_size);
    while (left > 0) {
        const std::size_t want = left >= piece ? piece : static_cast<std::size_t>(left);
        std::size_t got = 0;
        // A read may return fewer bytes without the file being short (signals, pipes).
        while (got < want) {
            const ssize_t n = read(file.get(), buffer.data() + got, want - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got != want) {
            ZvLogStream(ZvLogLvl::Error) << signature << ": read error. File: " << path << std::endl;
            return 1;
        }
        hash.update(buffer.data(), want);
        left -= want;
    }
    unsigned char bytes[16];
    hash.final(bytes);
    digest = zv_utils_common::digest_as_string(bytes, sizeof bytes);
    return 0;
}

int calc_md5sum_for_block_device(const std::string& device, std::string& digest) {
    static const char* const signature =
        "int zv_opennebula_common::calc_md5sum_for_block_device(const string&, std::__cxx11::string&)";
    // md5sum's own status tells whether the device was read; "--" keeps a device
    // name that starts with "-" from being taken for an option.
    const std::string command = "/usr/bin/md5sum -- " + shell_quote(device);
    std::string output;
    if (!detail::run_tool(signature, command, detail::kFollowingCommandError, output)) return 1;
    // md5sum marks a line whose name it had to escape with a leading backslash.
    std::string value = output.substr(output.compare(0, 1, "\\") == 0 ? 1 : 0);
    value = value.substr(0, value.find_first_of(" \n"));
    if (!is_md5_text(value)) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": got empty md5sum for: " << device << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Command output: " << output << std::endl;
        return 1;
    }
    digest = value;
    return 0;
}

int get_image_uuid(const std::string& source, std::string& uuid) {
    static const char* const signature =
        "int zv_opennebula_common::get_image_uuid(const string&, std::__cxx11::string&)";
    // The volume is named exactly, as volume group and volume: the last two parts
    // of the source.
    std::string group, volume;
    const std::size_t slash = source.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        volume = source.substr(slash + 1);
        const std::size_t before = source.rfind('/', slash - 1);
        const std::size_t start = before == std::string::npos ? 0 : before + 1;
        group = source.substr(start, slash - start);
    }
    if (group.empty() || volume.empty()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": got wrong source: " << source << std::endl;
        return 1;
    }
    const std::string command = "/usr/sbin/lvs --noheadings -o lv_uuid -- " +
                                shell_quote(group + "/" + volume);
    std::string output;
    if (!detail::run_tool(signature, command, detail::kFollowingCommandError, output)) return 1;
    // LVM's warnings share the output; the uuid is the one line that is a single word.
    std::vector<std::string> words;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        boost::algorithm::trim(line);
        if (!line.empty() && line.find_first_of(" \t") == std::string::npos) words.push_back(line);
    }
    if (words.size() != 1) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": got empty uuid for: " << source << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Command output: " << output << std::endl;
        return 1;
    }
    uuid = words.front();
    return 0;
}

int get_ceph_image_id(const std::string& source, std::string& id) {
    static const char* const signature =
        "int zv_opennebula_common::get_ceph_image_id(const string&, std::__cxx11::string&)";
    const std::size_t slash = source.find('/');
    const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
    const std::string command =
        "rbd info one/" + shell_quote(name) + " --id libvirt --format xml";
    std::string output;
    if (!detail::run_tool(signature, command, detail::kFollowingCommandError, output)) return 1;
    XmlDocument doc;
    if (!detail::parse_and_check_root(signature, output, "image", doc, nullptr, ": ")) return 1;
    if (const xmlNode* element = first_child(doc.root(), "id")) {
        id = element_text(doc.get(), element);
        return 0;
    }
    ZvLogStream(ZvLogLvl::Error) << signature << ": unable to get id of CEPH image "
                                 << std::quoted(name, '"', '\\')
                                 << " in 'rbd info' command output: " << output << std::endl;
    return 1;
}

}  // namespace zv_opennebula_common
