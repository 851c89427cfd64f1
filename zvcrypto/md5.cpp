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

// The four round functions, written so that each step's longest dependency runs
// through `b` only once: the constants and message words are added to `a` while
// the function of b, c and d is still being computed. The forms are equal to
// RFC 1321's F, G, H and I for every input.
//   F = (b & c) | (~b & d)  ==  d ^ (b & (c ^ d))
//   G = (b & d) | (c & ~d)  ==  (c & ~d) + (b & d), the two terms never share a bit
//   H = b ^ c ^ d
//   I = c ^ (b | ~d)
template <unsigned S>
inline void step_f(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t x, std::uint32_t t) {
    a += x + t;
    a += d ^ (b & (c ^ d));
    a = rotl(a, S) + b;
}

template <unsigned S>
inline void step_g(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t x, std::uint32_t t) {
    a += x + t;
    a += c & ~d;
    a += b & d;
    a = rotl(a, S) + b;
}

template <unsigned S>
inline void step_h(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t x, std::uint32_t t) {
    a += x + t;
    a += b ^ c ^ d;
    a = rotl(a, S) + b;
}

template <unsigned S>
inline void step_i(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t x, std::uint32_t t) {
    a += x + t;
    a += c ^ (b | ~d);
    a = rotl(a, S) + b;
}

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
        // Every step is spelled out with its constant T[i] = floor(2^32 * |sin(i + 1)|),
        // its message word and its shift, so nothing is looked up at run time.
        step_f<7>(a, b, c, d, x[0], 0xd76aa478);
        step_f<12>(d, a, b, c, x[1], 0xe8c7b756);
        step_f<17>(c, d, a, b, x[2], 0x242070db);
        step_f<22>(b, c, d, a, x[3], 0xc1bdceee);
        step_f<7>(a, b, c, d, x[4], 0xf57c0faf);
        step_f<12>(d, a, b, c, x[5], 0x4787c62a);
        step_f<17>(c, d, a, b, x[6], 0xa8304613);
        step_f<22>(b, c, d, a, x[7], 0xfd469501);
        step_f<7>(a, b, c, d, x[8], 0x698098d8);
        step_f<12>(d, a, b, c, x[9], 0x8b44f7af);
        step_f<17>(c, d, a, b, x[10], 0xffff5bb1);
        step_f<22>(b, c, d, a, x[11], 0x895cd7be);
        step_f<7>(a, b, c, d, x[12], 0x6b901122);
        step_f<12>(d, a, b, c, x[13], 0xfd987193);
        step_f<17>(c, d, a, b, x[14], 0xa679438e);
        step_f<22>(b, c, d, a, x[15], 0x49b40821);

        step_g<5>(a, b, c, d, x[1], 0xf61e2562);
        step_g<9>(d, a, b, c, x[6], 0xc040b340);
        step_g<14>(c, d, a, b, x[11], 0x265e5a51);
        step_g<20>(b, c, d, a, x[0], 0xe9b6c7aa);
        step_g<5>(a, b, c, d, x[5], 0xd62f105d);
        step_g<9>(d, a, b, c, x[10], 0x02441453);
        step_g<14>(c, d, a, b, x[15], 0xd8a1e681);
        step_g<20>(b, c, d, a, x[4], 0xe7d3fbc8);
        step_g<5>(a, b, c, d, x[9], 0x21e1cde6);
        step_g<9>(d, a, b, c, x[14], 0xc33707d6);
        step_g<14>(c, d, a, b, x[3], 0xf4d50d87);
        step_g<20>(b, c, d, a, x[8], 0x455a14ed);
        step_g<5>(a, b, c, d, x[13], 0xa9e3e905);
        step_g<9>(d, a, b, c, x[2], 0xfcefa3f8);
        step_g<14>(c, d, a, b, x[7], 0x676f02d9);
        step_g<20>(b, c, d, a, x[12], 0x8d2a4c8a);

        step_h<4>(a, b, c, d, x[5], 0xfffa3942);
        step_h<11>(d, a, b, c, x[8], 0x8771f681);
        step_h<16>(c, d, a, b, x[11], 0x6d9d6122);
        step_h<23>(b, c, d, a, x[14], 0xfde5380c);
        step_h<4>(a, b, c, d, x[1], 0xa4beea44);
        step_h<11>(d, a, b, c, x[4], 0x4bdecfa9);
        step_h<16>(c, d, a, b, x[7], 0xf6bb4b60);
        step_h<23>(b, c, d, a, x[10], 0xbebfbc70);
        step_h<4>(a, b, c, d, x[13], 0x289b7ec6);
        step_h<11>(d, a, b, c, x[0], 0xeaa127fa);
        step_h<16>(c, d, a, b, x[3], 0xd4ef3085);
        step_h<23>(b, c, d, a, x[6], 0x04881d05);
        step_h<4>(a, b, c, d, x[9], 0xd9d4d039);
        step_h<11>(d, a, b, c, x[12], 0xe6db99e5);
        step_h<16>(c, d, a, b, x[15], 0x1fa27cf8);
        step_h<23>(b, c, d, a, x[2], 0xc4ac5665);

        step_i<6>(a, b, c, d, x[0], 0xf4292244);
        step_i<10>(d, a, b, c, x[7], 0x432aff97);
        step_i<15>(c, d, a, b, x[14], 0xab9423a7);
        step_i<21>(b, c, d, a, x[5], 0xfc93a039);
        step_i<6>(a, b, c, d, x[12], 0x655b59c3);
        step_i<10>(d, a, b, c, x[3], 0x8f0ccc92);
        step_i<15>(c, d, a, b, x[10], 0xffeff47d);
        step_i<21>(b, c, d, a, x[1], 0x85845dd1);
        step_i<6>(a, b, c, d, x[8], 0x6fa87e4f);
        step_i<10>(d, a, b, c, x[15], 0xfe2ce6e0);
        step_i<15>(c, d, a, b, x[6], 0xa3014314);
        step_i<21>(b, c, d, a, x[13], 0x4e0811a1);
        step_i<6>(a, b, c, d, x[4], 0xf7537e82);
        step_i<10>(d, a, b, c, x[11], 0xbd3af235);
        step_i<15>(c, d, a, b, x[2], 0x2ad7d2bb);
        step_i<21>(b, c, d, a, x[9], 0xeb86d391);
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
