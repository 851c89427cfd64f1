// Client-defined storages and e-signature verification as the client agent meets
// them: the task secret and the enciphered storage list in the task directory, the
// KVM module's refusal of every storage, the verification's result line with real
// openssl signatures, and what a verification leaves behind (nothing).
#include "support/gost_openssl.h"
#include "support/module_sandbox.h"
#include "support/openssl_signer.h"

#include "support/scratch_dir.h"
#include "zvcrypto/machine_id.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using zv_test::read_file;
using zv_test::write_file;

namespace {

const std::string init_signature = "bool ZvModuleUniversal::init(int, char**)";
const std::string load_signature = "bool ZvModuleUniversal::load_client_defined_storages()";
const std::string secret = "task-secret-of-42";

fs::path tasks(const zv_test::Sandbox& box) { return box.opt() / "var/tasks"; }

// The storage list as the client agent leaves it: Kuznyechik-CTR under the task
// secret padded to 32 bytes, counter from the first two bytes of the program's IV text.
void write_storage_file(const zv_test::Sandbox& box, const std::string& records,
                        const std::string& key_text = secret) {
    std::string key = key_text;
    key.resize(32, '\0');
    const std::string iv = zv_utils_common::server::stored_iv_text().substr(0, 2);
    write_file(tasks(box) / "42.client_defined_storages",
               zv_test::gost_ctr_encrypt(key, iv, records));
}

void write_task_secret(const zv_test::Sandbox& box, const std::string& text = secret + "\n") {
    write_file(tasks(box) / "task_secret_42", text);
}

// A host without libvirt domains: a backup that gets past init stops at once, and
// the host's libvirt is never asked.
void without_libvirt(zv_test::Sandbox& box) {
    box.fake_program("/usr/bin/virsh", "#!/bin/sh\necho 'error: failed to connect' >&2\nexit 1\n");
}

const std::vector<std::string> backup_run = {"-1",         "-b", "vm1",    "-d", "/tmp", "-n",
                                             "vm1_full_1", "-m", "media1", "-T", "42"};

TEST(ClientDefinedStorages, KvmRefusesAStorageListWithOneRecord) {
    ZV_REQUIRE_NAMESPACES();
    const struct {
        std::string record;
        int type;
    } cases[] = {
        {R"({"id": 7, "method": {"local-directory": "/srv/backups"}})", 1},
        {R"({"id": 7, "method": {"s3": {"bucket": "b"}}})", 2},
        {R"({"id": 5, "method": {}})", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        zv_test::Sandbox box;
        without_libvirt(box);
        write_task_secret(box);
        write_storage_file(box, c.record + "\n");
        const auto result = box.run(backup_run);
        EXPECT_EQ(result.status, 14);
        EXPECT_TRUE(
            result.has_log("Info: The module doesn't support client defined storage type: " +
                           std::to_string(c.type)))
            << result.out;
        EXPECT_TRUE(
            result.has_log("Error: " + init_signature +
                           ": can't prepare the module to work with client defined storage"));
        EXPECT_TRUE(result.has_log("Error: Wrong combination of options"));
        EXPECT_FALSE(result.has_log("MODULE PID")) << "nothing runs after a failed init";
    }
}

// Storage lists that leave no storage: the run goes on past init (here into the
// backup, which then stops for its own reasons) and prints "MODULE PID:".
TEST(ClientDefinedStorages, NoUsableRecordLetsTheRunGoOn) {
    ZV_REQUIRE_NAMESPACES();
    const struct {
        std::string name;
        std::string records;
        std::string key;
    } cases[] = {
        {"empty lines only", "\n\n\r\n", secret},
        {"empty file", "", secret},
        {"records after the first zero byte",
         std::string("\n\0", 2) + R"({"id": 1, "method": {}})"
                                  "\n",
         secret},
        {"record that is no JSON", "{id: 1}\n", secret},
        // A wrong key cannot be told from a good one: the records come out as noise.
        {"enciphered under another secret",
         R"({"id": 1, "method": {}})"
         "\n",
         "other secret"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        zv_test::Sandbox box;
        without_libvirt(box);
        write_task_secret(box);
        write_storage_file(box, c.records, c.key);
        const auto result = box.run(backup_run);
        EXPECT_NE(result.status, 14) << result.out;
        EXPECT_FALSE(result.has_log("doesn't support client defined storage")) << result.out;
        EXPECT_NE(result.out.find("MODULE PID:"), std::string::npos) << result.out;
    }
}

TEST(ClientDefinedStorages, TaskFilesDecideWhetherInitGoesOn) {
    ZV_REQUIRE_NAMESPACES();
    {
        SCOPED_TRACE("task secret file missing");
        zv_test::Sandbox box;
        const auto result = box.run(backup_run);
        EXPECT_EQ(result.status, 14);
        EXPECT_TRUE(result.has_log("Error: " + load_signature +
                                   ": task secret file doesn't exist: "
                                   "/opt/zelvor/var/tasks//task_secret_42"));
        EXPECT_TRUE(result.has_log(": Can't load cliend defined storages info"));
    }
    {
        SCOPED_TRACE("empty task secret: the storage file is not read");
        zv_test::Sandbox box;
        without_libvirt(box);
        write_task_secret(box, "\n");
        write_storage_file(box, R"({"id": 5, "method": {}})"
                                "\n");
        const auto result = box.run(backup_run);
        EXPECT_NE(result.status, 14);
        EXPECT_TRUE(result.has_log("Error: " + load_signature + ": task secret is empty"));
    }
    {
        SCOPED_TRACE("storage file too large for its 32-bit size count");
        zv_test::Sandbox box;
        write_task_secret(box);
        const fs::path big = tasks(box) / "42.client_defined_storages";
        write_file(big, "");
        fs::resize_file(big, (std::uintmax_t{1} << 31));  // sparse: takes no space
        const auto result = box.run(backup_run);
        EXPECT_EQ(result.status, 14);
        EXPECT_TRUE(result.has_log("is too large for a storage list (2147483648 bytes"))
            << result.out;
    }
    {
        SCOPED_TRACE("without a task id nothing is loaded");
        zv_test::Sandbox box;
        write_storage_file(box, R"({"id": 5, "method": {}})"
                                "\n");
        const auto result = box.run({"--delete_from_client_defined_storage", "{}"});
        EXPECT_EQ(result.status, 0) << result.out;
    }
}

// A backup kept in a client's local directory, signed with a real key pair, and the
// verification request the client agent sends for it.
class Verification : public ::testing::Test {
protected:
    Verification() : key(box.root() / "keys") {
        box.install_zvfd();
        write_task_secret(box);
        storage = box.root() / "storage";
        archive = storage / "vm1_full_1.zvfd";
        meta = storage / "vm1_full_1.meta";
        write_file(archive, "archive bytes of vm1");
        write_file(meta, "metadata of vm1");
    }

    std::string request(const fs::path& archive_file, const std::string& archive_sign,
                        const std::string& snapshot_sign) const {
        std::string name = archive_file.string();
        std::string escaped;
        for (char c : name) {
            if (c == '"' || c == '\\') escaped += '\\';
            escaped += c;
        }
        return R"({"archive_name": "local-directory:7@)" + escaped + R"(", "archive_sign": ")" +
               archive_sign + R"(", "snapshot_sign": ")" + snapshot_sign + R"(", "other": 1})";
    }

