// Whole restores and replica applications through the real binary, the real libvirt,
// the test guest and the stand-in archiver, from backups the module made itself: what
// the restore directory holds after each run, which domain is defined from it, under
// which name and on which images, and that a restore that cannot define the domain
// keeps the restored files where it says they are.
#include "libvirt/domain_checks.h"
#include "libvirt/module_runs.h"
#include "support/module_sandbox.h"
#include "support/test_guest.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

namespace fs = boost::filesystem;
using namespace zv_test;

namespace {

const char* const kNotDirect = "------------>> Direct restore is not supported <<------------";
const char* const kFindHere = "------------>> You can find restored archive here: ";

// Bytes the file system has allocated for a file.
long long allocated(const fs::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? static_cast<long long>(info.st_blocks) * 512 : -1;
}

bool domain_exists(const std::string& name) { return virsh({"domstate", name}).ok(); }

std::string uuid_of(const std::string& name) {
    std::string out = virsh({"domuuid", name}).out;
    out.erase(out.find_last_not_of(" \n") + 1);
    return out;
}

std::string inactive_xml(const std::string& name) { return virsh({"dumpxml", "--inactive", name}).out; }

// The n-th free image name the restore picks beside an image that still exists.
std::string taken_image_path(const fs::path& image, int n) {
    const std::string source = image.string();
    const std::string suffix = ".qcow2";
    if (source.size() > suffix.size() && source.compare(source.size() - suffix.size(), suffix.size(), suffix) == 0)
        return source.substr(0, source.size() - suffix.size()) + "-" + std::to_string(n) + suffix;
    return source + "-" + std::to_string(n);
}

std::map<std::string, std::string> taken_images(const TestDomain& dom, int n) {
    std::map<std::string, std::string> images;
    for (const auto& disk : dom.disks()) images[disk.target] = taken_image_path(disk.image, n);
    return images;
}

// The domains a restore defined, undefined when the test ends however it ends. Their
// images lie in the test domain's directory, which the test domain removes.
struct DefinedByRestore {
    std::vector<std::string> names;
    ~DefinedByRestore() {
        for (const auto& name : names) remove_domain(name);
    }
};

// The server-mode sandbox the restores of a test run in, from backups made in it.
class RestoreBox : public ServerModeBox {
public:
    // "-1" a full backup, "-A" a replica.
    void backup(const std::string& kind, const std::string& domain, const std::string& record) {
        const RunResult result = box().run(backup_args(kind, domain, record));
        ASSERT_EQ(result.status, 0) << describe(result);
    }

    // Every run gets its own copy of the snapshot file the backup left, so no run can
    // depend on what an earlier one did with it.
    fs::path snapshot_copy(const std::string& record) {
        const fs::path dir = box().root() / ("snap-" + std::to_string(++copies_));
        fs::create_directories(dir);
        fs::copy_file(operation() / (record + ".snap"), dir / (record + ".snap"));
        last_snapshot_ = dir / (record + ".snap");
        return last_snapshot_;
    }
    // The copy the last run was given.
    const fs::path& last_snapshot() const { return last_snapshot_; }

    // A restore (-r) or a replica application (-R) into `directory`.
    RunResult restore(const std::string& operation, const std::string& record, const fs::path& directory,
                      std::vector<std::string> extra = {}, std::map<std::string, std::string> env = {}) {
        fs::create_directories(directory);
        std::vector<std::string> args = {operation, record, "-M", snapshot_copy(record).string(),
                                         "-d", directory.string(), "-m", kMediaServer, "-T", kTaskId};
        args.insert(args.end(), extra.begin(), extra.end());
        RunOptions options;
        options.env = std::move(env);
        return box().run(args, options);
    }

