// A running test guest whose data disk is an RBD image of the run's cluster, reached by
// QEMU through a libvirt secret: backed up full and incremental with the real rbd, its
// overlay in a directory of files, the image exported as it was at the snapshot while
// the guest writes on, the writes merged back into the image; refused for a Ceph user
// without rights; restored as far as a domain with a network disk can be.
#include "libvirt/domain_checks.h"
#include "libvirt/module_runs.h"
#include "support/ceph_cluster.h"
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"
#include "support/test_guest.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <regex>

namespace fs = boost::filesystem;
using namespace zv_test;

namespace {

const char* const kDiskUser = "zvqemu";     // QEMU's and the backup's Ceph user
const char* const kNoRightsUser = "zvnone";  // may look at the monitor, not at the pool

std::string trimmed(std::string text) {
    text.erase(text.find_last_not_of(" \n") + 1);
    return text;
}

// An RBD image in the pool "rbd" holding a copy of the test guest's data disk, and the
// libvirt secret of type ceph through which QEMU opens it. Declared before the domain
// that uses it, so it goes after the domain.
class RbdDataDisk {
public:
    RbdDataDisk(const CephCluster& ceph, const fs::path& work) : ceph_(ceph) {
        static std::atomic<int> counter{0};
        image_ = "zvtest-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-data";
        const std::string key = ceph.make_user(kDiskUser, {"mon", "profile rbd", "osd", "profile rbd pool=rbd"});
        const fs::path raw = work / (image_ + ".raw");
        auto converted = run_program({"qemu-img", "convert", "-q", "-O", "raw",
                                      test_guest_files().data_image.string(), raw.string()});
        if (!converted.ok()) throw std::runtime_error(converted.describe());
        auto imported = ceph.rbd({"import", raw.string(), name()});
        fs::remove(raw);
        if (!imported.ok()) throw std::runtime_error(imported.describe());

        const fs::path secret_xml = work / (image_ + ".secret.xml");
        write_file(secret_xml, "<secret ephemeral='no' private='yes'><usage type='ceph'><name>" + image_ +
                                   " key</name></usage></secret>\n");
        auto defined = virsh({"secret-define", secret_xml.string()});
        std::smatch match;
        if (!defined.ok() || !std::regex_search(defined.out, match, std::regex("[0-9a-f-]{36}")))
            throw std::runtime_error(defined.describe());
        secret_ = match[0];
        auto set = virsh({"secret-set-value", secret_, "--base64", key});
        if (!set.ok()) throw std::runtime_error(set.describe());
    }
    ~RbdDataDisk() {
        if (!secret_.empty()) virsh({"secret-undefine", secret_});
        ceph_.rbd({"rm", "--no-progress", name()});
    }
    RbdDataDisk(const RbdDataDisk&) = delete;
    RbdDataDisk& operator=(const RbdDataDisk&) = delete;

    std::string name() const { return "rbd/" + image_; }

    std::string disk_xml() const {
        return "    <disk type='network' device='disk'>\n"
               "      <driver name='qemu' type='raw'/>\n"
               "      <auth username='" + std::string(kDiskUser) + "'><secret type='ceph' uuid='" + secret_ +
               "'/></auth>\n"
               "      <source protocol='rbd' name='" + name() + "'><host name='" + ceph_.mon_host() +
               "' port='" + ceph_.mon_port() + "'/></source>\n"
               "      <target dev='vdb' bus='virtio'/>\n"
               "    </disk>\n";
    }

    // The image's bytes as they are now, read by the admin.
    fs::path exported(const fs::path& file) const {
        auto result = ceph_.rbd({"export", "--no-progress", name(), file.string()});
        EXPECT_TRUE(result.ok()) << result.describe();
        return file;
    }

private:
    const CephCluster& ceph_;
    std::string image_;
    std::string secret_;
};

// Server-mode runs on a host set up as a Ceph client: the cluster's configuration at
// /etc/ceph/ceph.conf, where rbd looks for it.
class CephBox : public ServerModeBox {
public:
    explicit CephBox(const CephCluster& ceph) { box().bind("/etc/ceph/ceph.conf", ceph.conf()); }

