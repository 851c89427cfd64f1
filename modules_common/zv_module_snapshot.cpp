// The artefacts a backup leaves in the temporary operation directory, the snapshot
// file (a gzip tar of the archiver's metadata directory), the restore directory and
// the closing steps after a backup or a restore.
#include "modules_common/zv_modules_common.h"

#include "common/config_file.h"
#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem.hpp>

#include <iostream>
#include <string>

namespace fs = boost::filesystem;

namespace {

const char* const unpack_signature = "int ZvModuleUniversal::unpack_snapshot_file(const string&)";
const char* const pack_signature = "int ZvModuleUniversal::pack_snapshot_file() const";
const char* const restore_directory_signature =
    "virtual int ZvModuleUniversal::define_restore_directory()";
const char* const close_backup_signature = "bool ZvModuleUniversal::close_backup(const bool&)";
const char* const close_restore_signature = "virtual void ZvModuleUniversal::close_restore()";
const char* const remove_reference_signature =
    "void ZvModuleUniversal::remove_reference_snapshot_directory()";
const char* const sparse_signature =
    "int ZvModuleUniversal::check_file_to_restore_for_sparse(const string&) const";
const char* const tar_program = "/bin/tar";

std::string in_quotes(const std::string& text) { return zelvor::as_quoted(text, '"', '\\'); }

// In an autonomous archive name "<vm>_full_<name>[_full_...]" the record's own name
// is the part after the first "_full_".
std::string restore_name_from_archive(const std::string& archive_name) {
    const std::string stem = fs::path(archive_name).stem().string();
    const std::string lower = boost::algorithm::to_lower_copy(stem);
    const std::string marker = "_full_";
    const auto first = lower.find(marker);
    if (first == std::string::npos) return stem;
    const auto start = first + marker.size();
    const auto next = lower.find(marker, start);
    return stem.substr(start, next == std::string::npos ? std::string::npos : next - start);
}

}  // namespace

std::string ZvModuleUniversal::archive_filename() const {
    return options_.tmp_operation_directory + "/" + options_.archive_name +
           (options_.autonomous ? ".zvfd" : "");
}

std::string ZvModuleUniversal::meta_filename() const {
    return snapshot_directory_path() + "/" + options_.archive_name + ".meta";
}

std::string ZvModuleUniversal::snapshot_filename() const {
    return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap";
}

std::string ZvModuleUniversal::snapshot_directory_path() const {
    return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir";
}

std::string ZvModuleUniversal::leveldb_directory_path() const {
    return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir/leveldb";
}

std::string ZvModuleUniversal::reference_snapshot_directory_path() const {
    ZvLogStream(ZvLogLvl::Debug)
        << "std::__cxx11::string ZvModuleUniversal::reference_snapshot_directory_path() const"
        << " : " << reference_snapshot_directory << std::endl;
    return reference_snapshot_directory;
}

std::string ZvModuleUniversal::archive_sign_filename() { return archive_filename() + ".signature"; }

bool ZvModuleUniversal::check_name_in_operation_directory(const std::string& what,
                                                          const std::string& name) const {
    if (!name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos)
        return true;
    ZvLogStream(ZvLogLvl::Error) << what << " " << in_quotes(name)
                                 << " can't name a file inside the temporary operation directory "
                                 << options_.tmp_operation_directory
                                 << ": it must not be empty, \".\" or \"..\" and must not contain"
                                 << " \"/\"" << std::endl;
    return false;
}

