// VM and host queries, the two VM actions (hard power-off, terminate) and the
// VM lock against management actions.
#include "opennebula/opennebula.h"
#include "opennebula/opennebula_query.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <algorithm>
#include <iomanip>

namespace zv_opennebula_common {

using detail::CommandFailure;
using detail::kCommandThenOutput;
using detail::log_refused;
using detail::parse_and_check_root;
using detail::query_tool;
using detail::run_tool;
using detail::run_vm_show;
using detail::XmlDocument;
using zv_utils_common::execute_command;
using zv_utils_common::shell_quote;

namespace {

const char* const kOnevm = "/usr/bin/onevm";
const char* const kOnehost = "/usr/bin/onehost";

using detail::vm_show_command;

// How a failed "onevm show" is reported, besides kCommandThenOutput.
constexpr CommandFailure kCommandThenLabelledOutput{"command "};
constexpr CommandFailure kFollowingCommandFailed{"the following command failed: "};

bool show_vm(const char* signature, const std::string& vm, XmlDocument& doc,
             const CommandFailure& failure) {
    return query_tool(signature, vm_show_command(vm), failure, "VM", doc);
}

// The first DISK of a first-level TEMPLATE whose TARGET reads `target`.
const xmlNode* find_disk(xmlDoc* doc, const xmlNode* root, const std::string& target) {
    for (const xmlNode* tmpl = root->children; tmpl; tmpl = tmpl->next) {
        if (!has_name(tmpl, "TEMPLATE")) continue;
        for (const xmlNode* disk = tmpl->children; disk; disk = disk->next) {
            if (!has_name(disk, "DISK")) continue;
            for (const xmlNode* item = disk->children; item; item = item->next)
                if (has_name(item, "TARGET") && element_text(doc, item) == target) return disk;
        }
    }
    return nullptr;
}

// Runs "onehost list -x" and parses it as a HOST_POOL.
bool list_hosts(const char* signature, XmlDocument& doc, const char* parse_failure) {
    std::string output;
    return run_tool(signature, std::string(kOnehost) + " list -x",
                    {"can't get pool of hosts, command was"}, output) &&
           parse_and_check_root(signature, output, "HOST_POOL", doc, parse_failure, ": ");
}

}  // namespace

namespace detail {

std::string vm_show_command(const std::string& vm) {
    return std::string(kOnevm) + " show " + shell_quote(vm) + " -x";
}

bool run_vm_show(const char* signature, const std::string& vm, std::string& output) {
    const std::string command = vm_show_command(vm);
    if (execute_command(command, output) == 0) return true;
    log_refused(signature, "can't get info for VM: " + vm, command, output);
    return false;
}

bool show_vm_document(const char* signature, const std::string& vm, XmlDocument& doc) {
    std::string output;
    if (!run_vm_show(signature, vm, output)) return false;
    ParseMessages messages;
    messages.empty = "empty document: ";
    messages.wrong_type_suffix = ": ";
    return parse_with_root(signature, output, "VM", doc, messages);
}

}  // namespace detail

int get_VM_state(const std::string& vm, opennebula_vm_state& state) {
    static const char* const signature =
        "int zv_opennebula_common::get_VM_state(const string&, opennebula_vm_state&)";
    XmlDocument doc;
    if (!show_vm(signature, vm, doc, kCommandThenOutput)) return 1;
    for (const xmlNode* child = doc.root()->children; child; child = child->next) {
        if (has_name(child, "STATE"))
            state.state = std::stoi(element_text(doc.get(), child), nullptr, 10);
        else if (has_name(child, "LCM_STATE"))
            state.lcm_state = std::stoi(element_text(doc.get(), child), nullptr, 10);
    }
    if (state.state == -1) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": VM state wasn't found in XML" << std::endl;
        return 1;
    }
    if (state.lcm_state == -1)
        ZvLogStream(ZvLogLvl::Error) << signature << ": VM lcm_state wasn't found in XML"
                                     << std::endl;
    return 0;
}

