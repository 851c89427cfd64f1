// Whole backups through the real binary, the real libvirt, the test guest and the
// stand-in archiver: what the client agent reads, what the archive holds (restored
// and compared with the disks as they were at the snapshot), and that every ending
// (success, archiver failure, defect, busy lock, refusal) leaves the domain on its
// own disks.
#include "libvirt/domain_checks.h"
#include "libvirt/module_runs.h"
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"
#include "support/test_guest.h"
#include "support/xml_escape.h"
#include "support/zvfd_argv_log.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

namespace fs = boost::filesystem;
using namespace zv_test;

namespace {

std::vector<std::string> main_lines(const RunResult& result) {
    std::vector<std::string> lines;
    for (const auto& line : result.protocol_lines())
        if (line.rfind("MAIN ", 0) == 0) lines.push_back(line);
    return lines;
}

// The guest-visible content of an image, whatever its format.
void convert_to_raw(const fs::path& image, const fs::path& raw) {
    const auto result = run_program({"qemu-img", "convert", "-U", "-O", "raw", image.string(), raw.string()});
    ASSERT_TRUE(result.ok()) << result.describe();
}

void expect_on_own_disks(const TestDomain& dom) {
    EXPECT_EQ(block_list(dom.name()), own_images(dom));
    EXPECT_EQ(block_list(dom.name(), true), own_images(dom));
    EXPECT_TRUE(overlay_files(dom.directory()).empty());
}

// The server-mode sandbox with the stand-in archiver's argument log, for the
// backups of a test.
class BackupBox : public ServerModeBox {
public:
    fs::path argv_log() const { return box().root() / "zvfd-argv.log"; }
    std::vector<ZvfdInvocation> archiver_runs() const { return read_zvfd_argv_log(argv_log()); }

    // `aid`: more words for the archiver's test aid (hold=FILE, fail=N, defect).
    RunOptions options(const std::string& aid = "") const {
        RunOptions o;
        o.env["ZVFD_TEST_AID"] = "argv-log=" + argv_log().string() + (aid.empty() ? "" : "," + aid);
        return o;
    }

    // The three result lines of a server-mode backup.
    std::vector<std::string> expected_main_lines(const std::string& archive_name) const {
        const std::string base = (operation() / archive_name).string();
        return {"MAIN ARCHIVE FILENAME:" + base + ".snap", "MAIN SNAPSHOT FILENAME:" + base + ".snap",
                "MAIN ARCHIVE SIGN FILENAME:" + base + ".signature"};
    }

    // Unpacks an archive of the store with the stand-in itself.
    fs::path restore(const std::string& archive_name) const {
        return unpack(archive_name, box().root() / ("restored-" + archive_name));
    }
};

// The archive of a full backup: the target list, the saved XML and every disk.
void expect_archive_of(const TestDomain& dom, const fs::path& restored) {
    const std::string xml_name = dom.name() + ".xml";
    std::set<std::string> expected = {"target_list", xml_name};
    std::string targets = "UUID " + dom.name() + "\n";
    for (const auto& disk : dom.disks()) {
        expected.insert(disk.target);
        targets += disk.target + " " + disk.image.string() + "\n";
    }
    EXPECT_EQ(entries(restored), expected);
    EXPECT_EQ(read_file(restored / "target_list"), targets);
    const std::string xml = read_file(restored / xml_name);
    EXPECT_NE(xml.find("<name>" + xml_escape(dom.name()) + "</name>"), std::string::npos) << xml;
    for (const auto& disk : dom.disks())
        EXPECT_NE(xml.find("<source file='" + xml_escape(disk.image.string()) + "'"), std::string::npos) << xml;
    EXPECT_EQ(xml.find(".snapshot."), std::string::npos) << "the XML names the overlays:\n" << xml;
}

}  // namespace

