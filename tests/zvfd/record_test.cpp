// Records and metadata files: the byte layout stored files rely on, round trips, and
// damage of every kind read as a clean error, never as a partial record.
#include "zvfd/block_name.h"
#include "zvfd/codec.h"
#include "zvfd/record.h"

#include "stage_test_support.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

namespace fs = boost::filesystem;

// Every field, one line each, so a failed comparison shows what differs.
std::string describe(const zvfd::Record& r) {
    std::ostringstream out;
    for (const auto& [k, v] : r.props) out << "prop " << k << "=" << v << "\n";
    for (const auto& p : r.packs) out << "pack " << p << "\n";
    for (const auto& f : r.files) {
        out << "file " << f.name << " mode " << f.mode << " uid " << f.uid << " gid " << f.gid << " mtime " << f.mtime
            << " size " << f.size << "\n";
        for (const auto& b : f.blocks)
            out << "  block " << b.offset << "+" << b.length << " " << zvfd::to_hex(b.name) << " pack " << b.pack << "@"
                << b.pack_offset << " stored " << b.stored << " flags " << int(b.flags) << "\n";
    }
    return out.str();
}

zvfd::Record sample() {
    zvfd::Record r;
    r.props = {{"archive", "a1"}, {"level", "full"}};
    r.packs = {"p0", "p1"};
    zvfd::FileEntry disk;
    disk.name = "disk.img";
    disk.mode = 0640;
    disk.uid = 107;
    disk.gid = 108;
    disk.mtime = 1700000000;
    disk.size = 40000;
    disk.blocks = {
        {0, 16384, "n1", 0, 12, 100, zvfd::kBlockCompressed},
        {16384, 16384, "n2", 1, 12, 16384, 0},
        {32768, 7232, "n3", 1, 16396, 7232, 0},
    };
    zvfd::FileEntry empty;
    empty.name = "sub/empty";
    empty.mtime = 0xffffffffffffffffu;
    r.files = {disk, empty};
    return r;
}

// The bytes of sample() as every earlier archiver wrote them.
const std::string kSampleBytes =
    "02000000"                                              // properties
    "07000000" "61726368697665" "02000000" "6131"           // archive=a1
    "05000000" "6c6576656c" "04000000" "66756c6c"           // level=full
    "02000000" "02000000" "7030" "02000000" "7031"          // packs p0, p1
    "02000000"                                              // files
    "08000000" "6469736b2e696d67" "a0010000" "6b000000" "6c000000"
    "00f1536500000000" "409c000000000000" "0300000000000000"
    "0000000000000000" "00400000" "02000000" "6e31" "00000000" "0c000000" "64000000" "01"
    "0040000000000000" "00400000" "02000000" "6e32" "01000000" "0c000000" "00400000" "00"
    "0080000000000000" "401c0000" "02000000" "6e33" "01000000" "0c400000" "401c0000" "00"
    "09000000" "7375622f656d707479" "a4010000" "00000000" "00000000"
    "ffffffffffffffff" "0000000000000000" "0000000000000000";

TEST(Record, LayoutStoredFilesRelyOn) {
    EXPECT_EQ(zvfd::to_hex(zvfd::encode_record(sample())), kSampleBytes);
    EXPECT_EQ(describe(zvfd::decode_record(zvfd_test::unhex(kSampleBytes), "record")), describe(sample()));
}

TEST(Record, RoundTrips) {
    zvfd::Record big;
    big.props[""] = "";
    big.props["binary"] = std::string("\0\xff\n", 3);
    for (int p = 0; p < 50; ++p) big.packs.push_back(zvfd::to_hex(zvfd_test::random_text(16, p)));
    for (int f = 0; f < 20; ++f) {
        zvfd::FileEntry file;
        file.name = "dir/file" + std::to_string(f);
        file.mode = 0100000u + f;
        file.size = (std::uint64_t{1} << 40) + f;
        for (int b = 0; b < f * 10; ++b)
            file.blocks.push_back({std::uint64_t(b) << 20, 16384, zvfd_test::random_text(64, f * 1000 + b),
                                   std::uint32_t(b % 50), 12 + 16384u * b, 9000u + b, std::uint8_t(b & 1)});
        big.files.push_back(file);
    }
    for (const zvfd::Record& r : {zvfd::Record(), sample(), big})
        EXPECT_EQ(describe(zvfd::decode_record(zvfd::encode_record(r), "record")), describe(r));
}

void expect_damaged(const std::string& bytes, const std::string& what) {
    EXPECT_EQ(zvfd_test::error_of([&] { zvfd::decode_record(bytes, "record r1"); }), "record r1 is damaged") << what;
}

TEST(Record, EveryTruncationIsDamaged) {
    const std::string bytes = zvfd::encode_record(sample());
    for (std::size_t len = 0; len < bytes.size(); ++len)
        expect_damaged(bytes.substr(0, len), "cut to " + std::to_string(len));
    expect_damaged(bytes + '\0', "one byte more");
}

