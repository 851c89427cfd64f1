// Kuznyechik-CTR throughput of zvcrypto::ctr against the kuznyechik-ctr of
// Debian's gost engine for OpenSSL, loaded in this process through libcrypto's
// ENGINE interface, on the same buffers and one core.
//
//   build-dir/bench/kuznyechik_bench      prints MB/s and the ratio
#define OPENSSL_SUPPRESS_DEPRECATED  // ENGINE is the only way to reach the gost cipher
#include "zvcrypto/cpuinfo.h"
#include "zvcrypto/ctr.h"
#include "zvcrypto/kuznyechik.h"

#include "bench/bench_util.h"

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using zv_bench::make_buffer;
using zv_bench::pin_to_one_core;

// Best of five rounds of at least 0.3 s each.
double measure(std::size_t bytes, const std::function<void()>& run) {
    return zv_bench::measure(bytes, run, 0.3);
}

}  // namespace

int main() {
    pin_to_one_core();

    ENGINE* engine = ENGINE_by_id("gost");
    if (!engine || !ENGINE_init(engine)) {
        std::fprintf(stderr, "kuznyechik_bench: the gost engine for OpenSSL is not available\n");
        return 1;
    }
    const EVP_CIPHER* reference = ENGINE_get_cipher(engine, NID_kuznyechik_ctr);
    if (!reference) {
        std::fprintf(stderr, "kuznyechik_bench: the gost engine has no kuznyechik-ctr\n");
        return 1;
    }

    const auto key = make_buffer(32, 1);
    const auto iv = make_buffer(8, 2);

    // Same stream from both before anything is timed.
    {
        const auto in = make_buffer(100000, 3);
        std::vector<unsigned char> ours(in.size()), theirs(in.size());
        zvcrypto::ctr c{zvcrypto::kuznyechik()};
        c.init(key.data(), key.size(), iv.data(), iv.size());
        c.encrypt(in.data(), in.size(), ours.data());
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int len = 0;
        EVP_EncryptInit_ex(ctx, reference, engine, key.data(), iv.data());
        EVP_EncryptUpdate(ctx, theirs.data(), &len, in.data(), static_cast<int>(in.size()));
        EVP_CIPHER_CTX_free(ctx);
        if (ours != theirs) {
            std::fprintf(stderr, "kuznyechik_bench: zvcrypto and the engine disagree\n");
            return 1;
        }
    }

    std::printf("zvcrypto runs %s\n", zvcrypto::cpu_info::avx512_gfni()
                                          ? "64 blocks at once with AVX-512 and GFNI"
                                          : "table rounds, eight blocks side by side");
    std::printf("%-24s %14s %14s %8s\n", "run", "zvcrypto MB/s", "engine MB/s", "ratio");
    struct row {
        const char* name;
        std::size_t size;
        bool init_per_call;
    };
    for (const row r : {row{"stream, 64 B calls", 64, false}, row{"stream, 4 KiB calls", 4096, false},
                        row{"stream, 1 MiB calls", std::size_t(1) << 20, false},
                        row{"64 B message with init", 64, true},
                        row{"4 KiB message with init", 4096, true}}) {
        const auto in = make_buffer(r.size, 3);
        std::vector<unsigned char> out(r.size);

        zvcrypto::ctr c{zvcrypto::kuznyechik()};
        c.init(key.data(), key.size(), iv.data(), iv.size());
        const double ours = measure(r.size, [&] {
            if (r.init_per_call) c.init(key.data(), key.size(), iv.data(), iv.size());
            c.encrypt(in.data(), r.size, out.data());
        });

        // The engine keeps its counter across EVP_EncryptInit_ex on one context,
        // so a new message needs a reset context as well.
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(ctx, reference, engine, key.data(), iv.data());
        const double theirs = measure(r.size, [&] {
            if (r.init_per_call) {
                EVP_CIPHER_CTX_reset(ctx);
                EVP_EncryptInit_ex(ctx, reference, engine, key.data(), iv.data());
            }
            int len = 0;
            EVP_EncryptUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(r.size));
        });
        EVP_CIPHER_CTX_free(ctx);
        std::printf("%-24s %14.1f %14.1f %8.2f\n", r.name, ours, theirs, ours / theirs);
    }
    ENGINE_finish(engine);
    ENGINE_free(engine);
    return 0;
}
