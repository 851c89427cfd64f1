// Backup: the sources of "-c" go through the stages read → cut → name → skip known →
// compress → seal → pack into the repository of "-M" (server mode) or the archive
// file of "-n" (autonomous mode); the record goes last, then the metadata file "-m".
#include "zvfd/archive_file.h"
#include "zvfd/block_name.h"
#include "zvfd/block_store.h"
#include "zvfd/chunker.h"
#include "zvfd/ops.h"
#include "zvfd/progress.h"
#include "zvfd/reader.h"
#include "zvfd/sources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <exception>
#include <future>
#include <iostream>
#include <thread>
#include <unordered_map>

namespace zvfd {

namespace {

constexpr std::uint64_t kPieceSize = 4u << 20;

std::string now_text() {
    char buf[32];
    std::time_t t = std::time(nullptr);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return buf;
}

// Removes a file it stands for unless told it has been put in place.
class PartFile {
public:
    explicit PartFile(std::string path) : path_(std::move(path)) {}
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    ~PartFile() {
        if (!committed_) ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    void commit_to(const std::string& final_path) {
        if (::rename(path_.c_str(), final_path.c_str()) != 0) throw_errno("cannot put " + final_path + " in place");
        committed_ = true;
    }

private:
    std::string path_;
    bool committed_ = false;
};

struct PieceResult {
    std::vector<BlockRef> blocks;
    std::vector<std::string> packs;  // pack id of each block
};

void sign_file(const Options& options, const std::string& file, const std::string& signature) {
    std::vector<std::string> cmd = {"openssl", "dgst", "-sha256", "-sign", as_operand(options.value("--sign"))};
    if (options.has("--passin") && ::access(options.value("--passin").c_str(), R_OK) == 0) {
        cmd.push_back("-passin");
        cmd.push_back("file:" + options.value("--passin"));
    }
    cmd.insert(cmd.end(), {"-out", as_operand(signature), as_operand(file)});
    if (run_program(cmd) != 0) throw Error("signing " + file + " failed");
}

}  // namespace

int run_backup(const Options& options, const TestAid& aid, Output& out) {
    const bool server = !options.has("-n");
    const std::string meta_path = options.value("-m");
    if (meta_path.empty()) throw Error("a backup needs the metadata file (-m)");
    const DigestKind kind = digest_kind(options.value("-a"), options.has("-5"));
    const std::uint32_t block_size =
        options.has("-b") ? static_cast<std::uint32_t>(std::stoul(options.value("-b"))) : 16384u;
    const Compression compression =
        options.has("-z") ? compression_from_word(options.value("-z")) : Compression::Optimal;
    const Keys keys = derive_keys(options.value("-C"), options.value("-k"));
    if (options.has("-g") && options.value("--sign").empty())
        throw Error("a signature (-g) needs the signing key (--sign)");
    const unsigned workers = worker_count(options, std::thread::hardware_concurrency());

    Record record;
    std::unique_ptr<Storage> storage;
    std::unique_ptr<PartFile> archive_part;
    ArchiveFile* archive = nullptr;
    std::string task = kArchiveTask, name = kArchiveRecord, archive_path;
    if (server) {
        task = options.value("-T");
        name = options.value("-N");
        const std::string server_name = options.value("-M");
        if (server_name.empty()) throw Error("server mode needs the media server (-M)");
        if (!is_plain_name(name)) throw Error("archive name (-N) must be a plain name, got '" + name + "'");
        if (!is_plain_name(task)) throw Error("task id (-T) must be a plain name, got '" + task + "'");
        storage = open_location(repository_location(server_name));
        record.props["media_server"] = server_name;
    } else {
        archive_path = options.value("-n");
        if (archive_path.empty()) throw Error("autonomous mode needs the archive path (-n)");
        struct stat st {};
        if (::lstat(archive_path.c_str(), &st) == 0)
            throw Error("archive " + archive_path + " already exists; it is not overwritten");
    }
    record.props["task"] = task;
    record.props["archive_name"] = server ? name : archive_path.substr(archive_path.rfind('/') + 1);
    record.props["created"] = now_text();
    record.props["digest"] = digest_word(kind);
    record.props["block_size"] = std::to_string(block_size);
    record.props["compression"] = std::to_string(zstd_level(compression));
    record.props["cipher"] = keys.cipher;
    record.props["key_id"] = to_hex(keys.id);

    // The reference of an incremental or differential backup must be a record of this
    // archiver; its blocks count as known when it was written the same way.
    Record reference;
    bool reference_blocks = false;
    if (options.has("-S")) {
        reference = read_meta_file(options.value("-S"));
        record.props["kind"] = "reference";
        record.props["reference"] = reference.prop("archive_name");
        reference_blocks = server && reference.prop("media_server") == record.prop("media_server") &&
                           reference.prop("key_id") == record.prop("key_id") &&
                           reference.prop("digest") == record.prop("digest");
    } else {
        record.props["kind"] = "full";
    }

    const Exclusions exclusions(options.value("-x"), options.value("-X"));
    const std::vector<Source> sources = collect_sources(options.value("-c"), exclusions);
    std::vector<OpenSource> opened;
    std::vector<Piece> pieces;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        opened.push_back(open_source(sources[i].path));
        for (const Piece& p : plan_pieces(i, opened.back(), block_size, kPieceSize)) {
            pieces.push_back(p);
            total += p.length;
        }
    }

