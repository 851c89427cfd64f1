// Log lines that several steps of the KVM module write the same way.
#pragma once

#include "common/zv_logger.h"

#include <string>

// A command that failed, and what it printed.
void log_failed_command(ZvLogLvl::Level level, const std::string& command, const std::string& output);
// Removes an overlay that has been merged into its image, saying whether it could.
void remove_obsoleted_file(const std::string& path);
