// Command line and standard-output protocol of the archiver. The protocol lines the
// module reads are "ZVFD PID: ", "Packed: ", "Unpacked: " and "Transferred: ";
// everything else it only logs. Exit codes: 0 success, 100 success with a defect (a
// source shrank while it was read), 1 failure.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zvfd {

enum class Mode { Backup, Add, Restore, List, Verify, Check, Help };
const char* mode_word(Mode mode);

struct Options {
    std::map<std::string, std::string> values;  // option name -> value
    std::set<std::string> flags;                 // options without a value that were given

    bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
    std::string value(const std::string& name) const;
};

// Throws Error for an unknown option, a missing value or an option given twice. An
// option that takes a value takes the next argument, whatever it looks like.
Options parse_options(int argc, char** argv);
Mode select_mode(const Options& options);
const char* usage_text();

// `text` with each control character written "\xHH" and a backslash "\\", so that a
// name from a file system or a record cannot end the line it is printed on and forge
// a protocol line ("ZVFD PID: ") on the pipe the module reads.
std::string printable(const std::string& text);

// Worker threads: "-p", else the "-e" flags worker_parallelism and
// enable_multithreading, else up to four; never more than the processor count.
unsigned worker_count(const Options& options, unsigned processors);
// The "-e" list "key:value,key:value".
std::map<std::string, std::string> archiver_flags(const Options& options);

// The test aid: the environment variable ZVFD_TEST_AID, which the module never sets,
// holds comma-separated words that make a run misbehave on purpose:
//   fail=N          exit with N (1 unless 1..255) right after the PID line
//   defect          do the work, then exit with 100
//   hang            print the PID line and one progress line, then sleep until killed
//   slow=MS         sleep MS milliseconds after every progress line
//   hold=FILE       after every progress line, wait until FILE exists; the first wait
//                   creates FILE.held. The first line comes once the work has begun and
//                   no run that is held can end: a test orders events by holding a run
//                   and then creating FILE (tests/support/hold.h)
//   malformed=K+K   pid-text, pid-range, no-pid, crlf, no-newline (last line left open)
//   only=M+M        apply the words above only to backup, add, restore, list or verify
//   argv-log=FILE   append a record of the run's arguments to FILE (every mode)
struct TestAid {
    int fail_code = 0;
    bool defect = false;
    bool hang = false;
    unsigned slow_ms = 0;
    std::string hold;
    std::set<std::string> malformed;
    std::string argv_log;

    // Progress lines come once per 64 MiB of work, from the worker that did it.
    bool paced() const { return slow_ms > 0 || !hold.empty(); }
};
TestAid read_test_aid(const Mode* mode);
void log_argv(const TestAid& aid, int argc, char** argv);

class Output {
public:
    explicit Output(const TestAid& aid) : aid_(aid) {}
    ~Output();

    void pid_line();
    void line(const std::string& text);  // a protocol or information line on stdout
    void progress(const char* prefix, std::uint64_t done, std::uint64_t total);
    // Writes a pending line end before something else (stderr) reaches the same pipe.
    void flush();

private:
    void write_text(const std::string& text);
    void wait_for_release(const std::string& file);
    const TestAid& aid_;
    bool held_ = false;
    bool pending_end_ = false;
};

}  // namespace zvfd
