// The tiny test guest (tests/guest/build_guest.sh) as throwaway libvirt domains:
// TCG, kernel and initramfs booted directly, a qcow2 system disk (vda), an ext4 data
// disk (vdb) the guest mounts at /data and writes to every second, the QEMU guest
// agent, and the in-guest program /opt/zelvor/scripts/zelvor-kvm.sh that records
// each call. Every domain lives in its own scratch directory, removed with it.
//
//   ZV_REQUIRE_LIBVIRT();
//   zv_test::TestDomain dom;                       // defined, started, agent answers
//   auto r = dom.exec("/bin/cat", {"/data/counter"});
//   ASSERT_TRUE(r.ok()) << r.describe();
#pragma once

#include "support/libvirt_env.h"

#include <boost/filesystem/path.hpp>

#include <string>
#include <utility>
#include <vector>

namespace zv_test {

// Paths inside the guest.
inline const char* const kGuestScript = "/opt/zelvor/scripts/zelvor-kvm.sh";
// One line per call of the in-guest program: "<epoch seconds> <arguments>".
inline const char* const kGuestScriptCalls = "/tmp/zelvor-kvm.calls";
// The same lines on the data disk, so a backup of vdb holds them too.
inline const char* const kGuestDataScriptCalls = "/data/zelvor-kvm.calls";
// One line a second, "<n> <epoch seconds>", appended and synced by the guest.
inline const char* const kGuestCounter = "/data/counter";
inline const char* const kGuestDataMount = "/data";

// The built guest in the cache; built on the first call of the process.
struct GuestFiles {
    boost::filesystem::path directory;
    boost::filesystem::path kernel;        // vmlinuz
    boost::filesystem::path initrd;        // initrd.img
    boost::filesystem::path system_image;  // template of vda
    boost::filesystem::path data_image;    // template of vdb (ext4)
    std::string kernel_version;
};
// Throws std::runtime_error with the build script's output when the build fails.
const GuestFiles& test_guest_files();

// Reads a file of the ext4 file system on an image (any format, backing chain
// included), without disturbing a domain that uses it: a raw copy, journal replayed.
// Throws when the file cannot be read. The path must not hold blanks (debugfs request).
std::string read_ext4_file(const boost::filesystem::path& image, const std::string& path);

struct ExtraDisk {
    std::string size = "16M";  // blank qcow2, not used by the guest
    // Relative to the domain's directory, may hold a subdirectory ("other/disk.qcow2");
    // empty: "extra-<target>.qcow2".
    std::string file_name;
};

struct DomainOptions {
    std::string name;                  // exact name; empty: unique_domain_name(name_prefix)
    std::string name_prefix = "guest";
    bool start = true;                 // false: a shut-off domain
    bool wait_for_agent = true;        // after the start, until guest-ping answers
    int agent_timeout_seconds = 300;  // a guest emulated on a loaded host boots slowly
    // vda becomes a linked clone: "system.qcow2" over the backing file "base.qcow2".
    bool linked_clone = false;
    std::vector<ExtraDisk> extra_disks;  // vdc, vdd, ...
    bool agent_channel = true;           // false: no org.qemu.guest_agent.0 port at all
    int memory_mib = 192;
    // Non-empty: vdb is this <disk> element (an RBD image holding the data template's
    // file system, say) in place of a copy of the template; it is not among disks().
    std::string data_disk_xml;
    // Further <disk> elements that are not files of the domain's directory (a block
    // disk on a loop device, say); not among disks().
    std::vector<std::string> other_disks_xml;
};

struct DiskInfo {
    std::string target;  // "vda"
    boost::filesystem::path image;
};

struct GuestExecResult {
    bool started = false;    // guest-exec gave a pid
    bool exited = false;     // guest-exec-status said exited within the timeout
    int exit_code = -1;      // -1 when the reply had no exit code (killed by a signal)
    int signal = 0;
    std::string out, err;    // decoded captured output
    std::string error;       // the agent's or virsh's message when it did not run
    bool ok() const { return started && exited && exit_code == 0; }
    std::string describe() const;
};

// A throwaway domain of the test guest. The constructor throws std::runtime_error
// (with virsh's message and the console's end) when it cannot define, start or reach
// the agent; the destructor destroys and undefines it (with snapshot metadata) and
// removes its directory, overlays and all. Not copyable.
class TestDomain {
public:
    explicit TestDomain(DomainOptions options = {});
    ~TestDomain();
    TestDomain(const TestDomain&) = delete;
    TestDomain& operator=(const TestDomain&) = delete;

    const std::string& name() const { return name_; }
    const boost::filesystem::path& directory() const { return directory_; }
    const std::vector<DiskInfo>& disks() const { return disks_; }  // vda, vdb, extras
    boost::filesystem::path image(const std::string& target) const;  // throws if unknown
    boost::filesystem::path base_image() const;  // linked clone's backing file; else empty
    boost::filesystem::path console_log() const { return directory_ / "console.log"; }
    const std::string& xml() const { return xml_; }  // the XML it was defined from

    void start();                                 // virsh start, then waits for the agent
    void wait_for_agent(int timeout_seconds);     // throws on timeout
    void destroy();                               // virsh destroy (power off)
    std::string state() const;                    // `virsh domstate`, e.g. "running"

    // `virsh qemu-agent-command <name> <json>`.
    CommandResult agent_command(const std::string& json, int timeout_seconds = 30) const;
    // Runs a program in the guest (guest-exec with captured output, then
    // guest-exec-status every 100 ms until it exits or the timeout passes).
    GuestExecResult exec(const std::string& path, const std::vector<std::string>& args = {},
                         int timeout_seconds = 30) const;
    // The content of a guest file; throws when it cannot be read.
    std::string read_guest_file(const std::string& path) const;
    // The recorded calls of the in-guest program, oldest first ("<epoch> <args>").
    std::vector<std::string> script_calls() const;
    // Makes later calls of the in-guest program with this argument exit with
    // `exit_code` after sleeping `sleep_seconds`; (0, 0) restores the default.
    void set_script_behaviour(const std::string& argument, int exit_code, int sleep_seconds = 0);

    // The console's last lines, for failure messages.
    std::string console_tail(int lines = 30) const;

private:
    void define();

    DomainOptions options_;
    std::string name_;
    boost::filesystem::path directory_;
    std::vector<DiskInfo> disks_;
    std::string xml_;
    bool defined_ = false;
};

}  // namespace zv_test
