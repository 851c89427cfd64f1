// VM disk discovery: where the data of each disk of an OpenNebula VM lies, per
// transfer driver, asked either of the running domain on the VM's host or of the
// VM's directory in a system datastore; and small tools for Ceph disk names.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_query.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;
namespace json = boost::json;
using zv_utils_common::execute_command;
using zv_utils_common::shell_quote;

namespace zv_opennebula_common {

namespace {

const char* const load_signature =
    "int zv_opennebula_common::load_VM_devices(const string&, "
    "std::vector<opennebula_device_info>&, bool, bool, bool)";
const char* const vm_path_signature =
    "int zv_opennebula_common::get_real_vm_path(const string&, std::__cxx11::string&)";
const char* const link_signature =
    "int zv_opennebula_common::read_file_link(const string&, std::__cxx11::string&, const "
    "string&, bool)";
const char* const target_signature =
    "int zv_opennebula_common::get_target_device_path(const string&, const string&, "
    "opennebula_device_info&)";
const char* const chain_signature =
    "int zv_opennebula_common::fill_backing_image_chain(const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&, bool, const string&)";
const char* const size_signature =
    "int zv_opennebula_common::get_image_virtual_size(const string&, bool, const string&, long "
    "long unsigned int&)";
const char* const temporary_signature =
    "int zv_opennebula_common::get_temporary_disk_info(xmlDoc* const&, xmlNode* const&, "
    "opennebula_device_info&)";
const char* const rbd_signature =
    "int zv_opennebula_common::get_vm_rbd_disks(const string&, std::vector<RBD_disk>&)";

// A command for another host. The remote shell parses the command once more, so
// the command, whose own values are quoted already, travels as one quoted word.
std::string over_ssh(const std::string& host, const std::string& command) {
    return "ssh root@" + shell_quote(host) + " " + shell_quote(command);
}

using detail::megabytes_to_bytes;
using detail::without_line_feeds;

// qemu-img's description of an image as JSON.
std::string qemu_img_info(const std::string& image, bool force_share) {
    return std::string("/usr/bin/qemu-img info ") + (force_share ? "--force-share " : "") +
           shell_quote(image) + " --output=json";
}

// The JSON object qemu-img printed. Standard error is joined to the output, so
// lines before the object (warnings of ssh or qemu-img) and text after it are
// passed over.
bool parse_qemu_img_info(const std::string& output, json::object& info) {
    std::size_t start = 0;
    if (output.compare(0, 1, "{") != 0) {
        start = output.find("\n{");
        if (start == std::string::npos) return false;
        ++start;
    }
    json::stream_parser parser;
    boost::system::error_code ec;
    parser.write_some(output.data() + start, output.size() - start, ec);
    if (ec || !parser.done()) return false;
    json::value value = parser.release();
    if (!value.is_object()) return false;
    info = std::move(value.as_object());
    return true;
}

// A host name goes into a libvirt URI as its host part. A "/", "?", "#" or "@"
// would end that part and start a path or URI parameters of the name's own, and
// libvirt runs the program that a "command" parameter names.
bool fits_in_uri_authority(const std::string& host) {
    if (host.empty()) return false;
    for (const char c : host)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f || std::strchr("/?#@\\", c) != nullptr)
            return false;
    return true;
}

// The source of the disk `target` in virsh's domblklist: the first column must be
// the target itself, and the rest of the line, blanks inside included, is the
// source. Empty when no line has that target or the disk has no source ("-").
std::string domblklist_source(const std::string& listing, const std::string& target) {
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        boost::algorithm::trim(line);
        const std::size_t end = line.find_first_of(" \t");
        if (end == std::string::npos || line.compare(0, end, target) != 0 || end != target.size())
            continue;
        std::string source = boost::algorithm::trim_copy(line.substr(end));
        return source == "-" ? std::string() : source;
    }
    return std::string();
}

}  // namespace

