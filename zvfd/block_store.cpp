#include "zvfd/block_store.h"

#include <algorithm>

namespace zvfd {

static_assert(kPackSize + kMaxBlockSize + 1024 <= kMaxPackObjectSize, "a full pack and its last block must be readable");

namespace {
// A block of this run's tables costs about this many bytes.
constexpr std::size_t kTableEntryBytes = 64;
}  // namespace

BlockStore::BlockStore(Repository& repository, Compression compression, KnownBlocks known, std::size_t pack_size,
                       unsigned uploaders, std::size_t table_budget)
    : repository_(repository),
      compression_(compression),
      known_(known),
      pack_size_(pack_size),
      table_budget_(table_budget),
      generation_size_(std::max<std::size_t>(4096, table_budget / kTableEntryBytes / 4)),
      open_(nullptr) {
    if (uploaders == 0) uploaders = repository.storage().parallel_requests();
    uploaders = std::max(1u, uploaders);
    capacity_ = uploaders;
    open_pack_locked(std::make_unique<PackBuilder>());
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
    for (auto& thread : uploaders_)
        if (thread.joinable()) thread.join();
}

void BlockStore::rethrow_failure() {
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        failure = failure_;
    }
    std::rethrow_exception(failure);
}

std::size_t BlockStore::table_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t bytes = 0;
    for (const auto& g : tables_) bytes += g.table.bytes();
    return bytes;
}

std::size_t BlockStore::spare_packs() const {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    return spares_.size();
}

std::uint32_t BlockStore::pack_number_locked(const std::string& id) {
    auto [it, added] = pack_numbers_.emplace(id, static_cast<std::uint32_t>(pack_ids_.size()));
    if (added) pack_ids_.push_back(id);
    return it->second;
}

void BlockStore::open_pack_locked(std::unique_ptr<PackBuilder> pack) {
    open_ = std::move(pack);
    const std::uint32_t number = pack_number_locked(open_->id());
    unpublished_.insert(number);
    pending_.insert(number);
}

bool BlockStore::pending(const std::string& pack) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pack_numbers_.find(pack);
    return it != pack_numbers_.end() && pending_.count(it->second);
}

BlockLocation BlockStore::settled(const std::string& name) {
    BlockLocation location;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (find_locked(name, location)) return location;
    }
    // Its table went once its pack was published: the index has it.
    std::vector<IndexEntry> candidates;
    if (known_.index) known_.index->find(name, candidates);
    for (const IndexEntry& c : candidates)
        if (trusted(c.pack)) return {c.pack, c.offset, c.stored, c.raw, c.flags};
    throw Error("a block stored by this run is found neither in its tables nor in the index");
}

BlockLocation BlockStore::location_of(const TableLocation& l) const {
    return {pack_ids_[l.pack], l.offset, l.stored, l.raw, l.flags};
}

bool BlockStore::find_locked(const std::string& name, BlockLocation& out) const {
    TableLocation l;
    for (auto g = tables_.rbegin(); g != tables_.rend(); ++g) {
        if (g->table.find(name, l)) {
            out = location_of(l);
            return true;
        }
    }
    return false;
}

void BlockStore::remember_locked(const std::string& name, const BlockLocation& location, bool own) {
    if (tables_.empty() || tables_.back().table.size() >= generation_size_) tables_.push_back({BlockTable(name.size()), 0});
    const std::uint32_t pack = pack_number_locked(location.pack);
    tables_.back().table.insert(name, {pack, location.offset, location.stored, location.raw, location.flags});
    if (own) tables_.back().newest_own = std::max(tables_.back().newest_own, pack + 1);
    // Over the budget, the oldest table goes once its blocks can be found in the index.
    std::size_t bytes = 0;
    for (const auto& g : tables_) bytes += g.table.bytes();
    while (bytes > table_budget_ && tables_.size() > 1 && known_.index &&
           (unpublished_.empty() || tables_.front().newest_own <= *unpublished_.begin())) {
        if (tables_.front().newest_own > 0) own_tables_dropped_ = true;
        bytes -= tables_.front().table.bytes();
        tables_.pop_front();
    }
}

