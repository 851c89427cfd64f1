// The Merkle-Damgard buffering MD5 and SHA-256 share: 64-byte blocks, a 0x80
// pad byte and the message length in bits in the last eight bytes. The hashes
// differ only in their block function and the byte order of that length.
// Templates, so each hash keeps a direct call to its own block function.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zvcrypto {

enum class md_length_order { little_endian, big_endian };

// Feeds `len` bytes to `blocks(const unsigned char* p, std::uint64_t n)`: whole
// blocks straight from the caller's buffer, a partial one held in `m` at `pos`.
// `total` counts the bits taken in.
template <class Blocks>
inline void md_update(std::array<unsigned char, 64>& m, std::size_t& pos, std::uint64_t& total,
                      const unsigned char* data, std::size_t len, Blocks&& blocks) {
    if (pos > 0 && pos + len >= 64) {
        const std::size_t fill = 64 - pos;
        std::memcpy(m.data() + pos, data, fill);
        blocks(m.data(), 1);
        total += fill * 8;
        data += fill;
        len -= fill;
        pos = 0;
    }
    if (len >= 64) {
        const std::size_t n = len / 64;
        blocks(data, n);
        total += static_cast<std::uint64_t>(n) * 512;
        data += n * 64;
        len %= 64;
    }
    if (len > 0) {
        std::memcpy(m.data() + pos, data, len);
    }
    pos += len;
    total += static_cast<std::uint64_t>(len) * 8;
}

// Pads the held bytes, appends `total` and runs the last block or two.
template <class Blocks>
inline void md_finish(std::array<unsigned char, 64>& m, std::size_t& pos, std::uint64_t total,
                      md_length_order order, Blocks&& blocks) {
    m[pos++] = 0x80;
    if (pos > 56) {
        std::memset(m.data() + pos, 0, 64 - pos);
        blocks(m.data(), 1);
        pos = 0;
    }
    std::memset(m.data() + pos, 0, 56 - pos);
    for (int i = 0; i < 8; ++i) {
        const int shift = order == md_length_order::little_endian ? 8 * i : 56 - 8 * i;
        m[56 + i] = static_cast<unsigned char>(total >> shift);
    }
    blocks(m.data(), 1);
}

}  // namespace zvcrypto
