// The VM restore document: written from the live VM, edited before the VM is
// created again (name, CD-ROM disks, images) and read back (name, images, sizes,
// the system datastore's driver). Also the document-file frame that the template
// and image documents share.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_document_file.h"

#include "common/zv_logger.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zv_opennebula_common {

namespace detail {

bool open_document_file(const char* signature, const std::string& path, const char* root,
                        XmlDocument& doc, const DocumentFileMessages& messages) {
    doc.out() = xmlParseFile(path.c_str());
    if (!doc.get()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": " << messages.not_parsed << path << std::endl;
        return false;
    }
    if (!doc.root()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": " << messages.empty << path << std::endl;
        return false;
    }
    if (!has_name(doc.root(), root)) {
        ZvLogStream line(ZvLogLvl::Error);
        line << signature << ": ";
        if (messages.wrong_type)
            line << messages.wrong_type;
        else
            line << "document of the wrong type, root node != " << root << ": ";
        if (messages.wrong_type_names_path) line << path;
        line << std::endl;
        return false;
    }
    return true;
}

// The document goes to a scratch file beside `path` that then replaces it, so a
// failed write leaves the earlier document whole.
bool save_document_file(const char* signature, const std::string& path, xmlDoc* doc) {
    std::string scratch = path + ".XXXXXX";
    const int fd = mkstemp(&scratch[0]);
    bool saved = false;
    if (fd >= 0) {
        close(fd);
        saved = xmlSaveFormatFile(scratch.c_str(), doc, 1) != -1 &&
                std::rename(scratch.c_str(), path.c_str()) == 0;
        if (!saved) std::remove(scratch.c_str());
    }
    if (!saved)
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't save: " << path << std::endl;
    return saved;
}

void remove_node(xmlNode* node) {
    xmlUnlinkNode(node);
    xmlFreeNode(node);
}

void set_text(xmlNode* node, const std::string& text) {
    xmlNodeSetContent(node, nullptr);
    xmlNodeAddContent(node, reinterpret_cast<const xmlChar*>(text.c_str()));
}

bool save_with_root_and_name(const char* signature, const std::string& path, xmlDoc* doc,
                             xmlNode* tmpl, const std::string& name) {
    // The element that held TEMPLATE leaves the document and is ours to free.
    xmlNode* old_root = xmlDocSetRootElement(doc, tmpl);
    if (old_root) xmlFreeNode(old_root);
    if (!xmlNewTextChild(tmpl, nullptr, reinterpret_cast<const xmlChar*>("NAME"),
                         reinterpret_cast<const xmlChar*>(name.c_str()))) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't add template new name in XML structure"
                                     << std::endl;
        return false;
    }
    return save_document_file(signature, path, doc);
}

namespace {

// The NAME child of an opened TEMPLATE document file, or nullptr after logging `missing`.
xmlNode* document_name(const char* signature, const std::string& path, const char* missing,
                       XmlDocument& doc) {
    if (!open_document_file(signature, path, "TEMPLATE", doc)) return nullptr;
    xmlNode* name_node = first_child(doc.root(), "NAME");
    if (!name_node)
        ZvLogStream(ZvLogLvl::Error) << signature << ": " << missing << path << std::endl;
    return name_node;
}

}  // namespace

bool read_document_name(const char* signature, const std::string& path, const char* missing,
                        std::string& name) {
    XmlDocument doc;
    const xmlNode* name_node = document_name(signature, path, missing, doc);
    if (!name_node) return false;
    name = element_text(doc.get(), name_node);
    return true;
}

bool write_document_name(const char* signature, const std::string& path, const char* missing,
                         const std::string& name) {
    XmlDocument doc;
    xmlNode* name_node = document_name(signature, path, missing, doc);
    if (!name_node) return false;
    set_text(name_node, name);
    return save_document_file(signature, path, doc.get());
}

}  // namespace detail