    zv_test::RunResult verify(const std::string& esign, const fs::path& meta_file,
                              const std::string& hash = "sha256") const {
        return box.run({"--verify_in_client_defined_storage", "-T", "42", "-k", key.public_key(),
                        "--sign_hash", hash, "-M", meta_file.string(), "--esign", esign});
    }

    // What the client agent reads: the one result line.
    static std::vector<std::string> results(const zv_test::RunResult& result) {
        std::vector<std::string> lines;
        for (const auto& line : result.protocol_lines())
            if (line.rfind("VERIFICATION RESULT:", 0) == 0) lines.push_back(line);
        return lines;
    }

    void expect_no_signature_files_left() const {
        EXPECT_FALSE(fs::exists(tasks(box) / "task_42.archive.sign"));
        EXPECT_FALSE(fs::exists(tasks(box) / "task_42.snapshot.sign"));
    }

    zv_test::Sandbox box;
    zv_test::SigningKey key;
    fs::path storage, archive, meta;
};

TEST_F(Verification, GoodAndTamperedSignatures) {
    ZV_REQUIRE_NAMESPACES();
    const std::string archive_sign = key.sign_hex(archive);
    const std::string meta_sign = key.sign_hex(meta);

    const auto good = verify(request(archive, archive_sign, meta_sign), meta);
    EXPECT_EQ(good.status, 0) << good.out;
    EXPECT_EQ(results(good), std::vector<std::string>{"VERIFICATION RESULT:Trusted"}) << good.out;
    EXPECT_TRUE(good.has_log("Info: Verification of: '" + archive.string() + "': [ ok ]"));
    EXPECT_TRUE(good.has_log("Info: Verification of: '" + meta.string() + "': [ ok ]"));
    expect_no_signature_files_left();

    {
        SCOPED_TRACE("tampered archive");
        write_file(archive, "archive bytes of vm2");
        const auto result = verify(request(archive, archive_sign, meta_sign), meta);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(results(result), std::vector<std::string>{"VERIFICATION RESULT:Wrong status"});
        EXPECT_TRUE(
            result.has_log("Error: : Verification of: '" + archive.string() + "': [ failed ]"));
        // The second check still runs after the first one failed.
        EXPECT_TRUE(result.has_log("Info: Verification of: '" + meta.string() + "': [ ok ]"));
        expect_no_signature_files_left();
        write_file(archive, "archive bytes of vm1");
    }
    {
        SCOPED_TRACE("tampered metadata file");
        write_file(meta, "metadata of vm2");
        const auto result = verify(request(archive, archive_sign, meta_sign), meta);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(results(result), std::vector<std::string>{"VERIFICATION RESULT:Wrong status"});
        EXPECT_TRUE(result.has_log("Info: Verification of: '" + archive.string() + "': [ ok ]"));
        EXPECT_TRUE(
            result.has_log("Error: : Verification of: '" + meta.string() + "': [ failed ]"));
        write_file(meta, "metadata of vm1");
    }
    {
        SCOPED_TRACE("no snapshot signature: an empty signature file fails");
        const std::string esign = R"({"archive_name": "local-directory:7@)" + archive.string() +
                                  R"(", "archive_sign": ")" + archive_sign + R"("})";
        const auto result = verify(esign, meta);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(results(result), std::vector<std::string>{"VERIFICATION RESULT:Wrong status"});
        expect_no_signature_files_left();
    }
    {
        SCOPED_TRACE("signature over another digest than --sign_hash names");
        const auto result =
            verify(request(archive, archive_sign, key.sign_hex(meta, "sha512")), meta);
        EXPECT_EQ(results(result), std::vector<std::string>{"VERIFICATION RESULT:Wrong status"});
        const auto matching =
            verify(request(archive, archive_sign, key.sign_hex(meta, "sha512")), meta, "SHA512");
        EXPECT_EQ(results(matching), std::vector<std::string>{"VERIFICATION RESULT:Trusted"})
            << matching.out;
    }
}

