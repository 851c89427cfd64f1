// The real libvirt daemon for the tests: starts virtlogd and libvirtd when they are
// not running (nothing starts them on these machines), runs programs and virsh
// without a shell, and names throwaway domains so they never meet the host's own.
//
//   TEST(Domains, Listing) {
//       ZV_REQUIRE_LIBVIRT();
//       auto r = zv_test::virsh({"list", "--all", "--name"});
//   }
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv_test {

struct CommandResult {
    int status = -1;  // exit status; 128 + signal when killed; -1 when it could not run
    bool timed_out = false;
    std::string out;
    std::string err;
    bool ok() const { return status == 0 && !timed_out; }
    // The program line and what it printed, for assertion messages.
    std::string describe() const;
    std::string command;
};

// Runs argv[0] with the arguments directly (no shell), collects both outputs and
// kills the process group after the timeout.
CommandResult run_program(const std::vector<std::string>& argv, int timeout_seconds = 120);

// /usr/bin/virsh -c qemu:///system <args...>, with LANG=C.
CommandResult virsh(const std::vector<std::string>& args, int timeout_seconds = 120);

// `virsh blockjob DOMAIN TARGET --pivot`, asked again until libvirt takes it (bounded):
// `virsh blockcommit --pivot` or `--wait` waits for the job's ready event, which a
// loaded libvirtd can lose, leaving virsh waiting with the job ready. The last answer.
CommandResult pivot_when_ready(const std::string& domain, const std::string& target);

// True when this process can drive libvirt at all: root, and the daemons, virsh and
// QEMU are installed. Otherwise false with the reason (the caller skips).
bool libvirt_installed(std::string& reason);

// Starts virtlogd and libvirtd when not running and waits (bounded) until
// `virsh -c qemu:///system list` works. Idempotent and cheap after the first call.
// On the first success it also removes throwaway domains and scratch directories
// left by test processes that no longer exist. False with the reason on failure.
bool ensure_libvirt(std::string& reason);

// "zvtest-<pid>-<n>-<prefix>": unique within this process and between processes.
std::string unique_domain_name(const std::string& prefix);

// Stops and undefines a domain with its snapshot metadata; a missing domain is fine.
// Its image files are not touched.
void remove_domain(const std::string& name);

// Root of the per-test scratch directories: ${ZV_TEST_SCRATCH:-/var/tmp}.
std::string scratch_root();

}  // namespace zv_test

// Skips the test when libvirt cannot be used here (not root, not installed) and fails
// it when libvirt is there but cannot be started.
#define ZV_REQUIRE_LIBVIRT()                                                  \
    do {                                                                      \
        std::string zv_libvirt_reason_;                                       \
        if (!::zv_test::libvirt_installed(zv_libvirt_reason_))                \
            GTEST_SKIP() << zv_libvirt_reason_;                               \
        if (!::zv_test::ensure_libvirt(zv_libvirt_reason_))                   \
            FAIL() << zv_libvirt_reason_;                                     \
    } while (0)
