#include "zvfd/reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace zvfd {

OpenSource open_source(const std::string& path) {
    OpenSource o;
    o.fd = open_file(path, O_RDONLY);
    if (::fstat(o.fd.get(), &o.st) != 0) throw_errno("cannot read " + path);
    if (S_ISREG(o.st.st_mode)) {
        o.size = static_cast<std::uint64_t>(o.st.st_size);
    } else if (S_ISBLK(o.st.st_mode)) {
        const off_t end = ::lseek(o.fd.get(), 0, SEEK_END);
        if (end < 0) throw_errno("cannot size " + path);
        o.size = static_cast<std::uint64_t>(end);
    } else {
        throw Error(path + " is neither a regular file nor a block device");
    }
    // Reading runs front to back; tell the kernel so it reads ahead.
    ::posix_fadvise(o.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    // Aligned pieces bypass the page cache: a backup reads every byte of an image once,
    // and caching them would only push the running domains' pages out of the host's
    // memory. A file system without direct I/O (tmpfs) refuses the flag.
    const int direct = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (direct >= 0) o.direct = Fd(direct);
    return o;
}

SourceCache::SourceCache(std::vector<std::string> paths, const std::vector<OpenSource>& planned, std::size_t keep)
    : paths_(std::move(paths)), planned_(planned), keep_(keep) {}

std::shared_ptr<const OpenSource> SourceCache::get(std::size_t file) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = open_.begin(); it != open_.end(); ++it) {
        if (it->first != file) continue;
        std::rotate(it, it + 1, open_.end());
        return open_.back().second;
    }
    auto source = std::make_shared<OpenSource>(open_source(paths_.at(file)));
    const struct stat& was = planned_.at(file).st;
    if (source->st.st_dev != was.st_dev || source->st.st_ino != was.st_ino)
        throw Error(paths_[file] + " was replaced by another file while it was backed up");
    if (open_.size() >= keep_) open_.erase(open_.begin());
    open_.emplace_back(file, source);
    return source;
}

namespace {

// True when every page of the range is in the page cache (the domain or a copy just
// wrote it): read there, it costs no disk read and pushes nothing out.
bool in_page_cache(int fd, std::uint64_t offset, std::size_t len) {
    static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    if (len == 0) return false;
    const std::uint64_t start = offset / page * page;
    const std::size_t span = static_cast<std::size_t>(offset + len - start);
    void* map = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
    if (map == MAP_FAILED) return false;
    thread_local std::vector<unsigned char> resident;
    resident.assign((span + page - 1) / page, 0);
    const bool all = ::mincore(map, span, resident.data()) == 0 &&
                     std::all_of(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; });
    ::munmap(map, span);
    return all;
}

}  // namespace

std::size_t read_source(const OpenSource& source, char* buf, std::size_t len, std::uint64_t offset) {
    std::size_t done = 0;
    if (source.direct.get() >= 0 && in_page_cache(source.fd.get(), offset, len))
        return pread_some(source.fd.get(), buf, len, offset);
    if (source.direct.get() >= 0 && direct_aligned(offset) &&
        direct_aligned(reinterpret_cast<std::uintptr_t>(buf))) {
        const std::size_t want = (len + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
        while (done < want) {
            const ssize_t n = ::pread(source.direct.get(), buf + done, want - done, static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EINVAL) break;  // alignment the device needs is larger: read the rest buffered
                throw_errno("read failed");
            }
            done += static_cast<std::size_t>(n);
            if (n == 0 || !direct_aligned(static_cast<std::uint64_t>(n))) break;  // the end of the source
        }
        if (done >= len) return len;
    }
    return done + pread_some(source.fd.get(), buf + done, len - done, offset + done);
}

std::uint64_t piece_length(std::uint32_t block_size, std::uint64_t wanted) {
    return std::max<std::uint64_t>(block_size, wanted / block_size * block_size);
}

std::vector<Piece> pieces_of_extents(std::size_t file, const std::vector<Extent>& extents, std::uint64_t size,
                                     std::uint32_t block_size, std::uint64_t piece_size) {
    std::vector<Piece> pieces;
    piece_size = piece_length(block_size, piece_size);
    std::uint64_t covered = 0;  // everything below is planned
    for (const Extent& e : extents) {
        std::uint64_t begin = std::max(covered, e.offset / block_size * block_size);
        std::uint64_t end = std::min(size, (e.offset + e.length + block_size - 1) / block_size * block_size);
        for (std::uint64_t off = begin; off < end; off += piece_size)
            pieces.push_back({file, off, std::min(piece_size, end - off)});
        covered = std::max(covered, end);
    }
    return pieces;
}

std::vector<Piece> plan_pieces(std::size_t file, const OpenSource& source, std::uint32_t block_size,
                               std::uint64_t piece_size) {
    std::vector<Extent> extents;
    if (S_ISREG(source.st.st_mode))
        extents = data_extents(source.fd.get(), source.size);
    else if (source.size > 0)
        extents.push_back({0, source.size});
    return pieces_of_extents(file, extents, source.size, block_size, piece_size);
}

}  // namespace zvfd
