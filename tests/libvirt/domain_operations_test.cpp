// The module's domain operations against real libvirt and the test guest: state,
// disks with backing chains, XML, guest agent, guest programs, and one snapshot
// of all disks merged back into a linked clone's own image. The running guest's
// name holds a blank and a quote, so every command line must quote it.
#include "kvm/kvm_test_module.h"
#include "libvirt/domain_checks.h"
#include "libvirt/shared_guest.h"
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

class DomainOperations : public SharedGuestSuite<DomainOperations> {
public:
    static std::unique_ptr<TestDomain> make_guest() {
        DomainOptions options;
        options.name_prefix = "it's a guest";
        options.linked_clone = true;
        options.extra_disks = {{"8M", "more/extra.qcow2"}};
        return std::make_unique<TestDomain>(options);
    }

protected:
    static KvmTestModule module_for(const std::string& domain) {
        return KvmTestModule(KvmTestModule::backup_options(domain, scratch_root(), "unused"));
    }
};

TEST_F(DomainOperations, StateDecidesWhetherAndHowToBackUp) {
    LogCapture log;
    auto m = module_for(guest().name());
    bool online = false;
    EXPECT_TRUE(m.is_VM_online(guest().name(), online));
    EXPECT_TRUE(online);
    EXPECT_EQ(log.count("Status of VM '" + guest().name() + "': |running|"), 1);

    ASSERT_TRUE(virsh({"suspend", guest().name()}).ok());
    EXPECT_TRUE(m.is_VM_online(guest().name(), online));
    EXPECT_TRUE(online) << "a paused domain may be resumed during the copy: it needs a snapshot";
    EXPECT_TRUE(m.vm_paused);
    ASSERT_TRUE(virsh({"resume", guest().name()}).ok());

    DomainOptions off;
    off.start = false;
    TestDomain stopped(off);
    online = true;
    EXPECT_TRUE(m.is_VM_online(stopped.name(), online));
    EXPECT_FALSE(online);

    online = true;
    EXPECT_FALSE(m.is_VM_online(stopped.name() + "-missing", online));
    EXPECT_FALSE(online);
    EXPECT_EQ(log.count("bool ZvModuleKvm::is_VM_online(std::__cxx11::string, bool&): Command: "), 1);
}

TEST_F(DomainOperations, DisksCarryTheirBackingChains) {
    LogCapture log;
    auto m = module_for(guest().name());
    std::vector<kvm_device_info> devices;
    ASSERT_TRUE(m.load_online_VM_devices(guest().name(), &devices));
    ASSERT_EQ(devices.size(), 3u);
    const std::vector<std::vector<std::string>> chains = {
        {guest().image("vda").string(), guest().base_image().string()},
        {guest().image("vdb").string()},
        {guest().image("vdc").string()}};
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].type, kvm_disk_type::file);
        EXPECT_EQ(devices[i].device, kvm_device_type::disk);
        EXPECT_EQ(devices[i].source, chains[i][0]);
        EXPECT_EQ(devices[i].backing_chain, chains[i]) << devices[i].target;
    }
    EXPECT_EQ(devices[2].target, "vdc");
}

TEST_F(DomainOperations, SymlinkedImagesResolveAndMissingImagesFail) {
    LogCapture log;
    DomainOptions off;
    off.start = false;
    TestDomain stopped(off);
    const fs::path real = stopped.directory() / "real.qcow2";
    const fs::path link = stopped.directory() / "link.qcow2";
    ASSERT_TRUE(run_program({"qemu-img", "create", "-q", "-f", "qcow2", real.string(), "4M"}).ok());
    fs::create_symlink(real.filename(), link);
    const auto attach = virsh({"attach-disk", stopped.name(), link.string(), "vdc", "--config",
                               "--subdriver", "qcow2"});
    ASSERT_TRUE(attach.ok()) << attach.describe();

    auto m = module_for(stopped.name());
    std::vector<kvm_device_info> devices;
    ASSERT_TRUE(m.load_online_VM_devices(stopped.name(), &devices));
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[2].source, link.string());
    EXPECT_EQ(devices[2].backing_chain, std::vector<std::string>{real.string()});

    fs::remove(real);
    devices.clear();
    EXPECT_FALSE(m.load_online_VM_devices(stopped.name(), &devices));
    EXPECT_EQ(log.count(": Can't find file: " + link.string()), 1);
    EXPECT_EQ(devices.size(), 2u) << "the disks read before the failure stay";
}

