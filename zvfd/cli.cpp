#include "zvfd/cli.h"

#include "zvfd/io.h"
#include "zvfd/record.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace zvfd {

namespace {

struct OptionSpec {
    const char* name;
    bool takes_value;
};

// Every option of the module's command lines for backup, restore, replica
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
    {"--check", false},  {"--read-data", false},  {"-u", true},        {"-U", true},
    {"--add", true},     {"--help", false},
};

const OptionSpec* find_option(const std::string& name) {
    for (const auto& spec : kOptions)
        if (name == spec.name) return &spec;
    return nullptr;
}

void require_number(const Options& options, const char* name) {
    if (!options.values.count(name)) return;
    const std::string& v = options.values.at(name);
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        throw Error(std::string("option ") + name + " needs a number, got '" + v + "'");
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, sep);)
        if (!part.empty()) parts.push_back(part);
    return parts;
}

}  // namespace

const char* usage_text() {
    return "usage:\n"
           "  backup:   zvfd [-a sha2] [-2|-5] [-b BLOCK] -c LIST|DIR|PATH [-p N] [-e FLAGS]\n"
           "                 [-x PATH,..] [-X FILE] [--numeric-owner] [-S REFERENCE.meta]\n"
           "                 [-z None|fast|optimal|best] [--memory-threshold N]\n"
           "                 (-n ARCHIVE | -M SERVER -N NAME -T TASK -s SECRET) -m META\n"
           "                 [-g SIGNATURE --sign KEY.pem [--passin PASSFILE]] [-C CIPHER -k KEYFILE]\n"
           "  restore:  zvfd [-a sha2] [-2|-5] [-b BLOCK] (-r ARCHIVE | -R RECORD -M SERVER [-m META]\n"
           "                 [-T TASK -s SECRET]) -d DIR [-C CIPHER -k KEYFILE] [-E] [-p N] [-f NAME,..|FILE]\n"
           "  add:      zvfd [-a sha2] [-2|-5] [-b BLOCK] (-u ARCHIVE [-m META] | -U NAME -M SERVER -T TASK\n"
           "                 -s SECRET -m META) --add LIST [-p N] [-z None|fast|optimal|best]\n"
           "                 [--memory-threshold N] [-g SIGNATURE --sign KEY.pem [--passin PASSFILE]]\n"
           "                 [-C CIPHER -k KEYFILE]\n"
           "  listing:  zvfd -l META [-v 1]\n"
           "  verify:   zvfd -n ARCHIVE -g SIGNATURE --verify --public-key PUBLIC.pem\n"
           "  check:    zvfd --check -M SERVER -T TASK -s SECRET [-C CIPHER -k KEYFILE] [--read-data] [-p N]\n"
           "\n"
           "Tasks (-T, -s): the task secret file authorises writing into a task; the first backup of\n"
           "  a task marks it, every later backup or addition must bring the same secret. A restore\n"
           "  reads a record of any task, on any host that reaches the media server: the one the\n"
           "  metadata file of its backup names (-m), else the one named -R among all tasks (the\n"
           "  restore's own -T first; two other tasks holding it is an error). Who reads a record is\n"
           "  decided by access to the store (file permissions, S3 credentials); its content, by its\n"
           "  key (-C, -k).\n"
           "Additions (--add LIST): the files of LIST join record NAME of the task (-U), or the record of\n"
           "  an archive file (-u), as a new version of that record, holding its files and the new ones;\n"
           "  a name the record holds already is refused. Nothing is rewritten: the version is an object\n"
           "  of its own beside the record, and an archive file is written anew, then takes the old one's\n"
           "  name. The metadata file (-m) then describes the new version; a restore takes the version\n"
           "  its metadata file describes, else the newest. -a, -2/-5 and -C/-k must be the record's own.\n"
           "Restore (-d DIR): each file of the record is written below DIR as NAME.zvfd-part and takes\n"
           "  its NAME once every file is complete; nothing is written through a link, and a NAME that\n"
           "  is not a regular file is refused. A replica application (-E) changes an existing regular\n"
           "  file or block device in place, only the blocks that differ: it first reads and checks\n"
           "  every block it will write there (the packs holding changed blocks are read twice), so\n"
           "  that a damaged or missing pack fails it before the target changes.\n"
           "Exclusions (-x PATH|NAME,.. and -X FILE, one a line) keep a directory walk (-c DIR, -c .,\n"
           "  or a directory of the list) from adding a path (absolute: it and all below it) or a\n"
           "  record name; a file that -c names itself is always archived. Commas that join the\n"
           "  pieces of one line of -X belong to that entry of -x.\n"
           "Block names: -a sha2 with -2 (SHA-256, the default) or -5 (SHA-512); keyed (HMAC) when encrypted.\n"
           "Block size: -b, default 16384 bytes.\n"
           "Compression (-z), zstd levels: None = none, fast = 1, optimal = 3 (without -z), best = 15.\n"
           "Encryption (-C): nocrypt, aes-256-gcm (AES-256-GCM), kuznyechik (Kuznyechik CTR with\n"
           "  HMAC-SHA256, encrypt-then-MAC); keys derived from the key file -k.\n"
           "Workers (-p, or -e worker_parallelism:N,enable_multithreading:true|false): default up to 4,\n"
           "  never more than the processor count.\n"
           "Memory (--memory-threshold N): a backup's buffers, queues and caches stay under N MiB; the\n"
           "  uploaders and the caches of the index shrink to fit. Each worker needs 8 MiB and the\n"
           "  rest about 110 MiB; a smaller N fails at the start and says how much is needed.\n"
           "Media servers (-M): NAME = LOCATION lines in /opt/zelvor/etc/zvfd-repositories.conf, a\n"
           "  LOCATION being a directory or an S3 bucket (\"s3 endpoint=URL bucket=B region=R\n"
           "  credentials=FILE [prefix=P] [path_style=yes|no] [retention_days=N\n"
           "  retention_mode=governance|compliance] [retry_seconds=N]\"); default\n"
           "  /opt/zelvor/var/repositories/NAME.\n"
           "Known blocks: a block is not stored again when the repository holds it in a pack that is\n"
           "  there and that no check found damaged; the blocks of a reference (-S) count only when\n"
           "  it is a record of the same media server, written with the same key and digest.\n"
           "Check (--check): a line per record of the task, \"Record NAME: sound\" or what is missing or\n"
           "  damaged; --read-data also reads every block and checks it against its name or tag.\n"
           "  The packs it finds missing or damaged are recorded in the repository (nothing is\n"
           "  rewritten) and later backups store their blocks again: a full backup after the check\n"
           "  heals the repository. Exit 0 only when every record is sound.\n"
           "Exit codes: 0 success; 100 only when a backup or an addition stored its record but a\n"
           "  source shrank while it was read (a line \"zvfd: defect: PATH shrank while being packed\"\n"
           "  names it; the record holds what was read, and zeros up to the size the source had);\n"
           "  1 failure.\n"
           "Test aid, not for production: the environment variable ZVFD_TEST_AID makes a run fail,\n"
           "  report a defect, hang, slow down or misprint on purpose (fail=N, defect, hang, slow=MS,\n"
           "  malformed=pid-text+pid-range+no-pid+crlf+no-newline, only=backup+add+restore+list+verify,\n"
           "  argv-log=FILE).\n";
}

