#include "common/zv_shell.h"

namespace zv_utils_common {

std::string shell_quote(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

std::string shell_command(const std::string& program, const std::vector<std::string>& arguments) {
    std::string command = program;
    for (const auto& argument : arguments) command += " " + shell_quote(argument);
    return command;
}

}  // namespace zv_utils_common