int get_VM_workplace(const std::string& vm, std::string& host, std::string& deploy_id) {
    static const char* const signature =
        "int zv_opennebula_common::get_VM_workplace(const string&, std::__cxx11::string&, std::__cxx11::string&)";
    {
        XmlDocument doc;
        if (!show_vm(signature, vm, doc, kCommandThenOutput)) return 1;
        for (const xmlNode* child = doc.root()->children; child; child = child->next)
            if (has_name(child, "DEPLOY_ID")) deploy_id = element_text(doc.get(), child);
    }
    std::string found;
    if (get_VM_host(vm, found) != 0) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't get VM hostname" << std::endl;
        return 1;
    }
    host = found;
    return 0;
}

int get_vm_id_by_name(const std::string& vm, std::string& id) {
    static const char* const signature =
        "int zv_opennebula_common::get_vm_id_by_name(const string&, std::__cxx11::string&)";
    XmlDocument doc;
    if (!show_vm(signature, vm, doc, kFollowingCommandFailed)) return 1;
    const xmlNode* element = first_child(doc.root(), "ID");
    if (!element) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't get ID for VM: " << vm << std::endl;
        return 1;
    }
    id = element_text(doc.get(), element);
    return 0;
}

int get_VM_diskID(const std::string& vm, const std::string& target, int& disk_id) {
    static const char* const signature =
        "int zv_opennebula_common::get_VM_diskID(const string&, const string&, int&)";
    XmlDocument doc;
    if (!show_vm(signature, vm, doc, kCommandThenLabelledOutput)) return 1;
    const xmlNode* disk = find_disk(doc.get(), doc.root(), target);
    if (!disk) return 1;
    // A matching disk without DISK_ID has no answer either.
    const xmlNode* element = first_child(disk, "DISK_ID");
    if (!element) return 1;
    disk_id = std::stoi(element_text(doc.get(), element), nullptr, 10);
    return 0;
}

int get_disk_id_and_source(const std::string& vm, const std::string& target, int& disk_id,
                           std::string& source) {
    static const char* const signature =
        "int zv_opennebula_common::get_disk_id_and_source(const string&, const string&, int&, std::__cxx11::string&)";
    std::string output;
    if (!run_vm_show(signature, vm, output)) return 1;
    XmlDocument doc;
    if (!parse_and_check_root(signature, output, "VM", doc, "can't parse xml data")) return 1;
    const xmlNode* disk = find_disk(doc.get(), doc.root(), target);
    if (!disk) return 1;
    for (const xmlNode* item = disk->children; item; item = item->next) {
        if (has_name(item, "DISK_ID")) {
            const std::string text = element_text(doc.get(), item);
            if (text.empty()) {
                ZvLogStream(ZvLogLvl::Error) << signature << ": got empty disk ID" << std::endl;
                return 1;
            }
            disk_id = std::stoi(text, nullptr, 10);
        } else if (has_name(item, "SOURCE")) {
            source = element_text(doc.get(), item);
            if (source.empty()) {
                ZvLogStream(ZvLogLvl::Error) << signature << ": got empty disk source"
                                             << std::endl;
                return 1;
            }
        }
    }
    return 0;
}

int get_vm_name_list(std::vector<std::string>& names) {
    static const char* const signature =
        "int zv_opennebula_common::get_vm_name_list(std::vector<std::__cxx11::basic_string<char> >&)";
    const std::string command = std::string(kOnevm) + " list -x";
    return detail::query_pool_names(signature, command, "VM_POOL", "VM", names) ? 0 : 1;
}

bool does_VM_id_exist(const std::string& vm) {
    std::string output;
    return execute_command(std::string(kOnevm) + " show " + shell_quote(vm), output) == 0;
}

bool does_VM_name_exist(const std::string& name) {
    static const char* const signature =
        "bool zv_opennebula_common::does_VM_name_exist(const string&)";
    std::vector<std::string> names;
    if (get_vm_name_list(names) != 0) {
        ZvLogStream(ZvLogLvl::Error) << signature << ": can't get list of VMs names" << std::endl;
        return false;
    }
    return std::find(names.begin(), names.end(), name) != names.end();
}