bool BlockStore::trusted(const std::string& pack) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pack_numbers_.find(pack);
        if (it != pack_numbers_.end() && unpublished_.count(it->second)) return true;  // being stored by this run
    }
    return !known_.presence || known_.presence->trusted(pack);
}

BlockLocation BlockStore::put(const std::string& name, const char* data, std::uint32_t length,
                              const BlockLocation* hint, bool* unsettled) {
    if (failed_) rethrow_failure();
    bool ignored;
    if (!unsettled) unsettled = &ignored;
    *unsettled = false;
    BlockLocation location;
    // With the lock held: a location this run's tables give, and whether it is settled.
    auto found_locked = [&] {
        if (!find_locked(name, location)) return false;
        *unsettled = pending_.count(pack_numbers_.at(location.pack)) > 0;
        ++known_blocks_;
        return true;
    };
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (found_locked()) return location;
    }
    // Found stored already: taken when its pack is trusted, and kept for the next time.
    auto known = [&](const BlockLocation& at) {
        if (at.raw != length || !trusted(at.pack)) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        remember_locked(name, at, false);
        ++known_blocks_;
        return true;
    };
    if (hint && known(*hint)) return *hint;
    if (known_.extra) {
        auto it = known_.extra->find(name);
        if (it != known_.extra->end() && known(it->second)) return it->second;
    }
    if (known_.index) {
        thread_local std::vector<IndexEntry> candidates;
        candidates.clear();
        // While the tables hold every block this run stored, its own segments hold
        // nothing the tables did not answer already.
        known_.index->find(name, candidates, !own_tables_dropped_);
        for (const IndexEntry& c : candidates) {
            const BlockLocation at{c.pack, c.offset, c.stored, c.raw, c.flags};
            if (known(at)) return at;
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (found_locked()) return location;  // another worker stored the same block meanwhile
        *unsettled = true;
        location.pack = open_->id();
        location.offset = open_->add(name, payload, length, flags);
        location.stored = static_cast<std::uint32_t>(payload.size());
        location.raw = length;
        location.flags = flags;
        remember_locked(name, location, true);
        ++new_blocks_;
        stored_bytes_ += payload.size();
        if (open_->size() >= pack_size_) {
            full = std::move(open_);
            open_pack_locked(spare_or_new());
        }
    }
    if (full) enqueue(std::move(full));
    return location;
}

void BlockStore::seal_open(const std::string& only) {
    std::unique_ptr<PackBuilder> sealed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_->empty() || (!only.empty() && open_->id() != only)) return;
        sealed = std::move(open_);
        open_pack_locked(spare_or_new());
    }
    enqueue(std::move(sealed));
}

std::string BlockStore::open_pack() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_->id();
}

std::unique_ptr<PackBuilder> BlockStore::spare_or_new() {
    {
        std::lock_guard<std::mutex> spares(queue_mutex_);
        if (!spares_.empty()) {
            std::unique_ptr<PackBuilder> next = std::move(spares_.back());
            spares_.pop_back();
            return next;
        }
    }
    return std::make_unique<PackBuilder>();
}

std::vector<std::pair<std::size_t, BlockLocation>> BlockStore::stored_by_others(const PackBuilder& pack) {
    std::vector<std::pair<std::size_t, BlockLocation>> elsewhere;
    if (!known_.index || !known_.index->others_publish()) return elsewhere;
    std::vector<IndexEntry> candidates;
    for (std::size_t i = 0; i < pack.entries().size(); ++i) {
        const PackEntry& e = pack.entries()[i];
        candidates.clear();
        known_.index->find(e.name, candidates, true);  // what others stored
        for (const IndexEntry& c : candidates) {
            if (c.raw != e.raw || c.pack == pack.id() || !trusted(c.pack)) continue;
            elsewhere.emplace_back(i, BlockLocation{c.pack, c.offset, c.stored, c.raw, c.flags});
            break;
        }
    }
    return elsewhere;
}

