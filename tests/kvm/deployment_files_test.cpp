// The restore deployment's file work: reading the target list back, choosing free
// image names beside the originals (with an end to the search), and copying a
// restored image into place without filling its holes.
#include "kvm/deployment_test_support.h"
#include "support/test_module.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace deploy_test;

namespace {

TEST(TargetList, ReadsKeysAndWholeValuesSkippingCommentsAndBlankLines) {
    ScratchDir scratch;
    write_file(scratch.path() / "target_list",
               "# saved by the backup\n"
               "\n"
               "UUID\tmy  vm\n"
               "  vda   /images/my disk.qcow2  \n"
               "vdb /images/b.qcow2\n"
               "   \t \n"
               "hdc\n");
    zv_test::LogCapture log;
    DeployModule module(scratch.path());
    std::vector<std::pair<std::string, std::string>> targets;
    std::string uuid = "restored-by-zelvor";
    ASSERT_TRUE(module.analyse_targer_list(scratch.path().string(), targets, uuid));
    EXPECT_EQ(uuid, "my  vm") << "a run of blanks in a name is part of it";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"vda", "/images/my disk.qcow2"}, {"vdb", "/images/b.qcow2"}, {"hdc", ""}};
    EXPECT_EQ(targets, expected);
}

TEST(TargetList, WithoutUuidLineKeepsTheDefault) {
    ScratchDir scratch;
    write_file(scratch.path() / "target_list", "vda /images/a.qcow2\n");
    zv_test::LogCapture log;
    DeployModule module(scratch.path());
    std::vector<std::pair<std::string, std::string>> targets;
    std::string uuid = "restored-by-zelvor";
    ASSERT_TRUE(module.analyse_targer_list(scratch.path().string(), targets, uuid));
    EXPECT_EQ(uuid, "restored-by-zelvor");
    EXPECT_EQ(targets.size(), 1u);
}

struct FreeNameCase {
    const char* label;
    std::vector<std::string> existing;  // relative to the scratch directory
    std::vector<std::string> taken;     // chosen for earlier disks of the same domain
    std::string source;
    std::string expected;
};

class FreeImagePath : public ::testing::TestWithParam<FreeNameCase> {};

TEST_P(FreeImagePath, IsTheFirstNameNeitherOnDiskNorChosen) {
    const FreeNameCase& c = GetParam();
    ScratchDir scratch;
    auto full = [&](const std::string& name) { return (scratch.path() / name).string(); };
    for (const auto& name : c.existing) write_file(full(name), "x");
    std::vector<std::string> taken;
    for (const auto& name : c.taken) taken.push_back(full(name));
    zv_test::LogCapture log;
    std::string path;
    ASSERT_TRUE(ZvModuleKvm::find_free_image_path(full(c.source), taken, path));
    EXPECT_EQ(path, full(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    ImageNames, FreeImagePath,
    ::testing::Values(
        FreeNameCase{"missing_source_kept", {}, {}, "web.qcow2", "web.qcow2"},
        FreeNameCase{"qcow2_suffix_kept_last", {"web.qcow2"}, {}, "web.qcow2", "web-0.qcow2"},
        FreeNameCase{"next_free_number", {"web.qcow2", "web-0.qcow2", "web-1.qcow2"}, {}, "web.qcow2",
                     "web-2.qcow2"},
        FreeNameCase{"other_suffix_appended", {"web.img", "web.img-0"}, {}, "web.img", "web.img-1"},
        // Two disks of one domain must not be given one path: a name chosen for
        // an earlier disk counts as used even before its copy exists.
        FreeNameCase{"chosen_counts_as_used", {"web.qcow2"}, {"web-0.qcow2"}, "web.qcow2",
                     "web-1.qcow2"},
        FreeNameCase{"chosen_missing_source", {}, {"web-0.qcow2"}, "web-0.qcow2", "web-0-0.qcow2"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(FreeImagePathSearch, GivesUpWithAClearError) {
    ScratchDir scratch;
    const std::string source = (scratch.path() / "web.qcow2").string();
    write_file(source, "x");
    for (int n = 0; n < 1000; ++n)
        write_file(scratch.path() / ("web-" + std::to_string(n) + ".qcow2"), "x");
    zv_test::LogCapture log;
    std::string path;
    EXPECT_FALSE(ZvModuleKvm::find_free_image_path(source, {}, path));
    EXPECT_EQ(log.count(": no free file name found for " + source + " after 1000 tries"), 1);
    // With one more free name the same search succeeds at its last try.
    fs::remove(scratch.path() / "web-999.qcow2");
    ASSERT_TRUE(ZvModuleKvm::find_free_image_path(source, {}, path));
    EXPECT_EQ(path, (scratch.path() / "web-999.qcow2").string());
}

class SparseCopy : public ::testing::Test {
protected:
    SparseCopy() {
        // Data at the start, an allocated run of zeros, a lone byte in the middle
        // and a hole up to the end.
        write_sparse_file(source, 32u << 20,
                          {{0, std::string(8192, 'x')},
                           {4u << 20, std::string(1u << 20, '\0')},
                           {(12u << 20) + 17, "y"}});
        ::chmod(source.c_str(), 0640);
    }
    ScratchDir scratch;
    fs::path source = scratch.path() / "vda";
    fs::path destination = scratch.path() / "images" / "disk.qcow2";
};

TEST_F(SparseCopy, KeepsBytesHolesAndMode) {
    fs::create_directories(destination.parent_path());
    ZvModuleKvm::copy_sparse_file(source.string(), destination.string());
    EXPECT_EQ(fs::file_size(destination), fs::file_size(source));
    EXPECT_TRUE(read_file(destination) == read_file(source));
    // 8 KiB of data and one 4 KiB block around the lone byte: the zeros and holes
    // of the source take no room in the copy.
    EXPECT_LE(allocated_blocks(destination), allocated_blocks(source));
    EXPECT_LE(allocated_blocks(destination) * 512, 64 * 1024);
    struct stat info {};
    ASSERT_EQ(::stat(destination.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(SparseCopy, RefusesAnExistingDestinationAndLeavesItAlone) {
    write_file(destination, "someone's image");
    EXPECT_THROW(ZvModuleKvm::copy_sparse_file(source.string(), destination.string()),
                 fs::filesystem_error);
    EXPECT_EQ(read_file(destination), "someone's image");
}

TEST_F(SparseCopy, MissingDirectoryThrowsAndLeavesNothing) {
    EXPECT_THROW(ZvModuleKvm::copy_sparse_file(source.string(), destination.string()),
                 fs::filesystem_error);
    EXPECT_FALSE(fs::exists(destination.parent_path()));
}

}  // namespace
