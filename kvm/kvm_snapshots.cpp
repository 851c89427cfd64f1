// Guest programs and disk snapshots: running a program inside the guest through
// the QEMU guest agent, one atomic quiesced external snapshot of all disks with
// the overlays beside the images (those of network and block disks beside the
// first file disk, or in the operation directory), and merging each overlay back.
#include "kvm/zv_module_kvm.h"
#include "kvm/kvm_log.h"
#include "kvm/kvm_virsh.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <thread>

namespace fs = boost::filesystem;
namespace json = boost::json;
using zv_utils_common::shell_quote;

namespace {

const char* const script_signature =
    "bool ZvModuleKvm::kvm_run_script_inside_vm(std::__cxx11::string, std::__cxx11::string, "
    "std::__cxx11::string, unsigned int)";
const char* const create_signature =
    "int ZvModuleKvm::create_kvm_snapshots(std::__cxx11::string, std::__cxx11::string, "
    "std::vector<kvm_device_info>)";
const char* const commit_signature =
    "int ZvModuleKvm::commit_kvm_snapshots(std::__cxx11::string, std::__cxx11::string, "
    "std::vector<kvm_device_info>)";

}  // namespace

// Merges the overlay on top of `target` into the image below it and pivots the disk
// back onto that image. The pivot is asked for, not waited for: `virsh blockcommit
// --pivot` waits for the job's ready event, and on a loaded host that event can be lost
// (an overlay with nothing to merge is ready at once), leaving virsh waiting forever
// with the job ready and the domain on its overlay. Asking again until libvirt takes the
// pivot ends in a bounded number of steps once the job is ready; the loop gives up as
// soon as the job is gone or libvirt stops answering, and when the job has shown no
// progress for `stall_seconds` (a commit that is ready but whose pivot libvirt keeps
// refusing would otherwise be asked for ever).
bool ZvModuleKvm::merge_active_overlay(const std::string& domain, const std::string& target,
                                       std::string& output, bool job_started, int stall_seconds) {
    const std::string disk = shell_quote(domain) + " " + shell_quote(target);
    if (!job_started &&
        zv_utils_common::execute_command(virsh_command("blockcommit " + disk + " --active --shallow"),
                                         output) != 0)
        return false;
    using Clock = std::chrono::steady_clock;
    std::chrono::milliseconds pause(50);
    std::string state;  // the job as libvirt last showed it: a change is progress
    Clock::time_point progressed = Clock::now();
    for (;;) {
        std::string answer;
        if (zv_utils_common::execute_command(virsh_command("blockjob " + disk + " --pivot"), answer) == 0)
            return true;
        std::string info;
        if (!block_commit_running(domain, target, info)) {
            output += answer + info;  // the job failed or libvirt went away: nothing to pivot
            return false;
        }
        if (info != state) {
            state = info;
            progressed = Clock::now();
        } else if (Clock::now() - progressed >= std::chrono::seconds(stall_seconds)) {
            output += answer + info + "\nThe commit job of disk " + target + " showed no progress for " +
                      std::to_string(stall_seconds) + " s and libvirt did not take its pivot";
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(500));
    }
}

bool ZvModuleKvm::block_commit_running(const std::string& domain, const std::string& target,
                                       std::string& info) {
    // --raw: the job's type and its position in bytes, which moves while it merges.
    return zv_utils_common::execute_command(
               virsh_command("blockjob " + shell_quote(domain) + " " + shell_quote(target) + " --raw"),
               info) == 0 &&
           info.find("Block Commit") != std::string::npos;
}

void ZvModuleKvm::log_unmerged_overlay(const std::string& domain, const std::string& target,
                                       const std::string& overlay, const std::string& image) {
    std::string info;
    const std::string disk = shell_quote(domain) + " " + shell_quote(target);
    // A commit that runs is finished by its pivot; a second one would be refused.
    const std::string how = block_commit_running(domain, target, info)
                                ? "pivot it with: /usr/bin/virsh blockjob " + disk + " --pivot"
                                : "merge it with: /usr/bin/virsh blockcommit " + disk + " --active --pivot --shallow";
    ZvLogStream(ZvLogLvl::Error) << "The overlay " << overlay << " of disk " << target << " of VM " << domain
                                 << " was not merged into " << (image.empty() ? "its image" : image)
                                 << " and the VM still writes to it; " << how << std::endl;
}

namespace {

std::string agent_command(const std::string& domain, const json::value& request) {
    return virsh_command("qemu-agent-command " + shell_quote(domain) + " " + shell_quote(json::serialize(request)));
}

// The agent's reply as an object's "return" object; null when it is something else.
const json::object* agent_return(const json::value& reply) {
    if (!reply.is_object()) return nullptr;
    const json::value* result = reply.as_object().if_contains("return");
    return result && result->is_object() ? &result->as_object() : nullptr;
}

// virsh splits a --diskspec value at single commas; a doubled comma stands for one.
std::string diskspec_text(std::string text) {
    boost::replace_all(text, ",", ",,");
    return text;
}

}  // namespace

