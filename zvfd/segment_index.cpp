#include "zvfd/segment_index.h"

#include "zvfd/block_name.h"
#include "zvfd/codec.h"
#include "zvfd/pack.h"

#include <algorithm>
#include <set>

namespace zvfd {

namespace {

constexpr unsigned kMaxLevel = 12;
// Entries of the first format read into one level-0 segment at a time.
constexpr std::size_t kImportBatch = std::size_t(1) << 18;

std::uint64_t span_of(unsigned level) {
    std::uint64_t span = 1;
    for (unsigned k = 0; k < level; ++k) span *= kSegmentFanout;
    return span;
}

// The first level-0 number a segment covers: the view is ordered by it, newest first.
std::uint64_t first_covered(const Segment& s) { return s.number() * span_of(s.level()); }

bool covers(const Segment& outer, const Segment& inner) {
    if (outer.level() <= inner.level()) return false;
    return inner.number() / span_of(outer.level() - inner.level()) == outer.number();
}

}  // namespace

SegmentIndex::SegmentIndex(Storage& storage, const Keys& keys, const Sealer* sealer, std::size_t name_size,
                           std::size_t budget)
    : storage_(storage), cache_(budget), space_(storage, keys, sealer, name_size, cache_),
      view_(std::make_shared<const View>()) {
    merger_ = std::thread([this] { merge_loop(); });
}

SegmentIndex::~SegmentIndex() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        stop_ = true;
        merges_.clear();
    }
    merge_wake_.notify_all();
    merger_.join();
}

std::shared_ptr<const SegmentIndex::View> SegmentIndex::view() const { return std::atomic_load(&view_); }

std::size_t SegmentIndex::segments() const { return view()->size(); }

std::uint64_t SegmentIndex::entries() const {
    std::uint64_t n = 0;
    const auto current = view();  // held: another thread may replace the view meanwhile
    for (const auto& s : *current) n += s->entries();
    return n;
}

void SegmentIndex::open() {
    import_first_format();
    const std::uint64_t end = find_end();
    // The numbers below the end as the largest groups that fit, each taken from its
    // merged segment where one exists and else from the segments it would merge.
    std::vector<std::pair<unsigned, std::uint64_t>> wanted;
    unsigned top = 0;
    while (top < kMaxLevel && span_of(top + 1) <= end) ++top;
    std::uint64_t at = 0;
    for (int level = static_cast<int>(top); level >= 0; --level) {
        const std::uint64_t span = span_of(static_cast<unsigned>(level));
        for (; at + span <= end; at += span) wanted.emplace_back(level, at / span);
    }
    View found;
    while (!wanted.empty()) {
        std::vector<std::shared_ptr<Segment>> opened(wanted.size());
        for_each_at_once(wanted.size(), storage_.parallel_requests(), [&](std::size_t i) {
            try {
                opened[i] = Segment::open(space_, wanted[i].first, wanted[i].second);
            } catch (const StorageError&) {
                throw;
            } catch (const Error&) {
                // Damaged: passed over like a missing one.
            }
        });
        std::vector<std::pair<unsigned, std::uint64_t>> below;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (opened[i]) {
                found.push_back(std::move(opened[i]));
            } else if (wanted[i].first > 0) {
                // Not merged (yet), or damaged: the segments it would merge.
                for (std::uint64_t j = 0; j < kSegmentFanout; ++j)
                    below.emplace_back(wanted[i].first - 1, wanted[i].second * kSegmentFanout + j);
            }
            // A level-0 segment that is damaged is passed over: its blocks are stored again.
        }
        wanted.swap(below);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return first_covered(*a) > first_covered(*b); });
    std::lock_guard<std::mutex> lock(mutex_);
    std::atomic_store(&view_, std::shared_ptr<const View>(std::make_shared<View>(std::move(found))));
    end_ = std::max(end_, end);
    queue_merges_locked();
}

std::uint64_t SegmentIndex::find_end() {
    auto taken = [&](std::uint64_t n) { return storage_.exists(space_.object(0, n)); };
    if (!taken(0)) return 0;
    std::uint64_t low = 0, step = 1;  // `low` is taken
    while (taken(low + step)) {
        low += step;
        step *= 2;
    }
    std::uint64_t high = low + step;  // not taken
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        (taken(middle) ? low : high) = middle;
    }
    return high;
}

