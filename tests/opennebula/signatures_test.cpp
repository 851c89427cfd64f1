// Unique image signatures: file digests (checked against OpenSSL), device
// digests through md5sum, LVM uuids through the scripted lvs, and the rbd
// replies that a working cluster never gives through the scripted rbd.
#include "opennebula/opennebula.h"

#include "opennebula/opennebula_standins.h"
#include "support/test_module.h"

#include <gtest/gtest.h>

namespace one = zv_opennebula_common;
namespace fs = boost::filesystem;
using one_test::openssl_md5_hex;
using one_test::write_file;

namespace {

// File digests need no stand-in.
class FileDigestTest : public testing::Test {
protected:
    FileDigestTest() : dir_(fs::temp_directory_path() / fs::unique_path("zv-md5-%%%%-%%%%")) {
        fs::create_directories(dir_);
    }
    ~FileDigestTest() override { fs::remove_all(dir_); }
    fs::path dir_;
    zv_test::LogCapture log;
};

TEST_F(FileDigestTest, WholeFileInPiecesGivesTheStandardDigest) {
    for (std::size_t size : {1u, 4095u, 4096u, 4097u, 3u * 4096u + 17u}) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + 7);
        const fs::path path = dir_ / ("f" + std::to_string(size));
        write_file(path, data);
        std::string digest;
        ASSERT_EQ(one::calc_md5sum(path.string(), digest), 0) << size;
        EXPECT_EQ(digest, openssl_md5_hex(data)) << size;
    }
}

// Every empty image would share one digest, so an empty file has none; nor does a
// caller's earlier digest stand for it.
TEST_F(FileDigestTest, EmptyFileAndMissingFileFail) {
    write_file(dir_ / "image", "");
    for (const std::string& before : {std::string(), openssl_md5_hex("the digest of what the file held before")}) {
        std::string digest = before;
        EXPECT_EQ(one::calc_md5sum((dir_ / "image").string(), digest), 1);
        EXPECT_EQ(digest, "");
    }
    EXPECT_EQ(log.count("int zv_opennebula_common::calc_md5sum(const string&, std::__cxx11::string&)"
                        ": got empty md5sum for the file: " + (dir_ / "image").string()),
              2);

    std::string digest;
    EXPECT_EQ(one::calc_md5sum((dir_ / "missing").string(), digest), 1);
    EXPECT_EQ(log.count("int zv_opennebula_common::calc_md5sum(const string&, std::__cxx11::string&)"
                        ": can't open file: " + (dir_ / "missing").string()),
              1);
}

TEST_F(FileDigestTest, FileImageThroughALinkIsDigestedAtItsTarget) {
    write_file(dir_ / "real", "image data");
    fs::create_symlink(dir_ / "real", dir_ / "link");
    oneimage image;
    image.disk_type = DISK_TYPE_FILE;
    image.source = (dir_ / "link").string();
    ASSERT_TRUE(one::calculate_unique_signature(image, TM_MAD_QCOW2, false));
    EXPECT_EQ(image.source, fs::canonical(dir_ / "real").string());
    EXPECT_EQ(image.unique_signature, openssl_md5_hex("image data"));
    EXPECT_EQ(log.count(": determining unique signature for the image source: " +
                        (dir_ / "link").string()),
              1);
}

