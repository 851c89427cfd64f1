// VM disk discovery: the files and devices found per transfer driver and mode,
// here and on another host, and the refusals. qemu-img runs for real on qcow2
// files made by the test; OpenNebula's tools, virsh and ssh are stand-ins (ssh
// runs the command here, as if this machine were the other host).
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_standins.h"

#include "common/zv_utils_common.h"

#include <sys/mount.h>

namespace one = zv_opennebula_common;
namespace fs = boost::filesystem;

namespace {

// Puts the stand-ins for virsh and ssh in place, once per process, inside the
// namespace the OpenNebula stand-ins have set up.
bool install_host_standins() {
    static const bool installed = [] {
        const fs::path standins = fs::path(ZV_SOURCE_DIR) / "standins" / "opennebula";
        if (mount((standins / "onetool").c_str(), "/usr/bin/virsh", nullptr, MS_BIND, nullptr) != 0)
            return false;
        const fs::path path_dir = fs::temp_directory_path() / fs::unique_path("zv-one-ssh-%%%%%%");
        one_test::ExitCleanup::instance().folder(path_dir);
        fs::create_directories(path_dir);
        fs::create_symlink(standins / "ssh", path_dir / "ssh");
        setenv("PATH", (path_dir.string() + ":" + std::getenv("PATH")).c_str(), 1);
        return true;
    }();
    return installed;
}

std::string run(const std::string& command) {
    std::string output;
    EXPECT_EQ(zv_utils_common::execute_command(command, output), 0) << command << "\n" << output;
    return output;
}

class DisksTest : public one_test::ToolsTest {
protected:
    void SetUp() override {
        ToolsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(install_host_standins());
        work = tools.dir() / "work";
        fs::create_directories(work / "ds" / "0" / "42");
    }

    // This host runs VM 42 unless a test names another host.
    void host_runs_vm(const std::string& host) {
        tools.reply({"onehost", "list", "-x"},
                    "<HOST_POOL><HOST><ID>3</ID><NAME>other</NAME><VMS><ID>7</ID></VMS></HOST>"
                    "<HOST><ID>4</ID><NAME>" + host + "</NAME><VMS><ID>41</ID><ID>42</ID></VMS></HOST>"
                    "</HOST_POOL>");
    }
    // The system datastore 0 has VM 42's directory; the image datastore 1 comes first.
    void datastores() {
        tools.reply({"onedatastore", "list", "-x"},
                    "<DATASTORE_POOL><DATASTORE><ID>1</ID><TYPE>0</TYPE><BASE_PATH>" +
                        (work / "ds" / "1").string() + "</BASE_PATH></DATASTORE>"
                        "<DATASTORE><ID>0</ID><TYPE>1</TYPE><BASE_PATH>" + work.string() +
                        "//ds/0</BASE_PATH></DATASTORE></DATASTORE_POOL>");
    }
    void vm_disks(const std::string& disks) {
        tools.reply({"onevm", "show", "42", "-x"},
                    "<VM><ID>42</ID><NAME>web</NAME><DEPLOY_ID>one-42</DEPLOY_ID><TEMPLATE>" + disks +
                        "</TEMPLATE></VM>");
    }
    // base.qcow2 <- top.qcow2, and VM dir/disk.0 a link to top.
    void qcow2_chain() {
        run("/usr/bin/qemu-img create -f qcow2 '" + (work / "base.qcow2").string() + "' 1M");
        run("/usr/bin/qemu-img create -f qcow2 -F qcow2 -b '" + (work / "base.qcow2").string() +
            "' '" + (work / "top.qcow2").string() + "'");
        fs::create_symlink(work / "top.qcow2", work / "ds" / "0" / "42" / "disk.0");
    }
    bool called(const std::vector<std::string>& argv) const {
        for (const auto& call : tools.calls())
            if (call == argv) return true;
        return false;
    }

