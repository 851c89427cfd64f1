// Kuznyechik encryption of 64 blocks at once with AVX-512 (BW, VBMI) and GFNI;
// kuznyechik dispatches to it only where the processor and the OS allow it.
// Kept free of inline code: the file is compiled for those instruction sets,
// and an inline function emitted there could be picked by the linker for every
// caller.
#pragma once

#include <cstdint>

namespace zvcrypto {

// `round_keys` are K1 to K10 in array byte order, `sbox` is pi, and
// `mul_matrices[i]` is the GF(2) bit matrix (in GF2P8AFFINEQB form) of
// multiplying by the i-th coefficient of the linear map l. `in` and `out` hold
// 64 blocks each and may be the same buffer.
void kuznyechik_encrypt64_avx512(const unsigned char (*round_keys)[16], const unsigned char* sbox,
                                 const std::uint64_t* mul_matrices, const unsigned char* in,
                                 unsigned char* out);

}  // namespace zvcrypto
