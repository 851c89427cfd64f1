// The one place where values become shell text. Every value that comes from
// outside the program (domain names, paths, archive names, record ids, JSON)
// passes through shell_quote before it reaches a command line for the runner.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace zv_utils_common {

// Single-quotes a value so the shell passes it through as one word, unchanged:
// each ' inside becomes '\''. An empty value becomes ''.
std::string shell_quote(const std::string& value);

// Joins a program and its arguments into shell text, quoting each argument.
// The program path is fixed text of ours and is not quoted.
std::string shell_command(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace zv_utils_common