std::string printable(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

const char* mode_word(Mode mode) {
    switch (mode) {
        case Mode::Backup: return "backup";
        case Mode::Add: return "add";
        case Mode::Restore: return "restore";
        case Mode::List: return "list";
        case Mode::Verify: return "verify";
        case Mode::Check: return "check";
        case Mode::Help: return "help";
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
        if (i + 1 >= argc) throw Error("option " + name + " needs a value");
        options.values[name] = argv[++i];
    }
    for (const char* numeric : {"-b", "-p", "--memory-threshold", "-v"}) require_number(options, numeric);
    if (options.has("-b")) {
        const unsigned long b = std::stoul(options.value("-b"));
        if (b < 512 || b > kMaxBlockSize) throw Error("block size -b must lie between 512 and 16777216 bytes");
    }
    return options;
}

Mode select_mode(const Options& options) {
    std::vector<Mode> modes;
    if (options.has("--help")) return Mode::Help;
    if (options.has("--verify")) modes.push_back(Mode::Verify);
    if (options.has("--check")) modes.push_back(Mode::Check);
    if (options.has("-l")) modes.push_back(Mode::List);
    if (options.has("-d") || options.has("-r") || options.has("-R")) modes.push_back(Mode::Restore);
    if (options.has("-c")) modes.push_back(Mode::Backup);
    if (options.has("--add")) modes.push_back(Mode::Add);
    if (!options.has("--add") && (options.has("-u") || options.has("-U")))
        throw Error("-u and -U name what an addition adds to: give the list to add (--add)");
    if (modes.empty())
        throw Error("nothing to do: give -c (backup), --add (addition), -d (restore), -l (listing), --verify or --check");
    if (modes.size() > 1) throw Error("conflicting operations on one command line");
    return modes.front();
}

std::map<std::string, std::string> archiver_flags(const Options& options) {
    std::map<std::string, std::string> flags;
    for (const auto& item : split(options.value("-e"), ',')) {
        const auto colon = item.find(':');
        if (colon == std::string::npos) throw Error("flag '" + item + "' of -e is not KEY:VALUE");
        flags[item.substr(0, colon)] = item.substr(colon + 1);
    }
    return flags;
}

unsigned worker_count(const Options& options, unsigned processors) {
    processors = std::max(1u, processors);
    const auto flags = archiver_flags(options);
    unsigned wanted = std::min(4u, processors);
    auto number = [](const std::string& text, const char* what) {
        if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
            throw Error(std::string(what) + " needs a number, got '" + text + "'");
        return static_cast<unsigned>(std::stoul(text));
    };
    if (options.has("-p") && number(options.value("-p"), "-p") > 0) {
        wanted = number(options.value("-p"), "-p");
    } else if (flags.count("worker_parallelism") && number(flags.at("worker_parallelism"), "worker_parallelism") > 0) {
        wanted = number(flags.at("worker_parallelism"), "worker_parallelism");
    }
    if (flags.count("enable_multithreading")) {
        std::string v = flags.at("enable_multithreading");
        std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::tolower(c); });
        if (v == "false" || v == "0" || v == "no") wanted = 1;
    }
    return std::max(1u, std::min(wanted, processors));
}