    if (server) {
        Repository(*storage, keys).authorise_task(task, options.value("-s"), true);
        if (Repository(*storage, keys).has_record(task, name))
            throw Error("record " + name + " of task " + task + " exists already; it is not overwritten");
    } else {
        archive_part = std::make_unique<PartFile>(archive_path + ".part");
        ::unlink(archive_part->path().c_str());
        auto created = ArchiveFile::create(archive_part->path());
        archive = created.get();
        storage = std::move(created);
    }
    Repository repository(*storage, keys);
    BlockIndex known = server ? repository.load_index() : BlockIndex{};
    // Nearly all of them are in the indexes already; the rest are added.
    if (reference_blocks)
        for (const auto& f : reference.files)
            for (const auto& b : f.blocks)
                if (known.find(b.name) == known.end())
                    known.emplace(b.name, BlockLocation{reference.packs[b.pack], b.pack_offset, b.stored, b.length,
                                                        b.flags});
    reference = Record{};
    BlockStore store(repository, compression, std::move(known));
    const BlockNamer namer(kind, keys.naming);

    std::vector<const char*> prefixes = {"Packed: "};
    if (server) prefixes.push_back("Transferred: ");
    Progress progress(out, prefixes, total, aid.slow_ms > 0);
    std::vector<PieceResult> results(pieces.size());
    std::atomic<std::size_t> next{0};
    // Set by whichever worker finds a source shorter than planned.
    std::vector<std::atomic<bool>> shrank(sources.size());
    // Reads a piece and returns the bytes read; a source that has become shorter is
    // noted for the defect report.
    auto read_piece = [&](std::size_t i, char* into) {
        const Piece& p = pieces[i];
        const OpenSource& src = opened[p.file];
        const std::size_t expected = static_cast<std::size_t>(std::min(p.length, src.size - p.offset));
        const std::size_t got = read_source(src, into, expected, p.offset);
        if (got < expected) shrank[p.file] = true;
        return got;
    };
    // Each worker has its next piece read while it names and stores the current one:
    // the disk then has twice as many reads to work on as there are workers, without
    // more threads taking processor time.
    auto work = [&](const std::atomic<bool>& failed) {
        AlignedBuffer first(kPieceSize + kDirectAlign), second(kPieceSize + kDirectAlign);
        char* current = first.data();
        char* following = second.data();
        std::future<std::size_t> ahead;  // after the buffers: it is waited for before they go
        std::size_t i = next++;
        if (i < pieces.size()) ahead = std::async(std::launch::async, read_piece, i, current);
        while (i < pieces.size() && !failed) {
            const std::size_t got = ahead.get();
            const std::size_t j = next++;
            if (j < pieces.size()) ahead = std::async(std::launch::async, read_piece, j, following);
            const Piece& p = pieces[i];
            for (const BlockView& b : cut_blocks(current, got, p.offset, block_size)) {
                BlockRef ref;
                ref.offset = b.offset;
                ref.length = b.length;
                ref.name = namer.name(b.data, b.length);
                const BlockLocation loc = store.put(ref.name, b.data, b.length);
                ref.pack_offset = loc.offset;
                ref.stored = loc.stored;
                ref.flags = loc.flags;
                results[i].blocks.push_back(std::move(ref));
                results[i].packs.push_back(loc.pack);
            }
            progress.add(p.length);
            std::swap(current, following);
            i = j;
        }
    };
    run_workers(workers, progress, work);
    store.flush();

    std::unordered_map<std::string, std::uint32_t> pack_numbers;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        FileEntry entry;
        entry.name = sources[i].name;
        entry.mode = opened[i].st.st_mode & 07777;
        entry.uid = opened[i].st.st_uid;
        entry.gid = opened[i].st.st_gid;
        entry.mtime = static_cast<std::uint64_t>(opened[i].st.st_mtime);
        entry.size = opened[i].size;
        record.files.push_back(std::move(entry));
    }
    {
        std::vector<std::size_t> counts(sources.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) counts[pieces[i].file] += results[i].blocks.size();
        for (std::size_t i = 0; i < sources.size(); ++i) record.files[i].blocks.reserve(counts[i]);
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        FileEntry& entry = record.files[pieces[i].file];
        for (std::size_t b = 0; b < results[i].blocks.size(); ++b) {
            const std::string& pack = results[i].packs[b];
            auto found = pack_numbers.find(pack);
            if (found == pack_numbers.end()) {
                found = pack_numbers.emplace(pack, static_cast<std::uint32_t>(record.packs.size())).first;
                record.packs.push_back(pack);
            }
            results[i].blocks[b].pack = found->second;
            entry.blocks.push_back(std::move(results[i].blocks[b]));
        }
        results[i] = PieceResult{};
    }
    record.props["new_blocks"] = std::to_string(store.new_blocks());
    record.props["stored_bytes"] = std::to_string(store.stored_bytes());

    // The record is the last object: once it is listed, everything it needs is there.
    std::string encoded = encode_record(record);
    if (!repository.put_record(task, name, record, encoded))
        throw Error("record " + name + " of task " + task + " exists already; it is not overwritten");
    std::unique_ptr<PartFile> sign_part;
    if (archive) archive->finish();
    // In server mode the archive lies in the repository and the metadata file, which
    // names every block, stands for it when signing.
    if (!archive) write_meta_file(meta_path, std::move(encoded));
    if (options.has("-g")) {
        sign_part = std::make_unique<PartFile>(options.value("-g") + ".part");
        ::unlink(sign_part->path().c_str());
        out.flush();
        sign_file(options, archive ? archive_part->path() : meta_path, sign_part->path());
    }
    if (archive) write_meta_file(meta_path, std::move(encoded));
    if (archive_part) archive_part->commit_to(archive_path);
    if (sign_part) sign_part->commit_to(options.value("-g"));

    bool defect = false;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (!shrank[i]) continue;
        const std::string& path = sources[i].path;
        out.flush();
        std::cerr << "zvfd: defect: " << path << " shrank while being packed" << std::endl;
        defect = true;
    }
    return defect ? 100 : 0;
}

}  // namespace zvfd
