// What a termination signal undoes for the running operation, and the pause and
// continue of a run. These run inside the signal handlers (zv_signal_handler.cpp).
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"

#include <boost/filesystem.hpp>

#include <signal.h>
#include <unistd.h>

#include <set>

namespace fs = boost::filesystem;

static_assert(std::atomic<bool>::is_always_lock_free,
              "the pause flag is written by one signal handler while another reads it");

void ZvModuleUniversal::handle_shutdown_signal() {
    shutdown_requested = true;
    switch (options_.operation) {
        case ZvModuleOperations::Backup:
        case ZvModuleOperations::BackupList:
        case ZvModuleOperations::CreateReplica:
            // Only a preparation that completed has anything to release, and it is
            // released once: the run's own release holds termination back until done.
            release_prepared_resource();
            // A snapshot file being packed is no result: it never gets its own name.
            if (!options_.tmp_operation_directory.empty() && !options_.archive_name.empty()) {
                boost::system::error_code ec;
                fs::remove(packing_snapshot_filename(), ec);
            }
            break;
        case ZvModuleOperations::Restore: {
            // Before the restore directory exists the operation directory is the
            // client's, and a directory of -i or of an earlier run of the record is
            // not this run's to remove.
            if (!remove_tmp_operation_directory || created_restore_directory_.empty()) break;
            boost::system::error_code ec;
            if (!fs::exists(created_restore_directory_, ec)) break;
            ZvLogStream(ZvLogLvl::Info) << "Remove temporary operation directory: "
                                        << created_restore_directory_ << std::endl;
            fs::remove_all(created_restore_directory_, ec);
            if (ec)
                ZvLogStream(ZvLogLvl::Error) << "virtual void ZvModuleUniversal::handle_shutdown_signal(): "
                                             << "can't remove " << created_restore_directory_ << ": "
                                             << ec.message() << std::endl;
            break;
        }
        case ZvModuleOperations::ApplyReplica:
            remove_reference_snapshot_directory();
            break;
        default:
            break;
    }
}

void ZvModuleUniversal::handle_overdue_termination() { shutdown_requested = true; }

int ZvModuleUniversal::define_own_restore_directory() {
    // The directory and the note of who made it come together, or not at all.
    ZvModuleSignalHandler::TerminationDeferred deferred;
    const std::string client_directory = options_.tmp_operation_directory;
    std::set<std::string> existing;
    boost::system::error_code ec;
    for (fs::directory_iterator it(client_directory, ec), end; !ec && it != end; it.increment(ec))
        existing.insert(it->path().filename().string());

    const int status = define_restore_directory();
    if (status != 0) return status;
    const std::string& defined = options_.tmp_operation_directory;
    const std::string prefix = client_directory + "/";
    if (defined.size() > prefix.size() && defined.compare(0, prefix.size(), prefix) == 0) {
        const std::string name = defined.substr(prefix.size());
        if (name.find('/') == std::string::npos && existing.count(name) == 0 &&
            fs::is_directory(defined, ec))
            created_restore_directory_ = defined;
    }
    return 0;
}

void ZvModuleUniversal::set_to_pause() {
    ZvLogStream(ZvLogLvl::Info) << "Module pid: " << getpid() << " put on pause" << std::endl;
    paused = true;
    // SIGCONT was held back until the flag is set (the SIGTSTP handler's mask): a
    // continue that came early clears it now instead of being lost.
    sigset_t cont;
    sigemptyset(&cont);
    sigaddset(&cont, SIGCONT);
    sigprocmask(SIG_UNBLOCK, &cont, nullptr);
    // A termination ends the pause as well. Outside a deferred step its handler runs
    // on top of this one and ends the process; inside one it is held back, so the
    // pause gives way and the step, seeing it pending, stops soon after.
    while (is_paused() && ZvModuleSignalHandler::sleep_unless_terminating(50)) {
    }
}

void ZvModuleUniversal::continue_working() {
    ZvLogStream(ZvLogLvl::Info) << "Module pid: " << getpid() << " continue working" << std::endl;
    paused = false;
}