TestAid read_test_aid(const Mode* mode) {
    TestAid aid;
    const auto words = split(env("ZVFD_TEST_AID"), ',');
    std::map<std::string, std::string> set;
    for (const auto& w : words) {
        const auto eq = w.find('=');
        set[w.substr(0, eq)] = eq == std::string::npos ? "" : w.substr(eq + 1);
    }
    if (set.count("argv-log")) aid.argv_log = set["argv-log"];
    if (!mode) return aid;
    if (set.count("only")) {
        const auto modes = split(set["only"], '+');
        if (std::find(modes.begin(), modes.end(), mode_word(*mode)) == modes.end()) return aid;
    }
    if (set.count("fail")) {
        char* end = nullptr;
        const long code = std::strtol(set["fail"].c_str(), &end, 10);
        aid.fail_code = (*end == '\0' && code > 0 && code < 256) ? static_cast<int>(code) : 1;
    }
    aid.defect = set.count("defect") > 0;
    aid.hang = set.count("hang") > 0;
    if (set.count("slow")) aid.slow_ms = static_cast<unsigned>(std::strtoul(set["slow"].c_str(), nullptr, 10));
    aid.hold = set["hold"];
    for (const auto& kind : split(set["malformed"], '+')) aid.malformed.insert(kind);
    return aid;
}

void log_argv(const TestAid& aid, int argc, char** argv) {
    if (aid.argv_log.empty()) return;
    auto field = [](const std::string& text) { return std::to_string(text.size()) + ":" + text + "\n"; };
    char cwd[4096];
    std::string record = "zvfd-argv 1\npid " + std::to_string(::getpid()) + "\ncwd " +
                         field(::getcwd(cwd, sizeof cwd) ? cwd : "") + "argc " + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) record += field(argv[i]);
    // One write on an O_APPEND descriptor keeps records of concurrent runs whole.
    Fd fd = open_file(aid.argv_log, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (::write(fd.get(), record.data(), record.size()) != static_cast<ssize_t>(record.size()))
        throw_errno("cannot write argv log " + aid.argv_log);
    fd.close(aid.argv_log);
}

Output::~Output() {
    if (pending_end_ && !aid_.malformed.count("no-newline")) flush();
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
    write_text(aid_.malformed.count("crlf") ? "\r\n" : "\n");
}

void Output::line(const std::string& text) {
    // The line end is written lazily so that the very last line can be left open.
    flush();
    write_text(text);
    pending_end_ = true;
    if (!aid_.malformed.count("no-newline")) flush();
}

void Output::pid_line() {
    if (aid_.malformed.count("no-pid")) return;
    if (aid_.malformed.count("pid-text")) return line("ZVFD PID: not-a-number");
    if (aid_.malformed.count("pid-range")) return line("ZVFD PID: 99999999999999");
    line("ZVFD PID: " + std::to_string(::getpid()));
}

void Output::progress(const char* prefix, std::uint64_t done, std::uint64_t total) {
    const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
    line(std::string(prefix) + std::to_string(done) + " of " + std::to_string(total) + " bytes (" +
         std::to_string(percent) + "%)");
    if (aid_.slow_ms) std::this_thread::sleep_for(std::chrono::milliseconds(aid_.slow_ms));
    if (!aid_.hold.empty()) wait_for_release(aid_.hold);
}

void Output::wait_for_release(const std::string& file) {
    if (::access(file.c_str(), F_OK) == 0) return;
    if (!held_) {
        held_ = true;
        Fd marker = open_file(file + ".held", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        marker.close(file + ".held");
    }
    while (::access(file.c_str(), F_OK) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace zvfd
