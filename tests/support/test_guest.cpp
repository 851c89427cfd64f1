#include "support/test_guest.h"

#include "support/xml_escape.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <openssl/evp.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = boost::filesystem;
namespace json = boost::json;

namespace zv_test {

namespace {

std::string last_line(const std::string& text) {
    std::istringstream lines(text);
    std::string line, last;
    while (std::getline(lines, line))
        if (!line.empty()) last = line;
    return last;
}

std::string trim(std::string text) {
    const auto end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    const auto begin = text.find_first_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : text.substr(begin);
}

std::string base64_decode(const std::string& text) {
    if (text.empty()) return {};
    std::string decoded(text.size() / 4 * 3 + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) throw std::runtime_error("guest agent sent invalid base64: " + text);
    size_t size = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding as decoded zero bytes.
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
    decoded.resize(size);
    return decoded;
}

void run_or_throw(const std::vector<std::string>& argv, const std::string& what) {
    const auto result = run_program(argv, 120);
    if (!result.ok()) throw std::runtime_error(what + ": " + result.describe());
}

// The agent's reply as a JSON object's "return" member; null when there is none.
json::value agent_return(const CommandResult& reply) {
    boost::system::error_code ec;
    json::value parsed = json::parse(reply.out, ec);
    if (ec || !parsed.is_object()) return nullptr;
    const auto* ret = parsed.as_object().if_contains("return");
    return ret ? *ret : json::value(nullptr);
}

}  // namespace

const GuestFiles& test_guest_files() {
    static std::mutex mutex;
    static bool built = false;
    static std::string failure;
    static GuestFiles files;
    std::lock_guard<std::mutex> lock(mutex);
    if (built) return files;
    if (!failure.empty()) throw std::runtime_error(failure);

    const auto result = run_program({std::string(ZV_SOURCE_DIR) + "/tests/guest/build_guest.sh"}, 900);
    const fs::path directory = last_line(result.out);
    if (!result.ok() || directory.empty() || !fs::exists(directory / "info")) {
        failure = "building the test guest failed: " + result.describe();
        throw std::runtime_error(failure);
    }
    files.directory = directory;
    files.kernel = directory / "vmlinuz";
    files.initrd = directory / "initrd.img";
    files.system_image = directory / "system.qcow2";
    files.data_image = directory / "data.qcow2";
    std::ifstream info((directory / "info").string());
    for (std::string line; std::getline(info, line);)
        if (line.rfind("kernel_version=", 0) == 0) files.kernel_version = line.substr(15);
    built = true;
    return files;
}

std::string read_ext4_file(const fs::path& image, const std::string& path) {
    const fs::path work = fs::path(scratch_root()) / unique_domain_name("ext4");
    fs::create_directories(work);
    const std::string raw = (work / "copy.raw").string();
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            boost::system::error_code ec;
            fs::remove_all(dir, ec);
        }
    } cleanup{work};
    run_or_throw({"qemu-img", "convert", "-U", "-O", "raw", image.string(), raw},
                 "copying " + image.string());
    // The guest's last metadata may still be in the journal only; 1 and 2 mean fixed.
    const auto fsck = run_program({"e2fsck", "-fy", raw}, 120);
    if (fsck.status < 0 || fsck.status > 2)
        throw std::runtime_error("e2fsck of a copy of " + image.string() + ": " + fsck.describe());
    const auto cat = run_program({"debugfs", "-R", "cat " + path, raw}, 120);
    if (!cat.ok() || cat.err.find("File not found") != std::string::npos)
        throw std::runtime_error("reading " + path + " from " + image.string() + ": " +
                                 cat.describe());
    return cat.out;
}

std::string GuestExecResult::describe() const {
    std::ostringstream text;
    text << "guest-exec: started " << started << ", exited " << exited << ", exit code "
         << exit_code << ", signal " << signal << "\n  out: " << out << "\n  err: " << err
         << "\n  error: " << error;
    return text.str();
}

