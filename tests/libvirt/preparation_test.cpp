// Backup preparation and release against real libvirt and the test guest: the
// in-guest programs around one quiesced snapshot of all disks, the three work
// files, the merge back into a linked clone's own image, and every failure path
// leaving the domain on its own disks (or naming the overlay it could not merge).
#include "kvm/kvm_test_module.h"
#include "libvirt/domain_checks.h"
#include "libvirt/shared_guest.h"
#include "support/scratch_dir.h"
#include "support/test_module.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

namespace fs = boost::filesystem;
using namespace zv_test;

namespace {

class Preparation : public SharedGuestSuite<Preparation> {
public:
    static std::unique_ptr<TestDomain> make_guest() {
        DomainOptions options;
        options.name_prefix = "it's backed up";
        options.linked_clone = true;
        return std::make_unique<TestDomain>(options);
    }

protected:
    void SetUp() override {
        SharedGuestSuite::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        tmp_ = fs::path(scratch_root()) / unique_domain_name("operation");
        fs::create_directories(tmp_);
        base_sum_ = sha256_of(guest().base_image());
        calls_before_ = guest().script_calls().size();
    }
    void TearDown() override {
        if (!guest_) return;
        guest().set_script_behaviour("before", 0);
        guest().set_script_behaviour("after", 0);
        boost::system::error_code ec;
        fs::remove_all(tmp_, ec);
    }

    KvmTestModule module(const std::string& archive, const std::string& domain = "") {
        return KvmTestModule(
            KvmTestModule::backup_options(domain.empty() ? guest().name() : domain, tmp_.string(), archive));
    }
    // The in-guest program's arguments since the test began, in call order.
    std::vector<std::string> new_script_calls() {
        std::vector<std::string> arguments;
        const auto calls = guest().script_calls();
        for (std::size_t i = calls_before_; i < calls.size(); ++i)
            arguments.push_back(calls[i].substr(calls[i].find(' ') + 1));
        return arguments;
    }
    // What every path that ends the backup window must leave.
    void expect_domain_on_its_own_disks() {
        EXPECT_EQ(block_list(guest().name()), own_images(guest()));
        EXPECT_EQ(block_list(guest().name(), true), own_images(guest()));
        EXPECT_TRUE(overlay_files(guest().directory()).empty());
        EXPECT_EQ(sha256_of(guest().base_image()), base_sum_) << "the shared base changed";
        EXPECT_EQ(backing_file_of(guest().image("vda")), guest().base_image().string());
        EXPECT_EQ(guest().state(), "running");
        EXPECT_EQ(freeze_status(guest()), "thawed");
    }

