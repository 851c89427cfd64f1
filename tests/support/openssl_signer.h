// A throwaway key pair made by the openssl command, and signatures over files in the
// hexadecimal form the client agent passes in an e-signature request.
//
//   zv_test::SigningKey key(scratch_dir);
//   std::string hex = key.sign_hex(file);          // sha256 by default
//   run({"-k", key.public_key(), ...});
#pragma once

#include <boost/filesystem/path.hpp>

#include <string>

namespace zv_test {

class SigningKey {
public:
    // Writes private.pem and public.pem (an EC P-256 pair) into `directory`.
    explicit SigningKey(const boost::filesystem::path& directory);

    std::string public_key() const { return public_.string(); }
    // `openssl dgst -<digest> -sign` over the file, as lower-case hexadecimal text.
    std::string sign_hex(const boost::filesystem::path& file,
                         const std::string& digest = "sha256") const;

private:
    boost::filesystem::path private_, public_;
};

// Lower-case hexadecimal text of the bytes.
std::string hex_text(const std::string& bytes);

}  // namespace zv_test
