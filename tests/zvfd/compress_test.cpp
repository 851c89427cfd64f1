// The "-z" words and the zstd stage: levels as the usage documents them, blocks
// that come back exactly, and damage that is refused.
#include "zvfd/block_name.h"
#include "zvfd/compress.h"
#include "zvfd/io.h"
#include "zvfd/repository.h"

#include "stage_test_support.h"

#include <gtest/gtest.h>

#include <zstd.h>

#include <string>

namespace {

std::string text_block(std::size_t len) {
    std::string out;
    while (out.size() < len) out += "the archiver stores this line again, " + std::to_string(out.size() % 97) + "\n";
    out.resize(len);
    return out;
}

TEST(Compression, WordsAreCaseInsensitiveAndMapToTheirLevels) {
    struct Case {
        const char* word;
        zvfd::Compression compression;
        int level;
    } cases[] = {
        {"None", zvfd::Compression::None, 0},       {"none", zvfd::Compression::None, 0},
        {"NONE", zvfd::Compression::None, 0},       {"fast", zvfd::Compression::Fast, 1},
        {"Fast", zvfd::Compression::Fast, 1},       {"optimal", zvfd::Compression::Optimal, 3},
        {"OPTIMAL", zvfd::Compression::Optimal, 3}, {"best", zvfd::Compression::Best, 15},
        {"BeSt", zvfd::Compression::Best, 15},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zvfd::compression_from_word(c.word), c.compression) << c.word;
        EXPECT_EQ(zvfd::zstd_level(c.compression), c.level) << c.word;
    }
}

TEST(Compression, UnknownWordNamesTheKnownOnes) {
    for (const char* word : {"", "zstd", "fastest", "none "}) {
        const std::string message = zvfd_test::error_of([&] { zvfd::compression_from_word(word); });
        EXPECT_TRUE(zvfd_test::says(message, "'" + std::string(word) + "'"));
        EXPECT_TRUE(zvfd_test::says(message, "(known: None, fast, optimal, best)"));
    }
}

TEST(Compression, EachLevelRoundTripsAndIsZstdAtThatLevel) {
    for (zvfd::Compression c : {zvfd::Compression::Fast, zvfd::Compression::Optimal, zvfd::Compression::Best})
        for (std::size_t len : {std::size_t{200}, std::size_t{16384}, std::size_t{1} << 20}) {
            const std::string block = text_block(len);
            std::string out = "left over from an earlier block";
            ASSERT_TRUE(zvfd::compress_block(c, block.data(), block.size(), out)) << len;
            EXPECT_LT(out.size(), block.size());
            std::string reference(ZSTD_compressBound(len), '\0');
            reference.resize(ZSTD_compress(reference.data(), reference.size(), block.data(), len, zvfd::zstd_level(c)));
            EXPECT_EQ(out, reference) << "level " << zvfd::zstd_level(c) << ", " << len << " bytes";
            EXPECT_EQ(zvfd::decompress_block(out, len), block);
        }
}

TEST(Compression, WhatDoesNotShrinkIsNotCompressed) {
    const std::string noise = zvfd_test::random_text(16384, 1);
    const std::string text = text_block(16384);
    struct Case {
        const char* what;
        zvfd::Compression compression;
        const std::string& data;
        std::size_t len;
    } cases[] = {
        {"random data, best", zvfd::Compression::Best, noise, noise.size()},
        {"random data, fast", zvfd::Compression::Fast, noise, noise.size()},
        {"a few bytes", zvfd::Compression::Optimal, text, 5},
        {"nothing", zvfd::Compression::Optimal, text, 0},
        {"None", zvfd::Compression::None, text, text.size()},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_FALSE(zvfd::compress_block(c.compression, c.data.data(), c.len, out)) << c.what;
    }
}

TEST(Compression, DamagedBlockOrWrongSizeThrows) {
    const std::string block = text_block(16384);
    std::string packed;
    ASSERT_TRUE(zvfd::compress_block(zvfd::Compression::Optimal, block.data(), block.size(), packed));
    for (std::size_t len = 0; len < packed.size(); ++len)
        EXPECT_THROW(zvfd::decompress_block(packed.substr(0, len), block.size()), zvfd::Error) << "cut to " << len;
    for (std::size_t size : {std::size_t{0}, block.size() - 1, block.size() + 1, 2 * block.size()})
        EXPECT_THROW(zvfd::decompress_block(packed, size), zvfd::Error) << "size " << size;
    std::string header = packed;
    header[0] ^= 0x55;  // the frame's magic number
    EXPECT_THROW(zvfd::decompress_block(header, block.size()), zvfd::Error);
    EXPECT_THROW(zvfd::decompress_block(packed + "trailing", block.size()), zvfd::Error);
    EXPECT_THROW(zvfd::decompress_block(zvfd_test::random_text(300, 2), block.size()), zvfd::Error);
    EXPECT_EQ(zvfd::decompress_block(packed, block.size()), block);
}

// Opened from its pack as a restore or a check opens it, a block that no longer
// decompresses says which pack is damaged and where its bytes belong.
TEST(Compression, DamagedBlockInAPackNamesThePackAndTheFile) {
    const std::string block = text_block(16384);
    std::string packed;
    ASSERT_TRUE(zvfd::compress_block(zvfd::Compression::Optimal, block.data(), block.size(), packed));
    const zvfd::BlockNamer namer(zvfd::DigestKind::Sha256, "");
    zvfd::BlockRef ref;
    ref.length = static_cast<std::uint32_t>(block.size());
    ref.name = namer.name(block.data(), block.size());
    ref.pack_offset = 12;
    ref.stored = static_cast<std::uint32_t>(packed.size());
    ref.flags = zvfd::kBlockCompressed;
    const std::string pack = std::string("ZVFDPACK\x01\0\0\0", 12) + packed;
    EXPECT_EQ(zvfd::unpack_block(pack, "p7", ref, nullptr, namer, "block at offset 0 of vda"), block);
    std::string damaged = pack;
    damaged[12] ^= 0x55;  // the frame's magic number
    const std::string message =
        zvfd_test::error_of([&] { zvfd::unpack_block(damaged, "p7", ref, nullptr, namer, "block at offset 0 of vda"); });
    EXPECT_TRUE(zvfd_test::says(message, "block at offset 0 of vda"));
    EXPECT_TRUE(zvfd_test::says(message, "pack p7 is damaged"));
}

}  // namespace