TEST_F(FileDigestTest, ImagesWithoutASignatureFormFail) {
    write_file(dir_ / "k", "kernel");
    oneimage kernel;
    kernel.disk_type = DISK_TYPE_BLOCK;
    kernel.type = IMAGE_TYPE_KERNEL;
    kernel.source = (dir_ / "k").string();
    EXPECT_FALSE(one::calculate_unique_signature(kernel, TM_MAD_LVM_LVM, false));
    EXPECT_EQ(log.count(": can't determine unique signature for the image source: " + kernel.source), 1);

    for (int disk_type : {static_cast<int>(DISK_TYPE_RBD_CDROM), DISK_TYPE_NONE}) {
        log.clear();
        oneimage image;
        image.disk_type = disk_type;
        image.source = "one/one-7";
        EXPECT_FALSE(one::calculate_unique_signature(image, TM_MAD_CEPH, false));
        const std::string text = disk_type == DISK_TYPE_NONE ? "" : "RBD_CDROM";
        int found = 0;
        for (const auto& line : log.lines()) {
            const std::string plain = zv_test::strip_colours(line);
            const std::string tail = ": unsupported disk type: " + text;
            const auto at = plain.find(tail);
            // Nothing but the line end follows the disk type's text.
            found += at != std::string::npos &&
                     plain.find_first_not_of(" \n", at + tail.size()) == std::string::npos;
        }
        EXPECT_EQ(found, 1) << disk_type;
    }

    log.clear();
    oneimage missing;
    missing.disk_type = DISK_TYPE_FILE;
    missing.source = (dir_ / "dangling").string();
    fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
    EXPECT_FALSE(one::calculate_unique_signature(missing, TM_MAD_QCOW2, false));
    EXPECT_EQ(log.count("read_file_link"), 1);  // the link's own report
}

class ToolSignatureTest : public one_test::ToolsTest {};

// The argument vector lvs gets for one exact volume.
std::vector<std::string> lvs_call(const std::string& volume) {
    return {"lvs", "--noheadings", "-o", "lv_uuid", "--", volume};
}

TEST_F(ToolSignatureTest, BlockImagesGetUuidOrDeviceDigest) {
    const fs::path device = tools.dir() / "lv-one-5";
    write_file(device, "device blocks");
    const std::string group = tools.dir().filename().string();
    // Two volumes with a common prefix: only the one named is asked about.
    tools.reply(lvs_call(group + "/lv-one-5"), "  AAAAAA-aaaa-bbbb-cccc-dddd-eeee-ffffff\n");
    tools.reply(lvs_call(group + "/lv-one-5-snap"), "  BBBBBB-aaaa-bbbb-cccc-dddd-eeee-ffffff\n");
    oneimage image;
    image.disk_type = DISK_TYPE_BLOCK;
    image.type = IMAGE_TYPE_DATABLOCK;
    image.source = device.string();
    ASSERT_TRUE(one::calculate_unique_signature(image, TM_MAD_LVM_LVM, false)) << log_text();
    EXPECT_EQ(image.unique_signature, "AAAAAA-aaaa-bbbb-cccc-dddd-eeee-ffffff");
    ASSERT_TRUE(one::calculate_unique_signature(image, TM_MAD_LVM_LVM, true));
    EXPECT_EQ(image.unique_signature, openssl_md5_hex("device blocks"));
    ASSERT_TRUE(one::calculate_unique_signature(image, TM_MAD_FS_LVM, false));
    EXPECT_EQ(image.unique_signature, openssl_md5_hex("device blocks"));
}

