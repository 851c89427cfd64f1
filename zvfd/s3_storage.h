// The repository's objects in an S3 bucket (Ceph radosgw or any S3 store): one more
// Storage (storage.h), so the stages above cannot tell it from the local directory.
// The repository format is the same on both: an object's name is its key, after the
// media server's optional prefix, and its bytes are the same bytes.
//
// A media server on S3 is one line of the media-server configuration, its location
// being "s3" followed by name=value words (values without blanks):
//   media2 = s3 endpoint=http://10.0.0.5:7480 bucket=zelvor region=default credentials=/opt/zelvor/etc/media2.s3
//   endpoint       scheme, host and port of the store (required)
//   bucket         an existing bucket (required)
//   region         the region requests are signed for; radosgw's is "default" (required)
//   credentials    the keys file (s3_client.h: mode 0600 or 0400, owned by root) (required)
//   prefix         keys begin with this and "/" (default: none)
//   path_style     yes (http://host/bucket/key, radosgw and most on-premises stores)
//                  or no (http://bucket.host/key) (default: yes)
//   retention_days, retention_mode (governance or compliance): every object a new
//                  record needs is locked by S3 Object Lock for at least that many
//                  days (a tenth more when it is locked, so that the records of the
//                  next days find it locked long enough and cost no new lock); the
//                  bucket must have been created with Object Lock
//   retry_seconds  how long a failing request is retried (default: 60)
//
// With a retention the bucket is versioned (Object Lock needs it), and any bucket may
// be: then anyone with the keys can add a version on top of an object, and a plain
// DELETE only hides it behind a delete marker. So on a versioned bucket reads and
// listings look through delete markers, a read takes an object's first version (put
// if absent lets the first writer win; its lock is the one keep extends), a writer
// whose version is not the first is told the name was taken, and remove() deletes
// every version (which a lock refuses).
#pragma once

#include "zvfd/s3_client.h"
#include "zvfd/storage.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <string>
#include <vector>

namespace zvfd {

struct S3StorageConfig {
    S3Location location;
    std::string prefix;  // without the trailing "/"
    std::string credentials_file;
    unsigned retention_days = 0;  // 0: no retention
    S3LockMode retention_mode = S3LockMode::Compliance;
    unsigned retry_seconds = 60;
};

// True when a media-server location names an S3 bucket (begins with the word "s3").
bool is_s3_location(const std::string& location);
// Reads an "s3 name=value ..." location; throws StorageError naming what is wrong.
S3StorageConfig parse_s3_location(const std::string& location);

class S3Storage : public Storage {
public:
    // Reads the keys and checks that the store accepts them and holds the bucket, so
    // that wrong keys, a missing bucket or an unreachable endpoint fail here.
    explicit S3Storage(const S3StorageConfig& config);
    // For tests: a client made by the caller.
    S3Storage(const S3StorageConfig& config, S3Keys keys);

    bool put_if_absent(const std::string& name, const std::string& data) override;
    std::string get(const std::string& name) override;
    std::string get_later(const std::string& name, unsigned n) override;
    std::vector<std::string> list(const std::string& prefix) override;
    void remove(const std::string& name) override;
    // HEAD; on a versioned bucket a listing of the key's versions, which also sees a
    // version that a delete marker hides (get reads it).
    bool exists(const std::string& name) override;
    // A ranged GET of what get reads.
    std::string get_range(const std::string& name, std::uint64_t offset, std::size_t length) override;
    std::string describe() const override { return description_; }
    // With a retention, the first version of each object stays locked at least as
    // long as a record written now needs (it is locked anew only when its lock ends
    // earlier, or in a weaker mode); several requests run at once.
    void keep(const std::vector<std::string>& names) override;
    // Locks them as keep() does, a few at a time beside the caller's work; keep()
    // then waits for those under way and asks again for any that failed.
    void keep_soon(const std::vector<std::string>& names) override;
    ~S3Storage() override;
    // A call waits mostly for the store: keep many in flight.
    unsigned parallel_requests() const override { return 16; }
    bool remote() const override { return true; }

    S3Client& client() { return client_; }
    std::string key_of(const std::string& name) const;

private:
    std::optional<S3Retention> retention() const;
    // Fails once, clearly, when a retention is set and the bucket has no Object Lock.
    void check_lock();
    // Whether the bucket keeps every version written under a key (asked once).
    bool versioned();
    // The id of the oldest version of exactly this key that is no delete marker (empty
    // when there is none); unless `fresh`, as a listing of this run saw it.
    std::string first_version_id(const std::string& key, bool fresh);
    void remember_first(const std::string& key, const std::string& version_id);
    // What `read` returns for the first version's id, looked up again once when that
    // version is gone; nullopt when the key has none.
    template <typename Read>
    std::optional<std::string> read_first(const std::string& key, Read read);
    void keep_one(const std::string& name, const S3Retention& lock);
    // The retention date this process saw or set on the object's first version.
    void note_kept(const std::string& name, std::int64_t until);
    void keep_in_background();

    S3StorageConfig config_;
    S3Client client_;
    std::string description_;
    std::once_flag lock_checked_;
    std::once_flag versioning_checked_;
    bool versioned_ = false;
    // First versions seen by listings, so that reading or locking an object costs no
    // listing of its own; bounded, beyond it each object is looked up alone.
    static constexpr std::size_t kRememberedIds = 1u << 16;
    std::mutex ids_mutex_;
    std::unordered_map<std::string, std::string> first_ids_;
    std::mutex kept_mutex_;
    // Locked until at least then, as this process saw or made it: a lock is never
    // shortened, so a name locked long enough for a record costs that record no request.
    std::unordered_map<std::string, std::int64_t> kept_;
    std::condition_variable soon_wake_, soon_idle_;
    std::deque<std::string> soon_;  // names keep_soon() was given, not yet taken
    unsigned soon_busy_ = 0;        // taken and being locked
    bool soon_stopping_ = false;
    std::vector<std::thread> soon_threads_;
};

}  // namespace zvfd
