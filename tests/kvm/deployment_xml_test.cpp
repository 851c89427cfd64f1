// The restore deployment up to `virsh define`: the saved XML rewritten (a name
// with XML and shell characters kept literally, images mapped by target, uuid
// dropped), domains that cannot be defined directly keeping their restored files,
// and the errors that stop a deployment before it touches anything.
#include "kvm/deployment_test_support.h"
#include "support/test_module.h"

#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

using namespace deploy_test;

namespace {

// Names no domain on the host has: the name probe finds each one free.
std::string unused_domain_name(const std::string& tail) {
    return "zvtest-" + std::to_string(::getpid()) + "-unit-" + tail;
}

class Deployment : public ::testing::Test {
protected:
    Deployment() {
        restore.path = scratch.path() / "restore";
        restore.resource = "web&co's";
        fs::create_directories(restore.path);
    }

    // Two disks whose images share a file name in different directories, both
    // still present, and an empty CD-ROM drive.
    void prepare_two_disks(const std::vector<XmlDisk>& extra = {}) {
        write_file(first, "original a");
        write_file(second, "original b");
        std::vector<XmlDisk> disks = {{"file", "disk", "vda", first.string()},
                                      {"file", "cdrom", "sdc", ""},
                                      {"file", "disk", "vdb", second.string()}};
        disks.insert(disks.end(), extra.begin(), extra.end());
        write_file(restore.xml(),
                   domain_xml(wanted, disks, "7d0e6a52-3d1c-4c55-9a6b-0f0d7b1c1f00"));
        std::vector<std::pair<std::string, std::string>> list = {{"vda", first.string()},
                                                                 {"vdb", second.string()}};
        for (const auto& disk : extra) list.emplace_back(disk.target, disk.source);
        restore.write_target_list(list);
        write_file(restore.image("vda"), "restored a");
        write_file(restore.image("vdb"), "restored b");
        for (const auto& disk : extra) write_file(restore.image(disk.target), "restored other");
    }

    // What the deployment does before it copies anything: reads the target list and
    // rewrites the saved XML.
    void rewrite_xml(DeployModule& module, std::vector<ZvModuleKvm::restored_image>& copies, bool& direct) {
        std::vector<std::pair<std::string, std::string>> targets;
        std::string uuid;
        ASSERT_TRUE(module.analyse_targer_list(restore.path.string(), targets, uuid));
        ASSERT_TRUE(module.rewrite_restored_xml(restore.path.string(), restore.xml().string(), targets,
                                                copies, direct));
    }

    ScratchDir scratch;
    fs::path images = scratch.path() / "images & co's";
    fs::path first = images / "a" / "disk.qcow2";
    fs::path second = images / "b" / "disk.qcow2";
    std::string wanted = unused_domain_name("web&co's <1>");
    RestoreDirectory restore;
    zv_test::LogCapture log;
};

TEST_F(Deployment, RewritesNameAndImagesLiterallyAndMapsImagesByTarget) {
    prepare_two_disks();
    DeployModule module(restore.path);
    std::vector<ZvModuleKvm::restored_image> copies;
    bool direct = false;
    ASSERT_NO_FATAL_FAILURE(rewrite_xml(module, copies, direct));
    EXPECT_TRUE(direct);

    const fs::path first_copy = images / "a" / "disk-0.qcow2";
    const fs::path second_copy = images / "b" / "disk-0.qcow2";
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0].archived, restore.image("vda").string());
    EXPECT_EQ(copies[0].destination, first_copy.string());
    EXPECT_EQ(copies[1].archived, restore.image("vdb").string());
    EXPECT_EQ(copies[1].destination, second_copy.string());

    const DomainXml saved = read_domain_xml(read_file(restore.xml()));
    ASSERT_TRUE(saved.parsed) << read_file(restore.xml());
    EXPECT_EQ(saved.name, wanted);
    EXPECT_FALSE(saved.has_uuid);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"vda", first_copy.string()}, {"sdc", ""}, {"vdb", second_copy.string()}};
    EXPECT_EQ(saved.disk_files, files);
    EXPECT_EQ(log.count("Skip cdrom"), 1);
    EXPECT_EQ(log.count("File exists: " + first.string()), 1);

    // Nothing is moved or copied before the domain is known to be restorable.
    EXPECT_EQ(read_file(restore.image("vda")), "restored a");
    EXPECT_EQ(read_file(first), "original a");
    EXPECT_FALSE(fs::exists(first_copy));
}

TEST_F(Deployment, ImageWhoseOriginalIsGoneKeepsItsPath) {
    write_file(restore.xml(), domain_xml(wanted, {{"file", "disk", "vda", first.string()}}));
    restore.write_target_list({{"vda", first.string()}});
    write_file(restore.image("vda"), "restored a");
    DeployModule module(restore.path);
    std::vector<ZvModuleKvm::restored_image> copies;
    bool direct = false;
    ASSERT_NO_FATAL_FAILURE(rewrite_xml(module, copies, direct));
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].destination, first.string());
    EXPECT_EQ(read_domain_xml(read_file(restore.xml())).disk_files[0].second, first.string());
}

