// Restore and replica application: the record of "-r" (archive file) or "-m"/"-R"
// (repository of "-M", any task) comes back below "-d". Every block is checked
// against its name (and its tag when sealed) before it is written; files are written
// under a temporary name and renamed only when every file is complete, holes stay
// holes. A replica application ("-E") changes existing files in place and writes
// only the blocks that differ.
#include "zvfd/archive_file.h"
#include "zvfd/block_name.h"
#include "zvfd/chunker.h"
#include "zvfd/compress.h"
#include "zvfd/ops.h"
#include "zvfd/pack_fetcher.h"
#include "zvfd/part_files.h"
#include "zvfd/progress.h"
#include "zvfd/repository.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/uio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace zvfd {

namespace {

std::vector<const FileEntry*> select_files(const Record& record, const Options& options) {
    std::vector<const FileEntry*> chosen;
    if (!options.has("-f")) {
        for (const auto& f : record.files) chosen.push_back(&f);
        return chosen;
    }
    // A granular restore names record names in a file, one a line (ended by a line
    // feed, or a carriage return and a line feed), or as a comma list.
    std::set<std::string> wanted;
    const std::string list = options.value("-f");
    if (fs::is_regular_file(list)) {
        std::ifstream in(list);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) wanted.insert(line);
        }
        if (in.bad()) throw Error("cannot read the list of files to restore (-f) " + list);
    } else {
        std::size_t start = 0;
        while (start <= list.size()) {
            const std::size_t end = std::min(list.find(',', start), list.size());
            if (end > start) wanted.insert(list.substr(start, end - start));
            start = end + 1;
        }
    }
    if (wanted.empty()) throw Error("-f '" + list + "' names no file to restore");
    for (const auto& f : record.files)
        if (wanted.erase(f.name)) chosen.push_back(&f);
    if (!wanted.empty()) throw Error("the record holds no file named '" + *wanted.begin() + "'");
    return chosen;
}

struct RecordAddress {
    std::string task, name;
    unsigned version = 0;
    std::string payload;        // the metadata file's record, when one was given,
    std::optional<Record> meta;  // and that record decoded
};

// A restore runs as a task of its own, on any host that reaches the media server: the
// record is the one the metadata file of its backup names (task, name and version),
// or else the newest version of the one of that name among all tasks of the store,
// the restore's own task first. Reading asks for no task secret: the store's access
// and the record's key guard it.
RecordAddress find_record(Repository& repository, const Options& options) {
    if (options.has("-m")) {
        const std::string path = options.value("-m");
        RecordAddress at;
        at.payload = read_meta_payload(path);
        at.meta = decode_record(at.payload, "metadata file " + path);
        at.task = at.meta->prop("task");
        at.name = at.meta->prop("archive_name");
        at.version = record_version(*at.meta);
        if (!is_plain_name(at.task) || !is_plain_name(at.name))
            throw Error("metadata file " + path + " names no record of a media server");
        return at;
    }
    const std::string name = options.value("-R");
    if (!is_plain_name(name)) throw Error("record name (-R) must be a plain name, got '" + name + "'");
    const std::vector<std::string> tasks = repository.tasks_with_record(name);
    const std::string own = options.value("-T");
    std::string task;
    if (std::find(tasks.begin(), tasks.end(), own) != tasks.end()) {
        task = own;
    } else {
        const std::string where = " of the repository " + repository.storage().describe();
        if (tasks.empty()) throw Error("no task" + where + " holds a record " + name);
        if (tasks.size() > 1) {
            std::string list;
            for (const auto& t : tasks) list += (list.empty() ? "" : ", ") + t;
            throw Error("record " + name + " is held by tasks " + list + where +
                        ": give the metadata file of its backup (-m) to say which");
        }
        task = tasks.front();
    }
    RecordAddress at;
    at.task = task;
    at.name = name;
    at.version = repository.latest_version(task, name);
    return at;
}

