// Host check and domain listing (-t, -c, -l, -L) of the real module against the
// real libvirt daemon, with a scripted lsmod (this host has no kernel-module
// listing) and, only where libvirt cannot be made to misbehave, a scripted virsh.
#include "common/zv_shell.h"
#include "kvm/zv_module_kvm.h"
#include "support/module_sandbox.h"

#include <gtest/gtest.h>

#include <boost/algorithm/string.hpp>
#include <boost/filesystem.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zv_utils_common::shell_quote;

const char* const lsmod_with_kvm =
    "#!/bin/sh\necho 'Module                  Size  Used by'\n"
    "echo 'kvm_intel             409600  0'\necho 'kvm                  1146880  1 kvm_intel'\n";
const char* const lsmod_without_kvm =
    "#!/bin/sh\necho 'Module                  Size  Used by'\necho 'ext4                  987136  1'\n";

// A scripted virsh whose "version" reports the given hypervisor line and whose
// other commands fail the way virsh does when the daemon is unreachable.
std::string virsh_reporting(const std::string& hypervisor_line) {
    return "#!/bin/sh\nif [ \"$1\" = version ]; then\n"
           "  echo 'Compiled against library: libvirt 9.0.0'\n"
           "  echo '" + hypervisor_line + "'\n  exit 0\nfi\n"
           "echo 'error: failed to connect to the hypervisor' >&2\nexit 1\n";
}
const char* const virsh_failing =
    "#!/bin/sh\necho 'error: failed to connect to the hypervisor' >&2\nexit 1\n";

