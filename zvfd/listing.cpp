// Listing a metadata file, checking a signature, and running openssl for both.
#include "zvfd/io.h"
#include "zvfd/ops.h"
#include "zvfd/part_files.h"
#include "zvfd/record.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

namespace zvfd {

std::string as_operand(const std::string& path) {
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

int run_program(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::cout.flush();
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        unblock_termination();
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

int run_list(const Options& options) {
    const Record record = read_meta_file(options.value("-l"));
    const bool verbose = !options.value("-v").empty() && options.value("-v") != "0";
    for (const auto& f : record.files) {
        if (verbose)
            std::cout << f.size << ' ' << printable(f.name) << '\n';
        else
            std::cout << printable(f.name) << '\n';
    }
    std::cout.flush();
    if (!std::cout) throw Error("cannot write the listing");
    return 0;
}

int run_verify(const Options& options) {
    for (const char* needed : {"-n", "-g", "--public-key"})
        if (options.value(needed).empty()) throw Error(std::string("verification needs ") + needed);
    // Every name goes as a file: a name such as "-h" must not become an option.
    const int status = run_program({"openssl", "dgst", "-sha256", "-verify", as_operand(options.value("--public-key")),
                                    "-signature", as_operand(options.value("-g")), as_operand(options.value("-n"))});
    if (status != 0) throw Error("signature of " + options.value("-n") + " does not verify");
    return 0;
}

}  // namespace zvfd
