// A host identifier (a keyed digest of node name, machine id and system name)
// and text encryption under a key derived from it, so that only the same host
// deciphers what it enciphered. Common utilities; no module operation calls them.
// Usage: std::string s = "secret"; encrypt_string(s); /* hex text */ decrypt_string(s);
#pragma once

#include <string>

namespace zv_utils_common::server {

// The 15-character IV text of the program's counter-mode ciphers: its first two
// bytes start the counter. The client agent enciphers the client-defined storage
// file with the same text.
const std::string& stored_iv_text();

// 64 lower-case hexadecimal digits of HMAC-SHA256 over node name, first line of
// "/etc/machine-id" (empty when it cannot be read) and uname's system name,
// first byte first.
std::string hardware_id();

// Replaces `text` with the hexadecimal Kuznyechik-CTR encipherment of `text`
// padded with 1 to 16 NUL bytes to a multiple of 16 bytes.
void encrypt_string(std::string& text);

// Undoes encrypt_string on the same host: the deciphered bytes up to the first
// NUL. Hexadecimal digits may be of either case; a last lone character is ignored.
// Other text yields other bytes, without an error.
void decrypt_string(std::string& text);

}  // namespace zv_utils_common::server