struct Target {
    const FileEntry* entry = nullptr;
    std::string path;       // final name
    std::string part;       // temporary name; empty when changed in place
    Fd fd;
    bool committed = false;
    std::atomic<std::uint64_t> written{0};
    ~Target() {
        if (part.empty() || committed) return;
        ::unlink(part.c_str());
        forget_part_file(part);
    }
};

struct Use {
    Target* target;
    const BlockRef* ref;
};

// Starts writing a new file's data out while the restore goes on, so that the final
// flush does not find the whole file still in memory.
void start_writeback(Target& t, std::uint64_t bytes) {
    constexpr std::uint64_t every = 64u << 20;
    const std::uint64_t before = t.written.fetch_add(bytes);
    if (before / every != (before + bytes) / every) ::sync_file_range(t.fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

// Blocks for new files, gathered and written in runs: one write per stretch of
// neighbouring blocks instead of one per block, since every write takes the file's
// lock that the other workers wait for. Only the pages that hold data are written,
// so zero pages stay holes.
class WriteBatch {
public:
    static constexpr std::size_t kArena = 8u << 20;
    // Room for at least one block of `largest` bytes.
    explicit WriteBatch(std::size_t largest) : arena_(std::max(kArena, largest)) {}
    // Room for a block's bytes until the next flush, flushing first when full.
    char* hold(std::size_t size) {
        if (size > arena_.size()) throw Error("a block is larger than the restore can hold");
        if (used_ + size > arena_.size()) flush();
        char* at = arena_.data() + used_;
        used_ += (size + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
        return at;
    }
    void add(Target* target, const char* data, std::size_t size, std::uint64_t offset) {
        constexpr std::size_t page = 4096;
        for (std::size_t at = 0; at < size;) {
            const std::size_t n = std::min(page, size - at);
            if (!is_all_zero(data + at, n)) runs_.push_back({target, offset + at, data + at, n});
            at += n;
        }
    }
    void flush() {
        std::sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) {
            return a.target != b.target ? a.target < b.target : a.offset < b.offset;
        });
        std::vector<iovec> iov;
        for (std::size_t i = 0; i < runs_.size();) {
            Target* t = runs_[i].target;
            const std::uint64_t start = runs_[i].offset;
            std::uint64_t end = start;
            iov.clear();
            for (; i < runs_.size() && runs_[i].target == t && runs_[i].offset == end && iov.size() < 512; ++i) {
                iov.push_back({const_cast<char*>(runs_[i].data), runs_[i].size});
                end += runs_[i].size;
            }
            pwritev_all(t->fd.get(), iov, start);
            start_writeback(*t, end - start);
        }
        runs_.clear();
        used_ = 0;
    }

private:
    struct Run {
        Target* target;
        std::uint64_t offset;
        const char* data;
        std::size_t size;
    };
    AlignedBuffer arena_;
    std::size_t used_ = 0;
    std::vector<Run> runs_;
};

// Ranges of the file that no block covers; they must read as zeros.
std::vector<Extent> gaps(const FileEntry& entry) {
    std::vector<Extent> result;
    std::uint64_t at = 0;
    for (const auto& b : entry.blocks) {
        if (b.offset > at) result.push_back({at, b.offset - at});
        at = std::max<std::uint64_t>(at, b.offset + b.length);
    }
    if (entry.size > at) result.push_back({at, entry.size - at});
    return result;
}

// In place: where the existing file holds data that the record says is zero, make it
// a hole (or write zeros where the file system cannot punch).
void clear_gaps(Target& t) {
    const int fd = t.fd.get();
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw_errno("cannot read " + t.path);
    const auto old_size = static_cast<std::uint64_t>(st.st_size);
    const std::vector<Extent> data = data_extents(fd, std::min(old_size, t.entry->size));
    static const std::string zeros(1 << 20, '\0');
    for (const Extent& g : gaps(*t.entry)) {
        for (const Extent& d : data) {
            const std::uint64_t b = std::max(g.offset, d.offset);
            const std::uint64_t e = std::min(g.offset + g.length, d.offset + d.length);
            if (b >= e) continue;
            if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(b),
                            static_cast<off_t>(e - b)) == 0)
                continue;
            for (std::uint64_t at = b; at < e; at += zeros.size())
                pwrite_all(fd, zeros.data(), static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), e - at)), at);
        }
    }
}

