// Checks the domain tests make on a real libvirt domain after the module worked on
// it: which images it runs on (live and inactive definition), which snapshot
// overlays lie in a directory, what an image's checksum and backing file are.
#pragma once

#include "support/hold.h"
#include "support/test_guest.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace zv_test {

// Target -> source image of the domain's disks as `virsh domblklist` shows them.
inline std::map<std::string, std::string> block_list(const std::string& domain,
                                                     bool inactive = false) {
    std::vector<std::string> args = {"domblklist", domain};
    if (inactive) args.push_back("--inactive");
    std::map<std::string, std::string> sources;
    std::istringstream lines(virsh(args).out);
    for (std::string line; std::getline(lines, line);) {
        // "target   source", the source up to the line end (it may hold blanks).
        std::istringstream words(line);
        std::string target, source;
        if (!(words >> target) || target.rfind("vd", 0) != 0) continue;
        std::getline(words >> std::ws, source);
        source.erase(source.find_last_not_of(" \t\r") + 1);
        sources[target] = source;
    }
    return sources;
}

// The images the test domain was defined with.
inline std::map<std::string, std::string> own_images(const TestDomain& dom) {
    std::map<std::string, std::string> images;
    for (const auto& disk : dom.disks()) images[disk.target] = disk.image.string();
    return images;
}

// Files named like snapshot overlays ("*.snapshot.*.qcow2") anywhere below `directory`.
inline std::set<std::string> overlay_files(const boost::filesystem::path& directory) {
    static const std::regex overlay(".*\\.snapshot\\..*\\.qcow2");
    std::set<std::string> found;
    for (boost::filesystem::recursive_directory_iterator it(directory), end; it != end; ++it)
        if (std::regex_match(it->path().filename().string(), overlay)) found.insert(it->path().string());
    return found;
}

inline std::string sha256_of(const boost::filesystem::path& file) {
    const auto result = run_program({"sha256sum", file.string()});
    return result.ok() ? result.out.substr(0, 64) : "unreadable: " + result.describe();
}

// The backing file qemu-img records in an image; empty when it has none.
inline std::string backing_file_of(const boost::filesystem::path& image) {
    const auto info = run_program({"qemu-img", "info", "-U", "--output=json", image.string()});
    if (!info.ok()) return "unreadable: " + info.describe();
    const boost::json::value parsed = boost::json::parse(info.out);
    const auto* backing = parsed.as_object().if_contains("backing-filename");
    return backing ? std::string(backing->as_string()) : std::string();
}

// "frozen", "thawed", or what went wrong.
inline std::string freeze_status(const TestDomain& dom) {
    const auto reply = dom.agent_command(R"({"execute":"guest-fsfreeze-status"})");
    boost::system::error_code ec;
    const auto parsed = boost::json::parse(reply.out, ec);
    const auto* ret = !ec && parsed.is_object() ? parsed.as_object().if_contains("return") : nullptr;
    return ret && ret->is_string() ? std::string(ret->as_string()) : "no answer: " + reply.describe();
}

inline int line_count(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

// The guest's counter once it has at least `lines` lines (the guest writes one every
// few seconds); empty when that never came.
inline std::string counter_with(const TestDomain& dom, int lines) {
    std::string text;
    const bool written = wait_for([&] {
        text = dom.read_guest_file(kGuestCounter);
        return line_count(text) >= lines;
    });
    return written ? text : "";
}

inline std::string last_line(const std::string& text) {
    std::istringstream lines(text);
    std::string last;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) last = line;
    return last;
}

}  // namespace zv_test