int read_file_link(const std::string& path, std::string& target, const std::string& host,
                   bool full) {
    if (host.empty() || host == zv_utils_common::get_nodename()) {
        try {
            if (fs::is_symlink(path)) {
                boost::system::error_code missing;
                const fs::path resolved = fs::canonical(path, fs::current_path(), missing);
                if (missing) {
                    // Name the file the link points at, which is what the user must look for.
                    const fs::path link(path);
                    target = fs::weakly_canonical(fs::absolute(fs::read_symlink(link),
                                                               fs::absolute(link).parent_path()))
                                 .string();
                    ZvLogStream(ZvLogLvl::Error) << link_signature << ": can't find file: " << target
                                                 << std::endl;
                    return 1;
                }
                target = resolved.string();
            } else {
                // A path that is no link names itself; a caller's earlier value must not
                // pass for its target.
                target = path;
            }
        } catch (const fs::filesystem_error& e) {
            ZvLogStream(ZvLogLvl::Error) << link_signature << ": boost::filesystem error" << e.what()
                                         << std::endl;
            return 1;
        }
    } else {
        const std::string command =
            over_ssh(host, std::string("/bin/readlink ") + (full ? "-f " : "") + shell_quote(path));
        std::string output;
        if (execute_command(command, output) != 0) {
            ZvLogStream(ZvLogLvl::Error) << link_signature << ": can't run readlink for " << path
                                         << std::endl;
            return 1;
        }
        target = without_line_feeds(output);
    }
    if (target.empty()) target = path;
    if (target != path)
        ZvLogStream(ZvLogLvl::Info) << "The path: '" << path << "' is a link to " << target
                                    << std::endl;
    return 0;
}

int get_target_device_path(const std::string& host, const std::string& deploy_id,
                           opennebula_device_info& info) {
    std::string virsh = "LANG=C /usr/bin/virsh";
    if (host != zv_utils_common::get_nodename()) {
        if (!fits_in_uri_authority(host)) {
            ZvLogStream(ZvLogLvl::Error) << target_signature << ": wrong host name: " << host
                                         << std::endl;
            return 1;
        }
        virsh += " -q -c " + shell_quote("qemu+ssh://root@" + host + "/system") + " -q";
    }
    virsh += " domblklist " + shell_quote(deploy_id);
    std::string output;
    if (execute_command(virsh, output) != 0) {
        detail::log_refused(target_signature, "can't get domblklist for " + info.target, virsh,
                            output);
        return 1;
    }
    const std::string source = domblklist_source(output, info.target);
    if (source.empty()) {
        ZvLogStream(ZvLogLvl::Error) << target_signature << ": unable to get source path for device: "
                                     << info.target << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Probably the following command failed: " << virsh
                                     << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Please make sure that all configurations settings "
                                     << "from Zelvor module instruction have been performed"
                                     << std::endl;
        return 1;
    }
    info.device_file = source;
    ZvLogStream(ZvLogLvl::Info) << "A VM device found, TM_MAD: " << tm_mad_to_str(info.tm_mad)
                                << ", target: " << info.target << ", device file: "
                                << info.device_file << std::endl;
    return 0;
}

int fill_backing_image_chain(const std::string& path, std::vector<std::string>& chain,
                             bool force_share, const std::string& host) {
    // A backing file that names a file already walked would repeat for ever.
    std::vector<std::string> walked;
    std::string current = path;
    for (;;) {
        std::string resolved;
        if (read_file_link(current, resolved, host, true) != 0) {
            ZvLogStream(ZvLogLvl::Error) << chain_signature << ": can't read link for file" << current
                                         << std::endl;
            return 1;
        }
        current = resolved;
        if (std::find(walked.begin(), walked.end(), current) != walked.end()) {
            ZvLogStream(ZvLogLvl::Error) << chain_signature
                                         << ": backing image chain loops back to " << current
                                         << std::endl;
            return 1;
        }
        walked.push_back(current);
        ZvLogStream(ZvLogLvl::Info) << "Adding to backing image chain: " << current << std::endl;
        chain.push_back(current);

        // Only qemu-img's own answer tells whether a file has a backing file: a
        // failure of qemu-img or of ssh must not pass for the end of the chain.
        const std::string info = qemu_img_info(current, force_share);
        const std::string command = host.empty() ? info : over_ssh(host, info);
        std::string output;
        if (execute_command(command, output) != 0) {
            detail::log_refused(chain_signature, "can't read the image of the backing chain: " + current,
                                command, output);
            return 1;
        }
        json::object image;
        const json::value* backing = nullptr;
        const bool parsed = parse_qemu_img_info(output, image);
        if (parsed) backing = image.if_contains("full-backing-filename");
        // Without a backing file qemu-img names none at all.
        if (parsed && !backing && !image.contains("backing-filename")) return 0;
        if (!backing || !backing->is_string() || backing->as_string().empty()) {
            ZvLogStream(ZvLogLvl::Error) << chain_signature << ": can't find backing filename"
                                         << std::endl;
            ZvLogStream(ZvLogLvl::Error) << "Command was: " << command << std::endl;
            ZvLogStream(ZvLogLvl::Error) << "Command output: " << output << std::endl;
            return 1;
        }
        current = std::string(backing->as_string());
    }
}

