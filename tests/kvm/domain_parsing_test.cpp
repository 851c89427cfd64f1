// What the module reads from virsh and the guest agent: block-device listing
// lines, guest-info replies, guest-exec and guest-exec-status replies, and the
// guest-exec request it builds from a program and its arguments.
#include "kvm/zv_module_kvm.h"
#include "kvm/kvm_test_module.h"
#include "support/test_module.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <gtest/gtest.h>

namespace json = boost::json;

namespace {

struct ListingCase {
    const char* line;
    bool ok;
    bool empty;
    kvm_disk_type type;
    kvm_device_type device;
    const char* target;
    const char* source;
};

TEST(BlockDeviceListing, LinesGiveTypeDeviceTargetAndSource) {
    const ListingCase cases[] = {
        {" file       disk     vda    /var/lib/libvirt/images/vm.qcow2", true, false,
         kvm_disk_type::file, kvm_device_type::disk, "vda", "/var/lib/libvirt/images/vm.qcow2"},
        {"file\tcdrom\thdc\t-", true, false, kvm_disk_type::file, kvm_device_type::cdrom, "hdc", "-"},
        {"network disk vdb pool/image", true, false, kvm_disk_type::network, kvm_device_type::disk,
         "vdb", "pool/image"},
        {"block lun sda /dev/sdb", true, false, kvm_disk_type::block, kvm_device_type::lun, "sda",
         "/dev/sdb"},
        {"nvme floppy fda /x", true, false, kvm_disk_type::nvme, kvm_device_type::floppy, "fda", "/x"},
        // The source is the rest of the line, blanks and all; a short line leaves the
        // rest at the defaults.
        {"volume disk vdc pool/vol extra words", true, false, kvm_disk_type::volume,
         kvm_device_type::disk, "vdc", "pool/vol extra words"},
        {" file   disk   vdd    /images/my  disk & co.img   ", true, false, kvm_disk_type::file,
         kvm_device_type::disk, "vdd", "/images/my  disk & co.img"},
        {"dir disk", true, false, kvm_disk_type::dir, kvm_device_type::disk, "", ""},
        {"   \t  ", true, true, kvm_disk_type::file, kvm_device_type::disk, "", ""},
        {"File disk vda /a", false, false, kvm_disk_type::file, kvm_device_type::disk, "", ""},
        {"file Disk vda /a", false, false, kvm_disk_type::file, kvm_device_type::disk, "", ""},
    };
    zv_test::LogCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        kvm_device_info device;
        bool empty = false;
        ASSERT_EQ(ZvModuleKvm::parse_block_device_line(c.line, device, empty), c.ok);
        EXPECT_EQ(empty, c.empty);
        if (!c.ok || c.empty) continue;
        EXPECT_EQ(device.type, c.type);
        EXPECT_EQ(device.device, c.device);
        EXPECT_EQ(device.target, c.target);
        EXPECT_EQ(device.source, c.source);
        EXPECT_TRUE(device.backing_chain.empty());
    }
    EXPECT_EQ(log.count("/usr/bin/virsh returned wrong type: File"), 1);
    EXPECT_EQ(log.count("/usr/bin/virsh returned wrong device: Disk"), 1);
}

std::string guest_info(const std::string& commands) {
    return R"({"return":{"version":"5.2.0","supported_commands":)" + commands + "}}";
}

