// The cluster script guards what it does not own: a directory whose cluster runs, and
// a directory that is not one of its clusters, are refused and left as they were.
#include "support/ceph_cluster.h"
#include "support/scratch_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace fs = boost::filesystem;
using namespace zv_test;

namespace {

CommandResult cluster_script(const std::string& action, const std::string& dir) {
    return run_program({"bash", std::string(ZV_SOURCE_DIR) + "/scripts/ceph_cluster.sh", action, dir}, 120);
}

TEST(CephScript, RefusesARunningClusterAndAForeignDirectory) {
    const CephCluster& ceph = ZV_REQUIRE_CEPH();
    const std::string dir = fs::path(ceph.conf()).parent_path().string();
    const std::string conf_before = read_file(ceph.conf());

    const auto again = cluster_script("start", dir);
    EXPECT_EQ(again.status, 1) << again.describe();
    EXPECT_NE(again.err.find("a cluster is running in " + dir), std::string::npos) << again.describe();
    EXPECT_EQ(read_file(ceph.conf()), conf_before);
    const auto health = ceph.ceph({"health"});
    EXPECT_EQ(health.out, "HEALTH_OK\n") << health.describe();

    ScratchDir foreign;
    write_file(foreign.path() / "ceph.conf", "[global]\nfsid = someone else's\n");
    const auto refused = cluster_script("start", foreign.path().string());
    EXPECT_EQ(refused.status, 1) << refused.describe();
    EXPECT_NE(refused.err.find("holds no cluster of this script"), std::string::npos) << refused.describe();
    EXPECT_EQ(read_file(foreign.path() / "ceph.conf"), "[global]\nfsid = someone else's\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(foreign.path()), fs::directory_iterator()), 1);

    // Stopping a directory without daemons of ours touches nothing that runs.
    const auto stopped = cluster_script("stop", foreign.path().string());
    EXPECT_EQ(stopped.status, 0) << stopped.describe();
    EXPECT_EQ(ceph.ceph({"health"}).out, "HEALTH_OK\n");
}

}  // namespace