int ZvModuleUniversal::unpack_snapshot_file(const std::string& snapshot_file) {
    ZvLogStream(ZvLogLvl::Debug) << unpack_signature << " : " << "unpacking: " << snapshot_file
                                 << std::endl;
    const fs::path path(snapshot_file);
    const std::string extension = path.extension().string();
    // tar or the archiver would wait on a FIFO, or read a device without end.
    std::string reason;
    if (!zv_utils_common::is_regular_file_or_absent(snapshot_file, reason)) {
        ZvLogStream(ZvLogLvl::Error) << unpack_signature << ": " << in_quotes(snapshot_file)
                                     << " can't be used: " << reason << std::endl;
        return 12;
    }
    if (extension == ".meta") {
        options_.reference_meta_file = snapshot_file;
        return 0;
    }
    if (extension != ".snap") {
        ZvLogStream(ZvLogLvl::Error) << "Invalid snapshot file extension: "
                                     << in_quotes(snapshot_file)
                                     << std::endl;
        return 12;
    }

    const std::string directory =
        options_.tmp_operation_directory + "/" + path.stem().string() + ".snap_dir";
    reference_snapshot_directory = directory;
    if (fs::exists(directory)) {
        ZvLogStream(ZvLogLvl::Warning) << unpack_signature
                                       << ": Removing already existing directory " << directory
                                       << std::endl;
        fs::remove_all(directory);
    }
    fs::create_directories(directory);

    const std::string command =
        zv_utils_common::shell_command(tar_program, {"xzf", snapshot_file, "-C", directory});
    std::string output;
    const int status = zv_utils_common::execute_command(command, output);
    if (status != 0) {
        ZvLogStream(ZvLogLvl::Error) << unpack_signature << ": command: '" << command
                                     << "' returned code: " << status << " result: " << output
                                     << std::endl;
        return 12;
    }
    // The file is the client's reference for this backup: it is deleted only once the
    // backup that read it has succeeded, and never in autonomous mode, where the client
    // keeps it.
    if (!options_.autonomous) obsolete_snapshot_file = snapshot_file;

    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".meta") {
            options_.reference_meta_file = directory + "/" + entry.path().filename().string();
            return 0;
        }
    }
    ZvLogStream(ZvLogLvl::Debug) << unpack_signature << ": command: '" << command
                                 << "' returned code: " << status << " result: " << output
                                 << std::endl;
    ZvLogStream(ZvLogLvl::Error) << unpack_signature << "Snapshot doesn't contain any metafile!"
                                 << std::endl;
    return 12;
}

int ZvModuleUniversal::pack_snapshot_file() const {
    // tar writes a new name only: a failed pack leaves no snapshot file that looks
    // whole, and an earlier file of that name stays until the new one is complete.
    const std::string packed = packing_snapshot_filename();
    const std::string command =
        "cd " + zv_utils_common::shell_quote(snapshot_directory_path()) + " && " +
        zv_utils_common::shell_command(tar_program, {"czf", packed, "."});
    std::string output;
    const int status = zv_utils_common::execute_command(command, output);
    if (status == 0) return 0;
    boost::system::error_code error;
    fs::remove(packed, error);
    ZvLogStream(ZvLogLvl::Debug) << pack_signature << ": command: '" << command
                                 << "' returned code: " << status << " result: " << output
                                 << std::endl;
    ZvLogStream(ZvLogLvl::Error) << "Unable to pack snapshot file: " << output << std::endl;
    return 12;
}

std::string ZvModuleUniversal::packing_snapshot_filename() const {
    return snapshot_filename() + ".part";
}

bool ZvModuleUniversal::names_own_snapshot(const std::string& path) const {
    boost::system::error_code error;
    const auto resolved = [&error](const std::string& name) {
        return fs::weakly_canonical(fs::absolute(name), error).lexically_normal().string();
    };
    const std::string candidate = resolved(path);
    const std::string own_file = resolved(snapshot_filename());
    const std::string own_directory = resolved(snapshot_directory_path());
    if (candidate == own_file || candidate == own_directory ||
        candidate.compare(0, own_directory.size() + 1, own_directory + "/") == 0)
        return true;
    // A snapshot file is unpacked into "<stem>.snap_dir" of the operation directory:
    // with the archive's name as its stem, that is this run's snapshot directory.
    const fs::path reference(path);
    return reference.extension() == ".snap" && reference.stem().string() == options_.archive_name;
}

