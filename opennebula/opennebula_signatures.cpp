// Unique image signatures: a text computed from an image's data or storage that
// lets the image be recognised again (file digest, device digest, LVM uuid or
// Ceph image id).
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_query.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "zvcrypto/md5.h"

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

// Runs `command` and takes its output without line feeds as `value`; an empty value
// is logged as ": got empty " `what` " for: " `subject`.
int read_command_value(const char* signature, const std::string& command, const char* what,
                       const std::string& subject, std::string& value) {
    std::string output;
    if (!detail::run_tool(signature, command, detail::kFollowingCommandError, output)) return 1;
    value = detail::without_line_feeds(output);
    if (value.empty()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": got empty " << what << " for: " << subject
                                     << std::endl;
        return 1;
    }
    return 0;
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

bool calculate_unique_signature(oneimage& image, TM_MAD_TYPE tm_mad, bool force_digest) {
    static const char* const signature =
        "bool zv_opennebula_common::calculate_unique_signature(oneimage&, TM_MAD_TYPE, bool)";
    const std::string unresolved = image.source;
    ZvLogStream(ZvLogLvl::Info) << signature
                                << ": determining unique signature for the image source: "
                                << image.source << std::endl;
    int result = 1;
    switch (image.disk_type) {
        case DISK_TYPE_FILE:
        case DISK_TYPE_BLOCK: {
            std::string target = image.source;
            if (read_file_link(image.source, target, "", true) != 0) return false;
            if (target != image.source) image.source = target;
            if (image.disk_type == DISK_TYPE_FILE) {
                result = calc_md5sum(image.source, image.unique_signature);
            } else if (image.type == IMAGE_TYPE_OS || image.type == IMAGE_TYPE_CDROM ||
                       image.type == IMAGE_TYPE_DATABLOCK) {
                if (tm_mad == TM_MAD_LVM_LVM && !force_digest)
                    result = get_image_uuid(unresolved, image.unique_signature);
                else
                    result = calc_md5sum_for_block_device(image.source, image.unique_signature);
            }
            break;
        }
        case DISK_TYPE_RBD:
            result = get_ceph_image_id(unresolved, image.unique_signature);
            break;
        default: {
            opennebula_disk_type named = static_cast<opennebula_disk_type>(image.disk_type);
            ZvLogStream(ZvLogLvl::Error) << signature << ": unsupported disk type: "
                                         << disk_type_to_str(named) << std::endl;
            return false;
        }
    }
    if (result == 0) return true;
    ZvLogStream(ZvLogLvl::Error) << signature
                                 << ": can't determine unique signature for the image source: "
                                 << image.source << std::endl;
    return false;
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
    const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
    if (size != 0) {
        constexpr std::size_t piece = 4096;
        zvcrypto::md5 hash;
        hash.init();
        std::vector<unsigned char> buffer(piece);
        std::uint64_t left = size;
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
                ZvLogStream(ZvLogLvl::Error) << signature << ": read error. File: " << path
                                             << std::endl;
                return 1;
            }
            hash.update(buffer.data(), want);
            left -= want;
        }
        unsigned char bytes[16];
        hash.final(bytes);
        std::ostringstream text;
        for (unsigned char byte : bytes)
            text << std::hex << std::setw(2) << std::setfill('0') << static_cast<unsigned>(byte);
        digest = text.str();
    }
    if (digest.empty()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": got empty md5sum for the file: " << path
                                     << std::endl;
        return 1;
    }
    return 0;
}

int calc_md5sum_for_block_device(const std::string& device, std::string& digest) {
    static const char* const signature =
        "int zv_opennebula_common::calc_md5sum_for_block_device(const string&, std::__cxx11::string&)";
    const std::string command = "/usr/bin/md5sum " + shell_quote(device) + " | /usr/bin/awk '{print $1}'";
    return read_command_value(signature, command, "md5sum", device, digest);
}

int get_image_uuid(const std::string& source, std::string& uuid) {
    static const char* const signature =
        "int zv_opennebula_common::get_image_uuid(const string&, std::__cxx11::string&)";
    const std::size_t slash = source.rfind('/');
    if (slash == std::string::npos) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": got wrong source: " << source << std::endl;
        return 1;
    }
    const std::string name = source.substr(slash + 1);
    const std::string command = std::string("/usr/sbin/lvs --verbose | ") + "/usr/bin/grep " +
                                shell_quote(name) + " |" + "/usr/bin/awk '{print $10}'";
    return read_command_value(signature, command, "uuid", source, uuid);
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
