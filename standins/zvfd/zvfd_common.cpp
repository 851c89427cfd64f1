#include "zvfd_io.h"
#include "zvfd_ops.h"
#include "zvfd_format.h"

#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace zvfd {

PartFile::~PartFile() {
    if (!committed_) ::unlink(path_.c_str());
}

void PartFile::commit_to(const std::string& final_path) {
    if (::rename(path_.c_str(), final_path.c_str()) != 0) throw_errno("cannot put " + final_path + " in place");
    committed_ = true;
}

int run_program(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::execvp(args[0], args.data());
        std::perror(args[0]);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string key_digest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot read key file " + path);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) EVP_DigestUpdate(ctx, buffer, static_cast<std::size_t>(in.gcount()));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < len; ++i) {
        text += hex[md[i] >> 4];
        text += hex[md[i] & 15];
    }
    return text;
}

int run_list(const Options& options) {
    Index index = read_meta_file(options.value("-l"));
    bool verbose = !options.value("-v").empty() && options.value("-v") != "0";
    for (const auto& f : index.files) {
        if (verbose)
            std::cout << f.size << ' ' << f.name << '\n';
        else
            std::cout << f.name << '\n';
    }
    std::cout.flush();
    if (!std::cout) throw Error("cannot write the listing");
    return 0;
}

int run_verify(const Options& options) {
    for (const char* needed : {"-n", "-g", "--public-key"})
        if (options.value(needed).empty()) throw Error(std::string("verification needs ") + needed);
    int status = run_program({"openssl", "dgst", "-sha256", "-verify", options.value("--public-key"),
                              "-signature", options.value("-g"), options.value("-n")});
    if (status != 0) throw Error("signature of " + options.value("-n") + " does not verify");
    return 0;
}

}  // namespace zvfd