namespace {

std::string first_type(xmlDoc* doc, const xmlNode* disk) {
    return element_text(doc, first_child(disk, "TYPE"));
}

// Leaves out of a VM's TEMPLATE what must not follow the VM to its new life:
// volatile disks, the console port, a boot order other than the first disk, and
// the NIC addresses OpenNebula hands out again.
void strip_vm_template(xmlDoc* doc, xmlNode* tmpl) {
    for (xmlNode* child = tmpl->children, *next = nullptr; child; child = next) {
        next = child->next;
        if (has_name(child, "DISK")) {
            if (first_type(doc, child) == "fs") detail::remove_node(child);
        } else if (has_name(child, "GRAPHICS")) {
            for (xmlNode* port = child->children, *after = nullptr; port; port = after) {
                after = port->next;
                if (has_name(port, "PORT")) detail::remove_node(port);
            }
        } else if (has_name(child, "OS")) {
            for (xmlNode* boot = child->children, *after = nullptr; boot; boot = after) {
                after = boot->next;
                if (has_name(boot, "BOOT") && element_text(doc, boot) != "disk0")
                    detail::remove_node(boot);
            }
        } else if (has_name(child, "NIC")) {
            for (xmlNode* item = child->children, *after = nullptr; item; item = after) {
                after = item->next;
                for (const char* name : {"MAC", "IP", "IP6", "IP6_GLOBAL", "IP6_LINK", "IP6_ULA"})
                    if (has_name(item, name)) {
                        detail::remove_node(item);
                        break;
                    }
            }
        }
    }
}

}  // namespace

int create_vm_xml(const std::string& vm_id, const std::string& document_path,
                  const std::string& new_name) {
    static const char* const signature =
        "int zv_opennebula_common::create_vm_xml(const string&, const string&, const string&)";
    return detail::logging_exceptions(signature, 1, [&] {
        detail::XmlDocument doc;
        if (!detail::show_vm_document(signature, vm_id, doc)) return 1;

        std::string current_name;
        xmlNode* tmpl = doc.root()->children;
        for (; tmpl && !has_name(tmpl, "TEMPLATE"); tmpl = tmpl->next) {
            if (has_name(tmpl, "ID"))
                ZvLogStream(ZvLogLvl::Info) << "Virtual machine ID: " << element_text(doc.get(), tmpl)
                                            << std::endl;
            if (has_name(tmpl, "NAME")) current_name += element_text(doc.get(), tmpl);
        }
        if (!tmpl) {
            // Without a TEMPLATE there is nothing to re-create the VM from.
            ZvLogStream(ZvLogLvl::Error) << signature << ": no TEMPLATE in the description of VM: "
                                         << vm_id << std::endl;
            return 1;
        }
        strip_vm_template(doc.get(), tmpl);
        const std::string name = new_name.empty() ? current_name : new_name;
        ZvLogStream(ZvLogLvl::Info) << "VM will be restored with the name: " << name << std::endl;
        const bool saved =
            detail::save_with_root_and_name(signature, document_path, doc.get(), tmpl, name);
        return saved ? 0 : 1;
    });
}

int change_name_in_VM_xml(const std::string& document_path, const std::string& name) {
    static const char* const signature =
        "int zv_opennebula_common::change_name_in_VM_xml(const string&, const string&)";
    const char* const missing = "can't change VM name in XML file ";
    return detail::write_document_name(signature, document_path, missing, name) ? 0 : 1;
}

int remove_cdrom_from_VM_xml(const std::string& document_path) {
    static const char* const signature =
        "int zv_opennebula_common::remove_cdrom_from_VM_xml(const string&)";
    detail::XmlDocument doc;
    if (!detail::open_document_file(signature, document_path, "TEMPLATE", doc)) return 1;
    for (xmlNode* disk = doc.root()->children, *next = nullptr; disk; disk = next) {
        next = disk->next;
        if (!has_name(disk, "DISK")) continue;
        bool cdrom = false;
        for (xmlNode* child = disk->children; child && !cdrom; child = child->next) {
            if (!has_name(child, "TYPE")) continue;
            const std::string type = element_text(doc.get(), child);
            cdrom = type == "CDROM" || type == "RBD_CDROM";
        }
        if (cdrom) detail::remove_node(disk);
    }
    return detail::save_document_file(signature, document_path, doc.get()) ? 0 : 1;
}

int change_image_in_VM_xml(const std::string& document_path, const std::string& old_image,
                           const std::string& new_image, const std::string& old_image_id,
                           const std::string& new_image_id) {
    static const char* const signature =
        "int zv_opennebula_common::change_image_in_VM_xml(const string&, const string&, const "
        "string&, const string&, const string&)";
    detail::DocumentFileMessages messages;
    messages.not_parsed = "Document not parsed successfully: ";
    detail::XmlDocument doc;
    if (!detail::open_document_file(signature, document_path, "TEMPLATE", doc, messages)) return 1;
    bool changed = false;
    for (xmlNode* disk = doc.root()->children; disk; disk = disk->next) {
        if (!has_name(disk, "DISK")) continue;
        for (xmlNode* child = disk->children; child; child = child->next) {
            if (has_name(child, "IMAGE") && element_text(doc.get(), child) == old_image) {
                detail::set_text(child, new_image);
                changed = true;
            } else if (has_name(child, "IMAGE_ID") && element_text(doc.get(), child) == old_image_id) {
                detail::set_text(child, new_image_id);
                changed = true;
            }
        }
    }
    if (!changed) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't find records to change: "
                                     << document_path << std::endl;
        return 1;
    }
    return detail::save_document_file(signature, document_path, doc.get()) ? 0 : 1;
}

