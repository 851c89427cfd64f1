// The VM restore document: what create_vm_xml keeps of a VM's TEMPLATE, and the
// editors and readers of the written file.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_standins.h"
#include "opennebula/xml_shape.h"
#include "support/scratch_dir.h"


namespace one = zv_opennebula_common;
namespace fs = boost::filesystem;

namespace {

using one_test::file_shape;
using one_test::shape;

const char* const vm_show =
    "<VM><ID>42</ID><NAME>web</NAME><TEMPLATE>"
    "<DISK><TYPE>fs</TYPE><SIZE>512</SIZE></DISK>"
    "<DISK><TYPE>CDROM</TYPE><IMAGE_ID>3</IMAGE_ID></DISK>"
    "<DISK><IMAGE_ID>5</IMAGE_ID><SIZE>10240</SIZE></DISK>"
    "<GRAPHICS><LISTEN>0.0.0.0</LISTEN><PORT>5942</PORT><TYPE>VNC</TYPE></GRAPHICS>"
    "<OS><BOOT>disk0,nic0</BOOT><ARCH>x86_64</ARCH></OS>"
    "<OS><BOOT>disk0</BOOT></OS>"
    "<NIC><IP>10.0.0.1</IP><IP>10.0.0.2</IP><IP6_GLOBAL>g</IP6_GLOBAL><IP6_LINK>l</IP6_LINK>"
    "<IP6_ULA>u</IP6_ULA><MAC>02:00</MAC><NETWORK>net</NETWORK><MAC>02:01</MAC></NIC>"
    "<NIC><IP6_LINK>l2</IP6_LINK><NETWORK>net2</NETWORK><IP6>s</IP6><IP6_GLOBAL>g2</IP6_GLOBAL>"
    "<IP6_GLOBAL>g3</IP6_GLOBAL><MODEL>virtio</MODEL></NIC>"
    "<TM_MAD_SYSTEM>ssh</TM_MAD_SYSTEM>"
    "</TEMPLATE><NAME>ignored</NAME></VM>";

class RestoreVmTest : public one_test::ToolsTest {
protected:
    fs::path document() const { return tools.dir() / "vm.xml"; }
};

TEST_F(RestoreVmTest, DocumentKeepsWhatTheVmNeedsAgain) {
    tools.reply({"onevm", "show", "42", "-x"}, vm_show);
    ASSERT_EQ(one::create_vm_xml("42", document().string(), ""), 0) << log_text();
    EXPECT_EQ(file_shape(document()),
              "DISK[TYPE(CDROM) IMAGE_ID(3)] DISK[IMAGE_ID(5) SIZE(10240)] "
              "GRAPHICS[LISTEN(0.0.0.0) TYPE(VNC)] OS[ARCH(x86_64)] OS[BOOT(disk0)] "
              "NIC[NETWORK(net)] NIC[NETWORK(net2) MODEL(virtio)] TM_MAD_SYSTEM(ssh) NAME(web)");
    EXPECT_EQ(logged("Virtual machine ID: 42"), 1);
    EXPECT_EQ(logged("VM will be restored with the name: web"), 1);
    EXPECT_EQ(zv_test::read_file(document()).rfind("<?xml", 0), 0u);

    ASSERT_EQ(one::remove_cdrom_from_VM_xml(document().string()), 0);
    EXPECT_EQ(file_shape(document()).rfind("DISK[IMAGE_ID(5) SIZE(10240)] GRAPHICS", 0), 0u);

    EXPECT_EQ(one::get_vm_tm_mad_type(document().string()), TM_MAD_SSH);
    unsigned int total = 0;
    ASSERT_EQ(one::get_total_vm_disks_size_mb(document().string(), total), 0);
    EXPECT_EQ(total, 10240u);
}

TEST_F(RestoreVmTest, NewNameIsWrittenEscapedAndReadsBack) {
    tools.reply({"onevm", "show", "42", "-x"}, vm_show);
    ASSERT_EQ(one::create_vm_xml("42", document().string(), "a&b<c"), 0) << log_text();
    EXPECT_NE(zv_test::read_file(document()).find("<NAME>a&amp;b&lt;c</NAME>"), std::string::npos);
    std::string name;
    ASSERT_EQ(one::get_VM_name_from_file(document().string(), name), 0);
    EXPECT_EQ(name, "a&b<c");

    // The editor sets the name as it is given, not as XML to be interpreted.
    ASSERT_EQ(one::change_name_in_VM_xml(document().string(), "x&amp;y & z"), 0);
    ASSERT_EQ(one::get_VM_name_from_file(document().string(), name), 0);
    EXPECT_EQ(name, "x&amp;y & z");
}

TEST_F(RestoreVmTest, FailedShowWritesNothing) {
    tools.reply({"onevm", "show", "42", "-x"}, "[one.vm.info] Error getting virtual machine [42].", 255);
    EXPECT_EQ(one::create_vm_xml("42", document().string(), ""), 1);
    EXPECT_FALSE(fs::exists(document()));
    EXPECT_EQ(logged("int zv_opennebula_common::create_vm_xml(const string&, const string&, const "
                     "string&): can't get info for VM: 42"),
              1);
    EXPECT_EQ(logged("Command was: /usr/bin/onevm show '42' -x"), 1);
    EXPECT_EQ(logged("Command output: [one.vm.info] Error getting virtual machine [42]."), 1);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not xml", ": document not parsed successfully"},
        {"<IMAGE/>", ": document of the wrong type, root node != VM: "},
        {"<VM><ID>42</ID></VM>", ": no TEMPLATE in the description of VM: 42"},
    };
    for (const auto& [output, message] : cases) {
        tools.reply({"onevm", "show", "42", "-x"}, output);
        EXPECT_EQ(one::create_vm_xml("42", document().string(), ""), 1) << output;
        EXPECT_EQ(logged(message), 1) << output;
        EXPECT_FALSE(fs::exists(document()));
    }
}