    // The archive of the store unpacked by the stand-in itself: what was backed up.
    fs::path unpack_archive(const std::string& record) const {
        return unpack(record, box().root() / ("archive-" + record));
    }

private:
    int copies_ = 0;
    fs::path last_snapshot_;
};

// The restored record under the names the backup gave: target list, XML, one image
// per disk target.
std::set<std::string> record_files(const TestDomain& dom) {
    std::set<std::string> names = {"target_list", dom.name() + ".xml"};
    for (const auto& disk : dom.disks()) names.insert(disk.target);
    return names;
}

// A shut-off test domain whose disks make the restore's choices visible: vdc's image
// has the file name of vda's in another directory, and vdd's path holds a blank, does
// not end in ".qcow2" and is a sparse file (qcow2 metadata over 64 MiB of holes).
DomainOptions shut_off() {
    DomainOptions options;
    options.start = false;
    return options;
}

DomainOptions shut_off_with_awkward_disks(const std::string& prefix) {
    DomainOptions options = shut_off();
    options.name_prefix = prefix;
    ExtraDisk same_file_name;
    same_file_name.file_name = "other/system.qcow2";
    ExtraDisk sparse;
    sparse.file_name = "sparse disk.img";
    options.extra_disks = {same_file_name, sparse};
    return options;
}

void make_sparse(const fs::path& image) {
    fs::remove(image);
    const auto made = run_program({"qemu-img", "create", "-q", "-f", "qcow2", "-o", "preallocation=metadata",
                                   image.string(), "64M"});
    ASSERT_TRUE(made.ok()) << made.describe();
    ASSERT_LT(allocated(image) * 8, static_cast<long long>(fs::file_size(image))) << "not sparse to begin with";
}

// What a backed-up image was: its content and how much of it was allocated.
struct ImageFacts {
    std::string sha256;
    long long allocated = 0;
};

std::map<std::string, ImageFacts> facts_of(const TestDomain& dom) {
    std::map<std::string, ImageFacts> facts;
    for (const auto& disk : dom.disks()) facts[disk.target] = {sha256_of(disk.image), allocated(disk.image)};
    return facts;
}

// The images a restored domain runs on hold the backed-up bytes and are as sparse.
void expect_restored_images(const std::map<std::string, std::string>& images,
                            const std::map<std::string, ImageFacts>& backed_up) {
    for (const auto& [target, path] : images) {
        SCOPED_TRACE(target + " at " + path);
        ASSERT_TRUE(fs::exists(path));
        EXPECT_EQ(sha256_of(path), backed_up.at(target).sha256);
        // Room for the extent blocks of a file written in pieces.
        EXPECT_LE(allocated(path), backed_up.at(target).allocated + 64 * 1024);
    }
}

void wait_for_agent(const std::string& domain) {
    CommandResult last;
    const bool answered = wait_for(
        [&] {
            last = virsh({"qemu-agent-command", domain, R"({"execute":"guest-ping"})"}, 10);
            return last.ok();
        });
    if (!answered) FAIL() << "the guest agent of " << domain << " did not answer: " << last.describe();
}

}  // namespace

