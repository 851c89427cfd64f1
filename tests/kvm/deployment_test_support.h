// Shared by the restore-deployment tests (unit and libvirt): a KVM module set up
// as a restore run would leave it before `deployment`, and a restore directory
// filled the way the archiver's restore fills it: target_list, <resource>.xml and
// one image per disk named by its target.
#pragma once

#include "kvm/zv_module_kvm.h"
#include "support/scratch_dir.h"
#include "support/xml_escape.h"

#include <boost/filesystem.hpp>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace deploy_test {

namespace fs = boost::filesystem;

class DeployModule : public ZvModuleKvm {
public:
    explicit DeployModule(const fs::path& restore_directory)
        : ZvModuleKvm(restore_options(restore_directory)) {
        last = true;
    }
    using ZvModuleKvm::domain_name_counter;
    using ZvModuleKvm::last;
    using ZvModuleKvm::options_;
    using ZvModuleKvm::remove_tmp_operation_directory;

private:
    static ZvModuleOptions restore_options(const fs::path& directory) {
        ZvModuleOptions options;
        options.operation = ZvModuleOperations::Restore;
        options.tmp_operation_directory = directory.string();
        return options;
    }
};

using zv_test::read_file;
using zv_test::ScratchDir;
using zv_test::write_file;

// A file of `size` bytes that holds `data` at each offset and holes elsewhere.
inline void write_sparse_file(const fs::path& path, std::uintmax_t size,
                              const std::vector<std::pair<std::uintmax_t, std::string>>& data) {
    fs::create_directories(path.parent_path());
    {
        std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
        for (const auto& piece : data) {
            out.seekp(static_cast<std::streamoff>(piece.first));
            out << piece.second;
        }
    }
    fs::resize_file(path, size);
}

inline long long allocated_blocks(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_blocks) : -1;
}

// The restore directory as the archiver leaves it for a backed-up resource.
struct RestoreDirectory {
    fs::path path;
    std::string resource;

    fs::path xml() const { return path / (resource + ".xml"); }
    fs::path image(const std::string& target) const { return path / target; }

    // target_list: "UUID <resource>", then "<target> <source>" per saved disk.
    void write_target_list(const std::vector<std::pair<std::string, std::string>>& disks) const {
        std::string text = "UUID " + resource + "\n";
        for (const auto& disk : disks) text += disk.first + " " + disk.second + "\n";
        write_file(path / "target_list", text);
    }
};

// What a test reads back from a domain XML.
struct DomainXml {
    bool parsed = false;
    std::string name;
    bool has_uuid = false;
    std::string uuid;
    std::vector<std::pair<std::string, std::string>> disk_files;  // (target, source file)
};

inline DomainXml read_domain_xml(const std::string& text) {
    DomainXml result;
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), "domain.xml", nullptr, 0), xmlFreeDoc);
    if (!doc) return result;
    result.parsed = true;
    auto is = [](xmlNodePtr node, const char* name) {
        return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
    };
    auto text_of = [&](xmlNodePtr node) {
        xmlChar* value = xmlNodeListGetString(doc.get(), node->children, 1);
        std::string s = value ? reinterpret_cast<const char*>(value) : "";
        xmlFree(value);
        return s;
    };
    auto prop = [](xmlNodePtr node, const char* name) {
        xmlChar* value = xmlGetProp(node, BAD_CAST name);
        std::string s = value ? reinterpret_cast<const char*>(value) : "";
        xmlFree(value);
        return s;
    };
    for (xmlNodePtr child = xmlDocGetRootElement(doc.get())->children; child; child = child->next) {
        if (is(child, "name")) result.name = text_of(child);
        if (is(child, "uuid")) {
            result.has_uuid = true;
            result.uuid = text_of(child);
        }
        if (!is(child, "devices")) continue;
        for (xmlNodePtr disk = child->children; disk; disk = disk->next) {
            if (!is(disk, "disk")) continue;
            std::string target, file;
            for (xmlNodePtr item = disk->children; item; item = item->next) {
                if (is(item, "target")) target = prop(item, "dev");
                if (is(item, "source")) file = prop(item, "file");
            }
            result.disk_files.emplace_back(target, file);
        }
    }
    return result;
}

using zv_test::xml_escape;

struct XmlDisk {
    std::string type = "file";    // file, block, network ...
    std::string device = "disk";  // disk, cdrom, lun, floppy
    std::string target;
    std::string source;           // file path, device path or RBD name; empty: none
    std::string format = "qcow2";
};

// A domain definition of the kind `virsh dumpxml` writes, small enough to define
// without booting (nothing checks the images before a start).
inline std::string domain_xml(const std::string& name, const std::vector<XmlDisk>& disks,
                              const std::string& uuid = "",
                              const std::string& domain_type = "qemu") {
    std::string xml = "<domain type='" + domain_type + "'>\n  <name>" + xml_escape(name) + "</name>\n";
    if (!uuid.empty()) xml += "  <uuid>" + uuid + "</uuid>\n";
    xml +=
        "  <memory unit='KiB'>65536</memory>\n"
        "  <vcpu>1</vcpu>\n"
        "  <os><type arch='x86_64'>hvm</type></os>\n"
        "  <devices>\n";
    for (const auto& disk : disks) {
        xml += "    <disk type='" + disk.type + "' device='" + disk.device + "'>\n";
        xml += "      <driver name='qemu' type='" + disk.format + "'/>\n";
        if (!disk.source.empty()) {
            const char* attribute = disk.type == "block" ? "dev" : disk.type == "network" ? "name" : "file";
            xml += std::string("      <source ") + attribute + "='" + xml_escape(disk.source) + "'";
            xml += disk.type == "network" ? " protocol='rbd'/>\n" : "/>\n";
        }
        const std::string bus = disk.device == "cdrom" ? "sata" : disk.device == "lun" ? "scsi" : "virtio";
        xml += "      <target dev='" + disk.target + "' bus='" + bus + "'/>\n";
        if (disk.device == "cdrom") xml += "      <readonly/>\n";
        xml += "    </disk>\n";
    }
    xml += "  </devices>\n</domain>\n";
    return xml;
}

}  // namespace deploy_test
