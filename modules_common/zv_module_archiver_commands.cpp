// The archiver's command lines for a backup, a restore and a replica application,
// and the archiver list-file records. Each command is built as an argument list
// first; zvfd_shell_command quotes every argument, so no value from the client
// (names, paths, record ids, restriction lines) can add shell words or commands.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>

#include <sys/stat.h>

#include <fstream>

namespace {

const char* const cmd_common_signature =
    "bool ZvModuleUniversal::make_backup_cmd_common(std::__cxx11::string&)";
const char* const backup_locally_signature = "bool ZvModuleUniversal::make_backup_locally()";
const char* const make_restore_signature = "bool ZvModuleUniversal::make_restore(const bool&)";
const char* const list_file_signature =
    "bool ZvModuleUniversal::add_to_zvfd_list_file(const string&, const "
    "std::map<std::__cxx11::basic_string<char>, std::__cxx11::basic_string<char> >&, bool)";
const char* const append_special_signature = "bool ZvModuleUniversal::append_some_special()";
const char* const master_key = "/opt/zelvor/keys/master-key";
const char* const secret_key = "/opt/zelvor/keys/secret-key.pem";

void append(std::vector<std::string>& arguments, std::initializer_list<std::string> values) {
    arguments.insert(arguments.end(), values);
}

std::vector<std::string> head_arguments(const std::string& hash_algorithm, int hash_length,
                                        int block_size) {
    return {"-a", hash_algorithm, hash_length == 256 ? "-2" : "-5", "-b",
            std::to_string(static_cast<unsigned int>(block_size))};
}

// The backup writes its key-file messages bare, the restore after its signature.
bool append_encryption(const ZvModuleOptions& options, const std::string& message_prefix,
                       std::vector<std::string>& arguments) {
    if (options.crypto_algorithm == "nocrypt") return true;
    if (options.key_file.empty()) {
        ZvLogStream(ZvLogLvl::Error) << message_prefix << "you must define key file" << std::endl;
        return false;
    }
    if (!boost::filesystem::exists(options.key_file)) {
        ZvLogStream(ZvLogLvl::Error) << message_prefix << "there is no key file: "
                                     << options.key_file << std::endl;
        return false;
    }
    append(arguments, {"-C", options.crypto_algorithm, "-k", options.key_file});
    return true;
}

}  // namespace

bool ZvModuleUniversal::make_backup_cmd_common(std::vector<std::string>& arguments) {
    namespace fs = boost::filesystem;
    arguments = head_arguments(hash_algorithm, hash_length, block_size);
    arguments.push_back("-c");
    if (options_.resource_list_file.empty()) {
        arguments.push_back(backup_start_directory() != "/" ? "." : options_.resource);
    } else {
        if (!fs::exists(options_.resource_list_file)) {
            ZvLogStream(ZvLogLvl::Error) << cmd_common_signature
                                         << ": resource list file doesn't exist: "
                                         << options_.resource_list_file << std::endl;
            return false;
        }
        if (!fs::is_regular_file(options_.resource_list_file)) {
            ZvLogStream(ZvLogLvl::Error) << cmd_common_signature
                                         << ": resource list file is not a regular file: "
                                         << options_.resource_list_file << std::endl;
            return false;
        }
        arguments.push_back(options_.resource_list_file);
    }
    if (options_.parallelism != 1) append(arguments, {"-p", std::to_string(options_.parallelism)});
    add_zvfd_options_to_command(arguments);

    std::string exclusions = std::string(master_key) + "," + secret_key;
    if (options_.local_restrictions) {
        std::vector<std::string> restrictions;
        if (!read_local_restrictions(restrictions)) {
            ZvLogStream(ZvLogLvl::Error) << cmd_common_signature
                                         << ": the local restriction list can't be read: "
                                         << options_.restriction_list_path << std::endl;
            return false;
        }
        exclusions += ",";
        for (std::size_t i = 0; i < restrictions.size(); ++i)
            exclusions += (i == 0 ? "" : ",") + restrictions[i];
    }
    append(arguments, {"-x", exclusions});
    if (numeric_owner) arguments.push_back("--numeric-owner");

    bool needs_reference = false;
    switch (options_.backup_type) {
        case 1:
            break;
        case 2:
            needs_reference = !skip_reference_meta;
            break;
        case 3:
            needs_reference = true;
            break;
        default:
            ZvLogStream(ZvLogLvl::Error) << cmd_common_signature << ": wrong backup type: "
                                         << options_.backup_type << std::endl;
            return false;
    }
    if (needs_reference) {
        if (options_.reference_meta_file.empty()) {
            ZvLogStream(ZvLogLvl::Error)
                << cmd_common_signature << ": you must define reference snapshot name (-s option)"
                << std::endl;
            return false;
        }
        append(arguments, {"-S", options_.reference_meta_file});
    }
    if (options_.compress_type != 0)
        append(arguments, {"-z", compress_mode_str(options_.compress_type)});
    if (options_.memory_threshold != 0)
        append(arguments, {"--memory-threshold", std::to_string(options_.memory_threshold)});
    return true;
}

