// The block-device look-ups: the mount point of a path, the device mounted there and
// lsblk's record of it. Mount-table cases make real tmpfs mounts in a private namespace.
#include "modules_common/sandboxed_case.h"

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <cstdlib>

namespace fs = boost::filesystem;
using zv_test::FakeBin;
using zv_test::LogCapture;
using zv_test::SnapshotModule;

// The body of every sandboxed case of this test program (see sandboxed_case.h).
TEST(SandboxedCase, Run) {
    const std::string name = zv_test::case_env("ZV_SANDBOXED_CASE");
    if (name.empty()) GTEST_SKIP() << "runs only inside the mount namespace another test starts";
    const auto found = zv_test::sandboxed_cases().find(name);
    ASSERT_NE(found, zv_test::sandboxed_cases().end()) << "no sandboxed case " << name;
    found->second();
}

namespace {

const char* const info_signature =
    "bool ZvModuleUniversal::get_block_device_info(const string&, "
    "ZvModuleUniversal::block_device_info&) const";

// A fake lsblk answering the plain query with `plain` and the file-system query with `fs`.
void fake_lsblk(const FakeBin& bin, const std::string& plain, const std::string& fs) {
    zv_test::write_text(bin.dir() + "/plain.json", plain);
    zv_test::write_text(bin.dir() + "/fs.json", fs);
    bin.add("lsblk", "case \"$1\" in\n"
                     "  -bJ) cat " + bin.dir() + "/plain.json ;;\n"
                     "  -bfJ) cat " + bin.dir() + "/fs.json ;;\n"
                     "  *) exit 64 ;;\n"
                     "esac\n");
}

const char* const sda1_plain = R"({
   "blockdevices": [
      {"name":"sda1", "maj:min":"8:1", "rm":false, "size":10737418240, "ro":false, "type":"part",
       "mountpoints":["/"]},
      {"name":"sda2", "maj:min":"8:2", "rm":false, "size":1, "ro":true, "type":"lvm"}
   ]
})";
const char* const sda1_fs = R"({
   "blockdevices": [
      {"name":"sda1", "fstype":"ext4", "fsver":"1.0", "label":"root fs",
       "uuid":"0e5b6c1d-34b4-4b2e-9f2f-2c5bfe1f4a11", "fsavail":5368709120, "fsuse%":"50%",
       "mountpoints":["/", "/srv/data"]}
   ]
})";

}  // namespace

TEST(BlockDeviceInfo, FillsTheRecordFromBothLsblkPasses) {
    FakeBin bin;
    fake_lsblk(bin, sda1_plain, sda1_fs);
    SnapshotModule module;
    ZvModuleUniversal::block_device_info info;
    ASSERT_TRUE(module.get_block_device_info("/dev/sda1", info));

    EXPECT_EQ(info.name, "sda1");
    EXPECT_EQ(info.size, 10737418240u);
    EXPECT_FALSE(info.ro);
    EXPECT_EQ(info.type, "part");
    EXPECT_EQ(info.fstype, "ext4");
    EXPECT_EQ(info.fsver, "1.0");
    EXPECT_EQ(info.label, "root fs");
    EXPECT_EQ(info.uuid, "0e5b6c1d-34b4-4b2e-9f2f-2c5bfe1f4a11");
    EXPECT_EQ(info.fsavail, 5368709120u);
    // Only the second pass fills the mount points, each as its JSON text.
    EXPECT_EQ(info.mountpoints, (std::vector<std::string>{"\"/\"", "\"/srv/data\""}));
    EXPECT_EQ(bin.calls_of("lsblk"),
              (zv_test::CallLog{{"-bJ", "/dev/sda1"}, {"-bfJ", "/dev/sda1"}}));
}