// One backup, restored five times: without last (files stay, nothing defined), then
// finished with last:true on the same restore directory (N-0 beside the original),
// again (N-1), and after the original and its images are gone (its own name and paths).
TEST(RestoreRun, RecordIsRestoredBesideTheOriginalThenInItsPlace) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    TestDomain dom(shut_off_with_awkward_disks("it's & restored"));
    DefinedByRestore restored;
    make_sparse(dom.image("vdd"));
    RestoreBox b;
    ASSERT_NO_FATAL_FAILURE(b.backup("-1", dom.name(), "full_1"));
    const auto backed_up = facts_of(dom);
    const std::string original_xml = inactive_xml(dom.name());
    const std::string original_uuid = uuid_of(dom.name());
    const fs::path tmp = b.box().root() / "restore";
    const fs::path rest = tmp / "full_1.rest";

    // A run without last leaves the record unpacked for the record's later runs.
    const RunResult first = b.restore("-r", "full_1", tmp);
    ASSERT_EQ(first.status, 0) << describe(first);
    EXPECT_TRUE(first.has_log("The archive 'full_1' has been unpacked successfully"));
    EXPECT_TRUE(first.has_log("Removing obsolete snapshot file: " + b.last_snapshot().string()));
    EXPECT_FALSE(fs::exists(b.last_snapshot())) << "a restored record's snapshot file stayed";
    EXPECT_EQ(entries(rest), record_files(dom)) << describe(first);
    for (const auto& disk : dom.disks())
        EXPECT_TRUE(same_bytes(rest / disk.target, disk.image)) << disk.target;
    EXPECT_FALSE(first.has_log("Try to deploy..."));
    EXPECT_FALSE(domain_exists(dom.name() + "-0"));

    // The last run of the record, on the directory the first one filled (-i).
    restored.names.push_back(dom.name() + "-0");
    const RunResult second = b.restore("-r", "full_1", tmp, {"-i", "full_1", "-e", "last:true"});
    ASSERT_EQ(second.status, 0) << describe(second);
    EXPECT_TRUE(second.has_log("Domain name " + dom.name() + " is used")) << describe(second);
    EXPECT_TRUE(second.has_log("New domain was defined from XML file: " + rest.string() + "/" + dom.name() +
                               ".xml"));
    ASSERT_TRUE(domain_exists(dom.name() + "-0")) << describe(second);
    EXPECT_EQ(block_list(dom.name() + "-0", true), taken_images(dom, 0));
    expect_restored_images(taken_images(dom, 0), backed_up);
    EXPECT_NE(uuid_of(dom.name() + "-0"), original_uuid);
    EXPECT_FALSE(uuid_of(dom.name() + "-0").empty());
    EXPECT_FALSE(fs::exists(rest)) << "the restore directory stayed";
    EXPECT_TRUE(fs::is_directory(tmp)) << "the client's directory went with it";
    EXPECT_EQ(inactive_xml(dom.name()), original_xml);
    for (const auto& [target, facts] : facts_of(dom))
        EXPECT_EQ(facts.sha256, backed_up.at(target).sha256) << "the original's " << target << " changed";

    restored.names.push_back(dom.name() + "-1");
    const RunResult third = b.restore("-r", "full_1", tmp, {"-e", "last:true"});
    ASSERT_EQ(third.status, 0) << describe(third);
    ASSERT_TRUE(domain_exists(dom.name() + "-1")) << describe(third);
    EXPECT_EQ(block_list(dom.name() + "-1", true), taken_images(dom, 1));
    expect_restored_images(taken_images(dom, 1), backed_up);
    EXPECT_NE(uuid_of(dom.name() + "-1"), uuid_of(dom.name() + "-0"));
    EXPECT_EQ(inactive_xml(dom.name() + "-0").find(taken_image_path(dom.image("vda"), 1)), std::string::npos);

    // With the original gone the record takes back its name and its image paths; the
    // test domain's clean-up then removes the restored domain under that name.
    remove_domain(dom.name());
    for (const auto& disk : dom.disks()) fs::remove(disk.image);
    const RunResult fourth = b.restore("-r", "full_1", tmp, {"-e", "last:true"});
    ASSERT_EQ(fourth.status, 0) << describe(fourth);
    ASSERT_TRUE(domain_exists(dom.name())) << describe(fourth);
    EXPECT_FALSE(fourth.has_log("File exists: "));
    EXPECT_EQ(block_list(dom.name(), true), own_images(dom));
    expect_restored_images(own_images(dom), backed_up);
    EXPECT_NE(uuid_of(dom.name()), original_uuid);
    EXPECT_FALSE(fs::exists(rest));
}

