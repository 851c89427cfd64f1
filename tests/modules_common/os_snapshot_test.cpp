// The snapshot providers (LVM, dattobd through its stand-in) and the framework's
// orchestration: create, mount read-only, unmount and remove.
#include "modules_common/sandboxed_case.h"

#include "common/zv_utils_common.h"
#include "modules_common/os_snapshot.h"
#include "support/libvirt_env.h"
#include "support/scratch_dir.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;
using zv_test::CallLog;
using zv_test::FakeBin;
using zv_test::LogCapture;
using zv_test::SnapshotModule;
using zv_utils_common::shell_quote;

namespace {

const std::string dattobd_standin = std::string(ZV_SOURCE_DIR) + "/standins/dattobd";

// The dattobd stand-in on PATH with its state under the fake bin directory.
struct Dattobd {
    FakeBin bin;
    std::string state = bin.dir() + "/datto";
    EnvironmentVariable variable{"DATTOBD_STANDIN_DIR", state};
    Dattobd() {
        bin.prepend(dattobd_standin);
        fs::create_directories(state);
    }
    void add_active(const std::string& minor, const std::string& device) const {
        std::ofstream(state + "/devices", std::ios::app) << minor << "\t" << device << "\t/.cow\t1\n";
    }
    CallLog dbdctl_calls() const { return zv_test::calls(state + "/calls"); }
    // The active snapshots as "minor device".
    std::vector<std::string> active() const {
        std::vector<std::string> result;
        std::ifstream devices(state + "/devices");
        for (std::string minor, device, rest; std::getline(devices, minor, '\t') &&
                                              std::getline(devices, device, '\t') &&
                                              std::getline(devices, rest);)
            result.push_back(minor + " " + device);
        return result;
    }
};

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

}  // namespace

TEST(SnapshotFactory, ChoosesTheProviderBySnapshotAndDeviceType) {
    LogCapture log;
    EXPECT_NE(dynamic_cast<SnapshotLVM*>(SnapshotFactory().createSnapshot("lvm", "lvm").get()), nullptr);
    EXPECT_NE(dynamic_cast<SnapshotDattobd*>(SnapshotFactory().createSnapshot("part", "dattobd").get()),
              nullptr);
    EXPECT_EQ(log.count("Warning"), 0);

    EXPECT_EQ(SnapshotFactory().createSnapshot("part", "lvm"), nullptr);
    EXPECT_EQ(log.count("Unable to use LVM snapshot for non-LVM volume: part, skip"), 1);
    EXPECT_EQ(log.count("SnapshotFactory:: it is impossible to determine the snapshot type. Block "
                        "device type: part, snapshot type: lvm"),
              1);
    for (const std::string type : {"", "zfs", "LVM"}) {
        log.clear();
        EXPECT_EQ(SnapshotFactory().createSnapshot("lvm", type), nullptr);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.count("SnapshotFactory:: wrong value of OS snapshot type: " + type), 1);
        EXPECT_EQ(log.count("Error"), 1);
    }
}

TEST(SnapshotSize, IsTheShareOfTheDeviceInWholeSectors) {
    SnapshotModule module;
    const struct {
        int percent;
        uintmax_t device, expected;
    } cases[] = {{10, 10737418240u, 1073741824u}, {10, 2554, 0}, {10, 2555, 512},
                 {10, 0, 0},                      {50, 1536, 1024}, {100, 1000, 1024},
                 {-5, 10737418240u, 0}};
    for (const auto& c : cases) {
        module.os_snapshot_size = c.percent;
        EXPECT_EQ(module.calculate_OS_snapshot_size(c.device), c.expected)
            << c.percent << "% of " << c.device;
    }
}

TEST(DattobdProvider, FindsActiveSnapshotsAndTheNextFreeMinor) {
    Dattobd datto;
    SnapshotDattobd provider;
    bool exists = true;
    std::string minor = "unchanged";
    ASSERT_TRUE(provider.is_dattobd_snapshot_exists("/dev/sda1", exists, minor));
    EXPECT_FALSE(exists);
    ASSERT_TRUE(provider.get_dattobd_free_minor(minor));
    EXPECT_EQ(minor, "0");

    datto.add_active("0", "/dev/sda1");
    datto.add_active("2", "/dev/sdb1");
    ASSERT_TRUE(provider.is_dattobd_snapshot_exists("/dev/sdb1", exists, minor));
    EXPECT_TRUE(exists);
    EXPECT_EQ(minor, "2");
    ASSERT_TRUE(provider.is_dattobd_snapshot_exists("/dev/sdb", exists, minor));
    EXPECT_FALSE(exists);
    // Free minors below the largest are not reused.
    ASSERT_TRUE(provider.get_dattobd_free_minor(minor));
    EXPECT_EQ(minor, "3");
}

