#include "zvfd/pack_fetcher.h"

#include <algorithm>

namespace zvfd {

void open_block(Repository& repository, PackCopy& pack, const BlockRef& b, const BlockNamer& namer,
                const std::string& where, AlignedBuffer& out) {
    out.resize(b.length);
    open_block(repository, pack, b, namer, where, out.data());
}

void open_block(Repository& repository, PackCopy& pack, const BlockRef& b, const BlockNamer& namer,
                const std::string& where, char* out) {
    std::exception_ptr first;
    for (;;) {
        try {
            unpack_block(pack.bytes, pack.id, b, repository.sealer(), namer, where, out);
            return;
        } catch (const StorageError&) {
            throw;
        } catch (const Error&) {
            if (!first) first = std::current_exception();
        }
        std::string later;
        try {
            later = repository.storage().get_later(pack_object_name(pack.id), pack.later + 1);
        } catch (const ObjectMissing&) {
            std::rethrow_exception(first);
        }
        ++pack.later;
        try {
            check_pack_header(later, pack.id);
        } catch (const StorageError&) {
            throw;
        } catch (const Error&) {
            continue;  // not even a pack: the next version, if any
        }
        pack.bytes = std::move(later);
    }
}

std::vector<std::size_t> balanced_order(const std::vector<PackLoad>& loads) {
    long double fetched = 0, written = 0;
    for (const PackLoad& load : loads) {
        fetched += load.fetched;
        written += load.written;
    }
    // Heavy: writes more per byte fetched than the whole does.
    std::vector<std::size_t> heavy, light;
    for (std::size_t i = 0; i < loads.size(); ++i)
        (static_cast<long double>(loads[i].written) * fetched > static_cast<long double>(loads[i].fetched) * written
             ? heavy
             : light)
            .push_back(i);
    std::vector<std::size_t> order;
    order.reserve(loads.size());
    long double so_far_fetched = 0, so_far_written = 0;
    for (std::size_t h = 0, l = 0; h < heavy.size() || l < light.size();) {
        const bool behind = so_far_written * fetched <= so_far_fetched * written;
        const std::size_t next = h < heavy.size() && (l == light.size() || behind) ? heavy[h++] : light[l++];
        order.push_back(next);
        so_far_fetched += loads[next].fetched;
        so_far_written += loads[next].written;
    }
    return order;
}

PackFetcher::PackFetcher(Repository& repository, std::vector<std::string> ids, unsigned least)
    : repository_(repository), ids_(std::move(ids)) {
    const std::size_t fetchers =
        std::min<std::size_t>(std::max(repository.storage().parallel_requests(), std::max(1u, least)), ids_.size());
    slots_ = std::max<std::size_t>(1, fetchers);
    room_ = std::max(1u, least);
    try {
        for (std::size_t i = 0; i < fetchers; ++i) fetchers_.emplace_back([this] { fetch(); });
    } catch (...) {
        stop();
        for (auto& t : fetchers_) t.join();
        throw;
    }
}

PackFetcher::~PackFetcher() {
    stop();
    for (auto& t : fetchers_) t.join();
}

void PackFetcher::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        ready_.clear();
    }
    arrived_.notify_all();
    taken_.notify_all();
}

bool PackFetcher::next(Pack& pack) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [this] { return !ready_.empty() || failure_ || stopping_ || handed_ == ids_.size(); });
    if (failure_) std::rethrow_exception(failure_);
    if (ready_.empty()) return false;
    pack = std::move(ready_.front());
    ready_.pop_front();
    const bool last = ++handed_ == ids_.size();
    lock.unlock();
    taken_.notify_one();
    if (last) arrived_.notify_all();  // the other workers wait for none
    return true;
}

void PackFetcher::fetch() {
    for (;;) {
        Pack pack;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // A pack that waits for a worker takes no download's place, as long as no
            // more wait than there are workers: the store keeps its requests under way
            // while the workers catch up.
            taken_.wait(lock, [this] {
                return (in_flight_ < slots_ && in_flight_ + ready_.size() < slots_ + room_) || stopping_ || failure_;
            });
            if (stopping_ || failure_ || next_fetch_ == ids_.size()) return;
            pack.position = next_fetch_++;
            ++in_flight_;
        }
        try {
            pack.copy.id = ids_[pack.position];
            pack.copy.bytes = repository_.get_pack(pack.copy.id);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
            arrived_.notify_all();
            taken_.notify_all();
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            --in_flight_;
            ready_.push_back(std::move(pack));
        }
        arrived_.notify_one();
    }
}

}  // namespace zvfd