// A backup of a running domain comes back as a domain that boots: its images are the
// backed-up ones, the data disk holds what the guest had written, the agent answers.
TEST(RestoreRun, RestoredDomainOfARunningBackupBootsAndItsAgentAnswers) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    TestDomain dom;
    DefinedByRestore restored;
    RestoreBox b;
    ASSERT_NO_FATAL_FAILURE(b.backup("-1", dom.name(), "full_1"));
    dom.destroy();  // the restored guest gets the host to itself
    const std::string name = dom.name() + "-0";
    restored.names.push_back(name);

    const RunResult result = b.restore("-r", "full_1", b.box().root() / "restore", {"-e", "last:true"});
    ASSERT_EQ(result.status, 0) << describe(result);
    ASSERT_TRUE(domain_exists(name)) << describe(result);
    ASSERT_EQ(block_list(name, true), taken_images(dom, 0));
    const fs::path archive = b.unpack_archive("full_1");
    for (const auto& disk : dom.disks())
        EXPECT_TRUE(same_bytes(taken_image_path(disk.image, 0), archive / disk.target)) << disk.target;
    EXPECT_FALSE(read_ext4_file(taken_image_path(dom.image("vdb"), 0), "/counter").empty());

    const auto started = virsh({"start", name}, 180);
    ASSERT_TRUE(started.ok()) << started.describe() << "\n" << dom.console_tail();
    wait_for_agent(name);
    EXPECT_EQ(block_list(name), taken_images(dom, 0));
}

// Endings other than a defined domain: each from the same backup, into its own
// client directory.
TEST(RestoreRun, FailedAndDefectiveRestoresEndWithTheirStatus) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    TestDomain dom(shut_off());
    DefinedByRestore restored{{dom.name() + "-0"}};
    RestoreBox b;
    ASSERT_NO_FATAL_FAILURE(b.backup("-1", dom.name(), "full_1"));
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int status;
        const char* message;
        bool directory_stays;
        bool defined;
    };
    const Case cases[] = {
        // Even without last, a failed archiver run takes the half-restored record away.
        {"archiver fails", {}, {{"ZVFD_TEST_AID", "fail=7"}}, 7,
         "Remove temporary operation directory: ", false, false},
        {"archiver fails on the last run", {"-e", "last:true"}, {{"ZVFD_TEST_AID", "fail=7"}}, 7,
         "Remove temporary operation directory: ", false, false},
        {"archive to patch missing", {"-i", "no_such_record"}, {}, 7,
         "catalog 'archive to patch' doesn't exist: ", false, false},
        {"defect on the last run", {"-e", "last:true"}, {{"ZVFD_TEST_AID", "defect"}}, 100,
         "The work of the module is completed without a guarantee of completeness and consistency of the data",
         false, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path tmp = b.box().root() / ("restore-" + std::to_string(++n));
        const RunResult result = b.restore("-r", "full_1", tmp, c.args, c.env);
        EXPECT_EQ(result.status, c.status) << describe(result);
        EXPECT_TRUE(result.has_log(c.message)) << describe(result);
        EXPECT_EQ(fs::exists(tmp / "full_1.rest"), c.directory_stays) << describe(result);
        EXPECT_EQ(domain_exists(dom.name() + "-0"), c.defined) << describe(result);
        EXPECT_TRUE(fs::exists(b.last_snapshot())) << "the snapshot file is needed for the next try";
        EXPECT_TRUE(fs::is_directory(tmp));
        EXPECT_FALSE(fs::exists(tmp / "no_such_record.rest"));
    }

    // A snapshot file that does not unpack: 2, and the restore directory stays.
    const fs::path tmp = b.box().root() / "restore-unpack";
    fs::create_directories(tmp);
    const RunResult bad = b.box().run({"-r", "full_1", "-M", (tmp / "missing.snap").string(), "-d", tmp.string(),
                                       "-m", kMediaServer, "-T", kTaskId});
    EXPECT_EQ(bad.status, 2) << describe(bad);
    EXPECT_TRUE(bad.has_log("Unable to unpack snapshot file: \"" + (tmp / "missing.snap").string() + "\"."))
        << describe(bad);
    EXPECT_TRUE(fs::is_directory(tmp / "full_1.rest"));
}

