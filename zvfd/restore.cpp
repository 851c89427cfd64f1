// Restore and replica application: the record of "-r" (archive file) or "-m"/"-R"
// (repository of "-M", any task) comes back below "-d" (restore_target.h). Every
// block is checked against its name (and its tag when sealed) before it is written;
// new files are written under a temporary name and renamed only when every file is
// complete, holes stay holes. A replica application ("-E") changes existing regular
// files and block devices in place and writes only the blocks that differ, and only
// once every block it will write there has been read and checked: a damaged pack
// leaves the target as it was.
#include "zvfd/archive_file.h"
#include "zvfd/block_name.h"
#include "zvfd/chunker.h"
#include "zvfd/compress.h"
#include "zvfd/ops.h"
#include "zvfd/pack_fetcher.h"
#include "zvfd/progress.h"
#include "zvfd/repository.h"
#include "zvfd/restore_target.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>

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
        at.meta = read_meta_file(path, &at.payload);
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

struct Use {
    Target* target;
    const BlockRef* ref;
    std::size_t block;  // its position among the entry's blocks
};

// Starts writing a new file's data out while the restore goes on, so that the final
// flush does not find the whole file still in memory.
void start_writeback(Target& t, int fd, std::uint64_t bytes) {
    constexpr std::uint64_t every = 64u << 20;
    const std::uint64_t before = t.written.fetch_add(bytes);
    if (before / every != (before + bytes) / every) ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

// Stretches of a file's data held in memory until written.
struct Run {
    unsigned lane;  // the writer of its file
    Target* target;
    std::uint64_t offset;
    const char* data;
    std::size_t size;
};

// A batch of runs handed to the writers, and what became of it.
struct Handed {
    std::vector<Run> runs;
    std::size_t pending = 0;  // pieces not yet written
    std::exception_ptr failure;
};

// The threads that write the workers' batches into new files, each file by one of
// them: a file takes one write at a time (its lock), so writers of the same file
// would only wait for each other, spinning on that lock, while a worker that wrote
// itself would leave the packs arriving meanwhile unopened.
class Writers {
public:
    // A thread for each new file of the tree, but at most `most` of them.
    Writers(const TargetTree& tree, unsigned most) {
        unsigned files = 0;
        for (const auto& t : tree.targets())
            if (!t->in_place()) owner_[t.get()] = files++;
        const unsigned count = std::max(1u, std::min(most, files));
        for (auto& [target, n] : owner_) n %= count;
        lanes_.reserve(count);
        for (unsigned i = 0; i < count; ++i) lanes_.push_back(std::make_unique<Lane>(tree));
        try {
            for (auto& lane : lanes_) lane->thread = std::thread([this, l = lane.get()] { write_on(*l); });
        } catch (...) {
            stop();
            throw;
        }
    }
    ~Writers() { stop(); }
    Writers(const Writers&) = delete;
    Writers& operator=(const Writers&) = delete;

    unsigned lane_of(const Target* target) const { return owner_.at(target); }
    // Starts writing `batch`: its runs in order, each file's by its own thread.
    void hand(Handed& batch) {
        std::sort(batch.runs.begin(), batch.runs.end(), [](const Run& a, const Run& b) {
            return std::tie(a.lane, a.target, a.offset) < std::tie(b.lane, b.target, b.offset);
        });
        std::lock_guard<std::mutex> lock(mutex_);
        batch.failure = nullptr;
        for (std::size_t i = 0; i < batch.runs.size();) {
            const unsigned lane = batch.runs[i].lane;
            std::size_t end = i;
            while (end < batch.runs.size() && batch.runs[end].lane == lane) ++end;
            lanes_[lane]->queue.push_back({&batch, i, end});
            lanes_[lane]->wake.notify_one();
            ++batch.pending;
            i = end;
        }
    }
    // Waits until `batch` is written; throws the failure of its writes.
    void wait(Handed& batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        written_.wait(lock, [&] { return batch.pending == 0; });
        if (batch.failure) std::rethrow_exception(batch.failure);
    }

private:
    struct Piece {
        Handed* batch;
        std::size_t begin, end;
    };
    struct Lane {
        explicit Lane(const TargetTree& tree) : open(tree) {}
        OpenTargets open;
        std::deque<Piece> queue;
        std::condition_variable wake;
        std::thread thread;
    };

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        for (auto& lane : lanes_) {
            lane->wake.notify_all();
            if (lane->thread.joinable()) lane->thread.join();
        }
    }
    void write_on(Lane& lane) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            lane.wake.wait(lock, [&] { return !lane.queue.empty() || stopping_; });
            if (lane.queue.empty()) return;
            const Piece piece = lane.queue.front();
            lane.queue.pop_front();
            lock.unlock();
            std::exception_ptr failure;
            try {
                write(lane.open, piece);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure && !piece.batch->failure) piece.batch->failure = failure;
            if (--piece.batch->pending == 0) written_.notify_all();
        }
    }
    static void write(OpenTargets& open, const Piece& piece) {
        const std::vector<Run>& runs = piece.batch->runs;
        std::vector<iovec> iov;
        for (std::size_t i = piece.begin; i < piece.end;) {
            Target* t = runs[i].target;
            const std::uint64_t start = runs[i].offset;
            std::uint64_t end = start;
            iov.clear();
            for (; i < piece.end && runs[i].target == t && runs[i].offset == end && iov.size() < 512; ++i) {
                iov.push_back({const_cast<char*>(runs[i].data), runs[i].size});
                end += runs[i].size;
            }
            const int fd = open.fd(*t);
            try {
                pwritev_all(fd, iov, start);
            } catch (const Error& e) {
                throw Error("cannot write " + t->path + ": " + e.what());
            }
            start_writeback(*t, fd, end - start);
        }
    }

    std::unordered_map<const Target*, unsigned> owner_;  // its lane
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::mutex mutex_;
    std::condition_variable written_;
    bool stopping_ = false;
};

