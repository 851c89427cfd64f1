// The index a backup looks its blocks up in: what is published is found, by this run
// and the next; complete groups of segments are merged and the merged one is used
// instead; a damaged merged segment falls back to those it merged; a repository of
// the first format is read once; and opening costs requests by levels, not by the
// number of segments or blocks.
#include "zvfd/segment_index.h"

#include "zvfd/pack.h"

#include "stage_test_support.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <random>
#include <thread>

namespace fs = boost::filesystem;

namespace {

std::vector<zvfd::IndexEntry> batch(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    std::vector<zvfd::IndexEntry> out(count);
    char pack[40];
    std::snprintf(pack, sizeof pack, "%032x", seed);
    for (auto& e : out) {
        e.name = zvfd_test::random_text(32, static_cast<std::uint32_t>(random()));
        e.pack = pack;
        e.offset = static_cast<std::uint32_t>(random() % 4000000);
        e.stored = e.raw = 16384;
    }
    return out;
}

bool finds(zvfd::SegmentIndex& index, const zvfd::IndexEntry& e) {
    std::vector<zvfd::IndexEntry> found;
    index.find(e.name, found);
    for (const auto& f : found)
        if (f.pack == e.pack && f.offset == e.offset) return true;
    return false;
}

std::size_t objects_of_level(zvfd::Storage& store, unsigned level) {
    std::size_t n = 0;
    for (const auto& name : store.list("segments/"))
        if (name.find("/L" + std::to_string(level) + "/") != std::string::npos && name.find('.') == std::string::npos) ++n;
    return n;
}

class SegmentIndexTest : public ::testing::Test {
protected:
    zv_test::ScratchDir dir_;
    zvfd::LocalStorage store_{(dir_.path() / "repo").string()};
    const zvfd::Keys keys_ = zvfd::no_keys();
};

TEST_F(SegmentIndexTest, PublishedBlocksAreFoundAndCompleteGroupsMerged) {
    std::vector<std::vector<zvfd::IndexEntry>> batches;
    {
        zvfd::SegmentIndex index(store_, keys_, nullptr, 32);
        index.open();
        for (unsigned i = 0; i < 40; ++i) {
            batches.push_back(batch(50, i + 1));
            index.publish(batches.back());
            EXPECT_TRUE(finds(index, batches.back().front())) << "just published, batch " << i;
        }
        index.finish();
        // 40 level-0 segments: two groups of 16 merged, 8 left as they are.
        EXPECT_EQ(index.segments(), 10u);
        EXPECT_EQ(index.entries(), 40u * 50);
    }
    EXPECT_EQ(objects_of_level(store_, 0), 40u);
    EXPECT_EQ(objects_of_level(store_, 1), 2u);
    zvfd::SegmentIndex next(store_, keys_, nullptr, 32);
    next.open();
    EXPECT_EQ(next.segments(), 10u);
    for (const auto& b : batches)
        for (std::size_t i = 0; i < b.size(); i += 7) EXPECT_TRUE(finds(next, b[i]));
    EXPECT_FALSE(finds(next, batch(1, 999).front()));
}

TEST_F(SegmentIndexTest, DamagedMergedSegmentFallsBackToWhatItMerged) {
    std::vector<std::vector<zvfd::IndexEntry>> batches;
    {
        zvfd::SegmentIndex index(store_, keys_, nullptr, 32);
        index.open();
        for (unsigned i = 0; i < 16; ++i) index.publish(batches.emplace_back(batch(20, i + 1)));
        index.finish();
        EXPECT_EQ(index.segments(), 1u);
    }
    std::string merged;
    for (const auto& name : store_.list("segments/"))
        if (name.find("/L1/") != std::string::npos) merged = name;
    ASSERT_FALSE(merged.empty());
    const fs::path path = dir_.path() / "repo" / merged;
    std::string bytes = zv_test::read_file(path);
    bytes[80] ^= 1;  // inside its meta chunk
    zv_test::write_file(path, bytes);
    zvfd::SegmentIndex next(store_, keys_, nullptr, 32);
    next.open();
    EXPECT_EQ(next.segments(), 16u);
    for (const auto& b : batches) EXPECT_TRUE(finds(next, b.back()));
}

// Two indexes publishing into one store at the same time take different numbers, and
// each finds the other's blocks once it looks again.
TEST_F(SegmentIndexTest, RunsAtOnceTakeTheirOwnNumbersAndSeeEachOther) {
    zvfd::SegmentIndex a(store_, keys_, nullptr, 32), b(store_, keys_, nullptr, 32);
    a.open();
    b.open();
    const auto of_a = batch(30, 1), of_b = batch(30, 2), again = batch(30, 3);
    a.publish(of_a);
    b.publish(of_b);  // number 0 is taken: b takes 1, and learns of a's on the way
    EXPECT_TRUE(finds(b, of_a.front()));
    EXPECT_FALSE(finds(a, of_b.front()));
    a.refresh();
    EXPECT_TRUE(finds(a, of_b.front()));
    EXPECT_EQ(objects_of_level(store_, 0), 2u);
}

// Passes everything on to a local store and, right after a level-0 segment is
// stored, runs `after_segment`: where an uploader's refresh may fall, before the run
// that wrote the segment has taken it in.
class SegmentHookStorage : public zvfd::Storage {
public:
    explicit SegmentHookStorage(zvfd::Storage& inner) : inner_(inner) {}
    std::function<void()> after_segment;