int ZvModuleUniversal::define_restore_directory() {
    try {
        std::string& directory = options_.tmp_operation_directory;
        if (!options_.archive_to_patch.empty()) {
            if (!check_name_in_operation_directory("Archive to patch", options_.archive_to_patch))
                return 1;
            directory += "/" + options_.archive_to_patch + ".rest";
            if (!fs::exists(directory)) {
                ZvLogStream(ZvLogLvl::Error)
                    << restore_directory_signature
                    << ": catalog 'archive to patch' doesn't exist: " << directory << std::endl;
                return 1;
            }
            return 0;
        }
        std::string name;
        if (options_.autonomous && client_defined_storages.empty()) {
            name = restore_name_from_archive(options_.archive_name);
            if (!check_name_in_operation_directory("Restore name taken from archive name " +
                                                       in_quotes(options_.archive_name),
                                                   name))
                return 1;
        } else {
            name = options_.record_id;
            if (!check_name_in_operation_directory("Record ID", name)) return 1;
        }
        directory += "/" + name + ".rest";
        if (!fs::exists(directory)) fs::create_directories(directory);
        return 0;
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << restore_directory_signature << ": filesystem error: "
                                     << e.what() << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << restore_directory_signature << ": exception: " << e.what()
                                     << std::endl;
    }
    return 1;
}

bool ZvModuleUniversal::close_backup(const bool& replication) {
    try {
        fs::remove_all(leveldb_directory_path());
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << close_backup_signature << ": filesystem error: "
                                     << e.what() << std::endl;
        return false;
    }
    if (pack_snapshot_file() != 0) {
        ZvLogStream(ZvLogLvl::Error) << close_backup_signature
                                     << ": can't create the main snapshot file: " << std::endl;
        return false;
    }
    // The client agent takes the result lines for a finished backup: they are printed
    // only once every step below has succeeded. Until then the new snapshot file
    // keeps its packing name, which a failure removes.
    const std::string packed = packing_snapshot_filename();
    const auto fail = [&packed]() {
        boost::system::error_code error;
        fs::remove(packed, error);
        return false;
    };

    // In server mode the archive lies on the media server and the snapshot file stands
    // for it.
    const std::string main_archive = options_.autonomous ? archive_filename() : snapshot_filename();
    const std::string main_archive_now = options_.autonomous ? main_archive : packed;

    boost::system::error_code error;
    bool listed = false;
    std::string listing;
    if (!replication && file_list && fs::exists(main_archive_now, error)) {
        const std::string command =
            zv_utils_common::shell_command(zvfd_program, {"-l", meta_filename(), "-v", "1"});
        if (zv_utils_common::execute_command(command, listing) != 0) {
            ZvLogStream(ZvLogLvl::Error) << close_backup_signature
                                         << ": command produced error: " << command << std::endl;
            ZvLogStream(ZvLogLvl::Error)
                << "Command output start: ---------------------------------------------- "
                << std::endl;
            ZvLogStream(ZvLogLvl::Error) << listing << std::endl;
            ZvLogStream(ZvLogLvl::Error)
                << "Command output end ------------------------------------------------- "
                << std::endl;
            return fail();
        }
        listed = true;
    }

    try {
        fs::remove_all(snapshot_directory_path());
        const std::string reference = reference_snapshot_directory_path();
        if (!reference.empty() && fs::is_directory(reference)) {
            ZvLogStream(ZvLogLvl::Info) << "Remove obsolete file: " << reference << std::endl;
            fs::remove_all(reference);
        }
        fs::rename(packed, snapshot_filename());
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << close_backup_signature << ": filesystem error: "
                                     << e.what() << std::endl;
        return fail();
    }

    if (options_.autonomous) {
        static const char* const storage_words[] = {"local-directory", "s3", "default"};
        if (chosen_storage_type >= 1 && chosen_storage_type <= 3) {
            std::cout << "CLIENT DEFINED STORAGE:" << storage_words[chosen_storage_type - 1] << "@"
                      << chosen_storage_id << std::endl;
        }
    }
    std::cout << "MAIN ARCHIVE FILENAME:" << main_archive << std::endl;
    std::cout << "MAIN SNAPSHOT FILENAME:" << snapshot_filename() << std::endl;
    std::cout << "MAIN ARCHIVE SIGN FILENAME:" << archive_sign_filename() << std::endl;
    if (listed) {
        std::cout << "FILE LISTING START:" << std::endl;
        std::cout << listing;
        std::cout << "FILE LISTING END" << std::endl;
    }
    remove_obsolete_snapshot_file();

    if (options_.supports_archiving && options_.archiving) make_archiving();

    static const char* const type_words[] = {"a full", "an incremental", "a differential"};
    const char* const type_word = options_.backup_type >= 1 && options_.backup_type <= 3
                                      ? type_words[options_.backup_type - 1]
                                      : "";
    ZvLogStream(ZvLogLvl::Info) << "The task to make " << type_word << " backup of resource '"
                                << options_.resource << "' completed successfully" << std::endl;
    return true;
}

