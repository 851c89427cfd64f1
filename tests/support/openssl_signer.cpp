#include "support/openssl_signer.h"

#include "common/zv_shell.h"

#include <boost/filesystem/operations.hpp>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace fs = boost::filesystem;

namespace zv_test {

namespace {

void run_openssl(const std::vector<std::string>& arguments) {
    const std::string command =
        zv_utils_common::shell_command("/usr/bin/openssl", arguments) + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

SigningKey::SigningKey(const fs::path& directory)
    : private_(directory / "private.pem"), public_(directory / "public.pem") {
    fs::create_directories(directory);
    run_openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                 private_.string()});
    run_openssl({"pkey", "-in", private_.string(), "-pubout", "-out", public_.string()});
}

std::string SigningKey::sign_hex(const fs::path& file, const std::string& digest) const {
    const fs::path signature = fs::unique_path(fs::temp_directory_path() / "zv_sign_%%%%%%%%");
    run_openssl({"dgst", "-" + digest, "-sign", private_.string(), "-out", signature.string(),
                 file.string()});
    std::ifstream in(signature.string(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(signature);
    return hex_text(bytes);
}

std::string hex_text(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

}  // namespace zv_test