TEST(DattobdProvider, RefusesStatusDocumentsOfTheWrongShape) {
    const std::string exists_signature =
        "bool SnapshotDattobd::is_dattobd_snapshot_exists(const string&, bool&, "
        "std::__cxx11::string&) const";
    const struct {
        const char* document;
        const char* message;  // of both readers; empty: the look-up succeeds
        bool free_minor_ok;
    } cases[] = {
        {"[]", ": json value is not an object", false},
        {"{}", ": json object value is empty", false},
        {R"({"devices": {}})", ": json value is not an array", false},
        {R"({"devices": [{}]})", ": json object value is empty", false},
        {R"({"devices": [3]})", ": json value is not an object", false},
        {R"({"version": "0.10.16"})", "", false},
        {R"({"devices": [{"minor": 4}]})", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        Dattobd datto;
        zv_test::write_text(datto.state + "/datto-info", c.document);
        LogCapture log;
        SnapshotDattobd provider;
        bool exists = true;
        std::string minor;
        EXPECT_EQ(provider.is_dattobd_snapshot_exists("/dev/sda1", exists, minor), !*c.message);
        EXPECT_FALSE(exists);
        if (*c.message) {
            EXPECT_EQ(log.count(exists_signature + c.message), 1);
        }
        EXPECT_EQ(provider.get_dattobd_free_minor(minor), c.free_minor_ok);
    }
}

TEST(DattobdProvider, MissingModuleStatusIsAFailedLookUp) {
    FakeBin bin;
    bin.prepend(dattobd_standin);
    EnvironmentVariable variable("DATTOBD_STANDIN_DIR", bin.dir() + "/absent");
    LogCapture log;
    SnapshotDattobd provider;
    bool exists = true;
    std::string minor;
    EXPECT_FALSE(provider.is_dattobd_snapshot_exists("/dev/sda1", exists, minor));
    EXPECT_EQ(log.count(": command: cat /proc/datto-info"), 1);
    EXPECT_EQ(log.count("cat: /proc/datto-info: No such file or directory"), 1);
}

TEST(DattobdProvider, NonNumericMinorThrows) {
    Dattobd datto;
    zv_test::write_text(datto.state + "/datto-info", R"({"devices": [{"minor": "x"}]})");
    SnapshotDattobd provider;
    std::string minor;
    EXPECT_THROW(provider.get_dattobd_free_minor(minor), std::invalid_argument);
}

TEST(DattobdProvider, ProviderThatSetUpNothingDestroysNothing) {
    Dattobd datto;
    datto.add_active("0", "/dev/sdb1");
    datto.add_active("1", "/dev/sda1");  // another task's snapshot of the same device
    SnapshotDattobd provider;
    EXPECT_TRUE(provider.remove("/dev/sda1"));
    EXPECT_TRUE(datto.dbdctl_calls().empty());
    // Nor does it need the status document for that.
    fs::remove_all(datto.state);
    EXPECT_TRUE(provider.remove("/dev/sda1"));
}

TEST(DattobdProvider, FailingDbdctlIsReported) {
    Dattobd datto;
    zv_test::write_text(datto.state + "/fail", "setup-snapshot\ndestroy\n");
    LogCapture log;
    SnapshotDattobd provider;
    std::string out = "unchanged";
    EXPECT_FALSE(provider.create("/dev/sda1", "sda1", "/mnt", "7", 5 * 1048576 - 1, out));
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(log.count("virtual bool SnapshotDattobd::create(const string&, const string&, const "
                        "string&, const string&, uintmax_t, std::__cxx11::string&): command: "
                        "dbdctl setup-snapshot -f 4 '/dev/sda1' '/mnt/.zelvor_dattobd_7' ''"),
              1);
    EXPECT_EQ(log.count("dbdctl: setup-snapshot failed"), 1);
    // What failed to be set up is not there to destroy.
    EXPECT_TRUE(provider.remove("/dev/sda1"));
    EXPECT_EQ(datto.dbdctl_calls().size(), 1u);
}

// check() asks lsmod for the kernel module, which only a fake at /sbin/lsmod can show.
ZV_SANDBOXED_CASE(dattobd_check) {
    Dattobd datto;
    LogCapture log;
    SnapshotDattobd provider;
    ASSERT_TRUE(provider.check("/dev/sda1"));
    EXPECT_EQ(provider.chosen_minor(), "0");
    EXPECT_EQ(log.count("Free dattobd minor to create a snapshot: 0"), 1);

    // create uses the minor check chose.
    std::string out;
    ASSERT_TRUE(provider.create("/dev/sda1", "sda1", "/", "42", 1073741824u, out));
    EXPECT_EQ(out, "/dev/datto0");
    EXPECT_EQ(datto.dbdctl_calls(),
              (CallLog{{"setup-snapshot", "-f", "1024", "/dev/sda1", "//.zelvor_dattobd_42", "0"}}));
    EXPECT_EQ(log.count("Dattobd snapshot was created: /dev/datto0"), 1);

    EXPECT_FALSE(provider.check("/dev/sda1"));
    EXPECT_EQ(log.count("Can't create dattobd snapshot of the device /dev/sda1. The snapshot "
                        "exists: /dev/datto0"),
              1);
    EXPECT_EQ(log.count("Command to destroy the snapshot: dbdctl destroy 0"), 1);

    ASSERT_TRUE(provider.remove("/dev/sda1"));
    EXPECT_EQ(datto.dbdctl_calls().back(), (std::vector<std::string>{"destroy", "0"}));
    EXPECT_EQ(log.count("Dattobd snapshot was destroyed: /dev/datto0"), 1);

    zv_test::write_text(datto.state + "/datto-info", "{}");
    EXPECT_FALSE(provider.check("/dev/sdb1"));
    EXPECT_EQ(log.count("SnapshotDattobd::check: can't check weather dattobd snapshot exists for "
                        "the device: /dev/sdb1"),
              1);

    fs::remove(zv_test::case_env("LSMOD_LISTS"));
    EXPECT_FALSE(provider.check("/dev/sdb1"));
    EXPECT_EQ(log.count("Dattobd is not ready or not installed"), 1);
}

// A provider that set up minor 2 of /dev/sda1 removes it after the status changed as each
// case says; a second removal, once nothing stands in the way, leaves nothing behind.
ZV_SANDBOXED_CASE(dattobd_removal) {
    const auto replace_active = [](const std::string& lines) {
        return [lines](const Dattobd& datto) { zv_test::write_text(datto.state + "/devices", lines); };
    };
    const struct {
        const char* name;
        std::function<void(const Dattobd&)> meanwhile;
        bool returned;
        CallLog calls;                  // dbdctl calls of the removal
        std::vector<std::string> left;  // active snapshots afterwards
    } cases[] = {
        {"its own snapshot is destroyed", [](const Dattobd&) {}, true, {{"destroy", "2"}},
         {"1 /dev/sdb1"}},
        {"another task's snapshot of the device survives",
         replace_active("1\t/dev/sdb1\t/.cow\t1\n3\t/dev/sda1\t/.cow\t1\n"), true, {},
         {"1 /dev/sdb1", "3 /dev/sda1"}},
        {"its minor, now of another device, survives", replace_active("2\t/dev/sdc1\t/.cow\t1\n"),
         true, {}, {"2 /dev/sdc1"}},
        {"a failed look-up fails",
         [](const Dattobd& datto) { zv_test::write_text(datto.state + "/datto-info", "{}"); }, false,
         {}, {"1 /dev/sdb1", "2 /dev/sda1"}},
        {"a failed destroy fails",
         [](const Dattobd& datto) { zv_test::write_text(datto.state + "/fail", "destroy\n"); },
         false, {{"destroy", "2"}}, {"1 /dev/sdb1", "2 /dev/sda1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Dattobd datto;
        datto.add_active("1", "/dev/sdb1");
        SnapshotDattobd provider;
        std::string out;
        ASSERT_TRUE(provider.check("/dev/sda1"));
        ASSERT_TRUE(provider.create("/dev/sda1", "sda1", "/", "42", 1048576, out));
        ASSERT_EQ(out, "/dev/datto2");
        fs::remove(datto.state + "/calls");
        c.meanwhile(datto);
        LogCapture log;
        EXPECT_EQ(provider.remove("/dev/sda1"), c.returned);
        EXPECT_EQ(datto.dbdctl_calls(), c.calls);
        EXPECT_EQ(datto.active(), c.left);
        if (!c.returned) {
            EXPECT_EQ(log.count("Error"), 2);
            fs::remove(datto.state + "/datto-info");
            fs::remove(datto.state + "/fail");
            EXPECT_TRUE(provider.remove("/dev/sda1"));
            EXPECT_EQ(datto.active(), std::vector<std::string>{"1 /dev/sdb1"});
        }
        const auto calls = datto.dbdctl_calls().size();
        EXPECT_TRUE(provider.remove("/dev/sda1"));
        EXPECT_EQ(datto.dbdctl_calls().size(), calls);
    }
}

namespace {
// /sbin/lsmod listing dattobd while the file LSMOD_LISTS exists.
void fake_lsmod(zv_test::Sandbox& box, zv_test::RunOptions& options) {
    const std::string lists = box.root().string() + "/lsmod-lists-dattobd";
    zv_test::write_text(lists, "");
    options.env["LSMOD_LISTS"] = lists;
    box.fake_program("/sbin/lsmod", "#!/bin/sh\necho 'Module                  Size  Used by'\n"
                                    "[ -e \"$LSMOD_LISTS\" ] && echo 'dattobd               45056  0'\n"
                                    "echo 'ext4                  1019904  1'\n");
}
}  // namespace

class DattobdRun : public ::testing::Test {
protected:
    void expect(const std::string& name) {
        if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root for a fake /sbin/lsmod";
        zv_test::Sandbox box;
        zv_test::RunOptions options;
        fake_lsmod(box, options);
        options.env["CASE_ROOT"] = box.root().string() + "/case";
        zv_test::expect_case_passes(box, name, options);
    }
};

TEST_F(DattobdRun, CheckNeedsTheModuleAndNoActiveSnapshotThenCreateUsesItsMinor) {
    expect("dattobd_check");
}
TEST_F(DattobdRun, RemovesOnlyWhatItSetUp) { expect("dattobd_removal"); }

// lvcreate and lvremove are fakes; /dev/mapper is a scratch directory holding the
// snapshot device when CASE_SNAPSHOT_READABLE says so.
ZV_SANDBOXED_CASE(lvm_provider) {
    const std::string calls = zv_test::case_env("LVM_CALLS");
    LogCapture log;
    {
        SnapshotLVM provider;
        std::string out;
        ASSERT_TRUE(provider.check("/dev/mapper/vg-data"));
        ASSERT_TRUE(provider.create("/dev/mapper/vg-data", "vg-data", "/srv", "42", 1073741824u, out));
        EXPECT_EQ(out, "/dev/mapper/vg-data--zv--snap--42");
        EXPECT_EQ(log.count("The snapshot was created: /dev/mapper/vg-data--zv--snap--42"), 1);
        ASSERT_TRUE(provider.remove("ignored"));
        EXPECT_EQ(zv_test::calls(calls),
                  (CallLog{{"lvcreate", "--size=1073741824B", "--snapshot", "--name",
                            "/dev/mapper/vg-data--zv--snap--42", "/dev/mapper/vg-data"},
                           {"lvremove", "-y", "/dev/mapper/vg-data--zv--snap--42"}}));
        EXPECT_EQ(log.count("LVM snapshot was removed: /dev/mapper/vg-data--zv--snap--42"), 1);
    }
    fs::remove(calls);
    {
        // The device of task 43 does not appear: the snapshot is removed again.
        SnapshotLVM provider;
        std::string out;
        EXPECT_FALSE(provider.create("/dev/mapper/vg-data", "vg-data", "/srv", "43", 512, out));
        EXPECT_EQ(log.count(": Unable to read LVM snapshot: /dev/mapper/vg-data--zv--snap--43. "
                            "Error: No such file or directory"),
                  1);
        EXPECT_EQ(log.count("LVM snapshot has been deleted"), 1);
        EXPECT_EQ(zv_test::calls(calls).back(),
                  (std::vector<std::string>{"lvremove", "-y", "/dev/mapper/vg-data--zv--snap--43"}));
    }
    {
        SnapshotLVM provider;
        std::string out = "unchanged";
        EXPECT_FALSE(provider.create("/dev/mapper/vg-fail", "vg-fail", "/srv", "42", 512, out));
        EXPECT_EQ(out, "unchanged");
        EXPECT_EQ(log.count(": Unable create LVM snapshot for /dev/mapper/vg-fail"), 1);
        EXPECT_EQ(log.count("Command: /sbin/lvcreate --size=512B --snapshot --name "
                            "'/dev/mapper/vg-fail--zv--snap--42' '/dev/mapper/vg-fail'"),
                  1);
        EXPECT_EQ(log.count("Volume group \"vg-fail\" has insufficient free space"), 1);
        EXPECT_EQ(log.count("LVM snapshot wasn't created"), 1);
        // A volume of that name that lvcreate did not make is never removed.
        const auto before = zv_test::calls(calls).size();
        EXPECT_FALSE(provider.remove("/dev/mapper/vg-fail"));
        EXPECT_EQ(zv_test::calls(calls).size(), before);
        EXPECT_EQ(log.count("SnapshotLVM: LVM snapshot path is empty, unable to remove LVM snapshot"),
                  1);
    }
    {
        // The task id is the client's: quotes, blanks and command text in it stay
        // inside the one argument that names the snapshot, and run nothing.
        const std::string marker = calls + ".pwned";
        const std::string task = "4'2 $(touch " + marker + "); touch " + marker;
        const std::string path = "/dev/mapper/vg-data--zv--snap--" + task;
        SnapshotLVM provider;
        std::string out;
        fs::remove(calls);
        EXPECT_FALSE(provider.create("/dev/mapper/vg-data", "vg-data", "/srv", task, 512, out));
        EXPECT_EQ(zv_test::calls(calls),
                  (CallLog{{"lvcreate", "--size=512B", "--snapshot", "--name", path,
                            "/dev/mapper/vg-data"},
                           {"lvremove", "-y", path}}));
        EXPECT_FALSE(fs::exists(marker));
    }
    {
        // A provider that never made a snapshot has nothing to remove.
        SnapshotLVM provider;
        EXPECT_FALSE(provider.remove("/dev/mapper/vg-data"));
        EXPECT_EQ(log.count("SnapshotLVM: LVM snapshot path is empty, unable to remove LVM snapshot"),
                  2);
    }
}

TEST(LvmProvider, CreatesAReadableSnapshotOrRemovesIt) {
    if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root for fakes at /sbin";
    zv_test::Sandbox box;
    const std::string calls = box.root().string() + "/lvm.calls";
    const std::string mapper = box.root().string() + "/mapper";
    zv_test::write_text(mapper + "/vg-data--zv--snap--42", "snapshot");
    box.bind("/dev/mapper", mapper);
    // lvcreate and lvremove may be links to one lvm program, and a bind lands on the
    // link's target: one script serves both and tells them apart by its name.
    const std::string lvm = "#!/bin/bash\nset -- \"$(basename \"$0\")\" \"$@\"\n" +
                            zv_test::log_arguments_to(calls) +
                            "case \"$1 $6\" in 'lvcreate '*vg-fail) echo '  Volume group \"vg-fail\" "
                            "has insufficient free space'; exit 5 ;; esac\n";
    box.fake_program("/sbin/lvcreate", lvm);
    box.fake_program("/sbin/lvremove", lvm);
    zv_test::RunOptions options;
    options.env["LVM_CALLS"] = calls;
    zv_test::expect_case_passes(box, "lvm_provider", options);
}

namespace {

// A volume group of its own on a loop device over a sparse scratch file, with one
// logical volume "data" holding an ext4 file system; everything it set up goes again
// when it goes, whatever state a failed test left (mounts, snapshots, the group).
class ThrowawayVolumeGroup {
public:
    ThrowawayVolumeGroup() : vg_("zvtest-lvm-" + std::to_string(::getpid())) {
        file_ = fs::path(zv_test::scratch_root()) / (vg_ + ".img");
        mounts_ = fs::path(zv_test::scratch_root()) / (vg_ + ".mnt");
        fs::create_directories(mounts_);
        step({"truncate", "-s", "256M", file_.string()});
        const auto loop = step({"losetup", "--find", "--show", file_.string()});
        loop_ = loop.out.substr(0, loop.out.find('\n'));
        step({"pvcreate", "-q", "-y", loop_});
        step({"vgcreate", "-q", vg_, loop_});
        step({"lvcreate", "-q", "-y", "-L", "64M", "-n", "data", vg_});
        step({"mkfs.ext4", "-q", origin()});
    }
    ~ThrowawayVolumeGroup() {
        for (const auto& mounted : mounted_) zv_test::run_program({"umount", "-l", mounted});
        if (!loop_.empty()) {
            zv_test::run_program({"vgremove", "-q", "-f", vg_});
            zv_test::run_program({"pvremove", "-q", "-f", loop_});
            zv_test::run_program({"losetup", "-d", loop_});
        }
        boost::system::error_code ignored;
        fs::remove(file_, ignored);
        fs::remove_all(mounts_, ignored);
    }

    // What lsblk and device-mapper call the volume "data": the dashes of the group's
    // name doubled.
    std::string dm_name() const { return boost::replace_all_copy(vg_, "-", "--") + "-data"; }
    std::string origin() const { return "/dev/mapper/" + dm_name(); }
    std::vector<std::string> volumes() const {
        std::vector<std::string> names;
        std::istringstream lines(step({"lvs", "--noheadings", "-o", "lv_name", vg_}).out);
        for (std::string name; lines >> name;) names.push_back(name);
        return names;
    }
    // Mounts `device` (read-only or not) at a directory of its own and returns it.
    fs::path mount(const std::string& device, bool read_only) {
        const fs::path at = mounts_ / std::to_string(mounted_.size());
        fs::create_directories(at);
        step({"mount", "-o", read_only ? "ro" : "rw", device, at.string()});
        mounted_.push_back(at.string());
        return at;
    }
    void unmount(const fs::path& at) {
        step({"umount", at.string()});
        mounted_.erase(std::find(mounted_.begin(), mounted_.end(), at.string()));
    }

private:
    zv_test::CommandResult step(const std::vector<std::string>& argv) const {
        auto result = zv_test::run_program(argv);
        if (!result.ok()) throw std::runtime_error(result.describe());
        return result;
    }

    std::string vg_, loop_;
    fs::path file_, mounts_;
    std::vector<std::string> mounted_;
};

}  // namespace

// The provider against the real LVM tools: the snapshot holds the volume as it was
// when taken, reads back through a read-only mount, and its removal leaves only the
// origin in the group.
TEST(LvmProvider, RealLogicalVolumeSnapshot) {
    if (!fs::exists("/dev/mapper/control"))
        GTEST_SKIP() << "no device-mapper on this host (/dev/mapper/control is missing), so LVM "
                        "cannot make snapshots here";
    if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices and LVM";
    std::unique_ptr<ThrowawayVolumeGroup> group;
    try {
        group = std::make_unique<ThrowawayVolumeGroup>();
    } catch (const std::exception& e) {
        FAIL() << "cannot set up a throwaway volume group: " << e.what();
    }
    const fs::path origin = group->mount(group->origin(), false);
    zv_test::write_text((origin / "file").string(), "before the snapshot\n");
    group->unmount(origin);

    LogCapture log;
    SnapshotLVM provider;
    std::string out;
    ASSERT_TRUE(provider.check(group->origin()));
    ASSERT_TRUE(provider.create(group->origin(), group->dm_name(), "/srv", "42", 16u << 20, out))
        << boost::algorithm::join(log.lines(), "\n");
    EXPECT_EQ(out, group->origin() + "--zv--snap--42");
    EXPECT_EQ(group->volumes(), (std::vector<std::string>{"data", "data-zv-snap-42"}));

    const fs::path changed = group->mount(group->origin(), false);
    zv_test::write_text((changed / "file").string(), "after the snapshot\n");
    group->unmount(changed);
    const fs::path snapshot = group->mount(out, true);
    EXPECT_EQ(zv_test::read_file(snapshot / "file"), "before the snapshot\n");
    group->unmount(snapshot);

    ASSERT_TRUE(provider.remove(group->origin())) << boost::algorithm::join(log.lines(), "\n");
    EXPECT_EQ(log.count("LVM snapshot was removed: " + out), 1);
    EXPECT_EQ(group->volumes(), std::vector<std::string>{"data"});
    EXPECT_FALSE(fs::exists(out));
}

TEST(OsSnapshot, SwitchedOffCreatesNothingAndRemovesNothing) {
    LogCapture log;
    SnapshotModule module;
    std::string device, mount_dir, mountpoint;
    EXPECT_FALSE(module.create_OS_snapshot(device, true, mount_dir, mountpoint));
    EXPECT_FALSE(module.create_OS_snapshot_multiple("/", device, true, mount_dir, mountpoint));
    EXPECT_EQ(log.count("Snapshots are not used "), 2);
    EXPECT_FALSE(module.defect_flag);
    EXPECT_TRUE(module.remove_OS_snapshot());
    EXPECT_TRUE(module.remove_all_OS_snapshots());
}

TEST(OsSnapshot, FailuresBeforeTheSnapshotLeaveTheDefectFlagAndNoProvider) {
    FakeBin bin;
    zv_test::write_text(bin.dir() + "/size", "2554");
    bin.add("lsblk", "echo \"{\\\"blockdevices\\\":[{\\\"name\\\":\\\"sdz1\\\",\\\"size\\\":$(cat " +
                         bin.dir() + "/size),\\\"type\\\":\\\"part\\\"}]}\"\n");
    LogCapture log;
    SnapshotModule module;
    module.use_os_snapshot = true;
    module.os_snapshot_type = "lvm";
    std::string mount_dir, mountpoint = "/srv";

    std::string device = "/dev/sdz1";
    EXPECT_FALSE(module.create_OS_snapshot(device, true, mount_dir, mountpoint));
    EXPECT_EQ(log.count("Block device /dev/sdz1, name: sdz1, size: 2554 bytes"), 1);
    EXPECT_EQ(log.count("Expected OS snapshot size: 0 bytes"), 1);
    EXPECT_EQ(log.count(": unable to create a snapshot with a size of zero"), 1);
    EXPECT_TRUE(module.defect_flag);

    zv_test::write_text(bin.dir() + "/size", "2555");
    module.defect_flag = false;
    EXPECT_FALSE(module.create_OS_snapshot(device, true, mount_dir, mountpoint));
    EXPECT_EQ(log.count("Expected OS snapshot size: 512 bytes"), 1);
    EXPECT_EQ(log.count("Try to use snapshot to make a backup: lvm"), 2);
    EXPECT_EQ(log.count("Unable to use LVM snapshot for non-LVM volume: part, skip"), 1);
    EXPECT_EQ(module.os_snapshot, nullptr);
    EXPECT_TRUE(module.defect_flag);
    EXPECT_EQ(device, "/dev/sdz1");

    bin.add("lsblk", "exit 1\n");
    EXPECT_FALSE(module.create_OS_snapshot_multiple("/", device, true, mount_dir, mountpoint));
    EXPECT_EQ(log.count("Can't get block device info: /dev/sdz1"), 1);
    EXPECT_TRUE(module.os_snapshots.empty());
}

TEST(OsSnapshot, MultipleMountRefusesAnExistingDirectoryTheSingleOneMountsOverIt) {
    FakeBin bin;
    bin.add("mount", "");
    const std::string work = bin.dir() + "/work";
    fs::create_directories(work + "/9");
    ZvModuleOptions options;
    options.tmp_operation_directory = work;
    options.task_id = "9";
    LogCapture log;
    SnapshotModule module(options);

    std::string mount_dir;
    EXPECT_FALSE(module.mount_OS_snapshot_multiple("/dev/datto0", mount_dir, "-o ro,norecovery"));
    EXPECT_EQ(mount_dir, work + "/9");
    EXPECT_EQ(log.count("bool ZvModuleUniversal::mount_OS_snapshot_multiple(const string&, "
                        "std::__cxx11::string&, const string&) const: Create directory failed: " +
                        work + "/9"),
              1);
    EXPECT_TRUE(bin.calls_of("mount").empty());

    mount_dir = "/somewhere/else";
    EXPECT_TRUE(module.mount_OS_snapshot("/dev/datto0", mount_dir, "-o ro,norecovery,nouuid"));
    EXPECT_EQ(mount_dir, work + "/9");
    EXPECT_EQ(bin.calls_of("mount"),
              (CallLog{{"-o", "ro,norecovery,nouuid", "/dev/datto0", work + "/9"}}));
    EXPECT_EQ(log.count("Mount: " + work + "/9, block device: /dev/datto0"), 1);

    mount_dir = work + "/new/deeper";
    EXPECT_TRUE(module.mount_OS_snapshot_multiple("/dev/datto1", mount_dir, "-o ro"));
    EXPECT_TRUE(fs::is_directory(work + "/new/deeper"));
}

TEST(OsSnapshot, UnmountOfADirectoryNotMountedLeavesIt) {
    FakeBin bin;
    bin.add("umount", "");
    LogCapture log;
    SnapshotModule module;
    EXPECT_TRUE(module.umount_OS_snapshot_multiple(bin.dir() + "/absent"));
    EXPECT_TRUE(module.umount_OS_snapshot_multiple(bin.dir()));
    EXPECT_TRUE(fs::is_directory(bin.dir()));
    EXPECT_EQ(log.count("Mount point " + bin.dir() + " not found in '/proc/mounts'"), 1);
    EXPECT_TRUE(bin.calls_of("umount").empty());
}

namespace {

// A stand-in for the origin device: a tmpfs whose source reads /dev/sdz9, holding the
// resource, with lsblk describing it and mount/umount working on tmpfs mounts.
struct OriginDevice {
    FakeBin bin;
    std::string root = zv_test::case_env("CASE_ROOT");
    std::string origin = root + "/origin";
    std::string work = root + "/work";
    OriginDevice(const std::string& fstype) {
        fs::create_directories(origin);
        fs::create_directories(work);
        run("mount -t tmpfs /dev/sdz9 " + shell_quote(origin));
        zv_test::write_text(origin + "/data/file", "data");
        zv_test::write_text(bin.dir() + "/plain.json",
                            R"({"blockdevices":[{"name":"sdz9","size":10737418240,"ro":false,"type":"part"}]})");
        zv_test::write_text(bin.dir() + "/fs.json", R"({"blockdevices":[{"name":"sdz9","fstype":")" +
                                                        fstype + R"(","mountpoints":["/x"]}]})");
        bin.add("lsblk", "[ \"$1\" = -bJ ] && exec cat " + bin.dir() + "/plain.json\nexec cat " +
                             bin.dir() + "/fs.json\n");
        // The snapshot device's content is not needed; its mount must appear in the table.
        bin.add("mount", "exec /usr/bin/mount -t tmpfs -o ro \"$3\" \"$4\"\n");
        bin.add("umount", "[ -e \"$FAIL_UMOUNT_OF\" ] && grep -qx -- \"$2\" \"$FAIL_UMOUNT_OF\" && "
                          "{ echo \"umount: $2: target is busy.\"; exit 32; }\n"
                          "exec /usr/bin/umount \"$@\"\n");
        bin.prepend(dattobd_standin);
    }
    ZvModuleOptions options() const {
        ZvModuleOptions result;
        result.resource = origin + "/data";
        result.tmp_operation_directory = work;
        result.task_id = "42";
        return result;
    }
};