void finish_target(Target& t) {
    const int fd = t.fd.get();
    if (::ftruncate(fd, static_cast<off_t>(t.entry->size)) != 0) throw_errno("cannot size " + t.path);
    if (::geteuid() == 0 && ::fchown(fd, t.entry->uid, t.entry->gid) != 0) throw_errno("cannot set the owner of " + t.path);
    if (::fchmod(fd, t.entry->mode & 07777) != 0) throw_errno("cannot set the mode of " + t.path);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(t.entry->mtime), 0}};
    ::futimens(fd, times);
    if (::fsync(fd) != 0) throw_errno("cannot flush " + t.path);
    t.fd.close(t.path);
}

}  // namespace

int run_restore(const Options& options, const TestAid& aid, Output& out) {
    const std::string dir = options.value("-d");
    if (dir.empty()) throw Error("a restore needs the target directory (-d)");
    const Keys keys = derive_keys(options.value("-C"), options.value("-k"));
    const bool server = !options.has("-r");

    std::unique_ptr<Storage> storage;
    RecordAddress at;
    at.task = kArchiveTask;
    at.name = kArchiveRecord;
    if (!server) {
        if (options.has("-R")) throw Error("give either -r (autonomous) or -R (server), not both");
        std::string path = options.value("-r");
        if (::access(path.c_str(), F_OK) != 0 && ::access((path + ".zvfd").c_str(), F_OK) == 0) path += ".zvfd";
        storage = ArchiveFile::open(path);
    } else {
        if (!options.has("-R")) throw Error("a restore needs -r (archive) or -R (record)");
        const std::string server_name = options.value("-M");
        if (server_name.empty()) throw Error("server mode needs the media server (-M)");
        const std::string location = repository_location(server_name);
        if (location[0] == '/' && !fs::is_directory(location))
            throw Error("media server " + server_name + " has no repository at " + location);
        storage = open_location(location);
    }
    Repository repository(*storage, keys);
    if (server)
        at = find_record(repository, options);
    else
        at.version = repository.latest_version(at.task, at.name);
    // With its metadata file, the record must be the very one the backup wrote.
    if (at.meta) repository.confirm_record(at.task, at.name, at.version, at.payload);
    const Record record = at.meta ? std::move(*at.meta) : repository.get_record(at.task, at.name, at.version);
    const DigestKind kind = record.prop("digest") == "sha512" ? DigestKind::Sha512 : DigestKind::Sha256;
    const BlockNamer namer(kind, keys.naming);

    std::vector<const FileEntry*> files = select_files(record, options);
    std::set<std::string> names;
    std::uint64_t total = 0;
    std::size_t largest_block = 0;
    for (const FileEntry* f : files) {
        for (const auto& b : f->blocks) largest_block = std::max<std::size_t>(largest_block, b.length);
        if (!is_safe_name(f->name)) throw Error("record name '" + f->name + "' would leave the target directory");
        if (!names.insert(f->name).second) throw Error("record name '" + f->name + "' occurs twice");
        total += f->stored_bytes();
    }

    fs::create_directories(dir);
    const bool replica = options.has("-E");
    std::vector<std::unique_ptr<Target>> targets;
    std::map<std::uint32_t, std::vector<Use>> by_pack;
    for (const FileEntry* f : files) {
        auto t = std::make_unique<Target>();
        t->entry = f;
        t->path = (fs::path(dir) / f->name).string();
        fs::create_directories(fs::path(t->path).parent_path());
        struct stat st {};
        if (replica && ::stat(t->path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            t->fd = open_file(t->path, O_RDWR);
        } else {
            t->part = t->path + ".zvfd-part";
            ::unlink(t->part.c_str());  // left by a restore that was killed
            t->fd = create_part_file(AT_FDCWD, t->part, t->part, O_RDWR, 0600);
            if (::ftruncate(t->fd.get(), static_cast<off_t>(f->size)) != 0) throw_errno("cannot size " + t->path);
        }
        for (const auto& b : f->blocks) by_pack[b.pack].push_back({t.get(), &b});
        targets.push_back(std::move(t));
    }

    std::vector<std::pair<const std::uint32_t, std::vector<Use>>*> work_list;
    for (auto& entry : by_pack) {
        // The uses of one stored block side by side: it is opened and checked once.
        std::stable_sort(entry.second.begin(), entry.second.end(), [](const Use& a, const Use& b) {
            return a.ref->pack_offset < b.ref->pack_offset;
        });
        work_list.push_back(&entry);
    }
    std::vector<const char*> prefixes = {"Unpacked: "};
    if (server) prefixes.push_back("Transferred: ");
    Progress progress(out, prefixes, total, aid.paced());
    const unsigned workers =
        std::max(1u, std::min<unsigned>(worker_count(options, std::thread::hardware_concurrency()),
                                        static_cast<unsigned>(std::max<std::size_t>(1, work_list.size()))));
    std::vector<std::string> pack_ids;
    for (const auto* entry : work_list) pack_ids.push_back(record.packs.at(entry->first));
    PackFetcher fetcher(repository, std::move(pack_ids), workers);
    auto restore_packs = [&](const std::atomic<bool>& failed) {
        std::string existing;
        AlignedBuffer data;
        WriteBatch batch(largest_block);
        for (PackFetcher::Pack pack; !failed && fetcher.next(pack);) {
            const BlockRef* opened = nullptr;  // the block whose bytes `data` holds
            const char* held = nullptr;        // its copy in the batch, once it has one
            for (const Use& use : work_list[pack.position]->second) {
                const BlockRef& b = *use.ref;
                if (!opened || opened->pack_offset != b.pack_offset || opened->stored != b.stored ||
                    opened->flags != b.flags || opened->length != b.length || opened->name != b.name) {
                    opened = nullptr;
                    held = nullptr;
                    const std::string where =
                        "block at offset " + std::to_string(b.offset) + " of " + use.target->entry->name;
                    open_block(repository, pack.copy, b, namer, where, data);
                    opened = &b;
                }
                if (use.target->part.empty()) {
                    existing.resize(b.length);
                    if (pread_some(use.target->fd.get(), existing.data(), b.length, b.offset) == b.length &&
                        std::memcmp(existing.data(), data.data(), b.length) == 0) {
                        progress.add(b.length);
                        continue;
                    }
                    pwrite_all(use.target->fd.get(), data.data(), b.length, b.offset);
                } else {
                    if (!held) {
                        char* copy = batch.hold(b.length);
                        std::memcpy(copy, data.data(), b.length);
                        held = copy;
                    }
                    batch.add(use.target, held, b.length, b.offset);
                }
                progress.add(b.length);
            }
        }
        if (!failed) batch.flush();
    };
    auto work = [&](const std::atomic<bool>& failed) {
        try {
            restore_packs(failed);
        } catch (...) {
            fetcher.stop();  // the other workers wait for no more packs
            throw;
        }
    };
    run_workers(workers, progress, work);

    // Every block arrived and checked out: now the files take their names.
    for (auto& t : targets) {
        if (t->part.empty()) clear_gaps(*t);
        finish_target(*t);
    }
    for (auto& t : targets) {
        if (t->part.empty()) continue;
        if (::rename(t->part.c_str(), t->path.c_str()) != 0) throw_errno("cannot put " + t->path + " in place");
        t->committed = true;
        forget_part_file(t->part);
    }
    return 0;
}

}  // namespace zvfd
