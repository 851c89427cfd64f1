// Resource names read from the JSON list file of a multi-resource backup (-B),
// and their check against the host's local restriction list.
#pragma once

#include <list>
#include <string>
#include <vector>

class ResourceList {
public:
    ResourceList() = default;
    ResourceList(const ResourceList&) = default;
    ResourceList& operator=(const ResourceList&) = default;
    ~ResourceList() = default;

    // Takes every "path" member one level below the document's top-level entries,
    // in document order. False when the file is missing or not JSON.
    bool parse_json_file(const std::string& file);
    void clear() { resources_.clear(); }
    bool is_empty() const { return resources_.empty(); }
    // False (with an Error) when a listed resource is one of the restrictions.
    bool check_local_restrictions(const std::vector<std::string>& restrictions) const;

    const std::list<std::string>& resources() const { return resources_; }

private:
    std::list<std::string> resources_;
};
