#include "zvfd_cli.h"

#include "zvfd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <chrono>
#include <thread>

namespace zvfd {

namespace {

struct OptionSpec {
    const char* name;
    bool takes_value;
};

// Every option the module's command lines use, for backup, restore, replica
// application, listing and verification.
constexpr OptionSpec kOptions[] = {
    {"-a", true},        {"-2", false},        {"-5", false},          {"-b", true},
    {"-c", true},        {"-p", true},         {"-e", true},           {"-x", true},
    {"--numeric-owner", false},                {"-S", true},           {"-z", true},
    {"--memory-threshold", true},              {"-n", true},           {"-m", true},
    {"-M", true},        {"-N", true},         {"-T", true},           {"-s", true},
    {"-g", true},        {"--passin", true},   {"--sign", true},       {"-X", true},
    {"-C", true},        {"-k", true},         {"-r", true},           {"-R", true},
    {"-d", true},        {"-E", false},        {"-f", true},           {"--set-to-numeric", false},
    {"-l", true},        {"-v", true},         {"--verify", false},    {"--public-key", true},
};

const OptionSpec* find_option(const std::string& name) {
    for (const auto& spec : kOptions)
        if (name == spec.name) return &spec;
    return nullptr;
}

void require_number(const Options& options, const char* name) {
    if (!options.values.count(name)) return;
    const std::string& v = options.values.at(name);
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos)
        throw Error(std::string("option ") + name + " needs a number, got '" + v + "'");
}

bool env_set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::string(v) != "0";
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

const char* mode_word(Mode mode) {
    switch (mode) {
        case Mode::Backup: return "backup";
        case Mode::Restore: return "restore";
        case Mode::List: return "list";
        case Mode::Verify: return "verify";
    }
    return "";
}

std::string Options::value(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const OptionSpec* spec = find_option(name);
        if (!spec) throw Error("unknown option or stray argument '" + name + "'");
        if (options.has(name)) throw Error("option " + name + " given twice");
        if (!spec->takes_value) {
            options.flags.insert(name);
            continue;
        }
        // A value that is itself an option name means the caller left the value out.
        if (i + 1 >= argc || find_option(argv[i + 1]))
            throw Error("option " + name + " needs a value");
        options.values[name] = argv[++i];
    }
    for (const char* numeric : {"-b", "-p", "--memory-threshold", "-v"}) require_number(options, numeric);
    return options;
}

Mode select_mode(const Options& options) {
    std::vector<Mode> modes;
    if (options.has("--verify")) modes.push_back(Mode::Verify);
    if (options.has("-l")) modes.push_back(Mode::List);
    if (options.has("-d") || options.has("-r") || options.has("-R")) modes.push_back(Mode::Restore);
    if (options.has("-c")) modes.push_back(Mode::Backup);
    if (modes.empty()) throw Error("nothing to do: give -c (backup), -d (restore), -l (listing) or --verify");
    if (modes.size() > 1) throw Error("conflicting operations on one command line");
    return modes.front();
}

std::string store_directory() {
    std::string store = env("ZVFD_STANDIN_STORE");
    return store.empty() ? "/opt/zelvor/var/standin-store" : store;
}

Switches read_switches(Mode mode) {
    Switches s;
    s.store = store_directory();
    s.argv_log = env("ZVFD_STANDIN_ARGV_LOG");
    std::string only = env("ZVFD_STANDIN_ONLY");
    if (!only.empty()) {
        bool match = false;
        std::istringstream words(only);
        for (std::string word; std::getline(words, word, ',');) match = match || word == mode_word(mode);
        if (!match) return s;
    }
    std::string fail = env("ZVFD_STANDIN_FAIL");
    if (!fail.empty()) {
        char* end = nullptr;
        long code = std::strtol(fail.c_str(), &end, 10);
        s.fail_code = (*end == '\0' && code > 0 && code < 256) ? static_cast<int>(code) : 1;
    }
    s.defect = env_set("ZVFD_STANDIN_DEFECT");
    s.hang = env_set("ZVFD_STANDIN_HANG");
    s.slow_ms = static_cast<unsigned>(std::strtoul(env("ZVFD_STANDIN_SLOW_MS").c_str(), nullptr, 10));
    std::istringstream kinds(env("ZVFD_STANDIN_MALFORMED"));
    for (std::string kind; std::getline(kinds, kind, ',');)
        if (!kind.empty()) s.malformed.insert(kind);
    return s;
}

void log_argv(int argc, char** argv) {
    std::string path = env("ZVFD_STANDIN_ARGV_LOG");
    if (path.empty()) return;
    auto field = [](const std::string& text) { return std::to_string(text.size()) + ":" + text + "\n"; };
    char cwd[4096];
    std::string record = "zvfd-argv 1\npid " + std::to_string(::getpid()) + "\ncwd " +
                         field(::getcwd(cwd, sizeof cwd) ? cwd : "") + "argc " + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) record += field(argv[i]);
    // One write on an O_APPEND descriptor keeps records of concurrent runs whole.
    Fd fd = open_file(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (::write(fd.get(), record.data(), record.size()) != static_cast<ssize_t>(record.size()))
        throw_errno("cannot write argv log " + path);
    fd.close(path);
}

Output::~Output() {
    if (pending_end_ && !switches_.malformed.count("no-newline")) flush();
}

void Output::write_text(const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a reader that went away must not stop the data work
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void Output::flush() {
    if (!pending_end_) return;
    pending_end_ = false;
    write_text(switches_.malformed.count("crlf") ? "\r\n" : "\n");
}

void Output::line(const std::string& text) {
    // The line end is written lazily so that the very last line can be left open.
    flush();
    write_text(text);
    pending_end_ = true;
    if (!switches_.malformed.count("no-newline")) flush();
}

void Output::pid_line() {
    if (switches_.malformed.count("no-pid")) return;
    if (switches_.malformed.count("pid-text")) return line("ZVFD PID: not-a-number");
    if (switches_.malformed.count("pid-range")) return line("ZVFD PID: 99999999999999");
    line("ZVFD PID: " + std::to_string(::getpid()));
}

void Output::progress(const char* prefix, std::uint64_t done, std::uint64_t total) {
    unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
    line(std::string(prefix) + std::to_string(done) + " of " + std::to_string(total) + " bytes (" +
         std::to_string(percent) + "%)");
    if (switches_.slow_ms) std::this_thread::sleep_for(std::chrono::milliseconds(switches_.slow_ms));
}

}  // namespace zvfd
