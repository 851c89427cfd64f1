// Running the archiver through a pipe and reading its output protocol, running user
// scripts, and the small helpers the archiver command lines are built from.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace {

const char* const run_zvfd_signature =
    "bool ZvModuleUniversal::run_zvfd_command(const string&, std::__cxx11::string&, pid_t&, "
    "std::__cxx11::string&)";
const char* const scripts_directory = "/opt/zelvor/scripts";

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// popen with one difference: the shell, and the archiver it becomes through
// "exec", get SIGKILL when the module dies. A module killed outright (kill -9)
// must not leave an archiver behind that finishes a task nobody waits for.
FILE* start_archiver(const std::string& command, pid_t& child) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    const pid_t parent = getpid();
    // Until exec the child has the module's handlers: a termination sent to it then
    // must not run the module's clean-up a second time in the child.
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    child = fork();
    if (child != 0) sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    if (child == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE}) std::signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);  // the module died before the line above
        if (dup2(fds[1], STDOUT_FILENO) < 0) _exit(127);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    FILE* pipe = fdopen(fds[0], "r");
    if (pipe == nullptr) {
        close(fds[0]);
        waitpid(child, nullptr, 0);
    }
    return pipe;
}

// pclose's counterpart: the child's wait status, or -1.
int finish_archiver(FILE* pipe, pid_t child) {
    std::fclose(pipe);
    int status = 0;
    for (;;) {
        if (waitpid(child, &status, 0) == child) return status;
        if (errno != EINTR) return -1;
    }
}

}  // namespace

std::string zvfd_shell_command(const std::vector<std::string>& arguments, const std::string& directory) {
    std::string start;
    if (directory == "/")
        start = "cd / && ";
    else if (!directory.empty())
        start = "cd " + zv_utils_common::shell_quote(directory) + " && ";
    // "exec": the archiver takes the shell's place, so what the runner does to its
    // child (the parent-death signal) applies to the archiver itself.
    return start + "exec " + zv_utils_common::shell_command(zvfd_program, arguments) + " 2>&1";
}

bool ZvModuleUniversal::run_zvfd_command(const std::string& command, std::string& output,
                                         pid_t& pid, std::string& progress) {
    ZvLogStream(ZvLogLvl::Info) << run_zvfd_signature << ":zvfd command: " << command << std::endl;

    pid_t child = 0;
    FILE* pipe = start_archiver(command, child);
    if (pipe == nullptr) {
        ZvLogStream(ZvLogLvl::Error) << run_zvfd_signature << ": couldn't start OS command: "
                                     << command << std::endl;
        return false;
    }

    // The client agent follows the archiver's progress while it runs, so every line it
    // needs is echoed and flushed as soon as its terminator arrives.
    auto handle_line = [&](const std::string& line) {
        static const char* const progress_prefixes[] = {"Packed: ", "Unpacked: ", "Transferred: "};
        if (starts_with(line, "ZVFD PID: ")) {
            pid = std::stoi(line.substr(10));
            std::cout << line << std::endl;
            return;
        }
        for (const std::string prefix : progress_prefixes) {
            if (starts_with(line, prefix)) {
                progress = line.substr(prefix.size());
                std::cout << line << std::endl;
                return;
            }
        }
        output += line;
        output += "\n";
    };

    int status = 0;
    try {
        std::string line;
        int c;
        while ((c = std::fgetc(pipe)) != EOF) {
            if (c == '\n' || c == '\r') {
                handle_line(line);
                line.clear();
            } else {
                line += static_cast<char>(c);
            }
        }
        // A last piece without a terminator is incomplete and is dropped.
        status = finish_archiver(pipe, child);
        pipe = nullptr;
        // However the archiver ended, its process id may now belong to anyone.
        pid = 0;

        ZvLogStream(ZvLogLvl::Debug) << "zvfd process status 0x" << std::hex << status << "."
                                     << std::endl;
        if (WIFSIGNALED(status)) {
            ZvLogStream(ZvLogLvl::Warning) << "zvfd process terminates with 0x" << std::hex
                                           << WTERMSIG(status) << " signal." << std::endl;
            if (WCOREDUMP(status))
                ZvLogStream(ZvLogLvl::Warning) << "core dump occured." << std::endl;
            return false;
        }
        if (WIFSTOPPED(status)) {
            ZvLogStream(ZvLogLvl::Warning) << "zvfd process stops with 0x" << std::hex
                                           << WSTOPSIG(status) << " signal." << std::endl;
            return false;
        }
        if ((status & 0x7f) != 0) {
            ZvLogStream(ZvLogLvl::Warning) << "zvfd process unknown exit." << std::endl;
            return false;
        }
        const int code = WEXITSTATUS(status);
        ZvLogStream(ZvLogLvl::Debug) << "zvfd process exits with 0x" << std::hex << code
                                     << " status." << std::endl;
        switch (code) {
            case 0:
                return true;
            case 100:
                defect_flag = true;
                ZvLogStream(ZvLogLvl::Warning) << "zvfd finished with a defect flag" << std::endl;
                return true;
            case 1:
                ZvLogStream(ZvLogLvl::Warning) << "zvfd finished with an error flag" << std::endl;
                return false;
            default:
                return false;
        }
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << run_zvfd_signature << ": " << e.what() << std::endl;
        // Wait for the archiver rather than leave it running unsupervised.
        if (pipe != nullptr) finish_archiver(pipe, child);
        pid = 0;
        return false;
    }
}