namespace {

// Adds a disk to a shut-off test domain's definition.
void add_devices(const TestDomain& dom, const std::string& devices) {
    std::string xml = inactive_xml(dom.name());
    const auto end = xml.find("</devices>");
    ASSERT_NE(end, std::string::npos) << xml;
    xml.insert(end, devices);
    const fs::path file = dom.directory() / "with-extra-disk.xml";
    std::ofstream(file.string()) << xml;
    const auto defined = virsh({"define", file.string()});
    ASSERT_TRUE(defined.ok()) << defined.describe();
}

// A domain the restore cannot define directly: 7, nothing defined, no image copied
// beside the originals, and the record left where the log says it is.
void expect_record_kept(const TestDomain& dom, const std::map<std::string, std::string>& archived,
                        const std::string& reason) {
    DefinedByRestore restored{{dom.name() + "-0"}};
    RestoreBox b;
    ASSERT_NO_FATAL_FAILURE(b.backup("-1", dom.name(), "full_1"));
    const fs::path tmp = b.box().root() / "restore";
    const fs::path rest = tmp / "full_1.rest";

    const RunResult result = b.restore("-r", "full_1", tmp, {"-e", "last:true"});
    EXPECT_EQ(result.status, 7) << describe(result);
    EXPECT_TRUE(result.has_log(reason)) << describe(result);
    EXPECT_TRUE(result.has_log(kNotDirect)) << describe(result);
    EXPECT_TRUE(result.has_log(kFindHere + rest.string())) << describe(result);
    EXPECT_FALSE(result.has_log("Remove temporary operation directory: ")) << describe(result);
    EXPECT_FALSE(domain_exists(dom.name() + "-0"));
    for (const auto& disk : dom.disks())
        EXPECT_FALSE(fs::exists(taken_image_path(disk.image, 0))) << "a copy stayed beside " << disk.image;

    std::set<std::string> expected = {"target_list", dom.name() + ".xml"};
    for (const auto& entry : archived) expected.insert(entry.first);
    EXPECT_EQ(entries(rest), expected);
    for (const auto& [target, source] : archived)
        EXPECT_TRUE(same_bytes(rest / target, source)) << target << " does not hold " << source;
}

}  // namespace

// A loop device over a small file in the domain's directory, detached at the end;
// `device` stays empty when the host has none to give.
struct LoopDevice {
    std::string device, why_not;
    explicit LoopDevice(const fs::path& backing) {
        {
            std::ofstream file(backing.string(), std::ios::binary);
            for (int i = 0; i < 4096; ++i) file << "block device content " << i << "\n";
        }
        fs::resize_file(backing, 8 << 20);
        const auto attached = run_program({"losetup", "--find", "--show", backing.string()});
        if (!attached.ok()) {
            why_not = "no loop device here for a block disk: " + attached.describe();
            return;
        }
        device = attached.out.substr(0, attached.out.find_last_not_of(" \n") + 1);
    }
    ~LoopDevice() {
        if (!device.empty()) run_program({"losetup", "-d", device});
    }
};

TEST(RestoreRun, DomainWithALunOrABlockDiskKeepsItsRestoredFiles) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    const struct {
        const char* name;
        const char* devices;  // "@" stands for the loop device
        const char* block_target;  // a disk whose content is the loop device's
        const char* reason;
    } cases[] = {
        // A lun is not backed up at all; the file disks are, and still not defined.
        {"lun",
         "<controller type='scsi' index='0' model='virtio-scsi'/>\n"
         "<disk type='block' device='lun'><source dev='@'/><target dev='sda' bus='scsi'/></disk>\n",
         nullptr, "Direct restore is not supported for lun"},
        {"block disk",
         "<disk type='block' device='disk'><driver name='qemu' type='raw'/>"
         "<source dev='@'/><target dev='vdc' bus='virtio'/></disk>\n",
         "vdc", "Wrond device type defined in xml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDomain dom(shut_off());
        LoopDevice loop(dom.directory() / "block-backing.raw");
        if (loop.device.empty()) GTEST_SKIP() << loop.why_not;
        std::string devices = c.devices;
        devices.replace(devices.find('@'), 1, loop.device);
        ASSERT_NO_FATAL_FAILURE(add_devices(dom, devices));
        auto archived = own_images(dom);
        if (c.block_target) archived[c.block_target] = loop.device;
        expect_record_kept(dom, archived, c.reason);
    }
}