std::vector<std::string> ZvModuleKvm::guest_program_arguments(const std::string& arguments) {
    std::vector<std::string> pieces;
    if (arguments.empty()) return pieces;
    boost::split(pieces, arguments, boost::is_any_of(" "));
    return pieces;
}

std::string ZvModuleKvm::guest_exec_request(const std::string& program,
                                            const std::vector<std::string>& arguments) {
    json::array args;
    for (const auto& argument : arguments) args.emplace_back(argument);
    return json::serialize(json::object{
        {"execute", "guest-exec"},
        {"arguments", json::object{{"path", program}, {"arg", std::move(args)}}}});
}

bool ZvModuleKvm::parse_guest_exec_pid(const std::string& reply, std::int64_t& pid) {
    boost::system::error_code ec;
    const json::value parsed = json::parse(reply, ec);
    if (ec) return false;
    const json::object* result = agent_return(parsed);
    const json::value* value = result ? result->if_contains("pid") : nullptr;
    if (!value || !value->is_int64()) return false;
    pid = value->as_int64();
    return true;
}

ZvModuleKvm::GuestExecStatus ZvModuleKvm::parse_guest_exec_status(const std::string& reply) {
    GuestExecStatus status;
    boost::system::error_code ec;
    const json::value parsed = json::parse(reply, ec);
    if (ec) return status;
    const json::object* result = agent_return(parsed);
    if (!result) return status;
    const json::value* exited = result->if_contains("exited");
    if (!exited || !exited->is_bool()) return status;
    status.valid = true;
    status.exited = exited->as_bool();
    // A program ended by a signal has no exit code, only the signal.
    if (const json::value* code = result->if_contains("exitcode"); code && code->is_int64()) {
        status.has_exit_code = true;
        status.exit_code = code->as_int64();
    }
    if (const json::value* signal = result->if_contains("signal"); signal && signal->is_int64())
        status.signal = signal->as_int64();
    return status;
}

bool ZvModuleKvm::kvm_run_script_inside_vm(std::string domain, std::string program,
                                           std::string arguments, unsigned timeout) {
    const std::vector<std::string> pieces = guest_program_arguments(arguments);
    std::string joined;  // the arguments as the log shows them: "a", "b"
    for (const auto& piece : pieces)
        joined += (joined.empty() ? "" : ", ") + json::serialize(json::string(piece));

    const std::string command = virsh_command("qemu-agent-command " + shell_quote(domain) + " " +
                                              shell_quote(guest_exec_request(program, pieces)));
    std::string output;
    std::int64_t pid = 0;
    if (zv_utils_common::execute_command(command, output) != 0 ||
        !parse_guest_exec_pid(output, pid)) {
        ZvLogStream(ZvLogLvl::Error) << script_signature << ": Can't execute script inside VM"
                                     << std::endl;
        log_failed_command(ZvLogLvl::Error, command, output);
        return false;
    }
    if (program != "/usr/bin/test")
        ZvLogStream(ZvLogLvl::Info) << "Run command '" << program << "' with argument '" << joined
                                    << "' inside VM: " << domain << ", pid: " << pid << std::endl;

    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string status_command = agent_command(
        domain, json::object{{"execute", "guest-exec-status"},
                             {"arguments", json::object{{"pid", pid}}}});
    for (unsigned remaining = timeout, asked = 1;; ++asked) {
        std::string reply;
        const int result = zv_utils_common::execute_command(status_command, reply);
        const GuestExecStatus status = parse_guest_exec_status(reply);
        if (result != 0 || !status.valid) {
            ZvLogStream(ZvLogLvl::Error) << script_signature
                                         << ": Can't get exec status of runnign script" << std::endl;
            log_failed_command(ZvLogLvl::Error, status_command, reply);
            return false;
        }
        if (status.exited) {
            if (status.has_exit_code && status.exit_code == 0) return true;
            if (status.has_exit_code)
                ZvLogStream(ZvLogLvl::Error) << "Internal VM script returned: " << status.exit_code
                                             << std::endl;
            else
                ZvLogStream(ZvLogLvl::Error) << "Internal VM script returned no exit code: it was "
                                             << "ended by signal " << status.signal << std::endl;
            return false;
        }
        // A run being ended does not wait for the guest beyond a first second (a
        // program that ends at once, an after step's, still gets its answer read):
        // the program may go on there, and whoever looks at the guest has to know.
        bool slept = false;
        if (remaining > 0 && asked == 1) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            slept = true;
        } else if (remaining > 0) {
            slept = ZvModuleSignalHandler::sleep_unless_terminating(1000);
        }
        if (asked > 1 && ZvModuleSignalHandler::termination_pending()) {
            ZvLogStream(ZvLogLvl::Warning)
                << "The module is being terminated: no longer waiting for '" << program
                << "' inside VM: " << domain << ", pid: " << pid
                << "; it was left running in the guest" << std::endl;
            return false;
        }
        if (slept) --remaining;
        if (remaining == 0) {
            ZvLogStream(ZvLogLvl::Error) << "Internal VM script execution timed out" << std::endl;
            return false;
        }
    }
}