// Runs a host command for the test's own set-up and expectations.
int host(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    const int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string virsh(const std::string& arguments) {
    std::string output;
    host("LANG=C virsh -q " + arguments, &output);
    return output;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The host's domains as "uuid|name", asked of libvirt one domain at a time.
std::vector<std::string> host_domains() {
    std::vector<std::string> domains;
    for (const auto& uuid : lines_of(virsh("list --all --uuid"))) {
        std::string name = virsh("domname " + uuid);
        if (!name.empty() && name.back() == '\n') name.pop_back();
        while (!name.empty() && name.back() == '\n') name.pop_back();
        domains.push_back(uuid + "|" + name);
    }
    return domains;
}

class HostCheck : public testing::Test {
protected:
    void SetUp() override {
        ZV_REQUIRE_NAMESPACES();
        if (host("bash " + std::string(ZV_SOURCE_DIR) + "/scripts/start_libvirt.sh") != 0)
            GTEST_SKIP() << "libvirtd does not answer";
    }

    zv_test::RunResult run_with(const char* lsmod, const std::vector<std::string>& args,
                                const std::string& fake_virsh = "") {
        zv_test::Sandbox box;
        box.fake_program("/sbin/lsmod", lsmod);
        if (!fake_virsh.empty()) box.fake_program("/usr/bin/virsh", fake_virsh);
        return box.run(args);
    }
};

// The hypervisor version exactly as the real virsh reports it.
std::string real_hypervisor_version() {
    std::string output;
    host("LANG=C virsh version", &output);
    for (const auto& line : lines_of(output)) {
        const std::string mark = "Running hypervisor: QEMU ";
        if (line.rfind(mark, 0) == 0) return boost::trim_copy(line.substr(mark.size()));
    }
    return "";
}

TEST_F(HostCheck, CheckClientReportsVersionKernelModuleAndRealHypervisor) {
    const std::string version = real_hypervisor_version();
    ASSERT_FALSE(version.empty());
    const auto result = run_with(lsmod_with_kvm, {"-t"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.protocol_lines(),
              (std::vector<std::string>{"Module version: 2.1.0", "KVM module was found in the kernel",
                                        "Running hypervisor is " + version}));
    EXPECT_TRUE(result.log_lines().empty()) << result.out;
}

TEST_F(HostCheck, CheckClientWithoutKvmModuleStopsAfterTheVersion) {
    const auto result = run_with(lsmod_without_kvm, {"-t"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.protocol_lines(), std::vector<std::string>{"Module version: 2.1.0"});
    EXPECT_TRUE(result.has_log("KVM module was not found in the kernel")) << result.out;
}

TEST_F(HostCheck, CheckClientJudgesTheHypervisorVersionText) {
    const std::string signature = "virtual int ZvModuleKvm::check_client(const bool&): ";
    struct Case {
        const char* name;
        std::string virsh;
        int status;
        std::string version_line;  // empty: no such line expected
        std::string log;           // fragment of an Error line; empty: no log expected
    };
    const std::vector<Case> cases = {
        {"virsh fails", virsh_failing, 2, "", signature + "can't run: /usr/bin/virsh version"},
        {"two pieces", virsh_reporting("Running hypervisor: QEMU 5.1"), 0,
         "Running hypervisor is 5.1.0", ""},
        {"no version", virsh_reporting("Running hypervisor: QEMU"), 2, "", signature + "stoi"},
        {"not a number", virsh_reporting("Running hypervisor: QEMU x.2.0"), 2, "", signature + "stoi"},
        {"no hypervisor line", virsh_reporting("Running hypervisor is missing"), 2, "",
         signature + "stoi"},
    };
    for (const auto& c : cases) {
        const auto result = run_with(lsmod_with_kvm, {"-t"}, c.virsh);
        EXPECT_EQ(result.status, c.status) << c.name;
        std::vector<std::string> expected = {"Module version: 2.1.0",
                                             "KVM module was found in the kernel"};
        if (!c.version_line.empty()) expected.push_back(c.version_line);
        EXPECT_EQ(result.protocol_lines(), expected) << c.name;
        if (c.log.empty()) {
            EXPECT_TRUE(result.log_lines().empty()) << c.name << "\n" << result.out;
        } else {
            EXPECT_TRUE(result.has_log(c.log)) << c.name << "\n" << result.out;
        }
    }
}

TEST(HypervisorVersion, DecidesForceShare) {
    struct Case {
        const char* text;
        std::array<int, 3> version;
        bool force_share;
    };
    // QEMU locks the images of a running domain from 2.10 on; qemu-img reads them
    // only with --force-share, which older versions do not know.
    const std::vector<Case> cases = {
        {"4.2.0", {4, 2, 0}, true},   {"2.11.1", {2, 11, 1}, true}, {"1.11.1", {1, 11, 1}, false},
        {"2.10.0", {2, 10, 0}, true}, {"2.11.0", {2, 11, 0}, true}, {"2.12.0", {2, 12, 0}, true},
        {"5.1", {5, 1, 0}, true},     {"2.10.5\n", {2, 10, 5}, true}, {"7.2.22", {7, 2, 22}, true},
        {"3", {3, 0, 0}, true},       {"1.2.3.4", {1, 2, 3}, false}, {"2.9.1", {2, 9, 1}, false},
    };
    for (const auto& c : cases) {
        const auto version = ZvModuleKvm::parse_hypervisor_version(c.text);
        EXPECT_EQ(version, c.version) << c.text;
        EXPECT_EQ(ZvModuleKvm::hypervisor_needs_force_share(version), c.force_share) << c.text;
    }
    EXPECT_THROW(ZvModuleKvm::parse_hypervisor_version(""), std::invalid_argument);
    EXPECT_THROW(ZvModuleKvm::parse_hypervisor_version("7..x"), std::invalid_argument);
}

TEST_F(HostCheck, ListingsOnAHostThatFailsTheCheckPrintNothing) {
    struct Case {
        const char* option;
        int unable_lines;
    };
    for (const auto& c : std::vector<Case>{{"-c", 1}, {"-l", 1}, {"-L", 2}}) {
        const auto result = run_with(lsmod_without_kvm, {c.option});
        EXPECT_EQ(result.status, 2) << c.option;
        EXPECT_TRUE(result.protocol_lines().empty()) << c.option << "\n" << result.out;
        EXPECT_EQ(result.count_log("Unable to run the module on this client"), c.unable_lines)
            << c.option;
        EXPECT_FALSE(result.has_log("KVM module was not found")) << c.option;  // quiet check
    }
}

TEST_F(HostCheck, ListingFailsWhenVirshFails) {
    const std::string fake = virsh_reporting("Running hypervisor: QEMU 7.2.0");
    const auto list = run_with(lsmod_with_kvm, {"-l"}, fake);
    EXPECT_EQ(list.status, 2);
    EXPECT_TRUE(list.protocol_lines().empty()) << list.out;
    EXPECT_TRUE(list.has_log("virtual int ZvModuleKvm::list_all_resources(): Command: "
                             "LANG=C /usr/bin/virsh -q list --all --name --uuid"))
        << list.out;
    EXPECT_TRUE(list.has_log("error: failed to connect to the hypervisor")) << list.out;

    const auto with_header = run_with(lsmod_with_kvm, {"-L"}, fake);
    EXPECT_EQ(with_header.status, 2);
    EXPECT_EQ(with_header.protocol_lines(), std::vector<std::string>{"UUID|Name"});
}

// Two throwaway domains: one running under TCG (it idles in the firmware, with
// no disk), one shut off with a blank in its name. Defining and starting them
// is the slow part, so one test makes them for every check that needs them.
class ThrowawayDomains : public HostCheck {
protected:
    void SetUp() override {
        HostCheck::SetUp();
        if (IsSkipped()) return;
        prefix = "zvtest-host-" + std::to_string(getpid()) + "-";
        running = prefix + "running";
        shut_off = prefix + "shut off";
        for (const auto& name : {running, shut_off}) {
            ASSERT_EQ(define(name), 0) << name;
            defined.push_back(name);
        }
        std::string output;
        ASSERT_EQ(host("virsh start " + shell_quote(running), &output), 0) << output;
    }
    void TearDown() override {
        for (const auto& name : defined) {
            host("virsh destroy " + shell_quote(name) + " >/dev/null");
            host("virsh undefine " + shell_quote(name) + " >/dev/null");
        }
    }

    int define(const std::string& name) {
        const boost::filesystem::path xml =
            boost::filesystem::temp_directory_path() / (boost::filesystem::unique_path().string() + ".xml");
        std::ofstream(xml.string()) << "<domain type='qemu'>\n  <name>" << name
                                    << "</name>\n  <memory unit='MiB'>32</memory>\n"
                                       "  <vcpu>1</vcpu>\n"
                                       "  <os><type arch='x86_64' machine='pc'>hvm</type></os>\n"
                                       "  <devices><emulator>/usr/bin/qemu-system-x86_64</emulator>"
                                       "</devices>\n</domain>\n";
        std::string output;
        const int status = host("virsh define " + shell_quote(xml.string()), &output);
        boost::filesystem::remove(xml);
        if (status != 0) std::cerr << output;
        return status;
    }

    std::string uuid_of(const std::string& name) {
        return boost::trim_copy(virsh("domuuid " + shell_quote(name)));
    }

    // Runs the listing until the host's domains stay the same around it (other
    // suites may define their own meanwhile) and returns the listing with them.
    std::pair<zv_test::RunResult, std::vector<std::string>> stable_listing(const std::string& option) {
        zv_test::RunResult result;
        std::vector<std::string> after;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto before = host_domains();
            result = run_with(lsmod_with_kvm, {option});
            after = host_domains();
            if (before == after) break;
        }
        return {result, after};
    }

    bool exists(const std::string& name, std::string& log) {
        ZvModuleOptions options;
        options.resource = name;
        ZvModuleKvm module(options);
        testing::internal::CaptureStdout();
        const bool found = module.resource_exists();
        log = testing::internal::GetCapturedStdout();
        return found;
    }

    std::string prefix, running, shut_off;
    std::vector<std::string> defined;
};

TEST_F(ThrowawayDomains, ListingsAndLookupSeeExactlyTheHostsDomains) {
    ASSERT_EQ(boost::trim_copy(virsh("domstate " + shell_quote(running))), "running");
    ASSERT_EQ(boost::trim_copy(virsh("domstate " + shell_quote(shut_off))), "shut off");
    const std::string running_line = uuid_of(running) + "|" + running;
    const std::string shut_off_line = uuid_of(shut_off) + "|" + shut_off;

    {
        SCOPED_TRACE("-l");
        const auto [result, domains] = stable_listing("-l");
        EXPECT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(result.protocol_lines(), domains);
        EXPECT_EQ(std::count(domains.begin(), domains.end(), running_line), 1);
        EXPECT_EQ(std::count(domains.begin(), domains.end(), shut_off_line), 1);
    }
    {
        SCOPED_TRACE("-L");
        const auto [result, domains] = stable_listing("-L");
        EXPECT_EQ(result.status, 0) << result.out;
        std::vector<std::string> expected = {"UUID|Name"};
        expected.insert(expected.end(), domains.begin(), domains.end());
        EXPECT_EQ(result.protocol_lines(), expected);
    }
    {
        SCOPED_TRACE("-c");
        const auto result = run_with(lsmod_with_kvm, {"-c"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.protocol_lines(), std::vector<std::string>{"UUID|Name"});
    }

    // Names reach virsh as one word each, whatever they hold.
    std::string log;
    EXPECT_TRUE(exists(shut_off, log)) << log;
    EXPECT_TRUE(exists(running, log)) << log;
    const std::string missing = prefix + "it's gone";
    EXPECT_FALSE(exists(missing, log));
    EXPECT_NE(log.find("virtual bool ZvModuleKvm::resource_exists(): KVM domain doesn't exist: " +
                       missing),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Command: LANG=C /usr/bin/virsh dominfo " + shell_quote(missing)),
              std::string::npos)
        << log;
    const std::string planted = "/tmp/" + prefix + "injected";
    for (const std::string& name :
         {prefix + "x; touch " + planted, prefix + "$(touch " + planted + ")",
          prefix + "`touch " + planted + "`", prefix + "x' ; touch " + planted + " ; '"}) {
        EXPECT_FALSE(exists(name, log)) << name;
        EXPECT_FALSE(boost::filesystem::exists(planted)) << name;
        boost::filesystem::remove(planted);
    }
}

}  // namespace