// The archive name and the hash name come from the client; neither may add shell
// words or commands.
TEST_F(Verification, ValuesFromTheRequestNeverRunAsShellText) {
    ZV_REQUIRE_NAMESPACES();
    const fs::path injected = box.root() / "injected";
    const fs::path odd = storage / ("vm1 'q' $(touch " + injected.string() + "); `x` & y.zvfd");
    write_file(odd, "archive bytes");
    const std::string meta_sign = key.sign_hex(meta);

    const auto result = verify(request(odd, key.sign_hex(odd), meta_sign), meta);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(results(result), std::vector<std::string>{"VERIFICATION RESULT:Trusted"})
        << result.out;
    EXPECT_FALSE(fs::exists(injected));

    const std::vector<std::string> hashes = {"sha256 -out " + (box.root() / "written").string(),
                                             "sha256;touch " + injected.string(),
                                             "sha256' '-engine' 'x", ""};
    for (const auto& hash : hashes) {
        SCOPED_TRACE(hash);
        const auto refused = verify(request(archive, key.sign_hex(archive), meta_sign), meta, hash);
        EXPECT_EQ(refused.status, 0);
        EXPECT_EQ(results(refused), std::vector<std::string>{"VERIFICATION RESULT:Wrong status"});
        EXPECT_TRUE(refused.has_log("unknown signature hash")) << refused.out;
        EXPECT_FALSE(fs::exists(injected));
        EXPECT_FALSE(fs::exists(box.root() / "written"));
        expect_no_signature_files_left();
    }
}