    fs::path work;
    std::vector<opennebula_device_info> devices;
};

const char* const load_signature =
    "int zv_opennebula_common::load_VM_devices(const string&, "
    "std::vector<opennebula_device_info>&, bool, bool, bool): ";

TEST_F(DisksTest, Qcow2DiskNotLiveIsTheVmDirFileAndItsBackingFiles) {
    host_runs_vm(zv_utils_common::get_nodename());
    datastores();
    qcow2_chain();
    fs::create_symlink(work / "top.qcow2", work / "image-link");
    vm_disks("<DISK><DISK_ID>0</DISK_ID><TM_MAD>qcow2</TM_MAD><TYPE>FILE</TYPE><PERSISTENT>YES</PERSISTENT>"
             "<SIZE>0x10</SIZE><SOURCE>" + (work / "image-link").string() + "</SOURCE>"
             "<TARGET>vda</TARGET><DISK_TYPE>FILE</DISK_TYPE><IMAGE_ID>5</IMAGE_ID></DISK>");

    ASSERT_EQ(one::load_VM_devices("42", devices, false, false, false), 0) << log_text();
    ASSERT_EQ(devices.size(), 1u);
    const auto& disk = devices[0];
    EXPECT_EQ(disk.backing_chain,
              (std::vector<std::string>{(work / "top.qcow2").string(), (work / "base.qcow2").string()}));
    EXPECT_EQ(disk.source, (work / "top.qcow2").string());
    EXPECT_EQ(disk.tm_mad, TM_MAD_QCOW2);
    EXPECT_EQ(disk.type, kvm_disk_type::file);
    EXPECT_EQ(disk.device, kvm_device_type::disk);
    EXPECT_TRUE(disk.persistent);
    EXPECT_EQ(disk.size, 16u << 20);
    EXPECT_EQ(disk.target, "vda");
    EXPECT_EQ(disk.image_id, "5");
    EXPECT_EQ(disk.disk_id, "0");
    EXPECT_TRUE(disk.device_file.empty());
    // The doubled slash of BASE_PATH is gone; the image datastore is not tried.
    EXPECT_EQ(logged("here: " + work.string() + "/ds/0/42 ... "), 1);
    EXPECT_EQ(logged("Trying to find path"), 1);
    EXPECT_EQ(logged("The disk is persistent, source: : " + (work / "top.qcow2").string()), 1);
}

TEST_F(DisksTest, Qcow2DiskLiveOnAnotherHostAsksItsDomainAndWalksTheChainThere) {
    host_runs_vm("node-b");
    qcow2_chain();
    vm_disks("<DISK><DISK_ID>0</DISK_ID><TM_MAD>shared</TM_MAD><TARGET>vdb</TARGET></DISK>");
    tools.reply({"virsh", "-q", "-c", "qemu+ssh://root@node-b/system", "-q", "domblklist", "one-42"},
                "vda /dev/null\nvdb " + (work / "top.qcow2").string() + "\n");

    ASSERT_EQ(one::load_VM_devices("42", devices, true, true, false), 0) << log_text();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].device_file, (work / "top.qcow2").string());
    EXPECT_EQ(devices[0].backing_chain,
              (std::vector<std::string>{(work / "top.qcow2").string(), (work / "base.qcow2").string()}));
    EXPECT_TRUE(called({"ssh", "root@node-b",
                        "/usr/bin/qemu-img info --force-share '" + (work / "top.qcow2").string() +
                            "' --output=json"}));
    EXPECT_EQ(logged("A VM device found, TM_MAD: shared, target: vdb, device file: " +
                     (work / "top.qcow2").string()),
              1);
}

