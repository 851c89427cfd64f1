// The queue between the workers that fill packs and the threads that store them:
// every pack arrives before the index segment that names it, a slow store holds
// workers back instead of piling packs up in memory, a failing store fails the run
// without hanging it, and what a failed run stored is published for the next one.
#include "zvfd/block_store.h"

#include "support/hold.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kBlock = 4096;

// Passes puts on to a local store, each taking `delay` and waiting while the gate is
// shut; counts the puts of packs in flight and notes the order in which puts finish.
class SlowStorage : public zvfd::Storage {
public:
    explicit SlowStorage(zvfd::Storage& inner, std::chrono::milliseconds delay) : inner_(inner), delay_(delay) {}
    void shut() {
        std::lock_guard<std::mutex> lock(mutex_);
        shut_ = true;
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shut_ = false;
        }
        gate_.notify_all();
    }
    unsigned in_flight() const { return in_flight_; }
    unsigned most_in_flight() const { return most_; }
    std::vector<std::string> finished() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return finished_;
    }

    bool put_if_absent(const std::string& name, const std::string& data) override {
        const bool pack = name.rfind("packs/", 0) == 0;
        if (pack) most_ = std::max(most_.load(), ++in_flight_);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            gate_.wait(lock, [this] { return !shut_; });
        }
        std::this_thread::sleep_for(delay_);
        const bool stored = inner_.put_if_absent(name, data);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_.push_back(name);
        }
        if (pack) --in_flight_;
        return stored;
    }
    std::string get(const std::string& name) override { return inner_.get(name); }
    std::vector<std::string> list(const std::string& prefix) override { return inner_.list(prefix); }
    void remove(const std::string& name) override { inner_.remove(name); }
    std::string describe() const override { return "slow " + inner_.describe(); }

private:
    zvfd::Storage& inner_;
    std::chrono::milliseconds delay_;
    mutable std::mutex mutex_;
    std::condition_variable gate_;
    bool shut_ = false;
    std::atomic<unsigned> in_flight_{0}, most_{0};
    std::vector<std::string> finished_;
};

std::vector<std::string> random_blocks(std::size_t count) {
    std::mt19937_64 random(count);
    std::vector<std::string> blocks(count, std::string(kBlock, '\0'));
    for (auto& block : blocks)
        for (auto& c : block) c = static_cast<char>(random());
    return blocks;
}

struct Outcome {
    std::vector<zvfd::BlockLocation> locations;
    std::string error;  // the first failure, from put() or flush()
    std::atomic<std::size_t> returned{0};
};

// What a backup does with the store: workers put every block, then flush.
void put_all(zvfd::BlockStore& store, const zvfd::BlockNamer& namer, const std::vector<std::string>& blocks,
             Outcome& run, bool flush = true) {
    run.locations.assign(blocks.size(), {});
    std::atomic<std::size_t> next{0};
    std::mutex error_mutex;
    auto work = [&] {
        try {
            for (std::size_t i; (i = next++) < blocks.size();) {
                run.locations[i] = store.put(namer.name(blocks[i].data(), kBlock), blocks[i].data(), kBlock);
                ++run.returned;
            }
        } catch (const zvfd::Error& e) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (run.error.empty()) run.error = e.what();
        }
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) workers.emplace_back(work);
    for (auto& w : workers) w.join();
    if (!run.error.empty() || !flush) return;
    try {
        store.flush();
    } catch (const zvfd::Error& e) {
        run.error = e.what();
    }
}

// The pack ids that the level-0 segment `object` names (a slice of it all).
std::set<std::string> packs_named_by(zvfd::Storage& store, const zvfd::Keys& keys, const std::string& object) {
    static std::unique_ptr<zvfd::Sealer> sealer;
    sealer = zvfd::make_sealer(keys);
    zvfd::SegmentCache cache(16 << 20);
    const zvfd::SegmentSpace space(store, keys, sealer.get(), 32, cache);
    const std::string number = object.substr(object.rfind('/') + 1);
    std::set<std::string> packs;
    const auto segment = zvfd::Segment::open(space, 0, std::stoull(number));
    if (segment)
        for (const auto& e : segment->slice(0, 0)) packs.insert(e.pack);
    return packs;
}

// The level-0 segments among object names.
bool is_segment(const std::string& name) {
    return name.rfind("segments/", 0) == 0 && name.find("/L0/") != std::string::npos;
}