std::unique_ptr<SnapshotModule> dattobd_module(const ZvModuleOptions& options) {
    auto module = std::make_unique<SnapshotModule>(options);
    module->use_os_snapshot = true;
    module->os_snapshot_type = "dattobd";
    return module;
}

}  // namespace

ZV_SANDBOXED_CASE(single_snapshot_round_trip) {
    OriginDevice device("xfs");
    Dattobd datto;
    LogCapture log;
    auto module = dattobd_module(device.options());

    std::string snapshot, mount_dir = "ignored", mountpoint;
    module->defect_flag = false;
    ASSERT_TRUE(module->create_OS_snapshot(snapshot, true, mount_dir, mountpoint));
    EXPECT_EQ(snapshot, "/dev/datto0");
    EXPECT_EQ(mount_dir, device.work + "/42");
    EXPECT_EQ(mountpoint, device.origin);
    EXPECT_FALSE(module->defect_flag);
    EXPECT_NE(module->os_snapshot, nullptr);
    EXPECT_EQ(log.count("Resource mountpoint: " + device.origin), 1);
    EXPECT_EQ(log.count("Resource is located at the block device: /dev/sdz9"), 1);
    EXPECT_EQ(datto.dbdctl_calls(),
              (CallLog{{"setup-snapshot", "-f", "1024", "/dev/sdz9",
                        device.origin + "/.zelvor_dattobd_42", "0"}}));
    EXPECT_EQ(device.bin.calls_of("mount"),
              (CallLog{{"-o", "ro,norecovery,nouuid", "/dev/datto0", device.work + "/42"}}));
    EXPECT_EQ(module->get_block_device(device.work + "/42", false), "/dev/datto0");

    ASSERT_TRUE(module->remove_OS_snapshot());
    EXPECT_FALSE(fs::exists(device.work + "/42"));
    EXPECT_EQ(device.bin.calls_of("umount"), (CallLog{{"-lf", device.work + "/42"}}));
    EXPECT_EQ(datto.dbdctl_calls().back(), (std::vector<std::string>{"destroy", "0"}));
    EXPECT_EQ(log.count("Unmount successful: " + device.work + "/42, block device: /dev/datto0; "
                        "remove obsoleted: " + device.work + "/42"),
              1);
}

