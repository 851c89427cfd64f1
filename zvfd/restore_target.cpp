#include "zvfd/restore_target.h"

#include "zvfd/chunker.h"
#include "zvfd/part_files.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>

namespace zvfd {

namespace {

constexpr char kPartSuffix[] = ".zvfd-part";

Fd open_at(int dir, const std::string& leaf, int flags, const std::string& path) {
    int fd;
    do {
        fd = ::openat(dir, leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_errno("cannot open " + path);
    return Fd(fd);
}

// Ranges of the file that no block covers; they must read as zeros.
std::vector<Extent> gaps(const FileEntry& entry) {
    std::vector<Extent> result;
    std::uint64_t at = 0;
    for (const auto& b : entry.blocks) {
        if (b.offset > at) result.push_back({at, b.offset - at});
        at = std::max<std::uint64_t>(at, b.offset + b.length);
    }
    if (entry.size > at) result.push_back({at, entry.size - at});
    return result;
}

// In place: where the existing file holds data that the record says is zero, make it
// a hole (or write zeros where the file system cannot punch).
void clear_file_gaps(int fd, const Target& t) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw_errno("cannot read " + t.path);
    const auto old_size = static_cast<std::uint64_t>(st.st_size);
    const std::vector<Extent> data = data_extents(fd, std::min(old_size, t.entry->size));
    static const std::string zeros(1 << 20, '\0');
    for (const Extent& g : gaps(*t.entry)) {
        for (const Extent& d : data) {
            const std::uint64_t b = std::max(g.offset, d.offset);
            const std::uint64_t e = std::min(g.offset + g.length, d.offset + d.length);
            if (b >= e) continue;
            if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(b),
                            static_cast<off_t>(e - b)) == 0)
                continue;
            for (std::uint64_t at = b; at < e; at += zeros.size())
                pwrite_all(fd, zeros.data(), static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), e - at)), at);
        }
    }
}

// A block device cannot tell its holes: its gaps are read, and only the pages that
// are not zero already are written.
void clear_device_gaps(int fd, const Target& t) {
    constexpr std::size_t kChunk = 1 << 20, kPage = 4096;
    AlignedBuffer buffer(kChunk);
    static const std::string zeros(kChunk, '\0');
    for (const Extent& g : gaps(*t.entry)) {
        for (std::uint64_t at = g.offset; at < g.offset + g.length; at += kChunk) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, g.offset + g.length - at));
            const std::size_t got = pread_some(fd, buffer.data(), n, at);
            for (std::size_t p = 0; p < got;) {
                const std::size_t len = std::min(kPage, got - p);
                if (is_all_zero(buffer.data() + p, len)) {
                    p += len;
                    continue;
                }
                std::size_t end = p + len;
                while (end < got && !is_all_zero(buffer.data() + end, std::min(kPage, got - end)))
                    end += std::min(kPage, got - end);
                pwrite_all(fd, zeros.data(), end - p, at + p);
                p = end;
            }
        }
    }
}

}  // namespace

TargetTree::TargetTree(const std::string& dir) : root_path_(dir) {
    std::filesystem::create_directories(dir);
    root_ = open_file(dir, O_RDONLY | O_DIRECTORY);
}

TargetTree::~TargetTree() {
    for (const auto& t : targets_) {
        if (t->kind != TargetKind::NewFile || t->committed || t->part.empty()) continue;
        try {
            const Fd parent = open_directory(t->dir, false);
            ::unlinkat(parent.get(), (t->leaf + kPartSuffix).c_str(), 0);
        } catch (const std::exception&) {
            // A directory replaced meanwhile holds no part file of ours.
        }
        forget_part_file(t->part);
    }
}

