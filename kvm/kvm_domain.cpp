// Domain state, disks and guest agent: whether a domain may be backed up and is
// running, its block devices with their backing chains, its XML definition, and
// whether its QEMU guest agent can freeze the guest's file systems.
#include "kvm/zv_module_kvm.h"
#include "kvm/kvm_log.h"
#include "kvm/kvm_virsh.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/json.hpp>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <sstream>
#include <utility>

namespace fs = boost::filesystem;
namespace json = boost::json;
using zv_utils_common::shell_quote;

namespace {

const char* const online_signature = "bool ZvModuleKvm::is_VM_online(std::__cxx11::string, bool&)";
const char* const devices_signature =
    "bool ZvModuleKvm::load_online_VM_devices(std::__cxx11::string, std::vector<kvm_device_info>*)";
const char* const xml_signature =
    "bool ZvModuleKvm::create_VM_xml(std::__cxx11::string, std::__cxx11::string)";
const char* const agent_signature = "bool ZvModuleKvm::qemu_guest_agent_enabled()";

const std::pair<const char*, kvm_disk_type> disk_type_words[] = {
    {"file", kvm_disk_type::file},       {"block", kvm_disk_type::block},
    {"dir", kvm_disk_type::dir},         {"network", kvm_disk_type::network},
    {"volume", kvm_disk_type::volume},   {"nvme", kvm_disk_type::nvme},
};

const std::pair<const char*, kvm_device_type> device_type_words[] = {
    {"floppy", kvm_device_type::floppy},
    {"disk", kvm_device_type::disk},
    {"cdrom", kvm_device_type::cdrom},
    {"lun", kvm_device_type::lun},
};

std::string without_double_quotes(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
    return text;
}

std::string xml_text(const xmlChar* text) {
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

}  // namespace

bool ZvModuleKvm::saved_domain_xml_is_whole(const std::string& xml_path, const std::string& domain,
                                         std::string& fault) {
    xmlDocPtr parsed = xmlReadFile(xml_path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR |
                                                                  XML_PARSE_NOWARNING);
    if (parsed == nullptr) {
        fault = "is not a whole XML document";
        return false;
    }
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(parsed, xmlFreeDoc);
    const xmlNodePtr root = xmlDocGetRootElement(doc.get());
    if (root == nullptr || xmlStrcmp(root->name, BAD_CAST "domain") != 0) {
        fault = "is not a domain definition";
        return false;
    }
    std::string name, uuid;
    for (xmlNodePtr child = root->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        xmlChar* text = xmlNodeGetContent(child);
        if (xmlStrcmp(child->name, BAD_CAST "name") == 0 && name.empty()) name = xml_text(text);
        if (xmlStrcmp(child->name, BAD_CAST "uuid") == 0 && uuid.empty()) uuid = xml_text(text);
        xmlFree(text);
    }
    xmlChar* id = xmlGetProp(root, BAD_CAST "id");
    const std::string id_text = xml_text(id);
    xmlFree(id);
    // The domain may have been named by its name, its UUID or its id.
    if (name.empty() ||
        (name != domain && !boost::algorithm::iequals(uuid, domain) && id_text != domain)) {
        fault = "does not define the domain (its name is \"" + name + "\")";
        return false;
    }
    return true;
}

bool ZvModuleKvm::disk_type_from_word(const std::string& word, kvm_disk_type& type) {
    for (const auto& entry : disk_type_words) {
        if (word == entry.first) {
            type = entry.second;
            return true;
        }
    }
    return false;
}

bool ZvModuleKvm::device_type_from_word(const std::string& word, kvm_device_type& type) {
    for (const auto& entry : device_type_words) {
        if (word == entry.first) {
            type = entry.second;
            return true;
        }
    }
    return false;
}

std::string ZvModuleKvm::disk_type_word(kvm_disk_type type) {
    for (const auto& entry : disk_type_words)
        if (entry.second == type) return entry.first;
    return std::to_string(zelvor_common::to_underlying(type));
}

bool ZvModuleKvm::is_VM_online(std::string domain, bool& online) {
    online = false;
    try {
        const std::string command = virsh_command("-q domstate " + shell_quote(domain));
        std::string output;
        if (zv_utils_common::execute_command(command, output) != 0) {
            ZvLogStream(ZvLogLvl::Error) << online_signature << ": Command: " << command << std::endl;
            ZvLogStream(ZvLogLvl::Error) << output << std::endl;
            return false;
        }
        output.erase(std::remove(output.begin(), output.end(), '\n'), output.end());
        ZvLogStream(ZvLogLvl::Info) << "Status of VM '" << domain << "': |" << output << "|"
                                    << std::endl;
        vm_paused = false;
        if (output == "idle" || output == "crashed" || output == "pmsuspended" ||
            output == "in shutdown")
            return false;
        // A paused domain may be resumed at any moment, and then it writes to its
        // images while they are copied: it gets a snapshot like a running one.
        if (output == "running" || output == "paused") {
            online = true;
            vm_paused = output == "paused";
            return true;
        }
        if (output == "shut off") return true;
        ZvLogStream(ZvLogLvl::Error) << online_signature << ": unknown state of VM '" << domain
                                     << "': " << output << std::endl;
        return false;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << online_signature << ": " << e.what() << std::endl;
        return false;
    }
}

bool ZvModuleKvm::parse_block_device_line(std::string line, kvm_device_info& device, bool& empty) {
    // The source is the last column and the rest of the line: an image path may hold
    // blanks, and cutting it at the first one would name another file (or none).
    const char* const blanks = " \t\r";
    std::vector<std::string> words;
    std::size_t at = line.find_first_not_of(blanks);
    while (at != std::string::npos && words.size() < 3) {
        const std::size_t end = line.find_first_of(blanks, at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? end : line.find_first_not_of(blanks, end);
    }
    if (at != std::string::npos)
        words.push_back(line.substr(at, line.find_last_not_of(blanks) + 1 - at));
    empty = words.empty();
    if (empty) return true;

    device = kvm_device_info();
    if (!disk_type_from_word(words[0], device.type)) {
        ZvLogStream(ZvLogLvl::Error) << devices_signature << ": " << "/usr/bin/virsh"
                                     << " returned wrong type: " << words[0] << std::endl;
        return false;
    }
    if (words.size() > 1 && !device_type_from_word(words[1], device.device)) {
        ZvLogStream(ZvLogLvl::Error) << devices_signature << ": " << "/usr/bin/virsh"
                                     << " returned wrong device: " << words[1] << std::endl;
        return false;
    }
    if (words.size() > 2) device.target = words[2];
    if (words.size() > 3) device.source = words[3];
    return true;
}

bool ZvModuleKvm::read_backing_chain(kvm_device_info& device) {
    std::string path = device.source;
    while (path != "-" && !path.empty()) {
        if (device.type == kvm_disk_type::network) {
            device.backing_chain.push_back(path);
            return true;
        }
        if (!fs::exists(path)) {
            ZvLogStream(ZvLogLvl::Error) << devices_signature << ": Can't find file: " << path
                                         << std::endl;
            return false;
        }
        if (fs::is_symlink(path)) path = fs::canonical(path, fs::current_path()).string();
        // An image that names one of its own descendants as backing file would
        // otherwise keep the walk going for ever.
        if (std::find(device.backing_chain.begin(), device.backing_chain.end(), path) !=
            device.backing_chain.end())
            return true;
        device.backing_chain.push_back(path);

        // The whole JSON document is read rather than grepped for the member, so that
        // a backing path holding blanks, commas or quotes comes out as it is.
        const std::string command = std::string("/usr/bin/qemu-img") +
                                    (qemu_img_force_share ? " info --force-share " : " info ") +
                                    shell_quote(path) + " --output=json";
        std::string output;
        if (zv_utils_common::execute_command(command, output) != 0) {
            // Every file of a saved disk's chain is archived with it: a chain cut short
            // here would make a backup that restores without its base. A drive that is
            // not saved (a CD-ROM, a floppy, a lun) only loses the rest of its chain.
            const bool saved = device.device == kvm_device_type::disk;
            const ZvLogLvl::Level level = saved ? ZvLogLvl::Error : ZvLogLvl::Warning;
            ZvLogStream(level) << devices_signature << ": Can't read the backing file of disk "
                               << device.target << ": " << path << std::endl;
            log_failed_command(level, command, output);
            return !saved;
        }
        boost::system::error_code ec;
        const json::value info = json::parse(output, ec);
        if (ec || !info.is_object()) {
            ZvLogStream(ZvLogLvl::Error) << devices_signature << ": Can't find backing filename"
                                         << std::endl;
            log_failed_command(ZvLogLvl::Error, command, output);
            return false;
        }
        const json::value* backing = info.as_object().if_contains("full-backing-filename");
        if (!backing) return true;
        if (!backing->is_string() || backing->as_string().empty()) {
            ZvLogStream(ZvLogLvl::Error) << devices_signature << ": Can't find backing filename"
                                         << std::endl;
            log_failed_command(ZvLogLvl::Error, command, output);
            return false;
        }
        path = std::string(backing->as_string());
    }
    return true;
}

bool ZvModuleKvm::load_online_VM_devices(std::string domain, std::vector<kvm_device_info>* devices) {
    const std::string command = virsh_command("-q domblklist --details " + shell_quote(domain));
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << devices_signature << ": Command " << command << std::endl;
        ZvLogStream(ZvLogLvl::Error) << output << std::endl;
        return false;
    }
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        kvm_device_info device;
        bool empty = false;
        if (!parse_block_device_line(line, device, empty)) return false;
        if (empty) continue;
        if (!device.source.empty() && !read_backing_chain(device)) return false;
        devices->push_back(std::move(device));
    }
    return true;
}

