// Where a repository keeps its bytes: a flat space of immutable, named objects.
//
// Every stage above this interface (packs, indexes, records) writes whole objects and
// never changes one after it exists; a new state is a new object. The stages cannot
// tell which backend they talk to, so a repository written into a local directory
// and copied object by object into another backend (an S3 bucket) opens there.
//
// Object names: one or more components joined by "/"; each component is 1 to 200
// bytes of [A-Za-z0-9._-], does not begin with "." and is neither "." nor "..".
// Backends map names to their own keys one to one (the local backend: a path below
// its root; an object store: the key, after an optional fixed prefix).
//
// Contract of every backend:
// - put_if_absent is atomic: afterwards an object is either absent or complete under
//   its name, even when the process is killed in the middle (kill -9) or the call
//   fails. It returns true when this call stored the object and false when the name
//   was already taken, in which case the existing object is left as it is (its
//   content is not compared). When it returns true the object is durable. On a store
//   that keeps every version written under a name, a version that came after another
//   one counts as not stored (false): the first writer wins.
// - get returns the whole object; a missing object throws ObjectMissing. A store that
//   keeps every version written under a name (an S3 bucket with versioning, which
//   Object Lock needs) returns the first one, the one put_if_absent told its writer
//   was stored: a later version is a stand-in that anyone with the store's keys can
//   add.
// - get_later(name, n) returns the nth version written after the one get returns (n
//   from 1), for a reader whose check refuses that one; ObjectMissing when there is
//   no such version, always on a store that keeps one version of a name.
// - list returns the names that begin with the prefix (a plain string prefix, not
//   only whole components), sorted bytewise. Objects being written are not listed.
// - exists says whether get would find the object now (a pack that a record is about
//   to name, confirmed without reading it).
// - get_at_most is get for an object of a kind that holds at most `limit` bytes: a
//   larger one throws ObjectTooLarge naming it, before its bytes are read, so that a
//   damaged or tampered object cannot make a reader take memory it has no use for.
// - get_range returns `length` bytes of the object from `offset`, fewer only where
//   the object ends; a missing object throws ObjectMissing. It reads what get would
//   read (the same version of it, on a store that keeps versions).
// - remove deletes one object; a missing object is no error.
// - put_deferred stores like put_if_absent, except that the object may stay absent
//   until the next sync_deferred returns; then it is complete, durable and listed (a
//   name already taken keeps its object). Objects stored between two syncs are
//   flushed together, which costs a disk far less than one flush each. A deferred
//   object that no sync followed (the process ended first) may be there or not, but
//   never half. Backends whose puts are durable anyway store at once and sync nothing.
// - keep says that a new record needs these existing objects; a backend that locks
//   objects for a time (S3 Object Lock) extends their lock as for a new object, and
//   the others do nothing. A missing object throws ObjectMissing there.
// - keep_soon says that a record being written will likely need these objects: a
//   backend that locks may begin locking them now, so that keep then finds them done;
//   the others do nothing. Never throws (keep reports what failed).
// - parallel_requests says how many calls are worth running at once: a backend
//   whose calls wait mostly for round trips wants more than one on a local disk.
// - remote says whether every call is a round trip to another host (an object store),
//   so that one large read is worth more than many small ones.
// - describe names the store for messages (a directory path, a bucket URL).
// - Every call may come from several threads at once, and several processes may use
//   one store at the same time. Failures throw StorageError (or ObjectMissing).
//
// Usage:
//   zvfd::LocalStorage store("/opt/zelvor/var/media1");
//   if (!store.put_if_absent("packs/ab/ab12...", bytes)) { /* already there */ }
//   std::string bytes = store.get("packs/ab/ab12...");
#pragma once

#include "zvfd/io.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zvfd {

struct StorageError : Error {
    using Error::Error;
};

struct ObjectMissing : StorageError {
    using StorageError::StorageError;
};

// The data is at fault, not the store: an Error, which readers take for damage.
struct ObjectTooLarge : Error {
    using Error::Error;
};

// True for a name that every backend accepts (see the rules above).
bool is_object_name(const std::string& name);

// Calls work(i) for every i below count from up to `threads` threads at once, so that
// calls on a store do not wait for each other's round trips. After an exception no
// new call starts; the first one is thrown once every thread has ended.
void for_each_at_once(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& work);

class Storage;
// The error of an object of `size` bytes (or more) where its kind holds at most `limit`.
ObjectTooLarge too_large(const Storage& store, const std::string& name, std::uint64_t size, std::uint64_t limit);

// Reads an object and hands its bytes to `accept`, which throws Error to refuse them;
// the object's later versions (Storage::get_later) are offered in turn. Throws the
// first refusal when none is accepted and ObjectMissing when there is no object; a
// StorageError (the store failed, not the data) is passed on at once.
void read_accepted(Storage& store, const std::string& name, const std::function<void(std::string&)>& accept);

class Storage {
public:
    virtual ~Storage() = default;
    virtual bool put_if_absent(const std::string& name, const std::string& data) = 0;
    virtual std::string get(const std::string& name) = 0;
    virtual std::string get_later(const std::string& name, unsigned n);
    virtual std::vector<std::string> list(const std::string& prefix) = 0;
    virtual void remove(const std::string& name) = 0;
    // These two read the whole object here; backends answer them for less.
    virtual bool exists(const std::string& name);
    virtual std::string get_range(const std::string& name, std::uint64_t offset, std::size_t length);
    // Reads at most limit + 1 bytes here (get_range); backends that know an object's
    // size first refuse it without reading.
    virtual std::string get_at_most(const std::string& name, std::uint64_t limit);
    virtual void put_deferred(const std::string& name, const std::string& data) { put_if_absent(name, data); }
    virtual void sync_deferred() {}
    virtual void keep(const std::vector<std::string>& names) { (void)names; }
    virtual void keep_soon(const std::vector<std::string>& names) { (void)names; }
    virtual unsigned parallel_requests() const { return 1; }
    virtual bool remote() const { return false; }
    virtual std::string describe() const = 0;
};

