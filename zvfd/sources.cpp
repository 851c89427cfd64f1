#include "zvfd/sources.h"

#include "zvfd/io.h"
#include "zvfd/record.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace zvfd {

namespace {

constexpr char kListHeader[] = "ZVFD file list:";

std::string join_name(const std::string& prefix, const std::string& rest) {
    return prefix.empty() ? rest : prefix + "/" + rest;
}

// Regular files below a directory, on its file system only; links and special files
// are not archive content.
void walk_directory(const std::string& dir, const std::string& prefix, const Exclusions& ex, std::vector<Source>& out) {
    struct stat top {};
    if (::stat(dir.c_str(), &top) != 0) throw_errno("cannot read " + dir);
    std::vector<Source> found;
    fs::recursive_directory_iterator it(dir), end;
    for (; it != end; ++it) {
        const fs::path& p = it->path();
        std::string name = join_name(prefix, p.lexically_relative(dir).generic_string());
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) throw_errno("cannot read " + p.string());
        if (S_ISDIR(st.st_mode)) {
            if (st.st_dev != top.st_dev || ex.excluded(p.string(), name)) it.disable_recursion_pending();
            continue;
        }
        if (S_ISREG(st.st_mode) && !ex.excluded(p.string(), name)) found.push_back({p.string(), name});
    }
    std::sort(found.begin(), found.end(), [](const Source& a, const Source& b) { return a.name < b.name; });
    out.insert(out.end(), found.begin(), found.end());
}

// A source that "-c" names itself: archived whatever the exclusions say, which only
// apply to what a walk of it finds.
void add_source(const std::string& path, const std::string& name, const Exclusions& ex, std::vector<Source>& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw_errno("cannot read " + path);
    if (S_ISDIR(st.st_mode))
        walk_directory(path, name, ex, out);
    else
        out.push_back({path, name});
}

// A replica lists paths alone; its files keep their path, made relative, as name.
std::string name_from_path(const std::string& path) {
    std::string name = fs::path(path).lexically_normal().generic_string();
    name.erase(0, name.find_first_not_of('/'));
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name;
}

// Pieces between commas, empty ones kept, so that a line such as "a,,b" can match.
std::vector<std::string> comma_pieces(const std::string& text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        pieces.push_back(text.substr(start, comma - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

}  // namespace

Exclusions::Exclusions(const std::string& comma_list, const std::string& file) {
    std::vector<std::string> lines;
    if (!file.empty()) {
        std::ifstream in(file);
        if (!in) throw Error("cannot read exclusion file " + file);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(line);
    }
    const std::vector<std::string> pieces = comma_pieces(comma_list);
    for (std::size_t i = 0; i < pieces.size();) {
        std::string entry = pieces[i];
        std::size_t taken = 1;
        for (const auto& line : lines) {
            const std::size_t spans = static_cast<std::size_t>(std::count(line.begin(), line.end(), ',')) + 1;
            if (spans <= taken || i + spans > pieces.size()) continue;
            std::string joined = pieces[i];
            for (std::size_t k = 1; k < spans; ++k) joined += "," + pieces[i + k];
            if (joined == line) {
                entry = std::move(joined);
                taken = spans;
            }
        }
        if (!entry.empty()) entries_.push_back(std::move(entry));
        i += taken;
    }
    entries_.insert(entries_.end(), lines.begin(), lines.end());
}

bool Exclusions::excluded(const std::string& path, const std::string& name) const {
    const std::string abs = fs::absolute(path).lexically_normal().string();
    for (const auto& e : entries_) {
        if (e.front() != '/') {
            if (e == name) return true;
        } else if (abs == e || (abs.size() > e.size() && abs.compare(0, e.size(), e) == 0 &&
                                (e.back() == '/' || abs[e.size()] == '/'))) {
            return true;
        }
    }
    return false;
}

std::vector<Source> collect_sources(const std::string& content, const Exclusions& ex) {
    std::vector<Source> sources;
    std::ifstream list(content);
    std::string first;
    const bool is_list = fs::is_regular_file(content) && std::getline(list, first) && first == kListHeader;
    if (!is_list) {
        struct stat st {};
        if (::stat(content.c_str(), &st) != 0) throw_errno("cannot read " + content);
        if (S_ISDIR(st.st_mode))
            walk_directory(content, "", ex, sources);
        else
            add_source(content, fs::path(content).filename().string(), ex, sources);
    } else {
        for (std::string line; std::getline(list, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            line.erase(0, line.find_first_not_of(' '));
            if (line.empty()) continue;
            const auto sep = line.rfind(" : ");
            if (sep == std::string::npos)
                add_source(line, name_from_path(line), ex, sources);
            else
                add_source(line.substr(0, sep), line.substr(sep + 3), ex, sources);
        }
    }
    std::vector<std::string> names;
    for (const Source& s : sources) names.push_back(s.name);
    const std::string fault = names_fault(names);
    if (!fault.empty()) throw Error("the files to back up could not be restored: " + fault);
    return sources;
}

}  // namespace zvfd
