// Private helpers of the OpenNebula library's query functions: owning a parsed
// document, running a tool and parsing its answer with the failure lines each
// step writes, and small conversions more than one query needs.
#pragma once

#include "opennebula/opennebula.h"

#include "common/zv_logger.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

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

// How a failed command is worded by log_command_failure.
struct CommandFailure {
    const char* first;
    const char* output_prefix = "Command output: ";
    const char* after = "";
};
// ": command <line>", then the output alone.
inline constexpr CommandFailure kCommandThenOutput{"command ", ""};
// ": command was: <line>", then "Command output: " and the output.
inline constexpr CommandFailure kCommandWas{"command was: "};
// ": command <line> produced an error", then "Command output: " and the output.
inline constexpr CommandFailure kCommandProducedError{"command ", "Command output: ",
                                                      " produced an error"};
// ": the following command produced an error: <line>", then "Command output: ".
inline constexpr CommandFailure kFollowingCommandError{"the following command produced an error: "};

// Runs `command` into `output`; a failure is logged as `failure` words it.
bool run_tool(const char* signature, const std::string& command, const CommandFailure& failure,
              std::string& output);

// run_tool, then parse_with_root on the output.
bool query_tool(const char* signature, const std::string& command, const CommandFailure& failure,
                const char* root, XmlDocument& doc, const ParseMessages& messages = {});

// Parses with parse_xml_document, which logs its own failure lines; `parse_failure`,
// unless null, adds one line of the caller's. A root of another name is logged by
// log_wrong_root with `wrong_type_suffix`.
bool parse_and_check_root(const char* signature, const std::string& output, const char* root,
                          XmlDocument& doc, const char* parse_failure,
                          const char* wrong_type_suffix = "");

// The three Error lines of a command OpenNebula refused: `signature` ": " `first`,
// then "Command was: " and "Command output: ".
void log_refused(const char* signature, const std::string& first, const std::string& command,
                 const std::string& output);

// "onevm show <vm> -x".
std::string vm_show_command(const std::string& vm);
// Runs "onevm show"; a refusal is logged by log_refused as "can't get info for VM: <vm>".
bool run_vm_show(const char* signature, const std::string& vm, std::string& output);
// run_vm_show, then the VM document, whose empty-document and wrong-type lines end in ": ".
bool show_vm_document(const char* signature, const std::string& vm, XmlDocument& doc);

// The text of every first-level `inner` of every first-level `outer` of `parent`,
// appended in document order.
void append_grandchild_texts(xmlDoc* doc, const xmlNode* parent, const char* outer,
                             const char* inner, std::vector<std::string>& texts);

// Runs a "list -x" `command` (kCommandProducedError), parses its `pool` document
// (parse failure line "can't parse xml data") and appends the NAME of every `entry`.
bool query_pool_names(const char* signature, const std::string& command, const char* pool,
                      const char* entry, std::vector<std::string>& names);

// The unique signature of an image's data: a file digest, for a block image its
// LVM uuid when `lvm_uuid` says so and else its device digest, or a Ceph id.
// `source` becomes its link target for file and block images. Every failure is
// logged, the unsupported disk type and the failed computation with `signature`.
bool compute_image_signature(const char* signature, int disk_type, int type, bool lvm_uuid,
                             std::string& source, std::string& computed);

// NAME and UNAME (the owner's user name) of an image, failing and logged as
// get_image_name.
bool image_name_and_owner(const std::string& image_id, std::string& name, std::string& owner);

// OpenNebula's SIZE texts are megabytes in any base std::stoull reads.
inline std::uint64_t megabytes_to_bytes(const std::string& text) {
    return static_cast<std::uint64_t>(std::stoull(text, nullptr, 0)) << 20;
}

inline std::string without_line_feeds(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

// Answers `body()`; a std::exception it throws is logged as `signature` `label`
// what() and answers `failure` instead.
template <typename Result, typename Body>
Result logging_exceptions(const char* signature, Result failure, Body&& body,
                          const char* label = ": ") {
    try {
        return body();
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << signature << label << e.what() << std::endl;
        return failure;
    }
}

}  // namespace detail
}  // namespace zv_opennebula_common