TEST_F(DisksTest, CephDiskChainDependsOnPersistenceAndMode) {
    host_runs_vm(zv_utils_common::get_nodename());
    vm_disks("<DISK><DISK_ID>0</DISK_ID><TM_MAD>ceph</TM_MAD><SOURCE>one/one-5</SOURCE>"
             "<TARGET>vda</TARGET><DISK_TYPE>RBD</DISK_TYPE></DISK>"
             "<DISK><PERSISTENT>YES</PERSISTENT><DISK_ID>1</DISK_ID><TM_MAD>ceph</TM_MAD>"
             "<SOURCE>one/one-6</SOURCE><TARGET>vdb</TARGET></DISK>");
    ASSERT_EQ(one::load_VM_devices("42", devices, false, false, true), 0) << log_text();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].backing_chain, std::vector<std::string>{"one/one-5-42-0"});
    EXPECT_EQ(devices[0].type, kvm_disk_type::network);
    EXPECT_EQ(devices[1].backing_chain, std::vector<std::string>{"one/one-6"});

    devices.clear();
    tools.reply({"virsh", "domblklist", "one-42"}, "vda one/one-5-42-0\nvdb one/one-6\n");
    ASSERT_EQ(one::load_VM_devices("42", devices, false, true, true), 0) << log_text();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].backing_chain, std::vector<std::string>{"one/one-5-42-0"});
    EXPECT_EQ(devices[1].backing_chain, std::vector<std::string>{"one/one-6"});

    devices.clear();
    EXPECT_EQ(one::load_VM_devices("42", devices, false, false, false), 1);
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(logged(std::string(load_signature) +
                     "module doesn't support Ceph RADOS block devices: required qemu version at least 2.11"),
              1);
}

TEST_F(DisksTest, RefusedDisksEndTheListingAndKeepTheRecordsBefore) {
    host_runs_vm(zv_utils_common::get_nodename());
    const std::string good =
        "<DISK><DISK_ID>0</DISK_ID><TM_MAD>ceph</TM_MAD><PERSISTENT>YES</PERSISTENT>"
        "<SOURCE>one/one-5</SOURCE></DISK>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<TM_MAD>ssh</TM_MAD>", "zv_module_kemlo_vm does not yet support TM_MAD: ssh"},
        {"<TM_MAD>lvm_thin</TM_MAD>", "zv_module_kemlo_vm does not yet support TM_MAD: lvm_thin"},
        {"<TM_MAD>nfs</TM_MAD>", "unsupported TM_MAD value: nfs"},
        {"<DISK_ID>1</DISK_ID>", "unsupported TM_MAD type: -1"},
        {"<TARGET>vdb</TARGET>", "unsupported TM_MAD type: "},
        {"<TM_MAD>ceph</TM_MAD><TYPE>raw</TYPE>", "unsupported type: raw"},
        {"<TM_MAD>ceph</TM_MAD><DISK_ID>1</DISK_ID>", "Ceph disk without SOURCE: 1"},
        {"<TM_MAD>ceph</TM_MAD><DISK_ID>1</DISK_ID><SOURCE></SOURCE>", "Ceph disk without SOURCE: 1"},
        {"<TM_MAD>ceph</TM_MAD><DISK_TYPE>GLUSTER</DISK_TYPE>", "unsupported disk type: GLUSTER"},
        {"<TM_MAD>ceph</TM_MAD><SIZE>big</SIZE>", "stoull"},
    };
    for (const auto& [bad, message] : cases) {
        SCOPED_TRACE(bad);
        log.clear();
        devices.clear();
        vm_disks(good + "<DISK>" + bad + "</DISK>" + good);
        EXPECT_EQ(one::load_VM_devices("42", devices, false, false, true), 1);
        ASSERT_EQ(devices.size(), 1u);
        EXPECT_EQ(devices[0].backing_chain, std::vector<std::string>{"one/one-5"});
        EXPECT_EQ(logged(std::string(load_signature) + message), 1) << log_text();
    }
}

