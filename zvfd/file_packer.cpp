#include "zvfd/file_packer.h"

#include "zvfd/block_store.h"
#include "zvfd/chunker.h"
#include "zvfd/codec.h"
#include "zvfd/progress.h"

#include <algorithm>
#include <atomic>
#include <list>
#include <set>
#include <future>
#include <thread>
#include <unordered_map>

namespace zvfd {

namespace {

constexpr std::uint64_t kPieceSize = 4u << 20;

// Where a run begins: anywhere in its sources, but the same for the same name, so
// that runs of different domains begin at different places and the place a run
// begins at does not depend on chance.
std::size_t first_piece(const std::string& key, std::size_t pieces) {
    const std::string digest = sha256("zvfd first piece " + key);
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(digest[i]);
    return static_cast<std::size_t>(v % pieces);
}

// Finished pieces wait for their packs holding their blocks in memory, so the open
// pack is sealed early, however few blocks it holds, once the pieces waiting for it
// hold more blocks than this (32 pieces of 256 blocks). Only the open pack counts:
// pieces waiting for packs already sealed are settled as those are stored, and
// sealing again for them would cut every following pack short.
constexpr std::size_t kWaitingBlocks = 32 * 256;

// Finished pieces whose blocks wait for their packs to be stored (a pack's blocks
// may then lie elsewhere, block_store.h), handed to the record once every place is
// settled.
class SettledPieces {
public:
    explicit SettledPieces(RecordSink& sink) : sink_(sink) {}
    void attach(BlockStore& store) { store_ = &store; }
    void add(std::uint32_t file, std::uint64_t offset, std::vector<BlockRef> blocks, std::vector<std::string> packs,
             std::vector<bool> unsettled) {
        std::lock_guard<std::mutex> lock(mutex_);
        Waiting w{file, offset, std::move(blocks), std::move(packs), std::move(unsettled), {}};
        for (std::size_t i = 0; i < w.packs.size(); ++i)
            if (w.unsettled[i] && store_->pending(w.packs[i])) w.waits.insert(w.packs[i]);
        for (const std::string& pack : w.waits) blocks_waiting_on_[pack] += w.blocks.size();
        if (w.waits.empty())
            emit(w);
        else
            waiting_.push_back(std::move(w));
    }
    void settled(const std::string& pack) {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_waiting_on_.erase(pack);
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            it->waits.erase(pack);
            if (!it->waits.empty()) {
                ++it;
                continue;
            }
            emit(*it);
            it = waiting_.erase(it);
        }
    }
    std::size_t waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_.size();
    }
    // The blocks of the pieces that wait for `pack`.
    std::size_t blocks_waiting_on(const std::string& pack) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = blocks_waiting_on_.find(pack);
        return it == blocks_waiting_on_.end() ? 0 : it->second;
    }

private:
    struct Waiting {
        std::uint32_t file;
        std::uint64_t offset;
        std::vector<BlockRef> blocks;
        std::vector<std::string> packs;
        std::vector<bool> unsettled;
        std::set<std::string> waits;  // pending packs
    };
    void emit(Waiting& w) {
        for (std::size_t i = 0; i < w.blocks.size(); ++i) {
            if (!w.unsettled[i]) continue;
            const BlockLocation at = store_->settled(w.blocks[i].name);
            w.blocks[i].pack_offset = at.offset;
            w.blocks[i].stored = at.stored;
            w.blocks[i].flags = at.flags;
            w.packs[i] = at.pack;
        }
        sink_.add_piece(w.file, w.offset, std::move(w.blocks), w.packs);
    }

    RecordSink& sink_;
    BlockStore* store_ = nullptr;
    std::mutex mutex_;
    std::list<Waiting> waiting_;
    std::unordered_map<std::string, std::size_t> blocks_waiting_on_;
};

}  // namespace

PackSettings pack_settings(const Options& options, bool transferred) {
    PackSettings settings;
    settings.kind = digest_kind(options.value("-a"), options.has("-5"));
    if (options.has("-b")) settings.block_size = static_cast<std::uint32_t>(std::stoul(options.value("-b")));
    if (options.has("-z")) settings.compression = compression_from_word(options.value("-z"));
    settings.workers = worker_count(options, std::thread::hardware_concurrency());
    settings.transferred = transferred;
    return settings;
}

