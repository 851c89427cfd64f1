// Fetching packs ahead of a restore's workers: each pack handed out once, no more
// held than the store runs requests and the workers take, downloads that go on while
// packs wait for a worker, a failure that reaches every worker, and blocks
// opened from a later version of a pack when the first one does not hold them sound.
#include "zvfd/pack.h"
#include "zvfd/pack_fetcher.h"
#include "zvfd/stage_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using zvfd::PackFetcher;
using zvfd_test::random_text;

// Objects in memory, every version of a name kept (the first is what get reads), and
// gets that can be held at a gate until the test lets them through.
class MemoryStorage : public zvfd::Storage {
public:
    explicit MemoryStorage(unsigned parallel) : parallel_(parallel) {}

    void add_version(const std::string& name, const std::string& data) {
        std::lock_guard<std::mutex> lock(mutex_);
        objects_[name].push_back(data);
    }
    // Gets wait until open() is called (for `permits` more of them, or all).
    void close_gate() {
        std::lock_guard<std::mutex> lock(mutex_);
        gate_closed_ = true;
    }
    void open_gate() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gate_closed_ = false;
        }
        changed_.notify_all();
    }
    // Waits until `n` gets have started, for up to a generous deadline.
    bool wait_started(unsigned n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(120), [&] { return started_ >= n; });
    }
    // Counts a pack as taken by a worker: more gets than `limit` beyond the taken ones
    // is a fetcher running ahead of its bound.
    void taken() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++taken_;
    }
    void bound(unsigned limit) { limit_ = limit; }
    bool overran() {
        std::lock_guard<std::mutex> lock(mutex_);
        return overran_;
    }

    bool put_if_absent(const std::string& name, const std::string& data) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& versions = objects_[name];
        if (!versions.empty()) return false;
        versions.push_back(data);
        return true;
    }
    std::string get(const std::string& name) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++started_;
        if (limit_ && started_ > taken_ + limit_) overran_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !gate_closed_; });
        return version(name, 0);
    }
    std::string get_later(const std::string& name, unsigned n) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return version(name, n);
    }
    std::vector<std::string> list(const std::string&) override { return {}; }
    void remove(const std::string&) override {}
    unsigned parallel_requests() const override { return parallel_; }
    std::string describe() const override { return "memory"; }

private:
    std::string version(const std::string& name, unsigned n) {
        auto it = objects_.find(name);
        if (it == objects_.end() || n >= it->second.size()) throw zvfd::ObjectMissing("object " + name + " is missing");
        return it->second[n];
    }
    unsigned parallel_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::vector<std::string>> objects_;
    bool gate_closed_ = false;
    unsigned started_ = 0, taken_ = 0, limit_ = 0;
    bool overran_ = false;
};

// A pack of one plain block, and the reference a record would hold for it.
struct OnePack {
    std::string id, bytes;
    zvfd::BlockRef ref;
};

OnePack one_pack(const std::string& data, const zvfd::BlockNamer& namer) {
    zvfd::PackBuilder builder;
    OnePack pack;
    pack.ref.name = namer.name(data.data(), data.size());
    pack.ref.length = pack.ref.stored = static_cast<std::uint32_t>(data.size());
    pack.ref.pack_offset = builder.add(pack.ref.name, data, pack.ref.length, 0);
    pack.id = builder.id();
    pack.bytes = builder.bytes();
    return pack;
}

class PackFetcherTest : public ::testing::Test {
protected:
    std::vector<std::string> store_packs(MemoryStorage& store, unsigned count) {
        std::vector<std::string> ids;
        for (unsigned i = 0; i < count; ++i) {
            const OnePack pack = one_pack(random_text(4096, i), namer_);
            store.add_version(zvfd::pack_object_name(pack.id), pack.bytes);
            ids.push_back(pack.id);
            bytes_[pack.id] = pack.bytes;
        }
        return ids;
    }
    zvfd::BlockNamer namer_{zvfd::DigestKind::Sha256, ""};
    std::map<std::string, std::string> bytes_;
};

