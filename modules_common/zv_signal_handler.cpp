// Signal handling of a module run. The handlers interrupt the single-threaded main
// flow anywhere; everything they log goes through the logger's signal context, which
// never waits for a lock the interrupted code may hold.
#include "modules_common/zv_signal_handler.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "modules_common/zv_modules_common.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>

ZvModuleUniversal* ZvModuleSignalHandler::module_ptr_ = nullptr;

namespace {

// Installed and reset in this order.
constexpr int handled_signals[] = {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE};

std::atomic_flag shutdown_started = ATOMIC_FLAG_INIT;

void install(int sig, void (*handler)(int), std::initializer_list<int> also_blocked) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int other : also_blocked) sigaddset(&action.sa_mask, other);
    // As signal() does: interrupted system calls resume, the handler stays installed
    // and its own signal waits while it runs.
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, nullptr);
}

}  // namespace

ZvModuleSignalHandler::ZvModuleSignalHandler(ZvModuleUniversal* module) {
    module_ptr_ = module;
    ZvDestination::SignalContext::note_time_zone();
    // The clean-up runs once and whole: a second termination signal, a pause or a
    // continue that arrives during it stays pending until the process has ended.
    install(SIGINT, shutdown_handler, {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE});
    install(SIGTERM, shutdown_handler, {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE});
    install(SIGSEGV, shutdown_handler, {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE});
    // A pause must be able to end by SIGCONT and by a termination while it sleeps; the
    // SIGCONT that comes before the pause flag is set waits until it is (set_to_pause).
    install(SIGTSTP, pause_handler, {SIGCONT});
    // A SIGTSTP during a continue would sleep on top of it and wait for a SIGCONT that
    // cannot come before the continue has ended.
    install(SIGCONT, continue_handler, {SIGTSTP});
    install(SIGPIPE, sigpipe_handler, {});
}

ZvModuleSignalHandler::~ZvModuleSignalHandler() {
    for (int sig : handled_signals) std::signal(sig, SIG_DFL);
    module_ptr_ = nullptr;  // the module is going away; no handler may reach it
}

std::unique_ptr<ZvModuleSignalHandler> ZvModuleSignalHandler::init(ZvModuleUniversal* module) {
    return std::make_unique<ZvModuleSignalHandler>(module);
}

void ZvModuleSignalHandler::shutdown_handler(int sig) {
    if (sig != SIGINT && sig != SIGTERM && sig != SIGSEGV) return;
    if (shutdown_started.test_and_set()) return;
    {
        ZvDestination::SignalContext in_handler;
        zv_utils_common::kill_childs(getpid());
        if (module_ptr_ != nullptr) {
            try {
                module_ptr_->handle_shutdown_signal();
            } catch (...) {
                // The process ends with 17 whatever the clean-up ran into; its steps
                // log their own failures.
            }
        }
        ZvLogStream(ZvLogLvl::Info) << "Module was terminated. PID: " << getpid() << std::endl;
    }
    std::cout.flush();
    std::fflush(nullptr);
    // No exit handlers or static destructors: they would tear down state the
    // interrupted code is still in the middle of using.
    _exit(17);
}

void ZvModuleSignalHandler::pause_handler(int sig) {
    if (sig != SIGTSTP || module_ptr_ == nullptr) return;
    // A run that is being ended is not paused: the pause would hold its clean-up.
    if (termination_pending()) return;
    ZvDestination::SignalContext in_handler;
    module_ptr_->send_signal_to_zvfd(SIGTSTP);
    module_ptr_->set_to_pause();
}

void ZvModuleSignalHandler::continue_handler(int sig) {
    if (sig != SIGCONT || module_ptr_ == nullptr) return;
    ZvDestination::SignalContext in_handler;
    module_ptr_->continue_working();
    module_ptr_->send_signal_to_zvfd(SIGCONT);
}

void ZvModuleSignalHandler::sigpipe_handler(int) {}

bool ZvModuleSignalHandler::termination_pending() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) return false;
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

bool ZvModuleSignalHandler::sleep_unless_terminating(int milliseconds) {
    // A held-back signal does not interrupt a sleep: look in short steps.
    constexpr int step = 50;
    for (int slept = 0; slept < milliseconds; slept += step) {
        if (termination_pending()) return false;
        const int now = std::min(step, milliseconds - slept);
        usleep(static_cast<useconds_t>(now) * 1000);
    }
    return !termination_pending();
}

ZvModuleSignalHandler::TerminationDeferred::TerminationDeferred() {
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    sigprocmask(SIG_BLOCK, &termination, &previous_);
}

ZvModuleSignalHandler::TerminationDeferred::~TerminationDeferred() {
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
}
