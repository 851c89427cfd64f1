// The backup benchmark's clock on the module's own virsh commands: bound over
// /usr/bin/virsh, it runs the real virsh (ZV_BENCH_VIRSH_REAL) with the same arguments
// and appends "start end status arguments..." (seconds since the epoch) to the file
// ZV_BENCH_VIRSH_TIMES. It is a program, not a shell script calling date: a shell and
// two date processes cost about 25 ms here on each of the module's virsh commands,
// which would slow the module's side by half a second and the by-hand side not at all.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const char* real = std::getenv("ZV_BENCH_VIRSH_REAL");
    const char* times = std::getenv("ZV_BENCH_VIRSH_TIMES");
    if (!real || !times) {
        std::fprintf(stderr, "virsh_timed: ZV_BENCH_VIRSH_REAL and ZV_BENCH_VIRSH_TIMES must be set\n");
        return 127;
    }
    const double start = now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("virsh_timed: fork");
        return 127;
    }
    if (pid == 0) {
        argv[0] = const_cast<char*>(real);
        execv(real, argv);
        std::perror("virsh_timed: exec");
        _exit(127);
    }
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("virsh_timed: wait");
            return 127;
        }
    }
    const double end = now();
    const int status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    if (std::FILE* log = std::fopen(times, "a")) {
        std::fprintf(log, "%.6f %.6f %d", start, end, status);
        for (int i = 1; i < argc; ++i) std::fprintf(log, " %s", argv[i]);
        std::fputc('\n', log);
        std::fclose(log);
    }
    return status;
}