namespace {

// Waits until the guest has written `lines` more lines of its counter, so that its
// data disk differs from what an earlier copy holds.
void wait_for_guest_writes(const TestDomain& dom, int lines) {
    const int before = line_count(dom.read_guest_file(kGuestCounter));
    if (counter_with(dom, before + lines).empty()) FAIL() << "the guest wrote nothing";
}

}  // namespace

// A replica holds the disks alone, under their paths; its application runs the
// deployment whatever without_deployment_restore says. Onto a plain copy of the
// images it updates them and defines nothing; into the restore directory of an
// earlier backup it defines the domain on the replica's images, not the backup's.
TEST(RestoreRun, ReplicaApplicationDeploysEvenWithoutDeploymentRestore) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    TestDomain dom;  // running: the guest writes between the backup and each replica
    DefinedByRestore restored{{dom.name() + "-0"}};
    RestoreBox b;
    ASSERT_NO_FATAL_FAILURE(b.backup("-1", dom.name(), "full_1"));
    ASSERT_NO_FATAL_FAILURE(wait_for_guest_writes(dom, 2));
    ASSERT_NO_FATAL_FAILURE(b.backup("-A", dom.name(), "replica_1"));
    ASSERT_NO_FATAL_FAILURE(wait_for_guest_writes(dom, 2));
    ASSERT_NO_FATAL_FAILURE(b.backup("-A", dom.name(), "replica_2"));
    const fs::path full_point = b.unpack_archive("full_1");
    const fs::path point_1 = b.unpack_archive("replica_1");
    const fs::path point_2 = b.unpack_archive("replica_2");
    auto at_point = [&](const fs::path& point, const DiskInfo& disk) { return point / disk.image.relative_path(); };
    for (const auto& disk : dom.disks()) ASSERT_TRUE(fs::exists(at_point(point_2, disk))) << disk.target;
    ASSERT_FALSE(same_bytes(full_point / "vdb", at_point(point_2, dom.disks()[1])))
        << "the guest's writes are not in the replica";
    const std::vector<std::string> skip_deployment = {"-e", "without_deployment_restore:yes"};

    // Onto a plain copy: the first replica makes it, the second updates it in place.
    const fs::path alone = b.box().root() / "apply";
    for (const auto& [record, point] : {std::make_pair("replica_1", point_1), std::make_pair("replica_2", point_2)}) {
        SCOPED_TRACE(record);
        const RunResult bare = b.restore("-R", record, alone, skip_deployment);
        EXPECT_EQ(bare.status, 0) << describe(bare);
        EXPECT_TRUE(bare.has_log("The replica's images under " + alone.string() +
                                 " were updated; no domain was defined"))
            << describe(bare);
        for (const auto& disk : dom.disks())
            EXPECT_TRUE(same_bytes(alone / disk.image.relative_path(), at_point(point, disk))) << disk.target;
        EXPECT_FALSE(fs::exists(alone / (std::string(record) + ".snap_dir")));
        EXPECT_FALSE(fs::exists(b.last_snapshot())) << "an applied replica's snapshot file stayed";
    }
    EXPECT_FALSE(domain_exists(dom.name() + "-0"));

    // Into the restore directory of the full backup: the domain gets the replica's data.
    const fs::path tmp = b.box().root() / "restore";
    ASSERT_EQ(b.restore("-r", "full_1", tmp).status, 0);
    const fs::path record = tmp / "full_1.rest";
    const RunResult applied = b.restore("-R", "replica_2", record, skip_deployment);
    ASSERT_EQ(applied.status, 0) << describe(applied);
    ASSERT_TRUE(domain_exists(dom.name() + "-0")) << describe(applied);
    EXPECT_EQ(block_list(dom.name() + "-0", true), taken_images(dom, 0));
    for (const auto& disk : dom.disks()) {
        EXPECT_TRUE(same_bytes(taken_image_path(disk.image, 0), at_point(point_2, disk))) << disk.target;
        EXPECT_TRUE(applied.has_log("Disk " + disk.target + " is deployed from the replica's image: " +
                                    (record / disk.image).string()))
            << describe(applied);
    }
    EXPECT_FALSE(fs::exists(record / "replica_2.snap_dir"));
    EXPECT_TRUE(fs::exists(record / "target_list")) << "a replica application removed the directory";
}

