// Backup with the archiver on another host: the task secret and the list file go there
// over scp, the archiver runs there over ssh and sends the archive to the media server,
// and only the metadata file comes back to the local snapshot directory.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>

using zv_utils_common::shell_quote;

namespace {

const char* const remote_signature = "bool ZvModuleUniversal::make_backup_remotely()";
const char* const cleanup_signature = "bool ZvModuleUniversal::cleanup_remote_host(const string&)";
const char* const scp_program = "/usr/bin/scp";

// ssh hands its command to the remote user's shell, which splits it into words once
// more: the values inside are quoted for that shell, the whole command for ours.
std::string remote(const std::string& ssh, const std::string& command) {
    return ssh + shell_quote(command);
}

std::string command_error(const char* signature, const std::string& command,
                          const std::string& output) {
    return std::string(signature) + ": the following command produced an error: " + command +
           "\n" + "command output: " + output;
}

std::string remote_location(const ZvModuleOptions& options, const std::string& path) {
    return shell_quote(options.remote_user + "@" + options.remote_host + ":" + path);
}

bool exists(const std::string& path) { return boost::filesystem::exists(path); }

// Where the restriction list lies on the remote host: in the snapshot directory there.
std::string remote_restrictions_path(const ZvModuleUniversal& module) {
    return module.snapshot_directory_path() + "/" +
           boost::filesystem::path(module.options().restriction_list_path).filename().string();
}

}  // namespace

