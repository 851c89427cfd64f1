#include "zvfd/io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zvfd {

void throw_errno(const std::string& what) { throw Error(what + ": " + std::strerror(errno)); }

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::close(const std::string& what) {
    int fd = release();
    if (fd >= 0 && ::close(fd) != 0) throw_errno("cannot close " + what);
}

Fd open_file(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_errno("cannot open " + path);
    return Fd(fd);
}

namespace {
Fd open_regular(const std::string& path, const std::string& what, struct stat& st) {
    Fd fd = open_file(path, O_RDONLY);
    if (::fstat(fd.get(), &st) != 0) throw_errno("cannot read " + what + " " + path);
    if (!S_ISREG(st.st_mode)) throw Error(what + " " + path + " is not a regular file");
    return fd;
}
}  // namespace

std::string read_head(const std::string& path, const std::string& what, std::size_t n) {
    struct stat st {};
    const Fd fd = open_regular(path, what, st);
    std::string head(n, '\0');
    head.resize(pread_some(fd.get(), head.data(), n, 0));
    return head;
}

std::string read_file(const std::string& path, const std::string& what, std::uint64_t limit) {
    struct stat st {};
    const Fd fd = open_regular(path, what, st);
    if (static_cast<std::uint64_t>(st.st_size) > limit)
        throw Error(what + " " + path + " is damaged: it holds " + std::to_string(st.st_size) +
                    " bytes, where it can hold at most " + std::to_string(limit));
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    bytes.resize(pread_some(fd.get(), bytes.data(), bytes.size(), 0));
    return bytes;
}

void sync_parent_directory(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Fd fd = open_file(dir, O_RDONLY | O_DIRECTORY);
    if (::fsync(fd.get()) != 0) throw_errno("cannot flush directory " + dir);
}

AlignedBuffer::~AlignedBuffer() { std::free(data_); }

void AlignedBuffer::resize(std::size_t size) {
    if (size > capacity_) {
        const std::size_t capacity = (size + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
        void* p = std::aligned_alloc(kDirectAlign, capacity);
        if (!p) throw std::bad_alloc();
        std::free(data_);
        data_ = static_cast<char*>(p);
        capacity_ = capacity;
    }
    size_ = size;
}

namespace {
// Staging for direct I/O, whose buffers must be aligned; one per thread, kept warm.
constexpr std::size_t kStaging = 4u << 20;
AlignedBuffer& staging() {
    thread_local AlignedBuffer buffer(kStaging);
    return buffer;
}
}  // namespace

std::size_t read_whole(int fd, int direct, char* out, std::size_t len) {
    std::size_t done = 0;
    if (direct >= 0) {
        AlignedBuffer& buffer = staging();
        while (done < len && direct_aligned(done)) {
            const std::size_t want = std::min(kStaging, (len - done + kDirectAlign - 1) / kDirectAlign * kDirectAlign);
            const ssize_t got = ::pread(direct, buffer.data(), want, static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == EINVAL) break;
            if (got < 0) throw_errno("read failed");
            const std::size_t n = std::min(static_cast<std::size_t>(got), len - done);
            std::memcpy(out + done, buffer.data(), n);
            done += n;
            if (got == 0 || static_cast<std::size_t>(got) != want) break;
        }
        if (done >= len) return done;
    }
    return done + pread_some(fd, out + done, len - done, done);
}

void pwrite_all(int fd, const void* data, std::size_t len, std::uint64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::pwrite(fd, p, len, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw_errno("write failed");
        }
        p += n;
        len -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}

void pwritev_all(int fd, std::vector<struct iovec>& iov, std::uint64_t offset) {
    std::size_t first = 0;
    while (first < iov.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(iov.size() - first, IOV_MAX));
        ssize_t n = ::pwritev(fd, iov.data() + first, count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw_errno("write failed");
        }
        if (n == 0) throw Error("write failed: nothing written");
        offset += static_cast<std::uint64_t>(n);
        for (auto left = static_cast<std::size_t>(n); left > 0 && first < iov.size();) {
            if (left >= iov[first].iov_len) {
                left -= iov[first].iov_len;
                ++first;
            } else {
                iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
                iov[first].iov_len -= left;
                left = 0;
            }
        }
        while (first < iov.size() && iov[first].iov_len == 0) ++first;
    }
}

std::size_t pread_some(int fd, void* data, std::size_t len, std::uint64_t offset) {
    char* p = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw_errno("read failed");
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void pread_exact(int fd, void* data, std::size_t len, std::uint64_t offset) {
    if (pread_some(fd, data, len, offset) != len) throw Error("archive is truncated");
}

std::vector<Extent> data_extents(int fd, std::uint64_t size) {
    std::vector<Extent> extents;
    std::uint64_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // only a hole remains
            if (errno == EINVAL || errno == EOPNOTSUPP) return {{0, size}};
            throw_errno("cannot look for data");
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) throw_errno("cannot look for holes");
        std::uint64_t begin = static_cast<std::uint64_t>(data);
        std::uint64_t end = std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), size);
        if (begin >= size) break;
        if (end > begin) extents.push_back({begin, end - begin});
        pos = end;
    }
    return extents;
}

namespace {

// Cleared once the kernel refuses in-kernel copies between these file systems.
bool kernel_copy_works = true;

std::uint64_t buffered_copy(int in, std::uint64_t in_off, int out, std::uint64_t out_off,
                            std::uint64_t len) {
    static std::vector<char> buffer(1 << 20);
    std::uint64_t done = 0;
    while (done < len) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), len - done));
        std::size_t got = pread_some(in, buffer.data(), want, in_off + done);
        if (got == 0) break;
        pwrite_all(out, buffer.data(), got, out_off + done);
        done += got;
        if (got < want) break;
    }
    return done;
}

}  // namespace

std::uint64_t copy_range(int in, std::uint64_t in_off, int out, std::uint64_t out_off,
                         std::uint64_t len) {
    std::uint64_t done = 0;
    while (kernel_copy_works && done < len) {
        loff_t ioff = static_cast<loff_t>(in_off + done);
        loff_t ooff = static_cast<loff_t>(out_off + done);
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(len - done, 1u << 30));
        ssize_t n = ::copy_file_range(in, &ioff, out, &ooff, want, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                errno == EBADF) {
                kernel_copy_works = false;
                break;
            }
            throw_errno("copy failed");
        }
        if (n == 0) return done;  // input ended
        done += static_cast<std::uint64_t>(n);
    }
    return done + buffered_copy(in, in_off + done, out, out_off + done, len - done);
}

}  // namespace zvfd