ZV_SANDBOXED_CASE(multiple_snapshots_removed_together) {
    OriginDevice device("ext4");
    Dattobd datto;
    LogCapture log;
    auto module = dattobd_module(device.options());

    // Two snapshots of the same device are refused, so the second names another origin.
    std::string first, first_dir = device.work + "/first", mountpoint;
    ASSERT_TRUE(module->create_OS_snapshot_multiple(device.origin + "/data", first, true,
                                                    first_dir, mountpoint));
    std::string second = "/dev/sdz10", second_dir = device.work + "/second";
    mountpoint = device.origin;
    ASSERT_TRUE(module->create_OS_snapshot_multiple("", second, true, second_dir, mountpoint));
    ASSERT_EQ(module->os_snapshots.size(), 2u);
    EXPECT_EQ(module->os_snapshots[0].device, "/dev/sdz9");
    EXPECT_EQ(module->os_snapshots[0].mount_dir, first_dir);
    EXPECT_EQ(module->os_snapshots[1].device, "/dev/sdz10");
    EXPECT_EQ(second, "/dev/datto1");
    EXPECT_EQ(device.bin.calls_of("mount"),
              (CallLog{{"-o", "ro,norecovery", "/dev/datto0", first_dir},
                       {"-o", "ro,norecovery", "/dev/datto1", second_dir}}));

    // The first unmount fails; both snapshots are still destroyed.
    zv_test::write_text(device.root + "/fail-umount", first_dir + "\n");
    EnvironmentVariable fail("FAIL_UMOUNT_OF", device.root + "/fail-umount");
    EXPECT_FALSE(module->remove_all_OS_snapshots());
    EXPECT_EQ(log.count("bool ZvModuleUniversal::umount_OS_snapshot_multiple(const string&) const: "
                        "command: umount -lf '" + first_dir + "'; result: umount: " + first_dir +
                        ": target is busy."),
              1);
    const CallLog calls = datto.dbdctl_calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2], (std::vector<std::string>{"destroy", "0"}));
    EXPECT_EQ(calls[3], (std::vector<std::string>{"destroy", "1"}));
    EXPECT_TRUE(fs::exists(first_dir));
    EXPECT_FALSE(fs::exists(second_dir));
    EXPECT_EQ(module->os_snapshots.size(), 2u);
    ASSERT_EQ(std::system(("umount " + shell_quote(first_dir)).c_str()), 0);
}

