// The backup, replica-creation, restore and replica-application sequences of a run.
#include "modules_common/zv_modules_common.h"

#include "common/config_file.h"
#include "common/zv_logger.h"

#include <boost/filesystem.hpp>
#include <boost/format.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

namespace fs = boost::filesystem;

namespace {

std::string quoted(const std::string& text) { return zelvor::as_quoted(text, '"', '\\'); }

const char* const defect_warning =
    "The work of the module is completed without a guarantee of completeness and consistency "
    "of the data";

}  // namespace

bool ZvModuleUniversal::reassign_resource_locker(const std::string& resource) {
    try {
        const std::string module_name = fs::path(options_.module_path).filename().generic_string();
        if (!resource_lock.module_name().empty() && !resource_lock.resource_name().empty() &&
            resource_lock.module_name() != module_name && resource_lock.resource_name() != resource) {
            ZvLogStream(ZvLogLvl::Warning)
                << (boost::format("lock resource changes for [ module, resource ] pair { %1%, %2% } "
                                  "-> { %3%, %4% }!") %
                    quoted(resource_lock.module_name()) % quoted(resource_lock.resource_name()) %
                    quoted(module_name) % quoted(resource))
                       .str()
                << std::endl;
        }
        zelvor::module::resource_file_lock lock(module_name, resource);
        resource_lock.swap(lock);
        return true;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error)
            << "bool ZvModuleUniversal::reassign_resource_locker(const string&): "
            << (boost::format("%1% resource locking failed (%2%)!") % quoted(resource) % e.what()).str()
            << std::endl;
        return false;
    }
}

bool ZvModuleUniversal::lock_resource(const std::string& name,
                                      zelvor::module::resource_file_scoped_lock& holder) {
    if (!options_.single_data_source) return true;
    if (!reassign_resource_locker(name)) return false;
    if (!resource_lock.try_lock()) {
        ZvLogStream(ZvLogLvl::Error) << "resource " << quoted(resource_lock.resource_name())
                                     << " is busy by another process!" << std::endl;
        return false;
    }
    zelvor::module::resource_file_scoped_lock owned(resource_lock,
                                                    boost::interprocess::accept_ownership);
    holder.swap(owned);
    ZvLogStream(ZvLogLvl::Debug) << "resource" << quoted(resource_lock.resource_name()) << " locked."
                                 << std::endl;
    return true;
}

bool ZvModuleUniversal::resource_identity(std::string& identity) {
    identity.clear();
    return true;
}

bool ZvModuleUniversal::lock_resource_identity(zelvor::module::resource_file_scoped_lock& holder) {
    if (!options_.single_data_source) return true;
    try {
        std::string identity;
        if (!resource_identity(identity)) return false;
        // The same text is the lock already held: a second descriptor on that file
        // would give the lock up again when it is closed.
        if (identity.empty() || identity == options_.resource) return true;
        const std::string module_name = fs::path(options_.module_path).filename().generic_string();
        zelvor::module::resource_file_lock lock(module_name, identity);
        identity_lock.swap(lock);
        if (!identity_lock.try_lock()) {
            ZvLogStream(ZvLogLvl::Error) << "resource " << quoted(options_.resource) << " ("
                                         << quoted(identity) << ") is busy by another process!"
                                         << std::endl;
            return false;
        }
        zelvor::module::resource_file_scoped_lock owned(identity_lock,
                                                        boost::interprocess::accept_ownership);
        holder.swap(owned);
        return true;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error)
            << "bool ZvModuleUniversal::lock_resource_identity(): "
            << (boost::format("%1% resource locking failed (%2%)!") % quoted(options_.resource) % e.what()).str()
            << std::endl;
        return false;
    }
}

bool ZvModuleUniversal::release_prepared_resource() {
    // The preparation is undone exactly once, whichever path (normal end, error,
    // exception, termination signal) gets here first. A termination that comes during
    // the release waits for its end: cut short, a merge would leave the resource on
    // its snapshots with nobody left to finish it.
    ZvModuleSignalHandler::TerminationDeferred deferred;
    if (!release_pending_) return true;
    release_pending_ = false;
    return release_resource_after_backup();
}