TEST_F(DomainOperations, XmlDefinitionIsSaved) {
    LogCapture log;
    auto m = module_for(guest().name());
    const fs::path dir = fs::path(scratch_root()) / unique_domain_name("xml dir's");
    fs::create_directories(dir);
    const fs::path xml = dir / (guest().name() + ".xml");
    ASSERT_TRUE(m.create_VM_xml(guest().name(), xml.string()));
    std::ifstream file(xml.string());
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("<domain type='qemu'"), std::string::npos);
    EXPECT_NE(text.find(guest().image("vdb").string()), std::string::npos);

    EXPECT_FALSE(m.create_VM_xml(guest().name() + "-missing", (dir / "missing.xml").string()));
    EXPECT_EQ(log.count(": Can't create xml file of VM: " + guest().name() + "-missing"), 1);
    fs::remove_all(dir);
}

TEST_F(DomainOperations, GuestAgentMustOfferFreeze) {
    LogCapture log;
    auto m = module_for(guest().name());
    EXPECT_TRUE(m.qemu_guest_agent_enabled());
    EXPECT_EQ(log.count("qemu-guest-agent is enabled on VM " + guest().name() + ", agent version: "), 1);

    DomainOptions off;
    off.start = false;
    TestDomain stopped(off);
    log.clear();
    auto without_agent = module_for(stopped.name());
    EXPECT_FALSE(without_agent.qemu_guest_agent_enabled());
    EXPECT_EQ(log.count("it looks like qemu-guest-agent is not enabled on VM: " + stopped.name()), 1);
    EXPECT_EQ(log.count("Command was: "), 1);
    EXPECT_EQ(log.count("Command output: "), 1);
}

TEST_F(DomainOperations, GuestProgramsRunWithTheirArgumentsAndExitCodes) {
    LogCapture log;
    auto m = module_for(guest().name());
    const std::string& dom = guest().name();
    EXPECT_TRUE(m.kvm_run_script_inside_vm(dom, "/usr/bin/test", std::string("-f ") + kGuestScript, 1));
    EXPECT_EQ(log.count("Run command"), 0) << "the probe is not logged";

    EXPECT_FALSE(m.kvm_run_script_inside_vm(dom, "/usr/bin/test", "-f /opt/zelvor/scripts/none.sh", 1));
    EXPECT_EQ(log.count("Internal VM script returned: 1"), 1);

    // Quotes, backslashes and shell text reach the guest as they are: test -n gets
    // a non-empty word and = compares two equal ones.
    log.clear();
    EXPECT_TRUE(m.kvm_run_script_inside_vm(dom, "/usr/bin/test", "it's\"$(x)\\ = it's\"$(x)\\", 1));
    EXPECT_EQ(log.count("Can't execute script inside VM"), 0);

    const std::size_t calls = guest().script_calls().size();
    EXPECT_TRUE(m.kvm_run_script_inside_vm(dom, kGuestScript, "before", 5));
    EXPECT_EQ(log.count("Run command '" + std::string(kGuestScript) + "' with argument '\"before\"' inside VM: " + dom + ", pid: "), 1);
    const auto recorded = guest().script_calls();
    ASSERT_EQ(recorded.size(), calls + 1);
    EXPECT_EQ(recorded.back().substr(recorded.back().find(' ')), " before");

    EXPECT_FALSE(m.kvm_run_script_inside_vm(dom, "/opt/zelvor/scripts/absent", "x", 1));
    EXPECT_EQ(log.count("Can't execute script inside VM"), 1);
}

TEST_F(DomainOperations, GuestProgramTimeoutsAndSignals) {
    LogCapture log;
    auto m = module_for(guest().name());
    const std::string& dom = guest().name();
    // Far longer than the timeout, so that only waiting for the program's end, not a
    // busy machine, takes the call past the bound.
    guest().set_script_behaviour("slow", 0, 60);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m.kvm_run_script_inside_vm(dom, kGuestScript, "slow", 2));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(log.count("Internal VM script execution timed out"), 1);
    EXPECT_GE(waited, std::chrono::seconds(2));
    EXPECT_LT(waited, std::chrono::seconds(30)) << "waited for the program to end";

    log.clear();
    EXPECT_FALSE(m.kvm_run_script_inside_vm(dom, kGuestScript, "slow", 0));
    EXPECT_EQ(log.count("Internal VM script execution timed out"), 1);
    guest().set_script_behaviour("slow", 0, 0);

    // A program killed by a signal gets no exit code in the agent's answer.
    const auto made = guest().exec("/bin/sh", {"-c", "printf '#!/bin/sh\\nkill -9 $$\\n' >/tmp/killed.sh; chmod +x /tmp/killed.sh"});
    ASSERT_TRUE(made.ok()) << made.describe();
    log.clear();
    EXPECT_FALSE(m.kvm_run_script_inside_vm(dom, "/tmp/killed.sh", "", 5));
    EXPECT_EQ(log.count("Internal VM script returned no exit code: it was ended by signal 9"), 1);
    EXPECT_EQ(log.count("timed out"), 0);
}