FilePacker::FilePacker(std::vector<Source> sources, std::uint32_t block_size)
    : sources_(std::move(sources)), block_size_(block_size) {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        opened_.push_back(open_source(sources_[i].path));
        for (const Piece& p : plan_pieces(i, opened_.back(), block_size_, kPieceSize)) {
            pieces_.push_back(p);
            total_ += p.length;
        }
        // Opened again while its pieces are read (SourceCache).
        opened_.back().fd = Fd();
        opened_.back().direct = Fd();
    }
}

PackResult FilePacker::pack(Repository& repository, const KnownBlocks& known, Reference* reference,
                            const PackSettings& settings, Output& out, const TestAid& aid, RecordSink& sink) {
    std::vector<FileEntry> entries;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        FileEntry entry;
        entry.name = sources_[i].name;
        entry.mode = opened_[i].st.st_mode & 07777;
        entry.uid = opened_[i].st.st_uid;
        entry.gid = opened_[i].st.st_gid;
        entry.mtime = static_cast<std::uint64_t>(opened_[i].st.st_mtime);
        entry.size = opened_[i].size;
        entries.push_back(std::move(entry));
    }
    sink.set_files(std::move(entries));

    SettledPieces pieces(sink);  // before the store, whose uploaders call it until they end
    BlockStore store(repository, settings.compression, known, kPackSize, settings.uploaders, settings.table_budget);
    pieces.attach(store);
    store.on_settled([&pieces](const std::string& pack) { pieces.settled(pack); });
    const BlockNamer namer(settings.kind, repository.keys().naming);
    std::vector<const char*> prefixes = {"Packed: "};
    if (settings.transferred) prefixes.push_back("Transferred: ");
    Progress progress(out, prefixes, total_, aid.paced());
    const std::size_t count = pieces_.size();
    const std::size_t first = count == 0 ? 0 : first_piece(settings.start_key, count);
    std::atomic<std::size_t> next{0};
    // The piece taken k-th.
    auto piece_at = [&](std::size_t k) { return k < count ? (first + k) % count : count; };
    std::vector<std::string> paths;
    for (const Source& s : sources_) paths.push_back(s.path);
    SourceCache files(std::move(paths), opened_);
    // Set by whichever worker finds a source shorter than planned.
    std::vector<std::atomic<bool>> shrank(sources_.size());
    // Reads a piece and returns the bytes read; a source that has become shorter is
    // noted for the defect report.
    auto read_piece = [&](std::size_t i, char* into) {
        const Piece& p = pieces_[i];
        const OpenSource& src = opened_[p.file];
        const std::size_t expected = static_cast<std::size_t>(std::min(p.length, src.size - p.offset));
        const std::size_t got = read_source(*files.get(p.file), into, expected, p.offset);
        if (got < expected) shrank[p.file] = true;
        return got;
    };
    // Each worker has its next piece read while it names and stores the current one:
    // the disk then has twice as many reads to work on as there are workers, without
    // more threads taking processor time.
    auto work = [&](const std::atomic<bool>& failed) {
        // A block larger than the wanted piece makes the pieces longer.
        const std::size_t room = static_cast<std::size_t>(piece_length(block_size_, kPieceSize)) + kDirectAlign;
        AlignedBuffer first_buffer(room), second_buffer(room);
        char* current = first_buffer.data();
        char* following = second_buffer.data();
        std::vector<BlockRef> theirs;  // the reference's blocks of the piece
        std::vector<std::string> their_packs;
        std::future<std::size_t> ahead;  // after the buffers: it is waited for before they go
        std::size_t i = piece_at(next++);
        if (i < count) ahead = std::async(std::launch::async, read_piece, i, current);
        while (i < count && !failed) {
            const std::size_t got = ahead.get();
            const std::size_t j = piece_at(next++);
            if (j < count) ahead = std::async(std::launch::async, read_piece, j, following);
            const Piece& p = pieces_[i];
            store.refresh();
            if (reference) reference->blocks_in(sources_[p.file].name, p.offset, p.offset + p.length, theirs, their_packs);
            std::size_t at = 0;  // the first of theirs not before the block
            std::vector<BlockRef> blocks;
            std::vector<std::string> packs;
            std::vector<bool> unsettled;
            for (const BlockView& b : cut_blocks(current, got, p.offset, block_size_)) {
                BlockRef ref;
                ref.offset = b.offset;
                ref.length = b.length;
                ref.name = namer.name(b.data, b.length);
                while (at < theirs.size() && theirs[at].offset < b.offset) ++at;
                BlockLocation hint;
                const bool same = at < theirs.size() && theirs[at].offset == b.offset && theirs[at].name == ref.name;
                if (same) hint = {their_packs[at], theirs[at].pack_offset, theirs[at].stored, theirs[at].length,
                                  theirs[at].flags};
                bool pending = false;
                const BlockLocation loc = store.put(ref.name, b.data, b.length, same ? &hint : nullptr, &pending);
                ref.pack_offset = loc.offset;
                ref.stored = loc.stored;
                ref.flags = loc.flags;
                blocks.push_back(std::move(ref));
                packs.push_back(loc.pack);
                unsettled.push_back(pending);
            }
            pieces.add(static_cast<std::uint32_t>(p.file), p.offset, std::move(blocks), std::move(packs),
                       std::move(unsettled));
            const std::string open = store.open_pack();
            if (pieces.blocks_waiting_on(open) > kWaitingBlocks) store.seal_open(open);
            progress.add(p.length);
            std::swap(current, following);
            i = j;
        }
    };
    try {
        run_workers(settings.workers, progress, work);
        store.flush();
    } catch (...) {
        store.salvage();
        throw;
    }
    if (pieces.waiting() != 0) throw Error("pieces of the record wait for packs that were never stored");

    PackResult result;
    result.new_blocks = store.new_blocks();
    result.stored_bytes = store.stored_bytes();
    for (std::size_t i = 0; i < sources_.size(); ++i)
        if (shrank[i]) result.shrunk.push_back(sources_[i].path);
    return result;
}

