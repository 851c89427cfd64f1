// The throwaway Ceph cluster of this test run (scripts/ceph_cluster.sh, started once
// by the CTest fixture "ceph"): its env file read back, and the admin's ceph and rbd.
//
//   TEST(Rbd, X) {
//       const zv_test::CephCluster& ceph = ZV_REQUIRE_CEPH();
//       auto r = ceph.rbd({"create", "rbd/x", "--size", "16M"});
//   }
#pragma once

#include "support/libvirt_env.h"

#include <map>
#include <string>
#include <vector>

namespace zv_test {

class CephCluster {
public:
    // Reads ${ZV_CEPH_ENV:-<build>/ceph-cluster/ceph.env}; false with the reason (and the
    // cluster's set-up log) when the file is missing or incomplete.
    bool load(std::string& reason);

    std::string conf() const { return value("CEPH_CONF"); }
    std::string mon_host() const { return value("CEPH_MON_HOST"); }
    std::string mon_port() const { return value("CEPH_MON_PORT"); }
    std::string keyring_dir() const { return value("CEPH_KEYRING_DIR"); }
    std::string value(const std::string& name) const;

    // ceph / rbd as client.admin (or as `--id user` when given) against this cluster.
    CommandResult ceph(const std::vector<std::string>& args, int timeout_seconds = 120) const;
    CommandResult rbd(const std::vector<std::string>& args, const std::string& user = "",
                      int timeout_seconds = 300) const;

    // Creates (or finds) client.<user> with these capabilities, writes its keyring where
    // the conf's "--id" finds it, and returns its secret key (base64); throws on failure.
    std::string make_user(const std::string& user, const std::vector<std::string>& caps) const;
    // Creates a pool of 8 placement groups for rbd when it does not exist yet; throws on failure.
    void make_rbd_pool(const std::string& pool) const;

private:
    std::map<std::string, std::string> values_;
};

// The cluster of this run, loaded on the first call; nullptr with the reason when it
// cannot be loaded.
const CephCluster* test_cluster(std::string& reason);

}  // namespace zv_test

// Fails the test (never skips it) when the run's cluster is not there: the tests that
// use it are meant to run against a real Ceph on every machine that runs the suite.
#define ZV_REQUIRE_CEPH()                                                          \
    ([]() -> const ::zv_test::CephCluster& {                                       \
        std::string zv_ceph_reason_;                                               \
        const ::zv_test::CephCluster* zv_ceph_ = ::zv_test::test_cluster(zv_ceph_reason_); \
        if (!zv_ceph_) throw std::runtime_error("no Ceph cluster: " + zv_ceph_reason_); \
        return *zv_ceph_;                                                          \
    }())