// Blocks for new files, gathered and written in runs: one write per stretch of
// neighbouring blocks instead of one per block. Only the pages that hold data are
// written, so zero pages stay holes. While the writers write one arena, the worker
// fills the other.
class WriteBatch {
public:
    static constexpr std::size_t kArena = 8u << 20;
    // Room for at least one block of `largest` bytes.
    WriteBatch(std::size_t largest, Writers& writers)
        : sides_{Side(std::max(kArena, largest)), Side(std::max(kArena, largest))}, writers_(writers) {}
    // Writes under way end first; what was not handed over is not written.
    ~WriteBatch() {
        for (Side& side : sides_) {
            try {
                writers_.wait(side.handed);
            } catch (...) {
            }
        }
    }
    WriteBatch(const WriteBatch&) = delete;
    WriteBatch& operator=(const WriteBatch&) = delete;

    // Room for a block's bytes until the next flush, flushing first when full.
    char* hold(std::size_t size) {
        if (size > filling().arena.size()) throw Error("a block is larger than the restore can hold");
        if (used_ + size > filling().arena.size()) flush();
        char* at = filling().arena.data() + used_;
        used_ += (size + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
        return at;
    }
    // Adds a use of held bytes; flushes once the batch writes an arena's worth, so that
    // a block used many times over does not keep the writers from the other workers'
    // batches for long (the bytes given stay valid until the batch after next).
    void add(Target* target, const char* data, std::size_t size, std::uint64_t offset) {
        constexpr std::size_t page = 4096;
        std::vector<Run>& runs = filling().handed.runs;
        const unsigned lane = writers_.lane_of(target);
        for (std::size_t at = 0; at < size;) {
            const std::size_t n = std::min(page, size - at);
            if (!is_all_zero(data + at, n)) {
                runs.push_back({lane, target, offset + at, data + at, n});
                writes_ += n;
            }
            at += n;
        }
        if (writes_ >= filling().arena.size()) flush();
    }
    // Counts the flushes: bytes held before the last one are not the batch's to add.
    unsigned generation() const { return generation_; }
    // Hands what is held to the writers, and takes the other arena once what it held
    // is written; throws the failure of those writes.
    void flush() {
        writers_.hand(filling().handed);
        filling_ ^= 1;
        used_ = 0;
        writes_ = 0;
        ++generation_;
        writers_.wait(filling().handed);
        filling().handed.runs.clear();
    }
    // Writes everything held; throws the failure of any write.
    void finish() {
        flush();
        writers_.wait(sides_[filling_ ^ 1].handed);
    }

private:
    struct Side {
        explicit Side(std::size_t size) : arena(size) {}
        AlignedBuffer arena;
        Handed handed;
    };
    Side& filling() { return sides_[filling_]; }

    Side sides_[2];
    unsigned filling_ = 0;  // the side blocks go to
    std::size_t used_ = 0;    // of its arena
    std::size_t writes_ = 0;  // bytes its runs write
    unsigned generation_ = 0;
    Writers& writers_;
};

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

