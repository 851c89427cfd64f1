// Unpacking: the archive of "-r" (autonomous) or of "-M" with the record named by the
// metadata file "-m" or by "-R" (server) goes into "-d", each file under its archive
// name, holes left as holes.
#include "zvfd_format.h"
#include "zvfd_io.h"
#include "zvfd_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace zvfd {

namespace {


std::string locate_archive(const Options& options, const Switches& switches) {
    if (options.has("-r")) {
        if (options.has("-R")) throw Error("give either -r (autonomous) or -R (server), not both");
        std::string path = options.value("-r");
        if (!fs::exists(path) && fs::exists(path + ".zvfd")) path += ".zvfd";
        return path;
    }
    if (!options.has("-R")) throw Error("a restore needs -r (archive) or -R (record)");
    std::string server = options.value("-M");
    if (!is_path_component(server)) throw Error("server mode needs -M as a plain name, got '" + server + "'");
    // The metadata file of the backup names its archive; a bare record id is taken as it.
    std::string name = options.has("-m") ? read_meta_file(options.value("-m")).prop("archive_name")
                                         : options.value("-R");
    if (!is_path_component(name)) throw Error("record '" + name + "' is not a plain name");
    return (fs::path(switches.store) / server / name).string();
}

Index read_archive_index(int fd, const std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw_errno("cannot read " + path);
    std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    char magic[kMagicSize];
    unsigned char footer[kFooterSize];
    if (size < kMagicSize + kFooterSize) throw Error(path + " is not a zvfd archive");
    pread_exact(fd, magic, kMagicSize, 0);
    pread_exact(fd, footer, kFooterSize, size - kFooterSize);
    if (std::memcmp(magic, kArchiveMagic, kMagicSize) != 0 || std::memcmp(footer + 16, kFooterMagic, kMagicSize) != 0)
        throw Error(path + " is not a zvfd archive");
    std::uint64_t at = get_u64(footer), len = get_u64(footer + 8);
    if (at < kMagicSize || len > size || at > size - kFooterSize - len) throw Error(path + " has a damaged footer");
    std::string text(len, '\0');
    pread_exact(fd, text.data(), len, at);
    Index index = parse_index(text);
    for (const auto& f : index.files)
        if (f.offset < kMagicSize || f.offset >= at) throw Error(path + " has a damaged index");
    index.props["@data_end"] = std::to_string(at);
    return index;
}

std::vector<const FileEntry*> select_files(const Index& index, const Options& options) {
    std::vector<const FileEntry*> chosen;
    if (!options.has("-f")) {
        for (const auto& f : index.files) chosen.push_back(&f);
        return chosen;
    }
    // A granular restore names archive names in a file, one a line, or as a comma list.
    std::set<std::string> wanted;
    std::string list = options.value("-f");
    if (fs::is_regular_file(list)) {
        std::ifstream in(list);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) wanted.insert(line);
    } else {
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = std::min(list.find(',', start), list.size());
            if (end > start) wanted.insert(list.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const auto& f : index.files)
        if (wanted.erase(f.name)) chosen.push_back(&f);
    if (!wanted.empty()) throw Error("the archive holds no file named '" + *wanted.begin() + "'");
    return chosen;
}

void unpack_file(int archive, std::uint64_t data_end, const FileEntry& entry, const std::string& dest,
                 Output& out, std::uint64_t& done, std::uint64_t total) {
    fs::create_directories(fs::path(dest).parent_path());
    PartFile part(dest + ".zvfd-part");
    Fd fd = open_file(part.path(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::ftruncate(fd.get(), static_cast<off_t>(entry.size)) != 0) throw_errno("cannot size " + dest);
    std::uint64_t pos = entry.offset;
    std::uint64_t since_report = 0;
    for (;;) {
        unsigned char h[kRecordHeaderSize];
        if (pos + kRecordHeaderSize > data_end) throw Error("archive record of " + entry.name + " is damaged");
        pread_exact(archive, h, sizeof h, pos);
        pos += kRecordHeaderSize;
        if (h[0] == kEndRecord) break;
        std::uint64_t off = get_u64(h + 1), len = get_u64(h + 9);
        if (h[0] == kPadRecord && len <= data_end - pos) {
            pos += len;
            continue;
        }
        if (h[0] != kDataRecord || off > entry.size || len > entry.size - off || len > data_end - pos)
            throw Error("archive record of " + entry.name + " is damaged");
        if (copy_range(archive, pos, fd.get(), off, len) != len) throw Error("archive is truncated");
        pos += len;
        done += len;
        since_report += len;
        if (since_report >= kProgressChunk) {
            out.progress("Unpacked: ", done, total);
            since_report = 0;
        }
    }
    if (::fchmod(fd.get(), entry.mode & 07777) != 0) throw_errno("cannot set the mode of " + dest);
    fd.close(dest);
    part.commit_to(dest);
}

}  // namespace

int run_restore(const Options& options, const Switches& switches, Output& out) {
    std::string dir = options.value("-d");
    if (dir.empty()) throw Error("a restore needs the target directory (-d)");
    std::string archive_path = locate_archive(options, switches);
    Fd archive = open_file(archive_path, O_RDONLY);
    Index index = read_archive_index(archive.get(), archive_path);

    std::string crypto = index.prop("crypto");
    if (!crypto.empty() && crypto != "nocrypt") {
        if (options.value("-C") != crypto) throw Error("archive is encrypted with " + crypto + "; give -C " + crypto);
        if (options.value("-k").empty() || key_digest(options.value("-k")) != index.prop("key_digest"))
            throw Error("the key file does not open this archive");
    }
    std::vector<const FileEntry*> files = select_files(index, options);
    std::set<std::string> names;
    std::uint64_t total = 0;
    for (const FileEntry* f : files) {
        if (!is_safe_name(f->name)) throw Error("archive name '" + f->name + "' would leave the target directory");
        if (!names.insert(f->name).second) throw Error("archive name '" + f->name + "' occurs twice");
        total += f->stored;
    }

    fs::create_directories(dir);
    std::uint64_t data_end = std::stoull(index.prop("@data_end"));
    std::uint64_t done = 0;
    out.progress("Unpacked: ", 0, total);
    for (const FileEntry* f : files) {
        unpack_file(archive.get(), data_end, *f, (fs::path(dir) / f->name).string(), out, done, total);
        out.progress("Unpacked: ", done, total);
        if (!options.has("-r")) out.progress("Transferred: ", done, total);
    }
    return 0;
}

}  // namespace zvfd
