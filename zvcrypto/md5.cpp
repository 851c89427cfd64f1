#include "zvcrypto/md5.h"

#include "zvcrypto/md_block_buffer.h"

#include <cstring>

namespace zvcrypto {

namespace {

inline std::uint32_t rotl(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t load_le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// T[i] = floor(2^32 * |sin(i + 1)|).
const std::uint32_t md5_t[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

const unsigned md5_shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

}  // namespace

md5::~md5() { clear(); }

void md5::init() {
    H[0] = 0x67452301;
    H[1] = 0xefcdab89;
    H[2] = 0x98badcfe;
    H[3] = 0x10325476;
    pos = 0;
    total = 0;
}

void md5::transform(const unsigned char* blocks, std::uint64_t n) {
    for (; n != 0; --n, blocks += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) {
            x[i] = load_le32(blocks + 4 * i);
        }
        std::uint32_t a = H[0], b = H[1], c = H[2], d = H[3];
        for (unsigned i = 0; i < 64; ++i) {
            std::uint32_t f;
            unsigned k;
            switch (i / 16) {
                case 0:
                    f = (b & c) | (~b & d);
                    k = i;
                    break;
                case 1:
                    f = (d & b) | (~d & c);
                    k = (5 * i + 1) % 16;
                    break;
                case 2:
                    f = b ^ c ^ d;
                    k = (3 * i + 5) % 16;
                    break;
                default:
                    f = c ^ (b | ~d);
                    k = (7 * i) % 16;
                    break;
            }
            const std::uint32_t rotated = b + rotl(a + f + md5_t[i] + x[k], md5_shift[i / 16][i % 4]);
            a = d;
            d = c;
            c = b;
            b = rotated;
        }
        H[0] += a;
        H[1] += b;
        H[2] += c;
        H[3] += d;
    }
}

void md5::update(const unsigned char* data, std::size_t len) {
    md_update(m, pos, total, data, len,
              [this](const unsigned char* p, std::uint64_t n) { transform(p, n); });
}

void md5::final(unsigned char* digest) {
    md_finish(m, pos, total, md_length_order::little_endian,
              [this](const unsigned char* p, std::uint64_t n) { transform(p, n); });
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<unsigned char>(H[i] >> (8 * j));
        }
    }
}

md5* md5::clone() const { return new md5(); }

void md5::clear() {
    secure_zero(H, H.bytes());
    secure_zero(m.data(), m.size());
}

}  // namespace zvcrypto
