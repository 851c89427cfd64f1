#include "zvfd/compress.h"

#include "zvfd/io.h"

#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace zvfd {

namespace {

struct FreeCctx {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct FreeDctx {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

}  // namespace

Compression compression_from_word(const std::string& word) {
    std::string w = word;
    std::transform(w.begin(), w.end(), w.begin(), [](unsigned char c) { return std::tolower(c); });
    if (w == "none") return Compression::None;
    if (w == "fast") return Compression::Fast;
    if (w == "optimal") return Compression::Optimal;
    if (w == "best") return Compression::Best;
    throw Error("unknown compression '" + word + "' (known: None, fast, optimal, best)");
}

int zstd_level(Compression compression) {
    switch (compression) {
        case Compression::None: return 0;
        case Compression::Fast: return 1;
        case Compression::Optimal: return 3;
        case Compression::Best: return 15;
    }
    return 0;
}

bool compress_block(Compression compression, const void* data, std::size_t len, std::string& out) {
    if (compression == Compression::None || len == 0) return false;
    // One context per thread: creating one per block would cost more than compressing.
    thread_local std::unique_ptr<ZSTD_CCtx, FreeCctx> context(ZSTD_createCCtx());
    out.resize(ZSTD_compressBound(len));
    std::size_t n = ZSTD_compressCCtx(context.get(), out.data(), out.size(), data, len, zstd_level(compression));
    if (ZSTD_isError(n) || n >= len) return false;
    out.resize(n);
    return true;
}

void decompress_into(const char* in, std::size_t len, char* out, std::size_t raw_size) {
    thread_local std::unique_ptr<ZSTD_DCtx, FreeDctx> context(ZSTD_createDCtx());
    std::size_t n = ZSTD_decompressDCtx(context.get(), out, raw_size, in, len);
    if (ZSTD_isError(n) || n != raw_size) throw Error("a compressed block is damaged");
}

std::string decompress_block(const std::string& in, std::size_t raw_size) {
    std::string out(raw_size, '\0');
    decompress_into(in.data(), in.size(), out.data(), raw_size);
    return out;
}

}  // namespace zvfd