    bool put_if_absent(const std::string& name, const std::string& data) override {
        const bool stored = inner_.put_if_absent(name, data);
        if (stored && after_segment && name.find("/L0/") != std::string::npos && name.find('.') == std::string::npos)
            after_segment();
        return stored;
    }
    std::string get(const std::string& name) override { return inner_.get(name); }
    std::string get_range(const std::string& name, std::uint64_t offset, std::size_t length) override {
        if (before_read) before_read(name, offset);
        return inner_.get_range(name, offset, length);
    }
    // Runs before each range read (a segment is opened by reading from offset 0).
    std::function<void(const std::string&, std::uint64_t)> before_read;
    bool exists(const std::string& name) override { return inner_.exists(name); }
    std::vector<std::string> list(const std::string& prefix) override { return inner_.list(prefix); }
    void remove(const std::string& name) override { inner_.remove(name); }
    std::string describe() const override { return inner_.describe(); }

private:
    zvfd::Storage& inner_;
};

TEST_F(SegmentIndexTest, ARefreshThatMeetsTheRunsOwnSegmentFindsNoOtherRun) {
    SegmentHookStorage hooked(store_);
    zvfd::SegmentIndex index(hooked, keys_, nullptr, 32);
    index.open();
    hooked.after_segment = [&] { index.refresh(true); };
    const auto first = batch(30, 1), second = batch(30, 2);
    index.publish(first);
    index.publish(second);
    EXPECT_FALSE(index.others_publish()) << "its own segments were taken for another run's";
    EXPECT_TRUE(finds(index, first.front()));
    EXPECT_TRUE(finds(index, second.back()));
    // And they are its own, passed over by a run that holds its blocks itself: else
    // each of its look-ups reads them.
    for (const auto& e : {first.front(), second.back()}) {
        std::vector<zvfd::IndexEntry> out;
        index.find(e.name, out, true);
        EXPECT_TRUE(out.empty()) << "a segment the refresh met was looked at as another run's";
    }
    EXPECT_EQ(objects_of_level(store_, 0), 2u);

    // Another run's segment is still news.
    zvfd::SegmentIndex other(store_, keys_, nullptr, 32);
    other.open();
    other.publish(batch(30, 3));
    index.refresh(true);
    EXPECT_TRUE(index.others_publish());
}

// An uploader looks for other runs' segments before each pack: callers that meet a
// look under way take its news instead of each looking in turn (with 16 uploaders and
// a round trip each, that queue took a large share of a backup's time on a store),
// and still return only once the news is in.
TEST_F(SegmentIndexTest, CallersThatMeetALookUnderWayShareIt) {
    SegmentHookStorage hooked(store_);
    zvfd::SegmentIndex index(hooked, keys_, nullptr, 32);
    index.open();
    zvfd::SegmentIndex other(store_, keys_, nullptr, 32);
    other.open();
    const auto theirs = batch(30, 5);
    other.publish(theirs);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<unsigned> looks{0};
    hooked.before_read = [&](const std::string& name, std::uint64_t offset) {
        if (name.find("/L0/") == std::string::npos || offset != 0 || looks++ != 0) return;
        entered.set_value();
        released.wait();
    };
    auto first = std::async(std::launch::async, [&] { index.refresh(true); });
    entered.get_future().wait();
    constexpr unsigned kCallers = 8;
    std::atomic<unsigned> calling{0};
    std::vector<std::future<bool>> callers;
    for (unsigned i = 0; i < kCallers; ++i)
        callers.push_back(std::async(std::launch::async, [&] {
            ++calling;
            index.refresh(true);
            return finds(index, theirs.front());
        }));
    while (calling < kCallers) std::this_thread::yield();
    const unsigned before_release = looks;
    release.set_value();
    first.get();
    for (auto& c : callers) EXPECT_TRUE(c.get()) << "a caller returned before the news was in";
    EXPECT_EQ(before_release, 1u);
    // The look under way reads segment 0 and then 1; each caller looking in turn
    // would read 1 again.
    EXPECT_LT(looks.load(), 2 + kCallers) << "every caller looked again";
}

TEST_F(SegmentIndexTest, ARunCanPassOverWhatItPublishedItself) {
    zvfd::SegmentIndex index(store_, keys_, nullptr, 32);
    index.open();
    std::vector<std::vector<zvfd::IndexEntry>> batches;
    for (unsigned i = 0; i < zvfd::kSegmentFanout; ++i) {
        batches.push_back(batch(20, 100 + i));
        index.publish(batches.back());
    }
    index.finish();
    ASSERT_EQ(objects_of_level(store_, 1), 1u) << "the run's own segments merged";
    auto found = [&](const zvfd::IndexEntry& e, bool skip_own) {
        std::vector<zvfd::IndexEntry> out;
        index.find(e.name, out, skip_own);
        return !out.empty();
    };
    for (const auto& b : batches) {
        EXPECT_TRUE(found(b.front(), false));
        EXPECT_FALSE(found(b.front(), true)) << "its own (merged) segment was looked at";
    }

    // Another run's segment, and the same run's index opened anew, are not its own.
    zvfd::SegmentIndex other(store_, keys_, nullptr, 32);
    other.open();
    const auto theirs = batch(20, 7);
    other.publish(theirs);
    index.refresh(true);
    EXPECT_TRUE(found(theirs.front(), true));
    zvfd::SegmentIndex later(store_, keys_, nullptr, 32);
    later.open();
    std::vector<zvfd::IndexEntry> out;
    later.find(batches.front().front().name, out, true);
    EXPECT_FALSE(out.empty());
}

TEST_F(SegmentIndexTest, FirstFormatIndexesAreReadOnce) {
    std::vector<zvfd::PackEntry> entries;
    for (const auto& e : batch(10, 4)) entries.push_back({e.name, e.offset, e.stored, e.raw, e.flags});
    const std::string id = zvfd::new_pack_id();
    ASSERT_TRUE(store_.put_if_absent(zvfd::index_object_name(id), zvfd::encode_pack_index(id, entries, keys_, nullptr)));
    {
        zvfd::SegmentIndex index(store_, keys_, nullptr, 32);
        index.open();
        std::vector<zvfd::IndexEntry> found;
        index.find(entries[3].name, found);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].pack, id);
        EXPECT_EQ(found[0].offset, entries[3].offset);
    }
    // Read once: a later index object of the first format is not taken in again.
    const std::string later = zvfd::new_pack_id();
    ASSERT_TRUE(store_.put_if_absent(zvfd::index_object_name(later), zvfd::encode_pack_index(later, entries, keys_, nullptr)));
    zvfd::SegmentIndex next(store_, keys_, nullptr, 32);
    next.open();
    EXPECT_EQ(next.entries(), entries.size());
}

// What opening costs the store: as many requests for 20 times the segments (and
// their blocks) give or take a few, since it probes for the end and then opens the
// largest merged segments that cover the numbers below it.
TEST_F(SegmentIndexTest, OpeningCostsRequestsByLevelsNotBySize) {
    auto requests_to_open = [&](unsigned published) {
        zvfd::SegmentIndex index(store_, keys_, nullptr, 32);
        index.open();
        for (unsigned i = 0; i < published; ++i) index.publish(batch(8, 1000 + i));
        index.finish();
        zvfd::FaultyStorage counting(store_);
        zvfd::SegmentIndex opened(counting, keys_, nullptr, 32);
        opened.open();
        return std::make_pair(counting.existence_checks() + counting.range_reads() + counting.gets() +
                                  counting.listings(),
                              opened.segments());
    };
    const auto [small, small_segments] = requests_to_open(20);
    const auto [large, large_segments] = requests_to_open(400);  // 420 level-0 segments in all
    EXPECT_LE(large_segments, 3u * 15);
    EXPECT_LT(large, small + 60) << small << " requests for 20 segments, " << large << " for 420";
    EXPECT_LT(large, 100u) << small << " requests for 20 segments, " << large << " for 420";
    (void)small_segments;
}

}  // namespace
