// What a backup reads: the files named by "-c" (a "ZVFD file list:" file, a directory
// such as ".", or one path), each with the name it gets in the record, less what
// "-x" (comma list) and "-X" (file, one entry a line) exclude from a directory walk.
// Absolute entries exclude that path and everything below it; other entries exclude
// a record name. A file that "-c" names itself (a list entry, or the one path) is
// always archived: exclusions only keep a walk from adding what it finds.
//
// The module appends resource names to "-x", joined by commas, and names the file
// they come from with "-X"; so commas that join the pieces of one "-X" line are
// part of that entry, not separators (a resource "a,vda" excludes neither "a" nor
// "vda").
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
    // Whether a walk leaves out what it found at `path` under record name `name`.
    bool excluded(const std::string& path, const std::string& name) const;
    const std::vector<std::string>& entries() const { return entries_; }

private:
    std::vector<std::string> entries_;
};

// Throws Error for a source that cannot be read and for names that could not be
// restored (names_fault, record.h).
std::vector<Source> collect_sources(const std::string& content, const Exclusions& exclusions);

}  // namespace zvfd