// Pack ids of the packs a store holds, and of those its segments name.
std::pair<std::set<std::string>, std::set<std::string>> stored_ids(zvfd::Storage& store, const zvfd::Keys& keys) {
    std::set<std::string> packs, named;
    for (const auto& name : store.list("packs/")) packs.insert(name.substr(name.rfind('/') + 1));
    for (const auto& name : store.list("segments/"))
        if (is_segment(name))
            for (const auto& id : packs_named_by(store, keys, name)) named.insert(id);
    return {packs, named};
}

class PackQueue : public zv_test::ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        keys_ = zvfd::derive_keys("aes-256-gcm", write("key", std::string(32, 'k')));
        local_ = std::make_unique<zvfd::LocalStorage>((dir_ / "repo").string());
    }
    // The repository's index over `store`, opened.
    std::unique_ptr<zvfd::SegmentIndex> index_over(zvfd::Repository& repository) const {
        auto index = std::make_unique<zvfd::SegmentIndex>(repository.storage(), keys_, repository.sealer(), 32);
        index->open();
        return index;
    }
    zvfd::BlockNamer namer() const { return zvfd::BlockNamer(zvfd::DigestKind::Sha256, keys_.naming); }
    // Every block reads back from where the store said it lives, as a restore reads it.
    void expect_every_block_reads_back(zvfd::Repository& repository, const std::vector<std::string>& blocks,
                                       const Outcome& run) const {
        const zvfd::BlockNamer names = namer();
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const zvfd::BlockLocation& at = run.locations[i];
            zvfd::BlockRef ref;
            ref.name = names.name(blocks[i].data(), kBlock);
            ref.length = kBlock;
            ref.pack_offset = at.offset;
            ref.stored = at.stored;
            ref.flags = at.flags;
            EXPECT_EQ(zvfd::unpack_block(repository.get_pack(at.pack), at.pack, ref, repository.sealer(), names,
                                         "block " + std::to_string(i)),
                      blocks[i]);
        }
    }
    // Three blocks to a pack.
    static constexpr std::size_t kSmallPack = 3 * kBlock;

    zvfd::Keys keys_;
    std::unique_ptr<zvfd::LocalStorage> local_;
};

TEST_F(PackQueue, SlowStoreGetsEveryPackBeforeTheSegmentThatNamesIt) {
    SlowStorage slow(*local_, 3ms);
    zvfd::Repository repository(slow, keys_);
    const auto blocks = random_blocks(240);
    Outcome run;
    {
        const auto index = index_over(repository);
        zvfd::BlockStore store(repository, zvfd::Compression::Fast, {index.get()}, kSmallPack, 4);
        put_all(store, namer(), blocks, run);
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(store.new_blocks(), 240u);
    }
    EXPECT_GT(slow.most_in_flight(), 1u);
    EXPECT_LE(slow.most_in_flight(), 4u);

    const auto [packs, named] = stored_ids(*local_, keys_);
    EXPECT_EQ(packs.size(), 80u);
    EXPECT_EQ(named, packs);
    std::set<std::string> finished_packs;
    for (const auto& name : slow.finished()) {
        if (name.rfind("packs/", 0) == 0) finished_packs.insert(name.substr(name.rfind('/') + 1));
        if (!is_segment(name)) continue;
        for (const auto& id : packs_named_by(*local_, keys_, name))
            EXPECT_TRUE(finished_packs.count(id)) << name << " was stored before pack " << id;
    }
    expect_every_block_reads_back(repository, blocks, run);
}

// A store whose puts may wait for a sync, as a local disk's do. It notes every
// segment stored while a pack it names was not durable yet, and counts the syncs.
class DeferringStorage : public zvfd::Storage {
public:
    DeferringStorage(zvfd::Storage& inner, const zvfd::Keys& keys) : inner_(inner), keys_(keys) {}
    std::vector<std::string> early_segments() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return early_;
    }
    unsigned syncs() const { return syncs_; }

    bool put_if_absent(const std::string& name, const std::string& data) override {
        const bool stored = inner_.put_if_absent(name, data);
        if (stored && is_segment(name)) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& id : packs_named_by(inner_, keys_, name))
                if (!durable_packs_.count(id)) early_.push_back(name);
        }
        return stored;
    }
    void put_deferred(const std::string& name, const std::string& data) override {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.emplace_back(name, data);
    }
    void sync_deferred() override {
        std::vector<std::pair<std::string, std::string>> batch;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            batch.swap(pending_);
            ++syncs_;
        }
        for (const auto& [name, data] : batch) inner_.put_if_absent(name, data);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : batch)
            if (entry.first.rfind("packs/", 0) == 0)
                durable_packs_.insert(entry.first.substr(entry.first.rfind('/') + 1));
    }
    std::string get(const std::string& name) override { return inner_.get(name); }
    std::vector<std::string> list(const std::string& prefix) override { return inner_.list(prefix); }
    void remove(const std::string& name) override { inner_.remove(name); }
    unsigned parallel_requests() const override { return 4; }
    std::string describe() const override { return "deferring " + inner_.describe(); }

