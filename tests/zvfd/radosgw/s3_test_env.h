// The radosgw of the test run's throwaway Ceph cluster (support/ceph_cluster.h), for
// the S3 tests: its endpoint and keys, fresh buckets with unique names so that tests
// never see each other's objects, and a spare gateway that a test may stop.
//
//   TEST(S3, X) {
//       ZV_REQUIRE_RADOSGW(gw);
//       const std::string bucket = gw.new_bucket(/*object_lock=*/false);
//   }
#pragma once

#include "support/ceph_cluster.h"
#include "support/hold.h"
#include "zvfd/s3_client.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <map>
#include <random>
#include <string>

namespace zv_test {

struct Radosgw {
    std::map<std::string, std::string> env;  // the cluster's ceph.env
    std::string missing;

    static Radosgw& get() {
        static Radosgw gw = load();
        return gw;
    }

    bool available() const { return missing.empty(); }
    std::string endpoint() const { return env.at("S3_ENDPOINT"); }
    zvfd::S3Keys keys() const { return {env.at("S3_ACCESS_KEY"), env.at("S3_SECRET_KEY")}; }
    zvfd::S3Location location(const std::string& bucket) const {
        return {endpoint(), bucket, env.at("S3_REGION"), true};
    }

    // A short random name made of lower-case letters and digits.
    static std::string unique(const std::string& head) {
        static std::mt19937_64 random(std::random_device{}());
        const char* digits = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::string name = head;
        for (int i = 0; i < 10; ++i) name += digits[random() % 36];
        return name;
    }

    // Creates a bucket, with Object Lock (and so versioning) when asked.
    std::string new_bucket(bool object_lock) const {
        const std::string bucket = unique("zvtest-");
        zvfd::S3Client client(location(bucket), keys());
        zvfd::S3Request request{"PUT", "", {}, {}, {}};
        if (object_lock) request.headers.emplace_back("x-amz-bucket-object-lock-enabled", "true");
        const zvfd::S3Response response = client.perform(request);
        if (response.status != 200)
            ADD_FAILURE() << "cannot create bucket " << bucket << ": " << response.status << " " << response.body;
        return bucket;
    }

    // Total bytes of the objects whose keys begin with the prefix.
    std::uint64_t stored_bytes(const std::string& bucket, const std::string& prefix) const {
        zvfd::S3Client client(location(bucket), keys());
        std::uint64_t total = 0;
        for (const auto& key : client.list_keys(prefix)) total += client.head_object(key).value_or(0);
        return total;
    }

private:
    static Radosgw load() {
        Radosgw gw;
        const CephCluster* cluster = test_cluster(gw.missing);
        if (!cluster) return gw;
        for (const char* name : {"CEPH_CONF", "S3_ENDPOINT", "S3_REGION", "S3_ACCESS_KEY", "S3_SECRET_KEY"}) {
            gw.env[name] = cluster->value(name);
            if (gw.env[name].empty()) gw.missing = std::string("the cluster's environment does not set ") + name;
        }
        return gw;
    }
};

// Brings the governance lock of one version of a key forward to `until`, as if it
// had been set long ago and were about to lapse (the bucket owner may bypass it).
inline void shorten_lock(zvfd::S3Client& client, const std::string& key, const std::string& version_id,
                         std::int64_t until) {
    const std::string body = "<Retention xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Mode>GOVERNANCE</Mode>"
                             "<RetainUntilDate>" + zvfd::s3::iso8601(until) + "</RetainUntilDate></Retention>";
    const zvfd::S3Response response = client.perform(
        {"PUT", key, {{"retention", ""}, {"versionId", version_id}},
         {{"Content-MD5", zvfd::s3::md5_base64(body)}, {"x-amz-bypass-governance-retention", "true"}}, body});
    if (response.status != 200) ADD_FAILURE() << "cannot shorten the lock of " << key << ": " << response.body;
}

// A radosgw of its own on the same cluster, for tests that stop and restart the
// gateway in the middle of a run without disturbing the tests that share the other.
class SpareRadosgw {
public:
    explicit SpareRadosgw(const Radosgw& gw) : conf_(gw.env.at("CEPH_CONF")) {
        char pattern[] = "/tmp/zvtest-rgw-XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("no directory for a spare radosgw");
        dir_ = pattern;
        port_ = free_port();
    }
    ~SpareRadosgw() {
        stop();
        boost::system::error_code ignored;
        boost::filesystem::remove_all(dir_, ignored);
    }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Starts it and waits until it answers; false when it never does.
    bool start() {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string frontends = "beast endpoint=127.0.0.1:" + std::to_string(port_);
            const std::string null = "/dev/null";
            ::freopen(null.c_str(), "w", stdout);
            ::freopen(null.c_str(), "w", stderr);
            ::execlp("radosgw", "radosgw", "-f", "-c", conf_.c_str(), "-n", "client.rgw.gw", "--rgw-frontends",
                     frontends.c_str(), "--admin-socket", (dir_ + "/asok").c_str(), "--log-file",
                     (dir_ + "/log").c_str(), "--pid-file", (dir_ + "/pid").c_str(), (char*)nullptr);
            ::_exit(127);
        }
        return wait_for([this] { return answers(); });
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    static int free_port() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        ::close(fd);
        return ntohs(address.sin_port);
    }
    bool answers() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

    std::string conf_, dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace zv_test

// Fails (never skips) without the run's cluster, as the other Ceph tests do.
#define ZV_REQUIRE_RADOSGW(name)                                          \
    zv_test::Radosgw& name = zv_test::Radosgw::get();                    \
    if (!name.available()) GTEST_FAIL() << "no radosgw: " << name.missing