int get_image_virtual_size(const std::string& image, bool force_share, const std::string& host,
                           unsigned long long& size) {
    const std::string info = qemu_img_info(image, force_share);
    const std::string command =
        host == zv_utils_common::get_nodename() ? info : over_ssh(host, info);
    std::string output;
    if (!detail::run_tool(size_signature, command, detail::kFollowingCommandError, output)) return 1;
    json::object described;
    const json::value* virtual_size = nullptr;
    if (parse_qemu_img_info(output, described)) virtual_size = described.if_contains("virtual-size");
    if (!virtual_size || !(virtual_size->is_uint64() || virtual_size->is_int64()) ||
        (virtual_size->is_int64() && virtual_size->as_int64() < 0)) {
        ZvLogStream(ZvLogLvl::Error) << size_signature << ": got empty virtual size for image: "
                                     << image << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Command output: " << output << std::endl;
        return 1;
    }
    size = virtual_size->is_uint64() ? virtual_size->as_uint64()
                                     : static_cast<unsigned long long>(virtual_size->as_int64());
    return 0;
}

int get_temporary_disk_info(xmlDoc* const& doc, xmlNode* const& node, opennebula_device_info& info) {
    if (!has_name(node, "DISK")) {
        ZvLogStream(ZvLogLvl::Error) << temporary_signature << ": wrong XML node, expected 'DISK' info"
                                     << std::endl;
        return 1;
    }
    for (xmlNode* child = node->children; child; child = child->next) {
        if (has_name(child, "DISK_ID")) info.disk_id = element_text(doc, child);
        if (has_name(child, "SIZE")) info.size = megabytes_to_bytes(element_text(doc, child));
        if (has_name(child, "TARGET")) info.target = element_text(doc, child);
    }
    if (info.disk_id.empty()) {
        ZvLogStream(ZvLogLvl::Error) << temporary_signature << ": got empty disk_id string"
                                     << std::endl;
        return 1;
    }
    return 0;
}

int get_real_vm_path(const std::string& vm_id, std::string& path) {
    std::vector<std::string> base_paths;
    {
        detail::XmlDocument doc;
        if (!detail::query_tool(vm_path_signature, "/usr/bin/onedatastore list -x",
                                detail::kCommandThenOutput, "DATASTORE_POOL", doc))
            return 1;
        for (xmlNode* ds = doc.root()->children; ds; ds = ds->next) {
            if (!has_name(ds, "DATASTORE")) continue;
            const xmlNode* type = first_child(ds, "TYPE");
            const int ds_type = type ? std::stoi(element_text(doc.get(), type)) : 0;
            const std::string base = element_text(doc.get(), first_child(ds, "BASE_PATH"));
            if (ds_type == DATASTORE_TYPE_SYSTEM) base_paths.push_back(base);
        }
    }

    std::string host, deploy_id;
    if (get_VM_workplace(vm_id, host, deploy_id) != 0) {
        ZvLogStream(ZvLogLvl::Error) << vm_path_signature << ": can't get workplace for VM: " << vm_id
                                     << std::endl;
        return 1;
    }
    const bool here = host == zv_utils_common::get_nodename();
    for (std::string base : base_paths) {
        boost::algorithm::replace_all(base, "//", "/");
        const std::string candidate = base + "/" + vm_id;
        ZvLogStream(ZvLogLvl::Info) << "Trying to find path for VM '" << vm_id << "' here: "
                                    << candidate << " ... " << std::endl;
        bool found = false;
        if (!here) {
            std::string ignored;
            found = execute_command(over_ssh(host, "test -d " + shell_quote(candidate)), ignored) == 0;
        } else {
            try {
                found = fs::is_directory(candidate);
            } catch (const fs::filesystem_error& e) {
                ZvLogStream(ZvLogLvl::Error) << vm_path_signature << ": boost::filesystem: "
                                             << e.what() << std::endl;
                return 1;
            }
        }
        if (found) {
            path = candidate;
            ZvLogStream(ZvLogLvl::Info) << "Success" << std::endl;
            return 0;
        }
        ZvLogStream(ZvLogLvl::Info) << "not found" << std::endl;
    }
    ZvLogStream(ZvLogLvl::Error) << vm_path_signature << ": couldn't find real path to VM: " << vm_id
                                 << ". Please check VM configuration and VM's files placement"
                                 << std::endl;
    return 1;
}