private:
    zvfd::Storage& inner_;
    const zvfd::Keys keys_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> pending_;
    std::set<std::string> durable_packs_;
    std::vector<std::string> early_;
    std::atomic<unsigned> syncs_{0};
};

TEST_F(PackQueue, PacksAreSyncedInBatchesBeforeTheSegmentsThatNameThem) {
    DeferringStorage deferring(*local_, keys_);
    zvfd::Repository repository(deferring, keys_);
    const auto blocks = random_blocks(240);
    Outcome run;
    {
        const auto index = index_over(repository);
        zvfd::BlockStore store(repository, zvfd::Compression::Fast, {index.get()}, kSmallPack, 4);
        put_all(store, namer(), blocks, run);
        ASSERT_EQ(run.error, "");
    }
    EXPECT_EQ(deferring.early_segments(), std::vector<std::string>{});
    const auto [packs, named] = stored_ids(*local_, keys_);
    EXPECT_EQ(packs.size(), 80u);
    EXPECT_EQ(named, packs);
    // A batch takes at least kCommitEvery packs, only the last may take fewer; each
    // costs one sync of its packs, then one segment.
    EXPECT_LE(deferring.syncs(), 80 / zvfd::kCommitEvery + 1);
    std::size_t segments = 0;
    for (const auto& name : local_->list("segments/")) segments += is_segment(name);
    EXPECT_LE(segments, deferring.syncs());
    expect_every_block_reads_back(repository, blocks, run);
}

TEST_F(PackQueue, FullQueueHoldsTheWorkersBack) {
    SlowStorage slow(*local_, 0ms);
    zvfd::Repository repository(slow, keys_);
    const auto blocks = random_blocks(100);
    Outcome run;
    const auto index = index_over(repository);
    zvfd::BlockStore store(repository, zvfd::Compression::None, {index.get()}, kBlock, 2);  // a pack per block
    slow.shut();
    std::thread backup([&] { put_all(store, namer(), blocks, run); });
    EXPECT_TRUE(zv_test::wait_for([&] { return slow.in_flight() >= 2 && run.returned >= 4; }));
    // Time for a worker the full queue failed to hold to return as well.
    std::this_thread::sleep_for(100ms);
    // Two packs with the uploaders and two in the queue; the four workers wait, each
    // with its full pack.
    EXPECT_EQ(slow.in_flight(), 2u);
    EXPECT_EQ(run.returned, 4u);
    slow.open();
    backup.join();
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(stored_ids(*local_, keys_).second.size(), 100u);
}