TEST_F(DomainOperations, SnapshotOfAllDisksMergesIntoTheLinkedClonesOwnImage) {
    LogCapture log;
    auto m = module_for(guest().name());
    const std::string& dom = guest().name();
    std::vector<kvm_device_info> devices;
    ASSERT_TRUE(m.load_online_VM_devices(dom, &devices));
    const std::string base_sum = sha256_of(guest().base_image());

    ASSERT_EQ(m.create_kvm_snapshots(dom, "S 1", devices), 0);
    std::map<std::string, std::string> overlays;
    for (const auto& d : devices) overlays[d.target] = m.overlay_path(d, "S 1", devices);
    EXPECT_EQ(block_list(dom), overlays);
    EXPECT_EQ(overlays["vdc"], (guest().directory() / "more" / "S 1.snapshot.vdc.qcow2").string());
    EXPECT_EQ(freeze_status(guest()), "thawed");

    EXPECT_EQ(m.commit_kvm_snapshots(dom, "S 1", devices), 0);
    EXPECT_EQ(block_list(dom), own_images(guest()));
    EXPECT_EQ(block_list(dom, true), own_images(guest()));
    EXPECT_TRUE(overlay_files(guest().directory()).empty());
    EXPECT_EQ(sha256_of(guest().base_image()), base_sum) << "the merge reached the shared base";
    EXPECT_EQ(backing_file_of(guest().image("vda")), guest().base_image().string());
    EXPECT_EQ(log.count("Blockcommited: "), 3);
    EXPECT_EQ(log.count("Remove obsoleted file: "), 3);
    EXPECT_EQ(guest().state(), "running");
}

TEST_F(DomainOperations, FailedSnapshotLeavesEveryDiskAsItWas) {
    LogCapture log;
    auto m = module_for(guest().name());
    const std::string& dom = guest().name();
    std::vector<kvm_device_info> devices;
    ASSERT_TRUE(m.load_online_VM_devices(dom, &devices));
    // A file where vdb's overlay would go: libvirt refuses the whole atomic snapshot.
    const fs::path in_the_way = m.overlay_path(devices[1], "S2", devices);
    std::ofstream(in_the_way.string()) << "not ours";

    EXPECT_EQ(m.create_kvm_snapshots(dom, "S2", devices), 6);
    EXPECT_EQ(log.count("Can't create snapshot(s): "), 1);
    EXPECT_EQ(block_list(dom), own_images(guest()));
    EXPECT_EQ(overlay_files(guest().directory()), std::set<std::string>{in_the_way.string()});
    std::ifstream kept(in_the_way.string());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "not ours");
    fs::remove(in_the_way);
}

TEST_F(DomainOperations, FailedMergeGoesOnWithTheOtherDisksAndNamesItsOverlay) {
    LogCapture log;
    auto m = module_for(guest().name());
    const std::string& dom = guest().name();
    std::vector<kvm_device_info> devices;
    ASSERT_TRUE(m.load_online_VM_devices(dom, &devices));
    ASSERT_EQ(m.create_kvm_snapshots(dom, "S3", devices), 0);
    // A commit of vda left waiting for its pivot keeps vda busy with a block job.
    const auto job = virsh({"blockcommit", dom, "vda", "--active", "--shallow"});
    ASSERT_TRUE(job.ok()) << job.describe();

    EXPECT_EQ(m.commit_kvm_snapshots(dom, "S3", devices), 6);
    const std::string vda_overlay = m.overlay_path(devices[0], "S3", devices);
    EXPECT_EQ(log.count("Can't blockcommit snapshot(s): "), 1);
    EXPECT_EQ(log.count("The overlay " + vda_overlay + " of disk vda of VM " + dom + " was not merged"), 1);
    auto sources = block_list(dom);
    EXPECT_EQ(sources["vda"], vda_overlay);
    EXPECT_EQ(sources["vdb"], guest().image("vdb").string());
    EXPECT_EQ(sources["vdc"], guest().image("vdc").string());
    EXPECT_TRUE(fs::exists(vda_overlay));

    const auto pivot = pivot_when_ready(dom, "vda");
    ASSERT_TRUE(pivot.ok()) << pivot.describe();
    fs::remove(vda_overlay);
    EXPECT_EQ(block_list(dom), own_images(guest()));
}

}  // namespace
