// Shared by the OS-snapshot providers and the framework's OS-snapshot members only:
// the failed-command message, and reading their JSON documents (lsblk replies, the
// dattobd status document) as JSON text with the shape checks and their messages.
#pragma once

#include "common/zv_logger.h"

#include <boost/json.hpp>

#include <algorithm>
#include <new>
#include <string>

namespace os_snapshot_internal {

// The Error lines of a failed command: the command line after the signature, then
// what the command printed.
inline void log_command_failure(const std::string& signature, const std::string& command,
                                const std::string& output) {
    ZvLogStream(ZvLogLvl::Error) << signature << ": command: " << command << std::endl;
    ZvLogStream(ZvLogLvl::Error) << output << std::endl;
}

}  // namespace os_snapshot_internal

namespace os_snapshot_json {

// The value serialized back to JSON with every double quote removed: a string gives its
// characters, a number its digits, null the word null.
inline std::string text(const boost::json::value& value) {
    std::string result = boost::json::serialize(value);
    result.erase(std::remove(result.begin(), result.end(), '"'), result.end());
    return result;
}

// False, logged, when memory runs out while parsing. A document that is not JSON at all
// throws boost::system::system_error to the caller.
inline bool parse(const std::string& document, const std::string& signature,
                  boost::json::value& result) {
    try {
        result = boost::json::parse(document);
    } catch (const std::bad_alloc& e) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": json parsing failed: " << e.what()
                                     << std::endl;
        return false;
    }
    return true;
}

// The value as an object with at least one member, or null after an Error line.
inline const boost::json::object* non_empty_object(const boost::json::value& value,
                                                   const std::string& signature) {
    const boost::json::object* object = value.if_object();
    if (object == nullptr) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": json value is not an object" << std::endl;
        return nullptr;
    }
    if (object->empty()) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": json object value is empty" << std::endl;
        return nullptr;
    }
    return object;
}

inline const boost::json::array* array(const boost::json::value& value,
                                       const std::string& signature) {
    const boost::json::array* result = value.if_array();
    if (result == nullptr)
        ZvLogStream(ZvLogLvl::Error) << signature << ": json value is not an array" << std::endl;
    return result;
}

}  // namespace os_snapshot_json