// A domain with a disk that is not a plain file cannot be defined as it was
// saved; the user is sent to the restore directory, so the run's clean-up must
// leave it, whatever the order of the disks.
struct NotDirect {
    const char* label;
    std::vector<XmlDisk> extra;
    bool file_disks = true;
};

class NotDirectlyRestorable : public Deployment, public ::testing::WithParamInterface<NotDirect> {};

TEST_P(NotDirectlyRestorable, FailsAndKeepsTheRestoredFiles) {
    const NotDirect& c = GetParam();
    if (c.file_disks) {
        prepare_two_disks(c.extra);
    } else {
        write_file(restore.xml(), domain_xml(wanted, c.extra));
        restore.write_target_list({});
    }
    DeployModule module(restore.path);
    EXPECT_FALSE(module.deployment(false));
    EXPECT_EQ(log.count("------------>> Direct restore is not supported <<------------"), 1);
    EXPECT_EQ(log.count("------------>> You can find restored archive here: " + restore.path.string()),
              1);
    EXPECT_FALSE(module.remove_tmp_operation_directory);

    module.close_restore();  // what the restore run does after a failed deployment
    EXPECT_TRUE(fs::exists(restore.path / "target_list"));
    EXPECT_TRUE(fs::exists(restore.xml()));
    if (c.file_disks) {
        EXPECT_EQ(read_file(restore.image("vda")), "restored a");
        EXPECT_EQ(read_file(restore.image("vdb")), "restored b");
        EXPECT_FALSE(fs::exists(images / "a" / "disk-0.qcow2"));
    }
    EXPECT_EQ(log.count("Remove temporary operation directory"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Disks, NotDirectlyRestorable,
    ::testing::Values(
        NotDirect{"block_first", {{"block", "disk", "vaa", "/dev/zvtest-none", "raw"}}},
        NotDirect{"lun_last", {{"block", "lun", "sdz", "/dev/zvtest-none", "raw"}}},
        NotDirect{"network", {{"network", "disk", "vdz", "pool/image", "raw"}}},
        NotDirect{"cdrom_only", {{"file", "cdrom", "sdc", ""}}, false}),
    [](const auto& info) { return std::string(info.param.label); });

// Failures that come before anything is decided: nothing was promised to the
// user, the deployment fails and the clean-up is left as it is.
struct Broken {
    const char* label;
    std::function<void(RestoreDirectory&)> damage;
    std::string message;
};

class BrokenRestoreDirectory : public Deployment, public ::testing::WithParamInterface<Broken> {};

TEST_P(BrokenRestoreDirectory, FailsWithItsReason) {
    prepare_two_disks();
    GetParam().damage(restore);
    DeployModule module(restore.path);
    EXPECT_FALSE(module.deployment(false));
    std::string message = GetParam().message;
    const std::string marker = "<D>";
    if (message.find(marker) != std::string::npos)
        message.replace(message.find(marker), marker.size(), restore.path.string());
    EXPECT_EQ(log.count(message), 1) << message;
    EXPECT_TRUE(module.remove_tmp_operation_directory);
    EXPECT_FALSE(fs::exists(images / "a" / "disk-0.qcow2"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenRestoreDirectory,
    ::testing::Values(
        Broken{"no_target_list", [](RestoreDirectory& r) { fs::remove(r.path / "target_list"); },
               ": can't open <D>/target_list"},
        Broken{"image_missing", [](RestoreDirectory& r) { fs::remove(r.image("vdb")); },
               ": File doesn't exist in archive: \"<D>/vdb\""},
        // An image present under a target that the backup did not list is not the
        // disk's image.
        Broken{"target_not_listed",
               [](RestoreDirectory& r) {
                   std::string list = read_file(r.path / "target_list");
                   list = list.substr(0, list.find("vdb"));
                   write_file(r.path / "target_list", list);
               },
               ": File doesn't exist in archive: \"<D>/vdb\""},
        Broken{"not_xml", [](RestoreDirectory& r) { write_file(r.xml(), "no xml here"); },
               ": Document not parsed successfully: <D>/web&co's.xml"},
        Broken{"wrong_root", [](RestoreDirectory& r) { write_file(r.xml(), "<network/>"); },
               ": Document of the wrong type, root node != domain: <D>/web&co's.xml"},
        Broken{"wrong_disk_type",
               [](RestoreDirectory& r) {
                   std::string xml = read_file(r.xml());
                   xml.replace(xml.find("type='file'"), 11, "type='weird'");
                   write_file(r.xml(), xml);
               },
               ": wrong device type in VM xml file: weird"},
        Broken{"no_uuid_line",
               [](RestoreDirectory& r) {
                   std::string list = read_file(r.path / "target_list");
                   write_file(r.path / "target_list", list.substr(list.find('\n') + 1));
               },
               ": Document not parsed successfully: <D>/restored-by-zelvor.xml"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