TEST_F(PackFetcherTest, EveryPackReachesOneWorkerAndAllWorkersReturn) {
    for (const unsigned parallel : {1u, 3u, 16u}) {
        SCOPED_TRACE(parallel);
        MemoryStorage store(parallel);
        zvfd::Repository repository(store, zvfd::no_keys());
        const std::vector<std::string> ids = store_packs(store, 7);
        PackFetcher fetcher(repository, ids, 2);
        std::mutex mutex;
        std::multiset<std::size_t> seen;
        std::vector<std::thread> workers;
        for (int w = 0; w < 3; ++w)
            workers.emplace_back([&] {
                for (PackFetcher::Pack pack; fetcher.next(pack);) {
                    std::lock_guard<std::mutex> lock(mutex);
                    EXPECT_EQ(pack.copy.id, ids.at(pack.position));
                    EXPECT_TRUE(pack.copy.bytes == bytes_.at(pack.copy.id));
                    seen.insert(pack.position);
                }
            });
        for (auto& w : workers) w.join();
        EXPECT_EQ(seen, (std::multiset<std::size_t>{0, 1, 2, 3, 4, 5, 6}));
    }
}

TEST_F(PackFetcherTest, HoldsNoMorePacksThanTheStoreRunsRequestsAndTheWorkersTake) {
    MemoryStorage store(3);
    zvfd::Repository repository(store, zvfd::no_keys());
    const std::vector<std::string> ids = store_packs(store, 12);
    store.bound(3 + 2);
    PackFetcher fetcher(repository, ids, 2);
    ASSERT_TRUE(store.wait_started(3));
    std::size_t count = 0;
    for (;;) {
        store.taken();  // counted before it is taken, so a fetcher within its bound never overruns
        PackFetcher::Pack pack;
        if (!fetcher.next(pack)) break;
        ++count;
    }
    EXPECT_EQ(count, ids.size());
    EXPECT_FALSE(store.overran());
}

// Packs that arrived and wait for a busy worker leave the store's requests under way:
// with two requests at a time and two workers, four packs are fetched before any is
// taken, the last two while the first two wait.
TEST_F(PackFetcherTest, PacksWaitingForAWorkerDoNotHoldBackDownloads) {
    MemoryStorage store(2);
    zvfd::Repository repository(store, zvfd::no_keys());
    const std::vector<std::string> ids = store_packs(store, 8);
    PackFetcher fetcher(repository, ids, 2);
    EXPECT_TRUE(store.wait_started(4));
    for (PackFetcher::Pack pack; fetcher.next(pack);) {
    }
}

