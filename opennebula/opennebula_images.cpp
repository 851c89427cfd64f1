// Image queries: listing, attributes, existence, deletion and finding an image
// again by the unique signature of its data.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_query.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace zv_opennebula_common {

using detail::append_grandchild_texts;
using detail::kCommandThenOutput;
using detail::kCommandWas;
using detail::parse_and_check_root;
using detail::query_tool;
using detail::run_tool;
using detail::XmlDocument;
using zv_utils_common::execute_command;
using zv_utils_common::shell_quote;

namespace {

const char* const kOneimage = "/usr/bin/oneimage";

std::string show_command(const std::string& image_id) {
    return std::string(kOneimage) + " show " + shell_quote(image_id) + " -x";
}

// The text of every first-level `name` of `parent`, in document order, as one text.
std::string joined_children(xmlDoc* doc, const xmlNode* parent, const char* name) {
    std::ostringstream stream;
    for (const xmlNode* child = parent->children; child; child = child->next)
        if (has_name(child, name)) stream << element_text(doc, child);
    return stream.str();
}

// The driver of an image's datastore and, when the image names no DISK_TYPE,
// the disk type that datastore implies. Shared by reading and re-checking images.
bool derive_from_datastore(const char* signature, const std::string& datastore_id,
                           TM_MAD_TYPE& tm_mad, int& disk_type) {
    tm_mad = get_datastore_tm_mad(datastore_id);
    if (tm_mad == TM_MAD_NONE) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": wrong datastore TM_MAD" << std::endl;
        return false;
    }
    if (disk_type != DISK_TYPE_NONE) return true;

    int datastore_type = -1;
    if (get_datastore_type(datastore_id, datastore_type) != 0) {
        ZvLogStream(ZvLogLvl::Error) << signature
                                     << ": unable to determine type of datastore with ID: "
                                     << std::quoted(datastore_id, '"', '\\') << std::endl;
        return false;
    }
    if (datastore_type == DATASTORE_TYPE_FILE) {
        disk_type = DISK_TYPE_FILE;
        return true;
    }
    if (datastore_type != DATASTORE_TYPE_IMAGE) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": unsupported datastore type: "
                                     << std::quoted(std::to_string(datastore_type), '"', '\\')
                                     << std::endl;
        return false;
    }
    switch (tm_mad) {
        case TM_MAD_QCOW2:
        case TM_MAD_SHARED: disk_type = DISK_TYPE_FILE; return true;
        case TM_MAD_CEPH: disk_type = DISK_TYPE_RBD; return true;
        case TM_MAD_LVM_LVM: disk_type = DISK_TYPE_BLOCK; return true;
        default:
            ZvLogStream(ZvLogLvl::Error) << signature << ": unsupported TM_MAD type: "
                                         << tm_mad_to_str(tm_mad) << std::endl;
            return false;
    }
}

}  // namespace

namespace detail {

bool image_name_and_owner(const std::string& image_id, std::string& name, std::string& owner) {
    static const char* const signature =
        "int zv_opennebula_common::get_image_name(const string&, std::__cxx11::string&)";
    XmlDocument doc;
    if (!query_tool(signature, show_command(image_id), kCommandThenOutput, "IMAGE", doc))
        return false;
    name = joined_children(doc.get(), doc.root(), "NAME");
    owner = joined_children(doc.get(), doc.root(), "UNAME");
    return true;
}

}  // namespace detail

int get_image_name(const std::string& image_id, std::string& name) {
    std::string owner;
    return detail::image_name_and_owner(image_id, name, owner) ? 0 : 1;
}

int get_image_list(std::vector<std::string>& ids) {
    static const char* const signature =
        "int zv_opennebula_common::get_image_list(std::vector<std::__cxx11::basic_string<char> >&)";
    detail::ParseMessages messages;
    messages.not_parsed = "Document not parsed successfully";
    XmlDocument doc;
    if (!query_tool(signature, std::string(kOneimage) + " list -x", kCommandThenOutput,
                    "IMAGE_POOL", doc, messages))
        return 1;
    append_grandchild_texts(doc.get(), doc.root(), "IMAGE", "ID", ids);
    return 0;
}

int get_image_id(const std::string& image, std::string& id) {
    static const char* const signature =
        "int zv_opennebula_common::get_image_id(const string&, std::__cxx11::string&)";
    XmlDocument doc;
    if (!query_tool(signature, show_command(image), kCommandThenOutput, "IMAGE", doc)) return 1;
    id = joined_children(doc.get(), doc.root(), "ID");
    if (id.empty()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": got empty ID for image " << image
                                     << std::endl;
        return 1;
    }
    return 0;
}