TEST(BackupRun, RunningDomainFullBackupHoldsTheSnapshotPointAndAnIncrementalNamesItsReference) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    DomainOptions dom_options;
    dom_options.name_prefix = "it's running";  // a blank and a quote on every command line
    TestDomain dom(dom_options);
    BackupBox b;
    const std::string full = "full_1";

    // Held, the archiver's run is a window in which the images lie still at the
    // snapshot point while the guest writes into the overlays.
    Hold hold(b.box().root() / "archiver");
    auto run = b.box().start(b.backup_args("-1", dom.name(), full), b.options(hold.aid()));
    ASSERT_TRUE(wait_for_archiver(run, hold)) << describe(run.wait());
    std::map<std::string, fs::path> reference;
    for (const auto& disk : dom.disks()) {
        reference[disk.target] = b.box().root() / ("reference-" + disk.target + ".raw");
        convert_to_raw(disk.image, reference[disk.target]);
    }
    std::map<std::string, std::string> overlays;
    for (const auto& disk : dom.disks())
        overlays[disk.target] = (dom.directory() / (full + ".snapshot." + disk.target + ".qcow2")).string();
    ASSERT_EQ(block_list(dom.name()), overlays) << "the copies were not taken inside the window";

    hold.release();
    const RunResult result = run.wait();
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(main_lines(result), b.expected_main_lines(full)) << describe(result);
    EXPECT_TRUE(result.has_log("The task to make a full backup of resource '" + dom.name() +
                               "' completed successfully"));
    expect_on_own_disks(dom);
    EXPECT_EQ(freeze_status(dom), "thawed");
    EXPECT_EQ(dom.state(), "running");
    EXPECT_TRUE(entries(b.operation()) == std::set<std::string>{full + ".snap"}) << "work files stayed";

    const fs::path restored = b.restore(full);
    expect_archive_of(dom, restored);
    for (const auto& disk : dom.disks()) {
        const fs::path raw = b.box().root() / ("restored-" + disk.target + ".raw");
        convert_to_raw(restored / disk.target, raw);
        EXPECT_TRUE(same_bytes(raw, reference[disk.target]))
            << disk.target << " differs from the image at the snapshot point";
    }

    // The incremental backup hands the full one's metadata to the archiver.
    const std::string incr = "incr_1";
    const fs::path reference_snap = b.operation() / (full + ".snap");
    const RunResult second = b.box().run(
        b.backup_args("-2", dom.name(), incr, {"-s", reference_snap.string()}), b.options());
    ASSERT_EQ(second.status, 0) << describe(second);
    EXPECT_EQ(main_lines(second), b.expected_main_lines(incr)) << describe(second);
    EXPECT_TRUE(second.has_log("The task to make an incremental backup of resource '" + dom.name() +
                               "' completed successfully"));
    const auto runs = b.archiver_runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_FALSE(runs[0].has("-S"));
    EXPECT_EQ(runs[1].value("-S"), (b.operation() / (full + ".snap_dir") / (full + ".meta")).string());
    EXPECT_EQ(runs[1].value("-N"), incr);
    expect_on_own_disks(dom);
    expect_archive_of(dom, b.restore(incr));
}