int shutdown_hard(const std::string& vm) {
    static const char* const signature = "int zv_opennebula_common::shutdown_hard(const string&)";
    const std::string command = std::string(kOnevm) + " poweroff " + shell_quote(vm) + " --hard";
    std::string output;
    if (execute_command(command, output) == 0) return 0;
    if (output.find("This action is not available for state POWEROFF") != std::string::npos) {
        ZvLogStream(ZvLogLvl::Warning) << "Trying to send poweroff command to shutdown VM: "
                                       << std::quoted(vm, '"', '\\') << std::endl;
        return 0;
    }
    detail::log_command_failure(signature, "command was: ", command, output);
    return 1;
}

int terminate_vm(const std::string& vm) {
    static const char* const signature = "int zv_opennebula_common::terminate_vm(const string&)";
    const std::string command = std::string(kOnevm) + " terminate " + shell_quote(vm);
    std::string output;
    if (execute_command(command, output) == 0) return 0;
    log_refused(signature, "unable to terminate the VM: " + vm, command, output);
    return 1;
}

int get_VM_host(const std::string& vm_id, std::string& host) {
    static const char* const signature =
        "int zv_opennebula_common::get_VM_host(const string&, std::__cxx11::string&)";
    XmlDocument doc;
    if (!list_hosts(signature, doc, nullptr)) return 1;
    for (const xmlNode* entry = doc.root()->children; entry; entry = entry->next) {
        if (!has_name(entry, "HOST")) continue;
        std::string name;
        for (const xmlNode* child = entry->children; child; child = child->next) {
            if (has_name(child, "NAME")) {
                name = element_text(doc.get(), child);
            } else if (has_name(child, "VMS")) {
                for (const xmlNode* id = child->children; id; id = id->next) {
                    if (has_name(id, "ID") && element_text(doc.get(), id) == vm_id) {
                        host = name;
                        return 0;
                    }
                }
            }
        }
    }
    return 1;
}

int get_node_id_for_current_host(std::string& host_id) {
    static const char* const signature =
        "int zv_opennebula_common::get_node_id_for_current_host(std::__cxx11::string&)";
    XmlDocument doc;
    if (!list_hosts(signature, doc, "can't parse xml data")) return 1;
    const std::string node = zv_utils_common::get_nodename();
    ZvLogStream(ZvLogLvl::Info) << signature << ": current host name: " << node << std::endl;
    for (const xmlNode* entry = doc.root()->children; entry; entry = entry->next) {
        if (!has_name(entry, "HOST")) continue;
        host_id = element_text(doc.get(), first_child(entry, "ID"));
        for (const xmlNode* tmpl = entry->children; tmpl; tmpl = tmpl->next) {
            if (!has_name(tmpl, "TEMPLATE")) continue;
            for (const xmlNode* item = tmpl->children; item; item = item->next)
                if (has_name(item, "HOSTNAME") && element_text(doc.get(), item) == node) return 0;
        }
    }
    host_id.clear();
    return 1;
}

int get_eth0_mac_addr(const std::string& vm, std::string& mac) {
    static const char* const signature =
        "int zv_opennebula_common::get_eth0_mac_addr(const string&, std::__cxx11::string&)";
    std::string output;
    if (!run_vm_show(signature, vm, output)) return 1;
    XmlDocument doc;
    if (!parse_and_check_root(signature, output, "VM", doc, nullptr, ": ")) return 1;
    for (const xmlNode* tmpl = doc.root()->children; tmpl; tmpl = tmpl->next) {
        if (!has_name(tmpl, "TEMPLATE")) continue;
        for (const xmlNode* context = tmpl->children; context; context = context->next) {
            if (!has_name(context, "CONTEXT")) continue;
            if (const xmlNode* element = first_child(context, "ETH0_MAC")) {
                mac = element_text(doc.get(), element);
                return 0;
            }
        }
    }
    return 1;
}

// ---- VM lock ----

