// The backup preparation's own rules, without a domain: how the KVM special
// parameters read, what target_list and zvfd.list hold for a device list, which
// devices are skipped or refused, and the archive names that may not name the
// work directory it later removes.
#include "kvm/kvm_test_module.h"
#include "support/libvirt_env.h"
#include "support/scratch_dir.h"
#include "support/test_module.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace fs = boost::filesystem;
using zv_test::KvmTestModule;
using zv_test::device;
using zv_test::read_file;

namespace {

class WorkFiles : public ::testing::Test {
protected:
    void SetUp() override {
        tmp_ = fs::path(zv_test::scratch_root()) / zv_test::unique_domain_name("workfiles");
        fs::create_directories(tmp_ / "A");
    }
    void TearDown() override { fs::remove_all(tmp_); }

    KvmTestModule module(const std::string& archive = "A") {
        return KvmTestModule(KvmTestModule::backup_options("vm1", tmp_.string(), archive));
    }

    fs::path tmp_;
};

TEST(KvmSpecialParams, DefaultsAndRules) {
    const struct {
        const char* params;
        bool backup_if_shutdown;
        std::uint32_t timeout;
        const char* before;
        const char* ceph_user;
    } cases[] = {
        {"", true, 5, "", ""},
        {"backup_if_shutdown:t", true, 5, "", ""},
        {"backup_if_shutdown:true", true, 5, "", ""},
        {"backup_if_shutdown:yes", false, 5, "", ""},
        {"backup_if_shutdown:false,backup_if_shutdown:true", false, 5, "", ""},
        {"backup_if_shutdown:", true, 5, "", ""},
        {"execution_script_timeout:12", true, 12, "", ""},
        {"execution_script_timeout:0", true, 0, "", ""},
        {"execution_script_timeout:4294967295", true, 4294967295u, "", ""},
        {"script_before_snapshot:/usr/local/bin/quiesce db,ceph_user:admin", true, 5,
         "/usr/local/bin/quiesce db", "admin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        zv_test::LogCapture log;
        KvmTestModule module(ZvModuleOptions{});
        module.set_module_params(c.params);
        const zv_kvm_conf conf = module.read_kvm_conf();
        EXPECT_EQ(conf.backup_if_shutdown, c.backup_if_shutdown);
        EXPECT_EQ(conf.execution_script_timeout, c.timeout);
        EXPECT_EQ(conf.script_before_snapshot, c.before);
        EXPECT_EQ(conf.ceph_user, c.ceph_user);
    }
}

// A timeout that is not a plain count of seconds was read as some other number
// (-1 as 136 years, "12s" as 12); it refuses the preparation before anything runs,
// with a message that names the parameter and the value.
TEST(KvmSpecialParams, TimeoutThatIsNoCountOfSecondsIsRefused) {
    for (const char* value : {"-1", "soon", "12s", " 5", "+5", "", "4294967296", "99999999999", "0x10"}) {
        SCOPED_TRACE(value);
        std::uint32_t seconds = 7;
        EXPECT_FALSE(KvmTestModule::parse_script_timeout(value, seconds));
        EXPECT_EQ(seconds, 7u);
        if (!*value) continue;  // an empty value means the default, as for every key
        zv_test::LogCapture log;
        KvmTestModule module(KvmTestModule::backup_options("vm1", "/nonexistent", "A"));
        module.set_module_params(std::string("execution_script_timeout:") + value);
        EXPECT_THROW(module.read_kvm_conf(), std::invalid_argument);
        EXPECT_FALSE(module.prepare_resource_before_backup(false));
        EXPECT_EQ(log.count("virtual bool ZvModuleKvm::prepare_resource_before_backup(const bool&): "
                            "execution_script_timeout \"" +
                            std::string(value) +
                            "\" is refused: it must be a whole number of seconds from 0 to "
                            "4294967295"),
                  1)
            << ::testing::PrintToString(log.lines());
        // Refused before the host or the domain is asked anything.
        EXPECT_EQ(log.count("Unable to run the module"), 0);
        EXPECT_FALSE(fs::exists("/nonexistent"));
    }
}

TEST_F(WorkFiles, BackupAndReplicaListsOfAFileDiskAndAnEmptyCdrom) {
    zv_test::LogCapture log;
    auto m = module();
    m.devices = {device(kvm_disk_type::file, kvm_device_type::disk, "vda", "/images/vm.qcow2"),
                 device(kvm_disk_type::file, kvm_device_type::cdrom, "hdc", "-")};
    const std::string w = (tmp_ / "A").string();

    ASSERT_TRUE(m.write_target_list(w + "/target_list"));
    EXPECT_EQ(read_file(w + "/target_list"), "UUID vm1\nvda /images/vm.qcow2\n");

    ASSERT_TRUE(m.write_file_list(false));
    EXPECT_EQ(m.options().resource_list_file, w + "/zvfd.list");
    EXPECT_EQ(read_file(w + "/zvfd.list"), "ZVFD file list:\n" + w + "/target_list : target_list\n" +
                                               w + "/vm1.xml : vm1.xml\n" + "/images/vm.qcow2 : vda\n");

    ASSERT_TRUE(m.write_file_list(true));
    EXPECT_EQ(read_file(w + "/zvfd.list"), "ZVFD file list:\n/images/vm.qcow2\n");
    EXPECT_EQ(log.count("Ignore cdrom"), 0);
}

TEST_F(WorkFiles, InsertedMediaAndLunsAreSkippedBlockDisksSaved) {
    zv_test::LogCapture log;
    auto m = module();
    m.devices = {device(kvm_disk_type::file, kvm_device_type::cdrom, "hdc", "/iso/install.iso"),
                 device(kvm_disk_type::block, kvm_device_type::lun, "sda", "/dev/sdx"),
                 device(kvm_disk_type::file, kvm_device_type::floppy, "fda", "/img/floppy.img"),
                 device(kvm_disk_type::block, kvm_device_type::disk, "vdb", "/dev/vg/data")};
    ASSERT_TRUE(m.write_file_list(false));
    const std::string list = read_file(tmp_ / "A" / "zvfd.list");
    EXPECT_NE(list.find("\n/dev/vg/data : vdb\n"), std::string::npos) << list;
    for (const char* skipped : {"install.iso", "/dev/sdx", "floppy.img"})
        EXPECT_EQ(list.find(skipped), std::string::npos) << skipped;
    EXPECT_EQ(log.count("Ignore cdrom: hdc source: /iso/install.iso"), 1);
    EXPECT_EQ(log.count("Ignore lun: sda source: /dev/sdx"), 1);
    EXPECT_EQ(log.count("Ignore floppy: fda source: /img/floppy.img"), 1);
}

TEST_F(WorkFiles, UnsupportedStorageFailsWhateverTheDeviceKind) {
    const struct {
        kvm_device_info device;
        const char* logged;
    } cases[] = {
        {device(kvm_disk_type::volume, kvm_device_type::cdrom, "hdc", "-"),
         "Disk type: volume is not support by this module"},
        {device(kvm_disk_type::dir, kvm_device_type::disk, "vdc", "/srv/dir"),
         "Disk type: dir is not support by this module"},
        {device(static_cast<kvm_disk_type>(9), kvm_device_type::disk, "vdd", "/x"),
         "prepare_resource_before_backup(const bool&): Wrong disk type: 9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        zv_test::LogCapture log;
        auto m = module();
        m.devices = {c.device};
        EXPECT_FALSE(m.write_file_list(false));
        EXPECT_EQ(log.count(c.logged), 1);
    }
}

TEST_F(WorkFiles, NetworkDiskIsExportedWithTheCephUser) {
    // A cluster configuration that does not exist: rbd, real or absent, fails at once.
    setenv("CEPH_CONF", (tmp_ / "no-cluster.conf").c_str(), 1);
    for (const bool with_user : {false, true}) {
        SCOPED_TRACE(with_user);
        zv_test::LogCapture log;
        auto m = module();
        if (with_user) m.kvm_conf.ceph_user = "admin";
        m.devices = {device(kvm_disk_type::network, kvm_device_type::disk, "vdb", "pool/image")};
        EXPECT_FALSE(m.write_file_list(false));  // no cluster: the export fails
        const std::string command = "/usr/bin/rbd export 'pool/image' '" + (tmp_ / "A").string() +
                                    "/vdb'" + (with_user ? " --id 'admin'" : "");
        EXPECT_EQ(log.count(": Command: " + command), 1);
        EXPECT_EQ(log.count(command + " --id"), 0);
    }
    // Image names come from the domain and the user from the module parameters:
    // quotes, blanks, line feeds and command text in them run nothing.
    const std::string marker = (tmp_ / "pwned").string();
    auto m = module();
    m.kvm_conf.ceph_user = "a'b $(touch " + marker + "); touch " + marker;
    m.devices = {device(kvm_disk_type::network, kvm_device_type::disk, "vdb",
                        "pool/it's `touch " + marker + "`\ntouch " + marker)};
    EXPECT_FALSE(m.write_file_list(false));
    EXPECT_FALSE(fs::exists(marker));
    unsetenv("CEPH_CONF");
}

TEST_F(WorkFiles, ArchiveNamesThatLeaveTheOperationDirectoryAreRefused) {
    // tmp_/ops/A is what a good name gives; "..", "." and "" would make the work
    // directory tmp_ or tmp_/ops itself, which the release removes with everything in it.
    const fs::path ops = tmp_ / "ops";
    fs::create_directories(ops);
    std::ofstream(((ops / "keep").string())) << "keep";
    for (const char* name : {"", ".", "..", "a/b", "../ops", "/"}) {
        SCOPED_TRACE(name);
        zv_test::LogCapture log;
        KvmTestModule m(KvmTestModule::backup_options("vm1", ops.string(), name));
        EXPECT_FALSE(m.prepare_resource_before_backup(false));
        EXPECT_EQ(log.count("can't name a file inside the temporary operation directory"), 1);
        EXPECT_FALSE(m.release_resource_after_backup());
        EXPECT_TRUE(fs::exists(ops / "keep"));
        EXPECT_TRUE(fs::exists(tmp_ / "A"));
    }
}

TEST_F(WorkFiles, FailingHostCheckStopsFirst) {
    zv_test::LogCapture log;
    auto m = module();
    m.host_check_result = 2;
    EXPECT_FALSE(m.prepare_resource_before_backup(false));
    EXPECT_EQ(m.host_checks, 1);
    EXPECT_EQ(log.count("Unable to run the module on this client"), 1);
}

TEST_F(WorkFiles, ReleaseOfAnOfflineBackupMergesNothingAndRemovesTheWorkDirectory) {
    zv_test::LogCapture log;
    auto m = module();
    std::ofstream((tmp_ / "A" / "target_list").string()) << "UUID vm1\n";
    EXPECT_TRUE(m.release_resource_after_backup());
    EXPECT_FALSE(fs::exists(tmp_ / "A"));
    EXPECT_EQ(log.count("Remove obsoleted: " + (tmp_ / "A").string()), 1);
    EXPECT_EQ(log.count("blockcommit"), 0);
}

}  // namespace