TEST(BackupRun, ShutOffDomainIsBackedUpFromItsImagesFullDifferentialAndReplica) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    DomainOptions dom_options;
    dom_options.start = false;
    TestDomain dom(dom_options);
    BackupBox b;

    const RunResult result = b.box().run(b.backup_args("-1", dom.name(), "full_1"), b.options());
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(main_lines(result), b.expected_main_lines("full_1")) << describe(result);
    EXPECT_FALSE(result.has_log("Snapshot(s) was created"));
    expect_on_own_disks(dom);
    const fs::path restored = b.restore("full_1");
    expect_archive_of(dom, restored);
    for (const auto& disk : dom.disks())
        EXPECT_TRUE(same_bytes(restored / disk.target, disk.image)) << disk.target;

    // A differential backup names the full one's metadata as its reference.
    const RunResult diff = b.box().run(
        b.backup_args("-3", dom.name(), "diff_1", {"-s", (b.operation() / "full_1.snap").string()}),
        b.options());
    ASSERT_EQ(diff.status, 0) << describe(diff);
    EXPECT_EQ(main_lines(diff), b.expected_main_lines("diff_1")) << describe(diff);
    EXPECT_TRUE(diff.has_log("The task to make a differential backup of resource '" + dom.name() +
                             "' completed successfully"));
    ASSERT_EQ(b.archiver_runs().size(), 2u);
    EXPECT_EQ(b.archiver_runs()[1].value("-S"), (b.operation() / "full_1.snap_dir/full_1.meta").string());
    expect_archive_of(dom, b.restore("diff_1"));

    // The reference may not be the snapshot file this run writes: refused before any
    // work, and the earlier file of that name stays as it was.
    const std::string full_snap = read_file(b.operation() / "full_1.snap");
    for (const std::string& reference :
         {(b.operation() / "full_1.snap").string(), (b.operation() / "full_1.snap_dir").string()}) {
        SCOPED_TRACE(reference);
        const RunResult own = b.box().run(
            b.backup_args("-2", dom.name(), "full_1", {"-s", reference}), b.options());
        EXPECT_EQ(own.status, 2) << describe(own);
        EXPECT_TRUE(own.has_log("Backup module: reference snapshot file \"" + reference +
                                "\" can't be used: this backup writes its own snapshot file "))
            << describe(own);
        EXPECT_TRUE(main_lines(own).empty());
        EXPECT_EQ(read_file(b.operation() / "full_1.snap"), full_snap);
        EXPECT_EQ(b.archiver_runs().size(), 2u);
    }

    // With the file listing asked for, a listing that fails fails the backup: no result
    // line, no snapshot file; one that works follows the result lines.
    const RunResult unlisted = b.box().run(
        b.backup_args("-1", dom.name(), "listed_1", {"-e", "file_list:true"}),
        b.options("fail=3,only=list"));
    EXPECT_EQ(unlisted.status, 6) << describe(unlisted);
    EXPECT_TRUE(main_lines(unlisted).empty()) << describe(unlisted);
    EXPECT_FALSE(fs::exists(b.operation() / "listed_1.snap"));
    EXPECT_FALSE(fs::exists(b.operation() / "listed_1.snap.part"));
    const RunResult listed = b.box().run(
        b.backup_args("-1", dom.name(), "listed_2", {"-e", "file_list:true"}), b.options());
    ASSERT_EQ(listed.status, 0) << describe(listed);
    const auto lines = listed.protocol_lines();
    const auto main_at = std::find(lines.begin(), lines.end(), b.expected_main_lines("listed_2")[0]);
    const auto listing_at = std::find(lines.begin(), lines.end(), "FILE LISTING START:");
    EXPECT_LT(main_at, listing_at) << describe(listed);
    EXPECT_NE(listing_at, lines.end()) << describe(listed);
    EXPECT_TRUE(fs::exists(b.operation() / "listed_2.snap"));
    expect_on_own_disks(dom);
    const std::size_t archiver_runs = b.archiver_runs().size();

    // A replica holds the disks alone, under their paths.
    const RunResult replica = b.box().run(b.backup_args("-A", dom.name(), "replica_1"), b.options());
    ASSERT_EQ(replica.status, 0) << describe(replica);
    EXPECT_EQ(main_lines(replica), b.expected_main_lines("replica_1")) << describe(replica);
    const fs::path replicated = b.restore("replica_1");
    for (const auto& disk : dom.disks())
        EXPECT_TRUE(same_bytes(replicated / disk.image.relative_path(), disk.image)) << disk.target;
    EXPECT_FALSE(fs::exists(replicated / "target_list"));

    // Forbidden by the task: no archiver run, no results, nothing left behind.
    const RunResult refused = b.box().run(
        b.backup_args("-1", dom.name(), "full_2", {"-e", "backup_if_shutdown:false"}), b.options());
    EXPECT_EQ(refused.status, 6) << describe(refused);
    EXPECT_TRUE(main_lines(refused).empty());
    EXPECT_EQ(b.archiver_runs().size(), archiver_runs + 1);
    EXPECT_FALSE(fs::exists(b.operation() / "full_2"));
    expect_on_own_disks(dom);
}

