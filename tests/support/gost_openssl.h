// Kuznyechik by Debian's gost engine for OpenSSL, run as the `openssl enc`
// command: the reference the cipher tests compare with, and a way for later
// tests to make files enciphered as the client agent leaves them.
//
//   std::string file = zv_test::gost_ctr_encrypt(key32, iv.substr(0, 2), records);
//
// Texts are byte strings (std::string holds any byte). Failures of the engine
// or the command throw std::runtime_error with its output.
#pragma once

#include <string>

namespace zv_test {

// Counter-mode Kuznyechik of `data`. `key` is 32 bytes; `iv` at most 8 bytes, padded
// with zero bytes to the engine's 8. The first counter block is those 8 bytes
// followed by 8 zero bytes, so an IV of n bytes gives the same stream as
// zvcrypto::ctr::init with that IV and ivlen n.
std::string gost_ctr_encrypt(const std::string& key, const std::string& iv, const std::string& data);

// Kuznyechik of each 16-byte block of `data` (its length a multiple of 16).
std::string gost_ecb_encrypt(const std::string& key, const std::string& data);

}  // namespace zv_test