ZV_SANDBOXED_CASE(failed_mount_of_a_kept_snapshot) {
    OriginDevice device("ext4");
    Dattobd datto;
    LogCapture log;
    auto module = dattobd_module(device.options());
    fs::create_directories(device.work + "/taken");

    // Multiple: the snapshot that cannot be mounted is destroyed, nothing is recorded.
    std::string snapshot, mount_dir = device.work + "/taken", mountpoint;
    EXPECT_FALSE(module->create_OS_snapshot_multiple(device.origin, snapshot, true, mount_dir,
                                                     mountpoint));
    EXPECT_TRUE(module->defect_flag);
    EXPECT_TRUE(module->os_snapshots.empty());
    EXPECT_EQ(datto.dbdctl_calls().back(), (std::vector<std::string>{"destroy", "0"}));

    // Single: the same.
    device.bin.add("mount", "echo 'mount: wrong fs type'; exit 32\n");
    snapshot.clear();
    EXPECT_FALSE(module->create_OS_snapshot(snapshot, true, mount_dir, mountpoint));
    EXPECT_EQ(log.count("bool ZvModuleUniversal::mount_OS_snapshot(const string&, "
                        "std::__cxx11::string&, const string&) const: command: mount -o "
                        "ro,norecovery '/dev/datto0' '" + device.work + "/42'"),
              1);
    EXPECT_EQ(log.count("mount: wrong fs type"), 1);
    EXPECT_EQ(module->os_snapshot, nullptr);
    EXPECT_TRUE(module->defect_flag);
    EXPECT_EQ(datto.dbdctl_calls().back(), (std::vector<std::string>{"destroy", "0"}));
    EXPECT_FALSE(fs::exists(device.work + "/42"));
    EXPECT_TRUE(module->remove_all_OS_snapshots());
    EXPECT_EQ(datto.dbdctl_calls().size(), 4u);
}

