// The framework's backup and restore sequences with the test module, whose hooks
// record their calls and fail on request: which hooks run, whether the archiver runs,
// what the client agent reads, what stays in the operation directory, and the exit
// status. Runs that need the archiver use the one built with the tests, in a sandbox
// whose scratch /opt/zelvor holds the media server's repository.
#include "archiver_test_support.h"
#include "modules_common/sandboxed_case.h"

#include <gtest/gtest.h>

#include <set>

using namespace archiver_test;

namespace {

using Calls = std::vector<std::string>;

class HookedModule : public TestModule {
public:
    using TestModule::TestModule;

    Calls calls;
    std::set<std::string> failing;  // hooks that return false

    bool prepare_resource_before_backup(const bool&) override { return hook("prepare"); }
    bool release_resource_after_backup() override { return hook("release"); }
    bool before_restore() override { return hook("before_restore"); }
    bool after_restore() override { return hook("after_restore"); }
    bool after_restore_last_file() override { return hook("after_restore_last_file"); }
    bool deployment(const bool&) override { return hook("deployment"); }

private:
    bool hook(const char* name) {
        calls.push_back(name);
        return failing.count(name) == 0;
    }
};

// What one run did, as the client agent and the tests see it.
struct Outcome {
    unsigned status;
    Calls calls;
    std::string out;  // standard output
    bool archiver_ran;
    std::string log;
};

Outcome run_module(HookedModule& module) {
    LogCapture log;
    StdoutCapture out;
    const unsigned status = module.run();
    return {status, module.calls, out.text(), log.count(":zvfd command: ") > 0, log.all()};
}

bool has_result_lines(const std::string& out) { return out.find("MAIN ") != std::string::npos; }

// The scratch directories the sandboxed cases share with the test that starts them.
struct Work {
    fs::path root = zv_test::case_env("CASE_WORK");
    fs::path op = root / "op";
    fs::path data = root / "disk.img";
    fs::path list = root / "zvfd.list";

    ZvModuleOptions backup(const std::string& archive_name) const {
        ZvModuleOptions o;
        o.operation = ZvModuleOperations::Backup;
        o.resource = "vm1";
        o.resource_list_file = list.string();
        o.tmp_operation_directory = op.string();
        o.archive_name = archive_name;
        o.media_server = "media1";
        o.task_id = "T";
        return o;
    }
    ZvModuleOptions restore(const std::string& record, const fs::path& snapshot_file) const {
        ZvModuleOptions o;
        o.operation = ZvModuleOperations::Restore;
        o.resource = "vm1";
        o.tmp_operation_directory = op.string();
        o.record_id = record;
        o.meta_file = snapshot_file.string();
        o.media_server = "media1";
        o.task_id = "T";
        return o;
    }
    // A snapshot file of a finished backup, kept where a client keeps it.
    fs::path client_copy(const std::string& archive_name) const {
        const fs::path copy = root / "client" / (archive_name + ".snap");
        fs::create_directories(copy.parent_path());
        fs::copy_file(op / (archive_name + ".snap"), copy, fs::copy_options::overwrite_existing);
        return copy;
    }
};

}  // namespace

ZV_SANDBOXED_CASE(backup_sequences) {
    const Work work;
    {
        SCOPED_TRACE("the release fails after the archiver succeeded");
        HookedModule module(work.backup("released_badly"));
        module.failing = {"release"};
        const Outcome run = run_module(module);
        EXPECT_EQ(run.status, 6u) << run.log;
        EXPECT_EQ(run.calls, (Calls{"prepare", "release"}));
        EXPECT_TRUE(run.archiver_ran);
        EXPECT_NE(run.log.find("zvfd process exits with 0x0 status."), std::string::npos) << run.log;
        EXPECT_FALSE(has_result_lines(run.out)) << run.out;
        EXPECT_FALSE(fs::exists(work.op / "released_badly.snap")) << "the closing step ran";
    }
    HookedModule reference(work.backup("full_1"));
    const Outcome full = run_module(reference);
    ASSERT_EQ(full.status, 0u) << full.log;
    const fs::path good = work.client_copy("full_1");

    const fs::path garbage = work.root / "client" / "garbage.snap";
    write_file(garbage, "not a packed snapshot directory");
    const struct {
        const char* name;
        fs::path reference;
    } references[] = {{"a file that is no snapshot file", garbage},
                      {"a missing file", work.root / "client" / "missing.snap"},
                      {"a name without a snapshot file's suffix", good.string() + ".old"}};
    fs::copy_file(good, good.string() + ".old");
    for (const auto& c : references) {
        SCOPED_TRACE(std::string("an incremental backup whose reference is ") + c.name);
        ZvModuleOptions options = work.backup("incr_1");
        options.backup_type = 2;
        options.reference_snapshot = c.reference.string();
        HookedModule module(options);
        const Outcome run = run_module(module);
        EXPECT_EQ(run.status, 2u) << run.log;
        EXPECT_NE(run.log.find("Backup module: Unable to unpack reference snapshot file: \"" +
                               c.reference.string() + "\"."),
                  std::string::npos)
            << run.log;
        EXPECT_EQ(run.calls, Calls{}) << "the preparation was called";
        EXPECT_FALSE(run.archiver_ran);
        EXPECT_FALSE(has_result_lines(run.out)) << run.out;
    }
}

