// Signal handling of a module run. The handlers interrupt the single-threaded main
// flow anywhere; everything they log goes through the logger's signal context, which
// never waits for a lock the interrupted code may hold.
#include "modules_common/zv_signal_handler.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "modules_common/zv_modules_common.h"

#include <sys/time.h>
#include <time.h>
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
std::atomic_flag overdue_started = ATOMIC_FLAG_INIT;

// The watch of a termination that waits: a SIGALRM every fifth of a second while a
// step defers terminations or a termination's clean-up runs, since a held-back signal
// announces nothing and the main flow may be blocked in a child that never ends.
unsigned termination_limit_seconds = 60;
volatile sig_atomic_t watching = 0;
volatile sig_atomic_t termination_seen = 0;
timespec termination_seen_at{};  // written once, before termination_seen is set
constexpr long watch_interval_microseconds = 200 * 1000;

bool termination_signal_pending() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) return false;
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

void note_termination() {
    if (termination_seen) return;
    clock_gettime(CLOCK_MONOTONIC, &termination_seen_at);
    termination_seen = 1;
}

bool termination_overdue() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double waited = static_cast<double>(now.tv_sec - termination_seen_at.tv_sec) +
                          static_cast<double>(now.tv_nsec - termination_seen_at.tv_nsec) / 1e9;
    return waited >= static_cast<double>(termination_limit_seconds);
}

// False when the watch already runs (a deferral inside the clean-up, say).
bool start_watch() {
    if (watching) return false;
    struct sigaction action {};
    action.sa_handler = ZvModuleSignalHandler::watch_handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGTSTP);
    sigaddset(&action.sa_mask, SIGCONT);
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);
    itimerval timer{};
    timer.it_interval.tv_usec = watch_interval_microseconds;
    timer.it_value.tv_usec = watch_interval_microseconds;
    setitimer(ITIMER_REAL, &timer, nullptr);
    watching = 1;
    return true;
}

void stop_watch() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    // An alarm already sent is dropped by the ignoring disposition rather than
    // delivered to the default one, which would end the process.
    std::signal(SIGALRM, SIG_IGN);
    std::signal(SIGALRM, SIG_DFL);
    watching = 0;
}

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

// Ends the descendant processes, lets the module clean up with `clean_up` and ends
// the process with 17. No exit handlers or static destructors: they would tear down
// state the interrupted code is still in the middle of using.
[[noreturn]] void end_run(void (ZvModuleUniversal::*clean_up)()) {
    {
        ZvDestination::SignalContext in_handler;
        zv_utils_common::kill_childs(getpid());
        if (ZvModuleSignalHandler::module_ptr_ != nullptr) {
            try {
                (ZvModuleSignalHandler::module_ptr_->*clean_up)();
            } catch (...) {
                // The process ends with 17 whatever the clean-up ran into; its steps
                // log their own failures.
            }
        }
        ZvLogStream(ZvLogLvl::Info) << "Module was terminated. PID: " << getpid() << std::endl;
    }
    std::cout.flush();
    std::fflush(nullptr);
    _exit(17);
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
    if (watching) stop_watch();
    for (int sig : handled_signals) std::signal(sig, SIG_DFL);
    module_ptr_ = nullptr;  // the module is going away; no handler may reach it
}

std::unique_ptr<ZvModuleSignalHandler> ZvModuleSignalHandler::init(ZvModuleUniversal* module) {
    return std::make_unique<ZvModuleSignalHandler>(module);
}

void ZvModuleSignalHandler::shutdown_handler(int sig) {
    if (sig != SIGINT && sig != SIGTERM && sig != SIGSEGV) return;
    if (shutdown_started.test_and_set()) return;
    // The clean-up gets the rest of the limit that started when the termination was
    // first seen (held back by a deferred step, maybe).
    note_termination();
    start_watch();
    end_run(&ZvModuleUniversal::handle_shutdown_signal);
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
    return termination_seen || termination_signal_pending();
}

void ZvModuleSignalHandler::set_termination_limit(unsigned seconds) { termination_limit_seconds = seconds; }

unsigned ZvModuleSignalHandler::termination_limit() { return termination_limit_seconds; }

void ZvModuleSignalHandler::watch_handler(int sig) {
    if (sig != SIGALRM) return;
    if (!termination_seen) {
        if (!termination_signal_pending()) return;
        note_termination();
        ZvDestination::SignalContext in_handler;
        ZvLogStream(ZvLogLvl::Info) << "Termination requested: the step under way is finished first, "
                                    << "for at most " << termination_limit_seconds << " s" << std::endl;
    }
    if (!termination_overdue() || overdue_started.test_and_set()) return;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    {
        ZvDestination::SignalContext in_handler;
        ZvLogStream(ZvLogLvl::Warning) << "The termination has waited " << termination_limit_seconds
                                       << " s for the step under way: its programs are ended, and the "
                                       << "module puts back what it can" << std::endl;
    }
    end_run(&ZvModuleUniversal::handle_overdue_termination);
}

bool ZvModuleSignalHandler::sleep_unless_terminating(int milliseconds) {
    // A held-back signal does not interrupt a sleep: look in short steps. A watch's
    // alarm may cut a step short, so the time is taken from the clock.
    constexpr long step = 50;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (termination_pending()) return false;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long slept = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (slept >= milliseconds) break;
        usleep(static_cast<useconds_t>(std::min(step, milliseconds - slept)) * 1000);
    }
    return !termination_pending();
}

ZvModuleSignalHandler::TerminationDeferred::TerminationDeferred() {
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    sigprocmask(SIG_BLOCK, &termination, &previous_);
    watching_ = start_watch();
}

ZvModuleSignalHandler::TerminationDeferred::~TerminationDeferred() {
    // A termination held back meanwhile is served as the mask comes back; its
    // clean-up starts the watch again, with the time it has already waited.
    if (watching_) stop_watch();
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
}
