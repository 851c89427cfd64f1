// Compressing a block with zstd. The words of "-z" and their zstd levels:
//   None     no compression
//   fast     level 1
//   optimal  level 3 (used when "-z" is not given)
//   best     level 15
// A block that does not get smaller is stored as it is.
#pragma once

#include <cstddef>
#include <string>

namespace zvfd {

enum class Compression { None, Fast, Optimal, Best };

// Any letter case; throws Error for another word.
Compression compression_from_word(const std::string& word);
int zstd_level(Compression compression);

// True, with the compressed bytes in `out`, when compression made the block smaller.
bool compress_block(Compression compression, const void* data, std::size_t len, std::string& out);
// Throws Error unless `in` decompresses to exactly `raw_size` bytes.
std::string decompress_block(const std::string& in, std::size_t raw_size);
// The same into `out`, which has room for `raw_size` bytes.
void decompress_into(const char* in, std::size_t len, char* out, std::size_t raw_size);

}  // namespace zvfd
