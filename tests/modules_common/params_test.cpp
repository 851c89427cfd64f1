// The module-parameter string of -e: which member each framework key sets and by
// which rule, what lands in special_params for the module, and the values that must
// refuse the start because they would reach the archiver's command line.
#include "support/test_module.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

namespace fs = boost::filesystem;
using zv_test::TestModule;

namespace {

struct ParamCase {
    std::string params;
    std::function<void(const TestModule&)> check;
};

TEST(ModuleParams, FrameworkKeysAndTheirRules) {
    const ParamCase cases[] = {
        {"", [](const TestModule& m) {
             EXPECT_EQ(m.hash_algorithm, "sha2");
             EXPECT_EQ(m.hash_length, 256);
             EXPECT_EQ(m.block_size, 16384);
             EXPECT_TRUE(m.zvfd_flags.empty());
             EXPECT_TRUE(m.special_params.empty());
             EXPECT_TRUE(m.ignore_errors_snapshot);
             EXPECT_EQ(m.os_snapshot_size, 10);
         }},
        {"zvd_hash_algorithm:md5,zvd_hash_algorithm:sha-2_x,zvd_hash_length:512,zvd_block_size:"
         "512k",
         [](const TestModule& m) {
             EXPECT_EQ(m.hash_algorithm, "sha-2_x");
             EXPECT_EQ(m.hash_length, 512);
             EXPECT_EQ(m.block_size, 512);  // a numeric beginning converts
         }},
        // The largest block size the archiver backs up and restores.
        {"zvd_block_size:16777216", [](const TestModule& m) { EXPECT_EQ(m.block_size, 16777216); }},
        {"enable_multithreading:true,worker_parallelism:4,worker_parallelism:8",
         [](const TestModule& m) {
             EXPECT_EQ(m.zvfd_flags, (std::map<std::string, std::string>{
                                         {"enable_multithreading", "true"},
                                         {"worker_parallelism", "8"}}));
         }},
        {"file_list:true,file_list:no,numeric_owner:t", [](const TestModule& m) {
             EXPECT_FALSE(m.file_list);  // the last occurrence wins
             EXPECT_TRUE(m.numeric_owner);
         }},
        {"last:t", [](const TestModule& m) { EXPECT_FALSE(m.last); }},
        {"last:t,last:true", [](const TestModule& m) { EXPECT_TRUE(m.last); }},
        {"tmp_catalog:/x/y,tmp_catalog:/z", [](const TestModule& m) { EXPECT_EQ(m.tmp_catalog, "/z"); }},
        {"without_deployment_restore:yes,without_deployment_restore:no",
         [](const TestModule& m) { EXPECT_TRUE(m.without_deployment_restore); }},
        {"use_snapshot:true,use_snapshot:no,ignore_errors_snapshot:f,ignore_errors_snapshot:t",
         [](const TestModule& m) {
             EXPECT_TRUE(m.is_OS_snapshot_using());
             EXPECT_FALSE(m.ignore_errors_snapshot);
         }},
        {"snapshot_type:dattobd,snapshot_type:zfs", [](const TestModule& m) {
             EXPECT_EQ(m.get_OS_snapshot_type(), "dattobd");
         }},
        {"snapshot_size:0", [](const TestModule& m) { EXPECT_EQ(m.os_snapshot_size, 10); }},
        {"snapshot_size:35,snapshot_size:abc", [](const TestModule& m) {
             EXPECT_EQ(m.os_snapshot_size, 35);
             EXPECT_FALSE(m.is_OS_snapshot_using());
         }},
        {"lvm_snapshot_size:20", [](const TestModule& m) {
             EXPECT_EQ(m.os_snapshot_size, 20);
             EXPECT_TRUE(m.is_OS_snapshot_using());
             EXPECT_EQ(m.get_OS_snapshot_type(), "lvm");
         }},
        {"a:1,,b:2,", [](const TestModule& m) {
             EXPECT_EQ(m.special_params,
                       (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
         }},
        {"backup_if_shutdown:false,backup_if_shutdown:true,key:a:b,:empty,ZVD_HASH_LENGTH:128",
         [](const TestModule& m) {
             std::string value = "untouched";
             EXPECT_TRUE(m.find_special_param("backup_if_shutdown", value));
             EXPECT_EQ(value, "false");  // the first occurrence stays
             EXPECT_TRUE(m.find_special_param("key", value));
             EXPECT_EQ(value, "a:b");
             EXPECT_TRUE(m.has_special_param_passed_from_client(""));
             EXPECT_TRUE(m.find_special_param("ZVD_HASH_LENGTH", value));
             EXPECT_EQ(m.hash_length, 256);
             value = "untouched";
             EXPECT_FALSE(m.find_special_param("absent", value));
             EXPECT_EQ(value, "untouched");
             EXPECT_FALSE(m.has_special_param_passed_from_client("absent"));
         }},
        {"novalue:,nocolon", [](const TestModule& m) { EXPECT_TRUE(m.special_params.empty()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        zv_test::LogCapture log;
        TestModule module;
        module.options_.module_params = c.params;
        ASSERT_TRUE(module.parce_param_string());
        EXPECT_EQ(module.custom_parameter_loads, 1);
        c.check(module);
    }
}

TEST(ModuleParams, FlagKeysAreRegisteredInOrder) {
    TestModule module;
    EXPECT_EQ(module.zvfd_flag_names,
              (std::vector<std::string>{"worker_parallelism", "network_parallelism",
                                        "enable_multithreading", "enable_flexible_dedup"}));
}

TEST(ModuleParams, WarningsAndErrorsThatDoNotStopTheRun) {
    zv_test::LogCapture log;
    TestModule module;
    module.options_.module_params =
        "key:,solo,snapshot_size:-3,snapshot_size:abc,snapshot_type:zfs";
    ASSERT_TRUE(module.parce_param_string());
    const std::string signature = "void ZvModuleUniversal::parce_param_string(): ";
    EXPECT_EQ(log.count(signature + "Separator ':' is not found in string: key:"), 1);
    EXPECT_EQ(log.count(signature + "Separator ':' is not found in string: solo"), 1);
    EXPECT_EQ(log.count("Warning: Wrong OS snaphot size: -3, set to default value: 10%"), 1);
    EXPECT_EQ(log.count("Error: " + signature + "can't convert abc to int"), 1);
    EXPECT_EQ(log.count("Warning: Wrong value of snapshot_type, ignore..."), 1);
}

TEST(ModuleParams, ScriptKeysNeedAnExistingRegularFile) {
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("zv-params-%%%%");
    fs::create_directories(dir);
    const std::string script = (dir / "before.sh").string();
    std::ofstream(script) << "#!/bin/sh\n";

    zv_test::LogCapture log;
    TestModule module;
    module.options_.module_params = "script_before_snapshot:" + script +
                                    ",script_after_snapshot:" + (dir / "missing.sh").string() +
                                    ",script_error_snapshot:" + dir.string();
    ASSERT_TRUE(module.parce_param_string());
    EXPECT_EQ(module.script_before_snapshot(), script);
    EXPECT_EQ(module.script_after_snapshot(), "");
    EXPECT_EQ(module.script_error_snapshot(), "");  // a directory is no script
    // The module reads the same keys as programs inside the guest: all three stay.
    std::string value;
    EXPECT_TRUE(module.find_special_param("script_after_snapshot", value));
    EXPECT_EQ(value, (dir / "missing.sh").string());
    EXPECT_EQ(module.special_params.size(), 3u);
    fs::remove_all(dir);
}

// Values that go onto the archiver's command line: anything a shell or the archiver's
// flag list would read as syntax refuses the start, and so do sizes that are no
// positive number, each with a message naming the key and the value.
TEST(ModuleParams, ValuesTheArchiverCannotTakeRefuseTheStart) {
    const struct {
        std::string params;
        std::string message;
    } cases[] = {
        {"zvd_hash_algorithm:sha2;touch /x", "wrong value of zvd_hash_algorithm: 'sha2;touch /x'"},
        {"zvd_hash_algorithm:$(id)", "wrong value of zvd_hash_algorithm"},
        {"zvd_hash_algorithm:sha 2", "wrong value of zvd_hash_algorithm"},
        {"worker_parallelism:4 -c /etc", "wrong value of worker_parallelism"},
        {"enable_flexible_dedup:`reboot`", "wrong value of enable_flexible_dedup"},
        {"network_parallelism:1:enable_multithreading:true", "wrong value of network_parallelism"},
        {"zvd_block_size:0", "wrong value of zvd_block_size: '0', it must be a positive number"},
        {"zvd_block_size:-4096", "wrong value of zvd_block_size"},
        {"zvd_hash_length:0", "wrong value of zvd_hash_length"},
        {"zvd_hash_length:-256", "wrong value of zvd_hash_length"},
        // No number at all, or one beyond an int: the key and the value are named.
        {"zvd_hash_length:abc", "wrong value of zvd_hash_length: 'abc', it must be a positive number"},
        {"zvd_block_size:x", "wrong value of zvd_block_size: 'x'"},
        {"zvd_block_size:99999999999", "wrong value of zvd_block_size: '99999999999'"},
        // Beyond what the archiver backs up and restores, on either side.
        {"zvd_block_size:16777217",
         "wrong value of zvd_block_size: '16777217', a block size lies between 512 and 16777216 bytes"},
        {"zvd_block_size:511", "wrong value of zvd_block_size: '511', a block size lies between 512"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        zv_test::LogCapture log;
        TestModule module;
        module.options_.module_params = "file_list:true," + c.params;
        EXPECT_FALSE(module.parce_param_string());
        EXPECT_EQ(log.count("Error: void ZvModuleUniversal::parce_param_string(): " + c.message), 1)
            << (log.lines().empty() ? "" : log.lines().back());
        EXPECT_EQ(module.hash_algorithm, "sha2");
        EXPECT_TRUE(module.zvfd_flags.empty());
        EXPECT_GT(module.block_size, 0);
        EXPECT_GT(module.hash_length, 0);
    }
}

// How long a termination waits for a step under way: whole seconds, or the start is
// refused and the limit stays what it was.
TEST(ModuleParams, TerminationTimeoutIsWholeSeconds) {
    const struct {
        const char* value;
        bool accepted;
        unsigned seconds;
    } cases[] = {
        {"0", true, 0},           {"3", true, 3},         {"4294967295", true, 4294967295u},
        {"4294967296", false, 0}, {"-1", false, 0},       {"3s", false, 0},
        {" 3", false, 0},         {"99999999999", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        zv_test::LogCapture log;
        ZvModuleSignalHandler::set_termination_limit(60);
        TestModule module;
        module.options_.module_params = std::string("termination_timeout:") + c.value;
        EXPECT_EQ(module.parce_param_string(), c.accepted);
        EXPECT_EQ(ZvModuleSignalHandler::termination_limit(), c.accepted ? c.seconds : 60u);
        EXPECT_EQ(log.count("Error: void ZvModuleUniversal::parce_param_string(): wrong value of "
                            "termination_timeout: '" + std::string(c.value) + "'"),
                  c.accepted ? 0 : 1);
    }
    ZvModuleSignalHandler::set_termination_limit(60);
}

}  // namespace
