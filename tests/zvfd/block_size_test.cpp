// The block sizes of "-b": the largest one a backup takes must come back from a
// restore, byte for byte (the buffers of both ends hold a block of that size), and the
// first one above it is refused before anything is read. Run through the archiver's
// own backup and restore of an archive file, so that the sanitizer build sees every
// buffer they use.
#include "stage_test_support.h"
#include "support/scratch_dir.h"
#include "zvfd/cli.h"
#include "zvfd/ops.h"
#include "zvfd/record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

zvfd::Options options_of(std::vector<std::string> args) {
    args.insert(args.begin(), "zvfd");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return zvfd::parse_options(static_cast<int>(argv.size()), argv.data());
}

class BlockSizes : public zv_test::ScratchDirTest {};

TEST_F(BlockSizes, LargestBlockSizeBacksUpAndRestores) {
    // Two whole blocks and a short one, with data that no block shares.
    const std::string data = zvfd_test::random_text((2u << 24) + 12345, 7);
    const std::string source = write("image", data);
    const std::string archive = (dir_ / "a.zvfd").string(), meta = (dir_ / "a.meta").string();
    const std::string block = std::to_string(zvfd::kMaxBlockSize);
    const zvfd::TestAid aid;
    zvfd::Output out(aid);
    ASSERT_EQ(zvfd::run_backup(options_of({"-b", block, "-z", "None", "-c", source, "-n", archive, "-m", meta}), aid,
                               out),
              0);
    const zvfd::Record record = zvfd::read_meta_file(meta);
    ASSERT_EQ(record.files.size(), 1u);
    ASSERT_EQ(record.files[0].blocks.size(), 3u);
    EXPECT_EQ(record.files[0].blocks[0].length, zvfd::kMaxBlockSize);

    const std::string restored = (dir_ / "r").string();
    ASSERT_EQ(zvfd::run_restore(options_of({"-b", block, "-r", archive, "-d", restored}), aid, out), 0);
    EXPECT_TRUE(zv_test::read_file(dir_ / "r" / "image") == data);
}

TEST_F(BlockSizes, BlockSizeAboveTheLargestIsRefusedAtTheStart) {
    for (const char* size : {"16777217", "511"}) {
        SCOPED_TRACE(size);
        EXPECT_TRUE(zvfd_test::says(zvfd_test::error_of([&] { options_of({"-b", size, "-c", ".", "-n", "x"}); }),
                                    "block size -b must lie between 512 and 16777216 bytes"));
    }
    EXPECT_EQ(options_of({"-b", "16777216", "-c", "."}).value("-b"), "16777216");
}

}  // namespace