int get_image_state(const std::string& image_id, int& state) {
    static const char* const signature =
        "int zv_opennebula_common::get_image_state(const string&, int&)";
    XmlDocument doc;
    if (!query_tool(signature, show_command(image_id), kCommandThenOutput, "IMAGE", doc)) return 1;
    const std::string text = joined_children(doc.get(), doc.root(), "STATE");
    if (text.empty()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": Got empty STATE for image " << image_id
                                     << std::endl;
        return 1;
    }
    state = std::stoi(text, nullptr, 10);
    return 0;
}

bool does_image_name_exist(const std::string& name) {
    static const char* const signature =
        "bool zv_opennebula_common::does_image_name_exist(const string&)";
    XmlDocument doc;
    if (!query_tool(signature, std::string(kOneimage) + " list -x", kCommandThenOutput,
                    "IMAGE_POOL", doc))
        return false;
    std::vector<std::string> names;
    append_grandchild_texts(doc.get(), doc.root(), "IMAGE", "NAME", names);
    for (const auto& candidate : names)
        if (candidate == name) return true;
    return false;
}

int get_available_image_names(std::vector<std::string>& names) {
    static const char* const signature =
        "int zv_opennebula_common::get_available_image_names(std::vector<std::__cxx11::basic_string<char> >&)";
    if (!detail::query_pool_names(signature, std::string(kOneimage) + " list -x", "IMAGE_POOL",
                                  "IMAGE", names))
        return 1;
    if (names.empty())
        ZvLogStream(ZvLogLvl::Warning) << signature << ": got empty list of image names"
                                       << std::endl;
    return 0;
}

int get_image_source(const std::string& image_id, std::string& source) {
    static const char* const signature =
        "int zv_opennebula_common::get_image_source(const string&, std::__cxx11::string&)";
    return detail::logging_exceptions(signature, 1, [&] {
        XmlDocument doc;
        if (!query_tool(signature, show_command(image_id), kCommandWas, "IMAGE", doc)) return 1;
        const xmlNode* element = first_child(doc.root(), "SOURCE");
        if (!element) return 1;
        source = element_text(doc.get(), element);
        return 0;
    });
}

bool does_image_exist_by_id(const std::string& image_id) {
    std::string output;
    return execute_command(std::string(kOneimage) + " show " + shell_quote(image_id), output) == 0;
}

void delete_image(const std::string& image_id) {
    static const char* const signature = "void zv_opennebula_common::delete_image(const string&)";
    const std::string command = std::string(kOneimage) + " delete " + shell_quote(image_id);
    std::string output;
    if (execute_command(command, output) == 0) return;
    detail::log_refused(signature, "unable to delete image: " + image_id, command, output);
}

int get_image_attributes(const std::string& image_id, oneimage& image, bool force_digest) {
    static const char* const signature =
        "int zv_opennebula_common::get_image_attributes(const string&, oneimage&, bool)";
    TM_MAD_TYPE tm_mad = TM_MAD_NONE;
    {
        XmlDocument doc;
        if (!query_tool(signature, show_command(image_id), kCommandThenOutput, "IMAGE", doc)) return 1;
        xmlDoc* d = doc.get();

        // TYPE counts only before the first DISK_TYPE.
        for (const xmlNode* child = doc.root()->children; child; child = child->next) {
            if (has_name(child, "TYPE")) {
                image.type = std::stoi(element_text(d, child), nullptr, 10);
            } else if (has_name(child, "DISK_TYPE")) {
                image.disk_type = std::stoi(element_text(d, child), nullptr, 10);
                break;
            }
        }
        for (const xmlNode* child = doc.root()->children; child; child = child->next) {
            if (has_name(child, "ID")) image.id = element_text(d, child);
            else if (has_name(child, "NAME")) image.name = element_text(d, child);
            else if (has_name(child, "DATASTORE_ID")) image.datastore_id = element_text(d, child);
            else if (has_name(child, "PERSISTENT")) image.persistent = element_text(d, child);
            else if (has_name(child, "SOURCE")) image.source = element_text(d, child);
            else if (has_name(child, "SIZE")) image.size = detail::megabytes_to_bytes(element_text(d, child));
            else if (has_name(child, "TEMPLATE")) {
                for (const xmlNode* item = child->children; item; item = item->next) {
                    if (has_name(item, "DEV_PREFIX")) image.dev_prefix = element_text(d, item);
                    else if (has_name(item, "DRIVER")) image.driver = element_text(d, item);
                }
            }
        }
    }
    if (!derive_from_datastore(signature, image.datastore_id, tm_mad, image.disk_type)) return 1;
    if (!calculate_unique_signature(image, tm_mad, force_digest)) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't calculate image unique signature"
                                     << std::endl;
        return 1;
    }
    return 0;
}

