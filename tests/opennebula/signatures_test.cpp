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

TEST_F(FileDigestTest, EmptyOrMissingFileFails) {
    write_file(dir_ / "empty", "");
    std::string digest;
    EXPECT_EQ(one::calc_md5sum((dir_ / "empty").string(), digest), 1);
    EXPECT_EQ(log.count("int zv_opennebula_common::calc_md5sum(const string&, std::__cxx11::string&)"
                        ": got empty md5sum for the file: " + (dir_ / "empty").string()),
              1);
    EXPECT_EQ(one::calc_md5sum((dir_ / "missing").string(), digest), 1);
    EXPECT_EQ(log.count(": can't open file: " + (dir_ / "missing").string()), 1);
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

TEST_F(ToolSignatureTest, BlockImagesGetUuidOrDeviceDigest) {
    const fs::path device = tools.dir() / "lv-one-5";
    write_file(device, "device blocks");
    tools.reply({"lvs", "--verbose"},
                "  LV VG Attr LSize Maj Min KMaj KMin Pool UUID\n"
                "  lv-one-5 vg -wi-a----- 1.00g -1 -1 253 0 - AAA\n"
                "  lv-one-5-snap vg -wi-a----- 1.00g -1 -1 253 1 - BBB\n");
    oneimage image;
    image.disk_type = DISK_TYPE_BLOCK;
    image.type = IMAGE_TYPE_DATABLOCK;
    image.source = device.string();
    ASSERT_TRUE(one::calculate_unique_signature(image, TM_MAD_LVM_LVM, false)) << log_text();
    EXPECT_EQ(image.unique_signature, "AAABBB");  // every volume holding the name
    ASSERT_TRUE(one::calculate_unique_signature(image, TM_MAD_LVM_LVM, true));
    EXPECT_EQ(image.unique_signature, openssl_md5_hex("device blocks"));
    ASSERT_TRUE(one::calculate_unique_signature(image, TM_MAD_FS_LVM, false));
    EXPECT_EQ(image.unique_signature, openssl_md5_hex("device blocks"));

    std::string uuid;
    EXPECT_EQ(one::get_image_uuid("lv-one-5", uuid), 1);
    EXPECT_EQ(logged(": got wrong source: lv-one-5"), 1);
    EXPECT_EQ(one::get_image_uuid("/dev/vg/lv-none", uuid), 1);
    EXPECT_EQ(logged(": got empty uuid for: /dev/vg/lv-none"), 1);
    // The pipe's status is awk's: a failing lvs shows as an empty uuid.
    tools.reply({"lvs", "--verbose"}, "", 5);
    EXPECT_EQ(one::get_image_uuid("/dev/vg/lv-one-5", uuid), 1);
    EXPECT_EQ(logged(": got empty uuid for: /dev/vg/lv-one-5"), 1) << log_text();
}

TEST_F(ToolSignatureTest, DeviceDigestFailuresAndHostilePaths) {
    std::string digest;
    const fs::path odd = tools.dir() / "dev'; touch pwned; '";
    write_file(odd, "odd");
    ASSERT_EQ(one::calc_md5sum_for_block_device(odd.string(), digest), 0) << log_text();
    EXPECT_EQ(digest, openssl_md5_hex("odd"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));

    // md5sum's complaint is not piped on, so only the empty digest tells.
    EXPECT_EQ(one::calc_md5sum_for_block_device("/dev/zv-no-such-device", digest), 1);
    EXPECT_EQ(logged(": got empty md5sum for: /dev/zv-no-such-device"), 1) << log_text();
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