void SegmentIndex::refresh(bool now) {
    // One look at a time. A caller that meets one under way takes that one's news
    // (with `now`, once it is in) rather than looking again: uploaders that each
    // looked in turn would queue behind each other's round trips and stop storing.
    // Unless `now`, a look at most every few dozen milliseconds: soon enough for a
    // run that reads at disk speed to find what another stored a few packs earlier.
    std::unique_lock<std::mutex> one_at_a_time(refresh_mutex_, std::try_to_lock);
    if (!one_at_a_time.owns_lock()) {
        if (now) one_at_a_time.lock();
        return;
    }
    if (!now && std::chrono::steady_clock::now() - refreshed_ < std::chrono::milliseconds(20)) return;
    refreshed_ = std::chrono::steady_clock::now();
    std::uint64_t n;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        n = end_;
    }
    for (;; ++n) {
        try {
            bool ours;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ours = own_.count(n) > 0;
            }
            // This run's own segment is publish()'s to take in, marked as its own: taken
            // in here first, it would count as another run's, so that every later publish
            // made a segment of one pack and every look-up read through them all.
            if (ours) continue;
            auto segment = Segment::open(space_, 0, n);
            if (!segment) break;
            others_ = true;
            adopt(std::move(segment));
        } catch (const StorageError&) {
            throw;
        } catch (const Error&) {
            // There, but damaged: its blocks are stored again.
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    end_ = std::max(end_, n);
}

void SegmentIndex::publish(std::vector<IndexEntry> entries) {
    if (entries.empty()) return;
    std::sort(entries.begin(), entries.end(), entry_before);
    std::lock_guard<std::mutex> one_at_a_time(publish_mutex_);
    std::uint64_t n;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        n = end_;
    }
    for (;; ++n) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            own_.insert(n);
        }
        if (write_segment(space_, 0, n, entries)) break;
        // Another run took the number: its blocks are news too.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            own_.erase(n);
        }
        others_ = true;
        try {
            if (auto theirs = Segment::open(space_, 0, n)) adopt(std::move(theirs));
        } catch (const StorageError&) {
            throw;
        } catch (const Error&) {
        }
    }
    auto ours = Segment::open(space_, 0, n);
    if (!ours) throw StorageError("index segment " + space_.object(0, n) + " vanished right after it was stored");
    ours->set_own();
    adopt(std::move(ours));
    std::lock_guard<std::mutex> lock(mutex_);
    end_ = std::max(end_, n + 1);
}

void SegmentIndex::find(const std::string& name, std::vector<IndexEntry>& out, bool skip_own) {
    const auto segments = view();
    for (const auto& segment : *segments) {
        if (skip_own && segment->own()) continue;
        try {
            segment->find(name, out);
        } catch (const StorageError&) {
            throw;
        } catch (const Error&) {
            drop(segment.get());  // damaged: its blocks are stored again
        }
    }
}

void SegmentIndex::adopt(std::shared_ptr<Segment> segment) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto current = view();
    auto next = std::make_shared<View>();
    next->reserve(current->size() + 1);
    for (const auto& s : *current) {
        if (s->level() == segment->level() && s->number() == segment->number()) return;  // taken in already
        if (covers(*s, *segment)) return;
        if (!covers(*segment, *s)) next->push_back(s);
    }
    next->push_back(std::move(segment));
    std::sort(next->begin(), next->end(), [](const auto& a, const auto& b) { return first_covered(*a) > first_covered(*b); });
    std::atomic_store(&view_, std::shared_ptr<const View>(std::move(next)));
    queue_merges_locked();
}

void SegmentIndex::drop(const Segment* segment) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto current = view();
    auto next = std::make_shared<View>();
    for (const auto& s : *current)
        if (s.get() != segment) next->push_back(s);
    std::atomic_store(&view_, std::shared_ptr<const View>(std::move(next)));
}

void SegmentIndex::queue_merges_locked() {
    if (stopping_) return;
    std::map<std::pair<unsigned, std::uint64_t>, unsigned> members;
    const auto current = view();
    for (const auto& s : *current) ++members[{s->level() + 1, s->number() / kSegmentFanout}];
    bool queued = false;
    for (const auto& [group, count] : members) {
        if (count < kSegmentFanout || group.first > kMaxLevel) continue;
        if (std::find(merges_.begin(), merges_.end(), group) != merges_.end()) continue;
        merges_.push_back(group);
        queued = true;
    }
    if (queued) merge_wake_.notify_all();
}