// Objects as files below a root directory, created when missing. An object is
// written to a private name in the root's ".tmp" directory, flushed to the disk and
// then linked under its name, which fails when the name exists; so a crash leaves at
// most an unlisted file in ".tmp", never a half object under its name. A deferred
// object waits in ".tmp" until the sync, which flushes all of them, links them in the
// order they were put and flushes each directory that got a name once.
//
// Directories are made 0700 and objects 0600 whatever the umask, each new directory
// flushed in its parent. Reading writes nothing (a read-only copy serves a restore):
// ".tmp" is made by the first write, which also removes the files there that a run
// killed before it could remove them left behind. Their names are "<pid>-<random>";
// one is removed only when no process of that pid runs on this host and the file has
// not changed for a day.
class LocalStorage : public Storage {
public:
    explicit LocalStorage(std::string root);
    // Deferred objects that no sync followed are dropped.
    ~LocalStorage() override;
    bool put_if_absent(const std::string& name, const std::string& data) override;
    void put_deferred(const std::string& name, const std::string& data) override;
    void sync_deferred() override;
    std::string get(const std::string& name) override;
    std::string get_at_most(const std::string& name, std::uint64_t limit) override;
    std::vector<std::string> list(const std::string& prefix) override;
    void remove(const std::string& name) override;
    bool exists(const std::string& name) override;
    std::string get_range(const std::string& name, std::uint64_t offset, std::size_t length) override;
    std::string describe() const override { return root_; }
    // While one put waits for its flush to the disk, the others write.
    unsigned parallel_requests() const override { return 6; }
    const std::string& root() const { return root_; }

private:
    struct Deferred {
        std::string name, temp, path;
        Fd fd;
    };
    std::string path_of(const std::string& name) const;
    // An open descriptor of the object, kept for the next range read: objects never
    // change, and a range read is usually one of many of the same few objects.
    std::shared_ptr<Fd> open_for_ranges(const std::string& name);
    // A new file in ".tmp" holding `data`, not yet flushed; removed when the call throws.
    Deferred write_temp(const std::string& name, const std::string& path, const std::string& data);
    // Before the first write: ".tmp" there, and swept.
    void prepare_writing();
    // Its data on the disk, and the file closed.
    static void flush(Deferred& d);
    std::string root_;
    std::once_flag writing_;
    std::mutex deferred_mutex_;
    std::vector<Deferred> deferred_;
    std::mutex ranges_mutex_;
    std::vector<std::pair<std::string, std::shared_ptr<Fd>>> ranges_;  // most recent last
};

// A store for tests: passes every call on to another store and injects the faults
// it is told to. Counting of puts starts at 1 with the first put after the request.
class FaultyStorage : public Storage {
public:
    explicit FaultyStorage(Storage& inner) : inner_(inner) {}
    // The nth put throws StorageError and stores nothing; later calls work.
    void fail_put(unsigned nth);
    // The nth put stores nothing and from then on every call throws: the process is
    // gone, what it wrote before stays.
    void crash_at_put(unsigned nth);
    // The nth put stores only the first half of its data under the name, as a
    // backend without atomic writes would after a crash; the call reports success.
    void truncate_put(unsigned nth);
    // Every get of an object whose name begins with `prefix` returns the content with
    // the byte at `offset` (taken modulo the size) inverted; a range read covering
    // that byte returns it inverted too.
    void flip_on_get(const std::string& prefix, std::size_t offset);
    unsigned puts() const;
    // Calls of each kind so far, for tests that bound the requests a run makes.
    unsigned gets() const;
    unsigned range_reads() const;
    unsigned existence_checks() const;
    unsigned listings() const;

    bool put_if_absent(const std::string& name, const std::string& data) override;
    std::string get(const std::string& name) override;
    std::string get_at_most(const std::string& name, std::uint64_t limit) override;
    std::string get_later(const std::string& name, unsigned n) override { return inner_.get_later(name, n); }
    std::vector<std::string> list(const std::string& prefix) override;
    void remove(const std::string& name) override;
    bool exists(const std::string& name) override;
    std::string get_range(const std::string& name, std::uint64_t offset, std::size_t length) override;
    void keep(const std::vector<std::string>& names) override;
    void keep_soon(const std::vector<std::string>& names) override { inner_.keep_soon(names); }
    std::string describe() const override { return "faulty " + inner_.describe(); }
    unsigned parallel_requests() const override { return inner_.parallel_requests(); }
    bool remote() const override { return inner_.remote(); }

private:
    void check_alive() const;
    Storage& inner_;
    mutable std::mutex mutex_;
    unsigned puts_ = 0, gets_ = 0, range_reads_ = 0, existence_checks_ = 0, listings_ = 0;
    unsigned fail_at_ = 0, crash_at_ = 0, truncate_at_ = 0;
    bool crashed_ = false;
    std::string flip_prefix_;
    std::size_t flip_offset_ = 0;
    bool flip_ = false;
};

}  // namespace zvfd
