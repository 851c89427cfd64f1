// Image queries against the scripted oneimage and onedatastore.
#include "opennebula/opennebula.h"

#include "opennebula/opennebula_standins.h"

#include <gtest/gtest.h>

#include <functional>

namespace one = zv_opennebula_common;
using one_test::openssl_md5_hex;
using one_test::write_file;

namespace {

std::string datastore_xml(int type, const std::string& tm_mad) {
    return "<DATASTORE><ID>1</ID><TYPE>" + std::to_string(type) + "</TYPE><TM_MAD>" + tm_mad +
           "</TM_MAD></DATASTORE>";
}

class ImagesTest : public one_test::ToolsTest {
protected:
    // Image 5 in datastore 1 with `body` (elements other than ID and DATASTORE_ID).
    void image(const std::string& id, const std::string& body) {
        tools.reply({"oneimage", "show", id, "-x"},
                    "<IMAGE><ID>" + id + "</ID><DATASTORE_ID>1</DATASTORE_ID>" + body + "</IMAGE>");
    }
    void datastore(int type, const std::string& tm_mad) {
        tools.reply({"onedatastore", "show", "1", "-x"}, datastore_xml(type, tm_mad));
    }
    std::string file(const std::string& name, const std::string& data) {
        const auto path = tools.dir() / name;
        write_file(path, data);
        return path.string();
    }
    // lvs's answer for each volume, a file of the test's folder, which stands for
    // the volume group.
    void lvs(const std::vector<std::pair<std::string, std::string>>& volumes) {
        for (const auto& [volume, uuid] : volumes)
            tools.reply({"lvs", "--noheadings", "-o", "lv_uuid", "--",
                         tools.dir().filename().string() + "/" + volume},
                        "  " + uuid + "\n");
    }
};

TEST_F(ImagesTest, AttributesOfAFileImageCarryItsDigest) {
    const std::string data(5000, 'x');
    const std::string source = file("disk.qcow2", data);
    image("5", "<NAME>web</NAME><TYPE>2</TYPE><PERSISTENT>1</PERSISTENT><SIZE>0x10</SIZE>"
               "<SOURCE>" + source + "</SOURCE>"
               "<TEMPLATE><DEV_PREFIX>vd</DEV_PREFIX><DRIVER>qcow2</DRIVER></TEMPLATE>");
    datastore(2, "qcow2");

    oneimage img;
    ASSERT_EQ(one::get_image_attributes("5", img, false), 0) << log_text();
    EXPECT_EQ(img.id, "5");
    EXPECT_EQ(img.name, "web");
    EXPECT_EQ(img.datastore_id, "1");
    EXPECT_EQ(img.type, IMAGE_TYPE_DATABLOCK);
    EXPECT_EQ(img.disk_type, DISK_TYPE_FILE);  // a file datastore's image
    EXPECT_EQ(img.persistent, "1");
    EXPECT_EQ(img.size, 16u << 20);
    EXPECT_EQ(img.dev_prefix, "vd");
    EXPECT_EQ(img.driver, "qcow2");
    EXPECT_EQ(img.source, source);
    EXPECT_EQ(img.unique_signature, openssl_md5_hex(data));
}

TEST_F(ImagesTest, TypeAfterDiskTypeAndOctalSizeAreReadAsOpenNebulaWritesThem) {
    const std::string source = file("a", "abc");
    image("5", "<DISK_TYPE>0</DISK_TYPE><TYPE>2</TYPE><SIZE>010</SIZE><SOURCE>" + source +
                   "</SOURCE>");
    datastore(1, "shared");  // the explicit DISK_TYPE wins over the datastore
    oneimage img;
    ASSERT_EQ(one::get_image_attributes("5", img, false), 0) << log_text();
    EXPECT_EQ(img.type, IMAGE_TYPE_OS);
    EXPECT_EQ(img.size, 8u << 20);
    EXPECT_EQ(img.unique_signature, openssl_md5_hex("abc"));
}

TEST_F(ImagesTest, DiskTypeDerivedFromAnImageDatastoreFollowsItsDriver) {
    struct Case {
        const char* tm_mad;
        int disk_type;  // -1: refused
        const char* message;
    };
    const Case cases[] = {
        {"qcow2", DISK_TYPE_FILE, ""},
        {"shared", DISK_TYPE_FILE, ""},
        {"ceph", DISK_TYPE_RBD, ""},
        {"lvm_lvm", DISK_TYPE_BLOCK, ""},
        {"fs_lvm", -1, ": unsupported TM_MAD type: fs_lvm"},
        {"iscsi", -1, ": unsupported TM_MAD type: iscsi"},
        {"vmfs", -1, ": wrong datastore TM_MAD"},
    };
    const std::string source = file("lv-one-5", "block data");
    // The Ceph name is the source after its first "/".
    tools.reply({"rbd", "info", "one/" + source.substr(1), "--id", "libvirt", "--format", "xml"},
                "<image><name>lv-one-5</name><id>abc123</id></image>");
    lvs({{"lv-one-5", "UUID-5"}});
    image("5", "<TYPE>0</TYPE><SOURCE>" + source + "</SOURCE>");
    for (const auto& c : cases) {
        log.clear();
        datastore(0, c.tm_mad);
        oneimage img;
        const int result = one::get_image_attributes("5", img, false);
        if (c.disk_type < 0) {
            EXPECT_EQ(result, 1) << c.tm_mad;
            EXPECT_EQ(logged(std::string("get_image_attributes(const string&, oneimage&, bool)") +
                             c.message),
                      1)
                << c.tm_mad << log_text();
            continue;
        }
        ASSERT_EQ(result, 0) << c.tm_mad << log_text();
        EXPECT_EQ(img.disk_type, c.disk_type) << c.tm_mad;
    }
}

TEST_F(ImagesTest, SignatureFormFollowsDriverAndForcedDigest) {
    const std::string source = file("lv-one-5", "block data");
    image("5", "<TYPE>0</TYPE><SOURCE>" + source + "</SOURCE>");
    lvs({{"lv-one-5", "UUID-5"}});
    tools.reply({"rbd", "info", "one/" + source.substr(1), "--id", "libvirt", "--format", "xml"},
                "<image><id>abc123</id></image>");
    struct Case {
        const char* tm_mad;
        bool force;
        std::string expected;
    };
    const Case cases[] = {{"lvm_lvm", false, "UUID-5"},
                          {"lvm_lvm", true, openssl_md5_hex("block data")},
                          {"ceph", false, "abc123"},
                          {"qcow2", false, openssl_md5_hex("block data")}};
    for (const auto& c : cases) {
        datastore(0, c.tm_mad);
        oneimage img;
        ASSERT_EQ(one::get_image_attributes("5", img, c.force), 0) << c.tm_mad << log_text();
        EXPECT_EQ(img.unique_signature, c.expected) << c.tm_mad << " " << c.force;
    }
}

TEST_F(ImagesTest, AttributesFailWhereNoSignatureCanBeHad) {
    const std::string source = file("k", "kernel");
    datastore(1, "shared");
    image("5", "<TYPE>3</TYPE><DISK_TYPE>2</DISK_TYPE><SOURCE>" + source + "</SOURCE>");
    oneimage img;
    EXPECT_EQ(one::get_image_attributes("5", img, false), 1);
    EXPECT_EQ(logged(": can't determine unique signature for the image source: " + source), 1);
    EXPECT_EQ(logged(": can't calculate image unique signature"), 1);

    log.clear();
    image("6", "<TYPE>0</TYPE><SOURCE>x</SOURCE>");
    tools.reply({"onedatastore", "show", "1", "-x"}, datastore_xml(1, "qcow2"));
    oneimage fresh;
    EXPECT_EQ(one::get_image_attributes("6", fresh, false), 1);
    EXPECT_EQ(logged(": unsupported datastore type: \"1\""), 1) << log_text();

    log.clear();
    tools.reply({"oneimage", "show", "7", "-x"}, "[oneimage] Image 7 not found", 255);
    EXPECT_EQ(one::get_image_attributes("7", img, false), 1);
    EXPECT_EQ(logged("get_image_attributes(const string&, oneimage&, bool): command "
                     "/usr/bin/oneimage show '7' -x"),
              1);
    EXPECT_EQ(logged("[oneimage] Image 7 not found"), 1);

    // A SIZE that is no number leaves the function as an exception.
    image("8", "<TYPE>0</TYPE><SIZE></SIZE>");
    EXPECT_THROW(one::get_image_attributes("8", img, false), std::invalid_argument);
}

TEST_F(ImagesTest, ValuesFromOutsideReachTheToolAsOneArgument) {
    const std::string hostile = "5' -x; touch " + (tools.dir() / "pwned").string() + " '";
    std::string name;
    EXPECT_EQ(one::get_image_name(hostile, name), 1);
    EXPECT_FALSE(one::does_image_exist_by_id(hostile));
    one::delete_image(hostile);
    EXPECT_FALSE(boost::filesystem::exists(tools.dir() / "pwned"));
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"oneimage", "show", hostile, "-x"}));
    EXPECT_EQ(calls[1], (std::vector<std::string>{"oneimage", "show", hostile}));
    EXPECT_EQ(calls[2], (std::vector<std::string>{"oneimage", "delete", hostile}));
    EXPECT_EQ(logged("void zv_opennebula_common::delete_image(const string&): unable to delete image: "), 1);
    EXPECT_EQ(logged("Command was: /usr/bin/oneimage delete "), 1);
}