    fs::path unpacked(const std::string& record) const { return unpack(record, box().root() / ("unpacked-" + record)); }
};

std::string log_of(const RunResult& result) {
    std::string text;
    for (const auto& line : result.log_lines()) text += line + "\n";
    return text;
}

std::string counter_of(const fs::path& image) { return read_ext4_file(image, "/counter"); }

std::set<std::string> rbd_pool(const CephCluster& ceph) {
    std::set<std::string> images;
    std::istringstream lines(ceph.rbd({"ls", "rbd"}).out);
    for (std::string line; std::getline(lines, line);) images.insert(line);
    return images;
}

// The test guest, running, with its data disk vdb on a fresh RBD image.
struct RbdGuest {
    RbdGuest(const CephCluster& ceph, const std::string& prefix)
        : rbd(ceph, work.path()), dom(options(rbd, prefix)) {}
    static DomainOptions options(const RbdDataDisk& rbd, const std::string& prefix) {
        DomainOptions o;
        o.name_prefix = prefix;
        o.data_disk_xml = rbd.disk_xml();
        return o;
    }
    // The disks the domain was defined with.
    std::map<std::string, std::string> own() const {
        return {{"vda", dom.image("vda").string()}, {"vdb", rbd.name()}};
    }

    ScratchDir work;
    RbdDataDisk rbd;
    TestDomain dom;  // goes before the image and the scratch directory it uses
};

class RbdDomain : public testing::Test {
protected:
    void SetUp() override {
        // Checked here so a missing cluster fails the test before any skip can happen.
        ceph_ = &ZV_REQUIRE_CEPH();
    }
    const CephCluster& ceph() const { return *ceph_; }
    const CephCluster* ceph_ = nullptr;
};

TEST_F(RbdDomain, BackupsExportTheSnapshotPointMergeBackAndRestoreToAFolder) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    RbdGuest guest(ceph(), "rbd");
    const RbdDataDisk& rbd = guest.rbd;
    const TestDomain& dom = guest.dom;
    const ScratchDir& work = guest.work;
    const auto own = guest.own();
    ASSERT_EQ(block_list(dom.name()), own);
    CephBox b(ceph());

    // Full backup: while the archiver runs, the guest writes into the overlays and
    // the RBD image lies still at the snapshot point.
    Hold hold(b.box().root() / "archiver");
    auto run = b.box().start(b.backup_args("-1", dom.name(), "full_1", {"-e", "ceph_user:" + std::string(kDiskUser)}),
                             held_archiver(hold));
    ASSERT_TRUE(wait_for_archiver(run, hold)) << describe(run.wait());
    const std::string vdb_overlay = (dom.directory() / "full_1.snapshot.vdb.qcow2").string();
    const std::map<std::string, std::string> during = {
        {"vda", (dom.directory() / "full_1.snapshot.vda.qcow2").string()}, {"vdb", vdb_overlay}};
    ASSERT_EQ(block_list(dom.name()), during) << "the RBD disk's overlay is not beside the first file disk";
    const fs::path at_snapshot = rbd.exported(work.path() / "at-snapshot.raw");
    hold.release();
    const RunResult full = run.wait();
    ASSERT_EQ(full.status, 0) << describe(full);
    // The incremental backup takes the full one's snapshot file away: keep a copy to restore with.
    const fs::path snap_copy = b.box().root() / "snap-copy" / "full_1.snap";
    fs::create_directories(snap_copy.parent_path());
    fs::copy_file(b.operation() / "full_1.snap", snap_copy);

    // The archive holds the image exported at the snapshot point.
    const fs::path archive = b.unpacked("full_1");
    EXPECT_TRUE(same_bytes(archive / "vdb", at_snapshot)) << "the exported image is not the snapshot point";
    EXPECT_EQ(read_file(archive / "target_list"), "UUID " + dom.name() + "\nvda " + dom.image("vda").string() +
                                                       "\nvdb " + rbd.name() + "\n");