void ZvModuleUniversal::send_signal_to_zvfd(int signal) {
    if (zvfd_pid != 0) zv_utils_common::send_signal(zvfd_pid, signal);
}

bool ZvModuleUniversal::run_script(const std::string& script, const std::string& arguments) {
    namespace fs = boost::filesystem;
    fs::path path(script);
    // Only scripts the administrator put into the scripts directory may run.
    if (path.parent_path().string() != scripts_directory) {
        ZvLogStream(ZvLogLvl::Warning) << "Change script path to: " << scripts_directory
                                       << std::endl;
        path = fs::path(scripts_directory) / path.filename();
    }
    boost::system::error_code error;
    if (!fs::exists(path, error)) {
        ZvLogStream(ZvLogLvl::Error) << "Script doesn't exist: " << path << std::endl;
        return false;
    }
    if (!fs::is_regular_file(path, error)) {
        ZvLogStream(ZvLogLvl::Error) << path << " is not a regular file" << std::endl;
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "Run script. Script name: " << path.string() << " "
                                << arguments << std::endl;
    std::string output;
    const int code = zv_utils_common::execute_command(
        zv_utils_common::shell_command(zv_utils_common::shell_quote(path.string()), {arguments}),
        output);
    ZvLogStream(ZvLogLvl::Info) << output << std::endl;
    ZvLogStream(ZvLogLvl::Info) << "Script returned code: " << code << std::endl;
    if (code != 0) {
        ZvLogStream(ZvLogLvl::Warning) << "Script returns code is not NULL" << std::endl;
        return false;
    }
    return true;
}

std::string ZvModuleUniversal::compress_mode_str(unsigned int type) {
    switch (type) {
        case 1:
            return "None";
        case 2:
            return "fast";
        case 3:
            return "optimal";
        case 4:
            return "best";
        default:
            return "Wrong or deprecated compression type: " + std::to_string(type);
    }
}

std::string ZvModuleUniversal::get_task_secret() {
    if (options_.task_id.empty())
        ZvLogStream(ZvLogLvl::Error) << "Task ID is empty" << std::endl;
    return "/opt/zelvor/var/tasks//task_secret_" + options_.task_id;
}

void shield_string_for_command(std::string& text) {
    static const std::string shell_characters = " \\'\"^*?[]{}><|;&$!()`~#:@.%\t";
    std::string shielded;
    shielded.reserve(text.size() * 2);
    for (char c : text) {
        if (c == '\n') {
            // A backslash before a line feed would join lines and drop it; quoted, it
            // stays part of the word.
            shielded += "'\n'";
        } else {
            if (shell_characters.find(c) != std::string::npos) shielded += '\\';
            shielded += c;
        }
    }
    text = std::move(shielded);
}

int split_full_version(const std::string& version, std::string& major_minor, std::string& patch,
                       std::string& build) {
    try {
        std::vector<std::string> pieces(1);
        for (char c : version) {
            if (c == '.') {
                if (pieces.size() == 4) break;
                pieces.emplace_back();
            } else {
                pieces.back() += c;
            }
        }
        pieces.resize(4);
        major_minor = pieces[0] + "." + pieces[1];
        patch = pieces[2];
        build = pieces[3];
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}
