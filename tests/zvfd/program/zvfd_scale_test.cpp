// The archiver against a repository that holds far more than one backup: it still
// finds its own blocks among a million others, keeps to the memory it is given, writes
// its record as it goes without ever leaving a half one listed, and two backups run
// at once store the data they share about once.
#include "archiver_host.h"

#include "zvfd/index_segment.h"
#include "zvfd/storage.h"

#include <boost/filesystem.hpp>

#include <openssl/evp.h>

#include <fstream>

#include <random>

namespace fs = boost::filesystem;

namespace {

using zv_test::objects_below;

class ArchiverAtScale : public zv_test::ArchiverHost {};

// What a long-used repository holds besides the test's blocks: a level-2 index segment
// of 2^20 blocks of other data, in parts, and the level-0 segments it covers.
void fill_index(const fs::path& repository) {
    zvfd::LocalStorage store(repository.string());
    zvfd::SegmentCache cache(16 << 20);
    const zvfd::SegmentSpace space(store, zvfd::no_keys(), nullptr, 32, cache);
    const std::uint64_t total = std::uint64_t(1) << 20;
    zvfd::SegmentWriter writer(space, 2, 0, total);
    const unsigned bits = writer.part_bits();
    std::mt19937_64 random(5);
    for (std::uint32_t part = 0; part < (1u << bits); ++part) {
        std::vector<zvfd::IndexEntry> entries(total >> bits);
        std::size_t i = 0;
        for (auto& e : entries) {
            e.name.resize(32);
            for (auto& c : e.name) c = static_cast<char>(random());
            e.name[0] = static_cast<char>((static_cast<unsigned char>(e.name[0]) >> bits) | (part << (8 - bits)));
            char pack[40];
            std::snprintf(pack, sizeof pack, "%08x%024zx", part, i++ / 256);
            e.pack = pack;
            e.offset = 12;
            e.stored = e.raw = 16384;
        }
        std::sort(entries.begin(), entries.end(), zvfd::entry_before);
        writer.add_part(entries);
    }
    ASSERT_TRUE(writer.finish());
    for (std::uint64_t n = 0; n < 256; ++n) {
        zvfd::IndexEntry stub;
        stub.name = std::string(31, '\0') + static_cast<char>(n);
        stub.pack = std::string(32, 'a');
        stub.stored = stub.raw = 1;
        ASSERT_TRUE(zvfd::write_segment(space, 0, n, {stub}));
    }
}

TEST_F(ArchiverAtScale, SecondFullBackupAmongAMillionOtherBlocksStoresLittle) {
    fill_index(repository());
    const std::string list = source("disk.img", 32 << 20, 1);
    ASSERT_EQ(backup(list, "full_1").status, 0);
    const std::uint64_t after_first = stored_bytes();
    const zv_test::RunResult second = backup(list, "full_2");
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_LT(stored_bytes() - after_first, (32u << 20) / 100) << "the second full backup stored its data again";
    expect_restores("full_2", "disk.img");
}

// A run killed after parts of its record were stored: no record of that name is
// listed, the check does not see one, and the name is free for the next run.
TEST_F(ArchiverAtScale, StreamedRecordOfAKilledRunIsNeverListed) {
    // Blocks of 512 bytes, so that the record's first part is full early in the run.
    const std::string list = source("disk.img", 160 << 20, 2);
    std::string command = backup_command(list, "cut");
    command.replace(command.find("-b 16384"), 8, "-b 512");
    command.replace(command.find("cd / && "), 8, "cd / && exec ");  // the process killed is the archiver
    const zv_test::RunResult run = box_.shell(
        "(" + command.substr(0, command.size() - 5) + " >/dev/null 2>&1) & pid=$!\n"
        "for i in $(seq 600); do [ -n \"$(find /opt/zelvor/var/repositories/media1/tasks/42/parts -type f 2>/dev/null)\" ] && break; sleep 0.1; done\n"
        "kill -9 $pid; wait $pid; echo status $?\n");
    ASSERT_NE(run.out.find("status 137"), std::string::npos) << "the run was not killed in the middle:\n" << run.out;
    EXPECT_FALSE(objects_below(repository(), "tasks/42/parts").empty());
    EXPECT_TRUE(objects_below(repository(), "tasks/42/records").empty());
    EXPECT_FALSE(fs::exists(meta("cut")));
    const zv_test::RunResult check =
        box_.shell("/opt/zelvor/bin/zvfd --check -M media1 -T 42 -s /opt/zelvor/var/tasks//task_secret_42 2>&1");
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(check.out.find("Record cut"), std::string::npos) << check.out;

    const zv_test::RunResult again = box_.shell(command);  // a run of its own
    ASSERT_EQ(again.status, 0) << again.out;
    expect_restores("cut", "disk.img");
}

TEST_F(ArchiverAtScale, MemoryThresholdIsKeptOrRefusedAtTheStart) {
    const std::string list = source("disk.img", 96 << 20, 3);
    zv_test::RunResult run = backup(list, "small", " --memory-threshold 60");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("--memory-threshold 60 MiB is less than this backup needs"), std::string::npos) << run.out;
    EXPECT_TRUE(objects_below(repository(), "packs").empty());
    EXPECT_FALSE(fs::exists(meta("small")));

