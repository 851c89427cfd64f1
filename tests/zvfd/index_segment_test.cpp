// Index segments: a segment written with any key gives back every entry it holds and
// nothing else, in one part or many; what it reads from a store is checked chunk by
// chunk, so a damaged, truncated or displaced object is an error and never a wrong
// location; and its filter spares the store a read for nearly every absent name.
#include "zvfd/index_segment.h"

#include "key_setups.h"
#include "stage_test_support.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <map>
#include <random>

namespace fs = boost::filesystem;

namespace {

using zvfd_test::Keyed;

std::string pack_id(unsigned n) {
    char hex[40];
    std::snprintf(hex, sizeof hex, "%032x", n * 2654435761u);
    return hex;
}

// `count` entries with random names of 32 bytes in a few dozen packs; every 50th
// name is held twice, in two packs, as after a block was stored again.
std::vector<zvfd::IndexEntry> entries_of(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    std::vector<zvfd::IndexEntry> out;
    for (std::size_t i = 0; i < count; ++i) {
        zvfd::IndexEntry e;
        e.name.resize(32);
        for (auto& c : e.name) c = static_cast<char>(random());
        e.pack = pack_id(static_cast<unsigned>(i / 256));
        e.offset = static_cast<std::uint32_t>(12 + (i % 256) * 16384);
        e.stored = static_cast<std::uint32_t>(random() % 16384 + 1);
        e.raw = 16384;
        e.flags = static_cast<std::uint8_t>(i % 2);
        out.push_back(e);
        if (i % 50 == 0) {
            e.pack = pack_id(static_cast<unsigned>(i / 256 + 1000));
            out.push_back(e);
        }
    }
    return out;
}

std::string key_of(const zvfd::IndexEntry& e) {
    return e.name + e.pack + std::to_string(e.offset) + "/" + std::to_string(e.stored) + "/" +
           std::to_string(e.raw) + "/" + std::to_string(e.flags);
}

std::multiset<std::string> keys_of(const std::vector<zvfd::IndexEntry>& entries) {
    std::multiset<std::string> out;
    for (const auto& e : entries) out.insert(key_of(e));
    return out;
}

class SegmentTest : public ::testing::Test {
protected:
    zv_test::ScratchDir dir_;
    zvfd::LocalStorage store_{(dir_.path() / "repo").string()};
    zvfd::SegmentCache cache_{64 << 20};
};

TEST_F(SegmentTest, EveryEntryComesBackInOnePartOrMany) {
    for (const Keyed& k : zvfd_test::key_setups("segment key")) {
        SCOPED_TRACE(k.what);
        const zvfd::SegmentSpace space(store_, k.keys, k.sealer.get(), 32, cache_);
        // 300 000 entries need two parts; the small ones fit in the head object.
        for (const std::size_t count : {std::size_t(0), std::size_t(1), std::size_t(5000), std::size_t(300000)}) {
            if (count > zvfd::kPartEntries && k.sealer) continue;  // the parts' sealing is the small ones'
            SCOPED_TRACE(count);
            const auto entries = entries_of(count, static_cast<unsigned>(count));
            ASSERT_TRUE(zvfd::write_segment(space, 1, count, entries));
            EXPECT_FALSE(zvfd::write_segment(space, 1, count, entries)) << "a taken name was overwritten";
            const auto segment = zvfd::Segment::open(space, 1, count);
            ASSERT_TRUE(segment);
            EXPECT_EQ(segment->entries(), entries.size());
            EXPECT_EQ(segment->part_bits(), count > zvfd::kPartEntries ? 1u : 0u);

            std::map<std::string, std::vector<zvfd::IndexEntry>> by_name;
            for (const auto& e : entries) by_name[e.name].push_back(e);
            std::size_t checked = 0;
            for (const auto& [name, wanted] : by_name) {
                if (checked++ % 97 != 0) continue;
                std::vector<zvfd::IndexEntry> found;
                segment->find(name, found);
                EXPECT_EQ(keys_of(found), keys_of(wanted));
            }
            std::vector<zvfd::IndexEntry> none;
            segment->find(std::string(32, '\x5a'), none);
            segment->find("short", none);
            EXPECT_TRUE(none.empty());

            // The slices of 2^3 prefixes hold every entry once, each where its name says.
            std::vector<zvfd::IndexEntry> all;
            for (std::uint32_t prefix = 0; prefix < 8; ++prefix) {
                const auto slice = segment->slice(prefix, 3);
                for (const auto& e : slice) EXPECT_EQ(static_cast<unsigned char>(e.name[0]) >> 5, prefix);
                EXPECT_TRUE(std::is_sorted(slice.begin(), slice.end(), zvfd::entry_before));
                all.insert(all.end(), slice.begin(), slice.end());
            }
            EXPECT_EQ(keys_of(all), keys_of(entries));
        }
        EXPECT_FALSE(zvfd::Segment::open(space, 2, 0)) << "a segment that was never written";
    }
}

// Every object a segment consists of, with its bytes.
std::map<fs::path, std::string> segment_files(const fs::path& repo) {
    std::map<fs::path, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(repo / "segments"))
        if (fs::is_regular_file(e.path())) files[e.path()] = zv_test::read_file(e.path());
    return files;
}

