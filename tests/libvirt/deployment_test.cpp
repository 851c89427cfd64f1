// The restore deployment against the real libvirt: domains defined (never booted)
// from a restore directory laid out as the archiver's restore leaves it, beside an
// original that still exists, then in its place once it is gone; and a definition
// that libvirt refuses, which must leave the restored files where the log says (the
// images moved into place go back).
#include "kvm/deployment_test_support.h"
#include "support/libvirt_env.h"
#include "support/test_module.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

using namespace deploy_test;

namespace {

std::string log_text(const zv_test::LogCapture& log) {
    std::string text;
    for (const auto& line : log.lines()) text += line;
    return text;
}

class LibvirtDeployment : public ::testing::Test {
protected:
    void SetUp() override {
        ZV_REQUIRE_LIBVIRT();
        // Names of the sweeper's form, so a crashed run's leftovers go away too;
        // "&" and "'" make every command line and the XML text prove their quoting.
        name = zv_test::unique_domain_name("deploy&it's");
        scratch = std::make_unique<ScratchDir>(zv_test::scratch_root(),
                                               zv_test::unique_domain_name("deploy"));
        images = scratch->path() / "img & co's";
        system_image = images / "system.qcow2";
        data_image = scratch->path() / "data" / "disk.raw";
    }

    void TearDown() override {
        if (name.empty()) return;
        for (const auto& suffix : {"", "-0", "-1", "-2"}) zv_test::remove_domain(name + suffix);
    }

    void make_qcow2(const fs::path& path) {
        fs::create_directories(path.parent_path());
        const auto r = zv_test::run_program({"/usr/bin/qemu-img", "create", "-q", "-f", "qcow2",
                                             path.string(), "16M"});
        ASSERT_TRUE(r.ok()) << r.describe();
    }

    // A sparse raw image: a little data in 16 MiB, mostly hole.
    static void make_raw(const fs::path& path, const std::string& mark) {
        write_sparse_file(path, 16u << 20,
                          {{0, std::string(4096, 'a') + mark}, {(9u << 20) + 5, mark}});
    }

    std::vector<XmlDisk> disks() const {
        return {{"file", "disk", "vda", system_image.string(), "qcow2"},
                {"file", "disk", "vdb", data_image.string(), "raw"},
                {"file", "cdrom", "sdc", "", "raw"}};
    }

    void define_original() {
        make_qcow2(system_image);
        make_raw(data_image, "original");
        write_file(scratch->path() / "original.xml", domain_xml(name, disks()));
        const auto r = zv_test::virsh({"define", (scratch->path() / "original.xml").string()});
        ASSERT_TRUE(r.ok()) << r.describe();
    }

    std::string dumpxml(const std::string& domain) const {
        const auto r = zv_test::virsh({"dumpxml", domain});
        EXPECT_TRUE(r.ok()) << r.describe();
        return r.out;
    }

    // The restore directory of a backup of the original: its XML as virsh dumped
    // it, the target list and the two images under their targets.
    RestoreDirectory prepare_restore(const std::string& label, const std::string& xml) {
        RestoreDirectory restore{scratch->path() / ("restore-" + label), name};
        fs::create_directories(restore.path);
        write_file(restore.xml(), xml);
        restore.write_target_list({{"vda", system_image.string()}, {"vdb", data_image.string()}});
        make_qcow2(restore.image("vda"));
        make_raw(restore.image("vdb"), "restored " + label);
        return restore;
    }