TEST_F(PackQueue, StoreFailureFailsTheRunAndStopsStoring) {
    // 240 blocks make 80 packs. With one uploader the puts are in a fixed order: the
    // first pack and its segment, then batches of packs, each followed by the segment
    // that names them.
    const unsigned first_segment = 2, second_segment = static_cast<unsigned>(zvfd::kCommitEvery) + 3;
    struct Case {
        unsigned fail_at, uploaders;
        const char* what;
        const char* object;  // what the failed put stored
    } cases[] = {
        {1, 1, "the first pack, while workers wait on the full queue", "packs/"},
        {first_segment, 1, "the first segment", "segments/"},
        {second_segment, 1, "the segment of the first batch", "segments/"},
        {41, 4, "a put in the middle", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        zv_test::ScratchDir dir;
        zvfd::LocalStorage local(dir.path().string());
        SlowStorage slow(local, 2ms);
        zvfd::FaultyStorage faulty(slow);
        zvfd::Repository repository(faulty, keys_);
        Outcome run;
        {
            const auto index = index_over(repository);
            faulty.fail_put(c.fail_at);
            zvfd::BlockStore store(repository, zvfd::Compression::None, {index.get()}, kSmallPack, c.uploaders);
            put_all(store, namer(), random_blocks(240), run);
        }
        EXPECT_EQ(run.error.rfind(std::string("injected failure storing ") + c.object, 0), 0u) << run.error;
        const auto [packs, named] = stored_ids(local, keys_);
        for (const auto& id : named) EXPECT_TRUE(packs.count(id)) << "a segment names pack " << id << ", not stored";
        // Only the uploads already under way end after the failure.
        EXPECT_LE(faulty.puts(), c.fail_at + 2 * c.uploaders);
    }
}

// A run that fails after it stored packs (here its source failed) publishes them,
// so that the next run finds their blocks instead of storing them again.
TEST_F(PackQueue, FailedRunPublishesThePacksItStored) {
    zvfd::Repository repository(*local_, keys_);
    const auto blocks = random_blocks(30);  // fewer packs than a batch: none published before the end
    Outcome run;
    {
        const auto index = index_over(repository);
        zvfd::BlockStore store(repository, zvfd::Compression::None, {index.get()}, kSmallPack, 2);
        put_all(store, namer(), blocks, run, false);
        ASSERT_EQ(run.error, "");
        store.salvage();
    }
    const auto [packs, named] = stored_ids(*local_, keys_);
    EXPECT_FALSE(packs.empty());  // not the one still open, nor those still in the queue
    EXPECT_EQ(named, packs);
    Outcome again;
    const auto index = index_over(repository);
    zvfd::BlockStore store(repository, zvfd::Compression::None, {index.get()}, kSmallPack, 2);
    put_all(store, namer(), blocks, again);
    ASSERT_EQ(again.error, "");
    EXPECT_EQ(store.new_blocks(), 30u - 3 * packs.size());
}

// Two backups of the same blocks at once: the second looked them up before the first
// published them, and takes them out of its packs when it finds them published
// before it stores those packs; their places are then the first one's.
TEST_F(PackQueue, BlocksAnotherRunStoredMeanwhileAreNotStoredAgain) {
    zvfd::Repository repository(*local_, keys_);
    const auto blocks = random_blocks(90);
    const auto late = index_over(repository);  // opened before the first run publishes
    Outcome first;
    {
        const auto index = index_over(repository);
        zvfd::BlockStore store(repository, zvfd::Compression::None, {index.get()}, kSmallPack, 2);
        put_all(store, namer(), blocks, first);
        ASSERT_EQ(first.error, "");
    }
    const auto packs_before = stored_ids(*local_, keys_).first;
    Outcome second;
    zvfd::BlockStore store(repository, zvfd::Compression::None, {late.get()}, kSmallPack, 2);
    put_all(store, namer(), blocks, second);
    ASSERT_EQ(second.error, "");
    EXPECT_EQ(store.new_blocks(), 0u);
    EXPECT_EQ(stored_ids(*local_, keys_).first, packs_before);
    Outcome settled;
    for (const auto& block : blocks) settled.locations.push_back(store.settled(namer().name(block.data(), kBlock)));
    expect_every_block_reads_back(repository, blocks, settled);
    for (const auto& at : settled.locations) EXPECT_TRUE(packs_before.count(at.pack));
}

// Packs sealed early, as the packer seals them when many small pieces wait for
// theirs, are stored and their buffers reused: the spares stay as few as the packs
// that can be in flight, however many were sealed.
TEST_F(PackQueue, PacksSealedEarlyReuseTheirBuffers) {
    zvfd::Repository repository(*local_, keys_);
    const auto blocks = random_blocks(300);
    const auto index = index_over(repository);
    zvfd::BlockStore store(repository, zvfd::Compression::None, {index.get()}, 64 * kBlock, 2);
    const zvfd::BlockNamer names = namer();
    for (const auto& block : blocks) {
        store.put(names.name(block.data(), kBlock), block.data(), kBlock);
        store.seal_open();
    }
    store.flush();
    EXPECT_EQ(local_->list("packs/").size(), blocks.size());
    EXPECT_LE(store.spare_packs(), 3u);
}

TEST_F(PackQueue, DroppedWithoutFlushStopsItsUploaders) {
    SlowStorage slow(*local_, 20ms);
    zvfd::Repository repository(slow, keys_);
    Outcome run;
    {
        const auto index = index_over(repository);
        zvfd::BlockStore store(repository, zvfd::Compression::None, {index.get()}, kSmallPack, 2);
        put_all(store, namer(), random_blocks(60), run, false);
        ASSERT_EQ(run.error, "");
    }  // as a backup whose reading failed: the queued packs are dropped
    const std::size_t stored = slow.finished().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(slow.finished().size(), stored) << "an uploader still runs";
    const auto [packs, named] = stored_ids(*local_, keys_);
    EXPECT_LT(packs.size(), 20u);
    for (const auto& id : named) EXPECT_TRUE(packs.count(id)) << "a segment names pack " << id << ", not stored";
}

}  // namespace