// Opens the segment and looks its entries up (every one of a small segment); the first
// error's message, or "".
std::string read_back(const zvfd::SegmentSpace& space, unsigned level, std::uint64_t number,
                      const std::vector<zvfd::IndexEntry>& entries) {
    try {
        const auto segment = zvfd::Segment::open(space, level, number);
        if (!segment) return "(missing)";
        const std::size_t stride = entries.size() > 10000 ? 97 : 1;
        for (std::size_t i = 0; i < entries.size(); i += stride) {
            std::vector<zvfd::IndexEntry> found;
            segment->find(entries[i].name, found);
            if (keys_of(found).count(key_of(entries[i])) == 0) return "(entry lost)";
        }
        for (std::uint32_t prefix = 0; prefix < 2; ++prefix) segment->slice(prefix, 1);
        return "";
    } catch (const zvfd::Error& e) {
        return e.what();
    }
}

TEST_F(SegmentTest, DamagedTruncatedOrDisplacedObjectsAreErrors) {
    for (const Keyed& k : zvfd_test::key_setups("segment key")) {
        SCOPED_TRACE(k.what);
        fs::remove_all(dir_.path() / "repo" / "segments");
        const zvfd::SegmentSpace space(store_, k.keys, k.sealer.get(), 32, cache_);
        const auto entries = entries_of(300, 7);
        ASSERT_TRUE(zvfd::write_segment(space, 0, 3, entries));
        ASSERT_TRUE(zvfd::write_segment(space, 0, 4, entries_of(300, 8)));
        const auto files = segment_files(dir_.path() / "repo");
        const fs::path three = dir_.path() / "repo" / space.object(0, 3), four = dir_.path() / "repo" / space.object(0, 4);
        ASSERT_EQ(read_back(space, 0, 3, entries), "");

        const std::string bytes = files.at(three);
        for (std::size_t at = 0; at < bytes.size(); at += at < 64 ? 1 : 41) {
            std::string changed = bytes;
            changed[at] ^= 0x10;
            zv_test::write_file(three, changed);
            zvfd::SegmentCache fresh(64 << 20);
            const zvfd::SegmentSpace again(store_, k.keys, k.sealer.get(), 32, fresh);
            EXPECT_TRUE(zvfd_test::says(read_back(again, 0, 3, entries), "index segment")) << "flip at " << at;
        }
        for (const std::size_t length : {std::size_t(0), std::size_t(63), bytes.size() / 2, bytes.size() - 1}) {
            zv_test::write_file(three, bytes.substr(0, length));
            zvfd::SegmentCache fresh(64 << 20);
            const zvfd::SegmentSpace again(store_, k.keys, k.sealer.get(), 32, fresh);
            EXPECT_TRUE(zvfd_test::says(read_back(again, 0, 3, entries), "index segment")) << "cut to " << length;
        }
        // Segment four's bytes under the name of three: refused, not read as three.
        zv_test::write_file(three, files.at(four));
        zvfd::SegmentCache fresh(64 << 20);
        const zvfd::SegmentSpace again(store_, k.keys, k.sealer.get(), 32, fresh);
        EXPECT_TRUE(zvfd_test::says(read_back(again, 0, 3, entries), "is damaged"));
    }
}

