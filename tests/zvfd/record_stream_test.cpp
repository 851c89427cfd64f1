// A record written as it comes: whatever order its pieces come in, the repository's
// record, the metadata file and a reference read from that file hold the same blocks;
// its parts are its own, so a missing, damaged or exchanged part is an error, and a
// record that was never finished is not there at all.
#include "zvfd/record_stream.h"

#include "stage_test_support.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <random>

namespace fs = boost::filesystem;

namespace {

// A record of two files of `blocks` blocks each, cut into pieces of 64 blocks.
struct Sample {
    std::vector<zvfd::FileEntry> files;
    std::vector<std::string> pack_of;  // of each block of every file, in file order
};

Sample sample(std::size_t blocks) {
    Sample s;
    std::mt19937_64 random(blocks);
    for (const char* name : {"vda", "sub/vdb"}) {
        zvfd::FileEntry f;
        f.name = name;
        f.mode = 0640;
        f.size = blocks * 4096 + 100;
        f.mtime = 1700000000;
        for (std::size_t i = 0; i < blocks; ++i) {
            zvfd::BlockRef b;
            b.offset = i * 4096;
            b.length = 4096;
            b.name = zvfd_test::random_text(32, static_cast<std::uint32_t>(random()));
            b.pack_offset = static_cast<std::uint32_t>(12 + i * 4096);
            b.stored = static_cast<std::uint32_t>(random() % 4096 + 1);
            b.flags = static_cast<std::uint8_t>(i % 2);
            f.blocks.push_back(b);
            char id[40];
            std::snprintf(id, sizeof id, "%032zx", i / 100 + (f.name == "vda" ? 0 : 5000));
            s.pack_of.push_back(id);
        }
        s.files.push_back(std::move(f));
    }
    return s;
}

// Hands the sample's pieces to the sink in a shuffled order.
void write(zvfd::RecordSink& sink, const Sample& s) {
    std::vector<zvfd::FileEntry> headers = s.files;
    for (auto& f : headers) f.blocks.clear();
    sink.set_files(headers);
    struct Piece {
        std::uint32_t file;
        std::size_t first, count;
    };
    std::vector<Piece> pieces;
    for (std::uint32_t f = 0; f < s.files.size(); ++f)
        for (std::size_t i = 0; i < s.files[f].blocks.size(); i += 64)
            pieces.push_back({f, i, std::min<std::size_t>(64, s.files[f].blocks.size() - i)});
    std::shuffle(pieces.begin(), pieces.end(), std::mt19937(3));
    for (const Piece& p : pieces) {
        const auto& all = s.files[p.file].blocks;
        std::vector<zvfd::BlockRef> blocks(all.begin() + p.first, all.begin() + p.first + p.count);
        const std::size_t base = p.file * s.files[0].blocks.size() + p.first;
        std::vector<std::string> packs(s.pack_of.begin() + base, s.pack_of.begin() + base + p.count);
        const std::uint64_t offset = blocks.front().offset;
        sink.add_piece(p.file, offset, std::move(blocks), packs);
    }
}

void expect_same(const zvfd::Record& got, const Sample& want) {
    ASSERT_EQ(got.files.size(), want.files.size());
    std::size_t k = 0;
    for (std::size_t f = 0; f < want.files.size(); ++f) {
        const auto& a = got.files[f];
        const auto& b = want.files[f];
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(a.mode, b.mode);
        EXPECT_EQ(a.size, b.size);
        ASSERT_EQ(a.blocks.size(), b.blocks.size());
        for (std::size_t i = 0; i < a.blocks.size(); ++i, ++k) {
            EXPECT_EQ(a.blocks[i].offset, b.blocks[i].offset);
            EXPECT_EQ(a.blocks[i].name, b.blocks[i].name);
            EXPECT_EQ(a.blocks[i].pack_offset, b.blocks[i].pack_offset);
            EXPECT_EQ(a.blocks[i].stored, b.blocks[i].stored);
            EXPECT_EQ(a.blocks[i].flags, b.blocks[i].flags);
            EXPECT_EQ(got.packs.at(a.blocks[i].pack), want.pack_of[k]);
        }
    }
}

class RecordStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        zv_test::write_file(dir_.path() / "key", "record key");
        keys_ = zvfd::derive_keys("aes-256-gcm", (dir_.path() / "key").string());
    }
    std::string meta(const std::string& name) const { return (dir_.path() / (name + ".meta")).string(); }
    std::vector<std::string> parts() {
        std::vector<std::string> names;
        for (const auto& n : store_.list("tasks/42/parts/")) names.push_back(n);
        return names;
    }

    zv_test::ScratchDir dir_;
    zvfd::LocalStorage store_{(dir_.path() / "repo").string()};
    zvfd::Keys keys_;
};