std::vector<std::string> FilePacker::pack(Repository& repository, BlockIndex known, const PackSettings& settings,
                                          Output& out, const TestAid& aid, Record& record) {
    SegmentIndex index(repository.storage(), repository.keys(), repository.sealer(), digest_size(settings.kind));
    index.open();
    RecordInMemory sink(record);
    const PackResult result =
        pack(repository, KnownBlocks{&index, &known, settings.presence}, nullptr, settings, out, aid, sink);
    sink.finish();
    record.props["new_blocks"] = std::to_string(result.new_blocks);
    record.props["stored_bytes"] = std::to_string(result.stored_bytes);
    index.finish();
    return result.shrunk;
}

MemoryPlan plan_memory(unsigned workers, unsigned parallel_puts, std::uint64_t threshold_mib, std::uint32_t block_size) {
    constexpr std::uint64_t mib = 1u << 20;
    MemoryPlan plan;
    plan.uploaders = std::max(1u, parallel_puts);
    plan.index_cache = 128 * mib;
    plan.table = kTableBudget;
    if (threshold_mib == 0) return plan;
    // Two pieces a worker; a pack open, and two for each uploader (one it stores,
    // one waiting in the queue); the record's part three times over while it is
    // sealed and written; a merge of segments; the smallest caches that work. A piece
    // holds at least one block, so large blocks make large pieces.
    const std::uint64_t piece = piece_length(block_size, kPieceSize) + kDirectAlign;
    auto needed = [&](unsigned uploaders) {
        return workers * 2 * piece + (2 * std::uint64_t(uploaders) + 2) * kPackSize +
               12 * mib + 64 * mib + 16 * mib;
    };
    const std::uint64_t threshold = threshold_mib * mib;
    while (plan.uploaders > 1 && needed(plan.uploaders) > threshold) --plan.uploaders;
    if (needed(plan.uploaders) > threshold)
        throw Error("--memory-threshold " + std::to_string(threshold_mib) + " MiB is less than this backup needs: " +
                    std::to_string((needed(1) + mib - 1) / mib) + " MiB for its " + std::to_string(workers) +
                    " workers (fewer with -p need less), one uploader, the record and the index");
    const std::uint64_t rest = threshold - needed(plan.uploaders) + 16 * mib;
    plan.index_cache = static_cast<std::size_t>(std::min<std::uint64_t>(128 * mib, rest * 2 / 3));
    plan.table = static_cast<std::size_t>(std::min<std::uint64_t>(kTableBudget, rest - plan.index_cache));
    return plan;
}

std::uint64_t memory_threshold(const Options& options) {
    return options.has("--memory-threshold") ? std::stoull(options.value("--memory-threshold")) : 0;
}

void add_known_blocks(const Record& record, BlockIndex& known) {
    for (const auto& f : record.files)
        for (const auto& b : f.blocks)
            if (known.find(b.name) == known.end())
                known.emplace(b.name, BlockLocation{record.packs[b.pack], b.pack_offset, b.stored, b.length, b.flags});
}

}  // namespace zvfd