TestDomain::TestDomain(DomainOptions options)
    : options_(std::move(options)),
      name_(options_.name.empty() ? unique_domain_name(options_.name_prefix) : options_.name),
      directory_(fs::path(scratch_root()) / unique_domain_name("disks")) {
    const GuestFiles& guest = test_guest_files();
    fs::create_directories(directory_);
    // libvirt's QEMU runs as libvirt-qemu; dynamic_ownership hands it the images at
    // start, but it must be able to reach them through the directory.
    fs::permissions(directory_, fs::perms(0755));
    try {
        fs::copy_file(guest.kernel, directory_ / "vmlinuz");
        fs::copy_file(guest.initrd, directory_ / "initrd.img");
        const fs::path system = directory_ / "system.qcow2";
        if (options_.linked_clone) {
            fs::copy_file(guest.system_image, directory_ / "base.qcow2");
            run_or_throw({"qemu-img", "create", "-q", "-f", "qcow2", "-F", "qcow2", "-b",
                          (directory_ / "base.qcow2").string(), system.string()},
                         "creating the linked clone");
        } else {
            fs::copy_file(guest.system_image, system);
        }
        disks_.push_back({"vda", system});
        if (options_.data_disk_xml.empty()) {
            fs::copy_file(guest.data_image, directory_ / "data.qcow2");
            disks_.push_back({"vdb", directory_ / "data.qcow2"});
        }
        char letter = 'c';
        for (const auto& extra : options_.extra_disks) {
            const std::string target = std::string("vd") + letter++;
            const fs::path image = directory_ / (extra.file_name.empty()
                                                     ? "extra-" + target + ".qcow2"
                                                     : extra.file_name);
            for (fs::path dir = image.parent_path(); dir != directory_; dir = dir.parent_path()) {
                fs::create_directories(dir);
                fs::permissions(dir, fs::perms(0755));
            }
            run_or_throw({"qemu-img", "create", "-q", "-f", "qcow2", image.string(), extra.size},
                         "creating disk " + target);
            disks_.push_back({target, image});
        }
        define();
        if (options_.start) start();
    } catch (...) {
        if (defined_) remove_domain(name_);
        boost::system::error_code ec;
        fs::remove_all(directory_, ec);
        throw;
    }
}

TestDomain::~TestDomain() {
    if (defined_) remove_domain(name_);
    boost::system::error_code ec;
    fs::remove_all(directory_, ec);  // images, overlays ("*.snapshot.*"), console log
}

void TestDomain::define() {
    std::ostringstream xml;
    xml << "<domain type='qemu'>\n"
        << "  <name>" << xml_escape(name_) << "</name>\n"
        << "  <memory unit='MiB'>" << options_.memory_mib << "</memory>\n"
        << "  <vcpu>1</vcpu>\n"
        << "  <os>\n"
        << "    <type arch='x86_64' machine='pc'>hvm</type>\n"
        << "    <kernel>" << xml_escape((directory_ / "vmlinuz").string()) << "</kernel>\n"
        << "    <initrd>" << xml_escape((directory_ / "initrd.img").string()) << "</initrd>\n"
        << "    <cmdline>console=ttyS0 panic=-1 loglevel=4</cmdline>\n"
        << "  </os>\n"
        << "  <features><acpi/></features>\n"
        << "  <clock offset='utc'/>\n"
        << "  <on_poweroff>destroy</on_poweroff>\n"
        << "  <on_reboot>destroy</on_reboot>\n"
        << "  <on_crash>destroy</on_crash>\n"
        << "  <devices>\n"
        << "    <emulator>/usr/bin/qemu-system-x86_64</emulator>\n";
    for (const auto& disk : disks_) {
        xml << "    <disk type='file' device='disk'>\n"
            << "      <driver name='qemu' type='qcow2'/>\n"
            << "      <source file='" << xml_escape(disk.image.string()) << "'/>\n"
            << "      <target dev='" << disk.target << "' bus='virtio'/>\n"
            << "    </disk>\n";
    }
    if (!options_.data_disk_xml.empty()) xml << options_.data_disk_xml;
    for (const auto& disk : options_.other_disks_xml) xml << disk;
    if (options_.agent_channel) {
        xml << "    <controller type='virtio-serial' index='0'/>\n"
            << "    <channel type='unix'>\n"
            << "      <target type='virtio' name='org.qemu.guest_agent.0'/>\n"
            << "    </channel>\n";
    }
    xml << "    <serial type='file'>\n"
        << "      <source path='" << xml_escape(console_log().string()) << "' append='on'/>\n"
        << "      <target port='0'/>\n"
        << "    </serial>\n"
        << "    <memballoon model='none'/>\n"
        << "  </devices>\n"
        << "</domain>\n";
    xml_ = xml.str();
    const fs::path file = directory_ / "domain.xml";
    std::ofstream(file.string()) << xml_;
    const auto result = virsh({"define", file.string()}, 120);
    if (!result.ok()) throw std::runtime_error("virsh define failed: " + result.describe());
    defined_ = true;
}

fs::path TestDomain::image(const std::string& target) const {
    for (const auto& disk : disks_)
        if (disk.target == target) return disk.image;
    throw std::runtime_error("domain " + name_ + " has no disk " + target);
}

fs::path TestDomain::base_image() const {
    return options_.linked_clone ? directory_ / "base.qcow2" : fs::path();
}

void TestDomain::start() {
    const auto result = virsh({"start", name_}, 180);
    if (!result.ok())
        throw std::runtime_error("virsh start failed: " + result.describe() + "\n" + console_tail());
    if (options_.wait_for_agent && options_.agent_channel)
        wait_for_agent(options_.agent_timeout_seconds);
}

