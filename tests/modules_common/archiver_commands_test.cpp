// The archiver's backup, restore and replica command lines: the argument lists the
// module builds, and what the archiver really receives once the shell has
// parsed the module's text, hostile values included; and a round trip of real files.
#include "archiver_test_support.h"
#include "support/zvfd_argv_log.h"
#include "common/zv_shell.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <random>
#include <set>
#include <unistd.h>

using namespace archiver_test;

namespace {

using Args = std::vector<std::string>;

const char* const keys = "/opt/zelvor/keys/master-key,/opt/zelvor/keys/secret-key.pem";
const char* const secret_T = "/opt/zelvor/var/tasks//task_secret_T";

bool contains_run(const Args& args, const Args& run) {
    return std::search(args.begin(), args.end(), run.begin(), run.end()) != args.end();
}

bool has_option(const Args& args, const std::string& option) {
    return std::find(args.begin(), args.end(), option) != args.end();
}

std::string joined(const Args& args) {
    std::string text;
    for (const auto& a : args) text += "[" + a + "]";
    return text;
}

class ArchiverCommands : public ::testing::Test {
protected:
    ArchiverCommands() {
        list_file = (scratch.path() / "zvfd.list").string();
        write_file(list_file, "ZVFD file list:\n");
        op = (scratch.path() / "op").string();
        fs::create_directories(op);
        ZvModuleOptions& o = module.options_;
        o.operation = ZvModuleOperations::Backup;
        o.resource = "vm1";
        o.resource_list_file = list_file;
        o.tmp_operation_directory = op;
        o.media_server = "M";
        o.archive_name = "N";
        o.task_id = "T";
        o.record_id = "R";
        module.zvfd_flag_names = {"worker_parallelism", "network_parallelism",
                                  "enable_multithreading", "enable_flexible_dedup"};
    }

    Args backup_args() {
        Args args;
        EXPECT_TRUE(module.backup_command_arguments(args)) << log.all();
        return args;
    }
    Args restore_args(bool replica = false) {
        Args args;
        EXPECT_TRUE(module.restore_command_arguments(replica, args)) << log.all();
        return args;
    }

    // Runs the module's own shell text against the archiver and returns what it got.
    // Without `data_work` the archiver stops right after reading its command line;
    // with it, the run does its work in a mount namespace where the scratch "opt"
    // directory stands for /opt/zelvor (the media servers' repositories lie there).
    zv_test::ZvfdInvocation run_through_zvfd(const std::string& command, bool data_work = false) {
        const std::string argv_log = (scratch.path() / "argv.log").string();
        fs::remove(argv_log);
        ScopedEnv aid_env("ZVFD_TEST_AID", "argv-log=" + argv_log + (data_work ? "" : ",fail=3"));
        std::string shell_text = with_built_zvfd(command);
        if (data_work) {
            const std::string opt = (scratch.path() / "opt").string();
            fs::create_directories(opt + "/var/tasks");
            write_file(opt + "/var/tasks/task_secret_T", "secret of task T\n");
            shell_text = "unshare --mount --propagation private /bin/sh -c " +
                         zv_utils_common::shell_quote("mount -t tmpfs zvtest /opt && mkdir /opt/zelvor && mount --bind " +
                                                      zv_utils_common::shell_quote(opt) + " /opt/zelvor && " +
                                                      shell_text);
        }
        std::string output, progress;
        StdoutCapture out;
        last_run_ok = module.run_zvfd_command(shell_text, output, module.zvfd_pid, progress);
        last_output = output;
        const auto runs = zv_test::read_zvfd_argv_log(argv_log);
        EXPECT_EQ(runs.size(), 1u) << command << "\n" << output;
        return runs.empty() ? zv_test::ZvfdInvocation{} : runs.front();
    }