int get_VM_name_from_file(const std::string& document_path, std::string& name) {
    static const char* const signature =
        "int zv_opennebula_common::get_VM_name_from_file(const string&, std::__cxx11::string&)";
    const char* const missing = "can't get VM name from file: ";
    return detail::read_document_name(signature, document_path, missing, name) ? 0 : 1;
}

namespace {

// Calls `visit` with the text of every IMAGE_ID of every DISK, in document order,
// until it answers false.
template <typename Visit>
bool for_each_disk_image_id(xmlDoc* doc, const xmlNode* root, Visit visit) {
    for (xmlNode* disk = root->children; disk; disk = disk->next) {
        if (!has_name(disk, "DISK")) continue;
        for (xmlNode* child = disk->children; child; child = child->next)
            if (has_name(child, "IMAGE_ID") && !visit(element_text(doc, child))) return false;
    }
    return true;
}

}  // namespace

int get_VM_image_ID_list_from_xml(const std::string& document_path, std::vector<std::string>& ids) {
    static const char* const signature =
        "int zv_opennebula_common::get_VM_image_ID_list_from_xml(const string&, "
        "std::vector<std::__cxx11::basic_string<char> >&)";
    ids.clear();
    detail::XmlDocument doc;
    if (!detail::open_document_file(signature, document_path, "TEMPLATE", doc)) return 1;
    for_each_disk_image_id(doc.get(), doc.root(), [&](const std::string& id) {
        ids.push_back(id);
        return true;
    });
    return 0;
}

int get_VM_image_list_from_xml(const std::string& document_path, std::vector<oneimage>& images) {
    static const char* const signature =
        "int zv_opennebula_common::get_VM_image_list_from_xml(const string&, "
        "std::vector<oneimage>&)";
    images.clear();
    detail::XmlDocument doc;
    if (!detail::open_document_file(signature, document_path, "TEMPLATE", doc)) return 1;
    const bool all = for_each_disk_image_id(doc.get(), doc.root(), [&](const std::string& id) {
        oneimage image;
        if (get_image_attributes(id, image, false) != 0) return false;
        images.push_back(std::move(image));
        return true;
    });
    return all ? 0 : 1;
}

namespace {

detail::DocumentFileMessages messages_without_path() {
    detail::DocumentFileMessages messages;
    messages.wrong_type = "document of the wrong type, root node != TEMPLATE ";
    messages.wrong_type_names_path = false;
    return messages;
}

}  // namespace

int get_total_vm_disks_size_mb(const std::string& document_path, unsigned int& total) {
    static const char* const signature =
        "int zv_opennebula_common::get_total_vm_disks_size_mb(const string&, unsigned int&)";
    detail::XmlDocument doc;
    if (!detail::open_document_file(signature, document_path, "TEMPLATE", doc,
                                    messages_without_path()))
        return 1;
    total = 0;
    for (xmlNode* disk = doc.root()->children; disk; disk = disk->next) {
        if (!has_name(disk, "DISK")) continue;
        const std::string type = first_type(doc.get(), disk);
        if (type == "fs" || type == "CDROM") continue;
        for (xmlNode* child = disk->children; child; child = child->next)
            if (has_name(child, "SIZE"))
                total += static_cast<unsigned int>(std::stoi(element_text(doc.get(), child)));
    }
    return 0;
}

TM_MAD_TYPE get_vm_tm_mad_type(const std::string& document_path) {
    static const char* const signature =
        "TM_MAD_TYPE zv_opennebula_common::get_vm_tm_mad_type(const string&)";
    detail::XmlDocument doc;
    if (!detail::open_document_file(signature, document_path, "TEMPLATE", doc,
                                    messages_without_path()))
        return TM_MAD_NONE;
    for (xmlNode* child = doc.root()->children; child; child = child->next) {
        if (!has_name(child, "TM_MAD_SYSTEM")) continue;
        const std::string text = element_text(doc.get(), child);
        // The empty text is the driver text of TM_MAD_NONE and ends the search too.
        if (text.empty()) return TM_MAD_NONE;
        const TM_MAD_TYPE tm_mad = tm_mad_from_str(text);
        if (tm_mad != TM_MAD_NONE) return tm_mad;
    }
    return TM_MAD_NONE;
}

}  // namespace zv_opennebula_common