TEST_F(DisksTest, VolatileDiskIsListedOnlyLive) {
    host_runs_vm(zv_utils_common::get_nodename());
    tools.reply({"virsh", "domblklist", "one-42"}, "vdc /var/lib/one/datastores/0/42/disk.2\n");
    for (const char* type : {"fs", "swap"}) {
        SCOPED_TRACE(type);
        log.clear();
        devices.clear();
        vm_disks(std::string("<DISK><DISK_ID>2</DISK_ID><TM_MAD>qcow2</TM_MAD><TYPE>") + type +
                 "</TYPE><SIZE>512</SIZE><TARGET>vdc</TARGET></DISK>");
        ASSERT_EQ(one::load_VM_devices("42", devices, false, false, false), 0) << log_text();
        EXPECT_TRUE(devices.empty());
        EXPECT_EQ(logged("The found disk is temporary (type: fs) - it won't be added to the backup"), 1);

        ASSERT_EQ(one::load_VM_devices("42", devices, false, true, false), 0) << log_text();
        ASSERT_EQ(devices.size(), 1u);
        EXPECT_EQ(static_cast<int>(devices[0].device), 5);
        EXPECT_EQ(devices[0].disk_id, "2");
        EXPECT_EQ(devices[0].size, 512u << 20);
        EXPECT_EQ(devices[0].device_file, "/var/lib/one/datastores/0/42/disk.2");
        EXPECT_TRUE(devices[0].backing_chain.empty());
        EXPECT_EQ(logged("The found disk is temporary (type: fs) - it won't be added to the backup"), 2);
    }
}

TEST_F(DisksTest, FsLvmDiskNotLiveKeepsTheElementOrderAndLiveFindsNothing) {
    host_runs_vm("node-b");
    datastores();
    fs::create_symlink("/dev/null", work / "ds" / "0" / "42" / "disk.0");
    vm_disks("<DISK><TM_MAD>fs_lvm</TM_MAD><SOURCE>/dev/vg/lv-one-5</SOURCE><DISK_ID>0</DISK_ID></DISK>");
    ASSERT_EQ(one::load_VM_devices("42", devices, false, false, false), 0) << log_text();
    ASSERT_EQ(devices.size(), 1u);
    // The link is read on the VM's host, without full resolution.
    EXPECT_EQ(devices[0].backing_chain,
              (std::vector<std::string>{"/dev/vg/lv-one-5", "/dev/null"}));
    EXPECT_EQ(devices[0].device_file, "/dev/vg/lv-one-5");
    EXPECT_TRUE(called({"ssh", "root@node-b", "test -d '" + work.string() + "/ds/0/42'"}));
    EXPECT_TRUE(called({"ssh", "root@node-b", "/bin/readlink '" + work.string() + "/ds/0/42/disk.0'"}));

    devices.clear();
    ASSERT_EQ(one::load_VM_devices("42", devices, false, true, false), 0) << log_text();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_TRUE(devices[0].backing_chain.empty());
    EXPECT_TRUE(devices[0].device_file.empty());
}

TEST_F(DisksTest, MissingVmDirectoryAndHostAreReported) {
    host_runs_vm(zv_utils_common::get_nodename());
    datastores();
    fs::remove(work / "ds" / "0" / "42");
    vm_disks("<DISK><TM_MAD>qcow2</TM_MAD><DISK_ID>0</DISK_ID></DISK>");
    EXPECT_EQ(one::load_VM_devices("42", devices, false, false, false), 1);
    EXPECT_EQ(logged(": couldn't find real path to VM: 42. Please check VM configuration and VM's files "
                     "placement"),
              1);
    EXPECT_EQ(logged(std::string(load_signature) + "can't get real VM disk path: 42"), 1);
    EXPECT_EQ(logged("not found"), 1);

    EXPECT_EQ(one::load_VM_devices("43", devices, false, false, false), 1);
    EXPECT_EQ(logged(std::string(load_signature) + "can't get the hostname where VM resides"), 1);
}

TEST_F(DisksTest, DeviceWithoutDomblklistLineIsReported) {
    opennebula_device_info info;
    info.target = "vdz";
    tools.reply({"virsh", "domblklist", "one-42"}, "vda /x\n");
    EXPECT_EQ(one::get_target_device_path(zv_utils_common::get_nodename(), "one-42", info), 1);
    EXPECT_EQ(logged(": unable to get source path for device: vdz"), 1);
    EXPECT_EQ(logged("Probably the following command failed: LANG=C /usr/bin/virsh domblklist 'one-42'"), 1);
    EXPECT_EQ(logged("Please make sure that all configurations settings from Zelvor module instruction "
                     "have been performed"),
              1);
    EXPECT_TRUE(info.device_file.empty());
}