// A snapshot file given with -M is only read: it stays, and the unpacked copy goes
// into a scratch directory of the run, not into "/<stem>.snap_dir" or beside it.
TEST_F(Verification, ReadsTheSnapshotFileAndDeletesNothing) {
    ZV_REQUIRE_NAMESPACES();
    // A stem of this sandbox's own, so that a directory wrongly unpacked at "/" (the
    // host's, the namespace shares it) is found and removed here.
    const std::string stem = box.root().filename().string() + "_full_1";
    const fs::path snap = storage / (stem + ".snap");
    const auto packed =
        box.shell("cd " + storage.string() + " && tar czf " + snap.string() + " vm1_full_1.meta");
    ASSERT_EQ(packed.status, 0) << packed.out << packed.err;
    const std::string snap_before = read_file(snap);
    const fs::path scratch_parent = box.root() / "tmp";
    fs::create_directories(scratch_parent);

    const std::vector<std::string> args = {
        "--verify_in_client_defined_storage",
        "-T",
        "42",
        "-k",
        key.public_key(),
        "--sign_hash",
        "sha256",
        "-M",
        snap.string(),
        "--esign",
        request(archive, key.sign_hex(archive), key.sign_hex(snap))};
    zv_test::RunOptions options;
    options.env["TMPDIR"] = scratch_parent.string();
    const auto result = box.run(args, options);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(results(result), std::vector<std::string>{"VERIFICATION RESULT:Trusted"})
        << result.out;
    EXPECT_EQ(read_file(snap), snap_before);
    const fs::path at_root = "/" + stem + ".snap_dir";
    EXPECT_FALSE(fs::exists(at_root));
    fs::remove_all(at_root);
    EXPECT_TRUE(fs::is_empty(scratch_parent)) << "scratch directory left behind";
    expect_no_signature_files_left();

    const auto broken = box.run({"--verify_in_client_defined_storage", "-T", "42", "-M",
                                 (storage / "vm1_full_1.tar").string(), "--esign", "{}"});
    EXPECT_EQ(broken.status, 2);
    EXPECT_TRUE(broken.has_log("Invalid snapshot file extension"));
}

