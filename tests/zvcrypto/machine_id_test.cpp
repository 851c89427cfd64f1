#include "zvcrypto/machine_id.h"

#include "zvcrypto/zv_hash.h"

#include "openssl_reference.h"
#include "support/gost_openssl.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

namespace server = zv_utils_common::server;
using zvtest::bytes;
using zvtest::hex;

namespace {

bytes to_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// The identifier as OpenSSL computes it for a given node name, machine-id line
// and system name.
std::string expected_id(const std::string& node, const std::string& machine_id_line) {
    struct utsname names {};
    uname(&names);
    const std::string text = node + machine_id_line + names.sysname;
    return hex(zvtest::openssl_hmac(EVP_sha256(), to_bytes(zelvor::hash::sha::stored_key_text()),
                                    reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

std::string node_name() {
    struct utsname names {};
    uname(&names);
    return names.nodename;
}

std::string first_line_of(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Runs `body` in a child with its own host name and its own /etc (a tmpfs,
// holding a machine-id with `machine_id` when given), and returns what it returned.
// The host's /etc and name are untouched.
std::string on_other_host(const std::string& hostname, const std::optional<std::string>& machine_id,
                          const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string result;
        if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/etc", "tmpfs", 0, nullptr) != 0 ||
            sethostname(hostname.data(), hostname.size()) != 0) {
            result = "namespace set-up failed";
        } else {
            if (machine_id) {
                std::ofstream(("/etc/machine-id")) << *machine_id;
            }
            result = body();
        }
        if (write(fds[1], result.data(), result.size()) < 0) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) > 0;) result.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return result;
}

#define SKIP_UNLESS_ROOT() \
    if (geteuid() != 0) GTEST_SKIP() << "needs root for private mount and UTS namespaces"

TEST(HardwareId, IsTheKeyedDigestOfNodeMachineIdAndSystemName) {
    const std::string id = server::hardware_id();
    ASSERT_EQ(id.size(), 64u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(id, expected_id(node_name(), first_line_of("/etc/machine-id")));
}

TEST(HardwareId, FollowsTheHostsNamesAndMachineIdFirstLineOnly) {
    SKIP_UNLESS_ROOT();
    struct example {
        const char* node;
        std::optional<std::string> machine_id;
        const char* line_used;
    };
    const example examples[] = {
        {"zv-node-a", std::string("0123456789abcdef0123456789abcdef\n"), "0123456789abcdef0123456789abcdef"},
        {"zv-node-a", std::string("0123456789abcdef0123456789abcdef"), "0123456789abcdef0123456789abcdef"},
        {"zv-node-a", std::string("first\nsecond\n"), "first"},
        {"zv-node-b", std::string("first\n"), "first"},
        {"zv-node-a", std::nullopt, ""},
    };
    for (const auto& e : examples) {
        const std::string id = on_other_host(e.node, e.machine_id, [] { return server::hardware_id(); });
        EXPECT_EQ(id, expected_id(e.node, e.line_used)) << e.node << " with " << e.machine_id.value_or("no file");
    }
    EXPECT_NE(on_other_host("zv-node-a", std::string("first"), [] { return server::hardware_id(); }),
              on_other_host("zv-node-b", std::string("first"), [] { return server::hardware_id(); }));
}

// Literal results on a host of known names: the client agent and stored files
// depend on the key text, the IV text and the cipher, which the other tests only
// check against each other.
TEST(StringEncryption, LiteralResultOnAKnownHost) {
    SKIP_UNLESS_ROOT();
    const std::string machine_id = "0123456789abcdef0123456789abcdef\n";
    EXPECT_EQ(on_other_host("zv-node-a", machine_id, [] { return server::hardware_id(); }),
              "34e714e169389742d5658f5cdd32c4ad98c1cc43cef3c66913f908f25196245e");
    EXPECT_EQ(on_other_host("zv-node-a", machine_id,
                            [] {
                                std::string text = "secret";
                                server::encrypt_string(text);
                                return text;
                            }),
              "a2bbc4690c3f31b23c33ac9c56b55512");
}

TEST(StringEncryption, LengthGrowsToTheNextWholeBlock) {
    const std::pair<std::size_t, std::size_t> examples[] = {{0, 32}, {1, 32}, {15, 32}, {16, 64}, {17, 64}, {32, 96}};
    for (const auto& [length, hex_length] : examples) {
        std::string text(length, 'x');
        server::encrypt_string(text);
        EXPECT_EQ(text.size(), hex_length) << "length " << length;
        EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
}

TEST(StringEncryption, IsKuznyechikCtrUnderTheHostKeyAsTheGostEngineComputesIt) {
    const std::string plain = "backup storage password: hunter2";  // 32 bytes: a whole padding block follows
    std::string text = plain;
    server::encrypt_string(text);
    std::string padded = plain;
    padded.append(16, '\0');
    const std::string expected = zv_test::gost_ctr_encrypt(server::hardware_id().substr(0, 32),
                                                           server::stored_iv_text().substr(0, 2), padded);
    EXPECT_EQ(text, hex(to_bytes(expected)));
    EXPECT_EQ(server::stored_iv_text().size(), 15u);
}

TEST(StringEncryption, DecryptRestoresTheText) {
    const std::string examples[] = {"", "a", "fifteen bytes..", "sixteen bytes...", "seventeen bytes..",
                                    std::string(1000, 'z'), std::string("\xff\x01 binary\x7f")};
    for (const std::string& plain : examples) {
        std::string text = plain;
        server::encrypt_string(text);
        std::string again = plain;
        server::encrypt_string(again);
        EXPECT_EQ(text, again) << "same text, same host, same result";
        server::decrypt_string(text);
        EXPECT_EQ(text, plain);
    }
}

TEST(StringEncryption, DecryptReadsItsInputLeniently) {
    std::string text = "case and NUL";
    server::encrypt_string(text);
    const std::string lower = text;

    std::string upper = lower;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    server::decrypt_string(upper);
    EXPECT_EQ(upper, "case and NUL");

    std::string odd = lower + "7";
    server::decrypt_string(odd);
    EXPECT_EQ(odd, "case and NUL");

    std::string with_nul = std::string("before") + '\0' + "after";
    server::encrypt_string(with_nul);
    server::decrypt_string(with_nul);
    EXPECT_EQ(with_nul, "before");
}

TEST(StringEncryption, AnotherHostCannotDecipher) {
    SKIP_UNLESS_ROOT();
    const std::string enciphered = on_other_host("zv-node-a", std::string("one machine\n"), [] {
        std::string t = "only for this host";
        server::encrypt_string(t);
        return t;
    });
    ASSERT_EQ(enciphered.size(), 64u);
    const std::string same_host = on_other_host("zv-node-a", std::string("one machine\n"), [&] {
        std::string t = enciphered;
        server::decrypt_string(t);
        return t;
    });
    EXPECT_EQ(same_host, "only for this host");
    const std::string other_host = on_other_host("zv-node-a", std::string("another machine\n"), [&] {
        std::string t = enciphered;
        server::decrypt_string(t);
        return t;
    });
    EXPECT_NE(other_host, "only for this host");
}

}  // namespace
