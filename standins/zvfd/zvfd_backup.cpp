// Packing: the file list of "-c" becomes one archive, either the "-n" file or a file in
// the directory standing for the media server of "-M", and a metadata file at "-m".
#include "zvfd_format.h"
#include "zvfd_io.h"
#include "zvfd_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace zvfd {

namespace {

constexpr char kListHeader[] = "ZVFD file list:";
constexpr std::size_t kZeroBlock = 4096;       // hole granularity of devices

struct Source {
    std::string path;  // as the list gave it
    std::string name;  // archive name
};

class Exclusions {
public:
    explicit Exclusions(const Options& options) {
        std::istringstream list(options.value("-x"));
        for (std::string item; std::getline(list, item, ',');) add(item);
        if (options.has("-X")) {
            std::ifstream file(options.value("-X"));
            if (!file) throw Error("cannot read exclusion file " + options.value("-X"));
            for (std::string line; std::getline(file, line);) add(line);
        }
    }
    // Absolute entries exclude that path and what lies below it; others an archive name.
    bool excluded(const std::string& path, const std::string& name) const {
        std::string abs = fs::absolute(path).lexically_normal().string();
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

private:
    void add(const std::string& item) {
        if (!item.empty()) entries_.push_back(item);
    }
    std::vector<std::string> entries_;
};

std::string join_name(const std::string& prefix, const std::string& rest) {
    return prefix.empty() ? rest : prefix + "/" + rest;
}

// Regular files below a directory, on its file system only; links and special files
// are not archive content.
void walk_directory(const std::string& dir, const std::string& prefix, const Exclusions& ex,
                    std::vector<Source>& out) {
    struct stat top {};
    if (::stat(dir.c_str(), &top) != 0) throw_errno("cannot read " + dir);
    std::vector<Source> found;
    fs::recursive_directory_iterator it(dir), end;
    for (; it != end; ++it) {
        const fs::path& p = it->path();
        std::string rel = p.lexically_relative(dir).generic_string();
        std::string name = join_name(prefix, rel);
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

void add_source(const std::string& path, const std::string& name, const Exclusions& ex,
                std::vector<Source>& out) {
    if (ex.excluded(path, name)) return;
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

std::vector<Source> collect_sources(const std::string& content, const Exclusions& ex) {
    std::vector<Source> sources;
    std::ifstream list(content);
    std::string first;
    bool is_list = fs::is_regular_file(content) && std::getline(list, first) && first == kListHeader;
    if (!is_list) {
        struct stat st {};
        if (::stat(content.c_str(), &st) != 0) throw_errno("cannot read " + content);
        if (S_ISDIR(st.st_mode))
            walk_directory(content, "", ex, sources);
        else
            add_source(content, fs::path(content).filename().string(), ex, sources);
        return sources;
    }
    for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line.erase(0, line.find_first_not_of(' '));
        if (line.empty()) continue;
        auto sep = line.rfind(" : ");
        if (sep == std::string::npos)
            add_source(line, name_from_path(line), ex, sources);
        else
            add_source(line.substr(0, sep), line.substr(sep + 3), ex, sources);
    }
    return sources;
}

struct Progress {
    Output& out;
    bool server;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    std::uint64_t reported = ~0ull;
    void report() {
        if (done == reported) return;  // nothing new since the last line
        reported = done;
        out.progress("Packed: ", done, total);
        if (server) out.progress("Transferred: ", done, total);
    }
};

class ArchiveWriter {
public:
    ArchiveWriter(const std::string& path) : fd_(open_file(path, O_WRONLY | O_CREAT | O_EXCL, 0644)) {
        append(kArchiveMagic, kMagicSize);
    }
    std::uint64_t pos() const { return pos_; }
    int fd() const { return fd_.get(); }
    void append(const void* data, std::size_t len) {
        pwrite_all(fd_.get(), data, len, pos_);
        pos_ += len;
    }
    std::uint64_t record(char type, std::uint64_t offset, std::uint64_t length) {
        // Page-aligned payloads let the kernel copy whole pages when unpacking.
        if (type == kDataRecord && length >= kPageSize && (pos_ + kRecordHeaderSize) % kPageSize != 0) {
            std::uint64_t after = pos_ + 2 * kRecordHeaderSize;
            std::uint64_t pad = (kPageSize - after % kPageSize) % kPageSize;
            write_header(kPadRecord, 0, pad);
            pos_ += pad;  // left unwritten: a hole
        }
        return write_header(type, offset, length);
    }
    std::uint64_t write_header(char type, std::uint64_t offset, std::uint64_t length) {
        unsigned char h[kRecordHeaderSize];
        h[0] = static_cast<unsigned char>(type);
        put_u64(h + 1, offset);
        put_u64(h + 9, length);
        std::uint64_t at = pos_;
        append(h, sizeof h);
        return at;
    }
    void patch_length(std::uint64_t record_at, std::uint64_t length) {
        unsigned char b[8];
        put_u64(b, length);
        pwrite_all(fd_.get(), b, 8, record_at + 9);
    }
    void skip(std::uint64_t len) { pos_ += len; }
    void finish(const std::string& index, const std::string& what) {
        std::uint64_t index_at = pos_;
        append(index.data(), index.size());
        unsigned char footer[kFooterSize];
        put_u64(footer, index_at);
        put_u64(footer + 8, index.size());
        std::memcpy(footer + 16, kFooterMagic, kMagicSize);
        append(footer, sizeof footer);
        fd_.close(what);
    }

private:
    Fd fd_;
    std::uint64_t pos_ = 0;
};

// Regular files: only the allocated ranges are read, by the kernel. Returns false when
// the file ended before its recorded size (it changed while being packed).
bool pack_regular(int src, FileEntry& entry, ArchiveWriter& archive, Progress& progress) {
    for (const Extent& e : data_extents(src, entry.size)) {
        for (std::uint64_t off = e.offset; off < e.offset + e.length; off += kProgressChunk) {
            std::uint64_t len = std::min(kProgressChunk, e.offset + e.length - off);
            std::uint64_t at = archive.record(kDataRecord, off, len);
            std::uint64_t copied = copy_range(src, off, archive.fd(), archive.pos(), len);
            archive.skip(copied);
            entry.stored += copied;
            progress.done += copied;
            if (copied < len) {
                archive.patch_length(at, copied);
                return false;
            }
            progress.report();
        }
    }
    return true;
}

// Devices cannot be asked for holes, so runs of zero blocks are left out while reading.
bool pack_device(int src, FileEntry& entry, ArchiveWriter& archive, Progress& progress) {
    static std::vector<char> buffer(1 << 20);
    static const std::vector<char> zeros(kZeroBlock, 0);
    std::uint64_t since_report = 0;
    for (std::uint64_t off = 0; off < entry.size;) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), entry.size - off));
        std::size_t got = pread_some(src, buffer.data(), want, off);
        for (std::size_t b = 0; b < got;) {
            std::size_t n = std::min(kZeroBlock, got - b);
            if (std::memcmp(buffer.data() + b, zeros.data(), n) == 0) {
                b += n;
                continue;
            }
            std::size_t run_end = b + n;
            while (run_end < got) {
                std::size_t m = std::min(kZeroBlock, got - run_end);
                if (std::memcmp(buffer.data() + run_end, zeros.data(), m) == 0) break;
                run_end += m;
            }
            archive.record(kDataRecord, off + b, run_end - b);
            archive.append(buffer.data() + b, run_end - b);
            entry.stored += run_end - b;
            b = run_end;
        }
        off += got;
        progress.done += got;
        since_report += got;
        if (since_report >= kProgressChunk) {
            progress.report();
            since_report = 0;
        }
        if (got < want) return false;
    }
    return true;
}

