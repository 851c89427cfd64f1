// Private helpers of the restore-document functions: opening a document file with
// its root check, saving it over the same path, and its NAME, each with its
// failure line.
#pragma once

#include "opennebula/opennebula_query.h"

#include <string>

namespace zv_opennebula_common {
namespace detail {

// Texts of the three open failures; each is logged after the signature and ": ".
struct DocumentFileMessages {
    const char* not_parsed = "document not parsed successfully: ";
    const char* empty = "empty document: ";
    const char* wrong_type = nullptr;  // default: "document of the wrong type, root node != " root ": "
    bool wrong_type_names_path = true;
};

// Parses the file with xmlParseFile into `doc` and checks the root's name.
bool open_document_file(const char* signature, const std::string& path, const char* root,
                        XmlDocument& doc, const DocumentFileMessages& messages = {});

// Writes the document over `path`, formatted; logs ": can't save: " and the path on failure.
bool save_document_file(const char* signature, const std::string& path, xmlDoc* doc);

// Unlinks and frees a node.
void remove_node(xmlNode* node);

// Makes `text` the node's only content, literally: "&" and "<" stay characters.
void set_text(xmlNode* node, const std::string& text);

// Makes `tmpl` the document's root, frees the element that held it, appends a
// NAME child holding `name` and saves the document over `path`.
bool save_with_root_and_name(const char* signature, const std::string& path, xmlDoc* doc,
                             xmlNode* tmpl, const std::string& name);

// The NAME of a document file with a TEMPLATE root. Without a NAME, logs
// `signature` ": " `missing` and the path.
bool read_document_name(const char* signature, const std::string& path, const char* missing,
                        std::string& name);

// Makes `name` the NAME of a document file with a TEMPLATE root and saves it. Without
// a NAME, logs `signature` ": " `missing` and the path, and leaves the file alone.
bool write_document_name(const char* signature, const std::string& path, const char* missing,
                         const std::string& name);

}  // namespace detail
}  // namespace zv_opennebula_common