    const std::string fault = files_fault(record.files);
    if (!fault.empty()) throw Error("the record restored is damaged: " + fault);
    std::vector<const FileEntry*> files = select_files(record, options);
    std::uint64_t total = 0;
    std::size_t largest_block = 0;
    for (const FileEntry* f : files) {
        for (const auto& b : f->blocks) largest_block = std::max<std::size_t>(largest_block, b.length);
        total += f->stored_bytes();
    }

    const bool replica = options.has("-E");
    TargetTree tree(dir);
    std::map<std::uint32_t, std::vector<Use>> by_pack;
    for (const FileEntry* f : files) {
        Target& t = tree.add(*f, replica);
        for (std::size_t i = 0; i < f->blocks.size(); ++i) by_pack[f->blocks[i].pack].push_back({&t, &f->blocks[i], i});
    }
    for (auto& entry : by_pack) {
        // The uses of one stored block side by side: it is opened and checked once.
        std::stable_sort(entry.second.begin(), entry.second.end(), [](const Use& a, const Use& b) {
            return a.ref->pack_offset < b.ref->pack_offset;
        });
    }
    std::vector<const char*> prefixes = {"Unpacked: "};
    if (server) prefixes.push_back("Transferred: ");
    Progress progress(out, prefixes, total, aid.paced());
    const unsigned wanted_workers = worker_count(options, std::thread::hardware_concurrency());
    auto workers_for = [&](std::size_t items) {
        return std::max(1u, std::min<unsigned>(wanted_workers, static_cast<unsigned>(std::max<std::size_t>(1, items))));
    };

    // In place, a block the target holds already is left alone: its bytes there are
    // named (digested) as the block was, which needs no pack.
    std::vector<std::pair<Target*, std::size_t>> stretches;  // a target and its first block
    constexpr std::size_t kStretch = 256;
    for (const auto& t : tree.targets())
        if (t->in_place())
            for (std::size_t i = 0; i < t->entry->blocks.size(); i += kStretch) stretches.emplace_back(t.get(), i);
    std::atomic<std::size_t> next{0};
    if (!stretches.empty()) run_workers(workers_for(stretches.size()), progress, [&](const std::atomic<bool>& failed) {
        OpenTargets open(tree);
        std::string bytes;
        for (std::size_t i; !failed && (i = next++) < stretches.size();) {
            Target& t = *stretches[i].first;
            const std::size_t first = stretches[i].second, end = std::min(first + kStretch, t.entry->blocks.size());
            for (std::size_t k = first; k < end; ++k) {
                const BlockRef& b = t.entry->blocks[k];
                bytes.resize(b.length);
                const bool same = pread_some(open.fd(t), bytes.data(), b.length, b.offset) == b.length &&
                                  namer.name(bytes.data(), b.length) == b.name;
                t.differs[k] = !same;
                if (same) progress.add(b.length);
            }
        }
    });

    // What a pack of `uses` brings and what its blocks write in a pass. Its size is
    // where its last block ends; a block of zeros writes nothing (a hole), and is
    // known by its name when it is used more than once, as zeros are (the names of
    // zeros are made for a few lengths only: blocks of a chunker have many).
    std::map<std::uint32_t, std::string> zero_names;  // by length
    std::uint64_t zeros_named = 0;
    auto load_of = [&](const std::vector<Use>& uses, const std::function<bool(const Use&)>& wanted, bool in_place) {
        PackLoad load;
        for (std::size_t i = 0; i < uses.size();) {
            const BlockRef& b = *uses[i].ref;
            load.fetched = std::max<std::uint64_t>(load.fetched, std::uint64_t(b.pack_offset) + b.stored);
            std::uint64_t writes = 0;  // uses of this block that write it
            std::size_t end = i;
            for (; end < uses.size() && uses[end].ref->pack_offset == b.pack_offset; ++end)
                if (wanted(uses[end]) && (!uses[end].target->in_place() || in_place)) ++writes;
            if (writes > 1 && zeros_named < (64u << 20) && !zero_names.count(b.length)) {
                zero_names[b.length] = namer.name(std::string(b.length, '\0').data(), b.length);
                zeros_named += b.length;
            }
            const auto zero = zero_names.find(b.length);
            if (writes < 2 || zero == zero_names.end() || zero->second != b.name) load.written += writes * b.length;
            i = end;
        }
        return load;
    };

