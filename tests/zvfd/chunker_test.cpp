// Cutting and read planning: where blocks begin and end, which are dropped as zeros,
// and which byte ranges the workers read for a file's data extents.
#include "zvfd/chunker.h"
#include "zvfd/reader.h"

#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Span = std::pair<std::uint64_t, std::uint64_t>;  // offset, length

TEST(Chunker, ZeroTestSeesEveryByte) {
    // Odd lengths and start addresses: the word-wise test must not skip the tail.
    std::string buffer(64, '\0');
    for (std::size_t start = 0; start < 8; ++start)
        for (std::size_t len = 0; len <= 40; ++len) {
            ASSERT_TRUE(zvfd::is_all_zero(buffer.data() + start, len)) << start << "+" << len;
            for (std::size_t at = 0; at < len; ++at) {
                buffer[start + at] = 1;
                EXPECT_FALSE(zvfd::is_all_zero(buffer.data() + start, len)) << start << "+" << len << " @" << at;
                buffer[start + at] = 0;
            }
        }
}

TEST(Chunker, CutsBlocksAndDropsZeros) {
    const std::uint64_t far = std::uint64_t{1} << 33;  // beyond 32 bits
    struct Case {
        const char* what;
        std::size_t len;
        std::uint64_t base;
        std::uint32_t block;
        std::vector<Span> data;  // byte ranges that are not zero
        std::vector<Span> blocks;
    } cases[] = {
        {"whole blocks", 3 * 4096, 0, 4096, {{0, 3 * 4096}}, {{0, 4096}, {4096, 4096}, {8192, 4096}}},
        {"short last block", 10000, 0, 4096, {{0, 10000}}, {{0, 4096}, {4096, 4096}, {8192, 1808}}},
        {"zero blocks dropped", 4 * 4096, 0, 4096, {{5000, 1}, {16383, 1}}, {{4096, 4096}, {12288, 4096}}},
        {"zero short tail dropped", 4096 + 100, 0, 4096, {{0, 1}}, {{0, 4096}}},
        {"last byte of an odd block", 2 * 4099, 0, 4099, {{4098, 1}}, {{0, 4099}}},
        {"base offset", 2 * 16384 + 5, far, 16384, {{0, 2 * 16384 + 5}},
         {{far, 16384}, {far + 16384, 16384}, {far + 32768, 5}}},
        {"base offset, zeros dropped", 3 * 16384, far, 16384, {{16384 + 7, 3}}, {{far + 16384, 16384}}},
        {"one byte", 1, 8192, 4096, {{0, 1}}, {{8192, 1}}},
        {"all zero", 65536, 0, 4096, {}, {}},
        {"nothing", 0, 0, 4096, {}, {}},
    };
    for (const Case& c : cases) {
        std::string data(c.len, '\0');
        for (const Span& s : c.data) data.replace(s.first, s.second, s.second, 'x');
        std::vector<Span> got;
        for (const zvfd::BlockView& b : zvfd::cut_blocks(data.data(), data.size(), c.base, c.block)) {
            got.emplace_back(b.offset, b.length);
            EXPECT_EQ(b.data, data.data() + (b.offset - c.base)) << c.what;
        }
        EXPECT_EQ(got, c.blocks) << c.what;
    }
}

std::vector<Span> plan(const std::vector<zvfd::Extent>& extents, std::uint64_t size, std::uint32_t block,
                       std::uint64_t piece) {
    std::vector<Span> got;
    for (const zvfd::Piece& p : zvfd::pieces_of_extents(3, extents, size, block, piece)) {
        EXPECT_EQ(p.file, 3u);
        got.emplace_back(p.offset, p.length);
    }
    return got;
}

TEST(ReadPlan, PiecesOfExtents) {
    const std::uint64_t gib = std::uint64_t{1} << 30;
    struct Case {
        const char* what;
        std::vector<zvfd::Extent> extents;
        std::uint64_t size, piece;
        std::vector<Span> pieces;
    } cases[] = {
        {"whole file", {{0, 40960}}, 40960, 16384, {{0, 16384}, {16384, 16384}, {32768, 8192}}},
        {"grown to whole blocks", {{5000, 3000}}, 100000, 16384, {{4096, 4096}}},
        {"straddles a block boundary", {{4000, 200}}, 100000, 16384, {{0, 8192}}},
        {"straddles a piece boundary", {{16000, 1000}}, 100000, 16384, {{12288, 8192}}},
        {"two extents in one block", {{0, 5000}, {6000, 100}}, 100000, 16384, {{0, 8192}}},
        {"next extent begins in a read block", {{0, 5000}, {7000, 20000}}, 100000, 16384,
         {{0, 8192}, {8192, 16384}, {24576, 4096}}},
        {"end of file ends the last piece", {{0, 10000}}, 10000, 16384, {{0, 10000}}},
        {"extent past the end of file", {{8192, 10000}}, 9000, 16384, {{8192, 808}}},
        {"extent wholly past the end", {{20000, 100}}, 9000, 16384, {}},
        {"piece size rounded down to blocks", {{0, 20480}}, 20480, 10000, {{0, 8192}, {8192, 8192}, {16384, 4096}}},
        {"piece smaller than a block", {{0, 9000}}, 9000, 100, {{0, 4096}, {4096, 4096}, {8192, 808}}},
        {"beyond 4 GiB", {{5 * gib + 1, 10}, {5 * gib + 8190, 4}}, 6 * gib, 16384,
         {{5 * gib, 4096}, {5 * gib + 4096, 8192}}},
        {"no extents", {}, 100000, 16384, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(plan(c.extents, c.size, 4096, c.piece), c.pieces) << c.what;
}

// Random extents: the pieces read every byte of data once, start on block
// boundaries, stay inside the file and never exceed the piece size.
TEST(ReadPlan, PiecesCoverEveryExtentOnce) {
    std::mt19937 gen(7);
    for (int round = 0; round < 200; ++round) {
        const std::uint32_t block = 512u << (gen() % 5);
        const std::uint64_t piece = block * (1 + gen() % 6) + gen() % block;
        std::vector<zvfd::Extent> extents;
        std::uint64_t at = 0;
        for (int n = gen() % 8; n > 0; --n) {
            at += gen() % (3 * block);
            const std::uint64_t len = 1 + gen() % (4 * block);
            extents.push_back({at, len});
            at += len;
        }
        const std::uint64_t size = at + gen() % block;
        std::vector<bool> read(size, false);
        for (const Span& p : plan(extents, size, block, piece)) {
            ASSERT_EQ(p.first % block, 0u);
            ASSERT_GT(p.second, 0u);
            ASSERT_LE(p.second, piece / block * block);
            ASSERT_LE(p.first + p.second, size);
            for (std::uint64_t i = p.first; i < p.first + p.second; ++i) {
                ASSERT_FALSE(read[i]) << "byte " << i << " read twice, round " << round;
                read[i] = true;
            }
        }
        for (const zvfd::Extent& e : extents)
            for (std::uint64_t i = e.offset; i < e.offset + e.length; ++i)
                ASSERT_TRUE(read[i]) << "byte " << i << " not read, round " << round;
    }
}

TEST(ReadPlan, RefusesWhatIsNeitherFileNorBlockDevice) {
    zv_test::ScratchDir dir;
    for (const std::string& path : {dir.path().string(), std::string("/dev/null")})
        EXPECT_THROW(zvfd::open_source(path), zvfd::Error) << path;
    EXPECT_THROW(zvfd::open_source((dir.path() / "missing").string()), zvfd::Error);
}

}  // namespace