// A linked clone's archive holds its base: restored after the base is gone, the
// disk reads as it did; restored beside it, the copy lies on a copy of the base.
TEST(RestoreRun, LinkedCloneWithoutItsBase) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    DomainOptions options = shut_off();
    options.linked_clone = true;
    TestDomain dom(options);
    DefinedByRestore restored{{dom.name() + "-0"}};
    RestoreBox b;
    ASSERT_NO_FATAL_FAILURE(b.backup("-1", dom.name(), "full_1"));
    const fs::path base = dom.base_image();
    const fs::path reference = b.box().root() / "vda.raw";
    ASSERT_TRUE(run_program({"qemu-img", "convert", "-O", "raw", dom.image("vda").string(), reference.string()}).ok());
    auto same_content = [&](const fs::path& image) {
        const fs::path raw = b.box().root() / (image.filename().string() + ".raw");
        fs::remove(raw);
        const auto converted = run_program({"qemu-img", "convert", "-U", "-O", "raw", image.string(), raw.string()});
        return converted.ok() && same_bytes(raw, reference);
    };

    // Beside the original: a copy of the base under a free name, the copy on it.
    const RunResult beside = b.restore("-r", "full_1", b.box().root() / "restore-1", {"-e", "last:true"});
    ASSERT_EQ(beside.status, 0) << describe(beside);
    const std::string vda_copy = taken_image_path(dom.image("vda"), 0);
    EXPECT_EQ(block_list(dom.name() + "-0", true).at("vda"), vda_copy);
    EXPECT_EQ(backing_file_of(vda_copy), taken_image_path(base, 0));
    EXPECT_TRUE(same_content(vda_copy));

    // With the base and the domain gone, everything comes back in its place.
    remove_domain(dom.name() + "-0");
    remove_domain(dom.name());
    for (const auto& disk : dom.disks()) fs::remove(disk.image);
    fs::remove(base);
    fs::remove(vda_copy);
    fs::remove(taken_image_path(base, 0));
    const RunResult alone = b.restore("-r", "full_1", b.box().root() / "restore-2", {"-e", "last:true"});
    ASSERT_EQ(alone.status, 0) << describe(alone);
    EXPECT_EQ(block_list(dom.name(), true), own_images(dom));
    EXPECT_TRUE(fs::exists(base));
    EXPECT_EQ(backing_file_of(dom.image("vda")), base.string());
    EXPECT_TRUE(same_content(dom.image("vda")));
}

// A run of blanks in a name is part of the name, through backup and restore.
TEST(RestoreRun, NameWithTwoBlanks) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    DomainOptions options = shut_off();
    options.name_prefix = "two  blanks";
    TestDomain dom(options);
    DefinedByRestore restored{{dom.name() + "-0"}};
    RestoreBox b;
    ASSERT_NO_FATAL_FAILURE(b.backup("-1", dom.name(), "full_1"));
    const RunResult result = b.restore("-r", "full_1", b.box().root() / "restore", {"-e", "last:true"});
    ASSERT_EQ(result.status, 0) << describe(result);
    ASSERT_TRUE(domain_exists(dom.name() + "-0")) << describe(result);
    EXPECT_EQ(block_list(dom.name() + "-0", true), taken_images(dom, 0));
}