    // The guest kept writing; the merge put the writes into the RBD image, and the domain
    // runs on its own disks again with no overlay left anywhere.
    EXPECT_EQ(block_list(dom.name()), own);
    EXPECT_EQ(block_list(dom.name(), true), own);
    EXPECT_EQ(overlay_files(dom.directory()), std::set<std::string>{}) << log_of(full);
    EXPECT_EQ(overlay_files(b.operation()), std::set<std::string>{});
    const std::string counted_at_snapshot = counter_of(at_snapshot);
    const fs::path after = rbd.exported(work.path() / "after.raw");
    const std::string counted_after = counter_of(after);
    EXPECT_GT(line_count(counted_after), line_count(counted_at_snapshot));
    EXPECT_EQ(counted_after.compare(0, counted_at_snapshot.size(), counted_at_snapshot), 0)
        << "the writes after the snapshot did not land on top of it";

    // Incremental: the same again, on the full one's metadata.
    const RunResult incr = b.box().run(b.backup_args("-2", dom.name(), "incr_1",
                                                     {"-e", "ceph_user:" + std::string(kDiskUser), "-s",
                                                      (b.operation() / "full_1.snap").string()}));
    ASSERT_EQ(incr.status, 0) << describe(incr);
    EXPECT_EQ(block_list(dom.name()), own);
    EXPECT_EQ(overlay_files(dom.directory()), std::set<std::string>{}) << log_of(incr);
    EXPECT_TRUE(fs::exists(b.unpacked("incr_1") / "vdb"));

    // Restore of the full backup: a network disk cannot be defined directly, so the run
    // says where the files are and that it did not complete; the pool stays as it was.
    // Stopped, the guest no longer writes: whatever changes in the pool now is the restore's.
    guest.dom.destroy();
    const std::set<std::string> pool_before = rbd_pool(ceph());
    const fs::path image_before = rbd.exported(work.path() / "before-restore.raw");
    const fs::path restore_to = b.box().root() / "restore";
    fs::create_directories(restore_to);
    const RunResult restored = b.box().run({"-r", "full_1", "-M", snap_copy.string(), "-d", restore_to.string(),
                                            "-m", kMediaServer, "-T", kTaskId, "-e", "last:true"});
    EXPECT_EQ(restored.status, 7) << describe(restored);
    EXPECT_TRUE(restored.has_log("------------>> Direct restore is not supported <<------------"));
    std::smatch where;
    const std::string out = strip_colours(restored.out);
    ASSERT_TRUE(std::regex_search(out, where, std::regex("You can find restored archive here: ([^\\n]+)")))
        << describe(restored);
    const fs::path folder = trimmed(where[1]);
    // The exported image lies there under its target's name.
    EXPECT_TRUE(same_bytes(folder / "vdb", at_snapshot))
        << "the restored folder does not hold the image at the snapshot point: " << folder << " holds "
        << testing::PrintToString(entries(folder));
    EXPECT_EQ(rbd_pool(ceph()), pool_before);
    EXPECT_TRUE(same_bytes(rbd.exported(work.path() / "after-restore.raw"), image_before))
        << "the restore wrote into the pool";
    EXPECT_EQ(block_list(dom.name(), true), own);
}

TEST_F(RbdDomain, UserWithoutRightsOnThePoolIsRefusedAndTheDomainKeepsItsDisks) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    ceph().make_user(kNoRightsUser, {"mon", "allow r"});
    RbdGuest guest(ceph(), "rbd-refused");
    const TestDomain& dom = guest.dom;
    const auto own = guest.own();
    CephBox b(ceph());

    const RunResult result =
        b.box().run(b.backup_args("-1", dom.name(), "full_1", {"-e", "ceph_user:" + std::string(kNoRightsUser)}));
    EXPECT_EQ(result.status, 6) << describe(result);
    // rbd's own complaint stands in the log after the command.
    EXPECT_TRUE(result.has_log("/usr/bin/rbd export 'rbd/")) << describe(result);
    EXPECT_TRUE(result.has_log("rbd: ")) << describe(result);
    EXPECT_EQ(block_list(dom.name()), own);
    EXPECT_EQ(block_list(dom.name(), true), own);
    EXPECT_EQ(overlay_files(dom.directory()), std::set<std::string>{}) << log_of(result);
    EXPECT_EQ(overlay_files(b.operation()), std::set<std::string>{});
    EXPECT_FALSE(fs::exists(b.operation() / "full_1")) << "the work directory stayed";
    EXPECT_EQ(dom.state(), "running");
}

}  // namespace