TEST_F(RecordStreamTest, RepositoryMetadataFileAndReferenceHoldTheSameBlocks) {
    zvfd::Repository repository(store_, keys_);
    // 2 × 40 000 blocks take about 4.5 MiB of stream: more than one part.
    for (const std::size_t blocks : {std::size_t(0), std::size_t(5), std::size_t(40000)}) {
        SCOPED_TRACE(blocks);
        const std::string name = "r" + std::to_string(blocks);
        const Sample s = sample(blocks);
        {
            zvfd::RecordWriter writer(repository, "42", name, meta(name), 32);
            write(writer, s);
            const auto meta_part = writer.seal({{"task", "42"}, {"archive_name", name}});
            ASSERT_TRUE(writer.put_head());
            meta_part->commit_to(meta(name));
        }
        const zvfd::Record stored = repository.get_record("42", name);
        EXPECT_EQ(stored.prop("archive_name"), name);
        expect_same(stored, s);
        expect_same(zvfd::read_meta_file(meta(name)), s);
        EXPECT_NO_THROW(repository.confirm_record("42", name, 0, zvfd::read_meta_payload(meta(name))));

        const auto reference = zvfd::Reference::open(meta(name));
        EXPECT_EQ(reference->identity(), zvfd::read_meta_payload(meta(name)));
        std::vector<zvfd::BlockRef> found;
        std::vector<std::string> packs;
        reference->blocks_in("sub/vdb", 4096 * 100, 4096 * 130 + 1, found, packs);
        ASSERT_EQ(found.size(), blocks > 100 ? 31u : 0u);
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].name, s.files[1].blocks[100 + i].name);
            EXPECT_EQ(packs[i], s.pack_of[blocks + 100 + i]);
        }
        reference->blocks_in("nothing", 0, ~0ull, found, packs);
        EXPECT_TRUE(found.empty());
    }
    EXPECT_GT(parts().size(), 2u);
}

TEST_F(RecordStreamTest, PartsAreTheRecordsOwn) {
    zvfd::Repository repository(store_, keys_);
    for (const char* name : {"one", "two"}) {
        zvfd::RecordWriter writer(repository, "42", name, meta(name), 32);
        write(writer, sample(name[0] == 'o' ? 40000 : 40001));
        const auto meta_part = writer.seal({{"task", "42"}, {"archive_name", name}});
        ASSERT_TRUE(writer.put_head());
        meta_part->commit_to(meta(name));
    }
    const fs::path repo = dir_.path() / "repo";
    ASSERT_EQ(parts().size(), 4u);
    auto part_of = [&](const std::string& name) {
        const std::string run = zvfd::record_parts_of(zvfd::read_meta_payload(meta(name)), name).first;
        return repo / zvfd::record_part_object("42", run, 0);
    };
    const fs::path of_one = part_of("one"), of_two = part_of("two");
    const std::string bytes = zv_test::read_file(of_one);
    const auto error = [&] { return zvfd_test::error_of([&] { repository.get_record("42", "one"); }); };

    zv_test::write_file(of_one, zv_test::read_file(of_two));
    EXPECT_TRUE(zvfd_test::says(error(), "is not the one it names")) << "a part of another record";
    std::string flipped = bytes;
    flipped[flipped.size() / 2] ^= 1;
    zv_test::write_file(of_one, flipped);
    EXPECT_TRUE(zvfd_test::says(error(), "damaged")) << "a flipped byte";
    fs::remove(of_one);
    EXPECT_TRUE(zvfd_test::says(error(), "is missing")) << "a part removed";
    zv_test::write_file(of_one, bytes);
    EXPECT_EQ(error(), "(no error)");
}

// A writer that never finished leaves parts and no record, and no metadata file.
TEST_F(RecordStreamTest, UnfinishedRecordIsNotThere) {
    zvfd::Repository repository(store_, keys_);
    {
        zvfd::RecordWriter writer(repository, "42", "cut", meta("cut"), 32);
        write(writer, sample(40000));
    }
    EXPECT_FALSE(parts().empty());
    EXPECT_TRUE(repository.list_records("42").empty());
    EXPECT_FALSE(fs::exists(meta("cut")));
    EXPECT_FALSE(fs::exists(meta("cut") + ".part"));
}

}  // namespace