namespace {

// One DISK element of "onevm show", read into a record in the passes the
// transfer drivers need: the driver and kind first, as later children depend on them.
class DiskReader {
public:
    DiskReader(xmlDoc* doc, const std::string& vm_id, const std::string& host,
               const std::string& deploy_id, bool force_share, bool live, bool ceph_allowed)
        : doc_(doc), vm_id_(vm_id), host_(host), deploy_id_(deploy_id),
          force_share_(force_share), live_(live), ceph_allowed_(ceph_allowed) {}

    // 0: `info` is to be appended, 1: failure, 2: the disk is skipped.
    int read(xmlNode* disk, opennebula_device_info& info) {
        for (xmlNode* child = disk->children; child; child = child->next)
            if (has_name(child, "TM_MAD") && !read_tm_mad(element_text(doc_, child), info)) return 1;
        for (xmlNode* child = disk->children; child; child = child->next)
            if (has_name(child, "TYPE") && !read_device(element_text(doc_, child), info)) return 1;
        if (static_cast<int>(info.device) == volatile_disk) return read_volatile(disk, info);
        for (xmlNode* child = disk->children; child; child = child->next)
            if (has_name(child, "PERSISTENT") && element_text(doc_, child) == "YES")
                info.persistent = true;
        for (xmlNode* child = disk->children; child; child = child->next) {
            if (has_name(child, "DISK_ID") && !read_disk_id(element_text(doc_, child), info)) return 1;
            if (has_name(child, "SIZE")) info.size = megabytes_to_bytes(element_text(doc_, child));
            if (has_name(child, "SOURCE") && !read_source(element_text(doc_, child), info)) return 1;
            if (has_name(child, "TARGET") && !read_target(element_text(doc_, child), info)) return 1;
            if (has_name(child, "DISK_TYPE") && !read_disk_type(element_text(doc_, child), info))
                return 1;
            if (has_name(child, "IMAGE_ID")) info.image_id = element_text(doc_, child);
        }
        if (info.tm_mad == TM_MAD_CEPH && !live_) {
            // The Ceph image to save is named by SOURCE alone; without it the chain
            // would name an image that does not exist.
            if (info.source.empty()) {
                fail("Ceph disk without SOURCE: " + info.disk_id);
                return 1;
            }
            std::string image = info.source;
            if (!info.persistent) image += "-" + vm_id_ + "-" + info.disk_id;
            info.backing_chain.push_back(image);
        }
        return 0;
    }

private:
    static constexpr int volatile_disk = 5;

    bool fail(const std::string& message) const {
        ZvLogStream(ZvLogLvl::Error) << load_signature << ": " << message << std::endl;
        return false;
    }

    bool read_tm_mad(const std::string& text, opennebula_device_info& info) const {
        const TM_MAD_TYPE tm_mad = tm_mad_from_str(text);
        switch (tm_mad) {
            case TM_MAD_CEPH:
                if (!ceph_allowed_)
                    return fail(std::string("module doesn't support Ceph RADOS block devices: ") +
                                "required qemu version at least 2.11");
                [[fallthrough]];
            case TM_MAD_QCOW2:
            case TM_MAD_FS_LVM:
            case TM_MAD_LVM_LVM:
            case TM_MAD_SHARED:
                info.tm_mad = tm_mad;
                return true;
            case TM_MAD_LVM_THIN:
            case TM_MAD_SSH:
            case TM_MAD_DEV:
            case TM_MAD_ISCSI:
                return fail("zv_module_kemlo_vm does not yet support TM_MAD: " + text);
            case TM_MAD_NONE:
                break;
        }
        return fail("unsupported TM_MAD value: " + text);
    }

    bool read_device(const std::string& text, opennebula_device_info& info) const {
        if (text == "FILE" || text == "BLOCK" || text == "RBD")
            info.device = kvm_device_type::disk;
        else if (text == "CDROM" || text == "RBD_CDROM")
            info.device = kvm_device_type::cdrom;
        else if (text == "fs" || text == "swap")
            info.device = static_cast<kvm_device_type>(volatile_disk);
        else
            return fail("unsupported type: " + text);
        return true;
    }

