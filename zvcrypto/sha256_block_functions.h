// The processor-specific SHA-256 block functions and the round constants.
// Each compresses consecutive 64-byte blocks, at any byte alignment, into the
// eight state words in place; sha256 chooses one per object.
// Kept free of inline code: the vector files are compiled for wider instruction
// sets, and an inline function emitted there could be picked by the linker for
// every caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zvcrypto {

extern const std::uint32_t SHA256_K[64];

// AVX2 and BMI2; two blocks per pass.
void sha256_rorx(void* input, std::uint32_t* state, std::uint64_t blocks);
// SSSE3 and SSE4.1; one block at a time.
void sha256_sse4(void* input, std::uint32_t* state, std::uint64_t blocks);
// SSE2; `length` counts bytes (whole blocks), `state` must be 16-byte aligned.
void X86_SHA256_HashBlocks(std::uint32_t* state, const std::uint32_t* input, std::size_t length);

}  // namespace zvcrypto