// The same sandbox, with a scratch root for the case's mounts.
class OsSnapshotRun : public DattobdRun {};

TEST_F(OsSnapshotRun, SingleSnapshotIsMountedReadOnlyAndRemoved) {
    expect("single_snapshot_round_trip");
}
TEST_F(OsSnapshotRun, RemoveAllRemovesEverySnapshotEvenAfterAFailedUnmount) {
    expect("multiple_snapshots_removed_together");
}
TEST_F(OsSnapshotRun, SnapshotThatCannotBeMountedIsNotLeftBehind) {
    expect("failed_mount_of_a_kept_snapshot");
}

namespace {

// The directory's mounts as the kernel lists them, lowest first, escapes decoded.
std::vector<std::string> sources_at(const std::string& dir) {
    const auto decode = [](const std::string& field) {
        std::string text;
        for (std::size_t i = 0; i < field.size(); ++i) {
            if (field[i] == '\\' && i + 3 < field.size()) {
                text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                text += field[i];
            }
        }
        return text;
    };
    std::vector<std::string> sources;
    std::ifstream mounts("/proc/mounts");
    for (std::string source, target, rest; mounts >> source >> target && std::getline(mounts, rest);)
        if (decode(target) == dir) sources.push_back(decode(source));
    return sources;
}

std::string attach_loop(const std::string& image) {
    fs::create_directories(fs::path(image).parent_path());
    run("truncate -s 16M " + shell_quote(image) + " && mkfs.ext4 -q -F " + shell_quote(image));
    std::string device;
    EXPECT_EQ(zv_utils_common::execute_command("losetup -f --show " + shell_quote(image), device), 0)
        << device;
    if (!device.empty() && device.back() == '\n') device.pop_back();
    return device;
}

// One case's world: a real ext4 origin on a loop device, mounted with the resource in it,
// and a second loop device standing for the dattobd snapshot, which the fake mount puts
// where the module mounts /dev/dattoN. lsblk, umount and the mount table are real.
struct LoopScene {
    std::string root;
    std::string origin_dir;
    std::string work = root + "/work";
    FakeBin bin;
    Dattobd datto;
    std::string origin = attach_loop(root + "/origin.img");
    std::string snapshot = attach_loop(root + "/snapshot.img");
    EnvironmentVariable snapshot_device{"SNAPSHOT_LOOP", snapshot};
    std::unique_ptr<SnapshotModule> module;