TEST_F(ImagesTest, SimpleQueriesReadTheirElements) {
    image("5", "<NAME>a</NAME><NAME>b</NAME><STATE>1</STATE><SOURCE>/s</SOURCE>");
    std::string text;
    ASSERT_EQ(one::get_image_name("5", text), 0);
    EXPECT_EQ(text, "ab");  // duplicates concatenate
    ASSERT_EQ(one::get_image_id("5", text), 0);
    EXPECT_EQ(text, "5");
    int state = -1;
    ASSERT_EQ(one::get_image_state("5", state), 0);
    EXPECT_EQ(state, 1);
    ASSERT_EQ(one::get_image_source("5", text), 0);
    EXPECT_EQ(text, "/s");
    tools.reply({"oneimage", "show", "5"}, "IMAGE 5");
    EXPECT_TRUE(one::does_image_exist_by_id("5"));

    tools.reply({"oneimage", "show", "6", "-x"}, "<IMAGE><NAME>x</NAME></IMAGE>");
    EXPECT_EQ(one::get_image_id("6", text), 1);
    EXPECT_EQ(logged(": got empty ID for image 6"), 1);
    EXPECT_EQ(one::get_image_state("6", state), 1);
    EXPECT_EQ(logged(": Got empty STATE for image 6"), 1);
    EXPECT_EQ(one::get_image_source("6", text), 1);
    EXPECT_EQ(one::get_image_name("6", text), 0);

    tools.reply({"oneimage", "show", "7", "-x"}, "<VM><ID>7</ID></VM>");
    EXPECT_EQ(one::get_image_name("7", text), 1);
    EXPECT_EQ(logged("get_image_name(const string&, std::__cxx11::string&): document of the "
                     "wrong type, root node != IMAGE"),
              1);
    tools.reply({"oneimage", "show", "8", "-x"}, "garbage");
    EXPECT_EQ(one::get_image_source("8", text), 1);
    EXPECT_EQ(logged("get_image_source(const string&, std::__cxx11::string&): document not "
                     "parsed successfully"),
              1);
}