unsigned int ZvModuleUniversal::run_backup(bool replication) {
    const bool list_backup = options_.operation == ZvModuleOperations::BackupList;
    zelvor::module::resource_file_scoped_lock holder, identity_holder;
    if (!lock_resource(options_.resource, holder)) return 2;

    if (!load_module_config()) {
        ZvLogStream(ZvLogLvl::Error) << "Unable to load configuration from config file." << std::endl;
        return 2;
    }
    if (options_.tmp_operation_directory.empty()) {
        ZvLogStream(ZvLogLvl::Error)
            << "Backup module: you must define tmp_operation_directory directory." << std::endl;
        return 4;
    }
    if (options_.archive_name.empty()) {
        ZvLogStream(ZvLogLvl::Error) << "Backup module: you must define archive name." << std::endl;
        return 5;
    }
    // Artefacts and work directories are named after the archive inside the
    // operation directory, which is removed recursively later on.
    if (!check_name_in_operation_directory("Archive name", options_.archive_name)) return 5;
    // This run writes its snapshot file and directory, and then deletes its reference
    // as obsolete: a reference that is one of them would be overwritten while read, or
    // the new snapshot file deleted after it was announced.
    if (!options_.reference_snapshot.empty() && names_own_snapshot(options_.reference_snapshot)) {
        ZvLogStream(ZvLogLvl::Error)
            << "Backup module: reference snapshot file " << quoted(options_.reference_snapshot)
            << " can't be used: this backup writes its own snapshot file "
            << snapshot_filename() << " and snapshot directory " << snapshot_directory_path()
            << " there. Give the reference of an earlier backup, under another archive name."
            << std::endl;
        return 2;
    }

    if (options_.local_restrictions) {
        // The list was asked for: a list that cannot be read refuses the run rather
        // than let a restricted resource through (read_local_restrictions says why).
        std::vector<std::string> restrictions;
        if (!read_local_restrictions(restrictions)) {
            ZvLogStream(ZvLogLvl::Error)
                << "Backup module: Unable to backup this resource " << quoted(options_.resource)
                << ": the local restriction list " << quoted(options_.restriction_list_path)
                << " can't be read, so the resource may be restricted." << std::endl;
            return 11;
        }
        if (replication) {
            if (!check_local_restrictions()) {
                ZvLogStream(ZvLogLvl::Error)
                    << "Backup module: " << "Unable to backup this resource "
                    << quoted(options_.resource) << " due to the local restriction." << std::endl;
                return 11;
            }
        } else if (list_backup) {
            if (!options_.resource_list.check_local_restrictions(restrictions)) return 11;
        } else if (!check_local_restrictions()) {
            ZvLogStream(ZvLogLvl::Error) << "Backup module:" << " Unable to backup this resource "
                                         << quoted(options_.resource) << "."
                                         << " Local restriction." << std::endl;
            return 11;
        }
    }
    if (!resource_exists()) {
        ZvLogStream(ZvLogLvl::Error) << "Backup module: Unable to backup this resource "
                                     << quoted(options_.resource) << "." << " Resource doesn't exist."
                                     << std::endl;
        return 2;
    }
    // The same resource under another name (a domain by its UUID, say) is busy too.
    if (!lock_resource_identity(identity_holder)) return 2;
    if (!options_.reference_snapshot.empty() &&
        unpack_snapshot_file(options_.reference_snapshot) != 0) {
        ZvLogStream(ZvLogLvl::Error) << "Backup module: Unable to unpack reference snapshot file: "
                                     << quoted(options_.reference_snapshot) << "." << std::endl;
        return 2;
    }
    // The work directories are made only once the run is known to go ahead, so a
    // refused or missing resource leaves nothing behind.
    fs::create_directories(snapshot_directory_path());
    fs::create_directories(leveldb_directory_path());

    {
        // A termination waits until the preparation has completed, and then releases
        // it, or until the preparation has undone itself: its half-done state (a
        // snapshot being taken) is something no release could find.
        ZvModuleSignalHandler::TerminationDeferred deferred;
        if (!prepare_resource_before_backup(replication)) return 6;
        release_pending_ = true;
    }

    // From here on the domain may run on its overlays: whatever throws, the release
    // runs (once) before the exception goes on to run(), which reports it as such.
    try {
        const bool ok = make_backup();
        if (!release_prepared_resource()) return 6;
        if (ok && !close_backup(replication)) return 6;
        if (!ok) return 6;
    } catch (...) {
        try {
            release_prepared_resource();
        } catch (const std::exception& again) {
            ZvLogStream(ZvLogLvl::Error) << "unsigned int ZvModuleUniversal::run(): release failed: "
                                         << again.what() << std::endl;
        } catch (...) {
        }
        throw;
    }
    if (defect_flag) {
        ZvLogStream(ZvLogLvl::Warning) << defect_warning << std::endl;
        return 100;
    }
    return 0;
}

unsigned int ZvModuleUniversal::run_restore(bool replication) {
    zelvor::module::resource_file_scoped_lock holder;
    if (!lock_resource(options_.record_id, holder)) return 2;

    if (!load_module_config()) {
        ZvLogStream(ZvLogLvl::Error) << "Unable to load configuration from config file." << std::endl;
        return 2;
    }
    auto unpack_failed = [this]() {
        ZvLogStream(ZvLogLvl::Error) << "Unable to unpack snapshot file: "
                                     << quoted(options_.meta_file) << "." << std::endl;
    };

    if (replication) {
        if (unpack_snapshot_file(options_.meta_file) != 0) {
            unpack_failed();
            remove_reference_snapshot_directory();
            return 2;
        }
        auto fail = [this]() {
            remove_reference_snapshot_directory();
            return 7u;
        };
        if (!before_restore()) return fail();
        const bool ok = apply_replica();
        if (!after_restore() || !ok) return fail();
        if (!after_restore_last_file()) return fail();
        if (!deployment(true)) return fail();
        remove_reference_snapshot_directory();
    } else {
        if (define_own_restore_directory() != 0) return 7;
        if (!options_.meta_file.empty() && unpack_snapshot_file(options_.meta_file) != 0) {
            unpack_failed();
            return 2;
        }
        auto fail_all = [this]() {
            last = true;
            close_restore();
            return 7u;
        };
        if (!before_restore()) return fail_all();
        const bool ok = make_restore(false);
        if (!after_restore() || !ok) return fail_all();
        if (last) {
            if (!after_restore_last_file()) {
                close_restore();
                return 7;
            }
            if (!without_deployment_restore && !deployment(false)) {
                close_restore();
                return 7;
            }
        }
        if (without_deployment_restore)
            remove_reference_snapshot_directory();
        else
            close_restore();
    }
    // The client's snapshot file has served once the record is in place; a failed or
    // defective run keeps it for the next try.
    if (!defect_flag) remove_obsolete_snapshot_file();
    if (defect_flag) {
        ZvLogStream(ZvLogLvl::Warning) << defect_warning << std::endl;
        return 100;
    }
    return 0;
}