class VmDocumentTest : public testing::Test {
protected:
    VmDocumentTest() : dir(fs::temp_directory_path() / fs::unique_path("zv-one-doc-%%%%-%%%%")) {
        fs::create_directories(dir);
    }
    ~VmDocumentTest() override { fs::remove_all(dir); }
    std::string write(const std::string& text) {
        one_test::write_file(dir / "vm.xml", text);
        return (dir / "vm.xml").string();
    }

    zv_test::LogCapture log;
    fs::path dir;
};

TEST_F(VmDocumentTest, ChangeImageReplacesNamesAndIdsOrLeavesTheFile) {
    const std::string path =
        write("<TEMPLATE><IMAGE>base</IMAGE><DISK><IMAGE>base</IMAGE><IMAGE_ID>7</IMAGE_ID></DISK>"
              "<DISK><IMAGE>other</IMAGE><IMAGE_ID>8</IMAGE_ID></DISK><NAME>a</NAME><NAME>b</NAME></TEMPLATE>");
    ASSERT_EQ(one::change_image_in_VM_xml(path, "base", "base-1", "7", "17"), 0);
    EXPECT_EQ(file_shape(path),
              "IMAGE(base) DISK[IMAGE(base-1) IMAGE_ID(17)] DISK[IMAGE(other) IMAGE_ID(8)] NAME(a) NAME(b)");

    const std::string before = zv_test::read_file(path);
    EXPECT_EQ(one::change_image_in_VM_xml(path, "none", "x", "99", "100"), 1);
    EXPECT_EQ(zv_test::read_file(path), before);
    EXPECT_EQ(log.count(": can't find records to change: " + path), 1);

    // With two NAMEs the first one is the VM's.
    ASSERT_EQ(one::change_name_in_VM_xml(path, "c"), 0);
    std::string name;
    ASSERT_EQ(one::get_VM_name_from_file(path, name), 0);
    EXPECT_EQ(name, "c");
    EXPECT_NE(file_shape(path).find("NAME(c) NAME(b)"), std::string::npos);
}