TEST(BackupRun, ArchiverFailureAndDefectEndTheBackupWindowToo) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    TestDomain dom;
    BackupBox b;
    struct Case {
        const char* archive;
        const char* aid;
        int status;
        bool results;
    } cases[] = {
        {"failed_1", "fail=7", 6, false},
        {"defect_1", "defect", 100, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.archive);
        const RunResult result = b.box().run(b.backup_args("-1", dom.name(), c.archive), b.options(c.aid));
        EXPECT_EQ(result.status, c.status) << describe(result);
        ASSERT_FALSE(result.protocol_lines().empty()) << describe(result);
        EXPECT_EQ(result.protocol_lines().front().rfind("MODULE PID:", 0), 0u);
        if (c.results)
            EXPECT_EQ(main_lines(result), b.expected_main_lines(c.archive)) << describe(result);
        else
            EXPECT_TRUE(main_lines(result).empty()) << describe(result);
        EXPECT_EQ(result.has_log("completed successfully"), c.results);
        EXPECT_EQ(result.has_log("The work of the module is completed without a guarantee of "
                                 "completeness and consistency of the data"),
                  c.status == 100);
        EXPECT_EQ(result.count_log("Blockcommited: "), 2) << describe(result);
        EXPECT_FALSE(fs::exists(b.operation() / c.archive)) << "the work directory stayed";
        expect_on_own_disks(dom);
        EXPECT_EQ(freeze_status(dom), "thawed");
    }
    EXPECT_EQ(b.archiver_runs().size(), 2u);
}

TEST(BackupRun, SecondBackupOfABusyDomainGetsTwoWhileAnotherDomainBacksUp) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    DomainOptions dom_options;
    dom_options.start = false;  // the lock is the same for a shut-off domain, and cheaper
    TestDomain busy(dom_options), other(dom_options);
    BackupBox b;

    Hold hold(b.box().root() / "first-archiver");
    auto first = b.box().start(b.backup_args("-1", busy.name(), "first"), b.options(hold.aid()));
    ASSERT_TRUE(wait_for_archiver(first, hold)) << describe(first.wait());

    const RunResult second = b.box().run(b.backup_args("-1", busy.name(), "second"), b.options());
    EXPECT_EQ(second.status, 2) << describe(second);
    EXPECT_TRUE(second.has_log("resource \"" + busy.name() + "\" is busy by another process!"))
        << describe(second);
    EXPECT_TRUE(main_lines(second).empty());
    EXPECT_FALSE(fs::exists(b.operation() / "second.snap_dir"));

    const RunResult elsewhere = b.box().run(b.backup_args("-1", other.name(), "other"), b.options());
    EXPECT_EQ(elsewhere.status, 0) << describe(elsewhere);
    EXPECT_EQ(main_lines(elsewhere), b.expected_main_lines("other"));
    EXPECT_EQ(first.current_output().find("MAIN ARCHIVE FILENAME:"), std::string::npos)
        << "the first backup ended before the other domain's: nothing ran concurrently";

    hold.release();
    const RunResult first_result = first.wait();
    EXPECT_EQ(first_result.status, 0) << describe(first_result);
    EXPECT_EQ(main_lines(first_result), b.expected_main_lines("first"));
    const auto runs = b.archiver_runs();
    ASSERT_EQ(runs.size(), 2u) << "the refused backup ran the archiver";
    EXPECT_EQ(runs[0].value("-N"), "first");
    EXPECT_EQ(runs[1].value("-N"), "other");
    expect_on_own_disks(busy);
    expect_on_own_disks(other);
}

