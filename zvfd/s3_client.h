// HTTP requests to an S3-compatible object store (Ceph radosgw, AWS and others):
// request signing by libcurl, connection reuse, retries with backoff, and the
// handful of bucket and object calls the S3 repository backend is built from.
//
//   zvfd::S3Client client(location, zvfd::read_s3_credentials(path), policy);
//   client.put_object("repo/packs/ab/abcd", bytes, nullptr);
//   std::optional<std::string> data = client.get_object("repo/packs/ab/abcd");
//
// Every method may be called from several threads at once; each request takes a
// connection of its own from a pool and gives it back. Keys of the store never
// appear in an error text.
#pragma once

#include "zvfd/storage.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zvfd {

// A failed request or a refused configuration. The text names the endpoint and the
// object and says what the store answered; it never holds a key.
struct S3Error : StorageError {
    using StorageError::StorageError;
};

// Where the repository lives.
struct S3Location {
    std::string endpoint;     // scheme, host and port: "http://127.0.0.1:7480"
    std::string bucket;
    std::string region;       // the signing region; radosgw answers to "default"
    bool path_style = true;   // http://host/bucket/key rather than http://bucket.host/key
};

struct S3Keys {
    std::string access_key;
    std::string secret_key;
};

// Reads the two keys from a credentials file, which must be a regular file owned by
// root that only root may read: mode 0600 or 0400. Its lines are comments ("#"), blank, or a name, white space
// and a value: "access_key_id" and "secret_access_key".
S3Keys read_s3_credentials(const std::string& path);

// How long a request is retried: transport errors, 5xx answers and slow-down
// answers are retried with doubling delays until `window` has passed since the
// first attempt; a request that stalls for `stall` is abandoned and retried. A retry
// never runs past the window.
struct S3RetryPolicy {
    std::chrono::milliseconds window{std::chrono::seconds(60)};
    std::chrono::milliseconds first_delay{200};
    std::chrono::milliseconds max_delay{std::chrono::seconds(5)};
    std::chrono::seconds stall{30};
};

struct S3Request {
    std::string method;  // GET, PUT, HEAD, DELETE
    std::string key;     // object key; empty for the bucket itself
    // Query parameters; a sub-resource is a name with an empty value ("retention").
    std::vector<std::pair<std::string, std::string>> query;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string_view body;
};

struct S3Response {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case

    // The <Code> and <Message> of an S3 error document, empty when there is none.
    std::string error_code() const;
    std::string error_message() const;
};

// Retention of S3 Object Lock.
enum class S3LockMode { Governance, Compliance };
const char* s3_lock_mode_word(S3LockMode mode);  // "GOVERNANCE", "COMPLIANCE"

struct S3Retention {
    S3LockMode mode = S3LockMode::Compliance;
    std::int64_t until = 0;  // seconds since the epoch, UTC
};

// One entry of a version listing.
struct S3Version {
    std::string key;
    std::string version_id;
    bool latest = false;
    bool delete_marker = false;
    std::string etag;  // without its quotes: the hex MD5 of the bytes of a plain PUT
};

// Building blocks with no I/O, shared with the tests.
namespace s3 {
// The canonical query text: names sorted, names and values encoded as request
// signing expects, a sub-resource written "name=" so the signature matches.
std::string query_text(std::vector<std::pair<std::string, std::string>> query);
// Percent-encodes all but the unreserved characters (and '/' when keep_slash).
std::string uri_encode(std::string_view text, bool keep_slash);
std::string sha256_hex(std::string_view data);
std::string md5_base64(std::string_view data);
// The ETag a store gives an object stored by a plain PUT: the hex MD5 of its bytes.
std::string md5_hex(std::string_view data);
// The Content-MD5 text of a digest md5_hex gave, without hashing the bytes again.
std::string md5_base64_of_hex(std::string_view md5_hex);
// "2026-12-11T16:27:35Z" and back; parse returns nullopt for a malformed text.
std::string iso8601(std::int64_t seconds);
std::optional<std::int64_t> parse_iso8601(std::string_view text);
// Text of every element called `name` in an XML document, in document order.
std::vector<std::string> xml_texts(std::string_view document, const char* name);
// Whether a finished transfer deserves another attempt.
bool retryable_status(long status, std::string_view error_code);
}  // namespace s3