struct Opened {
    Fd fd;
    struct stat st {};
    std::uint64_t size = 0;
};

Opened open_source(const std::string& path) {
    Opened o;
    o.fd = open_file(path, O_RDONLY);
    if (::fstat(o.fd.get(), &o.st) != 0) throw_errno("cannot read " + path);
    if (S_ISREG(o.st.st_mode)) {
        o.size = static_cast<std::uint64_t>(o.st.st_size);
    } else if (S_ISBLK(o.st.st_mode)) {
        off_t end = ::lseek(o.fd.get(), 0, SEEK_END);
        if (end < 0) throw_errno("cannot size " + path);
        o.size = static_cast<std::uint64_t>(end);
    } else {
        throw Error(path + " is neither a regular file nor a block device");
    }
    return o;
}

std::uint64_t bytes_to_read(const Opened& o) {
    if (!S_ISREG(o.st.st_mode)) return o.size;
    std::uint64_t total = 0;
    for (const Extent& e : data_extents(o.fd.get(), o.size)) total += e.length;
    return total;
}

void write_text_file(const PartFile& part, const std::string& text) {
    Fd fd = open_file(part.path(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pwrite_all(fd.get(), text.data(), text.size(), 0);
    fd.close(part.path());
}

std::string now_text() {
    char buf[32];
    std::time_t t = std::time(nullptr);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return buf;
}

}  // namespace

int run_backup(const Options& options, const Switches& switches, Output& out) {
    const bool server = !options.has("-n");
    const std::string meta_path = options.value("-m");
    if (meta_path.empty()) throw Error("a backup needs the metadata file (-m)");

    Index index;
    std::string archive_path;
    if (server) {
        for (const char* needed : {"-M", "-N"})
            if (!is_path_component(options.value(needed)))
                throw Error(std::string("server mode needs ") + needed + " as a plain name, got '" +
                            options.value(needed) + "'");
        fs::path dir = fs::path(switches.store) / options.value("-M");
        fs::create_directories(dir);
        archive_path = (dir / options.value("-N")).string();
        index.props["media_server"] = options.value("-M");
        index.props["archive_name"] = options.value("-N");
        index.props["task"] = options.value("-T");
        index.props["task_secret"] = options.value("-s");
    } else {
        archive_path = options.value("-n");
        if (archive_path.empty()) throw Error("autonomous mode needs the archive path (-n)");
        index.props["archive_name"] = fs::path(archive_path).filename().string();
    }
    if (fs::exists(fs::symlink_status(archive_path)))
        throw Error("archive " + archive_path + " already exists; it is not overwritten");
    index.props["mode"] = server ? "server" : "autonomous";
    index.props["archive"] = archive_path;
    index.props["created"] = now_text();
    index.props["hash_algorithm"] = options.value("-a");
    index.props["hash_length"] = options.has("-5") ? "512" : "256";
    index.props["block_size"] = options.value("-b");
    index.props["compression"] = options.value("-z");
    index.props["parallelism"] = options.has("-p") ? options.value("-p") : "1";
    index.props["flags"] = options.value("-e");
    if (options.has("-S")) {
        // An incremental or differential backup names its reference; this archiver still
        // stores full copies, so the reference must only be readable.
        Index reference = read_meta_file(options.value("-S"));
        index.props["backup_kind"] = "reference";
        index.props["reference"] = options.value("-S");
        index.props["reference_archive"] = reference.prop("archive_name");
    } else {
        index.props["backup_kind"] = "full";
    }
    std::string crypto = options.has("-C") ? options.value("-C") : "nocrypt";
    index.props["crypto"] = crypto;
    if (crypto != "nocrypt") {
        if (options.value("-k").empty()) throw Error("encryption " + crypto + " needs a key file (-k)");
        index.props["key_digest"] = key_digest(options.value("-k"));
    }
    if (options.has("-g") && options.value("--sign").empty())
        throw Error("a signature (-g) needs the signing key (--sign)");
    index.props["signed"] = options.has("-g") ? "yes" : "no";

    Exclusions exclusions(options);
    std::vector<Source> sources = collect_sources(options.value("-c"), exclusions);
    std::set<std::string> names;
    for (const Source& s : sources) {
        if (!is_safe_name(s.name)) throw Error("archive name '" + s.name + "' of " + s.path + " is not a relative path");
        if (!names.insert(s.name).second) throw Error("archive name '" + s.name + "' is listed twice");
    }

    Progress progress{out, server};
    for (const Source& s : sources) progress.total += bytes_to_read(open_source(s.path));
    progress.report();

    PartFile archive_part(archive_path + ".part");
    ::unlink(archive_part.path().c_str());
    ArchiveWriter archive(archive_part.path());
    std::vector<std::string> changed;
    for (const Source& s : sources) {
        Opened src = open_source(s.path);
        FileEntry entry;
        entry.name = s.name;
        entry.offset = archive.pos();
        entry.size = src.size;
        entry.mode = src.st.st_mode & 07777;
        bool whole = S_ISREG(src.st.st_mode) ? pack_regular(src.fd.get(), entry, archive, progress)
                                             : pack_device(src.fd.get(), entry, archive, progress);
        if (!whole) changed.push_back(s.path);
        archive.record(kEndRecord, 0, 0);
        index.files.push_back(entry);
        progress.report();
    }
    archive.finish(index_text(index), archive_part.path());

    std::unique_ptr<PartFile> sign_part;
    if (options.has("-g")) {
        sign_part = std::make_unique<PartFile>(options.value("-g") + ".part");
        std::vector<std::string> cmd = {"openssl", "dgst", "-sha256", "-sign", options.value("--sign")};
        if (options.has("--passin") && fs::exists(options.value("--passin"))) {
            cmd.push_back("-passin");
            cmd.push_back("file:" + options.value("--passin"));
        }
        cmd.insert(cmd.end(), {"-out", sign_part->path(), archive_part.path()});
        out.flush();
        if (run_program(cmd) != 0) throw Error("signing " + archive_path + " failed");
    }
    PartFile meta_part(meta_path + ".part");
    write_text_file(meta_part, index_text(index));

    // Everything is complete: put the results in place, the archive first.
    archive_part.commit_to(archive_path);
    if (sign_part) sign_part->commit_to(options.value("-g"));
    meta_part.commit_to(meta_path);
    if (!changed.empty()) {
        out.flush();
        for (const auto& path : changed) std::cerr << "zvfd: defect: " << path << " shrank while being packed\n";
        return 100;
    }
    return 0;
}

}  // namespace zvfd
