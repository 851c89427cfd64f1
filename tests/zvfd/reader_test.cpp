// Read planning: which byte ranges the workers read for a file's data extents, and
// which sources are refused.
#include "zvfd/reader.h"

#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using Span = std::pair<std::uint64_t, std::uint64_t>;  // offset, length

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

// Pages of the range that the page cache holds.
std::size_t resident_pages(const std::string& path, std::uint64_t offset, std::size_t len) {
    zvfd::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    void* map = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd.get(), static_cast<off_t>(offset));
    if (map == MAP_FAILED) throw std::runtime_error("mmap");
    std::vector<unsigned char> pages((len + 4095) / 4096);
    ::mincore(map, len, pages.data());
    ::munmap(map, len);
    return static_cast<std::size_t>(std::count_if(pages.begin(), pages.end(), [](unsigned char r) { return r & 1; }));
}

// What an image's writer left in the page cache is read from there; the rest is read
// past the cache and stays out of it. Either way the bytes are the file's.
TEST(ReadSource, CachedRangesFromTheCacheTheRestPastIt) {
    zv_test::ScratchDir dir;
    const std::string path = (dir.path() / "image").string();
    constexpr std::size_t kHalf = 4u << 20;
    std::string data(2 * kHalf - 100, '\0');  // the last page is partial
    std::mt19937_64 random(7);
    for (auto& c : data) c = static_cast<char>(random());
    {
        zvfd::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        zvfd::pwrite_all(fd.get(), data.data(), data.size(), 0);
        ASSERT_EQ(::fsync(fd.get()), 0);
        ASSERT_EQ(::posix_fadvise(fd.get(), kHalf, 0, POSIX_FADV_DONTNEED), 0);
    }
    const zvfd::OpenSource source = zvfd::open_source(path);
    if (source.direct.get() < 0) GTEST_SKIP() << "the scratch file system refuses direct I/O";
    ASSERT_EQ(resident_pages(path, 0, kHalf), kHalf / 4096) << "the written half is not cached";
    ASSERT_EQ(resident_pages(path, kHalf, kHalf), 0u);

    zvfd::AlignedBuffer buffer(kHalf + zvfd::kDirectAlign);
    const struct {
        std::uint64_t offset;
        std::size_t length;
    } reads[] = {{0, kHalf}, {16384, 5000}, {kHalf, kHalf - 100}, {kHalf - 16384, 16384 + 4096}};
    for (const auto& r : reads) {
        SCOPED_TRACE(r.offset);
        ASSERT_EQ(zvfd::read_source(source, buffer.data(), r.length, r.offset), r.length);
        EXPECT_EQ(std::string(buffer.data(), r.length), data.substr(r.offset, r.length));
    }
    EXPECT_EQ(resident_pages(path, kHalf, kHalf), 0u) << "reading pulled the uncached half into the cache";
}

TEST(ReadPlan, RefusesWhatIsNeitherFileNorBlockDevice) {
    zv_test::ScratchDir dir;
    for (const std::string& path : {dir.path().string(), std::string("/dev/null")})
        EXPECT_THROW(zvfd::open_source(path), zvfd::Error) << path;
    EXPECT_THROW(zvfd::open_source((dir.path() / "missing").string()), zvfd::Error);
}

}  // namespace
