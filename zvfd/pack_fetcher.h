// Fetching the packs a restore needs, and opening their blocks: the stages between
// the repository and the restore's writers (restore.cpp), and the check's reads.
//
// A PackFetcher downloads packs ahead of the workers that open them, as many at once
// as the store runs requests (Storage::parallel_requests), so that an object store
// streams at its own speed while the workers decrypt, decompress and write. Memory
// stays bounded: no more packs are in flight than there are fetchers, no more in
// flight and ready together than fetchers and workers, and a fetcher waits for a
// worker to take one before it starts the next beyond that.
//
//   PackFetcher fetcher(repository, record.packs, workers);
//   for (PackFetcher::Pack pack; fetcher.next(pack);) { /* open its blocks */ }
#pragma once

#include "zvfd/block_name.h"
#include "zvfd/repository.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zvfd {

// The bytes of one stored version of a pack: its first one, or a later one that a
// reader fell back to (Storage::get_later).
struct PackCopy {
    std::string id;
    std::string bytes;
    unsigned later = 0;  // 0: the first version
};

// Opens block `b` of `pack` into `out` (unpack_block). When it does not check, the
// later versions of the pack are tried in turn and `pack` becomes the one that holds
// it sound: put-if-absent means the first version is the pack, but a block that
// matches its name (and tag) is the block, wherever it was read. Throws the fault of
// the first version when no version holds it.
void open_block(Repository& repository, PackCopy& pack, const BlockRef& b, const BlockNamer& namer,
                const std::string& where, AlignedBuffer& out);
// The same into `out`, which has room for b.length bytes.
void open_block(Repository& repository, PackCopy& pack, const BlockRef& b, const BlockNamer& namer,
                const std::string& where, char* out);

// What a pack costs a restore: the bytes it brings from the store, and the bytes its
// blocks write.
struct PackLoad {
    std::uint64_t fetched = 0, written = 0;
};

// The order to fetch packs in (positions in `loads`): packs that write many times the
// bytes they bring (blocks a record uses many times over, like repeated data stored
// once) are spread among the others, each where the bytes written so far fall behind
// their share, so that the store and the writes stay busy together. Taken in a run,
// such packs would leave the store waiting while the writes catch up, and then the
// writes while the store does. Packs keep their order among their kind.
std::vector<std::size_t> balanced_order(const std::vector<PackLoad>& loads);

class PackFetcher {
public:
    struct Pack {
        std::size_t position = 0;  // in the ids given
        PackCopy copy;
    };

    // Starts fetching the packs of `ids` in their order, with as many fetchers as the
    // store runs requests at once, and at least `least`, the number of workers (a
    // store that reads a local file runs one, while every worker could read).
    PackFetcher(Repository& repository, std::vector<std::string> ids, unsigned least);
    // Stops the fetchers; a fetch under way ends first (the store's retry window).
    ~PackFetcher();
    PackFetcher(const PackFetcher&) = delete;
    PackFetcher& operator=(const PackFetcher&) = delete;

    // The next pack that has arrived, in whatever order they arrive; false once every
    // pack was handed out or stop() was called. Throws the first failure of a fetch.
    bool next(Pack& pack);
    // No more packs are fetched or handed out; workers waiting in next() return.
    void stop();

private:
    void fetch();

    Repository& repository_;
    const std::vector<std::string> ids_;
    std::mutex mutex_;
    std::condition_variable arrived_, taken_;
    std::deque<Pack> ready_;
    std::size_t next_fetch_ = 0, handed_ = 0;
    std::size_t in_flight_ = 0;
    std::size_t slots_;  // requests under way at most
    std::size_t room_;   // packs that may wait for a worker beside them
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::vector<std::thread> fetchers_;
};

}  // namespace zvfd
