// Reading the resource-list JSON file and checking it against local restrictions.
#include "modules_common/resource_list.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

namespace {
constexpr std::size_t largest_list_file = 64 * 1024 * 1024;
const char* const parse_signature = "bool ResourceList::parse_json_file(const string&)";
const char* const check_signature =
    "bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<char> "
    ">&) const";

namespace json = boost::json;

// A member's value as the list's text: a string as it is, another scalar as its JSON
// text, an object or an array as nothing.
std::string value_text(const json::value& value) {
    switch (value.kind()) {
        case json::kind::string: return std::string(value.get_string());
        case json::kind::object:
        case json::kind::array: return std::string();
        default: return json::serialize(value);
    }
}

}  // namespace

bool ResourceList::parse_json_file(const std::string& file) {
    clear();
    try {
        if (!boost::filesystem::exists(file)) {
            ZvLogStream(ZvLogLvl::Error) << parse_signature
                                         << ": resource list file does not exist: " << file
                                         << std::endl;
            return false;
        }
        // A FIFO or a device is not read: it would hold the start or feed it without end.
        std::string text, reason;
        if (!zv_utils_common::read_regular_file(file, text, reason, largest_list_file)) {
            ZvLogStream(ZvLogLvl::Error) << parse_signature << ": resource list file "
                                         << file << " can't be read: " << reason << std::endl;
            return false;
        }
        // The parser's depth limit keeps a document of deeply nested brackets from
        // exhausting the stack. A path need not be UTF-8: it is taken byte for byte.
        json::parse_options parse_options;
        parse_options.allow_invalid_utf8 = true;
        boost::system::error_code error;
        const json::value document = json::parse(text, error, {}, parse_options);
        if (error) {
            ZvLogStream(ZvLogLvl::Error) << parse_signature << ": json parser error: " << file
                                         << ": " << error.message() << std::endl;
            return false;
        }
        auto take_paths = [this](const json::value& entry) {
            if (!entry.is_object()) return;
            for (const auto& member : entry.get_object())
                if (member.key() == "path") resources_.push_back(value_text(member.value()));
        };
        if (document.is_object())
            for (const auto& member : document.get_object()) take_paths(member.value());
        else if (document.is_array())
            for (const auto& element : document.get_array()) take_paths(element);
        if (resources_.empty()) {
            ZvLogStream(ZvLogLvl::Warning) << parse_signature
                                           << ": there is no any resource in json file: " << file
                                           << std::endl;
        }
        return true;
    } catch (const boost::filesystem::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << parse_signature << ": filesystem error: " << e.what()
                                     << std::endl;
    }
    return false;
}

bool ResourceList::check_local_restrictions(const std::vector<std::string>& restrictions) const {
    for (const auto& restriction : restrictions) {
        for (const auto& resource : resources_) {
            if (resource != restriction) continue;
            ZvLogStream(ZvLogLvl::Error) << check_signature
                                         << ": Unable to backup this resource from ResourceList: "
                                         << resource << ". Local restriction" << std::endl;
            return false;
        }
    }
    return true;
}
