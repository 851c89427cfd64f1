// Reading stage: which parts of a source hold data. A regular file is asked for its
// data ranges (SEEK_DATA/SEEK_HOLE) so holes are never read; a block device cannot
// tell, so all of it is read and the chunker drops its zero blocks. The ranges are
// grown to whole blocks and cut into pieces that one worker reads at a time.
#pragma once

#include "zvfd/io.h"

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zvfd {

struct Piece {
    std::size_t file = 0;
    std::uint64_t offset = 0, length = 0;
};

struct OpenSource {
    Fd fd;
    Fd direct;  // the same file opened for direct I/O, when its file system allows it
    struct stat st {};
    std::uint64_t size = 0;
};

// Throws Error for a source that is neither a regular file nor a block device.
OpenSource open_source(const std::string& path);
// The sources of a backup, planned with open_source and closed again, opened while
// their pieces are read: the last few used stay open, so that a backup of many files
// holds few descriptors and one of a large file opens it a few times. A path that
// names another file than the one planned is an Error.
class SourceCache {
public:
    SourceCache(std::vector<std::string> paths, const std::vector<OpenSource>& planned, std::size_t keep = 16);
    // Open until the last holder lets it go.
    std::shared_ptr<const OpenSource> get(std::size_t file);

private:
    std::vector<std::string> paths_;
    const std::vector<OpenSource>& planned_;
    std::size_t keep_;
    std::mutex mutex_;
    std::vector<std::pair<std::size_t, std::shared_ptr<const OpenSource>>> open_;  // the most recently used last
};

// Reads up to `len` bytes at `offset` into `buf`, which must have room for `len`
// rounded up to kDirectAlign; returns the count read (less only at the end of the
// source). A range wholly in the page cache is read from there, any other past it.
std::size_t read_source(const OpenSource& source, char* buf, std::size_t len, std::uint64_t offset);

// The length of the pieces a source is cut into for a wanted length: whole blocks,
// at least one. A buffer that a piece is read into needs kDirectAlign bytes more.
std::uint64_t piece_length(std::uint32_t block_size, std::uint64_t wanted);

// The ranges to read, as pieces of at most piece_length(block_size, piece_size) bytes
// that begin on block boundaries.
std::vector<Piece> plan_pieces(std::size_t file, const OpenSource& source, std::uint32_t block_size,
                               std::uint64_t piece_size);
std::vector<Piece> pieces_of_extents(std::size_t file, const std::vector<Extent>& extents, std::uint64_t size,
                                     std::uint32_t block_size, std::uint64_t piece_size);

}  // namespace zvfd
