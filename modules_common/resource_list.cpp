// Reading the resource-list JSON file and checking it against local restrictions.
#include "modules_common/resource_list.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sstream>

namespace {
constexpr std::size_t largest_list_file = 64 * 1024 * 1024;
const char* const parse_signature = "bool ResourceList::parse_json_file(const string&)";
const char* const check_signature =
    "bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<char> "
    ">&) const";
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
        std::istringstream in(text);
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(in, tree);
        for (const auto& entry : tree) {
            for (const auto& child : entry.second) {
                if (child.first == "path") resources_.push_back(child.second.data());
            }
        }
        if (resources_.empty()) {
            ZvLogStream(ZvLogLvl::Warning) << parse_signature
                                           << ": there is no any resource in json file: " << file
                                           << std::endl;
        }
        return true;
    } catch (const boost::property_tree::json_parser_error& e) {
        ZvLogStream(ZvLogLvl::Error) << parse_signature << ": json parser error: " << e.what()
                                     << std::endl;
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
