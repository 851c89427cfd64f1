// Snapshot overlays that outlive the run that made them: an overlay an earlier
// backup left as a disk's active source (its process was killed, its merge
// failed), and the overlays of a domain that stopped while it was backed up. A
// running domain merges them with a block commit; a stopped one has no block jobs,
// so each overlay is committed by qemu-img and the definition is put back on its
// own images.
#include "kvm/zv_module_kvm.h"
#include "kvm/kvm_log.h"
#include "kvm/kvm_virsh.h"
#include "kvm/kvm_xml.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>
#include <boost/json.hpp>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>

namespace fs = boost::filesystem;
namespace json = boost::json;
using kvm_xml::named;
using kvm_xml::property;
using zv_utils_common::shell_quote;

namespace {

const char* const leftover_signature = "bool ZvModuleKvm::merge_leftover_overlays(const string&)";
const char* const in_use_signature = "bool ZvModuleKvm::overlays_in_use(const string&, const string&, ...)";
const char* const offline_signature = "bool ZvModuleKvm::merge_overlays_offline(const string&, ...)";

xmlNodePtr child_named(xmlNodePtr node, const char* name) {
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next)
        if (named(child, name)) return child;
    return nullptr;
}

// A private file for a definition: it holds the console passwords.
std::string private_temporary_file() {
    const fs::path path = fs::temp_directory_path() / fs::unique_path("zv-kvm-%%%%-%%%%-%%%%.xml");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("can't create " + path.string());
    ::close(fd);
    return path.string();
}

}  // namespace

bool ZvModuleKvm::is_own_overlay_name(const std::string& source, const std::string& target) {
    const std::string name = fs::path(source).filename().string();
    const std::string tail = ".snapshot." + target + ".qcow2";
    return name.size() > tail.size() && boost::algorithm::ends_with(name, tail);
}

bool ZvModuleKvm::overlay_backing(const std::string& overlay, std::string& backing,
                                  std::string& format) {
    backing.clear();
    format.clear();
    const std::string command = std::string("/usr/bin/qemu-img") +
                                (qemu_img_force_share ? " info --force-share " : " info ") +
                                shell_quote(overlay) + " --output=json";
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) return false;
    boost::system::error_code ec;
    const json::value info = json::parse(output, ec);
    if (ec || !info.is_object()) return false;
    const json::object& object = info.as_object();
    const json::value* full = object.if_contains("full-backing-filename");
    if (full == nullptr) full = object.if_contains("backing-filename");
    if (full == nullptr || !full->is_string() || full->as_string().empty()) return false;
    backing = std::string(full->as_string());
    if (const json::value* f = object.if_contains("backing-filename-format"); f && f->is_string())
        format = std::string(f->as_string());
    return true;
}

bool ZvModuleKvm::domain_shut_off(const std::string& domain, bool& exists) {
    exists = true;
    std::string output;
    if (zv_utils_common::execute_command(virsh_command("-q domstate " + shell_quote(domain)),
                                         output) != 0) {
        exists = false;
        return true;
    }
    output.erase(std::remove(output.begin(), output.end(), '\n'), output.end());
    return output == "shut off";
}

bool ZvModuleKvm::overlays_in_use(const std::string& domain, const std::string& snapshot_name,
                                  std::vector<overlay_on_disk>& overlays) {
    overlays.clear();
    const std::string command = virsh_command("-q domblklist --details " + shell_quote(domain));
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << in_use_signature << ": Command " << command << std::endl;
        ZvLogStream(ZvLogLvl::Error) << output << std::endl;
        return false;
    }
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        kvm_device_info device;
        bool empty = false;
        if (!parse_block_device_line(line, device, empty) || empty) continue;
        if (device.device != kvm_device_type::disk || device.type != kvm_disk_type::file) continue;
        const bool named = snapshot_name.empty()
                               ? is_own_overlay_name(device.source, device.target)
                               : fs::path(device.source).filename().string() ==
                                     snapshot_name + ".snapshot." + device.target + ".qcow2";
        overlay_on_disk overlay{device.target, device.source, "", ""};
        // Only an overlay, over the image it was taken from, is this module's.
        if (named && overlay_backing(device.source, overlay.image, overlay.format)) overlays.push_back(overlay);
    }
    return true;
}

bool ZvModuleKvm::merge_leftover_overlays(const std::string& domain) {
    std::vector<overlay_on_disk> leftovers;
    if (!overlays_in_use(domain, "", leftovers)) return false;
    for (const auto& leftover : leftovers)
        ZvLogStream(ZvLogLvl::Warning) << "VM " << domain << " writes disk " << leftover.target
                                       << " into the overlay " << leftover.overlay
                                       << " that an earlier backup left behind: merge it back into "
                                       << leftover.image << std::endl;
    if (leftovers.empty()) return true;

    if (!vm_online) return merge_overlays_offline(domain, leftovers);
    for (const auto& leftover : leftovers) {
        // A run killed between its commit and the pivot leaves the job running, and
        // libvirt refuses a second one on the disk: that job is finished instead.
        std::string info;
        const bool started = block_commit_running(domain, leftover.target, info);
        if (started)
            ZvLogStream(ZvLogLvl::Info) << "The merge of disk " << leftover.target
                                        << " that an earlier backup started still runs: pivot it"
                                        << std::endl;
        std::string merged;
        if (!merge_active_overlay(domain, leftover.target, merged, started)) {
            ZvLogStream(ZvLogLvl::Error) << leftover_signature << ": no backup is made from VM " << domain
                                         << " while its disk " << leftover.target
                                         << " writes into an overlay: " << merged << std::endl;
            log_unmerged_overlay(domain, leftover.target, leftover.overlay, leftover.image);
            return false;
        }
        ZvLogStream(ZvLogLvl::Info) << "Blockcommited: " << leftover.target << std::endl;
        remove_obsoleted_file(leftover.overlay);
    }
    return true;
}

