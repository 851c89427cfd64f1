// The template restore document, template queries and deletion, and the image
// document without its list of using VMs.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_standins.h"
#include "opennebula/xml_shape.h"
#include "support/scratch_dir.h"

#include <fstream>

namespace one = zv_opennebula_common;
namespace fs = boost::filesystem;

namespace {

using one_test::file_shape;
using one_test::shape;

class TemplatesTest : public one_test::ToolsTest {
protected:
    fs::path document() const { return tools.dir() / "template.xml"; }
    std::string write(const std::string& text) {
        std::ofstream(document().string(), std::ios::trunc) << text;
        return document().string();
    }
    void image(const std::string& id, const std::string& name, const std::string& owner = "oneadmin") {
        const std::string xml = "<IMAGE><ID>" + id + "</ID><UNAME>" + owner + "</UNAME><NAME>" + name +
                                "</NAME></IMAGE>";
        tools.reply({"oneimage", "show", id, "-x"}, xml);
        tools.reply({"oneimage", "show", name, "-x"}, xml);
    }
};

const char* const template_show =
    "<VMTEMPLATE><ID>9</ID><UNAME>oneadmin</UNAME><NAME>tpl</NAME><TEMPLATE>"
    "<DISK><DEV_PREFIX>vd</DEV_PREFIX><IMAGE_ID>7</IMAGE_ID><DRIVER>qcow2</DRIVER></DISK>"
    "<DISK><IMAGE>kept</IMAGE><IMAGE_ID>8</IMAGE_ID></DISK>"
    "<DISK><IMAGE_ID>6</IMAGE_ID></DISK>"
    "<CPU>1</CPU></TEMPLATE></VMTEMPLATE>";

TEST_F(TemplatesTest, DocumentNamesImagesByNameAndOwner) {
    tools.reply({"onetemplate", "show", "9", "-x"}, template_show);
    image("7", "base");
    image("6", "data", "alice");  // an image of another user than the template's owner
    ASSERT_EQ(one::create_template_xml("9", document().string(), ""), 0) << log_text();
    EXPECT_EQ(file_shape(document()),
              "DISK[DEV_PREFIX(vd) DRIVER(qcow2) IMAGE(base) IMAGE_UNAME(oneadmin)] "
              "DISK[IMAGE(kept) IMAGE_ID(8)] DISK[IMAGE(data) IMAGE_UNAME(alice)] CPU(1) NAME(tpl)");
    EXPECT_EQ(logged("Change image ID: 7 to image name: base in XML template file"), 1);
    EXPECT_EQ(logged("Add IMAGE_UNAME : oneadmin to XML template file"), 1);
    EXPECT_EQ(logged("Change image ID: 6 to image name: data in XML template file"), 1);
    EXPECT_EQ(logged("Add IMAGE_UNAME : alice to XML template file"), 1);
    EXPECT_EQ(logged("Template will be restored with the name: tpl"), 1);

    ASSERT_EQ(one::create_template_xml("9", document().string(), "copy & more"), 0);
    std::string name;
    ASSERT_EQ(one::get_template_name_from_file(document().string(), name), 0);
    EXPECT_EQ(name, "copy & more");
}

TEST_F(TemplatesTest, DocumentIsNotWrittenWhenAnImageNameIsMissing) {
    tools.reply({"onetemplate", "show", "9", "-x"}, template_show);
    tools.reply({"oneimage", "show", "7", "-x"}, "no image", 255);
    EXPECT_EQ(one::create_template_xml("9", document().string(), ""), 1);
    EXPECT_FALSE(fs::exists(document()));

    // Without the image's owner the document could name another user's image.
    tools.reply({"oneimage", "show", "7", "-x"}, "<IMAGE><ID>7</ID><NAME>base</NAME></IMAGE>");
    EXPECT_EQ(one::create_template_xml("9", document().string(), ""), 1);
    EXPECT_EQ(logged(": can't get the owner of image: 7"), 1);
    EXPECT_FALSE(fs::exists(document()));

    tools.reply({"onetemplate", "show", "9", "-x"}, "denied", 1);
    EXPECT_EQ(one::create_template_xml("9", document().string(), ""), 1);
    EXPECT_EQ(logged("int zv_opennebula_common::create_template_xml(const string&, const string&, "
                     "const string&): command: /usr/bin/onetemplate show '9' -x"),
              1);
    EXPECT_FALSE(fs::exists(document()));
}

TEST_F(TemplatesTest, ImageNamesChangeToTheLastMatchingRecord) {
    const std::string path = write(
        "<TEMPLATE><DISK><IMAGE>base</IMAGE></DISK><DISK><IMAGE>data</IMAGE><X/></DISK><NAME>t</NAME></TEMPLATE>");
    std::vector<oneimage> images(3);
    images[0].name = "base", images[0].new_name = "base-1";
    images[1].name = "data", images[1].new_name = "data&1";
    images[2].name = "base", images[2].new_name = "base-2";
    ASSERT_EQ(one::change_image_name_in_template_xml(path, images), 0) << log_text();
    EXPECT_EQ(file_shape(path), "DISK[IMAGE(base-2)] DISK[IMAGE(data&1) X()] NAME(t)");

    const std::string before = zv_test::read_file(path);
    images.pop_back();
    EXPECT_EQ(one::change_image_name_in_template_xml(path, images), 1);
    EXPECT_EQ(logged(": can't find an image in the archive that corresponds to: base-2"), 1);
    EXPECT_EQ(zv_test::read_file(path), before);

    ASSERT_EQ(one::change_name_in_template_xml(path, "renamed"), 0);
    std::string name;
    ASSERT_EQ(one::get_template_name_from_file(path, name), 0);
    EXPECT_EQ(name, "renamed");
    write("<TEMPLATE/>");
    EXPECT_EQ(one::get_template_name_from_file(path, name), 1);
    EXPECT_EQ(logged(": can't get template name from the file: " + path), 1);
}

TEST_F(TemplatesTest, ImageDocumentLosesItsVms) {
    const std::string path = write(
        "<IMAGE><ID>7</ID><VMS><ID>1</ID></VMS><NAME>base</NAME><VMS/><SIZE>10</SIZE></IMAGE>");
    ASSERT_EQ(one::convert_image_xml(path), 0) << log_text();
    EXPECT_EQ(file_shape(path, "IMAGE"), "ID(7) NAME(base) SIZE(10)");
    write("<TEMPLATE/>");
    EXPECT_EQ(one::convert_image_xml(path), 1);
    EXPECT_EQ(logged(": document of the wrong type, root node != IMAGE: " + path), 1);
}

TEST_F(TemplatesTest, ImageListsComeFromIdsAndFromNames) {
    tools.reply({"onetemplate", "show", "9", "-x"},
                "<VMTEMPLATE><TEMPLATE><DISK><IMAGE>b</IMAGE></DISK><DISK><IMAGE>a</IMAGE></DISK>"
                "</TEMPLATE></VMTEMPLATE>");
    image("11", "a");
    image("12", "b");
    std::vector<std::string> ids;
    ASSERT_EQ(one::get_simple_template_image_list("9", ids), 0) << log_text();
    EXPECT_EQ(ids, (std::vector<std::string>{"12", "11"}));

    // Disks by IMAGE beside disks by IMAGE_ID: every disk counts, in DISK order, and
    // the ids already in the list stay before them.
    tools.reply({"onetemplate", "show", "10", "-x"},
                "<VMTEMPLATE><TEMPLATE><DISK><IMAGE>b</IMAGE></DISK><DISK><IMAGE_ID>5</IMAGE_ID></DISK>"
                "<DISK><IMAGE_ID>6</IMAGE_ID><IMAGE>a</IMAGE></DISK><DISK><TYPE>fs</TYPE></DISK>"
                "<DISK><IMAGE>a</IMAGE></DISK></TEMPLATE></VMTEMPLATE>");
    ids = {"1"};
    ASSERT_EQ(one::get_simple_template_image_list("10", ids), 0) << log_text();
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "12", "5", "6", "11"}));

    tools.reply({"oneimage", "show", "a", "-x"}, "gone", 255);
    ids.clear();
    EXPECT_EQ(one::get_simple_template_image_list("9", ids), 1);
    EXPECT_EQ(logged(": can't get ID of the image 'a'"), 1);

    std::vector<oneimage> images;
    EXPECT_EQ(one::get_template_image_list("11", images), 1);
    EXPECT_EQ(logged(": can't get simple template image list of: 11"), 1);
}

TEST_F(TemplatesTest, TemplateNameExistenceAndDeletion) {
    tools.reply({"onetemplate", "show", "9", "-x"}, "<VMTEMPLATE><ID>9</ID><NAME>tpl</NAME></VMTEMPLATE>");
    std::string name;
    ASSERT_EQ(one::get_template_name("9", name), 0);
    EXPECT_EQ(name, "tpl");

    tools.reply({"onetemplate", "show", "tpl"}, "");
    EXPECT_TRUE(one::does_template_name_exist("tpl"));
    log.clear();
    EXPECT_FALSE(one::does_template_name_exist("nothing; touch pwned"));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(fs::exists("pwned"));

    tools.reply({"onetemplate", "delete", "9", "--recursive"}, "");
    EXPECT_EQ(one::delete_template("9"), 0);
    EXPECT_EQ(logged("Delete template clone: 9"), 1);
    EXPECT_EQ(one::delete_template("10"), 1);
    EXPECT_EQ(logged(": unable to delete template clone: 10"), 1);
    EXPECT_EQ(logged(": command: /usr/bin/onetemplate delete '10' --recursive"), 1);
}

}  // namespace
