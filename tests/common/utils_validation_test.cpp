// Validators, Base64 (checked against OpenSSL), sizes, digests and file queries.
#include "common/zv_utils_common.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <boost/filesystem.hpp>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using namespace zv_utils_common;

namespace {

struct TextCase {
    std::string text;
    bool valid;
};

void expect_cases(bool (*check)(const std::string&), const std::vector<TextCase>& cases) {
    for (const auto& c : cases) EXPECT_EQ(check(c.text), c.valid) << '"' << c.text << '"';
}

TEST(Validators, UnsignedNumbersInCanonicalFormOnly) {
    expect_cases(is_uint, {{"42", true},
                           {"0", true},
                           {"18446744073709551615", true},
                           {"18446744073709551616", false},
                           {"042", false},
                           {"+42", false},
                           {" 42", false},
                           {"42 ", false},
                           {"-1", false},
                           {"", false},
                           {"4x", false}});
}

TEST(Validators, StringToUintRefusesWhatDoesNotFitInThirtyTwoBits) {
    unsigned int value = 7;
    EXPECT_TRUE(string_to_uint("4294967295", value));
    EXPECT_EQ(value, UINT_MAX);
    value = 7;
    EXPECT_FALSE(string_to_uint("4294967296", value));
    EXPECT_EQ(value, 7u);
    EXPECT_FALSE(string_to_uint("042", value));
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(string_to_uint("42", value));
    EXPECT_EQ(value, 42u);
}

TEST(Validators, Time) {
    expect_cases(is_time, {{"23:59:59", true},
                           {"00:00:00", true},
                           {"24:00:00", false},
                           {"12:61:00", false},
                           {"noon", false},
                           {"12:30:45 and more", true}});
}

TEST(Validators, Hostname) {
    const std::string label63(63, 'a');
    expect_cases(is_hostname, {{"host", true},
                               {"a-b.example.com", true},
                               {"x", true},
                               {label63 + ".com", true},
                               {label63 + "a.com", false},
                               {"-host", false},
                               {"host-", false},
                               {"host.", false},
                               {"ho st", false},
                               {"", false}});
}

TEST(Validators, Email) {
    expect_cases(is_email, {{"user.name+tag@example.com", true},
                            {"user@example", false},
                            {"user@example.toolongtld", false},
                            {"us er@example.com", false},
                            {"@example.com", false}});
}

TEST(Validators, HttpsUrl) {
    expect_cases(is_https_url_strict, {{"https://example.com", true},
                                       {"https://backup.example.com/path/to=x", true},
                                       {"example.org", true},
                                       {"https://x", false},
                                       {"https://example.com path", false}});
}

TEST(Validators, HttpsIp) {
    expect_cases(is_https_ip_strict, {{"https://192.168.0.1", true},
                                      {"https://255.255.255.255", true},
                                      {"https://256.1.1.1", false},
                                      {"https://192.168.0.1/", false},
                                      {"https://192.168.0.1:443", false},
                                      {"http://192.168.0.1", false},
                                      {"https://2001:db8:0:0:0:0:0:1", true},
                                      {"https://2001:db8::1", false}});
}

TEST(Validators, IpAddress) {
    expect_cases(is_ip_address, {{"127.0.0.1", true},
                                 {"::1", true},
                                 {"2001:db8::1", true},
                                 {"256.0.0.1", false},
                                 {"1.2.3", false},
                                 {"localhost", false},
                                 {"", false}});
}

TEST(Validators, UuidWithKnownVersion) {
    expect_cases(is_valid_uuid, {{"0087a88b-52e0-4407-9435-44524fb274ac", true},
                                 {"0087A88B-52E0-1407-9435-44524FB274AC", true},
                                 {"0087a88b52e04407943544524fb274ac", true},
                                 {"{0087a88b-52e0-4407-9435-44524fb274ac}", true},
                                 {"0087a88b-52e0-0407-9435-44524fb274ac", false},
                                 {"0087a88b-52e0-6407-9435-44524fb274ac", false},
                                 {"0087a88b-52e0-4407-9435-44524fb274a", false},
                                 {"not-a-uuid", false},
                                 {"", false}});
}

std::string openssl_base64(const std::string& data) {
    std::vector<unsigned char> out(4 * ((data.size() + 2) / 3) + 1);
    const int length = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<int>(data.size()));
    return std::string(reinterpret_cast<char*>(out.data()), length);
}

TEST(Base64, MatchesOpenSslAndRoundTrips) {
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
    const std::vector<std::string> inputs = {"", "f", "fo", "foo", "foob", "fooba", "foobar",
                                             std::string("\0\xff\x80", 3), all_bytes};
    for (const auto& data : inputs) {
        const std::string text = base64_encode(data);
        EXPECT_EQ(text, openssl_base64(data)) << data.size() << " bytes";
        EXPECT_EQ(base64_decode(text), data) << data.size() << " bytes";
    }
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
}

