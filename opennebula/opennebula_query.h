// Private helpers of the OpenNebula library's query functions: owning a parsed
// document, and the parse-and-check-root step with its failure lines.
#pragma once

#include "opennebula/opennebula.h"

#include <string>

namespace zv_opennebula_common {
namespace detail {

// Frees its document exactly once, whichever way the function leaves.
class XmlDocument {
public:
    XmlDocument() = default;
    explicit XmlDocument(xmlDoc* doc) : doc_(doc) {}
    ~XmlDocument() {
        if (doc_) xmlFreeDoc(doc_);
    }
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    xmlDoc* get() const { return doc_; }
    xmlDoc*& out() { return doc_; }  // for parse_xml_document
    xmlNode* root() const { return doc_ ? xmlDocGetRootElement(doc_) : nullptr; }

private:
    xmlDoc* doc_ = nullptr;
};

// Texts of the three parse failures as one function words them.
struct ParseMessages {
    const char* not_parsed = "document not parsed successfully";
    const char* empty = "empty document";
    const char* wrong_type_suffix = "";  // after "root node != " and the root name
};

// Parses `output` with xmlParseMemory into `doc` and checks the root's name.
// Each failure is one Error line: `signature`, ": " and the message.
bool parse_with_root(const char* signature, const std::string& output, const char* root,
                     XmlDocument& doc, const ParseMessages& messages = {});

// Logs the wrong-type line: `signature` ": document of the wrong type, root node != "
// root suffix.
void log_wrong_root(const char* signature, const char* root, const char* suffix = "");

// The two Error lines of a failed command that most queries write:
// `signature` + first + command line + after, then output_prefix + output.
void log_command_failure(const char* signature, const std::string& first,
                         const std::string& command, const std::string& output,
                         const char* output_prefix = "Command output: ",
                         const std::string& after = "");

}  // namespace detail
}  // namespace zv_opennebula_common
