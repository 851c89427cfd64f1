// SHA-256 and SHA-224 (FIPS 180-4) on the crypto_hash interface. Each object
// picks its block function once, by the processor's features, when built.
// Usage: zvcrypto::sha256 h; h.init(); h.update(p, n); h.final(digest32);
#pragma once

#include "zvcrypto/cpuinfo.h"
#include "zvcrypto/crypto_hash.h"
#include "zvcrypto/sha256_block_functions.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zvcrypto {

// The four block functions a sha256 can run on, best first.
enum class sha256_block_kind {
    avx2_bmi2,  // sha256_sse4 for 0 or 1 block, sha256_rorx for 2 or more
    sse4,       // sha256_sse4
    sse2,       // X86_SHA256_HashBlocks
    portable,   // sha256::transform
};

// The choice for a feature record: AVX2 needs the OS to save the YMM state too.
sha256_block_kind choose_sha256_block_kind(const cpu_info::cpu_info_impl& features);

class sha256 : public crypto_hash {
public:
    sha256();
    ~sha256() override;

    void init() override;
    void update(const unsigned char* data, std::size_t len) override;
    void final(unsigned char* hash) override;
    std::size_t hashsize() const override { return 256; }
    std::size_t blocksize() const override { return 512; }
    sha256* clone() const override;
    void clear() override;

protected:
    // Binds transfunc to one block function on this object's state.
    void use_block_function(sha256_block_kind kind);
    // The portable block function.
    void transform(void* blocks, std::uint64_t n);

    std::function<void(void*, std::uint64_t)> transfunc;
    aligned_pod_array<std::uint32_t, 8, 32> H;
    std::array<unsigned char, 64> m{};
    std::size_t pos = 0;
    std::uint64_t total = 0;
};

class sha224 : public sha256 {
public:
    sha224() = default;
    ~sha224() override = default;

    void init() override;
    std::size_t hashsize() const override { return 224; }
    sha224* clone() const override;
};

}  // namespace zvcrypto
