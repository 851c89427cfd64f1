// Datastore queries: existence, type, transfer driver, free space, safe
// directories, and choosing a datastore with room for some data.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_query.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <iomanip>
#include <sstream>

namespace zv_opennebula_common {

using detail::logging_exceptions;
using detail::query_tool;
using detail::XmlDocument;
using zv_utils_common::execute_command;
using zv_utils_common::shell_quote;

namespace {

const char* const kOnedatastore = "/usr/bin/onedatastore";

std::string show_command(const std::string& datastore_id) {
    return std::string(kOnedatastore) + " show " + shell_quote(datastore_id) + " -x";
}

// Shows a datastore; a failed command is ": command <line>" and the output alone.
bool show_datastore(const char* signature, const std::string& datastore_id, XmlDocument& doc) {
    return query_tool(signature, show_command(datastore_id), detail::kCommandThenOutput,
                      "DATASTORE", doc);
}

// Shows a datastore; a failed command is ": command was: <line>" and "Command output: ".
bool show_datastore_reporting_output(const char* signature, const std::string& datastore_id,
                                     XmlDocument& doc) {
    detail::ParseMessages messages;
    messages.not_parsed = "Document not parsed successfully";
    return query_tool(signature, show_command(datastore_id), detail::kCommandWas, "DATASTORE",
                      doc, messages);
}

}  // namespace

bool does_datastore_exist(const std::string& datastore_id) {
    std::string output;
    return execute_command(std::string(kOnedatastore) + " show " + shell_quote(datastore_id),
                           output) == 0;
}

int get_datastore_type(const std::string& datastore_id, int& type) {
    static const char* const signature =
        "int zv_opennebula_common::get_datastore_type(const string&, int&)";
    type = -1;
    XmlDocument doc;
    if (!show_datastore(signature, datastore_id, doc)) return 1;
    if (const xmlNode* element = first_child(doc.root(), "TYPE"))
        type = std::stoi(element_text(doc.get(), element), nullptr, 10);
    if (type == -1) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't get type of datastore ID: "
                                     << std::quoted(datastore_id, '"', '\\') << std::endl;
        return 1;
    }
    return 0;
}

TM_MAD_TYPE get_datastore_tm_mad(const std::string& datastore_id) {
    static const char* const signature =
        "TM_MAD_TYPE zv_opennebula_common::get_datastore_tm_mad(const string&)";
    return logging_exceptions(signature, TM_MAD_NONE, [&] {
        XmlDocument doc;
        if (!show_datastore_reporting_output(signature, datastore_id, doc)) return TM_MAD_NONE;
        const xmlNode* element = first_child(doc.root(), "TM_MAD");
        if (!element) return TM_MAD_NONE;
        return tm_mad_from_str(element_text(doc.get(), element));
    });
}

int get_datastore_capacity_mb(const std::string& datastore_id, int& free_mb) {
    static const char* const signature =
        "int zv_opennebula_common::get_datastore_capacity_mb(const string&, int&)";
    return logging_exceptions(signature, 1, [&] {
        XmlDocument doc;
        if (!show_datastore_reporting_output(signature, datastore_id, doc)) return 1;
        const xmlNode* element = first_child(doc.root(), "FREE_MB");
        if (!element) return 0;
        const std::string text = element_text(doc.get(), element);
        if (text.empty()) {
            ZvLogStream(ZvLogLvl::Error) << signature
                                         << ": got empty FREE_MB value for datastore with ID "
                                         << datastore_id << std::endl;
            return 1;
        }
        free_mb = std::stoi(text, nullptr, 10);
        return 0;
    });
}

int get_safe_dirs_from_datastore(const std::string& datastore_id, std::string& safe_dirs) {
    static const char* const signature =
        "int zv_opennebula_common::get_safe_dirs_from_datastore(const string&, std::__cxx11::string&)";
    XmlDocument doc;
    if (!show_datastore(signature, datastore_id, doc)) return 1;
    std::ostringstream stream;
    for (const xmlNode* child = doc.root()->children; child; child = child->next) {
        if (!has_name(child, "TEMPLATE")) continue;
        for (const xmlNode* item = child->children; item; item = item->next)
            if (has_name(item, "SAFE_DIRS")) stream << element_text(doc.get(), item);
    }
    safe_dirs = stream.str();
    if (safe_dirs.empty()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": got empty SAFE_DIRS value" << std::endl;
        return 1;
    }
    return 0;
}

int get_any_datastore_by_type(int type, TM_MAD_TYPE tm_mad, const unsigned int& required_mb,
                              std::string& datastore_id) {
    static const char* const signature =
        "int zv_opennebula_common::get_any_datastore_by_type(int, TM_MAD_TYPE, const unsigned int&, std::__cxx11::string&)";
    return logging_exceptions(signature, 1, [&] {
        XmlDocument doc;
        if (!query_tool(signature, std::string(kOnedatastore) + " list -x", detail::kCommandWas,
                        "DATASTORE_POOL", doc))
            return 1;
        // Compared in a wider type: a request beyond INT_MAX megabytes must not wrap
        // negative and make every datastore look big enough.
        const long long required = required_mb;
        for (const xmlNode* datastore = doc.root()->children; datastore;
             datastore = datastore->next) {
            if (!has_name(datastore, "DATASTORE")) continue;
            std::string id;
            int free_mb = 0;
            int datastore_type = -1;
            bool driver_matches = false;
            for (const xmlNode* child = datastore->children; child; child = child->next) {
                if (has_name(child, "ID")) id = element_text(doc.get(), child);
                else if (has_name(child, "TYPE"))
                    datastore_type = std::stoi(element_text(doc.get(), child), nullptr, 10);
                else if (has_name(child, "FREE_MB"))
                    free_mb = std::stoi(element_text(doc.get(), child), nullptr, 10);
                else if (has_name(child, "TM_MAD") && tm_mad != TM_MAD_NONE)
                    driver_matches = element_text(doc.get(), child) == tm_mad_to_str(tm_mad);
            }
            const bool fits = datastore_type == type && static_cast<long long>(free_mb) > required &&
                              (type != DATASTORE_TYPE_SYSTEM || driver_matches);
            if (!fits) continue;
            datastore_id = id;
            if (datastore_id.empty()) {
                ZvLogStream(ZvLogLvl::Error) << signature << ": got empty datastore ID"
                                             << std::endl;
                return 1;
            }
            return 0;
        }
        ZvLogStream(ZvLogLvl::Error)
            << signature << ": can't find no suitable datastore for the datastore type: "
            << std::quoted(std::to_string(type), '"', '\\') << std::endl;
        return 1;
    });
}

int get_any_image_datastore(const unsigned int& required_mb, std::string& datastore_id) {
    return get_any_datastore_by_type(DATASTORE_TYPE_IMAGE, TM_MAD_NONE, required_mb, datastore_id);
}

int get_any_system_datastore_by_tm_mad(TM_MAD_TYPE tm_mad, const unsigned int& required_mb,
                                       std::string& datastore_id) {
    return get_any_datastore_by_type(DATASTORE_TYPE_SYSTEM, tm_mad, required_mb, datastore_id);
}

}  // namespace zv_opennebula_common
