#include "support/gost_openssl.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace zv_test {

namespace {

std::string to_hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

// A scratch directory for one openssl run, removed with its files.
class scratch_dir {
public:
    scratch_dir() {
        char name[] = "/tmp/zv_gost_XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        path_ = name;
    }
    ~scratch_dir() {
        for (const char* f : {"/in", "/out", "/log"}) ::unlink((path_ + f).c_str());
        ::rmdir(path_.c_str());
    }
    std::string file(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs `openssl enc -engine gost` with the given cipher arguments on `data`,
// without a shell, and returns what it wrote to its output file.
std::string run_openssl_enc(const std::vector<std::string>& cipher_args, const std::string& data) {
    scratch_dir dir;
    write_file(dir.file("in"), data);
    std::vector<std::string> args = {"openssl", "enc", "-engine", "gost"};
    args.insert(args.end(), cipher_args.begin(), cipher_args.end());
    args.insert(args.end(), {"-in", dir.file("in"), "-out", dir.file("out")});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The engine announces itself on standard output; keep both streams for errors.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = dir.file("log");
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error(std::string("cannot start openssl: ") + std::strerror(rc));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid on openssl failed");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("openssl enc -engine gost failed: " + read_file(log));
    }
    return read_file(dir.file("out"));
}

}  // namespace

std::string gost_ctr_encrypt(const std::string& key, const std::string& iv, const std::string& data) {
    if (key.size() != 32) throw std::invalid_argument("gost_ctr_encrypt: the key must be 32 bytes");
    if (iv.size() > 8) throw std::invalid_argument("gost_ctr_encrypt: the IV may be at most 8 bytes");
    std::string padded_iv = iv;
    padded_iv.resize(8, '\0');
    return run_openssl_enc({"-kuznyechik-ctr", "-K", to_hex(key), "-iv", to_hex(padded_iv)}, data);
}

std::string gost_ecb_encrypt(const std::string& key, const std::string& data) {
    if (key.size() != 32) throw std::invalid_argument("gost_ecb_encrypt: the key must be 32 bytes");
    if (data.size() % 16 != 0) throw std::invalid_argument("gost_ecb_encrypt: whole blocks only");
    return run_openssl_enc({"-kuznyechik-ecb", "-nopad", "-K", to_hex(key)}, data);
}

}  // namespace zv_test