bool ZvModuleUniversal::make_backup_remotely() {
    using zv_utils_common::execute_command;
    zvfd_result = false;
    std::vector<std::string> arguments;
    if (!make_backup_cmd_common(arguments)) return false;
    if (options_.autonomous) {
        ZvLogStream(ZvLogLvl::Error) << remote_signature
                                     << ": Autonomous mode is not supported for remote backup zvfd mode"
                                     << std::endl;
        return false;
    }
    arguments.insert(arguments.end(), {"-M", options_.media_server, "-N", options_.archive_name,
                                       "-T", options_.task_id, "-s", get_task_secret(), "-m",
                                       meta_filename()});
    if (options_.dgst) {
        ZvLogStream(ZvLogLvl::Error) << remote_signature
                                     << ": Digital signature is not supported for remote backup zvfd mode"
                                     << std::endl;
        return false;
    }
    const bool has_restrictions = exists(options_.restriction_list_path);
    if (options_.local_restrictions && has_restrictions)
        arguments.insert(arguments.end(), {"-X", remote_restrictions_path(*this)});
    if (options_.crypto_algorithm != "nocrypt") {
        ZvLogStream(ZvLogLvl::Error) << remote_signature
                                     << ": Encrytping signature is not supported for remote backup zvfd mode"
                                     << std::endl;
        return false;
    }
    const std::string zvfd_command = zvfd_shell_command(arguments, true);

    // A host or user that starts with "-" would reach ssh and scp as an option.
    const std::string& host = options_.remote_host;
    if (host.empty() || host[0] == '-' || options_.remote_user.empty() ||
        options_.remote_user[0] == '-') {
        ZvLogStream(ZvLogLvl::Error) << remote_signature << ": wrong remote host or user: "
                                     << options_.remote_user << "@" << host << std::endl;
        return false;
    }
    const std::string ssh =
        "/usr/bin/ssh -q -l " + shell_quote(options_.remote_user) + " " + shell_quote(host) + " ";

    std::string output;  // every command's output, so a failure shows all of them
    ZvLogStream(ZvLogLvl::Info) << "Testing connection to remote host: " << host << std::endl;
    if (execute_command(ssh + " -o ConnectTimeout=5 -o PasswordAuthentication=no "
                              "-o PubkeyAuthentication=yes -o BatchMode=yes 'exit 0'",
                        output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << remote_signature << ": the ssh unable to connect. "
                                     << "command output: " << output << "\n"
                                     << "ssh connection failed to: " << host << std::endl;
        return false;
    }
    const std::string& work_directory = options_.tmp_operation_directory;
    if (execute_command(remote(ssh, "test -d " + shell_quote(work_directory)), output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << remote_signature << "command output: " << output << "\n"
                                     << "folder: " << work_directory
                                     << " does not exist on remote host: " << host << std::endl;
        return false;
    }

    ZvLogStream(ZvLogLvl::Info) << "Creating directories on remote host: " << host << std::endl;
    std::string command =
        remote(ssh, "mkdir -p " + shell_quote(snapshot_directory_path()) + " /opt/zelvor/var/tasks/");
    if (execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << command_error(remote_signature, command, output) << std::endl;
        return false;
    }

    // From here on the remote host holds files of this backup; every failure removes them.
    const auto fail = [&](const std::string& message) {
        ZvLogStream(ZvLogLvl::Error) << message << std::endl;
        cleanup_remote_host(ssh);
        return false;
    };
    ZvLogStream(ZvLogLvl::Info) << "Coping files to remote host: " << host << std::endl;
    std::vector<std::pair<std::string, std::string>> uploads = {{get_task_secret(), get_task_secret()}};
    // A backup of the resource itself has no list file to send.
    if (!options_.resource_list_file.empty())
        uploads.emplace_back(options_.resource_list_file, options_.resource_list_file);
    if (has_restrictions) uploads.emplace_back(options_.restriction_list_path, snapshot_directory_path());
    for (const auto& [local, target] : uploads) {
        command = std::string(scp_program) + " " + shell_quote(local) + " " +
                  remote_location(options_, target);
        if (execute_command(command, output) != 0)
            return fail(command_error(remote_signature, command, output));
    }

    ZvLogStream(ZvLogLvl::Info) << "Starting remote ZVFD execution on remote host: " << host
                                << std::endl;
    const std::string remote_zvfd = remote(ssh, zvfd_command);
    std::string zvfd_output, progress;
    if (!run_zvfd_command(remote_zvfd, zvfd_output, zvfd_pid, progress)) {
        return fail(std::string(remote_signature) + ": remote ZVFD command " + remote_zvfd + "\n" +
                    " produced an error, " + "zvfd out: " + zvfd_output);
    }

    ZvLogStream(ZvLogLvl::Info) << "Remote ZVFD execution finished successfully" << std::endl;
    command = remote(ssh, "test -f " + shell_quote(meta_filename()));
    if (execute_command(command, output) != 0) {
        return fail(command_error(remote_signature, command, output) + "\n" + "metafile: " +
                    meta_filename() + " does not exist on remote host: " + host);
    }
    ZvLogStream(ZvLogLvl::Info) << "Coping resulting files from remote host: " << host << std::endl;
    command = std::string(scp_program) + " " + remote_location(options_, meta_filename()) + " " +
              shell_quote(meta_filename());
    if (execute_command(command, output) != 0)
        return fail(command_error(remote_signature, command, output));

    if (!cleanup_remote_host(ssh)) {
        ZvLogStream(ZvLogLvl::Warning) << remote_signature << ": unable to cleanup remote host: "
                                       << host << std::endl;
    }
    zvfd_result = true;
    return true;
}

bool ZvModuleUniversal::cleanup_remote_host(const std::string& ssh) {
    ZvLogStream(ZvLogLvl::Info) << "Cleaning remote host" << std::endl;
    std::string output;
    bool clean = true;
    const auto run = [&](const std::string& command) {
        if (zv_utils_common::execute_command(command, output) != 0) {
            ZvLogStream(ZvLogLvl::Warning) << command_error(cleanup_signature, command, output)
                                           << std::endl;
            clean = false;
        }
    };
    std::string files;
    if (!options_.resource_list_file.empty()) files += " " + shell_quote(options_.resource_list_file);
    files += " " + shell_quote(get_task_secret()) + " " + shell_quote(meta_filename());
    if (exists(options_.restriction_list_path))
        files += " " + shell_quote(remote_restrictions_path(*this));
    run(remote(ssh, "rm" + files));
    run(remote(ssh, "rmdir " + shell_quote(snapshot_directory_path())));
    return clean;
}
