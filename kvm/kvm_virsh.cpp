#include "kvm/kvm_virsh.h"

namespace {
bool bounded = false;
}  // namespace

std::string virsh_command(const std::string& arguments) {
    // timeout sends SIGTERM after the bound and SIGKILL two seconds later; a virsh
    // killed so ends with a status that is not 0, which every caller reads as failure.
    return std::string(bounded ? "LANG=C /usr/bin/timeout -k 2 10 /usr/bin/virsh "
                               : "LANG=C /usr/bin/virsh ") +
           arguments;
}

void bound_virsh_commands() { bounded = true; }