TEST_F(ToolSignatureTest, LvmUuidOfExactlyTheNamedVolume) {
    struct Case {
        std::string source;
        std::vector<std::string> call;  // empty: lvs is not run
        std::string out;
        int status;
        std::string uuid;  // empty: the call fails
        std::string message;
    };
    const std::string uuid = "Xa9f3k-1b2c-3d4e-5f6g-7h8i-9j0k-LmNoPq";
    const Case cases[] = {
        {"/dev/vg/lv-one-5", lvs_call("vg/lv-one-5"), "  " + uuid + "\n", 0, uuid, ""},
        {"vg/lv-one-5", lvs_call("vg/lv-one-5"), "  " + uuid + "\n", 0, uuid, ""},
        // A name that starts with "-" stays a name.
        {"/dev/vg/-o", lvs_call("vg/-o"), "  " + uuid + "\n", 0, uuid, ""},
        // LVM's warnings on standard error share the output.
        {"/dev/vg/lv-one-6", lvs_call("vg/lv-one-6"),
         "File descriptor 9 (/dev/null) leaked on lvs invocation. Parent PID 1: bash\n  " + uuid + "\n",
         0, uuid, ""},
        {"/dev/vg/lv-none", lvs_call("vg/lv-none"), "  Failed to find logical volume \"vg/lv-none\"\n",
         5, "", ": the following command produced an error: /usr/sbin/lvs --noheadings -o lv_uuid -- 'vg/lv-none'"},
        {"/dev/vg/lv-empty", lvs_call("vg/lv-empty"), "", 0, "", ": got empty uuid for: /dev/vg/lv-empty"},
        {"lv-one-5", {}, "", 0, "", ": got wrong source: lv-one-5"},
        {"/lv-one-5", {}, "", 0, "", ": got wrong source: /lv-one-5"},
        {"/dev/vg/", {}, "", 0, "", ": got wrong source: /dev/vg/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        log.clear();
        if (!c.call.empty()) tools.reply(c.call, c.out, c.status);
        const auto calls = tools.calls().size();
        std::string result = "stale";
        const int status = one::get_image_uuid(c.source, result);
        if (c.uuid.empty()) {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(logged(c.message), 1) << log_text();
        } else {
            EXPECT_EQ(status, 0) << log_text();
            EXPECT_EQ(result, c.uuid);
        }
        if (c.call.empty()) {
            EXPECT_EQ(tools.calls().size(), calls);
        } else {
            ASSERT_EQ(tools.calls().size(), calls + 1);
            EXPECT_EQ(tools.calls().back(), c.call);
        }
    }
}

TEST_F(ToolSignatureTest, DeviceDigestFailuresAndHostilePaths) {
    std::string digest;
    const fs::path odd = tools.dir() / "dev'; touch pwned; '";
    write_file(odd, "odd");
    ASSERT_EQ(one::calc_md5sum_for_block_device(odd.string(), digest), 0) << log_text();
    EXPECT_EQ(digest, openssl_md5_hex("odd"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));

    // A name that starts with "-" is read, not taken for an option.
    const fs::path here = fs::current_path();
    fs::current_path(tools.dir());
    write_file("--version", "dashes");
    const int dashed = one::calc_md5sum_for_block_device("--version", digest);
    fs::current_path(here);
    ASSERT_EQ(dashed, 0) << log_text();
    EXPECT_EQ(digest, openssl_md5_hex("dashes"));

    // md5sum's own failure is reported, and no earlier digest stands in.
    digest = "stale";
    EXPECT_EQ(one::calc_md5sum_for_block_device("/dev/zv-no-such-device", digest), 1);
    EXPECT_EQ(digest, "stale");
    EXPECT_EQ(logged(": the following command produced an error: /usr/bin/md5sum -- "
                     "'/dev/zv-no-such-device'"),
              1)
        << log_text();
    EXPECT_EQ(logged("No such file or directory"), 1);
}

// The ids of real images come from a real cluster (tests/ceph); here only the replies
// that a working rbd never gives.
TEST_F(ToolSignatureTest, CephImageIdFromAnUnusableRbdInfo) {
    std::string id;
    tools.reply({"rbd", "info", "one/one-8", "--id", "libvirt", "--format", "xml"},
                "<image><name>one-8</name></image>");
    EXPECT_EQ(one::get_ceph_image_id("one/one-8", id), 1);
    EXPECT_EQ(logged(": unable to get id of CEPH image \"one-8\" in 'rbd info' command output: "
                     "<image><name>one-8</name></image>"),
              1);
    tools.reply({"rbd", "info", "one/one-9", "--id", "libvirt", "--format", "xml"}, "<pool/>");
    EXPECT_EQ(one::get_ceph_image_id("one/one-9", id), 1);
    EXPECT_EQ(logged(": document of the wrong type, root node != image:"), 1);
    EXPECT_EQ(one::get_ceph_image_id("one/one-10", id), 1);
    EXPECT_EQ(logged("get_ceph_image_id(const string&, std::__cxx11::string&): the following "
                     "command produced an error: rbd info one/'one-10' --id libvirt --format xml"),
              1)
        << log_text();
    EXPECT_EQ(logged("Command output: no reply for: rbd"), 1);
}

}  // namespace
