// Artefact names, the snapshot file packed and unpacked with the real /bin/tar, the
// restore directory, and the closing steps after a backup and a restore.
#include "archiver_test_support.h"
#include "modules_common/sandboxed_case.h"

#include "common/zv_utils_common.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace archiver_test;

namespace {

TEST(ArtefactNames, ServerAndAutonomous) {
    TestModule module;
    module.options_.tmp_operation_directory = "/tmp/op";
    module.options_.archive_name = "arch";
    EXPECT_EQ(module.archive_filename(), "/tmp/op/arch");
    EXPECT_EQ(module.meta_filename(), "/tmp/op/arch.snap_dir/arch.meta");
    EXPECT_EQ(module.snapshot_filename(), "/tmp/op/arch.snap");
    EXPECT_EQ(module.snapshot_directory_path(), "/tmp/op/arch.snap_dir");
    EXPECT_EQ(module.leveldb_directory_path(), "/tmp/op/arch.snap_dir/leveldb");
    EXPECT_EQ(module.archive_sign_filename(), "/tmp/op/arch.signature");

    module.options_.autonomous = true;
    EXPECT_EQ(module.archive_filename(), "/tmp/op/arch.zvfd");
    EXPECT_EQ(module.archive_sign_filename(), "/tmp/op/arch.zvfd.signature");
}

// A temporary operation directory whose name needs quoting, holding a finished
// backup's snapshot directory.
class SnapshotFile : public ::testing::Test {
protected:
    SnapshotFile() {
        op = scratch.path() / "op dir 'q' $(touch injected)";
        fs::create_directories(op);
        auto& o = module.options_;
        o.operation = ZvModuleOperations::Backup;
        o.tmp_operation_directory = op.string();
        o.archive_name = "vm1_full_1";
        o.resource = "vm1";
        fs::create_directories(module.leveldb_directory_path());
        write_file(fs::path(module.leveldb_directory_path()) / "LOG", "leveldb");
        write_file(module.meta_filename(), "meta of vm1");
        write_file(fs::path(module.snapshot_directory_path()) / "sub" / "extra", "extra");
    }

    // A snapshot file made by the module's own packing, moved to where a client keeps it.
    fs::path client_snapshot_file(const std::string& name) {
        fs::remove_all(module.leveldb_directory_path());
        EXPECT_EQ(module.pack_snapshot_file(), 0) << log.all();
        const fs::path client = scratch.path() / "client" / name;
        fs::create_directories(client.parent_path());
        fs::rename(module.packing_snapshot_filename(), client);
        return client;
    }

    std::string tar_listing(const fs::path& file) {
        std::string output;
        zv_utils_common::execute_command(
            zv_utils_common::shell_command("/bin/tar", {"tzf", file.string()}), output);
        return output;
    }

