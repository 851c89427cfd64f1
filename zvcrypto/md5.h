// MD5 (RFC 1321) on the crypto_hash interface; used for image and block-device
// checksums, not for anything secret.
#pragma once

#include "zvcrypto/crypto_hash.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace zvcrypto {

class md5 : public crypto_hash {
public:
    md5() = default;
    ~md5() override;

    void init() override;
    void update(const unsigned char* data, std::size_t len) override;
    void final(unsigned char* digest) override;
    std::size_t hashsize() const override { return 128; }
    std::size_t blocksize() const override { return 512; }
    md5* clone() const override;
    void clear() override;

protected:
    void transform(const unsigned char* blocks, std::uint64_t n);

    aligned_pod_array<std::uint32_t, 4, 32> H;
    std::array<unsigned char, 64> m{};
    std::size_t pos = 0;
    std::uint64_t total = 0;
};

}  // namespace zvcrypto
