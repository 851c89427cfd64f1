// The benchmarks' timeline of a step seen from outside: runs a command and, every
// INTERVAL milliseconds until it ends, writes one line to FILE with the seconds since
// its start and what the command and all its descendants have done so far: bytes read
// from and written to storage (/proc/PID/io; pages found in the page cache are not
// counted) and processor seconds (user and system). A step whose reads stop while its
// processor time grows is computing; one whose reads grow at the disk's rate is waiting
// for the disk; a tail where only writes grow is flushing. Descendants that ended
// before a sample are lost from it (their counts go to a parent that waits for them);
// the last line, when the command has ended, counts everything it and the descendants
// it waited for did.
//
//   proc_timeline FILE INTERVAL_MS COMMAND [ARG...]     (exit status: the command's)
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Totals {
    long long read_bytes = 0;
    long long write_bytes = 0;
    double cpu_seconds = 0;
};

// Parent of every process, from /proc/PID/stat (the command name, in parentheses, may
// hold blanks, so fields are counted from its closing parenthesis).
std::map<pid_t, pid_t> parents() {
    std::map<pid_t, pid_t> result;
    DIR* proc = opendir("/proc");
    if (!proc) return result;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text;
        std::getline(stat, text);
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        fields >> state >> parent;
        result[pid] = parent;
    }
    closedir(proc);
    return result;
}

void add_process(pid_t pid, Totals& totals) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream io(dir + "/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "read_bytes:") totals.read_bytes += value;
        if (key == "write_bytes:") totals.write_bytes += value;
    }
    std::ifstream stat(dir + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    if (close == std::string::npos) return;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    // Fields 14 and 15 of the file (utime, stime) are the 12th and 13th after the name.
    for (int i = 3; i <= 13 && fields >> field; ++i) {
    }
    long long utime = 0, stime = 0;
    fields >> utime >> stime;
    totals.cpu_seconds += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Totals sample(pid_t root) {
    const auto parent_of = parents();
    std::set<pid_t> tree{root};
    // Parents have lower ids only until ids wrap; repeat until nothing is added.
    for (bool grown = true; grown;) {
        grown = false;
        for (const auto& [pid, parent] : parent_of) {
            if (tree.count(parent) && tree.insert(pid).second) grown = true;
        }
    }
    Totals totals;
    for (const pid_t pid : tree) add_process(pid, totals);
    return totals;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: proc_timeline FILE INTERVAL_MS COMMAND [ARG...]\n");
        return 127;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror("proc_timeline: open");
        return 127;
    }
    const auto interval = std::chrono::milliseconds(std::max(1, std::atoi(argv[2])));
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("proc_timeline: fork");
        return 127;
    }
    if (child == 0) {
        std::fclose(out);
        execvp(argv[3], argv + 3);
        std::perror("proc_timeline: exec");
        _exit(127);
    }
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(child, &status, WNOHANG, &usage);
        if (done == child) break;
        if (done < 0 && errno != EINTR) {
            std::perror("proc_timeline: wait");
            return 127;
        }
        const Totals t = sample(child);
        std::fprintf(out, "%.3f %.1f %.1f %.2f\n", seconds(), t.read_bytes / 1048576.0, t.write_bytes / 1048576.0,
                     t.cpu_seconds);
        std::fflush(out);
        std::this_thread::sleep_for(interval);
    }
    // Block counts of the resource usage are the same accounting as /proc/PID/io, in
    // 512-byte units.
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                       usage.ru_stime.tv_usec / 1e6;
    std::fprintf(out, "%.3f %.1f %.1f %.2f\n", seconds(), usage.ru_inblock / 2048.0, usage.ru_oublock / 2048.0, cpu);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