void TestDomain::wait_for_agent(int timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    CommandResult last;
    while (std::chrono::steady_clock::now() < deadline) {
        last = agent_command(R"({"execute":"guest-ping"})", 10);
        if (last.ok()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    throw std::runtime_error("guest agent of " + name_ + " did not answer within " +
                             std::to_string(timeout_seconds) + " s: " + last.describe() +
                             "\nconsole:\n" + console_tail());
}

void TestDomain::destroy() { virsh({"destroy", name_}, 60); }

std::string TestDomain::state() const { return trim(virsh({"domstate", name_}, 30).out); }

CommandResult TestDomain::agent_command(const std::string& json_text, int timeout_seconds) const {
    return virsh({"qemu-agent-command", name_, json_text}, timeout_seconds);
}

GuestExecResult TestDomain::exec(const std::string& path, const std::vector<std::string>& args,
                                 int timeout_seconds) const {
    GuestExecResult result;
    json::array arg_list;
    for (const auto& arg : args) arg_list.emplace_back(arg);
    const json::object request{{"execute", "guest-exec"},
                               {"arguments", json::object{{"path", path},
                                                          {"arg", std::move(arg_list)},
                                                          {"capture-output", true}}}};
    const auto started = agent_command(json::serialize(request));
    const json::value ret = agent_return(started);
    const json::value* pid = ret.is_object() ? ret.as_object().if_contains("pid") : nullptr;
    if (!started.ok() || !pid || !pid->is_int64()) {
        result.error = started.describe();
        return result;
    }
    result.started = true;
    const json::object status_request{{"execute", "guest-exec-status"},
                                      {"arguments", json::object{{"pid", pid->as_int64()}}}};
    const std::string status_text = json::serialize(status_request);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    for (;;) {
        const auto reply = agent_command(status_text);
        const json::value status = agent_return(reply);
        if (!reply.ok() || !status.is_object()) {
            result.error = reply.describe();
            return result;
        }
        const auto& object = status.as_object();
        const auto* exited = object.if_contains("exited");
        if (exited && exited->is_bool() && exited->as_bool()) {
            result.exited = true;
            if (const auto* code = object.if_contains("exitcode"); code && code->is_int64())
                result.exit_code = static_cast<int>(code->as_int64());
            if (const auto* sig = object.if_contains("signal"); sig && sig->is_int64())
                result.signal = static_cast<int>(sig->as_int64());
            if (const auto* out = object.if_contains("out-data"); out && out->is_string())
                result.out = base64_decode(std::string(out->as_string()));
            if (const auto* err = object.if_contains("err-data"); err && err->is_string())
                result.err = base64_decode(std::string(err->as_string()));
            return result;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.error = "still running after " + std::to_string(timeout_seconds) + " s";
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string TestDomain::read_guest_file(const std::string& path) const {
    const auto result = exec("/bin/cat", {path});
    if (!result.ok())
        throw std::runtime_error("cannot read " + path + " in " + name_ + ": " + result.describe());
    return result.out;
}

std::vector<std::string> TestDomain::script_calls() const {
    const auto result = exec("/bin/cat", {kGuestScriptCalls});
    if (!result.started || !result.exited)
        throw std::runtime_error("cannot read the script calls in " + name_ + ": " +
                                 result.describe());
    std::vector<std::string> calls;
    if (result.exit_code != 0) return calls;  // no call yet: the file does not exist
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) calls.push_back(line);
    return calls;
}

void TestDomain::set_script_behaviour(const std::string& argument, int exit_code,
                                      int sleep_seconds) {
    const char* script =
        "c=/tmp/zelvor-kvm.$1; rm -f \"$c.exit\" \"$c.sleep\";"
        " [ \"$2\" = 0 ] || echo \"$2\" >\"$c.exit\";"
        " [ \"$3\" = 0 ] || echo \"$3\" >\"$c.sleep\"";
    const auto result = exec("/bin/sh", {"-c", script, "sh", argument, std::to_string(exit_code),
                                         std::to_string(sleep_seconds)});
    if (!result.ok())
        throw std::runtime_error("cannot set the script behaviour in " + name_ + ": " +
                                 result.describe());
}

std::string TestDomain::console_tail(int lines) const {
    std::ifstream file(console_log().string());
    std::vector<std::string> all;
    for (std::string line; std::getline(file, line);) all.push_back(line);
    std::string tail;
    for (size_t i = all.size() > static_cast<size_t>(lines) ? all.size() - lines : 0; i < all.size(); ++i)
        tail += all[i] + "\n";
    return tail;
}

}  // namespace zv_test