TEST_F(DisksTest, DomblklistTargetIsMatchedWholeAndItsSourceKeptWhole) {
    const std::string here = zv_utils_common::get_nodename();
    const std::string header = " Target   Source\n------------------------------------\n";
    struct Case {
        std::string listing;
        int status;
        std::string device_file;  // empty: the look-up fails
        std::string message;
    };
    const Case cases[] = {
        // A neighbouring target that holds "vda" is not the disk vda.
        {header + " sdvda    /images/other\n vda      /images/disk\n", 0, "/images/disk", ""},
        {header + " sdvda    /images/other\n vdab     /images/third\n", 0, "",
         ": unable to get source path for device: vda"},
        {header + " vda      /images/a  b/disk one\n\n", 0, "/images/a  b/disk one", ""},
        {header + " vda      -\n", 0, "", ": unable to get source path for device: vda"},
        {"error: failed to get domain 'one-42'\n", 1, "", ": can't get domblklist for vda"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listing);
        log.clear();
        tools.reply({"virsh", "domblklist", "one-42"}, c.listing, c.status);
        opennebula_device_info info;
        info.target = "vda";
        const int result = one::get_target_device_path(here, "one-42", info);
        EXPECT_EQ(info.device_file, c.device_file);
        if (c.device_file.empty()) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(logged(c.message), 1) << log_text();
        } else {
            EXPECT_EQ(result, 0) << log_text();
        }
    }
    EXPECT_EQ(logged("Command was: LANG=C /usr/bin/virsh domblklist 'one-42'"), 1);
}

TEST_F(DisksTest, DomainNameAndTargetReachVirshAsTheyAreAndOddHostsAreRefused) {
    const std::string here = zv_utils_common::get_nodename();
    const std::string pwned = (tools.dir() / "pwned").string();
    const std::string deploy_id = "one-42'; touch " + pwned + "; '";
    opennebula_device_info info;
    info.target = "vd'$(id>" + pwned + ")";
    tools.reply({"virsh", "domblklist", deploy_id}, "vda /x\n" + info.target + " /disk b\n");
    ASSERT_EQ(one::get_target_device_path(here, deploy_id, info), 0) << log_text();
    EXPECT_EQ(info.device_file, "/disk b");
    EXPECT_FALSE(fs::exists(pwned));

    // The host becomes the host part of a libvirt URI, where "?command=" would name a
    // program for libvirt to run and "/" or "#" would change what the URI names.
    for (const std::string& host : std::vector<std::string>{"node-b/system?command=/bin/touch#",
                                                          "node-b?socket=/x", "a b", "evil@node-b",
                                                          "node-b#", "node\nb", ""}) {
        SCOPED_TRACE(host);
        const auto calls = tools.calls().size();
        const int refusals = logged(": wrong host name: ");
        EXPECT_EQ(one::get_target_device_path(host, "one-42", info), 1);
        EXPECT_EQ(logged(": wrong host name: "), refusals + 1);
        EXPECT_EQ(tools.calls().size(), calls);  // virsh is not asked at all
    }
}

TEST_F(DisksTest, ReadFileLinkHereAndOnAnotherHost) {
    fs::create_symlink(work / "missing", work / "dangling");
    std::string target = "stale";
    EXPECT_EQ(one::read_file_link((work / "dangling").string(), target, "", true), 1);
    EXPECT_EQ(logged(": can't find file: " + (work / "missing").string()), 1) << log_text();

    // A path that is no link names itself, whatever the output held before.
    target = "stale";
    ASSERT_EQ(one::read_file_link(work.string(), target, "", false), 0);
    EXPECT_EQ(target, work.string());

    // Over ssh readlink without -f fails for a path that is no link; with -f it names it.
    const std::string odd = (work / "a b; touch pwned").string();
    fs::create_directories(odd);
    EXPECT_EQ(one::read_file_link(odd, target, "node-b", false), 1);
    EXPECT_EQ(logged(": can't run readlink for " + odd), 1);
    ASSERT_EQ(one::read_file_link(odd, target, "node-b", true), 0);
    EXPECT_EQ(target, odd);
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists(work / "pwned"));
}