Fd TargetTree::open_directory(const std::string& dir, bool create) const {
    Fd current(::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (current.get() < 0) throw_errno("cannot open " + root_path_);
    std::string done = root_path_;
    for (std::size_t start = 0; start < dir.size();) {
        std::size_t end = dir.find('/', start);
        if (end == std::string::npos) end = dir.size();
        const std::string component = dir.substr(start, end - start);
        done += "/" + component;
        if (create) {
            if (::mkdirat(current.get(), component.c_str(), 0777) == 0) {
                if (::fsync(current.get()) != 0) throw_errno("cannot flush the directory above " + done);
            } else if (errno != EEXIST) {
                throw_errno("cannot create directory " + done);
            }
        }
        const int next = ::openat(current.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            if (errno == ELOOP || errno == ENOTDIR)
                throw Error(done + " is a link or not a directory; a restore does not write through it");
            throw_errno("cannot open " + done);
        }
        current = Fd(next);
        start = end + 1;
    }
    return current;
}

Target& TargetTree::add(const FileEntry& entry, bool replica) {
    auto t = std::make_unique<Target>();
    t->entry = &entry;
    const auto slash = entry.name.rfind('/');
    t->dir = slash == std::string::npos ? "" : entry.name.substr(0, slash);
    t->leaf = slash == std::string::npos ? entry.name : entry.name.substr(slash + 1);
    t->path = root_path_ + "/" + entry.name;
    const Fd parent = open_directory(t->dir, true);
    struct stat st {};
    if (::fstatat(parent.get(), t->leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (replica && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
            t->kind = S_ISREG(st.st_mode) ? TargetKind::InPlaceFile : TargetKind::InPlaceDevice;
            const Fd fd = open_at(parent.get(), t->leaf, O_RDWR, t->path);
            if (::fstat(fd.get(), &st) != 0) throw_errno("cannot read " + t->path);
            if (t->kind == TargetKind::InPlaceDevice) {
                const off_t size = ::lseek(fd.get(), 0, SEEK_END);
                if (size < 0) throw_errno("cannot size " + t->path);
                if (static_cast<std::uint64_t>(size) < entry.size)
                    throw Error("block device " + t->path + " holds " + std::to_string(size) +
                                " bytes, fewer than the " + std::to_string(entry.size) + " of the record's " +
                                entry.name);
            }
            t->dev = st.st_dev;
            t->ino = st.st_ino;
            t->differs.assign(entry.blocks.size(), 0);
            targets_.push_back(std::move(t));
            return *targets_.back();
        }
        if (!S_ISREG(st.st_mode))
            throw Error(t->path + (replica ? " is neither a regular file nor a block device"
                                           : " is not a regular file") +
                        "; a restore does not replace it");
    } else if (errno != ENOENT) {
        throw_errno("cannot look at " + t->path);
    }
    const std::string part_leaf = t->leaf + kPartSuffix;
    t->part = t->path + kPartSuffix;
    // One left by a restore that was killed; removing a name never follows a link.
    if (::unlinkat(parent.get(), part_leaf.c_str(), 0) != 0 && errno != ENOENT && errno != EISDIR)
        throw_errno("cannot remove " + t->part);
    Fd fd = create_part_file(parent.get(), part_leaf, t->part, O_RDWR, 0600);
    Target& added = *t;
    targets_.push_back(std::move(t));  // from here on, removed with the tree
    if (::ftruncate(fd.get(), static_cast<off_t>(entry.size)) != 0) throw_errno("cannot size " + added.path);
    if (::fstat(fd.get(), &st) != 0) throw_errno("cannot read " + added.part);
    added.dev = st.st_dev;
    added.ino = st.st_ino;
    return added;
}

Fd TargetTree::open(const Target& t) const {
    const Fd parent = open_directory(t.dir, false);
    Fd fd = open_at(parent.get(), t.in_place() ? t.leaf : t.leaf + kPartSuffix, O_RDWR, t.path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw_errno("cannot read " + t.path);
    if (st.st_dev != t.dev || st.st_ino != t.ino) throw Error(t.path + " was replaced while it was restored");
    return fd;
}

void TargetTree::finish(const Target& t) const {
    Fd owned = open(t);
    const int fd = owned.get();
    if (t.kind == TargetKind::InPlaceFile) clear_file_gaps(fd, t);
    if (t.kind == TargetKind::InPlaceDevice) {
        clear_device_gaps(fd, t);
    } else {
        if (::ftruncate(fd, static_cast<off_t>(t.entry->size)) != 0) throw_errno("cannot size " + t.path);
        if (::geteuid() == 0 && ::fchown(fd, t.entry->uid, t.entry->gid) != 0)
            throw_errno("cannot set the owner of " + t.path);
        if (::fchmod(fd, t.entry->mode & 07777) != 0) throw_errno("cannot set the mode of " + t.path);
        const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(t.entry->mtime), 0}};
        ::futimens(fd, times);
    }
    if (::fsync(fd) != 0) throw_errno("cannot flush " + t.path);
    owned.close(t.path);
}

void TargetTree::commit() {
    std::set<std::string> changed;
    for (const auto& t : targets_) {
        if (t->kind != TargetKind::NewFile) continue;
        const Fd parent = open_directory(t->dir, false);
        if (::renameat(parent.get(), (t->leaf + kPartSuffix).c_str(), parent.get(), t->leaf.c_str()) != 0)
            throw_errno("cannot put " + t->path + " in place");
        t->committed = true;
        forget_part_file(t->part);
        changed.insert(t->dir);
    }
    for (const std::string& dir : changed)
        if (::fsync(open_directory(dir, false).get()) != 0) throw_errno("cannot flush " + root_path_ + "/" + dir);
}

int OpenTargets::fd(const Target& t) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
        if (it->first != &t) continue;
        if (it + 1 != open_.end()) std::rotate(it, it + 1, open_.end());
        return open_.back().second.get();
    }
    if (open_.size() >= keep_) open_.erase(open_.begin());
    open_.emplace_back(&t, tree_.open(t));
    return open_.back().second.get();
}

}  // namespace zvfd