void ZvModuleUniversal::add_zvfd_options_to_command(std::vector<std::string>& arguments) const {
    std::string list;
    for (const auto& name : zvfd_flag_names) {
        const auto found = zvfd_flags.find(name);
        if (found == zvfd_flags.end()) continue;
        if (!list.empty()) list += ",";
        list += name + ":" + found->second;
    }
    if (!list.empty()) append(arguments, {"-e", list});
}

bool ZvModuleUniversal::backup_command_arguments(std::vector<std::string>& arguments) {
    if (!make_backup_cmd_common(arguments)) return false;
    if (options_.autonomous) {
        append(arguments, {"-n", archive_filename(), "-m", meta_filename()});
    } else {
        append(arguments, {"-M", options_.media_server, "-N", options_.archive_name, "-T",
                           options_.task_id, "-s", get_task_secret(), "-m", meta_filename()});
    }
    if (options_.dgst) {
        append(arguments,
               {"-g", archive_sign_filename(), "--passin", master_key, "--sign", secret_key});
    }
    if (options_.local_restrictions && boost::filesystem::is_regular_file(options_.restriction_list_path))
        append(arguments, {"-X", options_.restriction_list_path});
    if (!append_encryption(options_, "", arguments)) return false;
    return true;
}

std::string ZvModuleUniversal::backup_start_directory() const {
    // "." is the directory the archiver starts in: started in "/" it would archive
    // the whole root file system instead of the resource.
    boost::system::error_code error;
    if (options_.resource_list_file.empty() && boost::filesystem::is_directory(options_.resource, error))
        return boost::filesystem::absolute(options_.resource).lexically_normal().string();
    return "/";
}

bool ZvModuleUniversal::backup_shell_command(std::string& command) {
    std::vector<std::string> arguments;
    if (!backup_command_arguments(arguments)) return false;
    command = zvfd_shell_command(arguments, backup_start_directory());
    return true;
}

bool ZvModuleUniversal::make_backup() {
    // The archive name becomes the name of work files and directories that are later
    // removed recursively; it must stay one entry of the temporary operation directory.
    if (!check_name_in_operation_directory("Archive name", options_.archive_name)) return false;
    if (!options_.remote_host.empty()) return make_backup_remotely();
    return make_backup_locally();
}

bool ZvModuleUniversal::make_backup_locally() {
    zvfd_result = false;
    try {
        std::string command;
        if (!backup_shell_command(command)) return false;

        // The archive and metadata must be readable by the client agent; everything
        // else the module writes stays private.
        umask(022);
        std::string output, progress;
        const bool ok = run_zvfd_command(command, output, zvfd_pid, progress);
        if (!ok) {
            ZvLogStream(ZvLogLvl::Error) << backup_locally_signature << ": " << command
                                         << std::endl;
            ZvLogStream(ZvLogLvl::Error) << "zvfd out: " << output << std::endl;
        }
        umask(077);
        zvfd_result = ok;
        return ok;
    } catch (const boost::filesystem::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << backup_locally_signature << ": filesystem error: "
                                     << e.what() << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << backup_locally_signature << ": exception: " << e.what()
                                     << std::endl;
    }
    return false;
}

bool ZvModuleUniversal::restore_command_arguments(const bool& replication,
                                                  std::vector<std::string>& arguments) {
    arguments = head_arguments(hash_algorithm, hash_length, block_size);
    if (options_.autonomous) {
        if (!client_defined_storages.empty()) {
            ClientDefinedArchiveInfo info;
            if (!split_client_defined_archive_name(options_.archive_name, info) ||
                (info.type != 1 && info.type != 3)) {
                ZvLogStream(ZvLogLvl::Error) << make_restore_signature
                                             << ": unsupported client defined storage here: "
                                             << options_.archive_name << std::endl;
                return false;
            }
            if (info.type == 3) {
                ZvLogStream(ZvLogLvl::Info) << "Module default storage. Skipping zvfd run."
                                            << std::endl;
                arguments.clear();
                return true;
            }
            options_.archive_name = info.name;
            ZvLogStream(ZvLogLvl::Info) << "Rename restored object to: " << options_.archive_name
                                        << std::endl;
        }
        append(arguments, {"-r", options_.archive_name});
    } else {
        append(arguments, {"-R", options_.record_id, "-M", options_.media_server, "-T",
                           options_.task_id, "-s", get_task_secret()});
        // Without a metadata file "-m" would swallow the next option as its value.
        if (!options_.reference_meta_file.empty())
            append(arguments, {"-m", options_.reference_meta_file});
    }
    append(arguments, {"-d", options_.tmp_operation_directory});
    if (!append_encryption(options_, std::string(make_restore_signature) + ": ", arguments))
        return false;
    if (replication) arguments.push_back("-E");
    if (options_.parallelism != 1) append(arguments, {"-p", std::to_string(options_.parallelism)});
    if (!options_.granular_list.empty()) append(arguments, {"-f", options_.granular_list});
    if (options_.set_to_numeric) arguments.push_back("--set-to-numeric");
    add_zvfd_options_to_command(arguments);
    return true;
}

