// Host check and domain listing: whether this host can run the module (kvm
// kernel module, a hypervisor virsh can reach), the libvirt domains as
// "uuid|name" lines for the client agent, and whether a domain exists.
#include "kvm/zv_module_kvm.h"
#include "kvm/kvm_virsh.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "common/zv_version.h"

#include <boost/algorithm/string.hpp>

#include <algorithm>
#include <exception>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

const std::string virsh = "/usr/bin/virsh";
const char* const check_client_signature = "virtual int ZvModuleKvm::check_client(const bool&)";
const char* const list_signature = "virtual int ZvModuleKvm::list_all_resources()";
const char* const exists_signature = "virtual bool ZvModuleKvm::resource_exists()";

// virsh runs on its own rather than at the head of a pipeline: a pipeline's
// status is its last command's, which would hide a failing virsh behind a
// succeeding grep, awk or sed. The filtering those did is done here instead.

// The fourth word of each "Running hypervisor:" line, joined.
std::string hypervisor_version_text(const std::string& virsh_version_output) {
    std::string text;
    std::istringstream lines(virsh_version_output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Running hypervisor:") == std::string::npos) continue;
        std::istringstream words(line);
        std::string word;
        for (int i = 0; i < 4 && words >> word; ++i) {
            if (i == 3) text += word;
        }
    }
    return text;
}

// "uuid name" lines as virsh lists them become "uuid|name": the first blank of
// each line turns into "|", the rest of the name stays as it is.
std::string uuid_name_lines(std::string listing) {
    for (std::size_t line_start = 0; line_start < listing.size();) {
        const std::size_t line_end = listing.find('\n', line_start);
        const std::size_t blank = listing.find(' ', line_start);
        if (blank != std::string::npos && (line_end == std::string::npos || blank < line_end))
            listing[blank] = '|';
        if (line_end == std::string::npos) break;
        line_start = line_end + 1;
    }
    return listing;
}

}  // namespace

std::array<int, 3> ZvModuleKvm::parse_hypervisor_version(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    std::vector<std::string> pieces;
    boost::split(pieces, text, boost::is_any_of("."));
    std::array<int, 3> version{0, 0, 0};
    for (std::size_t i = 0; i < version.size() && i < pieces.size(); ++i)
        version[i] = std::stoi(pieces[i]);
    return version;
}

bool ZvModuleKvm::hypervisor_needs_force_share(const std::array<int, 3>& version) {
    // QEMU locks a running domain's images from 2.10 on, and qemu-img of the same
    // version reads them only with --force-share.
    return static_cast<unsigned>(version[0]) > 2 || (version[0] == 2 && version[1] >= 10);
}

int ZvModuleKvm::check_client(const bool& verbose) {
    try {
        if (verbose) std::cout << "Module version: " << zelvor::version_current_string << std::endl;

        std::string output;
        if (zv_utils_common::execute_command("/sbin/lsmod | /bin/grep kvm", output) != 0) {
            if (verbose)
                ZvLogStream(ZvLogLvl::Error) << "KVM module was not found in the kernel" << std::endl;
            return 2;
        }
        if (verbose) std::cout << "KVM module was found in the kernel" << std::endl;

        output.clear();
        if (zv_utils_common::execute_command(virsh_command("version"), output) != 0) {
            if (verbose)
                ZvLogStream(ZvLogLvl::Error) << check_client_signature << ": can't run: " << virsh
                                             << " version" << std::endl;
            return 2;
        }
        const std::array<int, 3> version = parse_hypervisor_version(hypervisor_version_text(output));
        if (verbose)
            std::cout << "Running hypervisor is " << version[0] << "." << version[1] << "."
                      << version[2] << std::endl;
        if (hypervisor_needs_force_share(version)) qemu_img_force_share = true;
        return 0;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << check_client_signature << ": " << e.what() << std::endl;
        return 2;
    }
}

int ZvModuleKvm::list_header_labels() {
    if (check_client(false) != 0) {
        ZvLogStream(ZvLogLvl::Error) << "Unable to run the module on this client" << std::endl;
        return 2;
    }
    std::cout << "UUID|Name" << std::endl;
    return 0;
}

int ZvModuleKvm::list_all_resources() {
    try {
        if (check_client(false) != 0) {
            ZvLogStream(ZvLogLvl::Error) << "Unable to run the module on this client" << std::endl;
            return 2;
        }
        const std::string command = virsh_command("-q list --all --name --uuid");
        std::string output;
        if (zv_utils_common::execute_command(command, output) != 0) {
            ZvLogStream(ZvLogLvl::Error) << list_signature << ": Command: " << command << std::endl;
            ZvLogStream(ZvLogLvl::Error) << output << std::endl;
            return 2;
        }
        std::cout << uuid_name_lines(output) << std::flush;
        return 0;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << list_signature << ": " << e.what() << std::endl;
        return 2;
    }
}

int ZvModuleKvm::list_all_resources_with_header_labels() {
    list_header_labels();
    return list_all_resources();
}

bool ZvModuleKvm::resource_exists() {
    try {
        const std::string& domain = options_.resource;
        // virsh would read such a name as one of its options ("--help" succeeds).
        if (!domain.empty() && domain[0] == '-') {
            ZvLogStream(ZvLogLvl::Error) << exists_signature << ": a KVM domain name can't begin with '-': "
                                         << domain << std::endl;
            return false;
        }
        const std::string command =
            virsh_command("dominfo " + zv_utils_common::shell_quote(domain));
        std::string output;
        if (zv_utils_common::execute_command(command, output) == 0) return true;
        ZvLogStream(ZvLogLvl::Error) << exists_signature << ": KVM domain doesn't exist: " << domain
                                     << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Command: " << command << std::endl;
        ZvLogStream(ZvLogLvl::Error) << output << std::endl;
        return false;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << exists_signature << ": " << e.what() << std::endl;
        return false;
    }
}

bool ZvModuleKvm::resource_identity(std::string& identity) {
    identity.clear();
    // dominfo takes a name, a UUID or an id alike (domuuid takes no UUID).
    const std::string command =
        virsh_command("dominfo " + zv_utils_common::shell_quote(options_.resource));
    std::string output;
    if (zv_utils_common::execute_command(command, output) == 0) {
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("UUID:", 0) != 0) continue;
            identity = boost::algorithm::trim_copy(line.substr(5));
            if (!identity.empty()) return true;
        }
    }
    ZvLogStream(ZvLogLvl::Error) << "virtual bool ZvModuleKvm::resource_identity(std::string&): "
                                 << "can't get the UUID of KVM domain: " << options_.resource << std::endl;
    ZvLogStream(ZvLogLvl::Error) << "Command: " << command << std::endl;
    ZvLogStream(ZvLogLvl::Error) << output << std::endl;
    return false;
}
