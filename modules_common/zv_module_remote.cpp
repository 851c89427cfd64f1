// Backup with the archiver on another host: the task secret and the list file go there
// over scp, the archiver runs there over ssh and sends the archive to the media server,
// and only the metadata file comes back to the local snapshot directory.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <unistd.h>

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

// Every ssh and scp call fails instead of asking for a password or a host key, and
// gives up on a host that does not answer; ssh reads nothing from our standard input.
const char* const ssh_options = "-n -o BatchMode=yes -o ConnectTimeout=5";
const char* const scp_options = "-o BatchMode=yes -o ConnectTimeout=5";

std::string scp_command(const std::string& from, const std::string& to) {
    return std::string(scp_program) + " " + scp_options + " " + from + " " + to;
}

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
    const std::string zvfd_command = zvfd_shell_command(arguments, backup_start_directory());

    // A host or user that starts with "-" would reach ssh and scp as an option.
    const std::string& host = options_.remote_host;
    if (host.empty() || host[0] == '-' || options_.remote_user.empty() ||
        options_.remote_user[0] == '-') {
        ZvLogStream(ZvLogLvl::Error) << remote_signature << ": wrong remote host or user: "
                                     << options_.remote_user << "@" << host << std::endl;
        return false;
    }
    const std::string ssh = std::string("/usr/bin/ssh -q ") + ssh_options + " -l " +
                            shell_quote(options_.remote_user) + " " + shell_quote(host) + " ";

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

    // The remote host may be this host, or share a directory with it: a copy there
    // would overwrite the local file with itself, and the clean-up would delete it.
    if (!find_remote_sharing(ssh, output)) return false;

    // From here on the remote host holds files of this backup; every failure removes them.
    const auto fail = [&](const std::string& message) {
        ZvLogStream(ZvLogLvl::Error) << message << std::endl;
        cleanup_remote_host(ssh);
        return false;
    };
    ZvLogStream(ZvLogLvl::Info) << "Coping files to remote host: " << host << std::endl;
    std::vector<std::pair<std::string, std::string>> uploads;
    if (!remote_sharing_.task_directory) uploads.emplace_back(get_task_secret(), get_task_secret());
    // A backup of the resource itself has no list file to send.
    if (!options_.resource_list_file.empty() && !remote_sharing_.list_directory)
        uploads.emplace_back(options_.resource_list_file, options_.resource_list_file);
    if (has_restrictions && !remote_sharing_.snapshot_directory)
        uploads.emplace_back(options_.restriction_list_path, snapshot_directory_path());
    for (const auto& [local, target] : uploads) {
        command = scp_command(shell_quote(local), remote_location(options_, target));
        if (execute_command(command, output) != 0)
            return fail(command_error(remote_signature, command, output));
    }
    if (has_restrictions && remote_sharing_.snapshot_directory) {
        // The copy the archiver reads there is this run's own, removed by the clean-up.
        boost::system::error_code error;
        boost::filesystem::copy_file(options_.restriction_list_path, remote_restrictions_path(*this),
                                     boost::filesystem::copy_options::overwrite_existing, error);
        if (error)
            return fail(std::string(remote_signature) + ": can't copy " +
                        options_.restriction_list_path + " to " + remote_restrictions_path(*this) +
                        ": " + error.message());
    }

    ZvLogStream(ZvLogLvl::Info) << "Starting remote ZVFD execution on remote host: " << host
                                << std::endl;
    const std::string remote_zvfd = "exec " + remote(ssh, zvfd_command);
    std::string zvfd_output, progress;
    // The process id the remote archiver reports is one of the remote host: it is
    // not zvfd_pid, which pause and continue signal on this host.
    pid_t remote_pid = 0;
    if (!run_zvfd_command(remote_zvfd, zvfd_output, remote_pid, progress)) {
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
    // In a shared snapshot directory the archiver has written the local file itself.
    if (!remote_sharing_.snapshot_directory) {
        command = scp_command(remote_location(options_, meta_filename()), shell_quote(meta_filename()));
        if (execute_command(command, output) != 0)
            return fail(command_error(remote_signature, command, output));
    }

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
    // What the remote host shares with this one are the local files: only the copy
    // of the restriction list there is this run's own.
    std::string files;
    if (!options_.resource_list_file.empty() && !remote_sharing_.list_directory)
        files += " " + shell_quote(options_.resource_list_file);
    if (!remote_sharing_.task_directory) files += " " + shell_quote(get_task_secret());
    if (!remote_sharing_.snapshot_directory) files += " " + shell_quote(meta_filename());
    if (exists(options_.restriction_list_path))
        files += " " + shell_quote(remote_restrictions_path(*this));
    if (!files.empty()) run(remote(ssh, "rm" + files));
    if (!remote_sharing_.snapshot_directory)
        run(remote(ssh, "rmdir " + shell_quote(snapshot_directory_path())));
    return clean;
}

bool ZvModuleUniversal::find_remote_sharing(const std::string& ssh, std::string& output) {
    namespace fs = boost::filesystem;
    remote_sharing_ = RemoteSharing{};
    struct Probe {
        bool* shared;
        std::string directory;
        std::string marker;  // empty when it could not be made
    };
    std::vector<Probe> probes = {
        {&remote_sharing_.task_directory, fs::path(get_task_secret()).parent_path().string(), ""},
        {&remote_sharing_.snapshot_directory, snapshot_directory_path(), ""},
    };
    if (!options_.resource_list_file.empty())
        probes.push_back({&remote_sharing_.list_directory,
                          fs::path(options_.resource_list_file).parent_path().string(), ""});
    // A file of a unique name made here and looked for there: found, the directory is
    // the same one (this host, or a share), whatever the paths or devices look like.
    std::string look_up;
    for (auto& probe : probes) {
        const std::string marker = probe.directory + "/.zv-remote-probe-" +
                                   fs::unique_path("%%%%-%%%%-%%%%-%%%%").string();
        const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            // Unknown: taken as shared, so nothing is copied over or deleted there.
            *probe.shared = true;
            ZvLogStream(ZvLogLvl::Warning)
                << remote_signature << ": can't tell whether the remote host shares " << probe.directory
                << "; its files are neither copied there nor removed" << std::endl;
            continue;
        }
        ::close(fd);
        probe.marker = marker;
        look_up += "if test -e " + shell_quote(marker) + "; then echo " + shell_quote(marker) + "; fi; ";
    }
    bool ok = true;
    if (!look_up.empty()) {
        std::string found;
        const std::string command = remote(ssh, look_up);
        ok = zv_utils_common::execute_command(command, found) == 0;
        output += found;
        if (!ok) ZvLogStream(ZvLogLvl::Error) << command_error(remote_signature, command, output) << std::endl;
        for (auto& probe : probes)
            if (!probe.marker.empty() && found.find(probe.marker + "\n") != std::string::npos)
                *probe.shared = true;
    }
    for (const auto& probe : probes) {
        if (probe.marker.empty()) continue;
        boost::system::error_code error;
        fs::remove(probe.marker, error);
        if (*probe.shared)
            ZvLogStream(ZvLogLvl::Info) << "The remote host shares " << probe.directory
                                        << " with this host" << std::endl;
    }
    return ok;
}
