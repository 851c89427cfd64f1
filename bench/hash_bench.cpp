// Throughput of the SHA-256 dispatch, each SHA-256 block function, MD5 and
// HMAC-SHA256 against OpenSSL's libcrypto on the same buffers, on one core.
// OpenSSL reads OPENSSL_ia32cap once at start-up, so its runs happen in child
// processes of this program: one as OpenSSL is, one with the SHA extensions
// masked off, which leaves OpenSSL on its AVX2 code.
//
//   build-dir/bench/hash_bench            prints MB/s and ratios
#include "zvcrypto/hmac.h"
#include "zvcrypto/md5.h"
#include "zvcrypto/sha256.h"

#include "bench/bench_util.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t large_size = 8 * 1024 * 1024;
constexpr std::size_t small_size = 64;

using zv_bench::make_buffer;
using zv_bench::pin_to_one_core;

// Best of five rounds of at least 0.2 s each.
double measure(std::size_t bytes, const std::function<void()>& run) {
    return zv_bench::measure(bytes, run, 0.2);
}

class portable_sha256 : public zvcrypto::sha256 {
public:
    std::uint32_t* state() { return H; }
    void blocks(void* p, std::uint64_t n) { transform(p, n); }
};

using results = std::map<std::string, double>;

results measure_openssl() {
    const auto large = make_buffer(large_size);
    const auto small = make_buffer(small_size);
    const std::vector<unsigned char> key(93, '7');
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    results r;
    r["sha256"] = measure(large_size, [&] { EVP_Digest(large.data(), large.size(), out, &len, EVP_sha256(), nullptr); });
    r["md5"] = measure(large_size, [&] { EVP_Digest(large.data(), large.size(), out, &len, EVP_md5(), nullptr); });
    r["hmac"] = measure(large_size, [&] {
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), large.data(), large.size(), out, &len);
    });
    r["hmac64"] = measure(small_size, [&] {
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), small.data(), small.size(), out, &len);
    });
    return r;
}

// Runs this program again with the given OPENSSL_ia32cap and reads back its
// OpenSSL figures.
results openssl_in_child(const char* ia32cap) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        if (ia32cap) {
            setenv("OPENSSL_ia32cap", ia32cap, 1);
        } else {
            unsetenv("OPENSSL_ia32cap");
        }
        execl("/proc/self/exe", "hash_bench", "--openssl-child", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    results r;
    std::istringstream in(text);
    std::string name;
    double value;
    while (in >> name >> value) {
        r[name] = value;
    }
    if (r.size() != 4) {
        std::fprintf(stderr, "hash_bench: OpenSSL child failed\n");
        std::exit(1);
    }
    return r;
}

void row(const char* what, double ours, double openssl, double openssl_avx2) {
    std::printf("%-34s %9.1f MB/s   vs OpenSSL %6.3f   vs OpenSSL-AVX2 %6.3f\n", what, ours,
                ours / openssl, ours / openssl_avx2);
}

}  // namespace

int main(int argc, char** argv) {
    pin_to_one_core();
    if (argc > 1 && std::strcmp(argv[1], "--openssl-child") == 0) {
        for (const auto& [name, value] : measure_openssl()) {
            std::printf("%s %.3f\n", name.c_str(), value);
        }
        return 0;
    }

    // Leaf 7 EBX bit 29 is the SHA extensions; OpenSSL takes the second word
    // of OPENSSL_ia32cap as leaf 7 EBX:ECX.
    const results openssl = openssl_in_child(nullptr);
    const results openssl_avx2 = openssl_in_child(":~0x20000000");

    auto large = make_buffer(large_size + 1);
    const auto small = make_buffer(small_size);
    void* blocks = large.data();
    const std::uint64_t nblocks = large_size / 64;
    unsigned char out[32];
    const std::string key(93, '7');

    const auto& f = zvcrypto::cpu_info::features();
    std::printf("one core, %zu MiB buffers; this host dispatches SHA-256 to %s\n", large_size >> 20,
                f.avx2_bmi2_usable() ? "sha256_rorx/sha256_sse4"
                                     : (f.ecx1_[19] ? "sha256_sse4" : "X86_SHA256_HashBlocks"));
    std::printf("OpenSSL SHA-256: %.1f MB/s as it is, %.1f MB/s with SHA extensions masked\n\n",
                openssl.at("sha256"), openssl_avx2.at("sha256"));

    const double os = openssl.at("sha256");
    const double oa = openssl_avx2.at("sha256");
    zvcrypto::sha256 dispatched;
    row("sha256 (dispatch)", measure(large_size, [&] { dispatched.hash_string(large.data(), large_size, out); }), os, oa);
    row("sha256 (dispatch, odd address)",
        measure(large_size, [&] { dispatched.hash_string(large.data() + 1, large_size, out); }), os, oa);

    alignas(32) std::uint32_t state[8] = {};
    if (f.avx2_bmi2_usable()) {
        row("sha256_rorx", measure(large_size, [&] { zvcrypto::sha256_rorx(blocks, state, nblocks); }), os, oa);
    } else {
        std::printf("%-34s not run: no usable AVX2/BMI2 here\n", "sha256_rorx");
    }
    if (f.ecx1_[19] && f.ecx1_[9]) {
        row("sha256_sse4", measure(large_size, [&] { zvcrypto::sha256_sse4(blocks, state, nblocks); }), os, oa);
    } else {
        std::printf("%-34s not run: no SSSE3/SSE4.1 here\n", "sha256_sse4");
    }
    row("X86_SHA256_HashBlocks",
        measure(large_size, [&] {
            zvcrypto::X86_SHA256_HashBlocks(state, static_cast<const std::uint32_t*>(blocks), large_size);
        }),
        os, oa);
    portable_sha256 portable;
    row("sha256::transform (portable)", measure(large_size, [&] { portable.blocks(blocks, nblocks); }), os, oa);

    std::printf("\n");
    zvcrypto::md5 md5;
    row("md5", measure(large_size, [&] { md5.hash_string(large.data(), large_size, out); }), openssl.at("md5"),
        openssl_avx2.at("md5"));
    zvcrypto::hmac mac(zvcrypto::sha256(), key);
    row("hmac-sha256", measure(large_size, [&] { mac.hash_string(large.data(), large_size, out); }),
        openssl.at("hmac"), openssl_avx2.at("hmac"));
    row("hmac-sha256, 64-byte messages", measure(small_size, [&] { mac.hash_string(small.data(), small_size, out); }),
        openssl.at("hmac64"), openssl_avx2.at("hmac64"));
    std::printf("\n(HMAC per message includes OpenSSL's key setup; ours reuses the prepared pads.)\n");
    return 0;
}
