#include "zvfd/file_packer.h"

#include "zvfd/block_store.h"
#include "zvfd/chunker.h"
#include "zvfd/progress.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <unordered_map>

namespace zvfd {

namespace {

constexpr std::uint64_t kPieceSize = 4u << 20;

struct PieceResult {
    std::vector<BlockRef> blocks;
    std::vector<std::string> packs;  // pack id of each block
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

std::vector<std::string> FilePacker::pack(Repository& repository, BlockIndex known, const PackSettings& settings,
                                          Output& out, const TestAid& aid, Record& record) {
    BlockStore store(repository, settings.compression, std::move(known), kPackSize, 0, settings.presence);
    const BlockNamer namer(settings.kind, repository.keys().naming);
    std::vector<const char*> prefixes = {"Packed: "};
    if (settings.transferred) prefixes.push_back("Transferred: ");
    Progress progress(out, prefixes, total_, aid.paced());
    std::vector<PieceResult> results(pieces_.size());
    std::atomic<std::size_t> next{0};
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
        AlignedBuffer first(room), second(room);
        char* current = first.data();
        char* following = second.data();
        std::future<std::size_t> ahead;  // after the buffers: it is waited for before they go
        std::size_t i = next++;
        if (i < pieces_.size()) ahead = std::async(std::launch::async, read_piece, i, current);
        while (i < pieces_.size() && !failed) {
            const std::size_t got = ahead.get();
            const std::size_t j = next++;
            if (j < pieces_.size()) ahead = std::async(std::launch::async, read_piece, j, following);
            const Piece& p = pieces_[i];
            for (const BlockView& b : cut_blocks(current, got, p.offset, block_size_)) {
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
    run_workers(settings.workers, progress, work);
    store.flush();

    std::unordered_map<std::string, std::uint32_t> pack_numbers;
    for (std::size_t i = 0; i < record.packs.size(); ++i)
        pack_numbers.emplace(record.packs[i], static_cast<std::uint32_t>(i));
    const std::size_t first_file = record.files.size();
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        FileEntry entry;
        entry.name = sources_[i].name;
        entry.mode = opened_[i].st.st_mode & 07777;
        entry.uid = opened_[i].st.st_uid;
        entry.gid = opened_[i].st.st_gid;
        entry.mtime = static_cast<std::uint64_t>(opened_[i].st.st_mtime);
        entry.size = opened_[i].size;
        record.files.push_back(std::move(entry));
    }
    {
        std::vector<std::size_t> counts(sources_.size());
        for (std::size_t i = 0; i < pieces_.size(); ++i) counts[pieces_[i].file] += results[i].blocks.size();
        for (std::size_t i = 0; i < sources_.size(); ++i) record.files[first_file + i].blocks.reserve(counts[i]);
    }
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
        FileEntry& entry = record.files[first_file + pieces_[i].file];
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

    std::vector<std::string> shrunk;
    for (std::size_t i = 0; i < sources_.size(); ++i)
        if (shrank[i]) shrunk.push_back(sources_[i].path);
    return shrunk;
}

void add_known_blocks(const Record& record, BlockIndex& known) {
    for (const auto& f : record.files)
        for (const auto& b : f.blocks)
            if (known.find(b.name) == known.end())
                known.emplace(b.name, BlockLocation{record.packs[b.pack], b.pack_offset, b.stored, b.length, b.flags});
}

}  // namespace zvfd
