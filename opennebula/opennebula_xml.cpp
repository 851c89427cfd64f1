// The library's data model tables and its XML access: parsing a tool's output,
// finding elements by name and reading their text.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_query.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <sstream>

namespace zv_opennebula_common {

const std::map<TM_MAD_TYPE, std::string> TM_MAD_TYPE_STR = {
    {TM_MAD_NONE, ""},          {TM_MAD_QCOW2, "qcow2"},   {TM_MAD_CEPH, "ceph"},
    {TM_MAD_FS_LVM, "fs_lvm"},  {TM_MAD_LVM_LVM, "lvm_lvm"}, {TM_MAD_LVM_THIN, "lvm_thin"},
    {TM_MAD_SHARED, "shared"},  {TM_MAD_SSH, "ssh"},       {TM_MAD_DEV, "dev"},
    {TM_MAD_ISCSI, "iscsi"},
};

std::string tm_mad_to_str(TM_MAD_TYPE tm_mad) { return TM_MAD_TYPE_STR.at(tm_mad); }

TM_MAD_TYPE tm_mad_from_str(const std::string& text) {
    for (const auto& [value, name] : TM_MAD_TYPE_STR)
        if (name == text) return value;
    return TM_MAD_NONE;
}

std::string disk_type_to_str(opennebula_disk_type& type) {
    switch (type) {
        case DISK_TYPE_FILE: return "FILE";
        case DISK_TYPE_CDROM: return "CDROM";
        case DISK_TYPE_BLOCK: return "BLOCK";
        case DISK_TYPE_RBD: return "RBD";
        case DISK_TYPE_RBD_CDROM: return "RBD_CDROM";
        case DISK_TYPE_GLUSTER: return "GLUSTER";
        case DISK_TYPE_GLUSTER_CDROM: return "GLUSTER_CDROM";
        case DISK_TYPE_SHEEPDOG: return "SHEEPDOG";
        case DISK_TYPE_SHEEPDOG_CDROM: return "SHEEPDOG_CDROM";
        case DISK_TYPE_ISCSI: return "ISCSI";
    }
    return "";
}

std::string type_to_str(opennebula_image_type& type) {
    switch (type) {
        case IMAGE_TYPE_OS: return "OS";
        case IMAGE_TYPE_CDROM: return "CDROM";
        case IMAGE_TYPE_DATABLOCK: return "DATABLOCK";
        case IMAGE_TYPE_KERNEL: return "KERNEL";
        case IMAGE_TYPE_RAMDISK: return "RAMDISK";
        case IMAGE_TYPE_CONTEXT: return "CONTEXT";
    }
    return "";
}

int parse_xml_document(const std::string& text, xmlDoc*& doc) {
    static const char* const signature =
        "int zv_opennebula_common::parse_xml_document(const string&, xmlDoc*&)";
    doc = xmlParseMemory(text.data(), static_cast<int>(text.size()));
    if (!doc) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": XML document not parsed successfully "
                                     << std::endl;
        return 1;
    }
    if (!xmlDocGetRootElement(doc)) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": XML document is empty" << std::endl;
        xmlFreeDoc(doc);
        doc = nullptr;
        return 1;
    }
    return 0;
}

bool has_name(const xmlNode* node, const char* name) {
    return node && node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::string element_text(xmlDoc* doc, const xmlNode* element) {
    if (!element) return "";
    xmlChar* text = xmlNodeListGetString(doc, element->children, 1);
    std::ostringstream stream;
    if (text) stream << reinterpret_cast<const char*>(text);
    xmlFree(text);
    return stream.str();
}

xmlNode* first_child(const xmlNode* parent, const char* name) {
    if (!parent) return nullptr;
    for (xmlNode* child = parent->children; child; child = child->next)
        if (has_name(child, name)) return child;
    return nullptr;
}

namespace detail {

void log_wrong_root(const char* signature, const char* root, const char* suffix) {
    ZvLogStream(ZvLogLvl::Error) << signature << ": document of the wrong type, root node != "
                                 << root << suffix << std::endl;
}

bool parse_with_root(const char* signature, const std::string& output, const char* root,
                     XmlDocument& doc, const ParseMessages& messages) {
    doc.out() = xmlParseMemory(output.data(), static_cast<int>(output.size()));
    if (!doc.get()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": " << messages.not_parsed << std::endl;
        return false;
    }
    if (!doc.root()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": " << messages.empty << std::endl;
        return false;
    }
    if (!has_name(doc.root(), root)) {
        log_wrong_root(signature, root, messages.wrong_type_suffix);
        return false;
    }
    return true;
}

void log_command_failure(const char* signature, const std::string& first,
                         const std::string& command, const std::string& output,
                         const char* output_prefix, const std::string& after) {
    ZvLogStream(ZvLogLvl::Error) << signature << ": " << first << command << after << std::endl;
    ZvLogStream(ZvLogLvl::Error) << output_prefix << output << std::endl;
}

bool run_tool(const char* signature, const std::string& command, const CommandFailure& failure,
              std::string& output) {
    if (zv_utils_common::execute_command(command, output) == 0) return true;
    log_command_failure(signature, failure.first, command, output, failure.output_prefix,
                        failure.after);
    return false;
}

bool query_tool(const char* signature, const std::string& command, const CommandFailure& failure,
                const char* root, XmlDocument& doc, const ParseMessages& messages) {
    std::string output;
    return run_tool(signature, command, failure, output) &&
           parse_with_root(signature, output, root, doc, messages);
}

bool parse_and_check_root(const char* signature, const std::string& output, const char* root,
                          XmlDocument& doc, const char* parse_failure,
                          const char* wrong_type_suffix) {
    if (parse_xml_document(output, doc.out()) != 0) {
        if (parse_failure)
            ZvLogStream(ZvLogLvl::Error) << signature << ": " << parse_failure << std::endl;
        return false;
    }
    if (!has_name(doc.root(), root)) {
        log_wrong_root(signature, root, wrong_type_suffix);
        return false;
    }
    return true;
}

void log_refused(const char* signature, const std::string& first, const std::string& command,
                 const std::string& output) {
    ZvLogStream(ZvLogLvl::Error) << signature << ": " << first << std::endl;
    ZvLogStream(ZvLogLvl::Error) << "Command was: " << command << std::endl;
    ZvLogStream(ZvLogLvl::Error) << "Command output: " << output << std::endl;
}

bool query_pool_names(const char* signature, const std::string& command, const char* pool,
                      const char* entry, std::vector<std::string>& names) {
    std::string output;
    if (!run_tool(signature, command, kCommandProducedError, output)) return false;
    XmlDocument doc;
    if (!parse_and_check_root(signature, output, pool, doc, "can't parse xml data")) return false;
    append_grandchild_texts(doc.get(), doc.root(), entry, "NAME", names);
    return true;
}

void append_grandchild_texts(xmlDoc* doc, const xmlNode* parent, const char* outer,
                             const char* inner, std::vector<std::string>& texts) {
    for (const xmlNode* entry = parent->children; entry; entry = entry->next) {
        if (!has_name(entry, outer)) continue;
        for (const xmlNode* child = entry->children; child; child = child->next)
            if (has_name(child, inner)) texts.push_back(element_text(doc, child));
    }
}

}  // namespace detail
}  // namespace zv_opennebula_common
