#include "support/module_sandbox.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = boost::filesystem;

namespace zv_test {

namespace {

std::string read_file(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& text, bool executable = false) {
    fs::create_directories(path.parent_path());
    std::ofstream(path.string(), std::ios::binary | std::ios::trunc) << text;
    if (executable) fs::permissions(path, fs::perms(0755));
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string sh_quote(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Collects a finished child's status the way a shell reports it.
int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// `peak_kib`: the largest resident set among the child and the descendants it waited for.
int wait_with_deadline(pid_t pid, int timeout_seconds, long& peak_kib) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    for (;;) {
        struct rusage usage {};
        pid_t done = wait4(pid, &status, WNOHANG, &usage);
        peak_kib = usage.ru_maxrss;
        if (done == pid) return decode_status(status);
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -2;  // timed out
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

std::string strip_colours(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t end = text.find('m', i);
            if (end != std::string::npos) {
                i = end;
                continue;
            }
        }
        plain += text[i];
    }
    return plain;
}

std::vector<std::string> RunResult::log_lines() const {
    std::vector<std::string> lines;
    for (const auto& line : split_lines(out))
        if (!line.empty() && line[0] == '[') lines.push_back(strip_colours(line));
    return lines;
}

std::vector<std::string> RunResult::protocol_lines() const {
    std::vector<std::string> lines;
    for (const auto& line : split_lines(out))
        if (line.empty() || line[0] != '[') lines.push_back(line);
    return lines;
}

bool RunResult::has_log(const std::string& fragment) const { return count_log(fragment) > 0; }

int RunResult::count_log(const std::string& fragment) const {
    int count = 0;
    for (const auto& line : log_lines())
        if (line.find(fragment) != std::string::npos) ++count;
    return count;
}

bool can_use_namespaces() {
    if (geteuid() != 0) return false;
    return system("unshare --mount --propagation private true >/dev/null 2>&1") == 0;
}

std::string describe(const RunResult& result) {
    return "status " + std::to_string(result.status) + "\nstdout:\n" + strip_colours(result.out) +
           "\nstderr:\n" + result.err;
}

std::vector<std::string> live_processes_in_group(pid_t group) {
    std::vector<std::string> found;
    for (fs::directory_iterator it("/proc"), end; it != end; ++it) {
        const std::string pid = it->path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = read_file(it->path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        long parent = 0, process_group = 0;
        fields >> state >> parent >> process_group;
        if (process_group == group && state != "Z") found.push_back(stat.substr(0, close + 1));
    }
    return found;
}

std::string module_binary() { return ZV_MODULE_BINARY; }
std::string zvfd_binary() { return std::string(ZV_BINARY_DIR) + "/zvfd"; }

Sandbox::Sandbox() {
    char pattern[] = "/tmp/zvtest-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("cannot create a sandbox directory");
    root_ = pattern;
    fs::permissions(root_, fs::perms(0755));
    for (const char* dir : {"bin", "etc", "log", "var/tasks", "var/zelvor-modules", "keys", "scripts"})
        fs::create_directories(opt() / dir);
}

Sandbox::~Sandbox() {
    boost::system::error_code ec;
    fs::remove_all(root_, ec);
}

void Sandbox::fake_program(const std::string& target, const std::string& script) {
    const fs::path host = root_ / "fakes" / std::to_string(binds_.size()) / fs::path(target).filename();
    write_file(host, script, true);
    bind(target, host.string());
}

void Sandbox::bind(const std::string& target, const std::string& host_path) {
    binds_.emplace_back(target, host_path);
}

void Sandbox::install_zvfd() {
    fs::copy_file(zvfd_binary(), opt() / "bin" / "zvfd",
                  fs::copy_options::overwrite_existing);
    fs::permissions(opt() / "bin" / "zvfd", fs::perms(0755));
}

// The launcher runs inside the new namespace: it lays the scratch /opt/zelvor and the
// fakes over the host's paths, then execs the command. A target that does not exist
// on the host (there is no /sbin/lsmod here) appears through a read-only overlay of
// its directory, which leaves the directory's other files visible.
fs::path Sandbox::write_launcher(const std::string& command_tail, const RunOptions& options) const {
    std::ostringstream script;
    script << "#!/bin/bash\nset -e\n";
    script << "mount --make-rprivate / 2>/dev/null || true\n";
    const fs::path layers = root_ / "layers" / std::to_string(runs_);
    std::vector<std::pair<std::string, std::string>> mounts = binds_;
    mounts.insert(mounts.begin(), {"/opt/zelvor", opt().string()});
    std::map<std::string, fs::path> overlay_dirs;  // host directory -> layer holding new entries
    for (const auto& [target, host] : mounts) {
        boost::system::error_code ec;
        fs::path parent = fs::canonical(fs::path(target).parent_path(), ec);
        if (ec) throw std::runtime_error("no directory for fake " + target);
        const fs::path resolved = parent / fs::path(target).filename();
        if (!fs::exists(resolved)) {
            auto& layer = overlay_dirs[parent.string()];
            if (layer.empty()) layer = layers / std::to_string(overlay_dirs.size());
            const fs::path placeholder = layer / fs::path(target).filename();
            fs::create_directories(layer);
            if (fs::is_directory(host))
                fs::create_directories(placeholder);
            else
                write_file(placeholder, "");
        }
    }
    for (const auto& [dir, layer] : overlay_dirs)
        script << "mount -t overlay zvtest -o lowerdir=" << sh_quote(layer.string() + ":" + dir)
               << " " << sh_quote(dir) << "\n";
    for (const auto& [target, host] : mounts) {
        fs::path resolved = fs::canonical(fs::path(target).parent_path()) / fs::path(target).filename();
        script << "mount --bind " << sh_quote(host) << " " << sh_quote(resolved.string()) << "\n";
    }
    script << "set +e\n";
    for (const auto& [name, value] : options.env) script << "export " << name << "=" << sh_quote(value) << "\n";
    script << command_tail << "\n";
    const fs::path launcher = root_ / ("launch-" + std::to_string(runs_) + ".sh");
    write_file(launcher, script.str(), true);
    return launcher;
}

pid_t Sandbox::spawn(const fs::path& launcher, const std::vector<std::string>& args,
                     const RunOptions& options, fs::path& out, fs::path& err) const {
    const int n = runs_++;
    out = root_ / ("out-" + std::to_string(n));
    err = root_ / ("err-" + std::to_string(n));
    const fs::path in = root_ / ("in-" + std::to_string(n));
    write_file(in, options.input);

    std::vector<std::string> argv_strings = {"unshare", "--mount", "--propagation", "private",
                                             "/bin/bash", launcher.string()};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int fd_in = open(in.c_str(), O_RDONLY);
        int fd_out = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fd_err = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd_in, 0);
        dup2(fd_out, 1);
        dup2(fd_err, 2);
        setpgid(0, 0);
        std::vector<char*> argv;
        for (auto& s : argv_strings) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        execvp("unshare", argv.data());
        _exit(127);
    }
    return pid;
}

namespace {
std::string exec_tail(const std::string& argv0) {
    const std::string bin = sh_quote(module_binary());
    if (argv0.empty()) return "exec " + bin + " \"$@\"";
    return "exec -a " + sh_quote(argv0) + " " + bin + " \"$@\"";
}
}  // namespace

RunResult Sandbox::run(const std::vector<std::string>& args, const RunOptions& options) const {
    return start(args, options).wait();
}

RunResult Sandbox::shell(const std::string& script, const RunOptions& options) const {
    fs::path out, err;
    const fs::path launcher = write_launcher(script, options);
    pid_t pid = spawn(launcher, {}, options, out, err);
    return Background(pid, out, err, options.timeout_seconds).wait();
}

Sandbox::Background Sandbox::start(const std::vector<std::string>& args,
                                   const RunOptions& options) const {
    fs::path out, err;
    const fs::path launcher = write_launcher(exec_tail(options.argv0), options);
    pid_t pid = spawn(launcher, args, options, out, err);
    return Background(pid, out, err, options.timeout_seconds);
}

Sandbox::Background::Background(pid_t pid, fs::path out, fs::path err, int timeout_seconds)
    : pid_(pid), out_(std::move(out)), err_(std::move(err)), timeout_seconds_(timeout_seconds) {}

Sandbox::Background::Background(Background&& other) noexcept
    : pid_(other.pid_), out_(other.out_), err_(other.err_),
      timeout_seconds_(other.timeout_seconds_), waited_(other.waited_) {
    other.waited_ = true;
}

Sandbox::Background::~Background() {
    if (!waited_) {
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
}

void Sandbox::Background::signal(int signo) const { kill(pid_, signo); }

bool Sandbox::Background::running() const {
    if (waited_) return false;
    const std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

std::string Sandbox::Background::current_output() const { return read_file(out_); }

RunResult Sandbox::Background::wait() {
    RunResult result;
    result.status = wait_with_deadline(pid_, timeout_seconds_, result.peak_kib);
    waited_ = true;
    result.out = read_file(out_);
    result.err = read_file(err_);
    return result;
}

}  // namespace zv_test