    LoopScene(const std::string& root_, const std::string& origin_name)
        : root(root_), origin_dir(root_ + "/" + origin_name) {
        fs::create_directories(origin_dir);
        fs::create_directories(work);
        run("mount " + shell_quote(origin) + " " + shell_quote(origin_dir));
        zv_test::write_text(origin_dir + "/data/file", "data");
        const std::string image = root + "/snapshot-files";
        fs::create_directories(image);
        run("mount " + shell_quote(snapshot) + " " + shell_quote(image) + " && echo copy > " +
            shell_quote(image + "/snapshot-file") + " && umount " + shell_quote(image));
        bin.add("mount", "args=()\nfor a in \"$@\"; do case $a in /dev/datto*) a=$SNAPSHOT_LOOP ;; "
                         "esac; args+=(\"$a\"); done\nexec /usr/bin/mount \"${args[@]}\"\n");
        ZvModuleOptions options;
        options.resource = origin_dir + "/data";
        options.tmp_operation_directory = work;
        options.task_id = "42";
        module = dattobd_module(options);
    }
    ~LoopScene() {
        // Busy devices are detached once the namespace's mounts go with it.
        std::string ignored;
        zv_utils_common::execute_command("losetup -d " + shell_quote(origin) + " " +
                                             shell_quote(snapshot),
                                         ignored);
    }
    bool create(bool mount = true) {
        std::string device, mount_dir, mountpoint;
        return module->create_OS_snapshot(device, mount, mount_dir, mountpoint);
    }
    bool snapshot_active() const {
        std::ifstream devices(datto.state + "/devices");
        std::string line;
        return static_cast<bool>(std::getline(devices, line));
    }
};

struct LoopCase {
    const char* name;
    std::string origin_name;  // directory of the origin mount
    std::function<void(LoopScene&)> prepare;
    std::function<bool(LoopScene&)> act;
    bool returned;
    // Relative to the case's root; "origin" and "snapshot" name the two loop devices.
    std::vector<std::pair<std::string, std::string>> visible;  // directory, top mount
    std::vector<std::string> not_mounted, exist, absent;
    bool snapshot_left;
};

void mount_at(const std::string& source, const std::string& dir, const std::string& options = "") {
    fs::create_directories(dir);
    run("/usr/bin/mount " + options + " " + shell_quote(source) + " " + shell_quote(dir));
}

}  // namespace