    bool read_disk_type(const std::string& text, opennebula_device_info& info) const {
        if (text == "FILE" || text == "CDROM")
            info.type = kvm_disk_type::file;
        else if (text == "BLOCK")
            info.type = kvm_disk_type::block;
        else if (text == "RBD")
            info.type = kvm_disk_type::network;
        else
            return fail("unsupported disk type: " + text);
        return true;
    }

    int read_volatile(xmlNode* disk, opennebula_device_info& info) const {
        if (live_) {
            if (get_temporary_disk_info(doc_, disk, info) != 0) {
                fail("can't get the temporary disk info");
                return 1;
            }
            if (get_target_device_path(host_, deploy_id_, info) != 0) return 1;
        }
        ZvLogStream(ZvLogLvl::Info) << "The found disk is temporary (type: fs) - "
                                    << "it won't be added to the backup" << std::endl;
        return live_ ? 0 : 2;
    }

    // The disk file in the VM's directory, "disk." and the disk id.
    bool vm_disk_path(const std::string& disk_id, std::string& path) const {
        std::string dir;
        if (get_real_vm_path(vm_id_, dir) != 0) return fail("can't get real VM disk path: " + vm_id_);
        ZvLogStream(ZvLogLvl::Info) << "VM disk path: " << dir << std::endl;
        path = dir + "/disk." + disk_id;
        return true;
    }

    bool read_disk_id(const std::string& text, opennebula_device_info& info) const {
        info.disk_id = text;
        if (info.tm_mad == TM_MAD_NONE) return fail("unsupported TM_MAD type: -1");
        if (live_) return true;
        std::string path;
        switch (info.tm_mad) {
            case TM_MAD_QCOW2:
            case TM_MAD_SHARED:
                if (!vm_disk_path(text, path)) return false;
                ZvLogStream(ZvLogLvl::Info) << "Disk found: " << path << std::endl;
                return fill_backing_image_chain(path, info.backing_chain, force_share_, "") == 0;
            case TM_MAD_FS_LVM:
            case TM_MAD_LVM_LVM: {
                if (!vm_disk_path(text, path)) return false;
                ZvLogStream(ZvLogLvl::Info) << "LVM disk found: " << path << std::endl;
                std::string link;
                if (read_file_link(path, link, host_, false) != 0) return false;
                info.backing_chain.push_back(link);
                return true;
            }
            default:
                return true;
        }
    }

    bool read_source(const std::string& text, opennebula_device_info& info) const {
        info.source = text;
        switch (info.tm_mad) {
            case TM_MAD_NONE:
                return fail("unsupported TM_MAD type: -1");
            case TM_MAD_QCOW2:
            case TM_MAD_LVM_LVM:
            case TM_MAD_SHARED: {
                std::string resolved;
                if (read_file_link(info.source, resolved, "", true) != 0) return false;
                info.source = resolved;
                if (info.persistent)
                    ZvLogStream(ZvLogLvl::Info) << "The disk is persistent, source: : " << info.source
                                                << std::endl;
                return true;
            }
            case TM_MAD_FS_LVM:
                if (!live_) {
                    info.device_file = info.source;
                    info.backing_chain.push_back(info.source);
                }
                return true;
            default:
                return true;
        }
    }

    bool read_target(const std::string& text, opennebula_device_info& info) const {
        info.target = text;
        if (info.tm_mad == TM_MAD_NONE)
            return fail("unsupported TM_MAD type: " + tm_mad_to_str(TM_MAD_NONE));
        if (!live_) return true;
        switch (info.tm_mad) {
            case TM_MAD_QCOW2:
            case TM_MAD_SHARED:
                return get_target_device_path(host_, deploy_id_, info) == 0 &&
                       fill_backing_image_chain(info.device_file, info.backing_chain, force_share_,
                                                host_) == 0;
            case TM_MAD_CEPH:
                if (get_target_device_path(host_, deploy_id_, info) != 0) return false;
                info.backing_chain.push_back(info.device_file);
                return true;
            case TM_MAD_LVM_LVM: {
                if (get_target_device_path(host_, deploy_id_, info) != 0) return false;
                std::string link;
                if (read_file_link(info.device_file, link, host_, false) != 0) return false;
                info.backing_chain.push_back(link);
                return true;
            }
            default:
                return true;
        }
    }

