// The S3 client's parts that need no server: the canonical query text that request
// signing depends on, digests and dates in the store's formats, answers worth a
// retry, and the checks on the credentials file; and, against a store of a few lines
// that answers before it reads a request's body, that such a connection is not used
// again.
#include "support/scratch_dir.h"
#include "zvfd/s3_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using zvfd::S3Error;
namespace s3 = zvfd::s3;

TEST(S3Request, QueryIsSortedAndEncoded) {
    // libcurl signs the query as given, and the store sorts it: unsorted or
    // unencoded queries fail with SignatureDoesNotMatch.
    EXPECT_EQ(s3::query_text({{"retention", ""}}), "retention=");
    EXPECT_EQ(s3::query_text({{"versions", ""}, {"prefix", "repo/a b"}}), "prefix=repo%2Fa%20b&versions=");
    EXPECT_EQ(s3::query_text({{"list-type", "2"}, {"prefix", "p"}, {"continuation-token", "x+y=/"}}),
              "continuation-token=x%2By%3D%2F&list-type=2&prefix=p");
    EXPECT_EQ(s3::query_text({}), "");
}

TEST(S3Request, KeysKeepSlashesOnly) {
    EXPECT_EQ(s3::uri_encode("repo/packs/ab_c-1.x~", true), "repo/packs/ab_c-1.x~");
    EXPECT_EQ(s3::uri_encode("a/b c*", false), "a%2Fb%20c%2A");
    EXPECT_EQ(s3::uri_encode("\xff", true), "%FF");
}

