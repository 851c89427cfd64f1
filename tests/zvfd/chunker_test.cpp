// Cutting: where blocks begin and end, and which are dropped as zeros.
#include "zvfd/chunker.h"

#include <gtest/gtest.h>

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

}  // namespace