TEST(BlockDeviceInfo, UnmountedPartitionKeepsZeroFreeSpaceAndSucceeds) {
    FakeBin bin;
    fake_lsblk(bin, R"({"blockdevices":[{"name":"sdb1","size":"2048","ro":true,"type":"part"}]})",
               R"({"blockdevices":[{"name":"sdb1","fstype":"xfs","fsavail":null,"mountpoints":[null]}]})");
    LogCapture log;
    SnapshotModule module;
    ZvModuleUniversal::block_device_info info;
    ASSERT_TRUE(module.get_block_device_info("/dev/sdb1", info));
    EXPECT_EQ(info.size, 2048u);  // older lsblk writes numbers as strings
    EXPECT_TRUE(info.ro);
    EXPECT_EQ(info.fsavail, 0u);
    EXPECT_EQ(info.mountpoints, std::vector<std::string>{"null"});
    EXPECT_EQ(log.count(std::string(info_signature) + ": can't convert null to uintmax_t"), 1);
}

TEST(BlockDeviceInfo, OldLsblkWithoutMountpointsLeavesTheListEmpty) {
    FakeBin bin;
    fake_lsblk(bin, R"({"blockdevices":[{"name":"sdc","size":10,"ro":false,"type":"disk"}]})",
               R"({"blockdevices":[{"name":"sdc","fstype":"ext4","mountpoint":"/"}]})");
    SnapshotModule module;
    ZvModuleUniversal::block_device_info info;
    ASSERT_TRUE(module.get_block_device_info("/dev/sdc", info));
    EXPECT_TRUE(info.mountpoints.empty());
}

