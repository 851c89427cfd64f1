#include "zvfd/storage.h"

#include "zvfd/part_files.h"

#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <thread>

namespace zvfd {

namespace {

bool is_component(const std::string& c) {
    if (c.empty() || c.size() > 200 || c[0] == '.') return false;
    for (char ch : c)
        if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '_' || ch == '-')) return false;
    return true;
}

[[noreturn]] void storage_errno(const std::string& what) {
    throw StorageError(what + ": " + std::strerror(errno));
}

void sync_directory(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) storage_errno("cannot open directory " + path);
    int rc = ::fsync(fd);
    ::close(fd);
    if (rc != 0) storage_errno("cannot flush directory " + path);
}

std::string parent_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A repository's directories are its owner's alone, whatever the umask: an
// unencrypted repository holds the disks it backed up. Each new one is made durable
// in its parent, so that a power cut cannot lose the objects below it.
void make_directories(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        sync_directory(parent_of(path));
        return;
    }
    if (errno == EEXIST) return;
    if (errno != ENOENT) storage_errno("cannot create directory " + path);
    auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) storage_errno("cannot create directory " + path);
    make_directories(path.substr(0, slash));
    if (::mkdir(path.c_str(), 0700) == 0)
        sync_directory(parent_of(path));
    else if (errno != EEXIST)
        storage_errno("cannot create directory " + path);
}

void remove_temp(const std::string& temp) {
    ::unlink(temp.c_str());
    forget_part_file(temp);
}

// The pid of a temporary object's name "<pid>-<16 hex digits>", or 0.
pid_t writer_of(const std::string& name) {
    const auto dash = name.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 9 || name.size() != dash + 17) return 0;
    if (name.find_first_not_of("0123456789") != dash) return 0;
    if (name.find_first_not_of("0123456789abcdef", dash + 1) != std::string::npos) return 0;
    return static_cast<pid_t>(std::stol(name.substr(0, dash)));
}

// Removes the temporary objects that runs killed without a chance to remove them
// left behind. Only a file whose writer is gone from this host and that nothing has
// written for a day counts: a run of another host sharing the directory, whose pid
// means nothing here, has put or dropped its objects long before.
void sweep_dead_writers(const std::string& tmp) {
    constexpr std::time_t kStale = 24 * 60 * 60;
    DIR* d = ::opendir(tmp.c_str());
    if (!d) return;
    const std::time_t now = std::time(nullptr);
    while (dirent* e = ::readdir(d)) {
        const pid_t pid = writer_of(e->d_name);
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (now - st.st_mtime < kStale) continue;
        ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

std::string random_hex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(bytes)) != 1) throw StorageError("no random bytes");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : raw) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// Names below `dir` (relative names joined with "/"), skipping hidden entries.
void walk(const std::string& dir, const std::string& relative, std::vector<std::string>& out) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        if (errno == ENOENT || errno == ENOTDIR) return;
        storage_errno("cannot list " + dir);
    }
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::string path = dir + "/" + name;
        std::string rel = relative.empty() ? name : relative + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;  // removed meanwhile
        if (S_ISDIR(st.st_mode))
            walk(path, rel, out);
        else if (S_ISREG(st.st_mode))
            out.push_back(rel);
    }
    ::closedir(d);
}

}  // namespace

bool is_object_name(const std::string& name) {
    if (name.empty()) return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = name.find('/', start);
        std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!is_component(part)) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

std::string Storage::get_later(const std::string& name, unsigned n) {
    throw ObjectMissing("object " + name + " has no version " + std::to_string(n + 1) + " in " + describe());
}

bool Storage::exists(const std::string& name) {
    try {
        get(name);
        return true;
    } catch (const ObjectMissing&) {
        return false;
    }
}

ObjectTooLarge too_large(const Storage& store, const std::string& name, std::uint64_t size, std::uint64_t limit) {
    return ObjectTooLarge("object " + name + " in " + store.describe() + " is damaged: it holds " +
                          std::to_string(size) + " bytes or more, where it can hold at most " + std::to_string(limit));
}

