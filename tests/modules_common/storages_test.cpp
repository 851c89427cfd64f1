// Client-defined storages inside the process: storage records, archive names inside a
// storage, the choice of storage and what it does to the options, and the deletion
// request. Loading the enciphered file from the task directory is tested from outside
// (tests/blackbox/storages_test.cpp), since its paths are fixed.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <set>

using namespace archiver_test;

namespace {

using Storage = ZvModuleUniversal::ClientDefinedStorageInfo;
using Archive = ZvModuleUniversal::ClientDefinedArchiveInfo;

TEST(StorageRecord, TypeIdAndLocation) {
    const struct {
        std::string record;
        int type;
        int id;
        std::string location;
    } cases[] = {
        {R"({"id": 5, "method": {}})", 3, 5, ""},
        {R"({"id": 1, "method": {"local-directory": "/srv/b", "s3": {"k": 1}}})", 1, 1, "/srv/b"},
        {R"({"id": 2, "method": {"other": 0, "s3": {"bucket": "b"}, "local-directory": "/srv"}})",
         2, 2, R"({"bucket":"b"})"},
        // Quotes go, escape sequences stay as written.
        {R"({"id": 3, "method": {"local-directory": "/srv/a\\b \"c\""}})", 1, 3,
         R"(/srv/a\\b \c\)"},
        {R"({"method": {}, "id": -4, "more": true})", 3, -4, ""},
        {R"({"id": 4294967301, "method": {}})", 3, 5, ""},  // low 32 bits
        {"{\"id\": 6, \"method\": {}}\r", 3, 6, ""},        // line ended with CR LF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        LogCapture log;
        Storage info;
        ASSERT_TRUE(ZvModuleUniversal::split_client_defined_storage_record(c.record, info))
            << log.all();
        EXPECT_EQ(info.type, c.type);
        EXPECT_EQ(info.id, c.id);
        EXPECT_EQ(info.location, c.location);
        EXPECT_EQ(log.count("Error"), 0);
    }
}