ZV_SANDBOXED_CASE(restore_sequences) {
    const Work work;
    HookedModule backup(work.backup("full_1"));
    const Outcome full = run_module(backup);
    ASSERT_EQ(full.status, 0u) << full.log;
    const fs::path rest = work.op / "full_1.rest";

    {
        SCOPED_TRACE("before_restore fails");
        HookedModule module(work.restore("full_1", work.client_copy("full_1")));
        module.failing = {"before_restore"};
        const Outcome run = run_module(module);
        EXPECT_EQ(run.status, 7u) << run.log;
        EXPECT_EQ(run.calls, Calls{"before_restore"});
        EXPECT_FALSE(run.archiver_ran);
        EXPECT_FALSE(fs::exists(rest)) << "the restore directory stayed without `last`";
        EXPECT_TRUE(fs::is_directory(work.op));
    }

    // The record's runs: one without `last` keeps the restored files for the next;
    // the last one finishes with its hook and the deployment, which takes the files,
    // unless the deployment is left to the client.
    const struct {
        const char* params;
        Calls calls;
        bool directory_kept;
    } runs[] = {
        {"", {"before_restore", "after_restore"}, true},
        {"last:true", {"before_restore", "after_restore", "after_restore_last_file", "deployment"}, false},
        {"last:true,without_deployment_restore:yes",
         {"before_restore", "after_restore", "after_restore_last_file"}, true},
    };
    for (const auto& c : runs) {
        SCOPED_TRACE(std::string("module parameters: ") + c.params);
        fs::remove_all(rest);
        HookedModule module(work.restore("full_1", work.client_copy("full_1")));
        module.options_.module_params = c.params;
        ASSERT_TRUE(module.parce_param_string());
        const Outcome run = run_module(module);
        EXPECT_EQ(run.status, 0u) << run.log;
        EXPECT_EQ(run.calls, c.calls);
        EXPECT_TRUE(run.archiver_ran);
        EXPECT_EQ(fs::exists(rest), c.directory_kept) << run.log;
        if (c.directory_kept) {
            EXPECT_EQ(read_file(rest / "vda"), read_file(work.data));
            EXPECT_FALSE(fs::exists(rest / "full_1.snap_dir")) << "the reference snapshot directory stayed";
        }
    }
}

namespace {

class RunSequences : public ::testing::Test {
protected:
    void expect(const std::string& name) {
        if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root for a scratch /opt/zelvor";
        zv_test::Sandbox box;
        box.install_zvfd();
        write_file(box.opt() / "var/tasks/task_secret_T", "secret of task T\n");
        const fs::path work = box.root() / "work";
        fs::create_directories(work / "op");
        write_file(work / "disk.img", std::string(3 << 20, 'd') + "the end of the disk");
        write_file(work / "zvfd.list", "ZVFD file list:\n" + (work / "disk.img").string() + " : vda\n");
        zv_test::RunOptions options;
        options.env["CASE_WORK"] = work.string();
        zv_test::expect_case_passes(box, name, options);
    }
};

TEST_F(RunSequences, BackupsThatFailAfterTheArchiverOrBeforeThePreparation) { expect("backup_sequences"); }
TEST_F(RunSequences, RestoresOfARecordWithAndWithoutItsLastRun) { expect("restore_sequences"); }

// Operation 6 answers whether the module makes backups of the type asked for.
TEST(BackupTypeQuery, AnswersThreeForATypeTheModuleDoesNotMake) {
    const struct {
        int type;
        bool incremental, differential;
        unsigned status;
        const char* error;
    } cases[] = {
        {1, false, false, 0, nullptr},
        {2, false, true, 3, ": incremental backup is not supported by module /opt/zelvor/bin/test-module"},
        {2, true, false, 0, nullptr},
        {3, true, false, 3, ": differential backup is not supported by module /opt/zelvor/bin/test-module"},
        {3, false, true, 0, nullptr},
        {4, true, true, 3, ": unknown backup type!"},
        {0, true, true, 3, ": unknown backup type!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        ZvModuleOptions options;
        options.operation = ZvModuleOperations::BackupTypeQuery;
        options.module_path = "/opt/zelvor/bin/test-module";
        options.backup_type = c.type;
        options.supports_incremental = c.incremental;
        options.supports_differential = c.differential;
        HookedModule module(options);
        const Outcome run = run_module(module);
        EXPECT_EQ(run.status, c.status);
        if (c.error) {
            EXPECT_NE(run.log.find(std::string("unsigned int ZvModuleUniversal::run()") + c.error), std::string::npos)
                << run.log;
        } else {
            EXPECT_EQ(run.log, "");
        }
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.calls, Calls{});
    }
}

}  // namespace