std::string Storage::get_at_most(const std::string& name, std::uint64_t limit) {
    std::string bytes = get_range(name, 0, static_cast<std::size_t>(limit + 1));
    if (bytes.size() > limit) throw too_large(*this, name, bytes.size(), limit);
    return bytes;
}

std::string Storage::get_range(const std::string& name, std::uint64_t offset, std::size_t length) {
    const std::string whole = get(name);
    if (offset >= whole.size()) return {};
    return whole.substr(static_cast<std::size_t>(offset), length);
}

LocalStorage::LocalStorage(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    if (root_.empty()) throw StorageError("a local repository needs a directory");
}

void LocalStorage::prepare_writing() {
    std::call_once(writing_, [this] {
        make_directories(root_ + "/.tmp");
        sweep_dead_writers(root_ + "/.tmp");
    });
}

std::string LocalStorage::path_of(const std::string& name) const {
    if (!is_object_name(name)) throw StorageError("invalid object name '" + name + "'");
    return root_ + "/" + name;
}

LocalStorage::~LocalStorage() {
    for (const Deferred& d : deferred_) remove_temp(d.temp);
}

LocalStorage::Deferred LocalStorage::write_temp(const std::string& name, const std::string& path,
                                                const std::string& data) {
    prepare_writing();
    make_directories(path.substr(0, path.rfind('/')));
    Deferred d{name, root_ + "/.tmp/" + std::to_string(::getpid()) + "-" + random_hex(8), path, Fd()};
    try {
        d.fd = create_part_file(AT_FDCWD, d.temp, d.temp, O_WRONLY, 0600);
    } catch (const Error& e) {
        throw StorageError(e.what());
    }
    try {
        pwrite_all(d.fd.get(), data.data(), data.size(), 0);
    } catch (const Error& e) {
        remove_temp(d.temp);
        throw StorageError("cannot write object " + name + ": " + e.what());
    }
    return d;
}

void LocalStorage::flush(Deferred& d) {
    if (::fsync(d.fd.get()) != 0) storage_errno("cannot flush object " + d.name);
    if (::close(d.fd.release()) != 0) storage_errno("cannot write object " + d.name);
}

bool LocalStorage::put_if_absent(const std::string& name, const std::string& data) {
    const std::string path = path_of(name);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return false;
    Deferred d = write_temp(name, path, data);
    struct Unlink {
        const std::string& path;
        ~Unlink() { remove_temp(path); }
    } cleanup{d.temp};
    flush(d);
    // link() refuses an existing name, which makes the put atomic and exclusive.
    if (::link(d.temp.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST) return false;
        storage_errno("cannot store object " + name);
    }
    sync_directory(path.substr(0, path.rfind('/')));
    return true;
}

void LocalStorage::put_deferred(const std::string& name, const std::string& data) {
    const std::string path = path_of(name);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return;
    Deferred d = write_temp(name, path, data);
    // Writing back starts now, so that the sync finds the data on the disk already and
    // the file system places every file of the batch in one journal commit.
    ::sync_file_range(d.fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    std::lock_guard<std::mutex> lock(deferred_mutex_);
    deferred_.push_back(std::move(d));
}

void LocalStorage::sync_deferred() {
    std::vector<Deferred> batch;
    {
        std::lock_guard<std::mutex> lock(deferred_mutex_);
        batch.swap(deferred_);
    }
    struct Unlink {
        const std::vector<Deferred>& batch;
        ~Unlink() {
            for (const Deferred& d : batch) remove_temp(d.temp);
        }
    } cleanup{batch};
    // Every object complete on the disk before any of them gets its name.
    for (Deferred& d : batch) flush(d);
    std::vector<std::string> parents;
    for (const Deferred& d : batch) {
        if (::link(d.temp.c_str(), d.path.c_str()) != 0 && errno != EEXIST)
            storage_errno("cannot store object " + d.name);
        std::string parent = d.path.substr(0, d.path.rfind('/'));
        if (std::find(parents.begin(), parents.end(), parent) == parents.end()) parents.push_back(std::move(parent));
    }
    for (const std::string& parent : parents) sync_directory(parent);
}

std::string LocalStorage::get(const std::string& name) { return get_at_most(name, UINT64_MAX); }

std::string LocalStorage::get_at_most(const std::string& name, std::uint64_t limit) {
    const std::string path = path_of(name);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) throw ObjectMissing("object " + name + " is missing in " + root_);
        storage_errno("cannot open object " + name);
    }
    Fd owner(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) storage_errno("cannot read object " + name);
    if (static_cast<std::uint64_t>(st.st_size) > limit) throw too_large(*this, name, st.st_size, limit);
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    try {
        Fd direct(::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
        got = read_whole(fd, direct.get(), data.data(), data.size());
    } catch (const Error& e) {
        throw StorageError("cannot read object " + name + ": " + e.what());
    }
    data.resize(got);
    return data;
}

