// The archiver "/opt/zelvor/bin/zvfd": backups into a media server's repository or an
// archive file, restores, listings and signature checks (usage: zvfd --help).
#include "zvfd/cli.h"
#include "zvfd/io.h"
#include "zvfd/ops.h"
#include "zvfd/part_files.h"

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace {

// A stop request stops for certain, even in an orphaned process group where the
// kernel would drop the default SIGTSTP.
void stop_self(int) { ::kill(::getpid(), SIGSTOP); }

void reset_signals() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_DFL;
    for (int sig : {SIGCONT, SIGTERM, SIGINT, SIGHUP, SIGQUIT}) ::sigaction(sig, &sa, nullptr);
    sa.sa_handler = SIG_IGN;  // a reader that went away must not end the data work
    ::sigaction(SIGPIPE, &sa, nullptr);
    sa.sa_handler = stop_self;
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTSTP, &sa, nullptr);
    sigset_t all;
    sigemptyset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);
}

// Most of a run's memory is touched once, in large structures (the block index,
// records of several MiB, packs): on huge pages a run takes a few hundred page faults
// instead of hundreds of thousands, and on a virtual machine each one traps to the
// hypervisor. The C library reads this switch only when a program starts, so the
// archiver starts itself once more with it (same process, same arguments); a library
// that does not know it ignores it, and a caller that set it keeps its choice.
void start_on_huge_pages(char** argv) {
    static const char kSwitch[] = "glibc.malloc.hugetlb=1";
    const char* set = ::getenv("GLIBC_TUNABLES");
    std::string tunables = set ? set : "";
    if (tunables.find("glibc.malloc.hugetlb=") != std::string::npos) return;
    tunables = tunables.empty() ? kSwitch : tunables + ":" + kSwitch;
    if (::setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
    ::execv("/proc/self/exe", argv);
    // Without /proc, or with the binary replaced meanwhile, it simply runs on.
}

int fail(zvfd::Output* out, const std::string& message, int code = 1) {
    if (out) out->flush();
    std::cerr << "zvfd: error: " << zvfd::printable(message) << std::endl;
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    start_on_huge_pages(argv);
    reset_signals();
    zvfd::remove_part_files_on_termination();
    // Packs and pieces are buffers of a few MiB, taken and given back all the time:
    // kept in the heap, they are reused; handed back to the system each time, every
    // reuse pays for faulting their pages in again.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    zvfd::Options options;
    zvfd::Mode mode;
    try {
        zvfd::log_argv(zvfd::read_test_aid(nullptr), argc, argv);
        if (argc < 2) {
            std::cerr << zvfd::usage_text();
            return 1;
        }
        options = zvfd::parse_options(argc, argv);
        mode = zvfd::select_mode(options);
    } catch (const std::exception& e) {
        return fail(nullptr, e.what());
    }
    if (mode == zvfd::Mode::Help) {
        std::cout << zvfd::usage_text();
        return 0;
    }
    const zvfd::TestAid aid = zvfd::read_test_aid(&mode);
    zvfd::Output out(aid);
    const bool runner = mode == zvfd::Mode::Backup || mode == zvfd::Mode::Add || mode == zvfd::Mode::Restore;
    if (runner) out.pid_line();
    if (aid.fail_code) return fail(&out, "failure requested by ZVFD_TEST_AID", aid.fail_code);
    if (aid.hang) {
        if (runner) out.line(mode == zvfd::Mode::Restore ? "Unpacked: 0%" : "Packed: 0%");
        for (;;) ::pause();
    }
    int code = 0;
    try {
        switch (mode) {
            case zvfd::Mode::Backup: code = zvfd::run_backup(options, aid, out); break;
            case zvfd::Mode::Add: code = zvfd::run_add(options, aid, out); break;
            case zvfd::Mode::Restore: code = zvfd::run_restore(options, aid, out); break;
            case zvfd::Mode::List: code = zvfd::run_list(options); break;
            case zvfd::Mode::Verify: code = zvfd::run_verify(options); break;
            case zvfd::Mode::Check: code = zvfd::run_check(options, out); break;
            case zvfd::Mode::Help: break;
        }
    } catch (const std::exception& e) {
        return fail(&out, e.what());
    }
    if (code == 0 && aid.defect) {
        out.flush();
        std::cerr << "zvfd: defect: reported as requested by ZVFD_TEST_AID" << std::endl;
        code = 100;
    }
    return code;
}
