// Stand-in for the product's archiver "/opt/zelvor/bin/zvfd", for machines where the
// real one cannot be installed. It honours the archiver's command lines, output lines
// and exit codes, and does the data work for real in a simple format of its own.
#include "zvfd_cli.h"
#include "zvfd_io.h"
#include "zvfd_ops.h"

#include <signal.h>
#include <unistd.h>

#include <iostream>

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

int fail(zvfd::Output* out, const std::string& message, int code = 1) {
    if (out) out->flush();
    std::cerr << "zvfd: error: " << message << std::endl;
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    reset_signals();
    zvfd::Options options;
    zvfd::Mode mode;
    try {
        zvfd::log_argv(argc, argv);
        options = zvfd::parse_options(argc, argv);
        mode = zvfd::select_mode(options);
    } catch (const std::exception& e) {
        return fail(nullptr, e.what());
    }
    zvfd::Switches switches = zvfd::read_switches(mode);
    zvfd::Output out(switches);
    const bool runner = mode == zvfd::Mode::Backup || mode == zvfd::Mode::Restore;
    if (runner) out.pid_line();
    if (switches.fail_code) return fail(&out, "failure requested by ZVFD_STANDIN_FAIL", switches.fail_code);
    if (switches.hang) {
        if (runner) out.line(mode == zvfd::Mode::Backup ? "Packed: 0%" : "Unpacked: 0%");
        for (;;) ::pause();
    }
    int code = 0;
    try {
        switch (mode) {
            case zvfd::Mode::Backup: code = zvfd::run_backup(options, switches, out); break;
            case zvfd::Mode::Restore: code = zvfd::run_restore(options, switches, out); break;
            case zvfd::Mode::List: code = zvfd::run_list(options); break;
            case zvfd::Mode::Verify: code = zvfd::run_verify(options); break;
        }
    } catch (const std::exception& e) {
        return fail(&out, e.what());
    }
    if (code == 0 && switches.defect) {
        out.flush();
        std::cerr << "zvfd: defect: reported as requested by ZVFD_STANDIN_DEFECT" << std::endl;
        code = 100;
    }
    return code;
}