std::vector<std::string> LocalStorage::list(const std::string& prefix) {
    // Walk only the deepest directory the prefix names in full.
    const auto slash = prefix.rfind('/');
    const std::string dir_part = slash == std::string::npos ? "" : prefix.substr(0, slash);
    std::vector<std::string> names;
    walk(dir_part.empty() ? root_ : root_ + "/" + dir_part, dir_part, names);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& n) { return n.compare(0, prefix.size(), prefix) != 0; }),
                names.end());
    std::sort(names.begin(), names.end());
    return names;
}

bool LocalStorage::exists(const std::string& name) {
    struct stat st {};
    if (::stat(path_of(name).c_str(), &st) == 0) return S_ISREG(st.st_mode);
    if (errno == ENOENT || errno == ENOTDIR) return false;
    storage_errno("cannot look for object " + name);
}

std::shared_ptr<Fd> LocalStorage::open_for_ranges(const std::string& name) {
    constexpr std::size_t kKept = 64;
    {
        std::lock_guard<std::mutex> lock(ranges_mutex_);
        for (auto it = ranges_.rbegin(); it != ranges_.rend(); ++it)
            if (it->first == name) return it->second;
    }
    const std::string path = path_of(name);
    auto fd = std::make_shared<Fd>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd->get() < 0) {
        if (errno == ENOENT) throw ObjectMissing("object " + name + " is missing in " + root_);
        storage_errno("cannot open object " + name);
    }
    std::lock_guard<std::mutex> lock(ranges_mutex_);
    ranges_.emplace_back(name, fd);
    if (ranges_.size() > kKept) ranges_.erase(ranges_.begin());
    return fd;
}

std::string LocalStorage::get_range(const std::string& name, std::uint64_t offset, std::size_t length) {
    const std::shared_ptr<Fd> fd = open_for_ranges(name);
    // Never more than the object holds, whatever length a damaged header asked for.
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) storage_errno("cannot read object " + name);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, offset < size ? size - offset : 0));
    std::string data(length, '\0');
    try {
        data.resize(pread_some(fd->get(), data.data(), length, offset));
    } catch (const Error& e) {
        throw StorageError("cannot read object " + name + ": " + e.what());
    }
    return data;
}

void LocalStorage::remove(const std::string& name) {
    const std::string path = path_of(name);
    {
        std::lock_guard<std::mutex> lock(ranges_mutex_);
        ranges_.erase(std::remove_if(ranges_.begin(), ranges_.end(), [&](const auto& r) { return r.first == name; }),
                      ranges_.end());
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) storage_errno("cannot remove object " + name);
}

void FaultyStorage::fail_put(unsigned nth) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_at_ = puts_ + nth;
}

void FaultyStorage::crash_at_put(unsigned nth) {
    std::lock_guard<std::mutex> lock(mutex_);
    crash_at_ = puts_ + nth;
}

void FaultyStorage::truncate_put(unsigned nth) {
    std::lock_guard<std::mutex> lock(mutex_);
    truncate_at_ = puts_ + nth;
}

void FaultyStorage::flip_on_get(const std::string& prefix, std::size_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    flip_ = true;
    flip_prefix_ = prefix;
    flip_offset_ = offset;
}