// Parts of one segment exchanged, or a part of another segment put in its place: each
// chunk names its object and position, so the look-up fails instead of answering.
TEST_F(SegmentTest, PartsThatAreNotTheirOwnAreRefused) {
    const zvfd::Keys plain = zvfd::no_keys();
    const zvfd::SegmentSpace space(store_, plain, nullptr, 32, cache_);
    const auto entries = entries_of(300000, 9);
    ASSERT_TRUE(zvfd::write_segment(space, 2, 0, entries));
    ASSERT_TRUE(zvfd::write_segment(space, 2, 1, entries));
    std::vector<fs::path> parts;
    for (const auto& [path, bytes] : segment_files(dir_.path() / "repo"))
        if (path.extension() == ".0" || path.extension() == ".1") parts.push_back(path);
    ASSERT_EQ(parts.size(), 4u);  // two parts of each segment
    std::sort(parts.begin(), parts.end());
    const std::string own = zv_test::read_file(parts[0]);
    zv_test::write_file(parts[0], zv_test::read_file(parts[2]));  // the same part of the other segment
    EXPECT_TRUE(zvfd_test::says(read_back(space, 2, 0, entries), "is damaged"));
    zv_test::write_file(parts[0], own);
    zvfd::SegmentCache fresh(64 << 20);
    EXPECT_EQ(read_back(zvfd::SegmentSpace(store_, plain, nullptr, 32, fresh), 2, 0, entries), "");
}

TEST_F(SegmentTest, AbsentNamesRarelyCostARead) {
    zvfd::FaultyStorage counting(store_);
    const zvfd::SegmentSpace space(counting, zvfd::no_keys(), nullptr, 32, cache_);
    ASSERT_TRUE(zvfd::write_segment(space, 0, 0, entries_of(100000, 10)));
    const auto segment = zvfd::Segment::open(space, 0, 0);
    ASSERT_TRUE(segment);
    const unsigned before = counting.range_reads();
    std::mt19937_64 random(11);
    std::vector<zvfd::IndexEntry> found;
    for (int i = 0; i < 20000; ++i) {
        std::string name(32, '\0');
        for (auto& c : name) c = static_cast<char>(random());
        segment->find(name, found);
    }
    EXPECT_TRUE(found.empty());
    // One read for the filter, then about one in a hundred: a filter that held nothing
    // would cost 20 000.
    EXPECT_LT(counting.range_reads() - before, 20000u / 30) << "reads for absent names";
}

// A store whose every read is a round trip (as an object store's).
class RoundTripStorage : public zvfd::FaultyStorage {
public:
    using FaultyStorage::FaultyStorage;
    bool remote() const override { return true; }
};

// A backup of unchanged data finds every block: on a store, a segment that answers
// many look-ups is read once, not once for each, and still gives exactly its entries;
// a local file goes on reading the bucket each look-up needs.
TEST_F(SegmentTest, ManyNamesFoundInOneSegmentCostOneReadOnAStore) {
    const auto entries = entries_of(20000, 12);
    for (const bool store : {true, false}) {
        SCOPED_TRACE(store ? "store" : "local file");
        zv_test::ScratchDir dir;
        zvfd::LocalStorage local((dir.path() / "repo").string());
        RoundTripStorage round_trips(local);
        zvfd::FaultyStorage plain(local);
        zvfd::FaultyStorage& counting = store ? round_trips : plain;
        zvfd::SegmentCache cache(64 << 20);
        const zvfd::SegmentSpace space(counting, zvfd::no_keys(), nullptr, 32, cache);
        ASSERT_TRUE(zvfd::write_segment(space, 0, 0, entries));
        const auto segment = zvfd::Segment::open(space, 0, 0);
        ASSERT_TRUE(segment);
        const unsigned before = counting.range_reads();
        std::vector<zvfd::IndexEntry> found;
        for (const auto& e : entries) {
            std::vector<zvfd::IndexEntry> one;
            segment->find(e.name, one);
            for (auto& f : one)
                if (key_of(f) == key_of(e)) found.push_back(f);
        }
        EXPECT_EQ(keys_of(found), keys_of(entries));
        const unsigned reads = counting.range_reads() - before;
        if (store)
            EXPECT_LT(reads, 200u) << "reads for 20 000 names found";
        else
            EXPECT_GT(reads, 10000u) << "a local segment held in memory";
    }
}

}  // namespace