    ScratchDir scratch;
    LogCapture log;
    TestModule module;
    std::string list_file, op;
    bool last_run_ok = false;
    std::string last_output;
};

TEST_F(ArchiverCommands, ServerFullBackupWithDefaults) {
    const Args expected = {"-a", "sha2", "-2", "-b", "16384", "-c", list_file, "-x", keys, "-z",
                           "None", "-M", "M", "-N", "N", "-T", "T", "-s", secret_T, "-m",
                           op + "/N.snap_dir/N.meta"};
    const Args args = backup_args();
    EXPECT_EQ(args, expected) << joined(args);

    // Through the shell the archiver gets exactly these words, started in "/".
    const auto run = run_through_zvfd(zvfd_shell_command(args, "/"));
    EXPECT_EQ(run.args, expected) << joined(run.args);
    EXPECT_EQ(run.cwd, "/");
}

struct BackupVariant {
    const char* name;
    std::function<void(TestModule&, const fs::path& scratch)> change;
    std::vector<Args> present;  // each must appear as a contiguous run
    std::vector<std::string> absent;
};

void PrintTo(const BackupVariant& v, std::ostream* os) { *os << v.name; }

class BackupVariants : public ArchiverCommands,
                       public ::testing::WithParamInterface<BackupVariant> {};

TEST_P(BackupVariants, Arguments) {
    const BackupVariant& v = GetParam();
    v.change(module, scratch.path());
    const Args args = backup_args();
    for (Args run : v.present) {
        // "{S}" in an expected value stands for the scratch directory.
        for (auto& value : run) {
            const auto at = value.find("{S}");
            if (at != std::string::npos) value.replace(at, 3, scratch.str());
        }
        EXPECT_TRUE(contains_run(args, run)) << joined(run) << " in " << joined(args);
    }
    for (const auto& option : v.absent) EXPECT_FALSE(has_option(args, option)) << option << " in " << joined(args);
}

INSTANTIATE_TEST_SUITE_P(
    Archiver, BackupVariants,
    ::testing::Values(
        BackupVariant{"defaults_add_nothing_optional",
                      [](TestModule&, const fs::path&) {},
                      {{"-a", "sha2", "-2", "-b", "16384"}},
                      {"-p", "-e", "-S", "-X", "-g", "-C", "--numeric-owner", "--memory-threshold",
                       "-d", "-E", "-f", "--set-to-numeric"}},
        BackupVariant{"hash_length_512",
                      [](TestModule& m, const fs::path&) { m.hash_length = 512; },
                      {{"-a", "sha2", "-5", "-b", "16384"}},
                      {"-2"}},
        BackupVariant{"directory_resource_without_list",
                      [](TestModule& m, const fs::path& s) {
                          m.options_.resource_list_file.clear();
                          m.options_.resource = s.string();
                      },
                      {{"-c", "."}},
                      {}},
        BackupVariant{"file_resource_without_list",
                      [](TestModule& m, const fs::path& s) {
                          m.options_.resource_list_file.clear();
                          m.options_.resource = (s / "zvfd.list").string();
                      },
                      {{"-c", "{S}/zvfd.list"}},
                      {}},
        BackupVariant{"parallelism_zero_is_passed",
                      [](TestModule& m, const fs::path&) { m.options_.parallelism = 0; },
                      {{"-p", "0"}},
                      {}},
        BackupVariant{"flags_in_register_order_only_known_keys",
                      [](TestModule& m, const fs::path&) {
                          m.zvfd_flags = {{"enable_multithreading", "yes"},
                                          {"worker_parallelism", "4"},
                                          {"bogus", "1"}};
                      },
                      {{"-e", "worker_parallelism:4,enable_multithreading:yes"}},
                      {}},
        BackupVariant{"restrictions_without_list_file",
                      [](TestModule& m, const fs::path& s) {
                          m.options_.local_restrictions = true;
                          m.options_.restriction_list_path = (s / "missing.list").string();
                      },
                      {{"-x", std::string(keys) + ","}},
                      {"-X"}},
        BackupVariant{"restrictions_with_list_file",
                      [](TestModule& m, const fs::path& s) {
                          m.options_.local_restrictions = true;
                          m.options_.restriction_list_path = (s / "restrict.list").string();
                          write_file(s / "restrict.list", "");
                      },
                      {{"-X", "{S}/restrict.list"}},
                      {}},
        BackupVariant{"numeric_owner",
                      [](TestModule& m, const fs::path&) { m.numeric_owner = true; },
                      {{"--numeric-owner"}},
                      {}},
        BackupVariant{"incremental_uses_reference",
                      [](TestModule& m, const fs::path&) {
                          m.options_.backup_type = 2;
                          m.options_.reference_meta_file = "/ref dir/ref.meta";
                      },
                      {{"-S", "/ref dir/ref.meta", "-z", "None"}},
                      {}},
        BackupVariant{"incremental_may_skip_reference",
                      [](TestModule& m, const fs::path&) {
                          m.options_.backup_type = 2;
                          m.skip_reference_meta = true;
                      },
                      {},
                      {"-S"}},
        BackupVariant{"differential_uses_reference",
                      [](TestModule& m, const fs::path&) {
                          m.options_.backup_type = 3;
                          m.options_.reference_meta_file = "/r.meta";
                      },
                      {{"-S", "/r.meta"}},
                      {}},
        BackupVariant{"full_ignores_reference",
                      [](TestModule& m, const fs::path&) { m.options_.reference_meta_file = "/r.meta"; },
                      {},
                      {"-S"}},
        BackupVariant{"no_compression_word_for_type_zero",
                      [](TestModule& m, const fs::path&) { m.options_.compress_type = 0; },
                      {},
                      {"-z"}},
        BackupVariant{"best_compression",
                      [](TestModule& m, const fs::path&) { m.options_.compress_type = 4; },
                      {{"-z", "best"}},
                      {}},
        BackupVariant{"memory_threshold",
                      [](TestModule& m, const fs::path&) { m.options_.memory_threshold = 5; },
                      {{"--memory-threshold", "5"}},
                      {}},
        BackupVariant{"autonomous_writes_archive_locally",
                      [](TestModule& m, const fs::path&) {
                          m.options_.autonomous = true;
                          m.options_.media_server.clear();
                          m.options_.task_id.clear();
                      },
                      {{"-n", "{S}/op/N.zvfd", "-m", "{S}/op/N.snap_dir/N.meta"}},
                      {"-M", "-N", "-T", "-s"}},
        BackupVariant{"signing",
                      [](TestModule& m, const fs::path&) { m.options_.dgst = true; },
                      {{"-g", "{S}/op/N.signature", "--passin", "/opt/zelvor/keys/master-key", "--sign",
                        "/opt/zelvor/keys/secret-key.pem"}},
                      {}},
        BackupVariant{"encryption",
                      [](TestModule& m, const fs::path& s) {
                          m.options_.crypto_algorithm = "kuznyechik";
                          m.options_.key_file = (s / "zvfd.list").string();
                      },
                      {{"-C", "kuznyechik", "-k", "{S}/zvfd.list"}},
                      {}}),
    [](const ::testing::TestParamInfo<BackupVariant>& info) { return std::string(info.param.name); });

struct BackupFailure {
    const char* name;
    std::function<void(TestModule&, const fs::path& scratch)> change;
    const char* message;
};

void PrintTo(const BackupFailure& f, std::ostream* os) { *os << f.name; }

class BackupFailures : public ArchiverCommands,
                       public ::testing::WithParamInterface<BackupFailure> {};

TEST_P(BackupFailures, RefusedBeforeTheArchiverRuns) {
    GetParam().change(module, scratch.path());
    Args args;
    EXPECT_FALSE(module.backup_command_arguments(args));
    EXPECT_TRUE(log.has(GetParam().message)) << log.all();
}

INSTANTIATE_TEST_SUITE_P(
    Archiver, BackupFailures,
    ::testing::Values(
        BackupFailure{"list_file_missing",
                      [](TestModule& m, const fs::path& s) { m.options_.resource_list_file = (s / "none").string(); },
                      "make_backup_cmd_common(std::__cxx11::string&): resource list file doesn't exist: "},
        BackupFailure{"list_file_not_regular",
                      [](TestModule& m, const fs::path& s) { m.options_.resource_list_file = s.string(); },
                      ": resource list file is not a regular file: "},
        BackupFailure{"incremental_without_reference",
                      [](TestModule& m, const fs::path&) { m.options_.backup_type = 2; },
                      ": you must define reference snapshot name (-s option)"},
        BackupFailure{"differential_cannot_skip_reference",
                      [](TestModule& m, const fs::path&) {
                          m.options_.backup_type = 3;
                          m.skip_reference_meta = true;
                      },
                      ": you must define reference snapshot name (-s option)"},
        BackupFailure{"restriction_list_unreadable",
                      [](TestModule& m, const fs::path& s) {
                          m.options_.local_restrictions = true;
                          m.options_.restriction_list_path = (s / "restrictions").string();
                          write_file(m.options_.restriction_list_path, std::string(17 << 20, 'x'));
                      },
                      ": the local restriction list can't be read: "},
        BackupFailure{"unknown_backup_type",
                      [](TestModule& m, const fs::path&) { m.options_.backup_type = 7; },
                      ": wrong backup type: 7"},
        BackupFailure{"encryption_without_key",
                      [](TestModule& m, const fs::path&) { m.options_.crypto_algorithm = "gost"; },
                      "you must define key file"},
        BackupFailure{"encryption_key_missing",
                      [](TestModule& m, const fs::path& s) {
                          m.options_.crypto_algorithm = "gost";
                          m.options_.key_file = (s / "no.key").string();
                      },
                      "there is no key file: "}),
    [](const ::testing::TestParamInfo<BackupFailure>& info) { return std::string(info.param.name); });

TEST_F(ArchiverCommands, BackupRefusesArchiveNamesThatLeaveTheOperationDirectory) {
    for (const std::string name : {"", ".", "..", "../x", "a/b"}) {
        module.options_.archive_name = name;
        EXPECT_FALSE(module.make_backup()) << name;
    }
    EXPECT_TRUE(log.has("Archive name \"..\" can't name a file inside the temporary operation directory"))
        << log.all();
}

TEST_F(ArchiverCommands, ServerRestoreWithMetadataFile) {
    module.options_.operation = ZvModuleOperations::Restore;
    module.options_.reference_meta_file = op + "/ref.snap_dir/N.meta";
    const Args expected = {"-a", "sha2", "-2", "-b", "16384", "-R", "R", "-M", "M", "-T", "T",
                           "-s", secret_T, "-m", op + "/ref.snap_dir/N.meta", "-d", op};
    EXPECT_EQ(restore_args(), expected) << joined(restore_args());
}

TEST_F(ArchiverCommands, RestoreWithoutMetadataFileLeavesOutItsOption) {
    module.options_.operation = ZvModuleOperations::Restore;
    const Args args = restore_args();
    EXPECT_FALSE(has_option(args, "-m")) << joined(args);
    // The archiver must see "-d" as an option, not as the value of a bare "-m".
    const auto run = run_through_zvfd(zvfd_shell_command(args, ""));
    EXPECT_EQ(run.value("-d"), op);
    EXPECT_EQ(last_output.find("needs a value"), std::string::npos) << last_output;
}

TEST_F(ArchiverCommands, RestoreVariants) {
    module.options_.operation = ZvModuleOperations::Restore;
    module.options_.parallelism = 3;
    module.options_.granular_list = "disk 1.img,disk2.img";
    module.options_.set_to_numeric = true;
    module.zvfd_flags = {{"enable_flexible_dedup", "1"}};
    const Args args = restore_args();
    EXPECT_TRUE(contains_run(args, {"-p", "3", "-f", "disk 1.img,disk2.img", "--set-to-numeric", "-e",
                                    "enable_flexible_dedup:1"}))
        << joined(args);
    EXPECT_FALSE(has_option(args, "-E"));
    for (const char* backup_only : {"-z", "--memory-threshold", "-x", "-X", "-g", "-c"})
        EXPECT_FALSE(has_option(args, backup_only)) << backup_only;

    const Args replica = restore_args(true);
    EXPECT_TRUE(has_option(replica, "-E"));
}

TEST_F(ArchiverCommands, AutonomousRestoreNamesTheArchive) {
    module.options_.operation = ZvModuleOperations::Restore;
    module.options_.autonomous = true;
    module.options_.archive_name = "/backups/vm1_full_1.zvfd";
    const Args args = restore_args();
    EXPECT_EQ(args, (Args{"-a", "sha2", "-2", "-b", "16384", "-r", "/backups/vm1_full_1.zvfd", "-d", op}))
        << joined(args);
}

TEST_F(ArchiverCommands, AutonomousRestoreFromClientDefinedStorages) {
    module.options_.operation = ZvModuleOperations::Restore;
    module.options_.autonomous = true;
    module.client_defined_storages.push_back({});

    // A local-directory archive is restored under its own name.
    module.options_.archive_name = "local-directory:5@/store/vm1_full_1.zvfd";
    Args args = restore_args();
    EXPECT_TRUE(contains_run(args, {"-r", "/store/vm1_full_1.zvfd", "-d", op})) << joined(args);
    EXPECT_TRUE(log.has("Rename restored object to: /store/vm1_full_1.zvfd")) << log.all();

    // The module's default storage needs no archiver run at all.
    module.options_.archive_name = "default:1@vm1_full_1";
    EXPECT_TRUE(module.make_restore(false));
    EXPECT_TRUE(log.has("Module default storage. Skipping zvfd run.")) << log.all();

    for (const std::string name : {"s3:2@bucket/vm1", "plain-name", "local-directory:5@"}) {
        module.options_.archive_name = name;
        EXPECT_FALSE(module.restore_command_arguments(false, args)) << name;
        EXPECT_TRUE(log.has(": unsupported client defined storage here: " + name)) << log.all();
    }
}

TEST_F(ArchiverCommands, RestoreKeyFileErrorsNameTheOperation) {
    module.options_.crypto_algorithm = "gost";
    Args args;
    EXPECT_FALSE(module.restore_command_arguments(false, args));
    EXPECT_TRUE(log.has("bool ZvModuleUniversal::make_restore(const bool&): you must define key file"));
    module.options_.key_file = (scratch.path() / "none.key").string();
    EXPECT_FALSE(module.restore_command_arguments(false, args));
    EXPECT_TRUE(log.has("make_restore(const bool&): there is no key file: " + module.options_.key_file));
}

// Blanks, quotes, line feeds, tabs and shell syntax in every outside value.
std::string hostile(const std::string& field, const std::string& marker) {
    return field + " a'b\"c\nd\te $(touch " + marker + ") `touch " + marker + "`; touch " + marker;
}

TEST_F(ArchiverCommands, HostileValuesReachTheArchiverUnchanged) {
    const std::string marker = (scratch.path() / "injected").string();
    ZvModuleOptions& o = module.options_;
    const fs::path odd_dir = scratch.path() / hostile("dir", marker);
    fs::create_directories(odd_dir);
    o.tmp_operation_directory = odd_dir.string();
    o.resource_list_file = (odd_dir / hostile("list", marker)).string();
    write_file(o.resource_list_file, "ZVFD file list:\n");
    o.key_file = (odd_dir / hostile("key", marker)).string();
    write_file(o.key_file, "k");
    o.crypto_algorithm = hostile("crypto", marker);
    o.media_server = hostile("server", marker);
    o.archive_name = hostile("archive", marker);
    o.task_id = hostile("task", marker);
    o.record_id = hostile("record", marker);
    o.reference_meta_file = (odd_dir / hostile("meta", marker)).string();
    o.granular_list = hostile("granular", marker);
    module.zvfd_flags = {{"worker_parallelism", hostile("flag", marker)}};
    module.hash_algorithm = hostile("hash", marker);
    o.dgst = true;

    const Args backup = backup_args();
    auto run = run_through_zvfd(zvfd_shell_command(backup, "/"));
    EXPECT_EQ(run.args, backup);
    EXPECT_EQ(run.value("-N"), o.archive_name);

    const Args restore = restore_args();
    run = run_through_zvfd(zvfd_shell_command(restore, ""));
    EXPECT_EQ(run.args, restore);
    EXPECT_EQ(run.value("-R"), o.record_id);

    EXPECT_FALSE(fs::exists(marker)) << "a value ran as shell text";
}

// --- round trip of real files through the module's own command lines -------------

std::uint64_t allocated_bytes(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

void write_random_at(const fs::path& path, std::uint64_t offset, std::size_t length, unsigned seed) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    std::mt19937 gen(seed);
    std::string data(length, '\0');
    for (auto& c : data) c = static_cast<char>(gen());
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(data.size()));
    ::close(fd);
}