TEST(S3Request, DigestsMatchPublishedVectors) {
    EXPECT_EQ(s3::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(s3::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(s3::md5_base64(""), "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(s3::md5_base64("abc"), "kAFQmDzST7DWlj99KOF/cg==");
    // A lock's Content-MD5 taken from the hex digest a put compares with the ETag.
    EXPECT_EQ(s3::md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(s3::md5_base64_of_hex("900150983cd24fb0d6963f7d28e17f72"), "kAFQmDzST7DWlj99KOF/cg==");
    EXPECT_EQ(s3::md5_base64_of_hex("D41D8CD98F00B204E9800998ECF8427E"), "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_THROW(s3::md5_base64_of_hex("900150983cd24fb0"), zvfd::S3Error);
    EXPECT_THROW(s3::md5_base64_of_hex("g00150983cd24fb0d6963f7d28e17f72"), zvfd::S3Error);
}

TEST(S3Request, RetentionDates) {
    EXPECT_EQ(s3::iso8601(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(s3::iso8601(1797006455), "2026-12-11T16:27:35Z");
    EXPECT_EQ(s3::parse_iso8601("2026-12-11T16:27:35Z"), 1797006455);
    EXPECT_EQ(s3::parse_iso8601("2026-12-11T16:27:35.123Z"), 1797006455);
    EXPECT_FALSE(s3::parse_iso8601("2026-12-11T16:27:35"));
    EXPECT_FALSE(s3::parse_iso8601("2026-12-11T16:27:35+01:00"));
    EXPECT_FALSE(s3::parse_iso8601("tomorrow"));
}

TEST(S3Request, WhatIsRetried) {
    struct Case {
        long status;
        const char* code;
        bool retried;
    } cases[] = {
        {500, "InternalError", true}, {502, "", true},       {503, "SlowDown", true}, {504, "", true},
        {429, "", true},              {400, "RequestTimeout", true},                   {403, "AccessDenied", false},
        {403, "SignatureDoesNotMatch", false},              {404, "NoSuchBucket", false},
        {412, "PreconditionFailed", false},                 {400, "InvalidRequest", false},
    };
    for (const Case& c : cases) EXPECT_EQ(s3::retryable_status(c.status, c.code), c.retried) << c.status << " " << c.code;
}

TEST(S3Request, ErrorDocumentFields) {
    zvfd::S3Response response;
    response.body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>NoSuchBucket</Code>"
        "<Message>it &amp; is gone</Message><BucketName>b</BucketName></Error>";
    EXPECT_EQ(response.error_code(), "NoSuchBucket");
    EXPECT_EQ(response.error_message(), "it & is gone");
    response.body = "not xml";
    EXPECT_EQ(response.error_code(), "");
    EXPECT_EQ(s3::xml_texts("<a><Key>x</Key><b><Key>y</Key></b><Key>z</Key></a>", "Key"),
              (std::vector<std::string>{"x", "y", "z"}));
}

TEST(S3Client, RefusesMalformedLocations) {
    const char* endpoints[] = {"127.0.0.1:7480", "ftp://host", "http://", "http://host/path"};
    for (const char* endpoint : endpoints)
        EXPECT_THROW(zvfd::S3Client({endpoint, "bucket", "default", true}, {"a", "b"}), S3Error) << endpoint;
    EXPECT_THROW(zvfd::S3Client({"http://h:1", "", "default", true}, {"a", "b"}), S3Error);
    EXPECT_THROW(zvfd::S3Client({"http://h:1", "a/b", "default", true}, {"a", "b"}), S3Error);
    EXPECT_THROW(zvfd::S3Client({"http://h:1", "b", "", true}, {"a", "b"}), S3Error);
    zvfd::S3Client client({"http://h:1/", "b", "default", true}, {"a", "b"});
    EXPECT_EQ(client.describe("PUT", "r/k"), "PUT http://h:1/b/r/k");
    zvfd::S3Client hosted({"https://s3.example.org", "b", "eu", false}, {"a", "b"});
    EXPECT_EQ(hosted.describe("GET", "k"), "GET https://b.s3.example.org/k");
}

// A store that refuses the first PUT as soon as its body has arrived, without reading
// that body, and keeps the connection, as radosgw may do with an error; every other
// request it reads whole and answers 200. A request that does not start with a method
// (the leftover body of the refused one in front of it) gets 405 MethodNotAllowed.
class EarlyAnsweringStore {
public:
    EarlyAnsweringStore() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0)
            throw std::runtime_error("the fake store cannot listen");
        socklen_t size = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~EarlyAnsweringStore() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
    unsigned connections() const { return connections_; }

private:
    // Waits (for a minute at most) until `fd` holds at least `count` unread bytes.
    static bool bytes_waiting(int fd, std::size_t count) {
        std::string buffer(count, '\0');
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) < 0) return false;
            const ssize_t got = ::recv(fd, buffer.data(), count, MSG_PEEK | MSG_DONTWAIT);
            if (got == 0) return false;
            if (got >= static_cast<ssize_t>(count)) return true;
        }
        return false;
    }
    // One request's head (through the blank line), read byte by byte so that nothing
    // after it is taken; empty once the peer has gone.
    static std::string read_head(int fd) {
        std::string head;
        char c;
        while (head.size() < 65536 && ::recv(fd, &c, 1, 0) == 1) {
            head += c;
            if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) return head;
        }
        return {};
    }
    static void answer(int fd, const std::string& status, const std::string& body) {
        const std::string text = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\nETag: \"0\"\r\n\r\n" + body;
        (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
    void serve() {
        bool refused = false;
        while (!stopping_) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            ++connections_;
            for (std::string head; !(head = read_head(fd)).empty();) {
                std::size_t length = 0;
                const auto at = head.find("Content-Length: ");
                if (at != std::string::npos) length = std::stoul(head.substr(at + 16));
                if (head.rfind("PUT ", 0) == 0 && !refused) {
                    refused = true;
                    if (length > 0 && !bytes_waiting(fd, length)) break;
                    answer(fd, "400 Bad Request", "<Error><Code>InvalidArgument</Code></Error>");
                    continue;  // the body stays in the connection
                }
                if (!std::isupper(static_cast<unsigned char>(head[0])) || head.find(' ') > 7) {
                    answer(fd, "405 Method Not Allowed", "<Error><Code>MethodNotAllowed</Code></Error>");
                    break;
                }
                std::string body(length, '\0');
                if (length > 0 && ::recv(fd, body.data(), length, MSG_WAITALL) != static_cast<ssize_t>(length)) break;
                answer(fd, "200 OK", "");
            }
            ::close(fd);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned> connections_{0};
    std::thread thread_;
};

TEST(S3Client, ConnectionOfARequestAnsweredBeforeItsBodyIsNotUsedAgain) {
    EarlyAnsweringStore store;
    zvfd::S3Client client({store.endpoint(), "bucket", "default", true}, {"access", "secret"});
    EXPECT_THROW(client.put_object("r/refused", std::string(100, 'x'), nullptr), S3Error);
    // On the refused request's connection this would be read behind its body.
    EXPECT_TRUE(client.put_object("r/next", "y", nullptr));
    EXPECT_EQ(store.connections(), 2u);
}

class S3Credentials : public zv_test::ScratchDirTest {
protected:
    std::string file(const std::string& text, mode_t mode = 0600, uid_t owner = 0) {
        const std::string path = write("keys", text);
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        EXPECT_EQ(::chown(path.c_str(), owner, 0), 0);
        return path;
    }
    // The message of the refusal, which must never repeat the secret.
    std::string refusal(const std::string& path) {
        try {
            zvfd::read_s3_credentials(path);
        } catch (const S3Error& e) {
            EXPECT_EQ(std::string(e.what()).find("S3CRET"), std::string::npos) << e.what();
            return e.what();
        }
        ADD_FAILURE() << "accepted " << path;
        return {};
    }
};

TEST_F(S3Credentials, ReadsBothKeys) {
    // Read-only for root is as safe as read-write for root.
    for (const mode_t mode : {0600, 0400}) {
        const auto keys = zvfd::read_s3_credentials(
            file("# keys of media server one\n\naccess_key_id AK1\nsecret_access_key  S3CRET/x+y==\n", mode));
        EXPECT_EQ(keys.access_key, "AK1") << mode;
        EXPECT_EQ(keys.secret_key, "S3CRET/x+y==") << mode;
    }
}

TEST_F(S3Credentials, RefusesUnsafeOrMalformedFiles) {
    ASSERT_EQ(::geteuid(), 0u) << "ownership checks need root";
    const std::string good = "access_key_id AK1\nsecret_access_key S3CRET\n";
    EXPECT_NE(refusal(file(good, 0644)).find("must have mode 0600 or 0400 (it has 0644)"), std::string::npos);
    EXPECT_NE(refusal(file(good, 0440)).find("(it has 0440)"), std::string::npos);
    EXPECT_NE(refusal(file(good, 0600, 65534)).find("must be owned by root"), std::string::npos);
    EXPECT_NE(refusal(file("access_key_id AK1\n")).find("must set access_key_id and secret_access_key"),
              std::string::npos);
    EXPECT_NE(refusal(file("access_key_id AK1\nS3CRET\n")).find("line 2 of"), std::string::npos);
    EXPECT_NE(refusal(file("access_key_id AK1\nsecret_access_key S3CRET extra\n")).find("line 2"),
              std::string::npos);
    EXPECT_NE(refusal((dir_ / "absent").string()).find("cannot open"), std::string::npos);
    EXPECT_NE(refusal(dir_.string()).find("not a regular file"), std::string::npos);
}

}  // namespace