// Refusals that must come before libvirt is asked anything: a fake virsh records
// every call, and the operation directory stays empty. The last case is the control:
// the same backup without -j does reach virsh (which knows no domain).
TEST(BackupRun, RefusedBackupsTouchNeitherLibvirtNorTheOperationDirectory) {
    ZV_REQUIRE_NAMESPACES();
    const std::string domain = "restricted vm";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* message;
        bool reaches_libvirt;
        bool unreadable_list = false;  // the restriction list is over its size limit
    };
    BackupBox sample;
    const std::string tmp = sample.operation().string();
    const Case cases[] = {
        {"listed with -j", sample.backup_args("-1", domain, "full_1", {"-j"}), 11,
         "Backup module: Unable to backup this resource \"restricted vm\". Local restriction.", false},
        {"unreadable list with -j", sample.backup_args("-1", "unlisted vm", "full_1", {"-j"}), 11,
         "Backup module: Unable to backup this resource \"unlisted vm\": the local restriction list "
         "\"/opt/zelvor/etc/zelvor_restriction.list.kvm\" can't be read",
         false, true},
        {"server mode without -m and -T", {"-1", "-b", domain, "-d", tmp, "-n", "full_1"}, 14,
         "needs both -m media_server and -T task_id", false},
        {"no operation directory", {"-1", "-b", domain, "-n", "full_1", "-m", kMediaServer, "-T", kTaskId},
         4, "Backup module: you must define tmp_operation_directory directory.", false},
        {"no archive name", {"-1", "-b", domain, "-d", tmp, "-m", kMediaServer, "-T", kTaskId}, 5,
         "Backup module: you must define archive name.", false},
        {"reference is the run's own snapshot file",
         sample.backup_args("-2", domain, "incr_1", {"-s", tmp + "/incr_1.snap"}), 2,
         "this backup writes its own snapshot file ", false},
        {"reference unpacks into the run's snapshot directory",
         sample.backup_args("-2", domain, "incr_1", {"-s", "/elsewhere/incr_1.snap"}), 2,
         "this backup writes its own snapshot file ", false},
        {"name read as an option", {"-1", "--backup=--help", "-d", tmp, "-n", "full_1", "-m", kMediaServer,
                                    "-T", kTaskId},
         2, "a KVM domain name can't begin with '-': --help", false},
        {"not restricted without -j", sample.backup_args("-1", domain, "full_1"), 2,
         "Backup module: Unable to backup this resource \"restricted vm\". Resource doesn't exist.",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BackupBox b;
        const fs::path calls = b.box().root() / "virsh-calls";
        b.box().fake_program("/usr/bin/virsh",
                             "#!/bin/sh\necho \"$*\" >>'" + calls.string() + "'\nexit 1\n");
        std::ofstream((b.box().opt() / "etc/zelvor_restriction.list.kvm").string())
            << "other vm\n" << domain << "\n" << (c.unreadable_list ? std::string(17 << 20, '\n') : "");
        std::vector<std::string> args = c.args;
        for (auto& arg : args)
            if (arg.compare(0, tmp.size(), tmp) == 0) arg = b.operation().string() + arg.substr(tmp.size());
        const RunResult result = b.box().run(args, b.options());
        EXPECT_EQ(result.status, c.status) << describe(result);
        EXPECT_TRUE(result.has_log(c.message)) << describe(result);
        EXPECT_EQ(fs::exists(calls), c.reaches_libvirt) << "virsh calls: " << read_file(calls);
        EXPECT_TRUE(b.archiver_runs().empty());
        EXPECT_TRUE(entries(b.operation()).empty()) << "left in the operation directory";
        EXPECT_TRUE(main_lines(result).empty());
    }
}