class ArchiverRoundTrip : public ArchiverCommands, public ::testing::WithParamInterface<bool> {
protected:
    // Server mode, or autonomous mode (the parameter) without media server and task.
    void choose_mode() {
        ZvModuleOptions& o = module.options_;
        o.autonomous = GetParam();
        if (o.autonomous) {
            o.media_server.clear();
            o.task_id.clear();
        }
    }
    // Backs up the list file as the module would; `type` 1 full, 2 incremental, 3
    // differential against the metadata file of `reference`. Returns the metadata file.
    std::string backup(const std::string& archive, int type, const std::string& reference = "") {
        ZvModuleOptions& o = module.options_;
        o.operation = ZvModuleOperations::Backup;
        o.tmp_operation_directory = op;
        o.archive_name = archive;
        o.backup_type = type;
        o.reference_meta_file = reference;
        fs::create_directories(module.leveldb_directory_path());
        run_through_zvfd(zvfd_shell_command(backup_args(), "/"), true);
        EXPECT_TRUE(last_run_ok) << archive << "\n" << last_output;
        EXPECT_TRUE(fs::exists(module.meta_filename())) << archive;
        if (o.autonomous) {
            EXPECT_TRUE(fs::exists(module.archive_filename())) << archive;
        }
        return module.meta_filename();
    }
    // Restores a record as a later run would, into a fresh directory (or, for a
    // replica application, into `into` as it is).
    fs::path restore(const std::string& archive, const std::string& meta, const std::string& granular = "",
                     const fs::path& into = {}) {
        ZvModuleOptions& o = module.options_;
        const std::string archive_path = (fs::path(op) / (archive + ".zvfd")).string();
        o.operation = into.empty() ? ZvModuleOperations::Restore : ZvModuleOperations::ApplyReplica;
        o.reference_meta_file = meta;
        o.record_id = archive;
        o.granular_list = granular;
        if (o.autonomous) o.archive_name = archive_path;
        const fs::path dir = into.empty() ? scratch.path() / ("restore-" + archive) : into;
        fs::create_directories(dir);
        o.tmp_operation_directory = dir.string();
        run_through_zvfd(zvfd_shell_command(restore_args(!into.empty()), ""), true);
        EXPECT_TRUE(last_run_ok) << archive << "\n" << last_output;
        o.granular_list.clear();
        return dir;
    }
    void expect_same(const fs::path& restored, const fs::path& original) {
        EXPECT_EQ(fs::file_size(restored), fs::file_size(original)) << restored;
        EXPECT_TRUE(read_file(restored) == read_file(original)) << restored << " differs from " << original;
        EXPECT_LE(allocated_bytes(restored), allocated_bytes(original) + (64 << 10))
            << restored << " lost its holes";
    }
};