void ZvModuleUniversal::remove_obsolete_snapshot_file() {
    if (obsolete_snapshot_file.empty()) return;
    // Never the snapshot file this backup has just announced (a run refuses such a
    // reference at its start; this holds whatever path led here).
    boost::system::error_code same_error;
    if (fs::equivalent(obsolete_snapshot_file, snapshot_filename(), same_error) ||
        names_own_snapshot(obsolete_snapshot_file)) {
        obsolete_snapshot_file.clear();
        return;
    }
    ZvLogStream(ZvLogLvl::Info) << "Removing obsolete snapshot file: " << obsolete_snapshot_file
                                << std::endl;
    boost::system::error_code error;
    fs::remove(obsolete_snapshot_file, error);
    // The backup is complete; a reference file that stays behind costs only space.
    if (error) {
        ZvLogStream(ZvLogLvl::Warning) << "Unable to remove obsolete snapshot file "
                                       << in_quotes(obsolete_snapshot_file) << ": "
                                       << error.message() << std::endl;
    }
    obsolete_snapshot_file.clear();
}

void ZvModuleUniversal::close_restore() {
    remove_reference_snapshot_directory();
    if (options_.operation != ZvModuleOperations::Restore || !last ||
        !remove_tmp_operation_directory)
        return;
    try {
        ZvLogStream(ZvLogLvl::Info) << "Remove temporary operation directory: "
                                    << options_.tmp_operation_directory << std::endl;
        fs::remove_all(options_.tmp_operation_directory);
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << close_restore_signature << ": boost::filesystem: "
                                     << e.what() << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << close_restore_signature << ": exception: " << e.what()
                                     << std::endl;
    }
}

void ZvModuleUniversal::remove_reference_snapshot_directory() {
    try {
        const std::string directory = reference_snapshot_directory_path();
        if (directory.empty() || !fs::is_directory(directory)) return;
        ZvLogStream(ZvLogLvl::Info) << "Remove obsolete snapshot directory: " << directory
                                    << std::endl;
        fs::remove_all(directory);
    } catch (const fs::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << remove_reference_signature << ": boost::filesystem: "
                                     << e.what() << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << remove_reference_signature << ": exception: " << e.what()
                                     << std::endl;
    } catch (...) {
        // Called from clean-up paths that must go on whatever happens here.
    }
}

int ZvModuleUniversal::check_file_to_restore_for_sparse(const std::string& path) const {
    bool sparse = false;
    std::string error_text;
    if (!zv_utils_common::is_sparse_file(path, sparse, error_text)) {
        ZvLogStream(ZvLogLvl::Warning) << sparse_signature << ": unable to check sparse status of "
                                       << in_quotes(path) << " file, error: " << error_text
                                       << std::endl;
        return 0;
    }
    if (!sparse) return 0;

    const fs::path directory(options_.tmp_operation_directory);
    boost::system::error_code error;
    fs::space_info space = fs::space(directory, error);
    if (error) {
        ZvLogStream(ZvLogLvl::Warning) << sparse_signature << ": unable to get space info of "
                                       << directory << ", error: " << error.category().name()
                                       << ":" << error.value() << std::endl;
        // What a failed query reports is no capacity at all.
        space.capacity = 0;
    }
    const std::string free_space =
        space.capacity == 0
            ? std::string("Unknown")
            : std::to_string(static_cast<float>(space.free) / static_cast<float>(space.capacity) *
                             100.0f) +
                  "%";
    ZvLogStream(ZvLogLvl::Error) << sparse_signature << ": file " << in_quotes(path)
                                 << " is a sparse file, i.e. it doesn't contain all the data "
                                    "required for restore."
                                 << " Probably it is not enough free space in a " << directory
                                 << " folder. Free space is: " << free_space << std::endl;
    return 7;
}
