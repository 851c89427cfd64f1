// OpenNebula's Ceph image ids read from a real cluster: the fixed pool "one" and user
// "libvirt", as an OpenNebula host has them.
#include "opennebula/opennebula.h"

#include "support/ceph_cluster.h"
#include "support/test_module.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <regex>

namespace one = zv_opennebula_common;
using namespace zv_test;

namespace {

TEST(OpenNebulaCeph, ImageIdIsTheOneRbdKnows) {
    const CephCluster& ceph = ZV_REQUIRE_CEPH();
    ceph.make_rbd_pool("one");
    ceph.make_user("libvirt", {"mon", "profile rbd", "osd", "profile rbd pool=one"});
    setenv("CEPH_CONF", ceph.conf().c_str(), 1);

    const std::string name = "one-" + std::to_string(getpid()) + "-7";
    auto created = ceph.rbd({"create", "one/" + name, "--size", "8M"});
    ASSERT_TRUE(created.ok()) << created.describe();
    auto info = ceph.rbd({"info", "one/" + name, "--format", "json"});
    ASSERT_TRUE(info.ok()) << info.describe();
    std::smatch match;
    ASSERT_TRUE(std::regex_search(info.out, match, std::regex("\"id\":\"([0-9a-f]+)\""))) << info.out;
    const std::string expected = match[1];

    LogCapture log;
    std::string id;
    ASSERT_EQ(one::get_ceph_image_id("one/" + name, id), 0);
    EXPECT_EQ(id, expected);
    id.clear();
    ASSERT_EQ(one::get_ceph_image_id(name, id), 0);  // no "/": the whole source is the name
    EXPECT_EQ(id, expected);

    oneimage image;
    image.disk_type = DISK_TYPE_RBD;
    image.source = "one/" + name;
    ASSERT_TRUE(one::calculate_unique_signature(image, TM_MAD_CEPH, false));
    EXPECT_EQ(image.unique_signature, expected);

    // A missing image: rbd's own complaint is logged after the command line.
    EXPECT_EQ(one::get_ceph_image_id("one/" + name + "-gone", id), 1);
    EXPECT_EQ(log.count("get_ceph_image_id(const string&, std::__cxx11::string&): the following "
                        "command produced an error: rbd info one/'" + name + "-gone' --id libvirt --format xml"),
              1);
    EXPECT_EQ(log.count("No such file or directory"), 1);

    ceph.rbd({"rm", "one/" + name});
    unsetenv("CEPH_CONF");
}

}  // namespace