// Full, incremental and differential backups and the restore of each, a granular
// restore and a replica application, all through the module's own command lines.
TEST_P(ArchiverRoundTrip, EveryKindOfBackupComesBackIdenticalAndSparse) {
    if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root and mount namespaces";
    choose_mode();
    const fs::path images = scratch.path() / "images with blanks";
    fs::create_directories(images);
    const fs::path sparse = images / "disk 0.qcow2";
    write_random_at(sparse, 0, 1 << 20, 1);
    write_random_at(sparse, 40u << 20, 1 << 20, 2);
    ASSERT_EQ(::truncate(sparse.c_str(), 96 << 20), 0);
    const fs::path dense = images / "domain.xml";
    write_random_at(dense, 0, 300000, 3);
    ASSERT_TRUE(module.add_to_zvfd_list_file(
        list_file, {{sparse.string(), "vda.img"}, {dense.string(), "domain.xml"}}, false));

    std::map<std::string, std::pair<std::string, std::string>> states;  // archive -> (meta, image bytes)
    const std::string full = backup("vm1_full_1", 1);
    states["vm1_full_1"] = {full, read_file(sparse)};
    write_random_at(sparse, 60u << 20, 200000, 4);  // new data in a hole
    const std::string incr = backup("vm1_incr_2", 2, full);
    states["vm1_incr_2"] = {incr, read_file(sparse)};
    write_random_at(sparse, 4096, 8192, 5);  // a change inside a stored block
    const std::string diff = backup("vm1_diff_3", 3, full);
    states["vm1_diff_3"] = {diff, read_file(sparse)};
    const std::string now = read_file(sparse);

    for (const auto& [archive, state] : states) {
        SCOPED_TRACE(archive);
        const fs::path dir = restore(archive, state.first);
        const fs::path copy = scratch.path() / ("expected-" + archive);
        write_file(copy, state.second);
        expect_same(dir / "vda.img", copy);
        expect_same(dir / "domain.xml", dense);
    }

    fs::remove_all(scratch.path() / "restore-vm1_diff_3");
    const fs::path granular = restore("vm1_diff_3", diff, "domain.xml");
    EXPECT_TRUE(fs::exists(granular / "domain.xml"));
    EXPECT_FALSE(fs::exists(granular / "vda.img"));

    // A replica application turns the full backup's image, restored, into today's one.
    const fs::path replica_dir = restore("vm1_full_1", full);
    write_file(scratch.path() / "now", now);
    restore("vm1_diff_3", diff, "", replica_dir);
    expect_same(replica_dir / "vda.img", scratch.path() / "now");
    EXPECT_FALSE(fs::exists(replica_dir / "vda.img.zvfd-part"));
}

