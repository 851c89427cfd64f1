// The clean-up of a backup whose termination waited past its limit. The step under
// way (a snapshot being taken, a merge whose pivot never comes) was cut off with its
// programs, so what the run remembers may be half done: libvirt's own view decides.
// Every disk on this run's overlay is merged back, a frozen guest is thawed, an owed
// after step runs, and whatever stays is logged with the command that finishes it.
// Every virsh here is bounded, so the clean-up ends however libvirt or the agent fare.
#include "kvm/zv_module_kvm.h"
#include "kvm/kvm_log.h"
#include "kvm/kvm_virsh.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/json.hpp>

namespace json = boost::json;
using zv_utils_common::shell_quote;

namespace {

const char* const overdue_signature = "virtual void ZvModuleKvm::handle_overdue_termination()";

// The limit is spent already: a commit that does not move is given up sooner than
// in a run's own merge.
constexpr int overdue_stall_seconds = 5;

}  // namespace

void ZvModuleKvm::handle_overdue_termination() {
    switch (options_.operation) {
        case ZvModuleOperations::Backup:
        case ZvModuleOperations::BackupList:
        case ZvModuleOperations::CreateReplica:
            break;
        default:
            ZvModuleUniversal::handle_overdue_termination();
            return;
    }
    shutdown_requested = true;
    bound_virsh_commands();
    const std::string& domain = options_.resource;

    std::vector<overlay_on_disk> overlays;
    if (!overlays_in_use(domain, options_.archive_name, overlays))
        ZvLogStream(ZvLogLvl::Error) << overdue_signature << ": can't tell whether VM " << domain
                                     << " still writes into overlays of this backup; look with: "
                                     << "/usr/bin/virsh domblklist " << shell_quote(domain) << std::endl;
    bool exists = true;
    const bool stopped = domain_shut_off(domain, exists);
    if (!overlays.empty() && exists && stopped) {
        merge_overlays_offline(domain, overlays);
    } else if (exists) {
        for (const auto& overlay : overlays) {
            std::string info, output;
            const bool started = block_commit_running(domain, overlay.target, info);
            if (merge_active_overlay(domain, overlay.target, output, started, overdue_stall_seconds)) {
                ZvLogStream(ZvLogLvl::Info) << "Blockcommited: " << overlay.target << std::endl;
                remove_obsoleted_file(overlay.overlay);
                continue;
            }
            ZvLogStream(ZvLogLvl::Error) << overdue_signature << ": Can't blockcommit snapshot(s): " << output
                                         << std::endl;
            log_unmerged_overlay(domain, overlay.target, overlay.overlay, overlay.image);
        }
    }
    if (exists && !stopped && !vm_paused) thaw_guest_if_frozen(domain);
    run_owed_after_step();
    remove_work_directory();
}

void ZvModuleKvm::thaw_guest_if_frozen(const std::string& domain) {
    const std::string thaw = "/usr/bin/virsh domfsthaw " + shell_quote(domain);
    const std::string ask = virsh_command("qemu-agent-command --timeout 5 " + shell_quote(domain) + " " +
                                          shell_quote(R"({"execute":"guest-fsfreeze-status"})"));
    std::string reply;
    if (zv_utils_common::execute_command(ask, reply) != 0) {
        ZvLogStream(ZvLogLvl::Warning) << overdue_signature << ": the guest agent of VM " << domain
                                       << " does not say whether its file systems are frozen; if they "
                                       << "are, thaw them with: " << thaw << std::endl;
        log_failed_command(ZvLogLvl::Warning, ask, reply);
        return;
    }
    boost::system::error_code ec;
    const json::value parsed = json::parse(reply, ec);
    const json::value* state = !ec && parsed.is_object() ? parsed.as_object().if_contains("return") : nullptr;
    if (state == nullptr || !state->is_string() || state->as_string() != "frozen") return;
    const std::string command = virsh_command("domfsthaw " + shell_quote(domain));
    std::string output;
    if (zv_utils_common::execute_command(command, output) == 0) {
        ZvLogStream(ZvLogLvl::Info) << "The file systems of VM " << domain << " were frozen: thawed"
                                    << std::endl;
        return;
    }
    ZvLogStream(ZvLogLvl::Error) << overdue_signature << ": the file systems of VM " << domain
                                 << " stay frozen; thaw them with: " << thaw << std::endl;
    log_failed_command(ZvLogLvl::Error, command, output);
}