TEST_F(DisksTest, BackingChainThatLoopsIsRefused) {
    qcow2_chain();
    run("/usr/bin/qemu-img rebase -u -F qcow2 -b '" + (work / "top.qcow2").string() + "' '" +
        (work / "base.qcow2").string() + "'");
    std::vector<std::string> chain;
    EXPECT_EQ(one::fill_backing_image_chain((work / "top.qcow2").string(), chain, true, ""), 1);
    EXPECT_EQ(chain.size(), 2u);
    EXPECT_EQ(logged(": backing image chain loops back to " + (work / "top.qcow2").string()), 1);
}

TEST_F(DisksTest, BackingChainEndsOnlyWhereQemuImgSaysSo) {
    // top <- mid <- base, the base in a folder whose name holds two blanks.
    const fs::path odd = work / "a  b";
    fs::create_directories(odd);
    const std::string base = (odd / "base  image.qcow2").string();
    const std::string mid = (work / "mid.qcow2").string();
    const std::string top = (work / "top.qcow2").string();
    run("/usr/bin/qemu-img create -f qcow2 '" + base + "' 1M");
    run("/usr/bin/qemu-img create -f qcow2 -F qcow2 -b '" + base + "' '" + mid + "'");
    run("/usr/bin/qemu-img create -f qcow2 -F qcow2 -b '" + mid + "' '" + top + "'");

    struct Case {
        const char* name;
        std::string host;
        std::string unreachable;  // a line of the ssh stand-in's ssh-unreachable
        bool corrupt_mid;
        int result;
        std::vector<std::string> chain;
        std::string message;
    };
    const Case cases[] = {
        {"whole chain here", "", "", false, 0, {top, mid, base}, ""},
        {"whole chain over ssh", "node-b", "", false, 0, {top, mid, base}, ""},
        {"qemu-img fails in the middle", "", "", true, 1, {top, mid},
         ": can't read the image of the backing chain: " + mid},
        {"ssh host unreachable", "node-b", "node-b qemu-img", false, 1, {top},
         ": can't read the image of the backing chain: " + top},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        if (c.corrupt_mid)  // qcow2 version 99, which qemu-img refuses to open
            run("printf '\\000\\000\\000\\143' | dd of='" + mid + "' bs=1 seek=4 conv=notrunc 2>/dev/null");
        one_test::write_file(tools.dir() / "ssh-unreachable", c.unreachable.empty() ? "" : c.unreachable + "\n");
        std::vector<std::string> chain;
        EXPECT_EQ(one::fill_backing_image_chain(top, chain, true, c.host), c.result) << log_text();
        EXPECT_EQ(chain, c.chain);
        if (!c.message.empty()) {
            EXPECT_EQ(logged(c.message), 1) << log_text();
            EXPECT_EQ(logged("Command output: "), 1) << log_text();
        }
    }
}

TEST_F(DisksTest, VirtualSizeHereAndFailures) {
    qcow2_chain();
    unsigned long long size = 0;
    ASSERT_EQ(one::get_image_virtual_size((work / "top.qcow2").string(), false,
                                          zv_utils_common::get_nodename(), size),
              0);
    EXPECT_EQ(size, 1048576u);
    EXPECT_EQ(one::get_image_virtual_size((work / "none.qcow2").string(), false,
                                          zv_utils_common::get_nodename(), size),
              1);
    EXPECT_EQ(logged(": the following command produced an error: "), 1);
}

