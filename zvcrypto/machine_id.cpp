#include "zvcrypto/machine_id.h"

#include "common/zv_utils_common.h"
#include "zvcrypto/ctr.h"
#include "zvcrypto/hmac.h"
#include "zvcrypto/kuznyechik.h"
#include "zvcrypto/sha256.h"
#include "zvcrypto/zv_hash.h"

#include <sys/utsname.h>

#include <fstream>
#include <vector>

namespace zv_utils_common::server {

namespace {

// Counter-mode Kuznyechik over `data` with the key cut from the host identifier
// and the stored IV; enciphering and deciphering are the same operation.
std::vector<unsigned char> apply_host_cipher(const unsigned char* data, std::size_t len) {
    std::string id = hardware_id();
    zvcrypto::kuznyechik cipher;
    zvcrypto::ctr stream(cipher);
    const std::size_t key_bytes = cipher.keysize() / 8;
    stream.init(reinterpret_cast<const unsigned char*>(id.data()), key_bytes,
                reinterpret_cast<const unsigned char*>(stored_iv_text().data()), 2);
    zvcrypto::secure_zero(&id[0], id.size());
    std::vector<unsigned char> out(len, 0);
    stream.encrypt(data, len, out.data());
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A pair counts by its leading hexadecimal digits, as strtol reads it: "4g" is 4,
// "g4" is 0.
unsigned char pair_value(char high, char low) {
    const int h = hex_digit(high);
    if (h < 0) return 0;
    const int l = hex_digit(low);
    return static_cast<unsigned char>(l < 0 ? h : h * 16 + l);
}

}  // namespace

const std::string& stored_iv_text() {
    static const std::string iv = "Zv7kQm2Lp9Xr4Tb";
    return iv;
}

std::string hardware_id() {
    std::string text = get_nodename();
    std::ifstream machine_id("/etc/machine-id");
    std::string line;
    if (machine_id && std::getline(machine_id, line)) {
        text += line;
    }
    struct utsname names {};
    if (uname(&names) == 0) {
        text += names.sysname;
    }
    unsigned char digest[32];
    zvcrypto::hmac mac(zvcrypto::sha256(), zelvor::hash::sha::stored_key_text());
    mac.hash_string(text, digest);
    return digest_as_string(digest, sizeof(digest));
}

void encrypt_string(std::string& text) {
    text.append(16 - text.size() % 16, '\0');
    const std::vector<unsigned char> enciphered =
        apply_host_cipher(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    zvcrypto::secure_zero(&text[0], text.size());
    text = digest_as_string(enciphered.data(), static_cast<unsigned int>(enciphered.size()));
}

void decrypt_string(std::string& text) {
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(pair_value(text[i], text[i + 1]));
    }
    std::vector<unsigned char> plain = apply_host_cipher(bytes.data(), bytes.size());
    std::size_t end = 0;
    while (end < plain.size() && plain[end] != 0) ++end;
    text.assign(reinterpret_cast<const char*>(plain.data()), end);
    zvcrypto::secure_zero(plain.data(), plain.size());
}

}  // namespace zv_utils_common::server
