// Where a backup looks up the blocks that other backups stored: the index segments
// (index_segment.h) of its key, found without listing the repository and read only
// where a look-up needs them, so that start-up and memory do not grow with the size
// of the repository.
//
// Each backup publishes the blocks of the packs it stored, once they are durable, as
// the next level-0 segment: numbers 0, 1, 2, ... taken with put-if-absent, so two runs
// at once take different ones. Once the 16 level-0 segments 16j..16j+15 are there,
// the run that completes them (or any later one) merges them into the level-1 segment
// j, 16 of those into a level-2 segment, and so on; the merged segment is a new
// object, the old ones stay. A run finds the segments by looking for the first
// level-0 number that is not taken (about 2·log2 of their count in existence checks)
// and then for the largest merged segments that cover the numbers below it: a few
// dozen requests however large the repository, and about 15 segments a level.
//
// A repository written before segments existed has one index object per pack
// ("index/<pack id>", pack.h); the first run of a key reads them once into level-0
// segments and notes that it did ("segments/<space>/imported").
//
// A damaged segment is passed over (its blocks are simply stored again); where a
// merged one is damaged, the segments it merged are used.
#pragma once

#include "zvfd/index_segment.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace zvfd {

class SegmentIndex {
public:
    // `budget`: bytes the filters and pack tables read from segments may take.
    SegmentIndex(Storage& storage, const Keys& keys, const Sealer* sealer, std::size_t name_size,
                 std::size_t budget = 128u << 20);
    // Stops merging; a merge under way is left unfinished (its parts are debris that
    // no segment names).
    ~SegmentIndex();
    SegmentIndex(const SegmentIndex&) = delete;
    SegmentIndex& operator=(const SegmentIndex&) = delete;

    // Finds the segments; throws StorageError when the store fails.
    void open();
    // Takes in the level-0 segments that other runs published since: one existence
    // check when there is none. A call while another one runs looks no more: that
    // one brings the news, and with `now` the call returns once it has. Unless `now`,
    // a call soon after a look does nothing.
    void refresh(bool now = false);
    // Whether a level-0 segment of another run has appeared since open().
    bool others_publish() const { return others_; }
    // Publishes the entries (of packs that are durable) as a level-0 segment of
    // their own. Merges that it completes run in the background.
    void publish(std::vector<IndexEntry> entries);
    // Appends the entries named `name`, the newest segments' first. With `skip_own`,
    // the segments this run made from its own packs alone are passed over: a run that
    // still holds its own blocks in its tables would find nothing new there, and on a
    // store each look that a filter lets through is a request.
    void find(const std::string& name, std::vector<IndexEntry>& out, bool skip_own = false);
    // Waits for the merges under way, then merges every group that is complete.
    // Throws the first failure of a merge.
    void finish();

    std::size_t segments() const;
    std::uint64_t entries() const;
    std::size_t cached_bytes() const { return cache_.bytes(); }

private:
    using View = std::vector<std::shared_ptr<Segment>>;
    std::shared_ptr<const View> view() const;
    void import_first_format();
    std::uint64_t find_end();
    // Adds a segment to the view and queues the merge it completes, if any.
    void adopt(std::shared_ptr<Segment> segment);
    void drop(const Segment* segment);
    void queue_merges_locked();
    void merge_loop();
    void merge(unsigned level, std::uint64_t number);

    Storage& storage_;
    SegmentCache cache_;
    SegmentSpace space_;
    mutable std::mutex mutex_;
    std::shared_ptr<const View> view_;  // newest first
    std::uint64_t end_ = 0;             // the level-0 numbers below it are in the view
    // Level-0 numbers this run is writing or wrote: a refresh that meets one of them
    // before publish() has taken it in has not found another run.
    std::set<std::uint64_t> own_;
    std::mutex publish_mutex_;
    std::mutex refresh_mutex_;
    std::chrono::steady_clock::time_point refreshed_{};

    std::condition_variable merge_wake_, merge_idle_;
    std::deque<std::pair<unsigned, std::uint64_t>> merges_;  // level and number of merged segments to write
    bool merging_ = false, stopping_ = false;
    std::atomic<bool> stop_{false};  // read by a merge between its parts
    std::atomic<bool> others_{false};
    std::exception_ptr merge_failure_;
    std::thread merger_;
};

}  // namespace zvfd
