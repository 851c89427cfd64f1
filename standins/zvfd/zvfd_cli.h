// Command line, test switches and standard-output protocol of the stand-in archiver.
// The protocol lines are those the module reads: "ZVFD PID: ", "Packed: ",
// "Unpacked: " and "Transferred: "; everything else it only logs.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zvfd {

enum class Mode { Backup, Restore, List, Verify };
const char* mode_word(Mode mode);

struct Options {
    std::map<std::string, std::string> values;  // option name -> value
    std::set<std::string> flags;                 // options without a value that were given

    bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
    std::string value(const std::string& name) const;
};

// Throws Error for an unknown option, a missing value or an option given twice.
Options parse_options(int argc, char** argv);
Mode select_mode(const Options& options);

// Behaviour that tests ask for through the environment; the module never sets these.
//   ZVFD_STANDIN_FAIL=N        exit with N (1 unless N is 1..255) right after the PID line
//   ZVFD_STANDIN_DEFECT=1      do the work, then exit with 100
//   ZVFD_STANDIN_HANG=1        print the PID line and one progress line, then sleep until killed
//   ZVFD_STANDIN_SLOW_MS=N     sleep N ms after every progress line
//   ZVFD_STANDIN_MALFORMED=K,..  pid-text, pid-range, no-pid, crlf, no-newline (last line left open)
//   ZVFD_STANDIN_ONLY=M,..     apply the switches above only to backup, restore, list or verify
//   ZVFD_STANDIN_STORE=DIR     directory standing for the media servers
//                              (default /opt/zelvor/var/standin-store)
//   ZVFD_STANDIN_ARGV_LOG=FILE append a record of every run's arguments
struct Switches {
    int fail_code = 0;  // non-zero: exit with it right after the PID line
    bool defect = false;
    bool hang = false;
    unsigned slow_ms = 0;
    std::set<std::string> malformed;  // pid-text, pid-range, no-pid, crlf, no-newline
    std::string store;                // directory standing for the media servers
    std::string argv_log;
};
Switches read_switches(Mode mode);
// Store and argv log apply before the command line is understood.
std::string store_directory();
void log_argv(int argc, char** argv);

class Output {
public:
    explicit Output(const Switches& switches) : switches_(switches) {}
    ~Output();

    void pid_line();
    void line(const std::string& text);  // a protocol or information line on stdout
    void progress(const char* prefix, std::uint64_t done, std::uint64_t total);
    // Writes a pending line end before something else (stderr) reaches the same pipe.
    void flush();

private:
    void write_text(const std::string& text);
    const Switches& switches_;
    bool pending_end_ = false;
};

}  // namespace zvfd