bool ZvModuleKvm::merge_overlays_offline(const std::string& domain,
                                         std::vector<overlay_on_disk> overlays) {
    auto tell_how = [&](const overlay_on_disk& overlay) {
        ZvLogStream(ZvLogLvl::Error)
            << "The overlay " << overlay.overlay << " of disk " << overlay.target << " of VM " << domain
            << " was not merged into " << (overlay.image.empty() ? "its backing file" : overlay.image)
            << " and VM is shut off. Merge it with: /usr/bin/qemu-img commit "
            << shell_quote(overlay.overlay) << ", then let disk " << overlay.target << " use "
            << (overlay.image.empty() ? "that file" : shell_quote(overlay.image))
            << " again: /usr/bin/virsh edit " << shell_quote(domain) << std::endl;
    };

    // The data first: once every overlay is committed, the definition may still
    // name an overlay (now empty over its image) without anything being lost.
    for (auto& overlay : overlays) {
        if (overlay.image.empty() && !overlay_backing(overlay.overlay, overlay.image, overlay.format)) {
            ZvLogStream(ZvLogLvl::Error) << offline_signature << ": can't read the backing file of "
                                         << overlay.overlay << std::endl;
            tell_how(overlay);
            return false;
        }
        ZvLogStream(ZvLogLvl::Info) << "VM " << domain << " is shut off: commit " << overlay.overlay
                                    << " into " << overlay.image << std::endl;
        const std::string command = "/usr/bin/qemu-img commit -q " + shell_quote(overlay.overlay);
        std::string output;
        if (zv_utils_common::execute_command(command, output) != 0) {
            ZvLogStream(ZvLogLvl::Error) << offline_signature << ": Can't commit " << overlay.overlay
                                         << std::endl;
            log_failed_command(ZvLogLvl::Error, command, output);
            tell_how(overlay);
            return false;
        }
    }

    bool exists = true;
    domain_shut_off(domain, exists);
    if (exists && !define_on_own_images(domain, overlays)) {
        for (const auto& overlay : overlays) tell_how(overlay);
        return false;
    }
    for (const auto& overlay : overlays) {
        ZvLogStream(ZvLogLvl::Info) << "Merged offline: " << overlay.target << std::endl;
        remove_obsoleted_file(overlay.overlay);
    }
    return true;
}

bool ZvModuleKvm::define_on_own_images(const std::string& domain,
                                       const std::vector<overlay_on_disk>& overlays) {
    std::string xml_path;
    struct Remove {
        std::string& path;
        ~Remove() {
            boost::system::error_code ec;
            if (!path.empty()) fs::remove(path, ec);
        }
    } remove_file{xml_path};
    xml_path = private_temporary_file();

    const std::string dump =
        virsh_command("dumpxml --inactive --security-info " + shell_quote(domain)) + " > " + shell_quote(xml_path);
    std::string output;
    if (zv_utils_common::execute_command(dump, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << offline_signature << ": can't read the definition of VM "
                                     << domain << std::endl;
        log_failed_command(ZvLogLvl::Error, dump, output);
        return false;
    }
    std::string fault;
    if (!saved_domain_xml_is_whole(xml_path, domain, fault)) {
        ZvLogStream(ZvLogLvl::Error) << offline_signature << ": the definition of VM " << domain << " "
                                     << fault << std::endl;
        return false;
    }
    xmlDocPtr parsed = xmlReadFile(xml_path.c_str(), nullptr, XML_PARSE_NONET);
    if (parsed == nullptr) return false;
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(parsed, xmlFreeDoc);
    const xmlNodePtr devices = child_named(xmlDocGetRootElement(doc.get()), "devices");
    bool changed = false;
    for (xmlNodePtr disk = devices ? devices->children : nullptr; disk != nullptr; disk = disk->next) {
        if (!named(disk, "disk")) continue;
        const xmlNodePtr target = child_named(disk, "target");
        const xmlNodePtr source = child_named(disk, "source");
        if (target == nullptr || source == nullptr) continue;
        const std::string dev = property(target, "dev"), file = property(source, "file");
        const auto overlay = std::find_if(overlays.begin(), overlays.end(), [&](const overlay_on_disk& o) {
            return o.target == dev && o.overlay == file;
        });
        if (overlay == overlays.end()) continue;
        xmlSetProp(source, BAD_CAST "file", BAD_CAST overlay->image.c_str());
        // The overlay's chain and format no longer apply: the image is what it was.
        while (xmlNodePtr chain = child_named(disk, "backingStore")) {
            xmlUnlinkNode(chain);
            xmlFreeNode(chain);
        }
        if (xmlNodePtr driver = child_named(disk, "driver"); driver && !overlay->format.empty())
            xmlSetProp(driver, BAD_CAST "type", BAD_CAST overlay->format.c_str());
        changed = true;
    }
    if (!changed) return true;  // the definition names no overlay any more
    if (xmlSaveFile(xml_path.c_str(), doc.get()) < 0) {
        ZvLogStream(ZvLogLvl::Error) << offline_signature << ": Can't save: " << xml_path << std::endl;
        return false;
    }
    const std::string define = virsh_command("define " + shell_quote(xml_path));
    if (zv_utils_common::execute_command(define, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << offline_signature << ": can't define VM " << domain
                                     << " on its own images again" << std::endl;
        log_failed_command(ZvLogLvl::Error, define, output);
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "VM " << domain << " is defined on its own images again" << std::endl;
    return true;
}
