// Signal handling of a module run: SIGINT, SIGTERM and SIGSEGV end it with status 17
// after the module's clean-up, SIGTSTP and SIGCONT pause and resume it together with
// the archiver, SIGPIPE is caught so a closed pipe does not end it. The module installs
// one handler object in init; destroying it gives the six signals their default actions.
// A termination waits for a deferred step, and for its own clean-up, at most
// termination_limit() seconds (SIGALRM watches meanwhile); then the step's programs
// are ended and the module's overdue clean-up runs instead.
//
//   { ZvModuleSignalHandler::TerminationDeferred deferred;  // a step not to cut in two
//     merge_snapshots(); }                                   // a SIGTERM meanwhile acts here
#pragma once

#include <csignal>
#include <memory>

class ZvModuleUniversal;

class ZvModuleSignalHandler {
public:
    explicit ZvModuleSignalHandler(ZvModuleUniversal* module);
    ~ZvModuleSignalHandler();
    ZvModuleSignalHandler(const ZvModuleSignalHandler&) = delete;
    ZvModuleSignalHandler& operator=(const ZvModuleSignalHandler&) = delete;

    static std::unique_ptr<ZvModuleSignalHandler> init(ZvModuleUniversal* module);

    // Terminates the descendant processes, lets the module clean up once and ends the
    // process with 17. Runs with every handled signal blocked.
    static void shutdown_handler(int sig);
    static void pause_handler(int sig);
    static void continue_handler(int sig);
    static void sigpipe_handler(int sig);

    // True when a SIGINT or SIGTERM is held back by a deferral, or the termination's
    // clean-up runs. A step that waits (a pause, a program in the guest) stops
    // waiting then, so that the deferral ends soon and the termination is served.
    static bool termination_pending();
    // How long, in seconds, a termination waits for the step it finds under way and
    // for the clean-up it starts; 60 unless the module parameters say otherwise.
    static void set_termination_limit(unsigned seconds);
    static unsigned termination_limit();
    // Runs while a termination waits: once it has waited past the limit, the
    // descendant processes are ended, the module's overdue clean-up runs and the
    // process ends with 17.
    static void watch_handler(int sig);
    // Sleeps for `milliseconds` unless a termination is pending or becomes pending
    // meanwhile; false in that case.
    static bool sleep_unless_terminating(int milliseconds);

    // Holds SIGINT and SIGTERM back for its lifetime; one that arrives meanwhile is
    // handled when the outermost deferral ends. For steps whose half-done state a
    // clean-up could not undo: a snapshot being taken, overlays being merged back.
    // Waits inside such a step ask termination_pending() and cut themselves short.
    class TerminationDeferred {
    public:
        TerminationDeferred();
        ~TerminationDeferred();
        TerminationDeferred(const TerminationDeferred&) = delete;
        TerminationDeferred& operator=(const TerminationDeferred&) = delete;

    private:
        sigset_t previous_;
        bool watching_ = false;  // this deferral started the watch
    };

    static ZvModuleUniversal* module_ptr_;
};