    // Reads the packs that hold a use `wanted` takes and checks each such block against
    // its name (and tag); writes it into a new file, and into a file in place only
    // when `in_place` says so.
    auto unpack_pass = [&](const std::function<bool(const Use&)>& wanted, bool in_place) {
        std::vector<const std::pair<const std::uint32_t, std::vector<Use>>*> work_list;
        for (const auto& entry : by_pack)
            if (std::any_of(entry.second.begin(), entry.second.end(), wanted)) work_list.push_back(&entry);
        if (work_list.empty()) return;
        {
            std::vector<PackLoad> loads;
            for (const auto* entry : work_list) loads.push_back(load_of(entry->second, wanted, in_place));
            std::vector<const std::pair<const std::uint32_t, std::vector<Use>>*> ordered;
            for (const std::size_t i : balanced_order(loads)) ordered.push_back(work_list[i]);
            work_list.swap(ordered);
        }
        const unsigned workers = workers_for(work_list.size());
        std::vector<std::string> pack_ids;
        for (const auto* entry : work_list) pack_ids.push_back(record.packs.at(entry->first));
        PackFetcher fetcher(repository, std::move(pack_ids), workers);
        Writers writers(tree, workers);
        auto restore_packs = [&](const std::atomic<bool>& failed) {
            OpenTargets open(tree);
            AlignedBuffer data;
            WriteBatch batch(largest_block, writers);
            for (PackFetcher::Pack pack; !failed && fetcher.next(pack);) {
                const BlockRef* opened = nullptr;  // the block whose bytes `bytes` points to:
                const char* bytes = nullptr;       // in `data`, or in the batch,
                const char* held = nullptr;        // where a block for a new file goes,
                unsigned held_in = 0;              // in this generation of the batch
                for (const Use& use : work_list[pack.position]->second) {
                    if (!wanted(use)) continue;
                    const BlockRef& b = *use.ref;
                    if (!opened || opened->pack_offset != b.pack_offset || opened->stored != b.stored ||
                        opened->flags != b.flags || opened->length != b.length || opened->name != b.name) {
                        opened = nullptr;
                        held = nullptr;
                        const std::string where =
                            "block at offset " + std::to_string(b.offset) + " of " + use.target->entry->name;
                        // Opened straight into the batch when it goes to a new file: a
                        // restore's bytes are copied once fewer.
                        if (!use.target->in_place()) {
                            char* into = batch.hold(b.length);
                            open_block(repository, pack.copy, b, namer, where, into);
                            bytes = held = into;
                            held_in = batch.generation();
                        } else {
                            open_block(repository, pack.copy, b, namer, where, data);
                            bytes = data.data();
                        }
                        opened = &b;
                    }
                    if (!use.target->in_place()) {
                        if (!held || held_in != batch.generation()) {
                            // Held in the batch just handed over: still there, since the
                            // batch begun holds nothing yet and takes this copy at once.
                            char* copy = batch.hold(b.length);
                            std::memcpy(copy, bytes, b.length);
                            bytes = held = copy;
                            held_in = batch.generation();
                        }
                        batch.add(use.target, held, b.length, b.offset);
                    } else if (in_place) {
                        pwrite_all(open.fd(*use.target), bytes, b.length, b.offset);
                    } else {
                        continue;  // checked; written by the second pass
                    }
                    progress.add(b.length);
                }
            }
            if (!failed) batch.finish();
        };
        run_workers(workers, progress, [&](const std::atomic<bool>& failed) {
            try {
                restore_packs(failed);
            } catch (...) {
                fetcher.stop();  // the other workers wait for no more packs
                throw;
            }
        });
    };
    auto differs = [](const Use& use) { return use.target->in_place() && use.target->differs[use.block]; };
    // New files get their blocks; what is to change in place is only checked, so that a
    // damaged block fails the application before a target is touched.
    unpack_pass([&](const Use& use) { return !use.target->in_place() || differs(use); }, false);
    unpack_pass(differs, true);

    // Every block arrived and checked out: now the files take their names.
    for (const auto& t : tree.targets()) tree.finish(*t);
    tree.commit();
    return 0;
}

}  // namespace zvfd
