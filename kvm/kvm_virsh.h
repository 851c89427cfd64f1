// How the KVM module starts virsh: with LANG=C, so that its answers read the same on
// every host; and, for the clean-up of a run whose termination waited past its
// limit, never for longer than a few seconds each.
//
//   execute_command(virsh_command("-q domstate " + shell_quote(domain)), output);
#pragma once

#include <string>

// The shell text that runs virsh with `arguments` (each already quoted as needed).
std::string virsh_command(const std::string& arguments);

// From now on every virsh ends within a few seconds, killed if it must be: a clean-up
// that may not wait for a libvirtd or a guest agent that does not answer.
void bound_virsh_commands();