TEST_F(Verification, RequestsThatCannotBeVerifiedEndWith12) {
    ZV_REQUIRE_NAMESPACES();
    const struct {
        std::string esign;
        std::string message;
    } cases[] = {
        {"not json", ": can't parse json: not json"},
        {"[1, 2]", ": json value is not an object"},
        {"{}", ": json object value is empty"},
        {R"({"archive_name": "s3:7@bucket/vm1_full_1.zvfd"})",
         ": unsupported client defined storage here: s3:7@bucket/vm1_full_1.zvfd"},
        {R"({"archive_name": "default:7@vm1_full_1.zvfd"})",
         ": unsupported client defined storage here: default:7@vm1_full_1.zvfd"},
        {R"({"archive_name": "local-directory:7"})",
         ": unsupported client defined storage here: local-directory:7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.esign);
        const auto result = verify(c.esign, meta);
        EXPECT_EQ(result.status, 12);
        EXPECT_TRUE(result.has_log(c.message)) << result.out;
        EXPECT_TRUE(results(result).empty());
        expect_no_signature_files_left();
    }

    {
        SCOPED_TRACE("task directory missing: the signature file cannot be written");
        fs::remove_all(tasks(box));
        const auto result =
            box.run({"--verify_in_client_defined_storage", "-k", key.public_key(), "--sign_hash",
                     "sha256", "-M", meta.string(), "--esign", request(archive, "00", "00")});
        EXPECT_EQ(result.status, 12);
        EXPECT_TRUE(result.has_log(": can't create: /opt/zelvor/var/tasks/task_.archive.sign"))
            << result.out;
    }
}

TEST(NeedEsign, AnswersWithoutDoingAnything) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    without_libvirt(box);
    // No task secret: loading the storages would fail init, so a 0 shows it was skipped.
    const auto verify = box.run({"--verify_in_client_defined_storage", "-T", "42", "--need_esign",
                                 "--esign", R"({"archive_name": "local-directory:1@/x"})"});
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_TRUE(verify.protocol_lines().empty()) << verify.out;
    EXPECT_FALSE(fs::exists(tasks(box) / "task_42.archive.sign"));

    for (const std::vector<std::string>& args :
         {backup_run,
          std::vector<std::string>{"--delete_from_client_defined_storage", "{}", "-T", "42"}}) {
        std::vector<std::string> with_flag = args;
        with_flag.push_back("--need_esign");
        const auto result = box.run(with_flag);
        EXPECT_EQ(result.status, 14);
        EXPECT_EQ(result.out.find("MODULE PID"), std::string::npos);
        EXPECT_FALSE(result.has_log("Wrong combination of options")) << "init succeeded";
    }
}

TEST(DeletionRequest, DefaultDeletesNothingAndKeepsTheSnapshotFile) {
    ZV_REQUIRE_NAMESPACES();
    zv_test::Sandbox box;
    const std::string stem = box.root().filename().string() + "_full_1";
    const fs::path snap = box.root() / "client" / (stem + ".snap");
    write_file(box.root() / "client" / "vm1_full_1.meta", "meta");
    ASSERT_EQ(box.shell("cd " + snap.parent_path().string() + " && tar czf " + snap.string() +
                        " vm1_full_1.meta")
                  .status,
              0);

    const auto result =
        box.run({"--delete_from_client_defined_storage",
                 R"({"a": "local-directory:/srv/b/vm1.zvfd", "b": "s3:bucket/x", "c": ""})", "-M",
                 snap.string()});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(
        result.has_log("Warning: The module doesn't support deletion from client defined storage"));
    EXPECT_TRUE(result.has_log("Warning: Type: 1 /srv/b/vm1.zvfd"));
    EXPECT_TRUE(result.has_log("Warning: Type: 2 bucket/x"));
    EXPECT_EQ(result.count_log("Warning: Type: "), 2);
    EXPECT_TRUE(fs::exists(snap));
    const fs::path at_root = "/" + stem + ".snap_dir";
    EXPECT_FALSE(fs::exists(at_root));
    fs::remove_all(at_root);

    const auto empty = box.run({"--delete_from_client_defined_storage", "{}"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_TRUE(empty.has_log("Warning: Type: 3 "));

    const auto not_object = box.run({"--delete_from_client_defined_storage", "[]"});
    EXPECT_EQ(not_object.status, 12);
    EXPECT_TRUE(not_object.has_log(": json value is not an object"));
}

}  // namespace
