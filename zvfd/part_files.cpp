#include "zvfd/part_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace zvfd {

namespace {

struct Registry {
    std::mutex mutex;
    // Path → the file's identity, so that a name taken over by another file meanwhile
    // (a link planted where a part file was) is left alone.
    std::map<std::string, std::pair<dev_t, ino_t>> files;
};

// Never destroyed: the thread that removes the files may run while the process exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

[[noreturn]] void remove_all_and_end(int sig) {
    Registry& r = registry();
    // Held to the end: no part file is created once the removal has begun.
    r.mutex.lock();
    for (const auto& [path, id] : r.files) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == id.first && st.st_ino == id.second)
            ::unlink(path.c_str());
    }
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_DFL;
    ::sigaction(sig, &sa, nullptr);
    const sigset_t set = termination_signals();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

}  // namespace

Fd create_part_file(int dir, const std::string& leaf, const std::string& path, int flags, mode_t mode) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    int fd;
    do {
        fd = ::openat(dir, leaf.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_errno("cannot create " + path);
    Fd owned(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::unlinkat(dir, leaf.c_str(), 0);
        errno = error;
        throw_errno("cannot create " + path);
    }
    r.files[path] = {st.st_dev, st.st_ino};
    return owned;
}

void forget_part_file(const std::string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.files.erase(path);
}

PartFile::PartFile(std::string path) : path_(std::move(path)) {}

PartFile::~PartFile() {
    if (committed_) return;
    ::unlink(path_.c_str());
    forget_part_file(path_);
}

void PartFile::commit_to(const std::string& final_path) {
    if (::rename(path_.c_str(), final_path.c_str()) != 0) throw_errno("cannot put " + final_path + " in place");
    committed_ = true;
    forget_part_file(path_);
    sync_parent_directory(final_path);
}

std::unique_ptr<PartFile> write_part(const std::string& path, const std::string& bytes, const std::string& what) {
    auto part = std::make_unique<PartFile>(path + ".part");
    ::unlink(part->path().c_str());  // left by a run that was killed
    Fd fd = create_part_file(AT_FDCWD, part->path(), part->path(), O_WRONLY, 0600);
    try {
        pwrite_all(fd.get(), bytes.data(), bytes.size(), 0);
        if (::fsync(fd.get()) != 0) throw_errno("cannot flush");
        fd.close(part->path());
    } catch (const Error& e) {
        throw Error("cannot write " + what + " " + path + ": " + e.what());
    }
    return part;
}

void remove_part_files_on_termination() {
    const sigset_t set = termination_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int sig = 0;
            if (::sigwait(&set, &sig) == 0) remove_all_and_end(sig);
        }
    }).detach();
}

void unblock_termination() {
    const sigset_t set = termination_signals();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace zvfd
