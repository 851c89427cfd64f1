// The data model's texts and defaults, and parsing tool output as XML.
#include "opennebula/opennebula.h"

#include "support/test_module.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace one = zv_opennebula_common;

TEST(OpennebulaModel, EnumerationTextsCoverEveryValueAndNothingElse) {
    const std::vector<std::pair<int, std::string>> disk_types = {
        {0, "FILE"},  {1, "CDROM"},         {2, "BLOCK"},    {3, "RBD"},
        {4, "RBD_CDROM"}, {5, "GLUSTER"},   {6, "GLUSTER_CDROM"}, {7, "SHEEPDOG"},
        {8, "SHEEPDOG_CDROM"}, {9, "ISCSI"}, {10, ""},        {255, ""}, {-1, ""}};
    for (const auto& [value, text] : disk_types) {
        auto type = static_cast<opennebula_disk_type>(value);
        EXPECT_EQ(one::disk_type_to_str(type), text) << value;
        EXPECT_EQ(type, value);
    }
    const std::vector<std::pair<int, std::string>> image_types = {
        {0, "OS"}, {1, "CDROM"}, {2, "DATABLOCK"}, {3, "KERNEL"},
        {4, "RAMDISK"}, {5, "CONTEXT"}, {6, ""}, {-1, ""}};
    for (const auto& [value, text] : image_types) {
        auto type = static_cast<opennebula_image_type>(value);
        EXPECT_EQ(one::type_to_str(type), text) << value;
    }
}

TEST(OpennebulaModel, DriverTableGoesBothWays) {
    ASSERT_EQ(one::TM_MAD_TYPE_STR.size(), 10u);
    EXPECT_EQ(one::TM_MAD_TYPE_STR.begin()->first, TM_MAD_NONE);
    const char* texts[] = {"qcow2", "ceph", "fs_lvm", "lvm_lvm", "lvm_thin",
                           "shared", "ssh", "dev", "iscsi"};
    for (int value = 0; value < 9; ++value) {
        EXPECT_EQ(one::tm_mad_to_str(static_cast<TM_MAD_TYPE>(value)), texts[value]);
        EXPECT_EQ(one::tm_mad_from_str(texts[value]), value);
    }
    EXPECT_EQ(one::tm_mad_from_str(""), TM_MAD_NONE);
    EXPECT_EQ(one::tm_mad_from_str("QCOW2"), TM_MAD_NONE);
    EXPECT_EQ(one::tm_mad_from_str("vmfs"), TM_MAD_NONE);
    EXPECT_THROW(one::tm_mad_to_str(static_cast<TM_MAD_TYPE>(9)), std::out_of_range);
}

TEST(OpennebulaModel, NewRecordsHoldTheirDefaults) {
    oneimage image;
    EXPECT_EQ(image.type, IMAGE_TYPE_OS);
    EXPECT_EQ(image.disk_type, 255);
    EXPECT_TRUE(image.id.empty() && image.source.empty() && image.unique_signature.empty());

    opennebula_device_info device;
    EXPECT_EQ(device.type, kvm_disk_type::file);
    EXPECT_EQ(device.device, kvm_device_type::disk);
    EXPECT_FALSE(device.persistent);
    EXPECT_EQ(device.tm_mad, TM_MAD_NONE);
    EXPECT_EQ(device.size, 0u);

    opennebula_vm_state state;
    EXPECT_EQ(state.state, -1);
    EXPECT_EQ(state.lcm_state, -1);

    one::VM_lock lock;  // runs nothing
    EXPECT_FALSE(lock.is_locked());
    EXPECT_FALSE(lock.unlock());
}

class ParseXmlTest : public testing::Test {
protected:
    zv_test::LogCapture log;
};

TEST_F(ParseXmlTest, GivesTheCallerADocumentWithARoot) {
    xmlDoc* doc = nullptr;
    ASSERT_EQ(one::parse_xml_document("<VM><ID>7</ID><NAME/><!-- c --><X>a<![CDATA[b]]></X></VM>", doc), 0);
    ASSERT_NE(doc, nullptr);
    xmlNode* root = xmlDocGetRootElement(doc);
    EXPECT_TRUE(one::has_name(root, "VM"));
    EXPECT_EQ(one::element_text(doc, one::first_child(root, "ID")), "7");
    // An empty element reads as the empty text, which is no number.
    EXPECT_EQ(one::element_text(doc, one::first_child(root, "NAME")), "");
    EXPECT_THROW(std::stoi(one::element_text(doc, one::first_child(root, "NAME"))),
                 std::invalid_argument);
    EXPECT_EQ(one::element_text(doc, one::first_child(root, "X")), "ab");
    // Text and comment nodes never match an element name.
    EXPECT_EQ(one::first_child(root, "text"), nullptr);
    EXPECT_EQ(one::first_child(root, "comment"), nullptr);
    xmlFreeDoc(doc);
    EXPECT_EQ(log.count("parse_xml_document"), 0);
}

TEST_F(ParseXmlTest, RejectsTextThatIsNoDocument) {
    for (const std::string text : {"", "not xml", "<VM><ID>1</VM>"}) {
        log.clear();
        xmlDoc* doc = nullptr;
        EXPECT_EQ(one::parse_xml_document(text, doc), 1) << text;
        EXPECT_EQ(doc, nullptr);
        EXPECT_EQ(log.count("int zv_opennebula_common::parse_xml_document(const string&, xmlDoc*&)"
                            ": XML document not parsed successfully"),
                  1)
            << text;
    }
}
