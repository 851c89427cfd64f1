// Common utilities: the shell command runner, process termination and
// signalling, environment and terminal helpers, validators, encodings and
// host queries. Used by every subsystem that runs an outside program.
#pragma once

#include "common/zv_shell.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace zv_utils_common {

// ---- Shell command runner and process control ----

// Runs a shell command line with " 2>&1" appended (it merges the standard error
// of the line's last command only), appends what it printed to `output` and
// returns its exit status: 128 + the signal when the shell was killed, 1 when no
// shell could be started, -1 when its end could not be collected or on an
// internal error. 0 means the command succeeded.
int execute_command(std::string command, std::string& output);

// Sends `signal` to `pid` and says so on standard output. pid 0: nothing, true.
// Refuses pids below 1 and this process's own pid.
bool send_signal(int pid, int signal);
// SIGTERM, up to a second's grace, then SIGKILL. True when the process is gone.
bool synchronous_terminate(const int& pid);
// Terminates, depth first, the descendants of `pid` that have no children of
// their own, printing "PID was terminated: " (or "Error terminate PID: ") each.
void kill_childs(int pid);

// ---- Validators, encodings and system queries ----

// Canonical decimal numbers only: no sign, blanks or leading zeros.
bool is_uint(const std::string& text);
// As is_uint, and the number fits in 32 bits; `value` is untouched otherwise.
bool string_to_uint(const std::string& text, unsigned int& value);
bool is_time(const std::string& text);  // "HH:MM:SS"
bool is_hostname(const std::string& text);
bool is_email(const std::string& text);
bool is_https_url_strict(const std::string& text);
bool is_https_ip_strict(const std::string& text);
bool is_ip_address(const std::string& text);  // IPv4 or IPv6
bool is_valid_uuid(const std::string& text);  // versions 1 to 5

std::string base64_encode(const std::string& data);
// The empty string for a text that is not Base64.
std::string base64_decode(const std::string& text);

// At least 12 characters with an upper-case letter, a punctuation character and
// a digit. On failure `message` gets the requirement text; `requirement_only`
// asks for that text alone (the result is then false).
bool check_password_complexity(const std::string& password, std::string& message,
                               bool requirement_only);

// "1.50 kB": powers of 1024, `precision` digits, a whole value without fraction.
std::string size_to_human(float size, unsigned int precision);
// The first bits/8 bytes as "xx " groups and a line end, on standard output.
void print_digest(unsigned char* digest, unsigned int bits);
// The first `length` bytes as lower-case hexadecimal text.
std::string digest_as_string(const unsigned char* digest, unsigned int length);

// Appends dmidecode's manufacturer and product lines to `output`.
bool get_hw_platform(std::string& output);
std::string get_nodename();
// False with the reason in `error` when the path cannot be examined.
bool is_sparse_file(const std::string& path, bool& sparse, std::string& error);
// Bytes of a regular file or a block device; 0 on failure.
std::int64_t get_file_size(const std::string& path);
// Length of the target a symbolic link holds; 0 for anything else.
std::int64_t get_symlink_size(const std::string& path);

// ---- Files at fixed paths ----

// A FIFO, a device or a directory where a file is expected would block a reader or
// feed it without end: these open only a regular file (links followed), without
// ever waiting for a FIFO's other end. -1 with the reason in `error` otherwise.
int open_regular_file(const std::string& path, int flags, std::string& error);
// The whole file, when it is a regular file of at most `limit` bytes.
bool read_regular_file(const std::string& path, std::string& text, std::string& error,
                       std::size_t limit);
// True when nothing is at `path` or a regular file is; false, with the reason in
// `error`, for anything else (a FIFO, a device, a directory, a looping link).
bool is_regular_file_or_absent(const std::string& path, std::string& error);

}  // namespace zv_utils_common

// ---- Environment variables, terminal input and host queries ----

struct termios;

// A variable of the process environment, set for the object's lifetime. The value
// lives only in the environment; destruction removes the variable (it does not
// bring back a value it had before). Failures throw std::runtime_error.
class EnvironmentVariable {
public:
    EnvironmentVariable(const std::string& name, const std::string& value);
    explicit EnvironmentVariable(const std::string& name);
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;
    ~EnvironmentVariable();

    std::string getName() const { return name_; }
    std::string getValue() const;  // empty when not set
    void setValue(const std::string& value);
    void unset();

    static std::string getValue(const std::string& name);
    static void setValue(const std::string& name, const std::string& value);
    static void unset(const std::string& name);

private:
    std::string name_;
};

namespace zv_utils_common {

// Reads one line from the terminal without echo (the line end is not stored).
void get_client_secret_input(std::string& secret);
void echo_off(int fd, termios* saved);
void echo_on(int fd, termios* saved);
// One character from standard input, without echo or waiting for Enter; or EOF.
int getkey();
std::string get_loginname();
// The "logfile" setting of /opt/zelvor/etc/config.file, or the default log path.
// Ends the process with status 1 when that file cannot be opened.
std::string get_logfile();
// Whether the file system of `path` has that many bytes, or room for `file`,
// available to unprivileged users. Failures are reported on standard error.
bool check_free_space(const std::string& path, const unsigned long long& bytes);
bool check_free_space(const std::string& path, const std::string& file);

}  // namespace zv_utils_common