ZV_SANDBOXED_CASE(loop_device_cases) {
    const auto created = [](LoopScene& s) { ASSERT_TRUE(s.create()); };
    const auto remove = [](LoopScene& s) { return s.module->remove_OS_snapshot(); };
    const std::vector<LoopCase> cases = {
        {"the origin's mount point holds escaped characters", "ori gin\\x", created, remove,
         true, {{"ori gin\\x", "origin"}}, {"work/42"}, {"ori gin\\x/data/file"},
         {"work/42"}, false},
        {"a symbolic link as the resource snapshots its target's device", "origin",
         [](LoopScene& s) {
             fs::create_symlink(s.origin_dir + "/data", s.root + "/link");
             s.module->options_.resource = s.root + "/link";
             ASSERT_TRUE(s.create());
             EXPECT_EQ(s.datto.dbdctl_calls().at(0).at(3), s.origin);
         },
         remove, true, {{"origin", "origin"}}, {"work/42"}, {}, {"work/42"}, false},
        {"a second mount of the snapshot device stays", "origin",
         [](LoopScene& s) {
             ASSERT_TRUE(s.create());
             mount_at(s.snapshot, s.root + "/other");
         },
         remove, true, {{"other", "snapshot"}, {"origin", "origin"}}, {"work/42"},
         {"other/snapshot-file"}, {"work/42"}, false},
        {"a read-write second mount keeps its files", "origin",
         [](LoopScene& s) {
             std::string dir = s.work + "/mine";
             ASSERT_TRUE(s.module->mount_OS_snapshot_multiple(s.snapshot, dir, "-o rw"));
             mount_at(s.snapshot, s.root + "/other");
         },
         [](LoopScene& s) { return s.module->umount_OS_snapshot_multiple(s.work + "/mine"); }, true,
         {{"other", "snapshot"}}, {"work/mine"}, {"other/snapshot-file"}, {"work/mine"}, false},
        {"a mount stacked on a foreign one uncovers it and leaves it", "origin",
         [](LoopScene& s) {
             mount_at("foreign", s.work + "/mine", "-t tmpfs");
             zv_test::write_text(s.work + "/mine/foreign-file", "theirs");
             mount_at(s.snapshot, s.work + "/mine", "-o ro");
         },
         [](LoopScene& s) { return s.module->umount_OS_snapshot_multiple(s.work + "/mine"); }, false,
         {{"work/mine", "foreign"}}, {}, {"work/mine/foreign-file"}, {}, false},
        {"no snapshot is mounted over a mount point", "origin",
         [](LoopScene& s) {
             mount_at("foreign", s.work + "/42", "-t tmpfs");
             zv_test::write_text(s.work + "/42/foreign-file", "theirs");
         },
         [](LoopScene& s) { return s.create(); }, false, {{"work/42", "foreign"}}, {},
         {"work/42/foreign-file"}, {}, false},
        {"a trailing slash on the operation directory", "origin",
         [](LoopScene& s) {
             s.module->options_.tmp_operation_directory = s.work + "/";
             ASSERT_TRUE(s.create());
         },
         remove, true, {{"origin", "origin"}}, {"work/42"}, {"work"}, {"work/42"}, false},
        {"an operation directory with ..", "origin",
         [](LoopScene& s) {
             fs::create_directories(s.work + "/sub");
             s.module->options_.tmp_operation_directory = s.work + "/sub/..";
             ASSERT_TRUE(s.create());
         },
         remove, true, {}, {"work/42", "work/sub/42"}, {"work/sub"}, {"work/42", "work/sub/42"},
         false},
        {"an empty task id mounts nothing over the operation directory", "origin",
         [](LoopScene& s) { s.module->options_.task_id = ""; },
         [](LoopScene& s) { return s.create(); }, false, {}, {"work"}, {"work"}, {}, false},
        {"a caller-given device is removed after its resource is gone", "origin",
         [](LoopScene& s) {
             std::string device = s.origin, mount_dir, mountpoint = s.origin_dir;
             ASSERT_TRUE(s.module->create_OS_snapshot(device, false, mount_dir, mountpoint));
             fs::remove_all(s.origin_dir + "/data");
         },
         remove, true, {{"origin", "origin"}}, {"work/42"}, {}, {"origin/data"}, false},
        {"a mount directory that cannot be made", "origin",
         [](LoopScene& s) { s.module->options_.tmp_operation_directory = s.root + "/missing"; },
         [](LoopScene& s) { return s.create(); }, false, {}, {}, {}, {"missing"}, false},
        {"a mount directory that cannot be made, kept snapshots", "origin",
         [](LoopScene& s) { zv_test::write_text(s.root + "/plain-file", ""); },
         [](LoopScene& s) {
             std::string device, mount_dir = s.root + "/plain-file/x", mountpoint;
             const bool made =
                 s.module->create_OS_snapshot_multiple(s.origin_dir, device, true, mount_dir, mountpoint);
             EXPECT_TRUE(s.module->os_snapshots.empty());
             return made;
         },
         false, {}, {}, {"plain-file"}, {}, false},
        {"a second removal does nothing", "origin", created,
         [](LoopScene& s) {
             const bool first = s.module->remove_all_OS_snapshots();
             const auto calls = s.datto.dbdctl_calls().size();
             const bool second = s.module->remove_all_OS_snapshots();
             EXPECT_EQ(s.datto.dbdctl_calls().size(), calls);
             return first && second;
         },
         true, {}, {"work/42"}, {}, {"work/42"}, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = zv_test::case_env("CASE_ROOT") + "/" + std::to_string(index++);
        LogCapture log;
        LoopScene scene(root, c.origin_name);
        const auto device = [&](const std::string& name) {
            return name == "origin" ? scene.origin : name == "snapshot" ? scene.snapshot : name;
        };
        c.prepare(scene);
        if (::testing::Test::HasFatalFailure()) return;
        EXPECT_EQ(c.act(scene), c.returned) << boost::algorithm::join(log.lines(), "\n");
        for (const auto& [dir, source] : c.visible) {
            const auto sources = sources_at(root + "/" + dir);
            EXPECT_TRUE(!sources.empty() && sources.back() == device(source)) << dir;
        }
        for (const auto& dir : c.not_mounted) EXPECT_TRUE(sources_at(root + "/" + dir).empty()) << dir;
        for (const auto& path : c.exist) EXPECT_TRUE(fs::exists(root + "/" + path)) << path;
        for (const auto& path : c.absent) EXPECT_FALSE(fs::exists(root + "/" + path)) << path;
        EXPECT_EQ(scene.snapshot_active(), c.snapshot_left);
    }
}

TEST_F(OsSnapshotRun, LoopDevicesKeepWhatIsNotTheirs) { expect("loop_device_cases"); }
