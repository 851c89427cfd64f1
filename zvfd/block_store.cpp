#include "zvfd/block_store.h"

#include <algorithm>

namespace zvfd {

BlockStore::BlockStore(Repository& repository, Compression compression, BlockIndex known, std::size_t pack_size,
                       unsigned uploaders, PackPresence* presence)
    : repository_(repository),
      compression_(compression),
      pack_size_(pack_size),
      known_(std::move(known)),
      presence_(presence),
      open_(std::make_unique<PackBuilder>()) {
    if (uploaders == 0) uploaders = repository.storage().parallel_requests();
    uploaders = std::max(1u, uploaders);
    capacity_ = uploaders;
    try {
        for (unsigned i = 0; i < uploaders; ++i) uploaders_.emplace_back([this] { upload(); });
    } catch (...) {
        stop();
        throw;
    }
}

BlockStore::~BlockStore() { stop(); }

void BlockStore::stop() {
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        stopping_ = true;
        queue_.clear();
    }
    queued_.notify_all();
    room_.notify_all();
    // An uploader in the middle of a store finishes it; the store's own retry window
    // bounds how long that takes.
    for (auto& thread : uploaders_) thread.join();
}

void BlockStore::rethrow_failure() {
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        failure = failure_;
    }
    std::rethrow_exception(failure);
}

BlockLocation BlockStore::put(const std::string& name, const char* data, std::uint32_t length) {
    if (failed_) rethrow_failure();
    auto found = known_.find(name);
    if (found != known_.end() && (!presence_ || presence_->trusted(found->second.pack))) {
        ++known_blocks_;
        return found->second;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = index_.find(name);
        if (it != index_.end()) {
            ++known_blocks_;
            return it->second;
        }
    }
    // Per thread, so that a block costs no allocation on its way into the pack.
    thread_local std::string compressed, sealed;
    std::uint8_t flags = 0;
    std::string_view payload(data, length);
    if (compress_block(compression_, data, length, compressed)) {
        flags |= kBlockCompressed;
        payload = compressed;
    }
    if (const Sealer* sealer = repository_.sealer()) {
        sealed.resize(payload.size() + sealer->overhead());
        sealer->seal_into(payload.data(), payload.size(), sealed.data());
        payload = sealed;
    }

    std::unique_ptr<PackBuilder> full;
    BlockLocation location;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = index_.find(name);
        if (it != index_.end()) {  // another worker stored the same block meanwhile
            ++known_blocks_;
            return it->second;
        }
        location.pack = open_->id();
        location.offset = open_->add(name, payload, length, flags);
        location.stored = static_cast<std::uint32_t>(payload.size());
        location.raw = length;
        location.flags = flags;
        index_.emplace(name, location);
        ++new_blocks_;
        stored_bytes_ += payload.size();
        if (open_->size() >= pack_size_) {
            full = std::move(open_);
            {
                std::lock_guard<std::mutex> spares(queue_mutex_);
                if (!spares_.empty()) {
                    open_ = std::move(spares_.back());
                    spares_.pop_back();
                }
            }
            if (!open_) open_ = std::make_unique<PackBuilder>();
        }
    }
    if (full) enqueue(std::move(full));
    return location;
}

void BlockStore::enqueue(std::unique_ptr<PackBuilder> pack) {
    {
        std::unique_lock<std::mutex> lock(queue_mutex_);
        room_.wait(lock, [this] { return queue_.size() < capacity_ || failure_ || stopping_; });
        if (failure_) std::rethrow_exception(failure_);
        if (stopping_) throw Error("the pack store is closed");
        queue_.push_back(std::move(pack));
    }
    queued_.notify_one();
}

void BlockStore::upload() {
    for (;;) {
        std::unique_ptr<PackBuilder> pack;
        {
            std::unique_lock<std::mutex> lock(queue_mutex_);
            queued_.wait(lock, [this] { return !queue_.empty() || stopping_; });
            if (queue_.empty()) return;
            pack = std::move(queue_.front());
            queue_.pop_front();
            ++storing_;
        }
        room_.notify_one();
        std::exception_ptr failure;
        try {
            std::string index = repository_.put_pack_deferred(*pack);
            bool due;
            {
                std::lock_guard<std::mutex> lock(queue_mutex_);
                unsynced_.emplace_back(pack->id(), std::move(index));
                due = unsynced_.size() >= kCommitEvery;
            }
            if (due) commit(false);
        } catch (...) {
            failure = std::current_exception();
        }
        pack->reset();
        {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            spares_.push_back(std::move(pack));
            --storing_;
            if (failure && !failure_) {
                failure_ = failure;
                failed_ = true;
                queue_.clear();  // nothing more is stored for a backup that fails
            }
        }
        if (failure) room_.notify_all();
        idle_.notify_all();
    }
}

void BlockStore::commit(bool all) {
    std::lock_guard<std::mutex> one_at_a_time(commit_mutex_);
    std::vector<std::pair<std::string, std::string>> indexes;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        if (!all && unsynced_.size() < kCommitEvery) return;
        indexes.swap(unsynced_);
    }
    if (indexes.empty()) return;
    Storage& storage = repository_.storage();
    storage.sync_deferred();  // the packs of these indexes, and any put since
    for_each_at_once(indexes.size(), storage.parallel_requests(), [&](std::size_t i) {
        if (failed_) throw Error("the pack store failed");  // the first failure is the one reported
        repository_.put_index_deferred(indexes[i].first, indexes[i].second);
    });
    storage.sync_deferred();
}

void BlockStore::flush() {
    std::unique_ptr<PackBuilder> last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = std::move(open_);
        open_ = std::make_unique<PackBuilder>();
    }
    if (!last->empty()) enqueue(std::move(last));
    std::unique_lock<std::mutex> lock(queue_mutex_);
    idle_.wait(lock, [this] { return (queue_.empty() && storing_ == 0) || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    lock.unlock();
    commit(true);
}

}  // namespace zvfd