bool ZvModuleUniversal::make_restore(const bool& replication) {
    try {
        std::vector<std::string> arguments;
        if (!restore_command_arguments(replication, arguments)) return false;
        if (arguments.empty()) return true;

        const std::string command = zvfd_shell_command(arguments, "");
        std::string output, progress;
        const bool ok = run_zvfd_command(command, output, zvfd_pid, progress);
        if (!ok) {
            ZvLogStream(ZvLogLvl::Error) << make_restore_signature << ": " << command << std::endl;
            ZvLogStream(ZvLogLvl::Error) << "zvfd out: " << output << std::endl;
        } else if (!replication) {
            ZvLogStream(ZvLogLvl::Info) << "The archive '" << options_.record_id
                                        << "' has been unpacked successfully" << std::endl;
        }
        return ok;
    } catch (const boost::filesystem::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << make_restore_signature << ": filesystem error: "
                                     << e.what() << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << make_restore_signature << ": std exception: " << e.what()
                                     << std::endl;
        ZvLogStream(ZvLogLvl::Error) << make_restore_signature << ": " << e.what() << std::endl;
    }
    return false;
}

bool ZvModuleUniversal::apply_replica() { return make_restore(true); }

bool ZvModuleUniversal::add_to_zvfd_list_file(const std::string& path,
                                              const std::map<std::string, std::string>& records,
                                              bool append_records) {
    std::ofstream file(path, append_records ? std::ios::app : std::ios::trunc);
    if (!file) {
        ZvLogStream(ZvLogLvl::Error) << list_file_signature << ": "
                                     << "can't create zvfd list file" << std::endl;
        return false;
    }
    if (!append_records) {
        ZvLogStream(ZvLogLvl::Info) << "Adding record to zvfd file list: " << "ZVFD file list:"
                                    << std::endl;
        file << "ZVFD file list:" << "\n";
    }
    for (const auto& [local, name] : records) {
        ZvLogStream(ZvLogLvl::Info) << "Adding record to zvfd file list: " << local << " : "
                                    << name << std::endl;
        file << "   " << local << " : " << name << "\n";
    }
    file.close();
    return true;
}

bool ZvModuleUniversal::append_some_special() {
    if (special_list_records.empty()) return true;
    if (options_.resource_list_file.empty()) {
        ZvLogStream(ZvLogLvl::Debug) << append_special_signature
                                     << ": options_.resource_list_file is empty" << std::endl;
        return false;
    }
    if (!add_to_zvfd_list_file(options_.resource_list_file, special_list_records, false))
        return false;

    const std::string directory =
        boost::filesystem::path(archive_filename()).parent_path().string();
    std::vector<std::string> arguments = head_arguments(hash_algorithm, hash_length, block_size);
    if (options_.autonomous) {
        append(arguments, {"-u", archive_filename(), "--add", options_.resource_list_file});
    } else {
        append(arguments, {"-U", options_.archive_name, "--add", options_.resource_list_file, "-M",
                           options_.media_server, "-T", options_.task_id, "-s", get_task_secret(),
                           "-m", meta_filename()});
    }
    if (options_.dgst) {
        append(arguments,
               {"-g", archive_sign_filename(), "--passin", master_key, "--sign", secret_key});
    }
    if (options_.parallelism != 1) append(arguments, {"-p", std::to_string(options_.parallelism)});
    if (!append_encryption(options_, "", arguments)) return false;
    if (options_.compress_type != 0)
        append(arguments, {"-z", compress_mode_str(options_.compress_type)});
    if (options_.memory_threshold != 0)
        append(arguments, {"--memory-threshold", std::to_string(options_.memory_threshold)});

    const std::string command = "cd " + zv_utils_common::shell_quote(directory) + " && " +
                                zv_utils_common::shell_command(zvfd_program, arguments);
    ZvLogStream(ZvLogLvl::Info) << append_special_signature << ": " << "Execute command:" << command
                                << std::endl;
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << "base_backup command: " << command << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "base_backup command result: " << output << std::endl;
        return false;
    }
    return true;
}