    fs::path tmp_;
    std::string base_sum_;
    std::size_t calls_before_ = 0;
};


TEST_F(Preparation, RunningDomainIsBackedUpFromOneQuiescedSnapshotAndMergedBack) {
    LogCapture log;
    auto m = module("full_1");
    ASSERT_TRUE(m.prepare_resource_before_backup(false));
    const std::string name = guest().name();
    const std::string vda = guest().image("vda").string(), vdb = guest().image("vdb").string();
    const fs::path w = tmp_ / "full_1";

    EXPECT_EQ(new_script_calls(), (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(log.count("Default script exists in VM: /opt/zelvor/scripts/zelvor-kvm.sh"), 2);
    // The linked clone's base is part of its disk: it is listed and archived too.
    const std::string base = guest().base_image().string();
    EXPECT_EQ(read_file(w / "target_list"),
              "UUID " + name + "\nvda " + vda + "\nvdb " + vdb + "\nvda.backing.1 " + base + "\n");
    EXPECT_EQ(m.options().resource_list_file, (w / "zvfd.list").string());
    EXPECT_EQ(read_file(w / "zvfd.list"),
              "ZVFD file list:\n" + (w / "target_list").string() + " : target_list\n" +
                  (w / (name + ".xml")).string() + " : " + name + ".xml\n" + vda + " : vda\n" + vdb +
                  " : vdb\n" + base + " : vda.backing.1\n");
    const std::string xml = read_file(w / (name + ".xml"));
    EXPECT_NE(xml.find("<source file='" + vda + "'"), std::string::npos) << xml;
    EXPECT_EQ(xml.find(".snapshot."), std::string::npos) << "the XML was saved after the snapshot";

    // The window: the guest writes into the overlays while the images stay still.
    const std::map<std::string, std::string> overlays = {
        {"vda", (guest().directory() / "full_1.snapshot.vda.qcow2").string()},
        {"vdb", (guest().directory() / "full_1.snapshot.vdb.qcow2").string()}};
    EXPECT_EQ(block_list(name), overlays);
    EXPECT_EQ(log.count("Snapshot(s) was created for: "), 2);
    const int at_snapshot = line_count(guest().read_guest_file(kGuestCounter));
    const std::string written = counter_with(guest(), at_snapshot + 2);
    ASSERT_GE(line_count(written), at_snapshot + 2);

    ASSERT_TRUE(m.release_resource_after_backup());
    EXPECT_FALSE(fs::exists(w));
    expect_domain_on_its_own_disks();
    EXPECT_EQ(new_script_calls(), (std::vector<std::string>{"before", "after"})) << "release ran a program";
    const std::string on_disk = read_ext4_file(guest().image("vdb"), "/counter");
    EXPECT_NE(on_disk.find(last_line(written) + "\n"), std::string::npos)
        << "a write made during the window is not in the data image";
}

TEST_F(Preparation, ConfiguredProgramReplacesTheDefaultForItsStep) {
    LogCapture log;
    auto m = module("configured");
    m.set_module_params("script_before_snapshot:/bin/true,execution_script_timeout:3");
    ASSERT_TRUE(m.prepare_resource_before_backup(false));
    EXPECT_EQ(new_script_calls(), std::vector<std::string>{"after"});
    EXPECT_EQ(log.count("Run command '/bin/true' with argument '\"before\"' inside VM: " + guest().name()), 1);
    ASSERT_TRUE(m.release_resource_after_backup());
    expect_domain_on_its_own_disks();
}

TEST_F(Preparation, FailingBeforeProgramTakesNoSnapshot) {
    guest().set_script_behaviour("before", 3);
    LogCapture log;
    auto m = module("before_fails");
    EXPECT_FALSE(m.prepare_resource_before_backup(false));
    EXPECT_EQ(log.count("Internal VM script returned: 3"), 1);
    EXPECT_EQ(new_script_calls(), std::vector<std::string>{"before"});
    EXPECT_FALSE(fs::exists(tmp_ / "before_fails"));
    expect_domain_on_its_own_disks();
}

TEST_F(Preparation, FailingAfterProgramMergesTheSnapshotBack) {
    guest().set_script_behaviour("after", 4);
    LogCapture log;
    auto m = module("after_fails");
    EXPECT_FALSE(m.prepare_resource_before_backup(false));
    EXPECT_EQ(log.count("Internal VM script returned: 4"), 1);
    EXPECT_EQ(new_script_calls(), (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(log.count("Blockcommited: "), 2);
    EXPECT_FALSE(fs::exists(tmp_ / "after_fails"));
    expect_domain_on_its_own_disks();
    EXPECT_TRUE(m.release_resource_after_backup());
    EXPECT_EQ(log.count("Blockcommited: "), 2) << "the release merged again";
}

TEST_F(Preparation, FailingSnapshotStillRunsTheAfterProgramOnce) {
    const fs::path in_the_way = guest().directory() / "snap_fails.snapshot.vdb.qcow2";
    std::ofstream(in_the_way.string()) << "not ours";
    LogCapture log;
    auto m = module("snap_fails");
    EXPECT_FALSE(m.prepare_resource_before_backup(false));
    EXPECT_EQ(log.count("Can't create snapshot(s): "), 1);
    EXPECT_EQ(new_script_calls(), (std::vector<std::string>{"before", "after"}));
    EXPECT_FALSE(fs::exists(tmp_ / "snap_fails"));
    EXPECT_EQ(read_file(in_the_way), "not ours");
    fs::remove(in_the_way);
    expect_domain_on_its_own_disks();
    EXPECT_TRUE(m.release_resource_after_backup());
    EXPECT_EQ(new_script_calls(), (std::vector<std::string>{"before", "after"}));
}

TEST_F(Preparation, FailedMergeNamesTheOverlayAndALaterReleaseFinishesIt) {
    LogCapture log;
    auto m = module("merge_fails");
    ASSERT_TRUE(m.prepare_resource_before_backup(false));
    const std::string name = guest().name();
    const std::string vdb_overlay = (guest().directory() / "merge_fails.snapshot.vdb.qcow2").string();
    // A block job of its own keeps vdb busy, so the release's merge of vdb fails.
    const auto job = virsh({"blockcommit", name, "vdb", "--active", "--shallow"});
    ASSERT_TRUE(job.ok()) << job.describe();

    EXPECT_FALSE(m.release_resource_after_backup());
    EXPECT_EQ(log.count("The overlay " + vdb_overlay + " of disk vdb of VM " + name + " was not merged"), 1);
    EXPECT_FALSE(fs::exists(tmp_ / "merge_fails"));
    auto sources = block_list(name);
    EXPECT_EQ(sources["vda"], guest().image("vda").string());
    EXPECT_EQ(sources["vdb"], vdb_overlay);

    const auto abort = virsh({"blockjob", name, "vdb", "--abort"});
    ASSERT_TRUE(abort.ok()) << abort.describe();
    EXPECT_TRUE(m.release_resource_after_backup());
    expect_domain_on_its_own_disks();
}

TEST_F(Preparation, ReleaseWithoutASnapshotOfThisRunMergesNothing) {
    // A run that ended before its snapshot: committing the active layer then would
    // push the linked clone's own image into the shared base.
    LogCapture log;
    auto m = module("no_snapshot");
    bool online = false;
    ASSERT_TRUE(m.is_VM_online(guest().name(), online));
    m.vm_online = online;
    ASSERT_TRUE(m.vm_online);
    EXPECT_TRUE(m.release_resource_after_backup());
    EXPECT_EQ(log.count("Blockcommited: "), 0);
    expect_domain_on_its_own_disks();
}

TEST(PreparationOfOtherDomains, RunningDomainWithoutAgentIsRefusedBeforeAnyWork) {
    ZV_REQUIRE_LIBVIRT();
    DomainOptions options;
    options.agent_channel = false;
    options.wait_for_agent = false;
    TestDomain dom(options);
    const fs::path tmp = dom.directory() / "operation";
    LogCapture log;
    KvmTestModule m(KvmTestModule::backup_options(dom.name(), tmp.string(), "A"));
    EXPECT_FALSE(m.prepare_resource_before_backup(false));
    EXPECT_EQ(log.count("it looks like qemu-guest-agent is not enabled on VM: " + dom.name()), 1);
    EXPECT_FALSE(fs::exists(tmp));
    EXPECT_EQ(block_list(dom.name()), own_images(dom));
    EXPECT_TRUE(overlay_files(dom.directory()).empty());
}

TEST(PreparationOfOtherDomains, ShutOffDomainIsSavedWithoutProgramsOrSnapshotsUnlessRefused) {
    ZV_REQUIRE_LIBVIRT();
    DomainOptions options;
    options.start = false;
    TestDomain dom(options);
    const fs::path tmp = dom.directory() / "operation";
    const std::string vda = dom.image("vda").string(), vdb = dom.image("vdb").string();
    {
        LogCapture log;
        KvmTestModule m(KvmTestModule::backup_options(dom.name(), tmp.string(), "A"));
        ASSERT_TRUE(m.prepare_resource_before_backup(false));
        EXPECT_EQ(read_file(tmp / "A" / "target_list"),
                  "UUID " + dom.name() + "\nvda " + vda + "\nvdb " + vdb + "\n");
        EXPECT_EQ(read_file(tmp / "A" / "zvfd.list"),
                  "ZVFD file list:\n" + (tmp / "A" / "target_list").string() + " : target_list\n" +
                      (tmp / "A" / (dom.name() + ".xml")).string() + " : " + dom.name() + ".xml\n" +
                      vda + " : vda\n" + vdb + " : vdb\n");
        EXPECT_EQ(log.count("inside VM"), 0);
        EXPECT_EQ(log.count("Snapshot(s) was created"), 0);
        EXPECT_TRUE(overlay_files(dom.directory()).empty());
        EXPECT_TRUE(m.release_resource_after_backup());
        EXPECT_FALSE(fs::exists(tmp / "A"));
        EXPECT_EQ(dom.state(), "shut off");
    }
    {
        LogCapture log;
        KvmTestModule m(KvmTestModule::backup_options(dom.name(), tmp.string(), "B"));
        m.set_module_params("backup_if_shutdown:false");
        EXPECT_FALSE(m.prepare_resource_before_backup(false));
        EXPECT_EQ(log.count("The task settings do not allow you to back up a shutted off VM"), 1);
        EXPECT_FALSE(fs::exists(tmp / "B"));
    }
    {
        LogCapture log;
        KvmTestModule m(KvmTestModule::backup_options(dom.name(), tmp.string(), "C"));
        ASSERT_TRUE(m.prepare_resource_before_backup(true));
        EXPECT_EQ(read_file(tmp / "C" / "zvfd.list"), "ZVFD file list:\n" + vda + "\n" + vdb + "\n");
        EXPECT_TRUE(m.release_resource_after_backup());
    }
}

}  // namespace
