// Opening and reading files at fixed paths without trusting what the path holds.
#include "common/zv_utils_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zv_utils_common {

namespace {
const char* const not_regular = "it is not a regular file";
}  // namespace

int open_regular_file(const std::string& path, int flags, std::string& error) {
    // Looked at first, so that a device is never opened (opening one can act on it);
    // checked again on the open descriptor, in case the path changed in between.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        error = not_regular;
        return -1;
    }
    // O_NONBLOCK: opening a FIFO never waits for its other end.
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = not_regular;
        ::close(fd);
        return -1;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

bool read_regular_file(const std::string& path, std::string& text, std::string& error,
                       std::size_t limit) {
    const int fd = open_regular_file(path, O_RDONLY, error);
    if (fd < 0) return false;
    std::string content;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
            ok = false;
            break;
        }
        if (got == 0) break;
        if (content.size() + static_cast<std::size_t>(got) > limit) {
            error = "it is larger than " + std::to_string(limit) + " bytes";
            ok = false;
            break;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (ok) text.swap(content);
    return ok;
}

bool is_regular_file_or_absent(const std::string& path, std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISREG(info.st_mode)) return true;
        error = not_regular;
        return false;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        // A link whose target is missing is absent too; anything else at the path
        // (a looping link, a path through a file) is not a usable file.
        struct stat link {};
        if (::lstat(path.c_str(), &link) != 0 || S_ISLNK(link.st_mode)) return true;
    }
    error = std::strerror(errno);
    return false;
}

}  // namespace zv_utils_common