void BlockStore::settle(const PackBuilder& pack, const std::vector<std::pair<std::string, BlockLocation>>& moved,
                        std::uint64_t moved_bytes, bool stored) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto assign = [&](const std::string& name, const BlockLocation& at) {
            const TableLocation l{pack_number_locked(at.pack), at.offset, at.stored, at.raw, at.flags};
            for (auto g = tables_.rbegin(); g != tables_.rend(); ++g)
                if (g->table.assign(name, l)) return;
        };
        for (const PackEntry& e : pack.entries()) assign(e.name, {pack.id(), e.offset, e.stored, e.raw, e.flags});
        for (const auto& [name, at] : moved) assign(name, at);
        const std::uint32_t number = pack_numbers_.at(pack.id());
        pending_.erase(number);
        if (!stored) unpublished_.erase(number);
    }
    known_blocks_ += moved.size();
    new_blocks_ -= moved.size();
    stored_bytes_ -= moved_bytes;
    if (on_settled_) on_settled_(pack.id());
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
            // What backups running at the same time stored meanwhile is known from now on,
            // and not stored again.
            if (known_.index) known_.index->refresh(true);
            std::vector<std::pair<std::string, BlockLocation>> moved;
            std::uint64_t moved_bytes = 0;
            const auto elsewhere = stored_by_others(*pack);
            if (!elsewhere.empty()) {
                std::vector<bool> dropped(pack->entries().size(), false);
                for (const auto& [i, at] : elsewhere) {
                    dropped[i] = true;
                    moved.emplace_back(pack->entries()[i].name, at);
                    moved_bytes += pack->entries()[i].stored;
                }
                pack->drop(dropped);
            }
            const bool stored = !pack->empty();
            bool due = false;
            if (stored) {
                repository_.put_pack_deferred(*pack);
                std::vector<IndexEntry> entries;
                entries.reserve(pack->entries().size());
                for (const PackEntry& e : pack->entries())
                    entries.push_back({e.name, pack->id(), e.offset, e.stored, e.raw, e.flags});
                std::lock_guard<std::mutex> lock(queue_mutex_);
                unsynced_.emplace_back(pack->id(), std::move(entries));
                due = unsynced_.size() >= commit_batch();
            }
            settle(*pack, moved, moved_bytes, stored);
            if (due) commit(false);
        } catch (...) {
            failure = std::current_exception();
        }
        pack->reset();
        {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            // Enough spares for the packs that can be in flight at once; more would only
            // hold their buffers (a run of small pieces seals many small packs).
            if (spares_.size() <= capacity_) spares_.push_back(std::move(pack));
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
    std::vector<std::pair<std::string, std::vector<IndexEntry>>> packs;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        if (!all && unsynced_.size() < commit_batch()) return;
        packs.swap(unsynced_);
    }
    if (packs.empty()) return;
    repository_.storage().sync_deferred();  // these packs, and any put since
    std::vector<IndexEntry> entries;
    for (auto& [id, blocks] : packs) {
        entries.insert(entries.end(), std::make_move_iterator(blocks.begin()), std::make_move_iterator(blocks.end()));
        if (known_.presence) known_.presence->add_own(id);
    }
    if (known_.index) known_.index->publish(std::move(entries));
    published_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, blocks] : packs) unpublished_.erase(pack_numbers_.at(id));
}

std::size_t BlockStore::commit_batch() const {
    // The first pack is published at once, so that a backup running at the same time
    // learns early that this one runs, and both then publish pack by pack.
    return published_ && !(known_.index && known_.index->others_publish()) ? kCommitEvery : 1;
}

void BlockStore::flush() {
    std::unique_ptr<PackBuilder> last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = std::move(open_);
        open_pack_locked(std::make_unique<PackBuilder>());
        if (last->empty()) {
            const std::uint32_t number = pack_numbers_.at(last->id());
            pending_.erase(number);
            unpublished_.erase(number);
        }
    }
    if (!last->empty()) enqueue(std::move(last));
    std::unique_lock<std::mutex> lock(queue_mutex_);
    idle_.wait(lock, [this] { return (queue_.empty() && storing_ == 0) || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    lock.unlock();
    commit(true);
}

void BlockStore::salvage() noexcept {
    stop();
    try {
        commit(true);
    } catch (...) {
        // The store itself failed: nothing more can be published.
    }
}

}  // namespace zvfd