TEST_F(DisksTest, CephDisksOfAVm) {
    tools.reply({"onevm", "show", "42'; touch pwned; '", "-x"},
                "<VM><TEMPLATE>"
                "<DISK><DISK_ID>0</DISK_ID><SOURCE>one/one-12</SOURCE><TARGET>vda</TARGET><TM_MAD>ceph</TM_MAD></DISK>"
                "<DISK><DISK_ID>1</DISK_ID><SOURCE>one/one-13</SOURCE><TARGET>hda</TARGET><TM_MAD>ceph</TM_MAD>"
                "<TYPE>RBD_CDROM</TYPE></DISK>"
                "<DISK><DISK_ID>2</DISK_ID><SOURCE>/x/disk</SOURCE><TARGET>vdb</TARGET><TM_MAD>qcow2</TM_MAD></DISK>"
                "</TEMPLATE></VM>");
    std::vector<RBD_disk> disks;
    ASSERT_EQ(one::get_vm_rbd_disks("42'; touch pwned; '", disks), 0) << log_text();
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].image_id, "12");
    EXPECT_EQ(disks[0].vm_id, "42'; touch pwned; '");
    EXPECT_EQ(disks[0].disk_id, "0");
    EXPECT_EQ(disks[0].target, "vda");
    EXPECT_FALSE(fs::exists("pwned"));

    tools.reply({"onevm", "show", "43", "-x"}, "<IMAGE/>");
    EXPECT_EQ(one::get_vm_rbd_disks("43", disks), 1);
    EXPECT_EQ(logged(": document of the wrong type, root node != VM: "), 1);

    // A Ceph disk whose SOURCE names no image is an error, not a crash.
    const std::vector<std::pair<std::string, std::string>> nameless = {
        {"", ": Ceph disk 3 of VM 44 has no SOURCE"},
        {"<SOURCE></SOURCE>", ": Ceph disk 3 of VM 44 has no SOURCE"},
        {"<SOURCE>one/x</SOURCE>", ": Ceph disk 3 of VM 44 has a SOURCE that names no image: one/x"},
        {"<SOURCE>one/one-</SOURCE>",
         ": Ceph disk 3 of VM 44 has a SOURCE that names no image: one/one-"},
    };
    for (const auto& [source, message] : nameless) {
        SCOPED_TRACE(source);
        log.clear();
        tools.reply({"onevm", "show", "44", "-x"},
                    "<VM><TEMPLATE><DISK><DISK_ID>3</DISK_ID>" + source +
                        "<TARGET>vdc</TARGET><TM_MAD>ceph</TM_MAD></DISK></TEMPLATE></VM>");
        disks.clear();
        EXPECT_EQ(one::get_vm_rbd_disks("44", disks), 1);
        EXPECT_TRUE(disks.empty());
        EXPECT_EQ(logged(std::string("get_vm_rbd_disks(const string&, std::vector<RBD_disk>&)") + message), 1)
            << log_text();
    }
}

TEST(RbdNames, FileNamesAndTargets) {
    std::string name;
    EXPECT_EQ(one::parse_rbd_disk_name("/var/lib/x/one-5.snap", name), 1);
    EXPECT_EQ(name, "snap");
    EXPECT_EQ(one::parse_rbd_disk_name("one/one-5", name), 0);
    EXPECT_EQ(name, "one-5");

    RBD_disk disk = one::fill_rbd_disk_struct_from_target("one-12-42-0", "vda");
    EXPECT_EQ(disk.image_id, "12");
    EXPECT_EQ(disk.vm_id, "42");
    EXPECT_EQ(disk.disk_id, "0");
    EXPECT_EQ(disk.target, "vda");
    disk = one::fill_rbd_disk_struct_from_target("one-12-42", "vdb");
    EXPECT_EQ(disk.vm_id, "42");
    EXPECT_TRUE(disk.disk_id.empty());
    EXPECT_THROW(one::fill_rbd_disk_struct_from_target("one", "vda"), std::out_of_range);
}

}  // namespace
