// Skipping known blocks, compressing, sealing and grouping into packs: the stages
// between a named block and the repository. A block that this run met before, that
// the caller's hint names (the reference's block at the same place), or that the
// repository's index segments name, is not stored again, provided its pack is one
// the repository may be trusted to hold (pack_presence.h). A new one is compressed
// (compress.h), sealed (cipher.h) and appended to the open pack. Workers call put()
// at the same time; look-ups, compression and sealing run outside the lock.
//
// A full pack goes into a short queue and a few uploader threads of the store's own
// store it, so workers go on while packs travel and an object store sees several
// uploads at once. Before each pack is stored, the index takes in the segments that
// backups running at the same time published; once another backup is seen doing so,
// the blocks of the pack that the other stored meanwhile are taken out of it and
// found there instead, so two backups of the same data at once store it about once.
// A block's place is therefore settled only when its pack is stored: until then
// put() gives a place in a pending pack, and settled() the place it took. Packs are
// put deferred and made durable together every kCommitEvery packs
// (and at flush()): one flush of the disk for a batch instead of one for every pack.
// The first pack is published on its own, and once another backup is seen
// publishing, every pack is: the other then finds this one's blocks a few packs
// after they were stored (the packs in the queue) rather than a batch later.
// Only then are their blocks published, as one level-0 segment (segment_index.h),
// so an index never names a pack that a crash could take away. The queue holds as
// many packs as there are uploaders; a worker that finds it full waits, which bounds
// the memory to a few packs per uploader and worker. The first failure of a store is
// thrown by every later put() and by flush(), and the backup fails without writing
// its record; salvage() then publishes the packs stored until then.
//
// The blocks met in this run are kept in tables (block_table.h) within a budget: past
// it the oldest table goes once every pack it names has been published, and its
// blocks are found again through the index.
#pragma once

#include "zvfd/block_table.h"
#include "zvfd/compress.h"
#include "zvfd/pack_presence.h"
#include "zvfd/repository.h"
#include "zvfd/segment_index.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zvfd {

constexpr std::size_t kPackSize = 4u << 20;
constexpr std::size_t kCommitEvery = 16;
constexpr std::size_t kTableBudget = 64u << 20;

// Where a backup may find its blocks stored already, besides this run's own.
struct KnownBlocks {
    SegmentIndex* index = nullptr;      // the repository's; this run's blocks are published there
    const BlockIndex* extra = nullptr;  // blocks held in memory (the record an addition extends)
    PackPresence* presence = nullptr;   // when set, a known block counts only in a pack it trusts
};

class BlockStore {
public:
    // `uploaders` 0: as many as the repository's store runs puts at once
    // (Storage::parallel_requests). `table_budget`: bytes the tables of this run's
    // blocks may take.
    BlockStore(Repository& repository, Compression compression, KnownBlocks known, std::size_t pack_size = kPackSize,
               unsigned uploaders = 0, std::size_t table_budget = kTableBudget);
    // Stops the uploaders; packs not stored by then are dropped (flush() stores them).
    ~BlockStore();
    BlockStore(const BlockStore&) = delete;
    BlockStore& operator=(const BlockStore&) = delete;

    // Where the block lives, after queueing it when it is new. `hint`: where the
    // caller believes it is stored (taken when its pack is trusted and it has the
    // block's length; the caller answers for the name). `unsettled` (when given) is
    // set when the place is in a pending pack.
    BlockLocation put(const std::string& name, const char* data, std::uint32_t length,
                      const BlockLocation* hint = nullptr, bool* unsettled = nullptr);
    // Whether the pack is one of this run's that is not stored yet.
    bool pending(const std::string& pack) const;
    // Where a block that put() placed in a pending pack lies, once that pack is
    // stored.
    BlockLocation settled(const std::string& name);
    // Called, from an uploader, with each pending pack once it is stored.
    void on_settled(std::function<void(const std::string& pack)> settled) { on_settled_ = std::move(settled); }
    // Queues the open pack now, however few blocks it holds; given an id, only while
    // that pack is still the open one (another worker may have sealed it meanwhile).
    void seal_open(const std::string& only = {});
    // The id of the pack new blocks go into now.
    std::string open_pack() const;
    // Takes in what backups running at the same time published (a worker calls it
    // between pieces: one that finds all its blocks stored stores no pack to do it).
    void refresh() {
        if (known_.index) known_.index->refresh();
    }
    // Queues the open pack and waits until every pack is stored and published; call
    // once every put has returned. Throws the first failure of a store.
    void flush();
    // After a failure: stops storing and publishes the packs stored until then, so
    // that a later run finds their blocks. Never throws.
    void salvage() noexcept;

