#include "support/ceph_cluster.h"

#include "support/scratch_dir.h"

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace zv_test {

namespace {

std::string env_file() {
    const char* path = std::getenv("ZV_CEPH_ENV");
    if (path && *path) return path;
    return std::string(ZV_BINARY_DIR) + "/ceph-cluster/ceph.env";
}

}  // namespace

bool CephCluster::load(std::string& reason) {
    const std::string path = env_file();
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    for (const char* name : {"CEPH_CONF", "CEPH_MON_HOST", "CEPH_MON_PORT", "CEPH_KEYRING_DIR"}) {
        if (values_.count(name) && !values_[name].empty()) continue;
        const std::string log = std::string(ZV_BINARY_DIR) + "/ceph-cluster/log/setup.log";
        reason = "the cluster's env file " + path + " has no " + name +
                 " (start it with: bash scripts/ceph_cluster.sh start " + ZV_BINARY_DIR +
                 "/ceph-cluster, or run the test through ctest); set-up log:\n" + read_file(log);
        return false;
    }
    return true;
}

std::string CephCluster::value(const std::string& name) const {
    const auto it = values_.find(name);
    return it == values_.end() ? std::string() : it->second;
}

CommandResult CephCluster::ceph(const std::vector<std::string>& args, int timeout_seconds) const {
    std::vector<std::string> argv = {"/usr/bin/ceph", "-c", conf(), "--connect-timeout", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, timeout_seconds);
}

CommandResult CephCluster::rbd(const std::vector<std::string>& args, const std::string& user,
                               int timeout_seconds) const {
    std::vector<std::string> argv = {"/usr/bin/rbd", "-c", conf()};
    if (!user.empty()) argv.insert(argv.end(), {"--id", user});
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, timeout_seconds);
}

std::string CephCluster::make_user(const std::string& user, const std::vector<std::string>& caps) const {
    const std::string keyring = keyring_dir() + "/ceph.client." + user + ".keyring";
    std::vector<std::string> args = {"auth", "get-or-create", "client." + user};
    args.insert(args.end(), caps.begin(), caps.end());
    args.insert(args.end(), {"-o", keyring});
    auto made = ceph(args);
    if (!made.ok()) throw std::runtime_error("cannot make the Ceph user " + user + ": " + made.describe());
    auto key = ceph({"auth", "print-key", "client." + user});
    if (!key.ok() || key.out.empty()) throw std::runtime_error("no key for " + user + ": " + key.describe());
    std::string text = key.out;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

void CephCluster::make_rbd_pool(const std::string& pool) const {
    if (("\n" + ceph({"osd", "pool", "ls"}).out).find("\n" + pool + "\n") != std::string::npos) return;
    auto made = ceph({"osd", "pool", "create", pool, "8", "8"});
    if (!made.ok()) throw std::runtime_error("cannot create the pool " + pool + ": " + made.describe());
    auto tagged = ceph({"osd", "pool", "application", "enable", pool, "rbd"});
    if (!tagged.ok()) throw std::runtime_error("cannot tag the pool " + pool + ": " + tagged.describe());
}

const CephCluster* test_cluster(std::string& reason) {
    static std::mutex lock;
    static CephCluster cluster;
    static bool loaded = false;
    static std::string why;
    std::lock_guard<std::mutex> guard(lock);
    if (!loaded && why.empty()) {
        if (cluster.load(why)) loaded = true;
    }
    reason = why;
    return loaded ? &cluster : nullptr;
}

}  // namespace zv_test
