// The archiver's three kinds of key (none, AES-256-GCM, Kuznyechik), each derived as
// derive_keys derives it from one key file, with its sealer: what a format test runs
// through to show that every kind reads back what it wrote.
//
//   for (const zvfd_test::Keyed& k : zvfd_test::key_setups("index key")) ...
#pragma once

#include "support/scratch_dir.h"
#include "zvfd/cipher.h"

#include <memory>
#include <string>
#include <vector>

namespace zvfd_test {

struct Keyed {
    const char* what;
    zvfd::Keys keys;
    std::unique_ptr<zvfd::Sealer> sealer;
};

inline std::vector<Keyed> key_setups(const std::string& secret) {
    zv_test::ScratchDir dir;
    zv_test::write_file(dir.path() / "key", secret);
    std::vector<Keyed> out;
    for (const char* cipher : {"nocrypt", "aes-256-gcm", "kuznyechik"}) {
        zvfd::Keys keys = zvfd::derive_keys(cipher, (dir.path() / "key").string());
        auto sealer = zvfd::make_sealer(keys);
        out.push_back({cipher, std::move(keys), std::move(sealer)});
    }
    return out;
}

}  // namespace zvfd_test