// A directory resource without a list file is archived as "." from inside itself:
// the record holds the directory's files, not the root file system's.
TEST_P(ArchiverRoundTrip, DirectoryResourceComesBackAsItsOwnFiles) {
    if (!zv_test::can_use_namespaces()) GTEST_SKIP() << "needs root and mount namespaces";
    choose_mode();
    ZvModuleOptions& o = module.options_;
    const fs::path resource = scratch.path() / "resource dir";
    write_file(resource / "a.txt", "first file");
    write_file(resource / "sub" / "b.txt", "second file");
    o.resource = resource.string();
    o.resource_list_file.clear();
    std::string command;
    ASSERT_TRUE(module.backup_shell_command(command)) << log.all();
    const auto started = run_through_zvfd(command);
    ASSERT_EQ(started.cwd, resource.string()) << command;
    EXPECT_EQ(started.value("-c"), ".");

    fs::create_directories(module.leveldb_directory_path());
    run_through_zvfd(command, true);
    ASSERT_TRUE(last_run_ok) << last_output;
    const fs::path restored = restore(o.archive_name, module.meta_filename());
    std::set<std::string> files;
    for (fs::recursive_directory_iterator it(restored), end; it != end; ++it)
        if (fs::is_regular_file(it->path())) files.insert(fs::relative(it->path(), restored).string());
    EXPECT_EQ(files, (std::set<std::string>{"a.txt", "sub/b.txt"}));
    EXPECT_EQ(read_file(restored / "sub" / "b.txt"), "second file");
}

INSTANTIATE_TEST_SUITE_P(Archiver, ArchiverRoundTrip, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "autonomous" : "server");
                         });

}  // namespace