class S3Client {
public:
    S3Client(S3Location location, S3Keys keys, S3RetryPolicy policy = {});
    ~S3Client();
    S3Client(const S3Client&) = delete;
    S3Client& operator=(const S3Client&) = delete;

    // Sends a request, retried as the policy says. Returns the store's final answer
    // whatever its status; throws S3Error when the store could not be reached or kept
    // failing until the window closed.
    S3Response perform(const S3Request& request);

    // "PUT http://host:port/bucket/key" (no query, no keys) for messages.
    std::string describe(const std::string& method, const std::string& key) const;
    const S3Location& location() const { return location_; }

    // Checks that the bucket exists and that the keys are accepted.
    void check_bucket();
    // Whether the bucket was created with Object Lock.
    bool object_lock_enabled();
    // Whether the bucket keeps versions (versioning enabled, or suspended after it
    // was: the versions written before stay).
    bool versioning_enabled();

    // Stores an object. With `if_absent`, an existing key is left alone and the call
    // returns false (a versioned bucket stores a second version instead: the caller
    // tells them apart), except that a key holding these very bytes counts as stored
    // by this call: an attempt that stored them may have lost its answer. With a retention the object is locked until then; a store that
    // refuses the lock makes this throw. `md5_hex`: the data's md5_hex when the caller
    // has it, so that a pack is not hashed twice.
    bool put_object(const std::string& key, std::string_view data, const S3Retention* retention,
                    bool if_absent = true, std::string_view md5_hex = {});
    // The object's bytes, or nullopt when there is no such key. With `through_markers`
    // a key hidden by a delete marker is read from its newest remaining version.
    std::optional<std::string> get_object(const std::string& key, bool through_markers = false);
    // The bytes of one version of the key, or nullopt when it is gone.
    std::optional<std::string> get_version(const std::string& key, const std::string& version_id);
    // `length` bytes from `offset` of the key (of that version, when one is given),
    // fewer where the object ends; nullopt when it is gone.
    std::optional<std::string> get_range(const std::string& key, const std::string& version_id,
                                         std::uint64_t offset, std::size_t length);
    // The versions of exactly this key (no delete markers), oldest first.
    std::vector<S3Version> versions_of(const std::string& key);
    // Size of the object, or nullopt when absent.
    std::optional<std::uint64_t> head_object(const std::string& key);
    // Keys that begin with the prefix, in the store's (lexical) order.
    std::vector<std::string> list_keys(const std::string& prefix);
    // Every version and delete marker under the prefix.
    std::vector<S3Version> list_versions(const std::string& prefix);
    // Removes the key (on a versioned bucket this adds a delete marker). A missing
    // key is not an error.
    void delete_object(const std::string& key);
    // Removes one version; a locked version makes the store refuse (throws).
    void delete_version(const std::string& key, const std::string& version_id);
    // Sets the retention of the key's newest version (or of the version given); never
    // shortens it. False when there is no such key or version.
    bool extend_retention(const std::string& key, const S3Retention& retention,
                          const std::string& version_id = "");
    std::optional<S3Retention> get_retention(const std::string& key, const std::string& version_id = "");

private:
    struct Pool;
    std::string url(const S3Request& request) const;
    std::string object_url(const std::string& key) const;
    // `limit`: how long the attempt may take at most (0: no limit).
    S3Response attempt(const S3Request& request, std::chrono::milliseconds limit, std::string& transport_error);
    [[noreturn]] void fail(const S3Request& request, const S3Response& response) const;

    S3Location location_;
    S3Keys keys_;
    S3RetryPolicy policy_;
    std::unique_ptr<Pool> pool_;
};

}  // namespace zvfd