void SegmentIndex::merge_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        merge_wake_.wait(lock, [this] { return stopping_ || (!merges_.empty() && !merge_failure_); });
        if (stopping_) return;
        const auto [level, number] = merges_.front();
        merging_ = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
            merge(level, number);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        merging_ = false;
        merges_.erase(std::remove(merges_.begin(), merges_.end(), std::make_pair(level, number)), merges_.end());
        if (failure && !merge_failure_) merge_failure_ = failure;
        merge_idle_.notify_all();
    }
}

void SegmentIndex::merge(unsigned level, std::uint64_t number) {
    std::vector<std::shared_ptr<Segment>> members;
    // The view held while it is walked: a range over *view() would keep only the
    // View, and a publish on another thread would free it under the loop.
    const auto current = view();
    for (const auto& s : *current)
        if (s->level() + 1 == level && s->number() / kSegmentFanout == number) members.push_back(s);
    if (members.size() < kSegmentFanout) return;  // taken in by a merged segment meanwhile
    try {
        if (auto existing = Segment::open(space_, level, number)) {
            adopt(std::move(existing));  // merged by another run
            return;
        }
    } catch (const StorageError&) {
        throw;
    } catch (const Error&) {
        return;  // a damaged merged segment takes the name: its members stay in use
    }
    std::uint64_t total = 0;
    for (const auto& m : members) total += m->entries();
    SegmentWriter writer(space_, level, number, total);
    for (std::uint32_t part = 0; part < (1u << writer.part_bits()); ++part) {
        if (stop_) return;
        // Each member's slice is a read or two of its own: on a store they go at once,
        // since the run's record waits for this merge; a local file reads them faster
        // than threads would start.
        std::vector<std::vector<IndexEntry>> slices(members.size());
        for_each_at_once(members.size(), storage_.remote() ? storage_.parallel_requests() : 1,
                         [&](std::size_t i) { slices[i] = members[i]->slice(part, writer.part_bits()); });
        std::vector<IndexEntry> entries;
        for (auto& slice : slices)
            entries.insert(entries.end(), std::make_move_iterator(slice.begin()), std::make_move_iterator(slice.end()));
        std::sort(entries.begin(), entries.end(), entry_before);
        entries.erase(std::unique(entries.begin(), entries.end(),
                                  [](const IndexEntry& a, const IndexEntry& b) {
                                      return a.name == b.name && a.pack == b.pack && a.offset == b.offset &&
                                             a.stored == b.stored && a.raw == b.raw && a.flags == b.flags;
                                  }),
                      entries.end());
        writer.add_part(entries);
    }
    writer.finish();  // when another run came first, its segment is the same blocks
    if (auto merged = Segment::open(space_, level, number)) {
        if (std::all_of(members.begin(), members.end(), [](const auto& m) { return m->own(); })) merged->set_own();
        adopt(std::move(merged));
    }
}

void SegmentIndex::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    merge_idle_.wait(lock, [this] { return (merges_.empty() && !merging_) || merge_failure_; });
    if (merge_failure_) std::rethrow_exception(merge_failure_);
}

void SegmentIndex::import_first_format() {
    const std::string marker = space_.prefix + "/imported";
    if (storage_.exists(marker)) return;
    std::vector<std::string> objects;
    for (auto& name : storage_.list("index/"))
        if (name.find('/', 6) == std::string::npos) objects.push_back(std::move(name));
    std::mutex mutex;
    std::vector<IndexEntry> batch;
    const unsigned threads = storage_.parallel_requests();
    for_each_at_once(objects.size(), threads, [&](std::size_t i) {
        const std::string id = objects[i].substr(6);
        std::vector<PackEntry> entries;
        try {
            const std::string bytes = storage_.get_at_most(objects[i], kMaxIndexObjectSize);
            if (pack_index_key_id(bytes, id) != space_.keys.id) return;
            entries = decode_pack_index(bytes, id, space_.sealer);
        } catch (const ObjectMissing&) {
            return;
        } catch (const AuthError&) {
            return;
        } catch (const StorageError&) {
            throw;
        } catch (const Error&) {
            return;  // damaged, or another pack's: its blocks are stored again
        }
        std::vector<IndexEntry> ready;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto& e : entries)
                if (e.name.size() == space_.name_size && id.size() == 32)
                    batch.push_back({std::move(e.name), id, e.offset, e.stored, e.raw, e.flags});
            if (batch.size() >= kImportBatch) ready.swap(batch);
        }
        publish(std::move(ready));
    });
    publish(std::move(batch));
    Envelope note;
    note.key_id = space_.keys.id;
    note.payload = std::to_string(objects.size()) + " index objects of the first format read";
    storage_.put_if_absent(marker, write_envelope("ZVFDSIMP", note));
}

}  // namespace zvfd
