// The data path of a backup from its sources to the entries of its record: each
// source is opened and planned into pieces (reader.h); workers read, cut (chunker.h),
// name (block_name.h) and store (block_store.h) its blocks; every file then joins the
// record with its blocks. Shared by a backup and an addition to a record (--add).
//
//   FilePacker packer(collect_sources(list, exclusions), block_size);
//   const auto shrunk = packer.pack(repository, std::move(known), settings, out, aid, record);
#pragma once

#include "zvfd/block_name.h"
#include "zvfd/cli.h"
#include "zvfd/compress.h"
#include "zvfd/pack_presence.h"
#include "zvfd/reader.h"
#include "zvfd/record.h"
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
    PackPresence* presence = nullptr;  // when set, a known block counts only in a pack it trusts
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

    // Stores the blocks of every source that `known` does not hold into `repository`,
    // and appends each source to record.files, the packs its blocks lie in to
    // record.packs (after those it lists already); sets the props new_blocks and
    // stored_bytes. Returns the paths of the sources that shrank while read.
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