image_presence check_image_presence(const oneimage& image, bool force_digest) {
    static const char* const signature =
        "bool zv_opennebula_common::does_image_exist(const oneimage&, bool)";
    std::string source;
    bool source_found = false;
    int disk_type = DISK_TYPE_NONE;
    int type = IMAGE_TYPE_OS;
    {
        std::string output;
        if (!run_tool(signature, show_command(image.id), kCommandThenOutput, output)) {
            // Only the pool tells a deleted image from an OpenNebula that did not answer.
            std::vector<std::string> ids;
            if (get_image_list(ids) != 0 || std::find(ids.begin(), ids.end(), image.id) != ids.end())
                return image_presence::unchecked;
            ZvLogStream(ZvLogLvl::Info) << signature << ": no image of ID " << image.id
                                        << " in OpenNebula" << std::endl;
            return image_presence::absent;
        }
        XmlDocument doc;
        if (!parse_and_check_root(signature, output, "IMAGE", doc, "failed to parse xml doc"))
            return image_presence::unchecked;
        for (const xmlNode* child = doc.root()->children; child; child = child->next) {
            if (has_name(child, "SOURCE")) {
                source = element_text(doc.get(), child);
                source_found = true;
            } else if (has_name(child, "DISK_TYPE")) {
                disk_type = std::stoi(element_text(doc.get(), child), nullptr, 10);
            } else if (has_name(child, "TYPE")) {
                type = std::stoi(element_text(doc.get(), child), nullptr, 10);
            }
        }
    }
    if (!source_found) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't get source of image ID: " << image.id
                                     << std::endl;
        return image_presence::unchecked;
    }
    TM_MAD_TYPE tm_mad = TM_MAD_NONE;
    if (!derive_from_datastore(signature, image.datastore_id, tm_mad, disk_type))
        return image_presence::unchecked;

    ZvLogStream(ZvLogLvl::Info) << signature << ": determining unique signature for image source: "
                                << source << std::endl;
    if (disk_type == DISK_TYPE_RBD && image.unique_signature.empty())
        return does_image_exist_by_id(image.id) ? image_presence::present : image_presence::absent;
    // With force_digest the stored signature's form decides, whatever the driver says
    // now: a 32-character one is a device digest, any other an LVM uuid. Without it
    // the driver decides, as it did when the signature was stored.
    const bool lvm_uuid =
        force_digest ? image.unique_signature.size() != 32 : tm_mad == TM_MAD_LVM_LVM;
    std::string computed;
    if (!detail::compute_image_signature(signature, disk_type, type, lvm_uuid, source, computed))
        return image_presence::unchecked;
    if (computed == image.unique_signature) return image_presence::present;
    ZvLogStream(ZvLogLvl::Error) << signature << ": unique signature is wrong, Image ID: "
                                 << image.id << std::endl;
    return image_presence::absent;
}

bool does_image_exist(const oneimage& image, bool force_digest) {
    return check_image_presence(image, force_digest) == image_presence::present;
}

int find_image_by_unique_signature(const std::string& signature_text, oneimage& image) {
    static const char* const signature =
        "int zv_opennebula_common::find_image_by_unique_signature(const string&, oneimage&)";
    std::vector<std::string> ids;
    if (get_image_list(ids) != 0) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't get list of image IDs" << std::endl;
        return IMAGE_NOT_CHECKED;
    }
    const bool force_digest = signature_text.size() == 32;
    // One image that cannot be read must not hide the images after it; it only
    // makes a search without a match inconclusive.
    std::vector<std::string> unread;
    for (const auto& id : ids) {
        oneimage candidate;
        const int read = detail::logging_exceptions(
            signature, 1, [&] { return get_image_attributes(id, candidate, force_digest); });
        if (read != 0) {
            ZvLogStream(ZvLogLvl::Warning) << signature << ": can't get attributes for image: " << id
                                           << ", skipped" << std::endl;
            unread.push_back(id);
            continue;
        }
        if (candidate.unique_signature != signature_text) {
            ZvLogStream(ZvLogLvl::Info) << " skip" << std::endl;
            continue;
        }
        ZvLogStream(ZvLogLvl::Info) << " correct image was found" << std::endl;
        image = candidate;
        return 0;
    }
    if (unread.empty()) return IMAGE_NOT_FOUND;
    ZvLogStream line(ZvLogLvl::Error);
    line << signature << ": no image matched, and these images could not be checked:";
    for (const auto& id : unread) line << " " << id;
    line << std::endl;
    return IMAGE_NOT_CHECKED;
}

}  // namespace zv_opennebula_common