namespace {

// Raw copies of a domain's disks as they are now, for comparing with restored ones.
std::map<std::string, fs::path> raw_copies(const TestDomain& dom, const fs::path& directory,
                                           const std::string& label) {
    std::map<std::string, fs::path> copies;
    for (const auto& disk : dom.disks()) {
        copies[disk.target] = directory / (label + "-" + disk.target + ".raw");
        convert_to_raw(disk.image, copies[disk.target]);
    }
    return copies;
}

// The archive's disks hold exactly what the raw copies hold.
void expect_disks_restored_as(BackupBox& b, const std::string& archive,
                              const std::map<std::string, fs::path>& copies) {
    const fs::path restored = b.restore(archive);
    for (const auto& [target, copy] : copies) {
        const fs::path raw = b.box().root() / ("restored-" + archive + "-" + target + ".raw");
        convert_to_raw(restored / target, raw);
        EXPECT_TRUE(same_bytes(raw, copy)) << target << " differs from the image at the snapshot point";
    }
}

std::map<std::string, std::string> overlays_of(const TestDomain& dom, const std::string& archive) {
    std::map<std::string, std::string> overlays;
    for (const auto& disk : dom.disks())
        overlays[disk.target] = (dom.directory() / (archive + ".snapshot." + disk.target + ".qcow2")).string();
    return overlays;
}

}  // namespace

// A paused domain may be resumed at any moment: it gets a snapshot (without the
// agent, which cannot answer), so what the guest writes once resumed stays out of
// the archive.
TEST(BackupRun, PausedDomainResumedDuringCopy) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    TestDomain dom;
    BackupBox b;
    const auto calls = dom.script_calls().size();
    ASSERT_TRUE(virsh({"suspend", dom.name()}).ok());
    Hold hold(b.box().root() / "archiver");
    auto run = b.box().start(b.backup_args("-1", dom.name(), "paused_1"), b.options(hold.aid()));
    ASSERT_TRUE(wait_for_archiver(run, hold)) << describe(run.wait());
    const auto reference = raw_copies(dom, b.box().root(), "paused");
    ASSERT_EQ(block_list(dom.name()), overlays_of(dom, "paused_1"));
    ASSERT_TRUE(virsh({"resume", dom.name()}).ok());
    const int at_resume = line_count(dom.read_guest_file(kGuestCounter));
    ASSERT_FALSE(counter_with(dom, at_resume + 2).empty()) << "the resumed guest never wrote";

    hold.release();
    const RunResult result = run.wait();
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_FALSE(result.has_log("inside VM")) << describe(result);
    EXPECT_EQ(dom.script_calls().size(), calls);
    expect_on_own_disks(dom);
    EXPECT_EQ(dom.state(), "running");
    expect_disks_restored_as(b, "paused_1", reference);
}

namespace {

// A module killed outright leaves the domain on its overlays (with `commit_started`,
// killed after starting the merge of each disk and before its pivot): the next backup
// merges them back and archives the disks, never an overlay in their place.
void expect_backup_after_kill(bool commit_started) {
    TestDomain dom;
    BackupBox b;
    Hold killed_hold(b.box().root() / "killed-archiver");
    auto killed = b.box().start(b.backup_args("-1", dom.name(), "killed_1"), b.options(killed_hold.aid()));
    ASSERT_TRUE(wait_for_archiver(killed, killed_hold)) << describe(killed.wait());
    ::kill(-killed.pid(), SIGKILL);
    killed.wait();
    const auto left = overlays_of(dom, "killed_1");
    ASSERT_EQ(block_list(dom.name()), left);
    if (commit_started) {
        for (const auto& disk : left)
            ASSERT_TRUE(virsh({"blockcommit", dom.name(), disk.first, "--active", "--shallow"}).ok());
    }

    Hold hold(b.box().root() / "archiver");
    auto run = b.box().start(b.backup_args("-1", dom.name(), "after_1"), b.options(hold.aid()));
    ASSERT_TRUE(wait_for_archiver(run, hold)) << describe(run.wait());
    const auto reference = raw_copies(dom, b.box().root(), "after");
    EXPECT_EQ(block_list(dom.name()), overlays_of(dom, "after_1"));
    hold.release();
    const RunResult result = run.wait();
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_TRUE(result.has_log("that an earlier backup left behind")) << describe(result);
    expect_on_own_disks(dom);
    expect_archive_of(dom, b.restore("after_1"));
    expect_disks_restored_as(b, "after_1", reference);
}

}  // namespace

