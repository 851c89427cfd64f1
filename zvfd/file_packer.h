// The data path of a backup from its sources to the entries of its record: each
// source is opened and planned into pieces (reader.h); workers read, cut (chunker.h),
// name (block_name.h) and store (block_store.h) its blocks, and hand each finished
// piece's entries to the record (record_stream.h). Shared by a backup and an
// addition to a record (--add).
//
// The pieces are taken in file order from a piece that the record's name chooses on,
// then from the start: two backups of images that share most data, started at the
// same moment, then read the shared data at different times, and the one that
// comes second finds the blocks that the first one published (segment_index.h)
// instead of storing them again.
//
//   FilePacker packer(collect_sources(list, exclusions), block_size);
//   const PackResult result = packer.pack(repository, known, reference, settings, out, aid, writer);
#pragma once

#include "zvfd/block_name.h"
#include "zvfd/block_store.h"
#include "zvfd/cli.h"
#include "zvfd/compress.h"
#include "zvfd/reader.h"
#include "zvfd/record.h"
#include "zvfd/record_stream.h"
#include "zvfd/repository.h"
#include "zvfd/sources.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zvfd {

struct PackSettings {
    DigestKind kind = DigestKind::Sha256;
    std::uint32_t block_size = 16384;
    Compression compression = Compression::Optimal;
    unsigned workers = 1;
    bool transferred = false;  // also "Transferred: " lines: the blocks go to a media server
    unsigned uploaders = 0;    // 0: as many as the store runs puts at once
    std::string start_key;     // chooses the piece the workers begin with (the record's name)
    std::size_t table_budget = kTableBudget;
    // For the pack() into a record held in memory: a known block counts only in a
    // pack it trusts (the other takes it from its KnownBlocks).
    PackPresence* presence = nullptr;
};

// How a backup shares the memory it may take: the uploaders' packs, and what is
// left for the tables of this run's blocks and for the index segments' filters.
struct MemoryPlan {
    unsigned uploaders = 1;
    std::size_t index_cache = 0, table = 0;
};
// `threshold_mib` 0: no threshold (as many uploaders as `parallel_puts`, the default
// caches). Otherwise the buffers, queues and caches stay under that many MiB; throws
// Error, saying how much it needs, when that is less than the workers' pieces, one
// uploader's packs, the record's parts, a merge of index segments and the smallest
// caches take.
MemoryPlan plan_memory(unsigned workers, unsigned parallel_puts, std::uint64_t threshold_mib, std::uint32_t block_size);
// The "--memory-threshold" of a backup in MiB, 0 when not given.
std::uint64_t memory_threshold(const Options& options);

struct PackResult {
    std::vector<std::string> shrunk;  // the paths of the sources that shrank while read
    std::uint64_t new_blocks = 0, stored_bytes = 0;
};

// The settings of "-a" with "-2" or "-5", "-b", "-z" and the workers (worker_count), for
// a run that stores into a media server (`transferred`) or an archive file.
PackSettings pack_settings(const Options& options, bool transferred);

class FilePacker {
public:
    // Opens every source at once, so that one that cannot be read fails the run
    // before anything is stored, and closes it again until its pieces are read.
    FilePacker(std::vector<Source> sources, std::uint32_t block_size);
    std::uint64_t total() const { return total_; }
    const std::vector<Source>& sources() const { return sources_; }

    // Stores the blocks of every source that `known` does not name into `repository`
    // and hands the files and their blocks to `sink`. With a `reference`, its block
    // at the same file name and offset is taken when it has the same name. When a
    // failure ends the run, the packs stored until then are published first.
    PackResult pack(Repository& repository, const KnownBlocks& known, Reference* reference,
                    const PackSettings& settings, Output& out, const TestAid& aid, RecordSink& sink);
    // The same for a record held in memory: the blocks of `known` count besides the
    // repository's index, and each source is appended to record.files, the packs its
    // blocks lie in to record.packs (after those it lists already); sets the props
    // new_blocks and stored_bytes. Returns the paths of the sources that shrank.
    std::vector<std::string> pack(Repository& repository, BlockIndex known, const PackSettings& settings,
                                  Output& out, const TestAid& aid, Record& record);

private:
    std::vector<Source> sources_;
    std::uint32_t block_size_;
    std::vector<OpenSource> opened_;
    std::vector<Piece> pieces_;
    std::uint64_t total_ = 0;
};

// Makes the blocks of `record`, a record of the repository `known` comes from, known
// where the indexes do not name them already.
void add_known_blocks(const Record& record, BlockIndex& known);

}  // namespace zvfd