    std::uint64_t new_blocks() const { return new_blocks_; }
    std::uint64_t known_blocks() const { return known_blocks_; }
    std::uint64_t stored_bytes() const { return stored_bytes_; }
    std::size_t table_bytes() const;
    // Emptied packs kept for reuse: bounded by the packs that can be in flight at once.
    std::size_t spare_packs() const;

private:
    struct Generation {
        BlockTable table;
        std::uint32_t newest_own = 0;  // the highest number of a pack of this run it names, + 1
    };
    void stop();
    void enqueue(std::unique_ptr<PackBuilder> pack);
    void upload();
    // Syncs the packs put so far, then publishes their blocks; unless `all`, only once
    // enough of them wait (another commit may have taken them).
    void commit(bool all);
    std::size_t commit_batch() const;
    [[noreturn]] void rethrow_failure();
    bool trusted(const std::string& pack);
    // With mutex_ held.
    bool find_locked(const std::string& name, BlockLocation& out) const;
    void remember_locked(const std::string& name, const BlockLocation& location, bool own);
    std::uint32_t pack_number_locked(const std::string& id);
    void open_pack_locked(std::unique_ptr<PackBuilder> pack);
    // A stored pack emptied for reuse, else a new one.
    std::unique_ptr<PackBuilder> spare_or_new();
    // Takes out of the pack the blocks that others stored meanwhile; their places.
    std::vector<std::pair<std::size_t, BlockLocation>> stored_by_others(const PackBuilder& pack);
    // The pack's blocks have their places: those left in it (stored, unless it is
    // empty now) and those `moved` to where others stored them.
    void settle(const PackBuilder& pack, const std::vector<std::pair<std::string, BlockLocation>>& moved,
                std::uint64_t moved_bytes, bool stored);
    BlockLocation location_of(const TableLocation& l) const;

    Repository& repository_;
    Compression compression_;
    KnownBlocks known_;
    std::size_t pack_size_, table_budget_, generation_size_;
    mutable std::mutex mutex_;  // the tables, the pack numbers and the open pack
    std::deque<Generation> tables_;  // oldest first
    std::vector<std::string> pack_ids_;
    std::unordered_map<std::string, std::uint32_t> pack_numbers_;
    std::set<std::uint32_t> unpublished_;  // numbers of this run's packs not published yet
    std::set<std::uint32_t> pending_;      // and of those not stored yet
    std::function<void(const std::string&)> on_settled_;
    std::unique_ptr<PackBuilder> open_;
    std::atomic<std::uint64_t> new_blocks_{0}, known_blocks_{0}, stored_bytes_{0};

    mutable std::mutex queue_mutex_;
    std::condition_variable queued_, room_, idle_;
    std::deque<std::unique_ptr<PackBuilder>> queue_;
    std::vector<std::unique_ptr<PackBuilder>> spares_;  // stored packs, emptied for reuse
    std::vector<std::pair<std::string, std::vector<IndexEntry>>> unsynced_;  // pack id, its blocks
    std::mutex commit_mutex_;  // one commit at a time
    std::size_t capacity_;
    unsigned storing_ = 0;  // packs taken by uploaders and not yet stored
    bool stopping_ = false;
    std::atomic<bool> published_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> own_tables_dropped_{false};  // a table with blocks of this run's packs went
    std::exception_ptr failure_;
    std::vector<std::thread> uploaders_;
};

}  // namespace zvfd