    ScratchDir scratch;
    LogCapture log;
    TestModule module;
    fs::path op;
};

TEST_F(SnapshotFile, PackedRelativeToTheSnapshotDirectory) {
    fs::remove_all(module.leveldb_directory_path());
    ASSERT_EQ(module.pack_snapshot_file(), 0) << log.all();
    // Packed under a name of its own; the closing step renames it.
    EXPECT_FALSE(fs::exists(module.snapshot_filename()));
    const std::string listing = tar_listing(module.packing_snapshot_filename());
    EXPECT_NE(listing.find("./vm1_full_1.meta\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("./sub/extra\n"), std::string::npos) << listing;
    EXPECT_EQ(listing.find(op.string()), std::string::npos) << "member names must be relative";
    EXPECT_FALSE(fs::exists(scratch.path() / "injected"));
}

TEST_F(SnapshotFile, PackingFailureIsReported) {
    fs::remove_all(module.snapshot_directory_path());
    EXPECT_EQ(module.pack_snapshot_file(), 12);
    EXPECT_TRUE(log.has("Unable to pack snapshot file: ")) << log.all();
}

TEST_F(SnapshotFile, UnpackedIntoTheOperationDirectoryReplacingAnOlderCopy) {
    const fs::path client = client_snapshot_file("ref 1.snap");
    const fs::path unpacked = op / "ref 1.snap_dir";
    write_file(unpacked / "stale", "from an earlier run");

    ASSERT_EQ(module.unpack_snapshot_file(client.string()), 0) << log.all();
    EXPECT_EQ(module.reference_snapshot_directory, unpacked.string());
    EXPECT_EQ(module.options_.reference_meta_file, (unpacked / "vm1_full_1.meta").string());
    EXPECT_EQ(read_file(module.options_.reference_meta_file), "meta of vm1");
    EXPECT_FALSE(fs::exists(unpacked / "stale"));
    EXPECT_TRUE(log.has(": Removing already existing directory ")) << log.all();
}

TEST_F(SnapshotFile, ClientsReferenceFileOutlivesAFailedBackup) {
    // Server mode: the reference is removed only by the closing step of a backup
    // that succeeded; a backup that fails after unpacking keeps it for the retry.
    const fs::path client = client_snapshot_file("ref.snap");
    ASSERT_EQ(module.unpack_snapshot_file(client.string()), 0) << log.all();
    EXPECT_TRUE(fs::exists(client)) << "deleted before the backup succeeded";

    fs::create_directories(module.leveldb_directory_path());
    StdoutCapture out;
    ASSERT_TRUE(module.close_backup(false)) << log.all();
    EXPECT_FALSE(fs::exists(client));
    EXPECT_FALSE(fs::exists(op / "ref.snap_dir"));
}

TEST_F(SnapshotFile, AutonomousClientKeepsItsReferenceFile) {
    module.options_.autonomous = true;
    const fs::path client = client_snapshot_file("ref.snap");
    ASSERT_EQ(module.unpack_snapshot_file(client.string()), 0) << log.all();
    fs::create_directories(module.leveldb_directory_path());
    StdoutCapture out;
    ASSERT_TRUE(module.close_backup(false)) << log.all();
    EXPECT_TRUE(fs::exists(client));
}

TEST_F(SnapshotFile, MetaFileOnlyInASubdirectoryIsRefused) {
    fs::remove(module.meta_filename());
    write_file(fs::path(module.snapshot_directory_path()) / "sub" / "x.meta", "deep");
    const fs::path client = client_snapshot_file("ref.snap");
    EXPECT_EQ(module.unpack_snapshot_file(client.string()), 12);
    EXPECT_TRUE(log.has("int ZvModuleUniversal::unpack_snapshot_file(const string&)Snapshot "
                        "doesn't contain any metafile!"))
        << log.all();
    EXPECT_TRUE(fs::exists(client));
}

TEST_F(SnapshotFile, OtherInputs) {
    write_file(scratch.path() / "plain.meta", "m");
    EXPECT_EQ(module.unpack_snapshot_file((scratch.path() / "plain.meta").string()), 0);
    EXPECT_EQ(module.options_.reference_meta_file, (scratch.path() / "plain.meta").string());
    EXPECT_TRUE(module.reference_snapshot_directory.empty());

    EXPECT_EQ(module.unpack_snapshot_file("/x/ref.tar"), 12);
    EXPECT_TRUE(log.has("Invalid snapshot file extension: \"/x/ref.tar\"")) << log.all();
    EXPECT_EQ(module.unpack_snapshot_file(""), 12);

    write_file(scratch.path() / "broken.snap", "not a gzip tar");
    EXPECT_EQ(module.unpack_snapshot_file((scratch.path() / "broken.snap").string()), 12);
    EXPECT_TRUE(log.has("' returned code: ")) << log.all();
    EXPECT_TRUE(fs::exists(scratch.path() / "broken.snap"));
}

// --- restore directory ------------------------------------------------------------

struct RestoreDirectoryCase {
    const char* name;
    bool autonomous;
    const char* archive_name;
    const char* record_id;
    const char* archive_to_patch;
    bool make_patch_dir;
    int result;
    const char* directory;  // relative to the operation directory; empty when refused
    const char* message;
};

void PrintTo(const RestoreDirectoryCase& c, std::ostream* os) { *os << c.name; }

class RestoreDirectory : public ::testing::TestWithParam<RestoreDirectoryCase> {};

TEST_P(RestoreDirectory, Chosen) {
    const RestoreDirectoryCase& c = GetParam();
    ScratchDir scratch;
    LogCapture log;
    TestModule module;
    const fs::path op = scratch.path() / "op";
    fs::create_directories(op);
    auto& o = module.options_;
    o.operation = ZvModuleOperations::Restore;
    o.tmp_operation_directory = op.string();
    o.autonomous = c.autonomous;
    o.archive_name = c.archive_name;
    o.record_id = c.record_id;
    o.archive_to_patch = c.archive_to_patch;
    if (c.make_patch_dir) fs::create_directories(op / (std::string(c.archive_to_patch) + ".rest"));
    const auto entries_before = std::distance(fs::directory_iterator(op), fs::directory_iterator());

    EXPECT_EQ(module.define_restore_directory(), c.result) << log.all();
    if (*c.directory) {
        EXPECT_EQ(o.tmp_operation_directory, (op / c.directory).string());
        EXPECT_TRUE(fs::is_directory(op / c.directory));
    } else {
        EXPECT_EQ(std::distance(fs::directory_iterator(op), fs::directory_iterator()), entries_before)
            << "nothing may be created for a refused name";
    }
    if (*c.message) {
        EXPECT_TRUE(log.has(c.message)) << log.all();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Restore, RestoreDirectory,
    ::testing::Values(
        RestoreDirectoryCase{"record_id", false, "", "R", "", false, 0, "R.rest", ""},
        RestoreDirectoryCase{"patch_existing", false, "", "R", "patch", true, 0, "patch.rest", ""},
        RestoreDirectoryCase{"patch_missing", false, "", "R", "patch", false, 1, "",
                             ": catalog 'archive to patch' doesn't exist: "},
        RestoreDirectoryCase{"autonomous_full_marker_any_case", true, "/b/vm1_FULL_2024.zvfd", "",
                             "", false, 0, "2024.rest", ""},
        RestoreDirectoryCase{"autonomous_up_to_next_marker", true, "vm1_full_a_Full_b.zvfd", "", "",
                             false, 0, "a.rest", ""},
        RestoreDirectoryCase{"autonomous_without_marker", true, "/b/backup1.zvfd", "", "", false,
                             0, "backup1.rest", ""},
        RestoreDirectoryCase{"record_dot_dot", false, "", "..", "", false, 1, "",
                             "Record ID \"..\" can't name a file inside"},
        RestoreDirectoryCase{"record_with_slash", false, "", "../../etc", "", false, 1, "",
                             "Record ID \"../../etc\""},
        RestoreDirectoryCase{"record_empty", false, "", "", "", false, 1, "", "Record ID \"\""},
        RestoreDirectoryCase{"record_dot", false, "", ".", "", false, 1, "", "Record ID \".\""},
        RestoreDirectoryCase{"patch_with_slash", false, "", "R", "../x", false, 1, "",
                             "Archive to patch \"../x\""},
        RestoreDirectoryCase{"patch_dot_dot", false, "", "R", "..", false, 1, "",
                             "Archive to patch \"..\""},
        RestoreDirectoryCase{"autonomous_empty_name_after_marker", true, "vm1_full_.zvfd", "", "",
                             false, 1, "", "Restore name taken from archive name"}),
    [](const ::testing::TestParamInfo<RestoreDirectoryCase>& info) {
        return std::string(info.param.name);
    });

// --- closing steps ----------------------------------------------------------------

TEST_F(SnapshotFile, ServerBackupClosing) {
    module.reference_snapshot_directory = (op / "ref.snap_dir").string();
    fs::create_directories(module.reference_snapshot_directory);
    std::string printed;
    {
        StdoutCapture out;
        ASSERT_TRUE(module.close_backup(false)) << log.all();
        printed = out.text();
    }
    const std::string snap = module.snapshot_filename();
    EXPECT_EQ(printed, "MAIN ARCHIVE FILENAME:" + snap + "\nMAIN SNAPSHOT FILENAME:" + snap +
                           "\nMAIN ARCHIVE SIGN FILENAME:" + op.string() + "/vm1_full_1.signature\n");
    // The snapshot file carries the metadata without the leveldb directory.
    const std::string listing = tar_listing(snap);
    EXPECT_NE(listing.find("./vm1_full_1.meta"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("leveldb"), std::string::npos) << listing;
    EXPECT_FALSE(fs::exists(module.snapshot_directory_path()));
    EXPECT_FALSE(fs::exists(module.reference_snapshot_directory));
    EXPECT_TRUE(log.has("The task to make a full backup of resource 'vm1' completed successfully"))
        << log.all();
    EXPECT_EQ(module.archiving_calls, 0);
}

TEST_F(SnapshotFile, AutonomousBackupClosingNamesTheStorage) {
    auto& o = module.options_;
    o.autonomous = true;
    o.backup_type = 2;
    o.supports_archiving = true;
    o.archiving = true;
    module.chosen_storage_type = 2;
    module.chosen_storage_id = 4;
    std::string printed;
    {
        StdoutCapture out;
        ASSERT_TRUE(module.close_backup(false)) << log.all();
        printed = out.text();
    }
    EXPECT_EQ(printed, "CLIENT DEFINED STORAGE:s3@4\nMAIN ARCHIVE FILENAME:" + op.string() +
                           "/vm1_full_1.zvfd\nMAIN SNAPSHOT FILENAME:" + module.snapshot_filename() +
                           "\nMAIN ARCHIVE SIGN FILENAME:" + op.string() +
                           "/vm1_full_1.zvfd.signature\n");
    EXPECT_EQ(module.archiving_calls, 1);
    EXPECT_TRUE(log.has("The task to make an incremental backup of resource 'vm1'")) << log.all();
}

// The client agent reads the result lines as a finished backup: a closing that fails
// prints none of them and leaves no snapshot file.
TEST_F(SnapshotFile, FailedListingFailsTheClosingWithoutResultLines) {
    if (fs::exists(zvfd_program)) GTEST_SKIP() << "an archiver is installed on this host";
    module.file_list = true;
    std::string printed;
    {
        StdoutCapture out;
        EXPECT_FALSE(module.close_backup(false));
        printed = out.text();
    }
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(fs::exists(module.snapshot_filename()));
    EXPECT_FALSE(fs::exists(module.packing_snapshot_filename()));
    EXPECT_TRUE(fs::exists(module.meta_filename()));
    EXPECT_TRUE(log.has(": command produced error: " +
                        zv_utils_common::shell_command(
                            zvfd_program, {"-l", module.meta_filename(), "-v", "1"})))
        << log.all();
    EXPECT_TRUE(log.has("Command output start: ")) << log.all();
}

}  // namespace

// tar stands for one that fails after it began to write (a full disk, a read error):
// the half-written file must neither be taken for the snapshot file nor replace an
// earlier one of the same name, and no result line is printed.
ZV_SANDBOXED_CASE(failed_pack_leaves_no_snapshot_file) {
    ScratchDir scratch;
    LogCapture log;
    archiver_test::TestModule module;
    auto& o = module.options_;
    o.operation = ZvModuleOperations::Backup;
    o.tmp_operation_directory = scratch.path().string();
    o.archive_name = "vm1_full_1";
    fs::create_directories(module.leveldb_directory_path());
    write_file(module.meta_filename(), "meta");
    write_file(module.snapshot_filename(), "an earlier snapshot file under this name");
    StdoutCapture out;
    EXPECT_FALSE(module.close_backup(false));
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(read_file(module.snapshot_filename()), "an earlier snapshot file under this name");
    EXPECT_FALSE(fs::exists(module.packing_snapshot_filename()));
    EXPECT_TRUE(fs::exists(module.meta_filename()));
    EXPECT_TRUE(log.has("Unable to pack snapshot file: tar: write error")) << log.all();
}

namespace {

TEST(SnapshotFilePacking, FailedTarLeavesNoSnapshotFile) {
    if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root for a fake /bin/tar";
    zv_test::Sandbox box;
    box.fake_program("/bin/tar",
                     "#!/bin/sh\nhead -c 512 /dev/zero > \"$2\"\necho 'tar: write error'\nexit 2\n");
    zv_test::expect_case_passes(box, "failed_pack_leaves_no_snapshot_file");
}

TEST_F(SnapshotFile, ReplicaClosingSkipsTheListing) {
    module.file_list = true;
    StdoutCapture out;
    EXPECT_TRUE(module.close_backup(true)) << log.all();
}

// A reference that is this run's own snapshot file or directory: refused by the
// run at its start, and never deleted as obsolete after the closing.
TEST_F(SnapshotFile, OwnSnapshotFileAndDirectoryAreNoReference) {
    const std::string own = module.snapshot_filename();
    const std::string dir = module.snapshot_directory_path();
    write_file(own, "snapshot of an earlier run under this name");
    fs::create_symlink(own, scratch.path() / "link.snap");
    write_file(scratch.path() / "elsewhere" / "vm1_full_0.snap", "x");
    const struct {
        std::string path;
        bool own;
    } cases[] = {
        {own, true},
        {op.string() + "//vm1_full_1.snap", true},
        {op.string() + "/./sub/../vm1_full_1.snap", true},
        {(scratch.path() / "link.snap").string(), true},
        {dir, true},
        {dir + "/", true},
        {module.meta_filename(), true},
        // Unpacked into "<stem>.snap_dir" of the operation directory: this run's own.
        {(scratch.path() / "elsewhere" / "vm1_full_1.snap").string(), true},
        {(scratch.path() / "elsewhere" / "vm1_full_0.snap").string(), false},
        {op.string() + "/vm1_full_0.snap", false},
        {op.string() + "/vm1_full_1.snap_dir_old/x.meta", false},
        {op.string() + "/vm1_full_1.meta", false},
    };
    for (const auto& c : cases) EXPECT_EQ(module.names_own_snapshot(c.path), c.own) << c.path;

    // Whatever path led to it, the closing never deletes the file it has just written.
    module.obsolete_snapshot_file = (scratch.path() / "link.snap").string();
    StdoutCapture out;
    ASSERT_TRUE(module.close_backup(false)) << log.all();
    EXPECT_NE(tar_listing(own).find("./vm1_full_1.meta"), std::string::npos);
    EXPECT_NE(out.text().find("MAIN SNAPSHOT FILENAME:" + own + "\n"), std::string::npos);
}

TEST_F(SnapshotFile, RestoreClosing) {
    auto& o = module.options_;
    o.operation = ZvModuleOperations::Restore;
    o.record_id = "R";
    ASSERT_EQ(module.define_restore_directory(), 0);
    const std::string restore_dir = o.tmp_operation_directory;
    write_file(fs::path(restore_dir) / "vda.img", "data");
    module.reference_snapshot_directory = (op / "ref.snap_dir").string();
    fs::create_directories(module.reference_snapshot_directory);

    module.close_restore();  // not the last file: restored data stays
    EXPECT_FALSE(fs::exists(module.reference_snapshot_directory));
    EXPECT_TRUE(fs::exists(fs::path(restore_dir) / "vda.img"));

    module.last = true;
    module.close_restore();
    EXPECT_FALSE(fs::exists(restore_dir));
    EXPECT_TRUE(fs::exists(op)) << "only the restore directory goes";
    EXPECT_TRUE(log.has("Remove temporary operation directory: " + restore_dir)) << log.all();
}

TEST_F(SnapshotFile, SparseRestoredFileMeansTheRestoreRanShort) {
    const fs::path dense = op / "dense.img";
    write_file(dense, std::string(8192, 'x'));
    EXPECT_EQ(module.check_file_to_restore_for_sparse(dense.string()), 0);

    const fs::path holes = op / "holes.img";
    write_file(holes, "");
    fs::resize_file(holes, 64 << 20);
    EXPECT_EQ(module.check_file_to_restore_for_sparse(holes.string()), 7);
    EXPECT_TRUE(log.has("\"" + holes.string() + "\" is a sparse file, i.e. it doesn't contain all "
                        "the data required for restore."))
        << log.all();
    EXPECT_TRUE(log.has(" folder. Free space is: ")) << log.all();
    EXPECT_TRUE(log.has("%")) << log.all();

    // A file that cannot be examined is not taken for a short restore.
    EXPECT_EQ(module.check_file_to_restore_for_sparse((op / "missing").string()), 0);
    EXPECT_TRUE(log.has(": unable to check sparse status of ")) << log.all();
}

}  // namespace