    xmlDoc* doc_;
    const std::string& vm_id_;
    const std::string& host_;
    const std::string& deploy_id_;
    bool force_share_, live_, ceph_allowed_;
};

}  // namespace

int load_VM_devices(const std::string& vm_id, std::vector<opennebula_device_info>& devices,
                    bool force_share, bool live, bool ceph_allowed) {
    return detail::logging_exceptions(load_signature, 1, [&] {
        std::string host;
        if (get_VM_host(vm_id, host) != 0) {
            ZvLogStream(ZvLogLvl::Error) << load_signature
                                         << ": can't get the hostname where VM resides" << std::endl;
            return 1;
        }
        detail::XmlDocument doc;
        if (!detail::show_vm_document(load_signature, vm_id, doc)) return 1;

        const std::string deploy_id = element_text(doc.get(), first_child(doc.root(), "DEPLOY_ID"));
        DiskReader reader(doc.get(), vm_id, host, deploy_id, force_share, live, ceph_allowed);
        for (xmlNode* tmpl = doc.root()->children; tmpl; tmpl = tmpl->next) {
            if (!has_name(tmpl, "TEMPLATE")) continue;
            for (xmlNode* disk = tmpl->children; disk; disk = disk->next) {
                if (!has_name(disk, "DISK")) continue;
                opennebula_device_info info;
                const int result = reader.read(disk, info);
                if (result == 1) return 1;
                if (result == 0) devices.push_back(std::move(info));
            }
        }
        return 0;
    });
}

int get_vm_rbd_disks(const std::string& vm_id, std::vector<RBD_disk>& disks) {
    const std::string command = detail::vm_show_command(vm_id);
    ZvLogStream(ZvLogLvl::Info) << "Run command: '" << command << "'" << std::endl;
    std::string output;
    if (!detail::run_tool(rbd_signature, command, detail::kFollowingCommandError, output)) return 1;
    detail::XmlDocument doc;
    if (!detail::parse_and_check_root(rbd_signature, output, "VM", doc, nullptr, ": ")) return 1;
    const std::string ceph = tm_mad_to_str(TM_MAD_CEPH);
    for (xmlNode* tmpl = doc.root()->children; tmpl; tmpl = tmpl->next) {
        if (!has_name(tmpl, "TEMPLATE")) continue;
        for (xmlNode* disk = tmpl->children; disk; disk = disk->next) {
            if (!has_name(disk, "DISK")) continue;
            std::string disk_id, source, target;
            bool is_ceph = false, is_cdrom = false;
            for (xmlNode* child = disk->children; child; child = child->next) {
                if (has_name(child, "DISK_ID")) disk_id = element_text(doc.get(), child);
                if (has_name(child, "SOURCE")) source = element_text(doc.get(), child);
                if (has_name(child, "TARGET")) target = element_text(doc.get(), child);
                if (has_name(child, "TM_MAD")) is_ceph = element_text(doc.get(), child) == ceph;
                if (has_name(child, "TYPE")) is_cdrom = element_text(doc.get(), child) == "RBD_CDROM";
            }
            if (!is_ceph || is_cdrom) continue;
            // The image id follows "one/one-"; a SOURCE that ends there or before
            // names no image.
            constexpr std::size_t id_start = 8;
            if (source.size() <= id_start) {
                ZvLogStream(ZvLogLvl::Error)
                    << rbd_signature << ": Ceph disk " << disk_id << " of VM " << vm_id
                    << (source.empty() ? " has no SOURCE" : " has a SOURCE that names no image: " + source)
                    << std::endl;
                return 1;
            }
            RBD_disk rbd;
            rbd.image_id = source.substr(id_start);
            rbd.vm_id = vm_id;
            rbd.disk_id = disk_id;
            rbd.target = target;
            disks.push_back(std::move(rbd));
        }
    }
    return 0;
}

RBD_disk fill_rbd_disk_struct_from_target(const std::string& name, const std::string& target) {
    std::istringstream fields(name.substr(4));  // after "one-"
    RBD_disk disk;
    std::getline(fields, disk.image_id, '-');
    std::getline(fields, disk.vm_id, '-');
    std::getline(fields, disk.disk_id, '-');
    disk.target = target;
    return disk;
}

int parse_rbd_disk_name(const std::string& path, std::string& name) {
    const std::size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos) return 0;
    name = name.substr(dot + 1);
    return 1;
}

}  // namespace zv_opennebula_common