TEST(BackupRun, BackupAfterKill9) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    expect_backup_after_kill(false);
}

TEST(BackupRun, BackupAfterKill9BetweenCommitAndPivot) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    expect_backup_after_kill(true);
}

// A domain that stops while the archiver runs has no block jobs: its overlays are
// committed offline and its definition is put back on its own images.
TEST(BackupRun, DomainDestroyedDuringArchiverRun) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    TestDomain dom;
    BackupBox b;
    Hold hold(b.box().root() / "archiver");
    auto run = b.box().start(b.backup_args("-1", dom.name(), "stopped_1"), b.options(hold.aid()));
    ASSERT_TRUE(wait_for_archiver(run, hold)) << describe(run.wait());
    const auto reference = raw_copies(dom, b.box().root(), "stopped");
    const std::string written = counter_with(dom, 3);
    ASSERT_FALSE(written.empty()) << "the guest never wrote";
    ::sync();
    dom.destroy();

    hold.release();
    const RunResult result = run.wait();
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(dom.state(), "shut off");
    EXPECT_EQ(block_list(dom.name(), true), own_images(dom));
    EXPECT_TRUE(overlay_files(dom.directory()).empty());
    expect_disks_restored_as(b, "stopped_1", reference);
    dom.start();
    EXPECT_EQ(block_list(dom.name()), own_images(dom));
    EXPECT_NE(dom.read_guest_file(kGuestCounter).find(last_line(written) + "\n"), std::string::npos)
        << "a write made on the overlay before the stop is lost";
}

// A linked clone is archived with its base: a base that qemu-img cannot read fails
// the backup before the snapshot, naming the disk, the file and qemu-img's answer.
TEST(BackupRun, UnreadableBaseOfALinkedCloneFailsTheBackup) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    DomainOptions dom_options;
    dom_options.linked_clone = true;
    TestDomain dom(dom_options);
    BackupBox b;
    const fs::path real_qemu_img = b.box().root() / "real-qemu-img";
    fs::copy_file("/usr/bin/qemu-img", real_qemu_img);
    const std::string base = dom.base_image().string();
    b.box().fake_program("/usr/bin/qemu-img",
                         "#!/bin/bash\n"
                         "if [ \"$1\" = info ]; then for a in \"$@\"; do if [ \"$a\" = '" + base + "' ]; then\n"
                         "  echo \"qemu-img: Could not open '$a': Permission denied\" >&2; exit 1\n"
                         "fi; done; fi\n"
                         "exec '" + real_qemu_img.string() + "' \"$@\"\n");

    const RunResult result = b.box().run(b.backup_args("-1", dom.name(), "full_1"), b.options());
    EXPECT_EQ(result.status, 6) << describe(result);
    EXPECT_TRUE(result.has_log("Error: bool ZvModuleKvm::load_online_VM_devices(std::__cxx11::string, "
                               "std::vector<kvm_device_info>*): Can't read the backing file of disk vda: " +
                               base))
        << describe(result);
    EXPECT_TRUE(result.has_log("qemu-img: Could not open '" + base + "': Permission denied")) << describe(result);
    EXPECT_TRUE(main_lines(result).empty());
    EXPECT_TRUE(b.archiver_runs().empty());
    EXPECT_FALSE(fs::exists(b.operation() / "full_1"));
    expect_on_own_disks(dom);
}

