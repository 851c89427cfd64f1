// The template restore document, written from a VM template in OpenNebula with
// its disks naming images by name and owner, and edited before the template is
// created again; template queries and deletion; the image document without its
// list of using VMs.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_document_file.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <vector>

using zv_utils_common::execute_command;
using zv_utils_common::shell_quote;

namespace zv_opennebula_common {

using detail::logging_exceptions;

namespace {

const xmlChar* xml_text(const char* text) { return reinterpret_cast<const xmlChar*>(text); }
const xmlChar* xml_text(const std::string& text) { return xml_text(text.c_str()); }

// Names the image of each DISK by IMAGE and IMAGE_UNAME where it gives IMAGE_ID,
// since ids do not survive a restore into another OpenNebula. IMAGE_UNAME is the
// image's own owner, who need not be the template's.
bool name_disk_images(const char* signature, xmlDoc* doc, xmlNode* tmpl) {
    for (xmlNode* disk = tmpl->children; disk; disk = disk->next) {
        if (!has_name(disk, "DISK")) continue;
        for (xmlNode* child = disk->children, *next = nullptr; child; child = next) {
            next = child->next;
            if (has_name(child, "IMAGE")) break;
            if (!has_name(child, "IMAGE_ID")) continue;
            const std::string id = element_text(doc, child);
            std::string name, owner;
            if (!detail::image_name_and_owner(id, name, owner)) return false;
            if (owner.empty()) {
                ZvLogStream(ZvLogLvl::Error) << signature << ": can't get the owner of image: " << id
                                             << std::endl;
                return false;
            }
            detail::remove_node(child);
            if (!xmlNewTextChild(disk, nullptr, xml_text("IMAGE"), xml_text(name))) {
                ZvLogStream(ZvLogLvl::Error)
                    << signature << ": can't change image ID to image name in XML structure"
                    << std::endl;
                return false;
            }
            ZvLogStream(ZvLogLvl::Info) << "Change image ID: " << id << " to image name: " << name
                                        << " in XML template file" << std::endl;
            if (!xmlNewTextChild(disk, nullptr, xml_text("IMAGE_UNAME"), xml_text(owner))) {
                ZvLogStream(ZvLogLvl::Error) << signature << ": can't add IMAGE_UNAME to XML structure"
                                             << std::endl;
                return false;
            }
            ZvLogStream(ZvLogLvl::Info) << "Add IMAGE_UNAME : " << owner << " to XML template file"
                                        << std::endl;
        }
    }
    return true;
}

}  // namespace

int create_template_xml(const std::string& template_id, const std::string& document_path,
                        const std::string& new_name) {
    static const char* const signature =
        "int zv_opennebula_common::create_template_xml(const string&, const string&, const "
        "string&)";
    return logging_exceptions(signature, 1, [&] {
        const std::string command = "/usr/bin/onetemplate show " + shell_quote(template_id) + " -x";
        detail::XmlDocument doc;
        detail::ParseMessages messages;
        messages.empty = "empty document: ";
        messages.wrong_type_suffix = ": ";
        if (!detail::query_tool(signature, command, {"command: ", ""}, "VMTEMPLATE", doc, messages))
            return 1;

        std::string current_name;
        xmlNode* tmpl = doc.root()->children;
        for (; tmpl && !has_name(tmpl, "TEMPLATE"); tmpl = tmpl->next)
            if (has_name(tmpl, "NAME")) current_name += element_text(doc.get(), tmpl);
        if (!tmpl) {
            // Without a TEMPLATE there is nothing to re-create the template from.
            ZvLogStream(ZvLogLvl::Error) << signature << ": no TEMPLATE in the description of template: "
                                         << template_id << std::endl;
            return 1;
        }
        if (!name_disk_images(signature, doc.get(), tmpl)) return 1;
        const std::string name = new_name.empty() ? current_name : new_name;
        ZvLogStream(ZvLogLvl::Info) << "Template will be restored with the name: " << name
                                    << std::endl;
        const bool saved =
            detail::save_with_root_and_name(signature, document_path, doc.get(), tmpl, name);
        return saved ? 0 : 1;
    });
}

int change_name_in_template_xml(const std::string& document_path, const std::string& name) {
    static const char* const signature =
        "int zv_opennebula_common::change_name_in_template_xml(const string&, const string&)";
    return logging_exceptions(signature, 1, [&] {
        const char* const missing = "can't change template name in the file: ";
        return detail::write_document_name(signature, document_path, missing, name) ? 0 : 1;
    });
}

int change_image_name_in_template_xml(const std::string& document_path,
                                      const std::vector<oneimage>& images) {
    static const char* const signature =
        "int zv_opennebula_common::change_image_name_in_template_xml(const string&, const "
        "std::vector<oneimage>&)";
    return logging_exceptions(signature, 1, [&] {
        detail::XmlDocument doc;
        if (!detail::open_document_file(signature, document_path, "TEMPLATE", doc)) return 1;
        for (xmlNode* disk = doc.root()->children; disk; disk = disk->next) {
            if (!has_name(disk, "DISK")) continue;
            for (xmlNode* child = disk->children; child; child = child->next) {
                if (!has_name(child, "IMAGE")) continue;
                const std::string text = element_text(doc.get(), child);
                const oneimage* match = nullptr;
                for (const oneimage& image : images)
                    if (image.name == text) match = &image;
                if (!match) {
                    ZvLogStream(ZvLogLvl::Error)
                        << signature << ": can't find an image in the archive that corresponds to: "
                        << text << std::endl;
                    return 1;
                }
                detail::set_text(child, match->new_name);
            }
        }
        return detail::save_document_file(signature, document_path, doc.get()) ? 0 : 1;
    });
}

int get_template_name_from_file(const std::string& document_path, std::string& name) {
    static const char* const signature =
        "int zv_opennebula_common::get_template_name_from_file(const string&, "
        "std::__cxx11::string&)";
    return logging_exceptions(signature, 1, [&] {
        const char* const missing = "can't get template name from the file: ";
        return detail::read_document_name(signature, document_path, missing, name) ? 0 : 1;
    });
}

int convert_image_xml(const std::string& document_path) {
    static const char* const signature =
        "int zv_opennebula_common::convert_image_xml(const string&)";
    return logging_exceptions(signature, 1, [&] {
        detail::DocumentFileMessages messages;
        messages.empty = "empty document:";
        detail::XmlDocument doc;
        if (!detail::open_document_file(signature, document_path, "IMAGE", doc, messages)) return 1;
        for (xmlNode* child = doc.root()->children, *next = nullptr; child; child = next) {
            next = child->next;
            if (has_name(child, "VMS")) detail::remove_node(child);
        }
        return detail::save_document_file(signature, document_path, doc.get()) ? 0 : 1;
    });
}

int get_template_name(const std::string& template_id, std::string& name) {
    static const char* const signature =
        "int zv_opennebula_common::get_template_name(const string&, std::__cxx11::string&)";
    return logging_exceptions(signature, 1, [&] {
        const std::string command = "/usr/bin/onetemplate show " + shell_quote(template_id) + " -x ";
        detail::XmlDocument doc;
        if (!detail::query_tool(signature, command, detail::kCommandWas, "VMTEMPLATE", doc))
            return 1;
        const xmlNode* name_node = first_child(doc.root(), "NAME");
        if (!name_node) {
            ZvLogStream(ZvLogLvl::Error) << signature << ": can't find template name" << std::endl;
            return 1;
        }
        name = element_text(doc.get(), name_node);
        return 0;
    });
}

bool does_template_name_exist(const std::string& name) {
    std::string output;
    return execute_command("/usr/bin/onetemplate show " + shell_quote(name), output) == 0;
}

int get_simple_template_image_list(const std::string& template_id, std::vector<std::string>& ids) {
    static const char* const signature =
        "int zv_opennebula_common::get_simple_template_image_list(const string&, "
        "std::vector<std::__cxx11::basic_string<char> >&)";
    return logging_exceptions(signature, 1, [&] {
        const std::string command = "/usr/bin/onetemplate show " + shell_quote(template_id) + " -x ";
        // Each DISK in order: its IMAGE_ID, or the id of the image it names by IMAGE.
        // A disk of either kind belongs to the template's backup.
        struct DiskImage {
            std::string text;
            bool by_name;  // `text` is an image name whose id is to be looked up
        };
        std::vector<DiskImage> disk_images;
        {
            detail::XmlDocument doc;
            detail::ParseMessages messages;
            messages.wrong_type_suffix = ": ";
            if (!detail::query_tool(signature, command, detail::kCommandWas, "VMTEMPLATE", doc,
                                    messages))
                return 1;
            for (xmlNode* tmpl = doc.root()->children; tmpl; tmpl = tmpl->next) {
                if (!has_name(tmpl, "TEMPLATE")) continue;
                for (xmlNode* disk = tmpl->children; disk; disk = disk->next) {
                    if (!has_name(disk, "DISK")) continue;
                    const std::size_t before = disk_images.size();
                    std::vector<std::string> names;
                    for (xmlNode* child = disk->children; child; child = child->next) {
                        if (has_name(child, "IMAGE_ID"))
                            disk_images.push_back({element_text(doc.get(), child), false});
                        if (has_name(child, "IMAGE")) names.push_back(element_text(doc.get(), child));
                    }
                    if (disk_images.size() == before)
                        for (const std::string& name : names) disk_images.push_back({name, true});
                }
            }
        }
        for (const DiskImage& image : disk_images) {
            if (!image.by_name) {
                ids.push_back(image.text);
                continue;
            }
            std::string id;
            if (get_image_id(image.text, id) != 0) {
                ZvLogStream(ZvLogLvl::Error) << signature << ": can't get ID of the image '"
                                             << image.text << "'" << std::endl;
                return 1;
            }
            ids.push_back(id);
        }
        return 0;
    });
}

int get_template_image_list(const std::string& template_id, std::vector<oneimage>& images) {
    static const char* const signature =
        "int zv_opennebula_common::get_template_image_list(const string&, std::vector<oneimage>&)";
    return logging_exceptions(signature, 1, [&] {
        std::vector<std::string> ids;
        if (get_simple_template_image_list(template_id, ids) != 0) {
            ZvLogStream(ZvLogLvl::Error) << signature << ": can't get simple template image list of: "
                                         << template_id << std::endl;
            return 1;
        }
        for (const std::string& id : ids) {
            oneimage image;
            if (get_image_attributes(id, image, false) != 0) return 1;
            images.push_back(std::move(image));
        }
        return 0;
    }, ": exception: ");
}

int delete_template(const std::string& template_id) {
    static const char* const signature =
        "int zv_opennebula_common::delete_template(const string&)";
    const std::string command =
        "/usr/bin/onetemplate delete " + shell_quote(template_id) + " --recursive";
    std::string output;
    if (execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": unable to delete template clone: "
                                     << template_id << std::endl;
        ZvLogStream(ZvLogLvl::Error) << signature << ": command: " << command << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Command output: " << output << std::endl;
        return 1;
    }
    ZvLogStream(ZvLogLvl::Info) << "Delete template clone: " << template_id << std::endl;
    return 0;
}

}  // namespace zv_opennebula_common