bool ZvModuleKvm::create_VM_xml(std::string domain, std::string xml_path) {
    try {
        // With its security information the definition keeps the console passwords,
        // so the file is made readable by its owner alone before anything is in it.
        const int fd = ::open(xml_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
        const std::string command = virsh_command("dumpxml --security-info " + shell_quote(domain)) + " > " +
                                    shell_quote(xml_path);
        std::string output;
        if (zv_utils_common::execute_command(command, output) == 0) {
            // virsh ends with 0 even when its output could not be written (a full
            // disk): only a definition that reads back whole is worth archiving.
            std::string fault;
            if (saved_domain_xml_is_whole(xml_path, domain, fault)) return true;
            ZvLogStream(ZvLogLvl::Error) << xml_signature << ": Can't create xml file of VM: " << domain
                                         << ": the saved file " << xml_path << " " << fault << std::endl;
            return false;
        }
        ZvLogStream(ZvLogLvl::Error) << xml_signature << ": Can't create xml file of VM: " << domain
                                     << std::endl;
        log_failed_command(ZvLogLvl::Error, command, output);
        return false;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << xml_signature << ": " << e.what() << std::endl;
        return false;
    }
}

bool ZvModuleKvm::qemu_guest_agent_enabled() {
    const std::string& domain = options_.resource;
    const std::string request =
        json::serialize(json::object{{"execute", "guest-info"}, {"arguments", json::object()}});
    const std::string command =
        virsh_command("qemu-agent-command " + shell_quote(domain) + " " + shell_quote(request));
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Warning) << agent_signature
                                       << ": it looks like qemu-guest-agent is not enabled on VM: "
                                       << domain << std::endl;
        ZvLogStream(ZvLogLvl::Warning) << "Command was: " << command << std::endl;
        ZvLogStream(ZvLogLvl::Warning) << "Command output: " << output << std::endl;
        return false;
    }
    return guest_info_allows_freeze(output, domain);
}