TEST_F(ImagesTest, PoolListingsAppendInDocumentOrder) {
    tools.reply({"oneimage", "list", "-x"},
                "<IMAGE_POOL><IMAGE><ID>3</ID><NAME>Web</NAME></IMAGE>"
                "<IMAGE><ID>9</ID><NAME>db</NAME></IMAGE></IMAGE_POOL>");
    std::vector<std::string> list = {"kept"};
    ASSERT_EQ(one::get_image_list(list), 0);
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "3", "9"}));
    list.clear();
    ASSERT_EQ(one::get_available_image_names(list), 0);
    EXPECT_EQ(list, (std::vector<std::string>{"Web", "db"}));
    EXPECT_TRUE(one::does_image_name_exist("db"));
    EXPECT_FALSE(one::does_image_name_exist("web"));  // exact names only

    tools.reply({"oneimage", "list", "-x"}, "<IMAGE_POOL/>");
    list.clear();
    ASSERT_EQ(one::get_available_image_names(list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(logged(": got empty list of image names"), 1);

    tools.reply({"oneimage", "list", "-x"}, "oned down", 255);
    EXPECT_EQ(one::get_image_list(list), 1);
    EXPECT_EQ(one::get_available_image_names(list), 1);
    EXPECT_EQ(logged(": command /usr/bin/oneimage list -x produced an error"), 1);
    EXPECT_FALSE(one::does_image_name_exist("db"));
}

TEST_F(ImagesTest, FindBySignatureComparesDigestsOrUuids) {
    const std::string source = file("lv-one-9", "volume nine");
    tools.reply({"oneimage", "list", "-x"},
                "<IMAGE_POOL><IMAGE><ID>3</ID></IMAGE><IMAGE><ID>9</ID></IMAGE></IMAGE_POOL>");
    image("3", "<TYPE>0</TYPE><SOURCE>" + file("lv-one-3", "three") + "</SOURCE>");
    image("9", "<TYPE>0</TYPE><SOURCE>" + source + "</SOURCE>");
    datastore(0, "lvm_lvm");  // image 3 too is a BLOCK image then
    lvs({{"lv-one-3", "UUID-3"}, {"lv-one-9", "UUID-9"}});

    oneimage found;
    // A digest-length signature compares device digests, any other the LVM uuid.
    ASSERT_EQ(one::find_image_by_unique_signature(openssl_md5_hex("volume nine"), found), 0)
        << log_text();
    EXPECT_EQ(found.id, "9");
    EXPECT_EQ(logged(" skip"), 1);
    EXPECT_EQ(logged(" correct image was found"), 1);
    found = {};
    ASSERT_EQ(one::find_image_by_unique_signature("UUID-9", found), 0) << log_text();
    EXPECT_EQ(found.id, "9");

    EXPECT_EQ(one::find_image_by_unique_signature("nothing-like-it", found), one::IMAGE_NOT_FOUND);
}

TEST_F(ImagesTest, FindBySignatureSkipsUnreadableImagesAndSaysWhenItCouldNotCheck) {
    tools.reply({"oneimage", "list", "-x"},
                "<IMAGE_POOL><IMAGE><ID>3</ID></IMAGE><IMAGE><ID>4</ID></IMAGE>"
                "<IMAGE><ID>9</ID></IMAGE></IMAGE_POOL>");
    tools.reply({"oneimage", "show", "3", "-x"}, "[one.image.info] timeout", 255);
    image("4", "<TYPE>not a number</TYPE>");
    image("9", "<TYPE>0</TYPE><SOURCE>" + file("nine", "nine") + "</SOURCE>");
    datastore(2, "qcow2");

    oneimage found;
    ASSERT_EQ(one::find_image_by_unique_signature(openssl_md5_hex("nine"), found), 0) << log_text();
    EXPECT_EQ(found.id, "9");
    EXPECT_EQ(logged("Warning: int zv_opennebula_common::find_image_by_unique_signature(const "
                     "string&, oneimage&): can't get attributes for image: 3, skipped"),
              1)
        << log_text();
    EXPECT_EQ(logged(": can't get attributes for image: 4, skipped"), 1);

    // Without a match the unread images leave the answer open.
    log.clear();
    EXPECT_EQ(one::find_image_by_unique_signature(openssl_md5_hex("other"), found),
              one::IMAGE_NOT_CHECKED);
    EXPECT_EQ(logged(": no image matched, and these images could not be checked: 3 4"), 1)
        << log_text();

    tools.reply({"oneimage", "list", "-x"}, "oned down", 255);
    EXPECT_EQ(one::find_image_by_unique_signature(openssl_md5_hex("nine"), found),
              one::IMAGE_NOT_CHECKED);
    EXPECT_EQ(logged(": can't get list of image IDs"), 1);
}

TEST_F(ImagesTest, ExistenceChecksTheCurrentDataAgainstTheStoredSignature) {
    const std::string source = file("disk", "original");
    image("5", "<TYPE>0</TYPE><SOURCE>" + source + "</SOURCE>");
    datastore(2, "qcow2");
    oneimage img;
    ASSERT_EQ(one::get_image_attributes("5", img, false), 0) << log_text();
    EXPECT_TRUE(one::does_image_exist(img, false)) << log_text();

    write_file(source, "changed");
    EXPECT_FALSE(one::does_image_exist(img, false));
    EXPECT_EQ(logged(": unique signature is wrong, Image ID: 5"), 1);

    log.clear();
    tools.reply({"onedatastore", "show", "1", "-x"}, "no such datastore", 255);
    EXPECT_FALSE(one::does_image_exist(img, false));
    EXPECT_EQ(logged(": wrong datastore TM_MAD"), 1) << log_text();

    log.clear();
    image("5", "<TYPE>0</TYPE>");
    EXPECT_FALSE(one::does_image_exist(img, false));
    EXPECT_EQ(logged(": can't get source of image ID: 5"), 1);
}

// An lvm_lvm image is stored by its uuid, or with force_digest by its device digest.
// Checked without force_digest the driver chooses the form; with it the stored
// signature does (32 characters: a device digest, else an LVM uuid).
TEST_F(ImagesTest, LvmImageIsCheckedInTheFormItsSignatureHas) {
    const std::string source = file("lv-one-5", "blocks");
    image("5", "<TYPE>0</TYPE><SOURCE>" + source + "</SOURCE>");
    lvs({{"lv-one-5", "UUID-5"}});
    datastore(0, "lvm_lvm");
    const struct {
        bool stored_forced, checked_forced;
        one::image_presence expected;
    } cases[] = {
        {false, false, one::image_presence::present},
        {false, true, one::image_presence::present},  // the uuid is no digest
        {true, true, one::image_presence::present},
        {true, false, one::image_presence::absent},  // the driver asks for the uuid
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("stored forced ") + (c.stored_forced ? "yes" : "no") + ", checked forced " +
                     (c.checked_forced ? "yes" : "no"));
        oneimage img;
        ASSERT_EQ(one::get_image_attributes("5", img, c.stored_forced), 0) << log_text();
        EXPECT_EQ(img.unique_signature, c.stored_forced ? openssl_md5_hex("blocks") : "UUID-5");
        EXPECT_EQ(one::check_image_presence(img, c.checked_forced), c.expected) << log_text();
    }
}