unsigned FaultyStorage::puts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return puts_;
}

unsigned FaultyStorage::gets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return gets_;
}

unsigned FaultyStorage::range_reads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return range_reads_;
}

unsigned FaultyStorage::existence_checks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return existence_checks_;
}

unsigned FaultyStorage::listings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listings_;
}

void FaultyStorage::check_alive() const {
    if (crashed_) throw StorageError("injected crash: the store is gone");
}

bool FaultyStorage::put_if_absent(const std::string& name, const std::string& data) {
    bool truncate = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        check_alive();
        const unsigned n = ++puts_;
        if (n == crash_at_) {
            crashed_ = true;
            check_alive();
        }
        if (n == fail_at_) throw StorageError("injected failure storing " + name);
        truncate = n == truncate_at_;
    }
    return inner_.put_if_absent(name, truncate ? data.substr(0, data.size() / 2) : data);
}

std::string FaultyStorage::get(const std::string& name) { return get_at_most(name, UINT64_MAX); }

std::string FaultyStorage::get_at_most(const std::string& name, std::uint64_t limit) {
    std::size_t offset = 0;
    bool flip = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        check_alive();
        ++gets_;
        flip = flip_ && name.compare(0, flip_prefix_.size(), flip_prefix_) == 0;
        offset = flip_offset_;
    }
    std::string data = limit == UINT64_MAX ? inner_.get(name) : inner_.get_at_most(name, limit);
    if (flip && !data.empty()) data[offset % data.size()] = static_cast<char>(~data[offset % data.size()]);
    return data;
}

std::string FaultyStorage::get_range(const std::string& name, std::uint64_t offset, std::size_t length) {
    bool flip = false;
    std::size_t flip_at = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        check_alive();
        ++range_reads_;
        flip = flip_ && name.compare(0, flip_prefix_.size(), flip_prefix_) == 0;
        flip_at = flip_offset_;
    }
    std::string data = inner_.get_range(name, offset, length);
    if (flip) {
        // Where the byte lies depends on the whole object's size, as for get().
        const std::string whole = inner_.get(name);
        const std::size_t at = whole.empty() ? 0 : flip_at % whole.size();
        if (!whole.empty() && at >= offset && at - offset < data.size())
            data[at - offset] = static_cast<char>(~data[at - offset]);
    }
    return data;
}

bool FaultyStorage::exists(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        check_alive();
        ++existence_checks_;
    }
    return inner_.exists(name);
}

std::vector<std::string> FaultyStorage::list(const std::string& prefix) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        check_alive();
        ++listings_;
    }
    return inner_.list(prefix);
}

void FaultyStorage::remove(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        check_alive();
    }
    inner_.remove(name);
}

void FaultyStorage::keep(const std::vector<std::string>& names) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        check_alive();
    }
    inner_.keep(names);
}

void for_each_at_once(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto run = [&] {
        try {
            for (std::size_t i; (i = next++) < count;) work(i);
        } catch (...) {
            std::lock_guard<std::mutex> guard(error_mutex);
            if (!error) error = std::current_exception();
            next = count;
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (std::size_t t = 1; t < std::min<std::size_t>(std::max(1u, threads), count); ++t) helpers.emplace_back(run);
    } catch (...) {
        next = count;
        for (auto& helper : helpers) helper.join();
        throw;
    }
    run();
    for (auto& helper : helpers) helper.join();
    if (error) std::rethrow_exception(error);
}

void read_accepted(Storage& store, const std::string& name, const std::function<void(std::string&)>& accept) {
    std::string bytes = store.get(name);
    std::exception_ptr first;
    for (unsigned later = 1;; ++later) {
        try {
            accept(bytes);
            return;
        } catch (const StorageError&) {
            throw;
        } catch (const Error&) {
            if (!first) first = std::current_exception();
        }
        try {
            bytes = store.get_later(name, later);
        } catch (const ObjectMissing&) {
            std::rethrow_exception(first);
        }
    }
}

}  // namespace zvfd