std::string ZvModuleKvm::overlay_path(const kvm_device_info& device, const std::string& snapshot_name,
                                      const std::string& shared_directory) {
    const std::string leaf = snapshot_name + ".snapshot." + device.target + ".qcow2";
    if (device.type == kvm_disk_type::file) return fs::path(device.source).parent_path().string() + "/" + leaf;
    return shared_directory + "/" + leaf;
}

namespace {

bool usable_overlay_directory(const fs::path& directory) {
    if (!directory.is_absolute()) return false;
    const std::string text = directory.lexically_normal().string();
    return text != "/" && text != "/dev" && text.rfind("/dev/", 0) != 0;
}

}  // namespace

std::string ZvModuleKvm::shared_overlay_directory(const std::vector<kvm_device_info>& devices,
                                                  const std::string& operation_directory) {
    // An RBD image name or a device node says nothing about where a file may go: a
    // relative path is refused by libvirt, and /dev or / are no places for data.
    for (const auto& device : devices) {
        if (device.type != kvm_disk_type::file || device.device != kvm_device_type::disk) continue;
        const fs::path directory = fs::path(device.source).parent_path();
        if (usable_overlay_directory(directory)) return directory.string();
        break;
    }
    fs::path directory = fs::absolute(operation_directory).lexically_normal();
    if (directory.filename() == ".") directory = directory.parent_path();  // a trailing slash
    return directory.string();
}

std::string ZvModuleKvm::overlay_path(const kvm_device_info& device, const std::string& snapshot_name,
                                      const std::vector<kvm_device_info>& devices) const {
    return overlay_path(device, snapshot_name,
                        snapshot_overlay_directory.empty()
                            ? shared_overlay_directory(devices, options_.tmp_operation_directory)
                            : snapshot_overlay_directory);
}

int ZvModuleKvm::create_kvm_snapshots(std::string domain, std::string snapshot_name,
                                      std::vector<kvm_device_info> devices) {
    snapshot_overlay_directory = shared_overlay_directory(devices, options_.tmp_operation_directory);
    std::string arguments = "snapshot-create-as --domain " + shell_quote(domain) + " " + shell_quote(snapshot_name);
    for (const auto& device : devices) {
        if (device.device != kvm_device_type::disk) continue;
        arguments += " --diskspec " +
                     shell_quote(diskspec_text(device.target) + ",file=" +
                                 diskspec_text(overlay_path(device, snapshot_name, devices)) +
                                 ",snapshot=external") +
                     " ";
    }
    // A paused guest's agent cannot answer: its disks are taken as they lie.
    arguments += vm_paused ? " --disk-only --atomic --no-metadata" : " --disk-only --quiesce --atomic --no-metadata";
    const std::string command = virsh_command(arguments);
    std::string output;
    const int status = zv_utils_common::execute_command(command, output);
    if (status == 0) return 0;
    ZvLogStream(ZvLogLvl::Error) << create_signature << ": Can't create snapshot(s): " << status
                                 << std::endl;
    log_failed_command(ZvLogLvl::Error, command, output);
    return 6;
}

int ZvModuleKvm::commit_kvm_snapshots(std::string domain, std::string snapshot_name,
                                      std::vector<kvm_device_info> devices) {
    int result = 0;
    std::string output;  // one text for all merges of the call, as the messages show it
    for (const auto& device : devices) {
        if (device.device != kvm_device_type::disk) continue;
        // --shallow merges the overlay into the image it was taken from, and only
        // that: without it a linked clone's own image would be committed into the
        // shared base as well and the domain left running on the base.
        const std::string overlay = overlay_path(device, snapshot_name, devices);
        if (!merge_active_overlay(domain, device.target, output)) {
            ZvLogStream(ZvLogLvl::Error) << commit_signature
                                         << ": Can't blockcommit snapshot(s): " << output << std::endl;
            log_unmerged_overlay(domain, device.target, overlay, device.source);
            result = 6;
            continue;
        }
        ZvLogStream(ZvLogLvl::Info) << "Blockcommited: " << device.target << std::endl;
        remove_obsoleted_file(overlay);
    }
    return result;
}