TEST_F(ImagesTest, PresenceTellsAGoneImageFromACheckThatFailed) {
    const std::string source = file("disk", "data");
    image("5", "<TYPE>0</TYPE><SOURCE>" + source + "</SOURCE>");
    datastore(2, "qcow2");
    oneimage img;
    ASSERT_EQ(one::get_image_attributes("5", img, false), 0) << log_text();
    const std::string pool = "<IMAGE_POOL><IMAGE><ID>5</ID></IMAGE></IMAGE_POOL>";

    struct Case {
        const char* name;
        std::function<void()> arrange;
        one::image_presence expected;
    };
    const Case cases[] = {
        {"unchanged", [] {}, one::image_presence::present},
        {"data changed", [&] { write_file(source, "other"); }, one::image_presence::absent},
        {"deleted",
         [&] {
             tools.reply({"oneimage", "show", "5", "-x"}, "[one.image.info] Error getting image [5].", 255);
             tools.reply({"oneimage", "list", "-x"}, "<IMAGE_POOL/>");
         },
         one::image_presence::absent},
        {"OpenNebula down",
         [&] {
             tools.reply({"oneimage", "show", "5", "-x"}, "connection refused", 255);
             tools.reply({"oneimage", "list", "-x"}, "connection refused", 255);
         },
         one::image_presence::unchecked},
        {"listed but not shown",
         [&] {
             tools.reply({"oneimage", "show", "5", "-x"}, "timeout", 255);
             tools.reply({"oneimage", "list", "-x"}, pool);
         },
         one::image_presence::unchecked},
        {"datastore not typed",
         [&] { tools.reply({"onedatastore", "show", "1", "-x"}, "<DATASTORE><TM_MAD>qcow2</TM_MAD></DATASTORE>"); },
         one::image_presence::unchecked},
        {"data unreadable", [&] { boost::filesystem::remove(source); }, one::image_presence::unchecked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(source, "data");
        image("5", "<TYPE>0</TYPE><SOURCE>" + source + "</SOURCE>");
        datastore(2, "qcow2");
        c.arrange();
        EXPECT_EQ(one::check_image_presence(img, false), c.expected) << log_text();
        EXPECT_EQ(one::does_image_exist(img, false), c.expected == one::image_presence::present);
    }
}

TEST_F(ImagesTest, ExistenceOfCephImages) {
    const std::string source = file("one-5", "rbd");
    image("5", "<TYPE>0</TYPE><SOURCE>" + source + "</SOURCE>");
    oneimage img;
    img.id = "5";
    img.datastore_id = "1";

    // A Ceph image without a stored signature counts as present when it can be shown.
    datastore(0, "ceph");
    tools.reply({"oneimage", "show", "5"}, "IMAGE 5");
    EXPECT_TRUE(one::does_image_exist(img, false)) << log_text();
    tools.reply({"oneimage", "show", "5"}, "gone", 255);
    EXPECT_FALSE(one::does_image_exist(img, false));

    tools.reply({"rbd", "info", "one/" + source.substr(1), "--id", "libvirt", "--format", "xml"},
                "<image><id>abc123</id></image>");
    img.unique_signature = "abc123";
    EXPECT_TRUE(one::does_image_exist(img, false)) << log_text();

    log.clear();
    tools.reply({"onedatastore", "show", "1", "-x"}, "<DATASTORE><TM_MAD>ceph</TM_MAD></DATASTORE>");
    EXPECT_FALSE(one::does_image_exist(img, false));
    EXPECT_EQ(logged(": unable to determine type of datastore with ID: \"1\""), 1) << log_text();
}

}  // namespace
