#include "zvcrypto/block_cipher.h"

namespace zvcrypto {

void block_cipher::encrypt_blocks(const unsigned char* in, unsigned char* out, std::size_t n) {
    const std::size_t step = blocksize() / 8;
    for (std::size_t i = 0; i < n; ++i, in += step, out += step) {
        encrypt_block(in, out);
    }
}

void block_cipher::decrypt_blocks(const unsigned char* in, unsigned char* out, std::size_t n) {
    const std::size_t step = blocksize() / 8;
    for (std::size_t i = 0; i < n; ++i, in += step, out += step) {
        decrypt_block(in, out);
    }
}

}  // namespace zvcrypto
