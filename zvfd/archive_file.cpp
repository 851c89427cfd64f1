#include "zvfd/archive_file.h"

#include "zvfd/codec.h"
#include "zvfd/part_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zvfd {

namespace {
constexpr char kArchiveMagic[9] = "ZVFDARCH";
constexpr char kDirectoryMagic[9] = "ZVFDADIR";
constexpr char kEndMagic[9] = "ZVFDAEND";
}  // namespace

std::unique_ptr<ArchiveFile> ArchiveFile::create(const std::string& path) {
    Fd fd = create_part_file(AT_FDCWD, path, path, O_RDWR, 0600);
    std::unique_ptr<ArchiveFile> archive(new ArchiveFile(path, std::move(fd), true));
    ByteWriter w;
    w.raw(std::string(kArchiveMagic, 8));
    w.u32(1);
    pwrite_all(archive->fd_.get(), w.bytes().data(), w.bytes().size(), 0);
    archive->end_ = w.bytes().size();
    return archive;
}

std::unique_ptr<ArchiveFile> ArchiveFile::open(const std::string& path) {
    Fd fd = open_file(path, O_RDONLY);
    std::unique_ptr<ArchiveFile> archive(new ArchiveFile(path, std::move(fd), false));
    struct stat st {};
    if (::fstat(archive->fd_.get(), &st) != 0) throw_errno("cannot read " + path);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::string head(12, '\0'), tail(16, '\0');
    if (size < 28 || pread_some(archive->fd_.get(), head.data(), 12, 0) != 12 ||
        head.compare(0, 8, kArchiveMagic, 8) != 0)
        throw Error(path + " is not an archive of this archiver");
    pread_exact(archive->fd_.get(), tail.data(), 16, size - 16);
    if (tail.compare(8, 8, kEndMagic, 8) != 0) throw Error("archive " + path + " is truncated or damaged");
    ByteReader t(tail, "archive " + path);
    const std::uint64_t at = t.u64();
    if (at < 12 || at > size - 16) throw Error("archive " + path + " is truncated or damaged");
    std::string dir(size - 16 - at, '\0');
    pread_exact(archive->fd_.get(), dir.data(), dir.size(), at);
    const std::string what = "directory of archive " + path;
    const Envelope env = read_envelope(dir, kDirectoryMagic, what);
    ByteReader r(env.payload, what);
    for (std::uint32_t n = r.u32(); n > 0; --n) {
        std::string name = r.text();
        const std::uint64_t off = r.u64(), len = r.u64();
        if (off > at || len > at - off) r.damaged();
        archive->objects_[name] = {off, len};
    }
    return archive;
}

bool ArchiveFile::put_if_absent(const std::string& name, const std::string& data) {
    if (!is_object_name(name)) throw StorageError("invalid object name '" + name + "'");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!writing_) throw StorageError("archive " + path_ + " is open for reading");
    if (objects_.count(name)) return false;
    ByteWriter w;
    w.text(name);
    w.u64(data.size());
    pwrite_all(fd_.get(), w.bytes().data(), w.bytes().size(), end_);
    end_ += w.bytes().size();
    pwrite_all(fd_.get(), data.data(), data.size(), end_);
    // Written out as it comes, like a pack of a directory repository, so that the
    // flush at the end does not find the whole archive still in memory.
    ::sync_file_range(fd_.get(), static_cast<off_t>(end_ - w.bytes().size()),
                      static_cast<off_t>(w.bytes().size() + data.size()), SYNC_FILE_RANGE_WRITE);
    objects_[name] = {end_, data.size()};
    end_ += data.size();
    return true;
}

std::string ArchiveFile::get(const std::string& name) {
    std::pair<std::uint64_t, std::uint64_t> where;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(name);
        if (it == objects_.end()) throw ObjectMissing("object " + name + " is missing in archive " + path_);
        where = it->second;
    }
    std::string data(where.second, '\0');
    if (pread_some(fd_.get(), data.data(), data.size(), where.first) != data.size())
        throw StorageError("archive " + path_ + " is truncated");
    return data;
}

std::string ArchiveFile::get_at_most(const std::string& name, std::uint64_t limit) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(name);
        if (it != objects_.end() && it->second.second > limit) throw too_large(*this, name, it->second.second, limit);
    }
    return get(name);
}

bool ArchiveFile::exists(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.count(name) > 0;
}

std::string ArchiveFile::get_range(const std::string& name, std::uint64_t offset, std::size_t length) {
    std::pair<std::uint64_t, std::uint64_t> where;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(name);
        if (it == objects_.end()) throw ObjectMissing("object " + name + " is missing in archive " + path_);
        where = it->second;
    }
    if (offset >= where.second) return {};
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, where.second - offset));
    std::string data(n, '\0');
    if (pread_some(fd_.get(), data.data(), n, where.first + offset) != n)
        throw StorageError("archive " + path_ + " is truncated");
    return data;
}

std::vector<std::string> ArchiveFile::list(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (auto it = objects_.lower_bound(prefix); it != objects_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it)
        names.push_back(it->first);
    return names;
}

void ArchiveFile::remove(const std::string&) { throw StorageError("objects of an archive file are not removed"); }

void ArchiveFile::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    ByteWriter d;
    d.u32(static_cast<std::uint32_t>(objects_.size()));
    for (const auto& [name, where] : objects_) {
        d.text(name);
        d.u64(where.first);
        d.u64(where.second);
    }
    Envelope env;
    env.key_id = std::string(16, '\0');
    env.payload = std::move(d.bytes());
    ByteWriter w;
    w.raw(write_envelope(kDirectoryMagic, env));
    w.u64(end_);
    w.raw(std::string(kEndMagic, 8));
    pwrite_all(fd_.get(), w.bytes().data(), w.bytes().size(), end_);
    end_ += w.bytes().size();
    if (::fsync(fd_.get()) != 0) throw_errno("cannot flush " + path_);
    fd_.close(path_);
    writing_ = false;
}

}  // namespace zvfd
