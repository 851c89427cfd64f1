// Resource names read from the JSON list file of a multi-resource backup.
#pragma once

#include <string>
#include <vector>

class ResourceList {
public:
    bool parse_json_file(const std::string& path);
    const std::vector<std::string>& resources() const { return resources_; }

private:
    std::vector<std::string> resources_;
};