TEST(Record, ContentThatDoesNotAddUpIsDamaged) {
    struct Case {
        const char* what;
        void (*change)(zvfd::Record&);
    } cases[] = {
        {"pack position past the packs", [](zvfd::Record& r) { r.files[0].blocks[1].pack = 2; }},
        {"block beyond the file", [](zvfd::Record& r) { r.files[0].blocks[2].offset = 40001; }},
        {"block past the end of the file", [](zvfd::Record& r) { r.files[0].blocks[2].length = 7233; }},
        {"block whose end wraps", [](zvfd::Record& r) {
             r.files[0].size = ~std::uint64_t{0};
             r.files[0].blocks[2].offset = ~std::uint64_t{0} - 10;
             r.files[0].blocks[2].length = 20;
         }},
        {"block in a file without packs", [](zvfd::Record& r) { r.packs.clear(); }},
        {"block longer than the largest block size", [](zvfd::Record& r) {
             r.files[0].size = 1ull << 32;
             r.files[0].blocks[2].length = zvfd::kMaxBlockSize + 1;
         }},
    };
    for (const Case& c : cases) {
        zvfd::Record r = sample();
        c.change(r);
        expect_damaged(zvfd::encode_record(r), c.what);
    }
    // Counts that claim more than the bytes hold: refused before anything is reserved.
    const std::string empty = zvfd::encode_record(zvfd::Record());
    for (std::size_t at : {0, 4, 8}) {
        std::string bytes = empty;
        bytes.replace(at, 4, "\xff\xff\xff\xff");
        expect_damaged(bytes, "count at " + std::to_string(at));
    }
    zvfd::Record one;
    one.files.resize(1);
    for (const char* count : {"\xff\xff\xff\xff\xff\xff\xff\xff", "\x00\x00\x00\x00\x00\x01\x00\x00"}) {
        std::string bytes = zvfd::encode_record(one);
        bytes.replace(bytes.size() - 8, 8, count, 8);
        expect_damaged(bytes, "block count");
    }
}

class MetaFile : public zv_test::ScratchDirTest {};

TEST_F(MetaFile, WrittenWholeAndReadBack) {
    const std::string path = (dir_ / "backup.meta").string();
    zvfd::write_meta_file(path, sample());
    EXPECT_EQ(describe(zvfd::read_meta_file(path)), describe(sample()));
    zvfd::write_meta_file(path, zvfd::Record());  // replaces it
    EXPECT_EQ(describe(zvfd::read_meta_file(path)), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);  // no ".part" left
}

TEST_F(MetaFile, DamagedOrForeignFilesAreClearErrors) {
    const std::string path = (dir_ / "backup.meta").string();
    zvfd::write_meta_file(path, sample());
    const std::string bytes = zv_test::read_file(path);
    auto expect_error = [&](const std::string& content, const std::string& message, const std::string& what) {
        const std::string file = write("bad.meta", content);
        EXPECT_TRUE(zvfd_test::says(zvfd_test::error_of([&] { zvfd::read_meta_file(file); }), message)) << what;
    };
    for (std::size_t len = 8; len < bytes.size(); len += 7)
        expect_error(bytes.substr(0, len), "is truncated or damaged", "cut to " + std::to_string(len));
    std::string flipped = bytes;
    flipped[bytes.size() / 2] ^= 1;
    expect_error(flipped, "is truncated or damaged", "flipped byte");
    expect_error("", "is not a file of this archiver", "empty file");
    expect_error("ZVFDINDX" + bytes.substr(8), "is not a file of this archiver", "another kind of file");
    const struct {
        std::string path, says;
    } unreadable[] = {
        {(dir_ / "missing.meta").string(), "cannot open " + (dir_ / "missing.meta").string() + ": "},
        {dir_.string(), "metadata file " + dir_.string() + " is not a regular file"},
    };
    for (const auto& u : unreadable)
        EXPECT_TRUE(zvfd_test::says(zvfd_test::error_of([&] { zvfd::read_meta_file(u.path); }), u.says));
    // Grown sparse past what its header says: refused for its size, before it is read.
    fs::resize_file(path, 20ull << 30);
    EXPECT_TRUE(zvfd_test::says(zvfd_test::error_of([&] { zvfd::read_meta_file(path); }),
                                "metadata file " + path + " is damaged: it holds 21474836480 bytes, where it can hold at most " +
                                    std::to_string(bytes.size())));
}

TEST(Record, SafeNames) {
    for (const char* good : {"a", "disk.img", "dir/sub/file", "..a", "a..", ".hidden", "a/.b"})
        EXPECT_TRUE(zvfd::is_safe_name(good)) << good;
    for (const char* bad : {"", "/abs", "a/", "a//b", ".", "..", "../a", "a/../b", "a/.", "./a"})
        EXPECT_FALSE(zvfd::is_safe_name(bad)) << bad;
}

}  // namespace
