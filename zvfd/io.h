// File-descriptor helpers of the archiver: owned descriptors, complete reads and
// writes, the data extents of sparse files and in-kernel range copies. Every
// failure throws zvfd::Error.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zvfd {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws Error with `what`, ": " and the text of the current errno.
[[noreturn]] void throw_errno(const std::string& what);

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    int get() const { return fd_; }
    int release();
    // Closes now and reports a failing close, which may carry a delayed write error.
    void close(const std::string& what);

private:
    int fd_ = -1;
};

Fd open_file(const std::string& path, int flags, mode_t mode = 0);

// The whole content of a regular file; throws Error naming `what` and the path, also
// for a file larger than `limit` bytes, which is refused before it is read.
std::string read_file(const std::string& path, const std::string& what, std::uint64_t limit = UINT64_MAX);

// Its first `n` bytes (fewer when it is shorter), with the errors of read_file.
std::string read_head(const std::string& path, const std::string& what, std::size_t n);


// Flushes the directory that holds `path`, so that a name just created or renamed
// there survives a power cut.
void sync_parent_directory(const std::string& path);

// Direct I/O (O_DIRECT) needs buffers, offsets and lengths on this boundary.
constexpr std::size_t kDirectAlign = 4096;
inline bool direct_aligned(std::uint64_t value) { return value % kDirectAlign == 0; }

// Reads a whole file of `len` bytes into `out` past the page cache, for files that are
// read once: `direct` is the file opened with O_DIRECT (or -1 where the file system
// refuses it), `fd` the same file opened normally, which reads what direct I/O cannot.
// Returns the count read.
std::size_t read_whole(int fd, int direct, char* out, std::size_t len);

// A heap buffer that begins on kDirectAlign; its bytes are not initialised.
class AlignedBuffer {
public:
    explicit AlignedBuffer(std::size_t size = 0) { resize(size); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    ~AlignedBuffer();
    // Keeps nothing of the old bytes when it grows.
    void resize(std::size_t size);
    char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

void pwrite_all(int fd, const void* data, std::size_t len, std::uint64_t offset);
// Writes the buffers of `iov` one after the other from `offset`; `iov` is used up.
void pwritev_all(int fd, std::vector<struct iovec>& iov, std::uint64_t offset);
// Reads until `len` bytes or end of file; returns the count read.
std::size_t pread_some(int fd, void* data, std::size_t len, std::uint64_t offset);
// Reads exactly `len` bytes; a short read means the archive is truncated.
void pread_exact(int fd, void* data, std::size_t len, std::uint64_t offset);

struct Extent {
    std::uint64_t offset;
    std::uint64_t length;
};

// The allocated data ranges of a regular file below `size`. A file system that cannot
// answer hole queries yields one range covering the whole file.
std::vector<Extent> data_extents(int fd, std::uint64_t size);

// Copies `len` bytes from `in` at `in_off` to `out` at `out_off` without going through
// user space where the kernel allows it. Returns the count copied, which is less than
// `len` only when the input ends early.
std::uint64_t copy_range(int in, std::uint64_t in_off, int out, std::uint64_t out_off,
                         std::uint64_t len);

}  // namespace zvfd
