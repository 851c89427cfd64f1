// A running domain with a block disk on a loop device: its overlay lies beside the
// domain's first file disk (never under /dev), the archive holds the device as it was
// at the snapshot, and the domain ends on the device again.
#include "libvirt/domain_checks.h"
#include "libvirt/module_runs.h"
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"
#include "support/test_guest.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace fs = boost::filesystem;
using namespace zv_test;

namespace {

// A loop device over a file of random bytes, detached with the object.
class LoopDevice {
public:
    explicit LoopDevice(const fs::path& file) {
        auto filled = run_program({"dd", "if=/dev/urandom", "of=" + file.string(), "bs=1M", "count=8", "status=none"});
        if (!filled.ok()) throw std::runtime_error(filled.describe());
        auto attached = run_program({"losetup", "--find", "--show", file.string()});
        if (!attached.ok()) throw std::runtime_error(attached.describe());
        device_ = attached.out.substr(0, attached.out.find('\n'));
    }
    ~LoopDevice() {
        if (!device_.empty()) run_program({"losetup", "-d", device_});
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& device() const { return device_; }

private:
    std::string device_;
};

TEST(BlockDisk, RunningDomainOnALoopDeviceKeepsItsOverlayBesideItsFiles) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    ScratchDir work;
    LoopDevice loop(work.path() / "block.img");
    DomainOptions options;
    options.name_prefix = "block";
    options.other_disks_xml = {"    <disk type='block' device='disk'>\n"
                               "      <driver name='qemu' type='raw'/>\n"
                               "      <source dev='" + loop.device() + "'/>\n"
                               "      <target dev='vdc' bus='virtio'/>\n"
                               "    </disk>\n"};
    TestDomain dom(options);
    std::map<std::string, std::string> own = own_images(dom);
    own["vdc"] = loop.device();
    ASSERT_EQ(block_list(dom.name()), own);
    ServerModeBox b;

    Hold hold(b.box().root() / "archiver");
    auto run = b.box().start(b.backup_args("-1", dom.name(), "full_1"), held_archiver(hold));
    ASSERT_TRUE(wait_for_archiver(run, hold)) << describe(run.wait());
    const auto during = block_list(dom.name());
    EXPECT_EQ(during.at("vdc"), (dom.directory() / "full_1.snapshot.vdc.qcow2").string());
    EXPECT_FALSE(fs::exists("/dev/full_1.snapshot.vdc.qcow2"));
    const fs::path at_snapshot = work.path() / "at-snapshot.raw";
    ASSERT_TRUE(run_program({"cp", loop.device(), at_snapshot.string()}).ok());
    // The guest does not use vdc; a write through the overlay shows the device lies still.
    ASSERT_TRUE(dom.exec("/bin/sh", {"-c", "echo changed >/dev/vdc && sync"}).ok());

    hold.release();
    const RunResult result = run.wait();
    ASSERT_EQ(result.status, 0) << describe(result);
    const fs::path archive = b.unpack("full_1", b.box().root() / "unpacked");
    EXPECT_TRUE(same_bytes(archive / "vdc", at_snapshot)) << "the archive does not hold the snapshot point";
    EXPECT_EQ(block_list(dom.name()), own);
    EXPECT_EQ(block_list(dom.name(), true), own);
    EXPECT_TRUE(overlay_files(dom.directory()).empty());
    EXPECT_FALSE(fs::exists("/dev/full_1.snapshot.vdc.qcow2"));
    // The write made during the backup was merged into the device.
    EXPECT_EQ(read_file(loop.device()).substr(0, 8), "changed\n");
}

}  // namespace