bool ZvModuleKvm::guest_info_allows_freeze(const std::string& reply, const std::string& domain) {
    try {
        const json::value parsed = json::parse(reply);
        if (!parsed.is_object()) {
            ZvLogStream(ZvLogLvl::Warning) << agent_signature
                                           << ": json value is not qemu-agent-command response"
                                           << std::endl;
            return false;
        }
        if (parsed.as_object().empty()) {
            ZvLogStream(ZvLogLvl::Warning) << agent_signature << ": json object value is empty. "
                                           << "Expected qemu-agent-command response" << std::endl;
            return false;
        }
        std::string version;
        std::vector<std::pair<std::string, std::string>> commands;  // name, "enabled" as JSON
        for (const auto& member : parsed.as_object()) {
            if (member.key() != "return") continue;
            if (!member.value().is_object()) {
                ZvLogStream(ZvLogLvl::Warning)
                    << agent_signature
                    << ": json value is not 'return' object for qemu-agent-command" << std::endl;
                return false;
            }
            const json::object& info = member.value().as_object();
            if (info.empty()) {
                ZvLogStream(ZvLogLvl::Warning) << agent_signature << ": json object value is empty. "
                                               << "Expected qemu-agent-command return info"
                                               << std::endl;
                return false;
            }
            for (const auto& field : info) {
                if (field.key() == "version") {
                    version = without_double_quotes(json::serialize(field.value()));
                } else if (field.key() == "supported_commands") {
                    if (!field.value().is_array()) {
                        ZvLogStream(ZvLogLvl::Warning)
                            << agent_signature
                            << ": json value is not an array of 'supported_command' objects"
                            << std::endl;
                        return false;
                    }
                    const json::array& supported = field.value().as_array();
                    if (supported.empty()) {
                        ZvLogStream(ZvLogLvl::Warning)
                            << agent_signature << ": array of 'supported_command' objects is empty"
                            << std::endl;
                        return false;
                    }
                    for (const json::value& entry : supported) {
                        if (!entry.is_object()) {
                            ZvLogStream(ZvLogLvl::Warning)
                                << agent_signature << ": json value is not 'supported_command' object"
                                << std::endl;
                            return false;
                        }
                        if (entry.as_object().empty()) {
                            ZvLogStream(ZvLogLvl::Warning)
                                << agent_signature << ": json object value is empty. "
                                << "Expected info about guest agent supported command" << std::endl;
                            return false;
                        }
                        std::string name, enabled;
                        if (const json::value* value = entry.as_object().if_contains("name"))
                            name = without_double_quotes(json::serialize(*value));
                        if (const json::value* value = entry.as_object().if_contains("enabled"))
                            enabled = json::serialize(*value);
                        commands.emplace_back(name, enabled);
                    }
                }
            }
        }
        for (const auto& command : commands) {
            if (command.first == "guest-fsfreeze-freeze" && command.second == "true") {
                ZvLogStream(ZvLogLvl::Info) << "qemu-guest-agent is enabled on VM " << domain
                                            << ", agent version: " << version << std::endl;
                return true;
            }
        }
        ZvLogStream(ZvLogLvl::Warning) << agent_signature
                                       << ": it looks like qemu-guest-agent is not enabled on VM: "
                                       << domain << std::endl;
        return false;
    } catch (const boost::system::system_error& e) {
        ZvLogStream(ZvLogLvl::Error) << agent_signature << ": json: " << e.what() << std::endl;
    } catch (const std::bad_alloc& e) {
        ZvLogStream(ZvLogLvl::Warning) << agent_signature << ": json parsing failed: " << e.what()
                                       << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << agent_signature << ": exception: " << e.what() << std::endl;
    }
    return false;
}