TEST_F(VmDocumentTest, TotalSizeCountsDisksThatAreRestored) {
    const std::string path = write(
        "<TEMPLATE><DISK><TYPE>FILE</TYPE><SIZE>10240</SIZE></DISK>"
        "<DISK><TYPE>CDROM</TYPE><SIZE>1024</SIZE></DISK><DISK><TYPE>fs</TYPE><SIZE>512</SIZE></DISK>"
        "<DISK><TYPE>RBD_CDROM</TYPE><SIZE>3</SIZE></DISK><DISK><SIZE>4</SIZE></DISK></TEMPLATE>");
    unsigned int total = 99;
    ASSERT_EQ(one::get_total_vm_disks_size_mb(path, total), 0);
    EXPECT_EQ(total, 10247u);

    write("<TEMPLATE><DISK><SIZE>ten</SIZE></DISK></TEMPLATE>");
    EXPECT_THROW(one::get_total_vm_disks_size_mb(path, total), std::invalid_argument);
}

TEST_F(VmDocumentTest, SystemDatastoreDriver) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"<TM_MAD_SYSTEM>ssh</TM_MAD_SYSTEM>", TM_MAD_SSH},
        {"<TM_MAD_SYSTEM>nfs</TM_MAD_SYSTEM>", TM_MAD_NONE},
        {"<TM_MAD_SYSTEM>nfs</TM_MAD_SYSTEM><TM_MAD_SYSTEM>ceph</TM_MAD_SYSTEM>", TM_MAD_CEPH},
        {"<TM_MAD_SYSTEM/><TM_MAD_SYSTEM>ceph</TM_MAD_SYSTEM>", TM_MAD_NONE},
        {"", TM_MAD_NONE},
    };
    for (const auto& [children, expected] : cases) {
        const std::string path = write("<TEMPLATE>" + children + "</TEMPLATE>");
        EXPECT_EQ(one::get_vm_tm_mad_type(path), expected) << children;
    }
    EXPECT_EQ(one::get_vm_tm_mad_type(write("<VM/>")), TM_MAD_NONE);
    EXPECT_EQ(log.count("TM_MAD_TYPE zv_opennebula_common::get_vm_tm_mad_type(const string&): document "
                        "of the wrong type, root node != TEMPLATE "),
              1);
}

TEST_F(VmDocumentTest, ImageIdsAndFailures) {
    std::vector<std::string> ids = {"old"};
    EXPECT_EQ(one::get_VM_image_ID_list_from_xml((dir / "missing.xml").string(), ids), 1);
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(log.count(": document not parsed successfully: " + (dir / "missing.xml").string()), 1);

    const std::string path = write(
        "<TEMPLATE><IMAGE_ID>1</IMAGE_ID><DISK><IMAGE_ID>5</IMAGE_ID></DISK>"
        "<DISK><IMAGE_ID>6</IMAGE_ID><IMAGE_ID>7</IMAGE_ID></DISK></TEMPLATE>");
    ASSERT_EQ(one::get_VM_image_ID_list_from_xml(path, ids), 0);
    EXPECT_EQ(ids, (std::vector<std::string>{"5", "6", "7"}));

    write("<VM/>");
    EXPECT_EQ(one::remove_cdrom_from_VM_xml(path), 1);
    EXPECT_EQ(log.count(": document of the wrong type, root node != TEMPLATE: " + path), 1);
    EXPECT_EQ(zv_test::read_file(path), "<VM/>");
    write("<TEMPLATE/>");
    EXPECT_EQ(one::change_name_in_VM_xml(path, "x"), 1);
    EXPECT_EQ(log.count(": can't change VM name in XML file " + path), 1);
}

TEST_F(RestoreVmTest, ImageListStopsAtTheFirstImageThatCannotBeRead) {
    one_test::write_file(document(), "<TEMPLATE><DISK><IMAGE_ID>5</IMAGE_ID></DISK><DISK><IMAGE_ID>6</IMAGE_ID></DISK></TEMPLATE>");
    tools.reply({"oneimage", "show", "5", "-x"}, "no such image", 255);
    std::vector<oneimage> images(1);
    EXPECT_EQ(one::get_VM_image_list_from_xml(document().string(), images), 1);
    EXPECT_TRUE(images.empty());
    for (const auto& call : tools.calls()) EXPECT_NE(call, (std::vector<std::string>{"oneimage", "show", "6", "-x"}));
}

}  // namespace