TEST(GuestInfo, OnlyAnEnabledFreezeCommandCounts) {
    const struct {
        std::string reply;
        bool allowed;
        const char* logged;
    } cases[] = {
        {guest_info(R"([{"enabled":true,"name":"guest-ping"},{"enabled":true,"name":"guest-fsfreeze-freeze"}])"),
         true, "qemu-guest-agent is enabled on VM vm1, agent version: 5.2.0"},
        {guest_info(R"([{"enabled":false,"name":"guest-fsfreeze-freeze"}])"), false,
         "it looks like qemu-guest-agent is not enabled on VM: vm1"},
        {guest_info(R"([{"enabled":"true","name":"guest-fsfreeze-freeze"}])"), false,
         "it looks like qemu-guest-agent is not enabled on VM: vm1"},
        {R"({"error":{"class":"GenericError"}})", false,
         "it looks like qemu-guest-agent is not enabled on VM: vm1"},
        {"[1]", false, "json value is not qemu-agent-command response"},
        {"{}", false, "json object value is empty. Expected qemu-agent-command response"},
        {R"({"return":[]})", false, "json value is not 'return' object for qemu-agent-command"},
        {R"({"return":{}})", false, "json object value is empty. Expected qemu-agent-command return info"},
        {guest_info(R"({"name":"guest-fsfreeze-freeze"})"), false,
         "json value is not an array of 'supported_command' objects"},
        {guest_info("[]"), false, "array of 'supported_command' objects is empty"},
        {guest_info("[7]"), false, "json value is not 'supported_command' object"},
        {guest_info("[{}]"), false,
         "json object value is empty. Expected info about guest agent supported command"},
        {R"({"return": {"version": )", false, "bool ZvModuleKvm::qemu_guest_agent_enabled(): json: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        zv_test::LogCapture log;
        EXPECT_EQ(ZvModuleKvm::guest_info_allows_freeze(c.reply, "vm1"), c.allowed);
        EXPECT_EQ(log.count(c.logged), 1);
    }
}

TEST(GuestExec, RequestCarriesProgramAndArgumentsUnchanged) {
    const std::string program = R"(/opt/it's "odd"\dir/run.sh)";
    const auto arguments = ZvModuleKvm::guest_program_arguments("-f it's \"x\" $(reboot) \\");
    ASSERT_EQ(arguments, (std::vector<std::string>{"-f", "it's", "\"x\"", "$(reboot)", "\\"}));
    const json::value request = json::parse(ZvModuleKvm::guest_exec_request(program, arguments));
    EXPECT_EQ(request.at("execute").as_string(), "guest-exec");
    EXPECT_EQ(request.at("arguments").at("path").as_string(), program);
    const auto& args = request.at("arguments").at("arg").as_array();
    ASSERT_EQ(args.size(), arguments.size());
    for (std::size_t i = 0; i < args.size(); ++i) EXPECT_EQ(args[i].as_string(), arguments[i]);

    EXPECT_EQ(ZvModuleKvm::guest_program_arguments("before"), std::vector<std::string>{"before"});
    EXPECT_TRUE(ZvModuleKvm::guest_program_arguments("").empty());
}

TEST(GuestExec, PidComesFromTheReturnObject) {
    std::int64_t pid = 0;
    EXPECT_TRUE(ZvModuleKvm::parse_guest_exec_pid("{\"return\":{\"pid\":1234}}\n\n", pid));
    EXPECT_EQ(pid, 1234);
    for (const char* reply : {R"({"return":{}})", R"({"return":{"pid":"12"}})", R"({"error":{}})",
                              "error: Guest agent is not responding", ""}) {
        SCOPED_TRACE(reply);
        EXPECT_FALSE(ZvModuleKvm::parse_guest_exec_pid(reply, pid));
    }
}

TEST(GuestExec, StatusIsReadWhateverTheMemberOrder) {
    using Status = ZvModuleKvm::GuestExecStatus;
    const struct {
        const char* reply;
        bool valid, exited, has_exit_code;
        std::int64_t exit_code, signal;
    } cases[] = {
        {R"({"return":{"exitcode":0,"exited":true}})", true, true, true, 0, 0},
        {R"({"return":{"exited":true,"exitcode":3}})", true, true, true, 3, 0},
        {R"({"return":{"exited":false}})", true, false, false, -1, 0},
        // Killed by a signal: no exit code at all.
        {R"({"return":{"exited":true,"signal":9}})", true, true, false, -1, 9},
        {R"({"return":{"signal":9,"exited":true}})", true, true, false, -1, 9},
        {R"({"return":{"exitcode":0}})", false, false, false, -1, 0},
        {R"({"return":{"exited":"true"}})", false, false, false, -1, 0},
        {R"({"return":{"exited":tr)", false, false, false, -1, 0},
        {"", false, false, false, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        const Status status = ZvModuleKvm::parse_guest_exec_status(c.reply);
        EXPECT_EQ(status.valid, c.valid);
        EXPECT_EQ(status.exited, c.exited);
        EXPECT_EQ(status.has_exit_code, c.has_exit_code);
        if (c.has_exit_code) {
            EXPECT_EQ(status.exit_code, c.exit_code);
        }
        EXPECT_EQ(status.signal, c.signal);
    }
}

TEST(Snapshots, OverlaysOfFileDisksLieBesideTheirImagesTheOthersInOneAbsoluteDirectory) {
    using zv_test::device;
    const auto cdrom = device(kvm_disk_type::file, kvm_device_type::cdrom, "hdc", "/iso/boot.iso");
    const auto rbd = device(kvm_disk_type::network, kvm_device_type::disk, "vdb", "pool/image");
    const auto bare_rbd = device(kvm_disk_type::network, kvm_device_type::disk, "vdb", "image");
    const auto block = device(kvm_disk_type::block, kvm_device_type::disk, "vdc", "/dev/loop7");
    const auto vda = device(kvm_disk_type::file, kvm_device_type::disk, "vda", "/images/vm.qcow2");
    const auto at_root = device(kvm_disk_type::file, kvm_device_type::disk, "vda", "/vm.qcow2");
    const auto in_dev = device(kvm_disk_type::file, kvm_device_type::disk, "vda", "/dev/shm/vm.qcow2");

    struct Case {
        std::vector<kvm_device_info> devices;
        std::string operation_directory;
        std::string expected;
    };
    const Case cases[] = {
        // beside the first file disk; a CD-ROM's file does not count
        {{cdrom, rbd, block, vda}, "/var/zelvor/op", "/images"},
        // no file disk: the operation directory, made absolute
        {{rbd, block}, "/var/zelvor/op/", "/var/zelvor/op"},
        {{bare_rbd}, "relative/op", (boost::filesystem::current_path() / "relative/op").string()},
        // a first file disk at / or under /dev gives no place for data
        {{at_root, rbd}, "/var/zelvor/op", "/var/zelvor/op"},
        {{in_dev, block}, "/var/zelvor/op", "/var/zelvor/op"},
    };
    for (const auto& c : cases) {
        const std::string shared = ZvModuleKvm::shared_overlay_directory(c.devices, c.operation_directory);
        EXPECT_EQ(shared, c.expected);
        for (const auto& disk : c.devices) {
            if (disk.device != kvm_device_type::disk) continue;
            const std::string overlay = ZvModuleKvm::overlay_path(disk, "A", shared);
            if (disk.type == kvm_disk_type::file) {
                EXPECT_EQ(overlay, boost::filesystem::path(disk.source).parent_path().string() + "/A.snapshot." +
                                       disk.target + ".qcow2");
            } else {
                EXPECT_EQ(overlay, c.expected + "/A.snapshot." + disk.target + ".qcow2");
            }
        }
    }
}

}  // namespace