TEST(BlockDeviceInfo, RefusesRepliesOfTheWrongShape) {
    const std::string good = R"({"blockdevices":[{"name":"x","size":10,"type":"disk"}]})";
    struct Case {
        std::string plain, fs, message;
    } cases[] = {
        {"[1]", good, ": json value is not an object"},
        {"{}", good, ": json object value is empty"},
        {R"({"blockdevices":{"name":"x"}})", good, ": json value is not an array"},
        {R"({"blockdevices":[]})", good, ": array is empty"},
        {R"({"blockdevices":[{}]})", good, ": json object value is empty"},
        {R"({"blockdevices":["x"]})", good, ": json value is not an object"},
        {R"({"blockdevices":[{"size":"10G"}]})", good, ": can't convert 10G to uintmax_t"},
        {R"({"blockdevices":[{"size":-1}]})", good, ": can't convert -1 to uintmax_t"},
        {good, R"({"blockdevices":[]})", ": array is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plain + " / " + c.fs);
        FakeBin bin;
        fake_lsblk(bin, c.plain, c.fs);
        LogCapture log;
        SnapshotModule module;
        ZvModuleUniversal::block_device_info info;
        EXPECT_FALSE(module.get_block_device_info("/dev/x", info));
        EXPECT_EQ(log.count(info_signature + c.message), 1);
    }
}

TEST(BlockDeviceInfo, ReplyWithoutDeviceListSetsNothing) {
    FakeBin bin;
    fake_lsblk(bin, R"({"other":1})", R"({"other":1})");
    SnapshotModule module;
    ZvModuleUniversal::block_device_info info;
    EXPECT_TRUE(module.get_block_device_info("/dev/x", info));
    EXPECT_EQ(info.name, "");
    EXPECT_EQ(info.size, 0u);
}

TEST(BlockDeviceInfo, FailingLsblkIsReportedWithItsOutputAndStopsTheLookUp) {
    FakeBin bin;
    bin.add("lsblk", "echo \"lsblk: $2: not a block device\"; exit 32\n");
    LogCapture log;
    SnapshotModule module;
    ZvModuleUniversal::block_device_info info;
    EXPECT_FALSE(module.get_block_device_info("/dev/no such'dev", info));
    EXPECT_EQ(log.count(std::string(info_signature) + ": command: lsblk -bJ '/dev/no such'\\''dev'"), 1);
    EXPECT_EQ(log.count("lsblk: /dev/no such'dev: not a block device"), 1);
    // The device reaches lsblk as one argument, quote and blank included.
    EXPECT_EQ(bin.calls_of("lsblk"), (zv_test::CallLog{{"-bJ", "/dev/no such'dev"}}));
}

TEST(BlockDeviceInfo, ReplyThatIsNotJsonThrowsToTheCaller) {
    FakeBin bin;
    fake_lsblk(bin, "NAME SIZE\nsda 10\n", "");
    SnapshotModule module;
    ZvModuleUniversal::block_device_info info;
    EXPECT_THROW(module.get_block_device_info("/dev/sda", info), boost::system::system_error);
}

TEST(Mountpoint, StatNamesTheMountPointOfAPath) {
    SnapshotModule module;
    EXPECT_EQ(module.get_mountpoint("/"), "/");
    EXPECT_EQ(module.get_mountpoint("/proc/self"), "/proc");
}

TEST(Mountpoint, PathWithQuoteReachesStatUnchanged) {
    FakeBin bin;
    bin.add("stat", "echo /srv\n");
    SnapshotModule module;
    EXPECT_EQ(module.get_mountpoint("/srv/it's $(here)"), "/srv");
    EXPECT_EQ(bin.calls_of("stat"), (zv_test::CallLog{{"-c", "%m", "--", "/srv/it's $(here)"}}));
}

TEST(Mountpoint, MissingPathGivesEmptyResultAndBothErrorLines) {
    LogCapture log;
    SnapshotModule module;
    EXPECT_EQ(module.get_mountpoint("/nonexistent/zv-path"), "");
    EXPECT_EQ(log.count("std::__cxx11::string ZvModuleUniversal::get_mountpoint(const string&) "
                        "const: command: stat -c %m -- '/nonexistent/zv-path'"),
              1);
    EXPECT_EQ(log.count("No such file or directory"), 1);
}

// Mount-table cases. A tmpfs takes any text as its source, so a symbolic link to a
// scratch file stands for a device path that realpath resolves, and sources and mount
// points can hold the characters the kernel escapes (blank, tab, line feed, backslash).
ZV_SANDBOXED_CASE(mount_table_lookups) {
    using zv_utils_common::shell_quote;
    const std::string root = zv_test::case_env("CASE_ROOT");
    const auto mount = [](const std::string& source, const std::string& dir) {
        fs::create_directories(dir);
        const std::string command = "mount -t tmpfs " + shell_quote(source) + " " + shell_quote(dir);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    };
    zv_test::write_text(root + "/dev/sdz1", "");
    fs::create_symlink(root + "/dev/sdz1", root + "/by-uuid-1234");
    const struct {
        std::string dir, source;
    } cases[] = {
        {root + "/mount point", root + "/by-uuid-1234"},
        {root + "/tab\there", "dev\tice"},
        {root + "/line\nfeed", "sdz2"},
        {root + "/back\\slash", "back\\device"},
        {root + "/dec oy", "decoy-device"},
        {root + "/plain", "dev ice"},
    };
    for (const auto& c : cases) {
        mount(c.source, c.dir);
        zv_test::write_text(c.dir + "/file", "data");
    }
    // Two mounts on one directory: the second hides the first.
    mount("first-device", root + "/stacked");
    mount("second-device", root + "/stacked");
    // A directory named like the escaped form of another, and not a mount point itself.
    fs::create_directories(root + "/dec\\040oy");
    // A resource that is a symbolic link on one file system to a file on another.
    fs::create_symlink(root + "/plain/file", root + "/link");

    LogCapture log;
    SnapshotModule module;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        EXPECT_EQ(module.get_mountpoint(c.dir + "/file"), c.dir);
        EXPECT_EQ(module.get_block_device(c.dir, false), c.source);
    }
    EXPECT_EQ(module.get_block_device(root + "/mount point", true), root + "/dev/sdz1");
    EXPECT_EQ(module.get_block_device(root + "/stacked", false), "second-device");
    EXPECT_EQ(module.get_mountpoint(root + "/link"), root + "/plain");
    EXPECT_EQ(log.count("Error"), 0);

    EXPECT_EQ(module.get_block_device(root + "/dec\\040oy", false), "");
    EXPECT_EQ(log.count("Mount point " + root + "/dec\\040oy not found in '/proc/mounts'"), 1);
    EXPECT_EQ(module.get_block_device(root + "/not mounted", true), "");
    EXPECT_EQ(log.count("Mount point " + root + "/not mounted not found in '/proc/mounts'"), 1);
}

TEST(BlockDevice, FindsMountsThroughTheEncodedMountTable) {
    if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root to make private mounts";
    zv_test::Sandbox box;
    zv_test::RunOptions options;
    options.env["CASE_ROOT"] = box.root().string() + "/case";
    zv_test::expect_case_passes(box, "mount_table_lookups", options);
}