TEST(Base64, TextWithForeignCharactersDecodesToNothing) {
    for (const std::string text : {"Zm9v\n", "Zm 9v", "Zm9v!", "Zm=9v", "Zm9v\nYmFy"})
        EXPECT_EQ(base64_decode(text), "") << '"' << text << '"';
    EXPECT_EQ(base64_decode("Zm9vYg"), "foob");  // unpadded tail still decodes
}

TEST(PasswordPolicy, LengthAndCharacterClasses) {
    const std::string requirement =
        "Password minimum length must be no shorter than 12 symbols and must contain at least 1 "
        "upper case letter, 1 special character, 1 digit";
    struct Case {
        std::string password;
        bool requirement_only;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"abcdefgJ1!x", false, false},     // 11 characters, every class
        {"abcdefghiJ1!", false, true},     // 12 characters
        {"abcdefghijJ!", false, false},    // no digit
        {"abcdefghij1!", false, false},    // no upper-case letter
        {"abcdefghiJ12", false, false},    // no punctuation
        {"abcdefghiJ1!", true, false},     // only the requirement asked for
    };
    for (const auto& c : cases) {
        std::string message = "untouched";
        EXPECT_EQ(check_password_complexity(c.password, message, c.requirement_only), c.accepted)
            << c.password;
        EXPECT_EQ(message, c.accepted ? "untouched" : requirement) << c.password;
    }
}

TEST(SizeToHuman, UnitChosenBeforeRounding) {
    struct Case {
        float size;
        unsigned precision;
        std::string text;
    };
    const std::vector<Case> cases = {
        {1536, 2, "1.50 kB"}, {1024, 2, "1 kB"},       {500, 0, "500 B"},
        {1023.99f, 1, "1024 B"}, {0, 2, "0 B"},        {1.5f * 1024 * 1024, 1, "1.5 MB"},
        {10240, 2, "10 kB"},  {1024.0f * 1024 * 1024 * 1024, 0, "1 TB"},
    };
    for (const auto& c : cases) EXPECT_EQ(size_to_human(c.size, c.precision), c.text) << c.size;
}

TEST(Digests, HexText) {
    unsigned char digest[] = {0x00, 0xab, 0xff, 0x10};
    EXPECT_EQ(digest_as_string(digest, 3), "00abff");
    testing::internal::CaptureStdout();
    print_digest(digest, 24);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "00 ab ff \n");
}

// get_nodename() in a child with a UTS namespace of its own whose host name is `name`;
// "" when the namespace cannot be made here.
std::string nodename_under(const std::string& name) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWUTS) != 0 || sethostname(name.data(), name.size()) != 0) _exit(1);
        const std::string seen = get_nodename();
        _exit(write(fds[1], seen.data(), seen.size()) == static_cast<ssize_t>(seen.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string seen;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) seen.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seen : "";
}

// The whole node name, up to the longest the kernel takes (64 bytes), however short.
TEST(HostQueries, NodenameIsTheWholeHostName) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a UTS namespace";
    const std::string longest = "node-" + std::string(54, 'n') + ".zv64";
    ASSERT_EQ(longest.size(), 64u);
    for (const std::string& name : {std::string("h"), std::string("backup-host.example.org"), longest}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(nodename_under(name), name);
    }
}

using FileQueries = zv_test::ScratchDirTest;

TEST_F(FileQueries, SparseFileIsToldFromAWrittenOne) {
    const std::string hole = write("hole", "");
    ASSERT_EQ(truncate(hole.c_str(), 1 << 20), 0);
    const std::string full = write("full", std::string(1 << 16, 'z'));
    bool sparse = false;
    std::string error;
    ASSERT_TRUE(is_sparse_file(hole, sparse, error));
    EXPECT_TRUE(sparse);
    ASSERT_TRUE(is_sparse_file(full, sparse, error));
    EXPECT_FALSE(sparse);
    EXPECT_FALSE(is_sparse_file((dir_ / "missing").string(), sparse, error));
    EXPECT_EQ(error, "No such file or directory");
}

TEST_F(FileQueries, FileSizeOfRegularFilesOnly) {
    EXPECT_EQ(get_file_size(write("data", std::string(1234, 'd'))), 1234);
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_file_size(dir_.string()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "get_file_size: wrong input file type" + dir_.string() + "\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_file_size((dir_ / "missing").string()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("No such file or directory"),
              std::string::npos);
}

TEST_F(FileQueries, SymlinkSizeIsTheTargetLength) {
    const std::string link = (dir_ / "link").string();
    fs::create_symlink("target/path", link);
    EXPECT_EQ(get_symlink_size(link), 11);
    const std::string file = write("plain", "12345");
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_symlink_size(file), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "get_symlink_size: wrong input file type" + file + " is not a link!\n");
}

}  // namespace