TEST(StorageRecord, InvalidRecordsAreRefusedWithTheirReason) {
    const struct {
        std::string record;
        std::string message;
    } cases[] = {
        {R"({"id": 1.5, "method": {}})", ": id is not a number: "},
        {R"({"id": "1", "method": {}})", ": id is not a number: "},
        {R"({"id": 9223372036854775808, "method": {}})", ": id is not a number: "},
        {R"({"id": 1})", ": storage record format is invalid: {\"id\": 1}"},
        {R"({"method": {}})", ": storage record format is invalid: "},
        {R"({"id": 1, "method": "local-directory"})", ": method is not an object"},
        {R"({"id": 1, "method": {"nfs": "/x"}})",
         ": can't parse client defined storage json string: {\"id\": 1"},
        {"[1]", ": json value is not an object"},
        {"{\"id\": 1, ", ": boost::json: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        LogCapture log;
        Storage info;
        EXPECT_FALSE(ZvModuleUniversal::split_client_defined_storage_record(c.record, info));
        EXPECT_TRUE(
            log.has("static bool ZvModuleUniversal::split_client_defined_storage_record("
                    "const string&, ZvModuleUniversal::ClientDefinedStorageInfo&)" +
                    c.message))
            << log.all();
    }
}

TEST(ClientDefinedArchiveName, Splits) {
    const struct {
        std::string text;
        bool ok;
        int type;
        int id;
        std::string name;
    } cases[] = {
        {"local-directory:12@vm1_full_1.zvfd", true, 1, 12, "vm1_full_1.zvfd"},
        {"default/3@a@b", true, 3, 3, "a@b"},
        {"s3:7xyz@bucket/key", true, 2, 7, "bucket/key"},
        {"local-directory: -4@n", true, 1, -4, "n"},
        {"local-directory:12vm1.zvfd", false, 1, 12, ""},
        {"local-directory:12@", false, 1, 12, ""},
        {"local-directory:", false, 1, 0, ""},
        {"local-directory", false, 1, 0, ""},
        {"local-directory:abc@n", false, 1, 0, ""},
        {"local-directory:99999999999@n", false, 1, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Archive info;
        info.id = 0;
        EXPECT_EQ(ZvModuleUniversal::split_client_defined_archive_name(c.text, info), c.ok);
        EXPECT_EQ(info.type, c.type);
        EXPECT_EQ(info.id, c.id);
        EXPECT_EQ(info.name, c.name);
    }

    Archive untouched;
    untouched.type = 9;
    untouched.id = 9;
    EXPECT_FALSE(ZvModuleUniversal::split_client_defined_archive_name("nfs:1@x", untouched));
    EXPECT_EQ(untouched.type, 9);
    EXPECT_EQ(untouched.id, 9);
}

// A module that supports the storage types it is given.
class StorageModule : public TestModule {
public:
    explicit StorageModule(std::set<int> supported) : supported_(std::move(supported)) {
        options_.supports_autonomous = true;
        options_.operation = ZvModuleOperations::Backup;
        options_.tmp_operation_directory = "/tmp/op";
    }
    bool check_supported_client_defined_storage(int type) override {
        return supported_.count(type) > 0;
    }
    void add(int type, int id, const std::string& location) {
        Storage storage;
        storage.type = type;
        storage.id = id;
        storage.location = location;
        client_defined_storages.push_back(storage);
    }

private:
    std::set<int> supported_;
};

TEST(StorageChoice, EmptyListAndUnsupportedTypes) {
    LogCapture log;
    StorageModule none({});
    EXPECT_TRUE(none.client_defined_storage_prepare());
    EXPECT_TRUE(
        log.has("Warning: bool ZvModuleUniversal::client_defined_storage_prepare()No "
                "client defined storage"));

    // The KVM module's default: every type refused at the first record.
    TestModule kvm_like;
    kvm_like.client_defined_storages.push_back(Storage());
    kvm_like.client_defined_storages.back().type = 3;
    EXPECT_FALSE(kvm_like.client_defined_storage_prepare());
    EXPECT_TRUE(log.has("Info: The module doesn't support client defined storage type: 3"));
    EXPECT_EQ(kvm_like.chosen_storage_type, 0);

    StorageModule s3({2});
    s3.add(2, 4, "{}");
    EXPECT_FALSE(s3.client_defined_storage_prepare());
    EXPECT_TRUE(log.has(": unsupported client defined storage type: 2"));
    EXPECT_EQ(s3.chosen_storage_type, 2) << "the choice stays set after a failure";
    EXPECT_EQ(s3.chosen_storage_id, 4);
}

TEST(StorageChoice, DefaultStorageSwitchesToAutonomous) {
    LogCapture log;
    StorageModule module({3});
    module.add(3, 5, "");
    EXPECT_TRUE(module.client_defined_storage_prepare());
    EXPECT_TRUE(module.options_.autonomous);
    EXPECT_EQ(module.chosen_storage_type, 3);
    EXPECT_EQ(module.chosen_storage_id, 5);
    EXPECT_EQ(module.options_.tmp_operation_directory, "/tmp/op");
    EXPECT_TRUE(log.has("client_defined_storage_prepare() Using module default storage."));
}

TEST(StorageChoice, LocalDirectoryForABackup) {
    LogCapture log;
    ScratchDir scratch;
    const fs::path file = scratch.path() / "file";
    write_file(file, "x");
    StorageModule module({1});
    module.add(1, 1, (scratch.path() / "missing").string());
    module.add(1, 2, file.string());
    module.add(1, 3, scratch.str());
    module.add(1, 4, "/never/reached");
    module.options_.remote_host = "backup.example";
    module.options_.reference_snapshot = "local-directory:3@vm1_full_1.snap";

    ASSERT_TRUE(module.client_defined_storage_prepare()) << log.all();
    EXPECT_EQ(module.chosen_storage_id, 3);
    EXPECT_EQ(module.options_.tmp_operation_directory, scratch.str());
    EXPECT_TRUE(module.options_.autonomous);
    EXPECT_EQ(module.options_.remote_host, "");
    EXPECT_EQ(module.options_.reference_snapshot, "vm1_full_1.snap");
    EXPECT_TRUE(log.has("Error: " + (scratch.path() / "missing").string() + " doen't exist"));
    EXPECT_TRUE(log.has("Error: " + file.string() + " is not a directory"));
    EXPECT_TRUE(log.has("Info: Use client defined storage 'local-directory'@" + scratch.str()));
    EXPECT_TRUE(log.has("Info: Rename reference snapshot to: vm1_full_1.snap"));
}

TEST(StorageChoice, LocalDirectoryForARestoreKeepsTheOperationDirectory) {
    LogCapture log;
    ScratchDir scratch;
    StorageModule module({1});
    module.options_.operation = ZvModuleOperations::Restore;
    module.options_.meta_file = "local-directory:1@vm1_full_1.snap";
    module.add(1, 1, scratch.str());
    ASSERT_TRUE(module.client_defined_storage_prepare());
    EXPECT_EQ(module.options_.tmp_operation_directory, "/tmp/op");
    EXPECT_EQ(module.options_.meta_file, "vm1_full_1.snap");
    EXPECT_TRUE(log.has("Info: Rename snapshot to: vm1_full_1.snap"));
}

TEST(StorageChoice, LocalDirectoryFailures) {
    LogCapture log;
    ScratchDir scratch;
    StorageModule missing({1});
    missing.add(1, 1, (scratch.path() / "a").string());
    missing.add(1, 2, (scratch.path() / "b").string());
    EXPECT_FALSE(missing.client_defined_storage_prepare());
    EXPECT_TRUE(log.has("Error: There is no good client defined storage"));

    StorageModule not_autonomous({1});
    not_autonomous.options_.supports_autonomous = false;
    not_autonomous.add(1, 1, scratch.str());
    EXPECT_FALSE(not_autonomous.client_defined_storage_prepare());
    EXPECT_TRUE(log.has("To use client defined storage the module MUST support autonomous mode"));

    StorageModule other_operation({1});
    other_operation.options_.operation = ZvModuleOperations::CreateReplica;
    other_operation.add(1, 1, scratch.str());
    EXPECT_FALSE(other_operation.client_defined_storage_prepare());
    EXPECT_TRUE(log.has(", line: 960: unsupported operation: 12"));
}

TEST(DeletionRequest, EntriesInDocumentOrder) {
    const struct {
        std::string json;
        std::vector<std::pair<int, std::string>> entries;
        int errors;
    } cases[] = {
        {R"({"x": "local-directory:/srv/b/vm1.zvfd", "y": "s3:bucket/key", "z": ""})",
         {{1, "/srv/b/vm1.zvfd"}, {2, "bucket/key"}},
         0},
        {"{}", {{3, ""}}, 0},
        {R"({"a": "local-directory", "b": "s3:", "c": "nfs:/x", "d": 5})", {{1, ""}, {2, ""}}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        LogCapture log;
        TestModule module;
        std::vector<std::pair<int, std::string>> entries;
        ASSERT_TRUE(module.parse_json_of_client_defined_storage(c.json, entries));
        EXPECT_EQ(entries, c.entries);
        EXPECT_EQ(log.count(": wrong client defined storage type here: "), c.errors) << log.all();
    }
}

TEST(DeletionRequest, RefusedRequests) {
    for (const std::string json : {"[]", "\"text\"", "{", ""}) {
        SCOPED_TRACE(json);
        LogCapture log;
        TestModule module;
        std::vector<std::pair<int, std::string>> entries;
        EXPECT_FALSE(module.parse_json_of_client_defined_storage(json, entries));
        EXPECT_TRUE(entries.empty());
        EXPECT_TRUE(
            log.has("bool ZvModuleUniversal::parse_json_of_client_defined_storage("
                    "const string&, std::vector<std::pair<int, "
                    "std::__cxx11::basic_string<char> > >&): "))
            << log.all();
    }
}

}  // namespace