    // Defines the restore directory's domain and checks what was put in place.
    void deploy_and_check(const RestoreDirectory& restore, const std::string& expected_name,
                          const fs::path& expected_system, const fs::path& expected_data,
                          const std::string& original_uuid) {
        const std::string restored_system = read_file(restore.image("vda"));
        const std::string restored_data = read_file(restore.image("vdb"));
        const auto restored_data_blocks = allocated_blocks(restore.image("vdb"));
        zv_test::LogCapture log;
        DeployModule module(restore.path);
        ASSERT_TRUE(module.deployment(false)) << log_text(log);

        const DomainXml defined = read_domain_xml(dumpxml(expected_name));
        ASSERT_TRUE(defined.parsed);
        EXPECT_EQ(defined.name, expected_name);
        EXPECT_TRUE(defined.has_uuid);
        EXPECT_NE(defined.uuid, original_uuid);
        const std::vector<std::pair<std::string, std::string>> files = {
            {"vda", expected_system.string()}, {"vdb", expected_data.string()}, {"sdc", ""}};
        EXPECT_EQ(defined.disk_files, files);

        EXPECT_TRUE(read_file(expected_system) == restored_system);
        EXPECT_TRUE(read_file(expected_data) == restored_data);
        EXPECT_EQ(fs::file_size(expected_data), 16u << 20);
        EXPECT_LE(allocated_blocks(expected_data), restored_data_blocks);
        EXPECT_LT(allocated_blocks(expected_data) * 512, 1 << 20) << "the copy filled its holes";
        // The restore directory goes after a last restore: its images were moved, not
        // written again.
        EXPECT_FALSE(fs::exists(restore.image("vda")));
        EXPECT_FALSE(fs::exists(restore.image("vdb")));
    }

    std::string name;
    std::unique_ptr<ScratchDir> scratch;
    fs::path images, system_image, data_image;
};

TEST_F(LibvirtDeployment, DefinesBesideTheOriginalThenTakesBackItsPlace) {
    define_original();
    const std::string original_xml = dumpxml(name);
    const std::string original_uuid = read_domain_xml(original_xml).uuid;
    const std::string original_system = read_file(system_image);
    const std::string original_data = read_file(data_image);
    ASSERT_FALSE(original_uuid.empty());

    deploy_and_check(prepare_restore("1", original_xml), name + "-0", images / "system-0.qcow2",
                     data_image.string() + "-0", original_uuid);
    deploy_and_check(prepare_restore("2", original_xml), name + "-1", images / "system-1.qcow2",
                     data_image.string() + "-1", original_uuid);

    EXPECT_EQ(dumpxml(name), original_xml);
    EXPECT_TRUE(read_file(system_image) == original_system);
    EXPECT_TRUE(read_file(data_image) == original_data);

    // Once the original and every copy are gone, a restore puts the domain back
    // under its own name and paths.
    for (const auto& suffix : {"", "-0", "-1"}) zv_test::remove_domain(name + suffix);
    fs::remove_all(images);
    fs::remove_all(data_image.parent_path());
    fs::create_directories(images);
    fs::create_directories(data_image.parent_path());
    deploy_and_check(prepare_restore("3", original_xml), name, system_image, data_image,
                     original_uuid);
}

TEST_F(LibvirtDeployment, RefusedDefinitionKeepsRestoredFilesAndRemovesItsCopies) {
    // libvirt refuses a domain type it does not know, after the images were copied.
    RestoreDirectory restore =
        prepare_restore("refused", domain_xml(name, disks(), "", "zvtest-no-such-type"));
    fs::create_directories(images);
    fs::create_directories(data_image.parent_path());

    zv_test::LogCapture log;
    DeployModule module(restore.path);
    EXPECT_FALSE(module.deployment(false));
    EXPECT_EQ(log.count("Can't define domain from XML file: " + restore.xml().string()), 1)
        << log_text(log);
    EXPECT_EQ(log.count("------------>> You can find restored archive here: " + restore.path.string()),
              1);
    EXPECT_FALSE(zv_test::virsh({"domstate", name}).ok());
    EXPECT_FALSE(fs::exists(system_image));
    EXPECT_FALSE(fs::exists(data_image));

    module.close_restore();
    EXPECT_TRUE(fs::exists(restore.path / "target_list"));
    EXPECT_TRUE(fs::exists(restore.xml()));
    EXPECT_TRUE(fs::exists(restore.image("vda")));
    EXPECT_EQ(fs::file_size(restore.image("vdb")), 16u << 20);
}

}  // namespace