VM_lock::VM_lock(const std::string& vm) : vm_id(vm) { lock_manage_actions(vm); }

VM_lock::~VM_lock() { unlock(); }

bool VM_lock::release_before_locking(const char* signature, const std::string& vm) {
    if (!granted || !unlock()) return true;
    ZvLogStream(ZvLogLvl::Warning) << signature << ": VM '" << vm_id
                                   << "' is still locked by this object, VM '" << vm
                                   << "' is not locked" << std::endl;
    return false;
}

bool VM_lock::lock(const std::string& vm) {
    static const char* const signature = "bool zv_opennebula_common::VM_lock::lock(const string&)";
    if (!release_before_locking(signature, vm)) return false;
    // The VM taken is the one to release later, also on a default-constructed lock.
    vm_id = vm;
    std::string output;
    granted = locked = execute_command(std::string(kOnevm) + " lock " + shell_quote(vm), output) == 0;
    if (locked) ZvLogStream(ZvLogLvl::Info) << "VM " << vm_id << " has been locked" << std::endl;
    return locked;
}

void VM_lock::lock_manage_actions(const std::string& vm) {
    static const char* const signature =
        "void zv_opennebula_common::VM_lock::lock_manage_actions(const string&)";
    if (!release_before_locking(signature, vm)) return;
    locked = false;
    vm_id = vm;
    const std::string not_sure = "unable to make sure that VM '" + vm_id + "' is locked";

    std::string command = std::string(kOnevm) + " lock " + shell_quote(vm) + " --manage";
    std::string output;
    const auto warn_failed = [&](const std::string& first) {
        ZvLogStream(ZvLogLvl::Warning) << signature << ": " << first << std::endl;
        ZvLogStream(ZvLogLvl::Warning) << "The following command failed: " << command << std::endl;
        ZvLogStream(ZvLogLvl::Warning) << "Command output: " << output << std::endl;
    };
    if (execute_command(command, output) != 0) {
        warn_failed("unable to lock VM: " + vm_id);
        return;
    }
    // From here on OpenNebula holds a lock of ours, confirmed or not, and unlock()
    // releases it.
    granted = true;
    command = vm_show_command(vm);
    output.clear();
    if (execute_command(command, output) != 0) {
        warn_failed(not_sure);
        return;
    }
    XmlDocument doc(xmlParseMemory(output.data(), static_cast<int>(output.size())));
    if (!doc.get()) {
        ZvLogStream(ZvLogLvl::Warning) << signature << ": XML document not parsed successfully, "
                                       << not_sure << std::endl;
        return;
    }
    if (!doc.root()) {
        ZvLogStream(ZvLogLvl::Warning) << signature << ": empty XML document, " << not_sure
                                       << std::endl;
        return;
    }
    if (!has_name(doc.root(), "VM")) {
        ZvLogStream(ZvLogLvl::Warning) << signature
                                       << ": document of the wrong type, root node != VM, "
                                       << " " << not_sure << std::endl;
        return;
    }
    if (const xmlNode* lock_element = first_child(doc.root(), "LOCK"))
        locked = first_child(lock_element, "LOCKED") != nullptr;
    if (locked)
        ZvLogStream(ZvLogLvl::Info) << "VM '" << vm_id << "' has been locked" << std::endl;
    else
        ZvLogStream(ZvLogLvl::Warning) << signature << ": unable to lock VM: " << vm_id
                                       << std::endl;
}

bool VM_lock::unlock() {
    static const char* const signature = "bool zv_opennebula_common::VM_lock::unlock()";
    if (!granted) return false;
    const std::string command = std::string(kOnevm) + " unlock " + shell_quote(vm_id);
    std::string output;
    if (execute_command(command, output) == 0) {
        ZvLogStream(ZvLogLvl::Info) << "VM '" << vm_id << "' has been unlocked" << std::endl;
        granted = locked = false;
    } else {
        ZvLogStream(ZvLogLvl::Warning) << signature << ": can't unlock VM: " << vm_id << std::endl;
    }
    return granted;
}

}  // namespace zv_opennebula_common