TEST_F(PackFetcherTest, MissingPackFailsEveryWorkerAndStopWakesThem) {
    MemoryStorage store(4);
    zvfd::Repository repository(store, zvfd::no_keys());
    std::vector<std::string> ids = store_packs(store, 3);
    ids.insert(ids.begin() + 1, "00112233445566778899aabbccddeeff");
    PackFetcher fetcher(repository, ids, 1);
    std::atomic<int> failed{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w)
        workers.emplace_back([&] {
            try {
                for (PackFetcher::Pack pack; fetcher.next(pack);) {
                }
            } catch (const zvfd::Error& e) {
                EXPECT_TRUE(zvfd_test::says(e.what(), "pack 00112233445566778899aabbccddeeff is missing"));
                ++failed;
            }
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(failed, 3);

    // Workers waiting for a pack that is still on its way return once stopped.
    MemoryStorage slow(2);
    zvfd::Repository slow_repository(slow, zvfd::no_keys());
    const std::vector<std::string> slow_ids = store_packs(slow, 2);
    slow.close_gate();
    {
        PackFetcher waiting(slow_repository, slow_ids, 1);
        ASSERT_TRUE(slow.wait_started(2));
        bool got = true;
        std::thread worker([&] {
            PackFetcher::Pack pack;
            got = waiting.next(pack);
        });
        waiting.stop();
        worker.join();
        EXPECT_FALSE(got);
        slow.open_gate();
    }
}

// Packs whose blocks write many times what they bring are spread among the others:
// at every point, what was written so far stays within one pack's worth of its share
// of what was fetched so far, each pack comes once, and packs keep their order among
// their kind.
TEST(PackOrder, PacksThatWriteManyTimesWhatTheyBringAreSpread) {
    using Loads = std::vector<zvfd::PackLoad>;
    const struct {
        const char* what;
        Loads loads;
        std::vector<std::size_t> order;  // empty: only the bound is checked
    } cases[] = {
        {"like packs keep their order", Loads(5, {4, 4}), {0, 1, 2, 3, 4}},
        {"heavy packs first", {{4, 200}, {4, 200}, {4, 4}, {4, 4}, {4, 4}, {4, 4}, {4, 4}, {4, 4}}, {}},
        {"heavy packs last", {{4, 4}, {4, 4}, {4, 4}, {4, 4}, {4, 4}, {4, 4}, {4, 300}, {4, 300}, {4, 300}}, {}},
        {"packs that write nothing", {{4, 0}, {4, 0}, {4, 64}, {4, 0}, {4, 64}}, {2, 0, 1, 4, 3}},
        {"no pack", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::size_t> order = zvfd::balanced_order(c.loads);
        if (!c.order.empty()) EXPECT_EQ(order, c.order);
        std::vector<std::size_t> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::size_t> every(c.loads.size());
        for (std::size_t i = 0; i < every.size(); ++i) every[i] = i;
        EXPECT_EQ(sorted, every);
        double fetched = 0, written = 0;
        for (const auto& load : c.loads) {
            fetched += load.fetched;
            written += load.written;
        }
        double one_pack = 0;  // the most one pack writes, or is due to write for what it brings
        for (const auto& load : c.loads)
            one_pack = std::max({one_pack, double(load.written), load.fetched / fetched * written});
        double so_far_fetched = 0, so_far_written = 0;
        std::size_t last_heavy = 0, last_light = 0;
        bool any_heavy = false, any_light = false;
        for (const std::size_t i : order) {
            so_far_fetched += c.loads[i].fetched;
            so_far_written += c.loads[i].written;
            EXPECT_NEAR(so_far_written, so_far_fetched / fetched * written, one_pack) << "after pack " << i;
            const bool heavy = c.loads[i].written * fetched > c.loads[i].fetched * written;
            std::size_t& last = heavy ? last_heavy : last_light;
            bool& any = heavy ? any_heavy : any_light;
            if (any) EXPECT_GT(i, last);
            last = i;
            any = true;
        }
    }
}

// The first version of a pack does not hold a block sound (a store that damaged it):
// the block is taken from a later version whose bytes match its name, never from one
// that does not.
TEST_F(PackFetcherTest, BlockIsOpenedFromALaterVersionThatHoldsItSound) {
    MemoryStorage store(1);
    zvfd::Repository repository(store, zvfd::no_keys());
    const std::string data = random_text(8192, 9);
    const OnePack pack = one_pack(data, namer_);
    std::string damaged = pack.bytes;
    damaged[pack.ref.pack_offset + 100] ^= 0x40;
    const std::string name = zvfd::pack_object_name(pack.id);
    store.add_version(name, damaged);
    store.add_version(name, "not a pack at all");
    store.add_version(name, damaged);
    store.add_version(name, pack.bytes);

    zvfd::PackCopy copy{pack.id, damaged, 0};
    zvfd::AlignedBuffer out;
    zvfd::open_block(repository, copy, pack.ref, namer_, "block", out);
    EXPECT_TRUE(std::string(out.data(), out.size()) == data);
    EXPECT_EQ(copy.later, 3u);

    MemoryStorage bad(1);
    zvfd::Repository bad_repository(bad, zvfd::no_keys());
    bad.add_version(name, damaged);
    bad.add_version(name, damaged);
    zvfd::PackCopy first{pack.id, damaged, 0};
    EXPECT_TRUE(zvfd_test::says(
        zvfd_test::error_of([&] { zvfd::open_block(bad_repository, first, pack.ref, namer_, "block", out); }),
        "block does not match its digest: pack " + pack.id + " is damaged"));
}

}  // namespace