// The saved definition keeps the console password; one virsh could not write (it
// still ends with 0) fails the backup before anything is archived.
TEST(BackupRun, DomainXmlIsArchivedWhole) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    DomainOptions dom_options;
    dom_options.start = false;
    TestDomain dom(dom_options);
    std::string xml = virsh({"dumpxml", "--inactive", dom.name()}).out;
    xml.insert(xml.find("</devices>"), "<graphics type='vnc' port='-1' autoport='yes' passwd='s3cret'/>\n");
    const fs::path with_console = dom.directory() / "with-console.xml";
    std::ofstream(with_console.string()) << xml;
    ASSERT_TRUE(virsh({"define", with_console.string()}).ok());
    BackupBox b;

    const RunResult saved = b.box().run(b.backup_args("-1", dom.name(), "full_1"), b.options());
    ASSERT_EQ(saved.status, 0) << describe(saved);
    const std::string archived = read_file(b.restore("full_1") / (dom.name() + ".xml"));
    EXPECT_NE(archived.find("passwd='s3cret'"), std::string::npos) << archived;

    const fs::path real_virsh = b.box().root() / "real-virsh";
    fs::copy_file("/usr/bin/virsh", real_virsh);
    b.box().fake_program("/usr/bin/virsh", "#!/bin/sh\ncase \" $* \" in *\" dumpxml \"*) exec '" +
                                               real_virsh.string() + "' \"$@\" >/dev/full ;; esac\nexec '" +
                                               real_virsh.string() + "' \"$@\"\n");
    const RunResult unwritten = b.box().run(b.backup_args("-1", dom.name(), "full_2"), b.options());
    EXPECT_EQ(unwritten.status, 6) << describe(unwritten);
    EXPECT_TRUE(unwritten.has_log("Can't create xml file of VM: " + dom.name())) << describe(unwritten);
    EXPECT_TRUE(main_lines(unwritten).empty());
    EXPECT_EQ(b.archiver_runs().size(), 1u) << "the archiver ran without the definition";
    EXPECT_FALSE(fs::exists(b.operation() / "full_2"));
    expect_on_own_disks(dom);
}

// Its name, its UUID and its id are one domain: one backup at a time.
TEST(BackupRun, AliasesOfOneDomainShareOneLock) {
    ZV_REQUIRE_SANDBOX_AND_LIBVIRT();
    TestDomain dom;
    BackupBox b;
    Hold hold(b.box().root() / "first-archiver");
    auto first = b.box().start(b.backup_args("-1", dom.name(), "first"), b.options(hold.aid()));
    ASSERT_TRUE(wait_for_archiver(first, hold)) << describe(first.wait());
    auto text = [](CommandResult r) {
        r.out.erase(r.out.find_last_not_of(" \n") + 1);
        return r.out;
    };
    const std::string uuid = text(virsh({"domuuid", dom.name()}));
    const std::string id = text(virsh({"domid", dom.name()}));
    for (const auto& alias : {uuid, id}) {
        SCOPED_TRACE(alias);
        const RunResult second = b.box().run(b.backup_args("-1", alias, "second"), b.options());
        EXPECT_EQ(second.status, 2) << describe(second);
        EXPECT_TRUE(second.has_log("is busy by another process!")) << describe(second);
        EXPECT_TRUE(main_lines(second).empty());
    }
    hold.release();
    const RunResult first_result = first.wait();
    EXPECT_EQ(first_result.status, 0) << describe(first_result);
    EXPECT_EQ(b.archiver_runs().size(), 1u);
    expect_on_own_disks(dom);

    const RunResult by_uuid = b.box().run(b.backup_args("-1", uuid, "by_uuid"), b.options());
    EXPECT_EQ(by_uuid.status, 0) << describe(by_uuid);
    expect_on_own_disks(dom);
}