    run = backup(list, "kept", " -p 2 --memory-threshold 160");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_LT(run.peak_kib, 160 * 1024) << "peak resident memory";
    expect_restores("kept", "disk.img");
}

// A sparse disk whose data lies in many small ranges: each range is a piece of its
// own, and pieces wait for their packs to be stored. The packs still fill up instead
// of being cut short while earlier packs travel, which would multiply the objects
// (and on a store the requests) a backup makes.
TEST_F(ArchiverAtScale, ManySmallDataRangesStillFillTheirPacks) {
    const std::size_t size = std::size_t(1) << 30, range = 64 << 10, every = 1 << 20;
    {
        std::ofstream image((work() / "sparse.img").string(), std::ios::binary);
        const std::string data = zv_test::random_bytes(size / every * range, 6);
        for (std::size_t at = 0, n = 0; at < size; at += every, ++n) {
            image.seekp(static_cast<std::streamoff>(at));
            image.write(data.data() + n * range, static_cast<std::streamsize>(range));
        }
        image.seekp(static_cast<std::streamoff>(size - 1));
        image.put('\0');
        ASSERT_TRUE(image.good());
    }
    const zv_test::RunResult run = backup(list_of("sparse.img"), "sparse_1");
    ASSERT_EQ(run.status, 0) << run.out;
    // 64 MiB of data fill 16 packs of 4 MiB; a few more for the ends of the run.
    EXPECT_LE(objects_below(repository(), "packs").size(), 24u);
    expect_restores("sparse_1", "sparse.img");
}

// The piece a run begins at, as the archiver chooses it from the record's name.
std::size_t first_piece(const std::string& key, std::size_t pieces) {
    const std::string text = "zvfd first piece " + key;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | digest[i];
    return static_cast<std::size_t>(v % pieces);
}

// Two domains cloned from one image, backed up at the same moment: the second to
// reach a block finds it published by the first instead of storing it again.
TEST_F(ArchiverAtScale, BackupsAtOnceStoreTheirSharedDataAboutOnce) {
    const std::size_t size = 256 << 20, pieces = size / (4 << 20);
    std::string image = zv_test::random_bytes(size, 4);
    zv_test::write_file(work() / "a.img", image);
    image.replace(0, 8 << 20, zv_test::random_bytes(8 << 20, 5));
    zv_test::write_file(work() / "b.img", image);
    // Two names whose runs begin half an image apart, as two domains' runs mostly do.
    std::string a = "web_1", b;
    for (int n = 0; b.empty(); ++n) {
        const std::string name = "db_" + std::to_string(n);
        const std::size_t apart = (first_piece("42/" + name, pieces) + pieces - first_piece("42/" + a, pieces)) % pieces;
        if (apart >= pieces / 3 && apart <= 2 * pieces / 3) b = name;
    }
    const zv_test::RunResult run =
        box_.shell("cd " + work().string() + "\n(" + backup_command(list_of("a.img"), a) + ") > a.out & first=$!\n(" +
                   backup_command(list_of("b.img"), b) + ") > b.out & second=$!\n"
                   "wait $first; echo a $?; wait $second; echo b $?; cat a.out b.out\n");
    EXPECT_NE(run.out.find("a 0\nb 0\n"), std::string::npos) << run.out;
    // One after the other they store 264 MiB; at once, both storing the shared data
    // would be 520 MiB.
    EXPECT_LT(stored_bytes("packs"), (264u << 20) * 4 / 3);
    expect_restores(a, "a.img");
    expect_restores(b, "b.img");
}

}  // namespace
