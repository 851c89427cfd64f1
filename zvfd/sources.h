// What a backup reads: the files named by "-c" (a "ZVFD file list:" file, a directory
// such as ".", or one path), each with the name it gets in the record, less what
// "-x" (comma list) and "-X" (file, one entry a line) exclude. Absolute entries
// exclude that path and everything below it; other entries exclude a record name.
#pragma once

#include <string>
#include <vector>

namespace zvfd {

struct Source {
    std::string path;  // as the list gave it
    std::string name;  // record name
};

class Exclusions {
public:
    Exclusions(const std::string& comma_list, const std::string& file);
    bool excluded(const std::string& path, const std::string& name) const;

private:
    std::vector<std::string> entries_;
};

// Throws Error for a source that cannot be read, a name that would leave the restore
// directory and a name given twice.
std::vector<Source> collect_sources(const std::string& content, const Exclusions& exclusions);

}  // namespace zvfd
