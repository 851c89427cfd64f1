#include "zvfd/s3_storage.h"

#include <algorithm>
#include <map>
#include <ctime>
#include <sstream>

namespace zvfd {

namespace {

S3RetryPolicy policy_of(const S3StorageConfig& config) {
    S3RetryPolicy policy;
    policy.window = std::chrono::seconds(config.retry_seconds);
    // A stalled transfer is abandoned in time for a retry inside the window.
    policy.stall = std::chrono::seconds(std::max(2u, std::min(30u, config.retry_seconds / 2)));
    return policy;
}

unsigned parse_count(const std::string& name, const std::string& value, unsigned low, unsigned high) {
    if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos)
        throw StorageError("S3 location: " + name + "=" + value + " is not a number");
    const unsigned number = static_cast<unsigned>(std::stoul(value));
    if (number < low || number > high)
        throw StorageError("S3 location: " + name + " must be between " + std::to_string(low) + " and " +
                           std::to_string(high));
    return number;
}

}  // namespace

bool is_s3_location(const std::string& location) {
    return location == "s3" || location.rfind("s3 ", 0) == 0 || location.rfind("s3\t", 0) == 0;
}

S3StorageConfig parse_s3_location(const std::string& location) {
    if (!is_s3_location(location)) throw StorageError("'" + location + "' is not an S3 location");
    S3StorageConfig config;
    std::istringstream words(location.substr(2));
    std::set<std::string> seen;
    std::string retention_mode;
    for (std::string word; words >> word;) {
        const auto eq = word.find('=');
        if (eq == std::string::npos || eq == 0)
            throw StorageError("S3 location: '" + word + "' is not name=value");
        const std::string name = word.substr(0, eq), value = word.substr(eq + 1);
        if (!seen.insert(name).second) throw StorageError("S3 location: " + name + " is given twice");
        if (name == "endpoint") {
            config.location.endpoint = value;
        } else if (name == "bucket") {
            config.location.bucket = value;
        } else if (name == "region") {
            config.location.region = value;
        } else if (name == "credentials") {
            config.credentials_file = value;
        } else if (name == "prefix") {
            config.prefix = value;
            while (!config.prefix.empty() && config.prefix.back() == '/') config.prefix.pop_back();
            if (!config.prefix.empty() && !is_object_name(config.prefix))
                throw StorageError("S3 location: prefix=" + value +
                                   " must be components of [A-Za-z0-9._-] joined by /");
        } else if (name == "path_style") {
            if (value != "yes" && value != "no") throw StorageError("S3 location: path_style must be yes or no");
            config.location.path_style = value == "yes";
        } else if (name == "retention_days") {
            config.retention_days = parse_count(name, value, 1, 36500);
        } else if (name == "retention_mode") {
            if (value != "governance" && value != "compliance")
                throw StorageError("S3 location: retention_mode must be governance or compliance");
            retention_mode = value;
        } else if (name == "retry_seconds") {
            config.retry_seconds = parse_count(name, value, 1, 86400);
        } else {
            throw StorageError("S3 location: unknown setting " + name);
        }
    }
    for (const char* required : {"endpoint", "bucket", "region", "credentials"})
        if (!seen.count(required)) throw StorageError(std::string("S3 location: ") + required + "= is missing");
    if (seen.count("retention_days") != seen.count("retention_mode"))
        throw StorageError("S3 location: retention_days and retention_mode go together");
    config.retention_mode = retention_mode == "governance" ? S3LockMode::Governance : S3LockMode::Compliance;
    return config;
}

S3Storage::S3Storage(const S3StorageConfig& config) : S3Storage(config, read_s3_credentials(config.credentials_file)) {}

S3Storage::S3Storage(const S3StorageConfig& config, S3Keys keys)
    : config_(config), client_(config.location, std::move(keys), policy_of(config)) {
    description_ = client_.location().endpoint + "/" + config_.location.bucket;
    if (!config_.prefix.empty()) description_ += "/" + config_.prefix;
    client_.check_bucket();
}

std::string S3Storage::key_of(const std::string& name) const {
    return config_.prefix.empty() ? name : config_.prefix + "/" + name;
}

std::optional<S3Retention> S3Storage::retention() const {
    if (config_.retention_days == 0) return std::nullopt;
    // A tenth more than asked: a record that reuses an object locked in that time finds
    // it locked long enough, and costs the store no new lock (keep_one).
    const std::int64_t days = std::int64_t(config_.retention_days) * 86400;
    return S3Retention{config_.retention_mode, static_cast<std::int64_t>(std::time(nullptr)) + days + days / 10};
}

void S3Storage::check_lock() {
    if (config_.retention_days == 0) return;
    std::call_once(lock_checked_, [this] {
        if (!client_.object_lock_enabled())
            throw StorageError("the bucket " + config_.location.bucket + " at " + client_.location().endpoint +
                               " has no Object Lock, so the retention of " +
                               std::to_string(config_.retention_days) +
                               (config_.retention_days == 1 ? " day" : " days") +
                               " cannot be kept; use a bucket created with Object Lock");
    });
}

bool S3Storage::versioned() {
    // Object Lock keeps versions; a bucket without it says whether it does.
    if (config_.retention_days != 0) return true;
    std::call_once(versioning_checked_, [this] { versioned_ = client_.versioning_enabled(); });
    return versioned_;
}

std::string S3Storage::first_version_id(const std::string& key, bool fresh) {
    if (!fresh) {
        std::lock_guard<std::mutex> guard(ids_mutex_);
        const auto it = first_ids_.find(key);
        if (it != first_ids_.end()) return it->second;
    }
    const std::vector<S3Version> versions = client_.versions_of(key);
    if (versions.empty()) return {};
    remember_first(key, versions.front().version_id);
    return versions.front().version_id;
}

void S3Storage::remember_first(const std::string& key, const std::string& version_id) {
    std::lock_guard<std::mutex> guard(ids_mutex_);
    if (first_ids_.size() < kRememberedIds) first_ids_[key] = version_id;
}

template <typename Read>
std::optional<std::string> S3Storage::read_first(const std::string& key, Read read) {
    std::string id = first_version_id(key, false);
    if (id.empty()) return std::nullopt;
    auto data = read(id);
    // A first version removed since it was listed: what is first now.
    if (!data && !(id = first_version_id(key, true)).empty()) data = read(id);
    return data;
}

bool S3Storage::put_if_absent(const std::string& name, const std::string& data) {
    if (!is_object_name(name)) throw StorageError("'" + name + "' is not an object name");
    check_lock();
    const std::string key = key_of(name);
    const auto lock = retention();
    if (!versioned()) return client_.put_object(key, data, lock ? &*lock : nullptr, true);
    // A versioned bucket ignores If-None-Match and keeps every writer's version: the
    // first one is the object, the others are not stored as far as their writers go.
    // Names are all but never taken (the callers look first where they can be), so
    // only the versions after the put are asked for.
    // Hashed once: the lock's Content-MD5 and the comparison below take the same digest.
    const std::string md5 = s3::md5_hex(data);
    client_.put_object(key, data, lock ? &*lock : nullptr, true, md5);
    const std::vector<S3Version> versions = client_.versions_of(key);
    if (versions.empty())
        throw StorageError("object " + name + " was stored in " + description_ + " but its versions do not list it");
    remember_first(key, versions.front().version_id);
    // The same bytes are this call's own, also when a retry stored them twice.
    const bool stored = versions.front().etag == md5;
    if (stored && lock) note_kept(name, lock->until);
    return stored;
}

std::string S3Storage::get(const std::string& name) {
    const std::string key = key_of(name);
    const auto data = versioned() ? read_first(key, [&](const std::string& id) { return client_.get_version(key, id); })
                                  : client_.get_object(key);
    if (!data) throw ObjectMissing("object " + name + " is missing from " + description_);
    return std::move(*data);
}

std::string S3Storage::get_later(const std::string& name, unsigned n) {
    if (!versioned()) return Storage::get_later(name, n);
    const std::string key = key_of(name);
    const std::vector<S3Version> versions = client_.versions_of(key);
    std::optional<std::string> data;
    if (n < versions.size()) data = client_.get_version(key, versions[n].version_id);
    if (!data) throw ObjectMissing("object " + name + " has no version " + std::to_string(n + 1) + " in " + description_);
    return std::move(*data);
}

bool S3Storage::exists(const std::string& name) {
    const std::string key = key_of(name);
    // Listing its versions sees through a delete marker, and tells keep() which
    // version to lock.
    if (versioned()) return !first_version_id(key, false).empty();
    return client_.head_object(key).has_value();
}

std::string S3Storage::get_range(const std::string& name, std::uint64_t offset, std::size_t length) {
    const std::string key = key_of(name);
    const auto data =
        versioned() ? read_first(key, [&](const std::string& id) { return client_.get_range(key, id, offset, length); })
                    : client_.get_range(key, "", offset, length);
    if (!data) throw ObjectMissing("object " + name + " is missing from " + description_);
    return std::move(*data);
}

std::vector<std::string> S3Storage::list(const std::string& prefix) {
    const std::string key_prefix = key_of(prefix);
    const std::size_t strip = config_.prefix.empty() ? 0 : config_.prefix.size() + 1;
    std::vector<std::string> names;
    if (!versioned()) {
        for (auto& key : client_.list_keys(key_prefix)) names.push_back(key.substr(strip));
    } else {
        // Each key's versions come newest first: the last real one is its first.
        std::map<std::string, std::string> first;
        for (const S3Version& version : client_.list_versions(key_prefix))
            if (!version.delete_marker) first[version.key] = version.version_id;
        for (const auto& [key, id] : first) {
            remember_first(key, id);
            names.push_back(key.substr(strip));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

void S3Storage::remove(const std::string& name) {
    const std::string key = key_of(name);
    if (!versioned()) {
        client_.delete_object(key);
        return;
    }
    for (const S3Version& version : client_.list_versions(key))
        if (version.key == key) client_.delete_version(key, version.version_id);
}

S3Storage::~S3Storage() {
    {
        std::lock_guard<std::mutex> guard(kept_mutex_);
        soon_stopping_ = true;
        soon_.clear();
    }
    soon_wake_.notify_all();
    for (auto& thread : soon_threads_) thread.join();
}

void S3Storage::note_kept(const std::string& name, std::int64_t until) {
    std::lock_guard<std::mutex> guard(kept_mutex_);
    std::int64_t& at = kept_[name];
    at = std::max(at, until);
}

void S3Storage::keep(const std::vector<std::string>& names) {
    const auto lock = retention();
    if (!lock) return;
    check_lock();
    const std::int64_t needed = std::int64_t(std::time(nullptr)) + std::int64_t(config_.retention_days) * 86400;
    std::vector<std::string> todo;
    {
        std::unique_lock<std::mutex> guard(kept_mutex_);
        // What keep_soon() has not begun is done here, with the rest; what it has
        // begun is waited for.
        soon_.clear();
        soon_idle_.wait(guard, [this] { return soon_busy_ == 0; });
        for (const auto& name : names) {
            const auto it = kept_.find(name);
            if (it == kept_.end() || it->second < needed) todo.push_back(name);
        }
    }
    // One request per object: run several at once so that round trips do not add up.
    for_each_at_once(todo.size(), parallel_requests(), [&](std::size_t i) { keep_one(todo[i], *lock); });
}

void S3Storage::keep_soon(const std::vector<std::string>& names) {
    if (config_.retention_days == 0 || names.empty()) return;
    // A few beside the backup's own requests: enough for the packs its workers confirm.
    constexpr unsigned kSoonThreads = 4;
    try {
        std::lock_guard<std::mutex> guard(kept_mutex_);
        if (soon_stopping_) return;
        soon_.insert(soon_.end(), names.begin(), names.end());
        while (soon_threads_.size() < kSoonThreads) soon_threads_.emplace_back([this] { keep_in_background(); });
    } catch (...) {
        return;  // without threads, keep() does it all
    }
    soon_wake_.notify_all();
}

void S3Storage::keep_in_background() {
    std::unique_lock<std::mutex> guard(kept_mutex_);
    for (;;) {
        soon_wake_.wait(guard, [this] { return soon_stopping_ || !soon_.empty(); });
        if (soon_stopping_) return;
        const std::string name = std::move(soon_.front());
        soon_.pop_front();
        ++soon_busy_;
        guard.unlock();
        try {
            if (const auto lock = retention()) {
                check_lock();
                keep_one(name, *lock);
            }
        } catch (...) {
            // keep() asks again for what is not noted as kept, and reports its failure.
        }
        guard.lock();
        --soon_busy_;
        if (soon_busy_ == 0) soon_idle_.notify_all();
    }
}

void S3Storage::keep_one(const std::string& name, const S3Retention& lock) {
    const std::string key = key_of(name);
    // The first version is the one reads take, whatever was put on top of it.
    std::string id = first_version_id(key, false);
    // Locked as long as a record written now needs, in a mode as strict: nothing to do.
    const std::int64_t needed = std::int64_t(std::time(nullptr)) + std::int64_t(config_.retention_days) * 86400;
    const auto held = id.empty() ? std::nullopt : client_.get_retention(key, id);
    if (held && held->until >= needed && (held->mode == lock.mode || held->mode == S3LockMode::Compliance)) {
        note_kept(name, held->until);
        return;
    }
    if (!id.empty() && !client_.extend_retention(key, lock, id)) {
        id = first_version_id(key, true);  // removed since it was listed
        if (!id.empty() && !client_.extend_retention(key, lock, id)) id.clear();
    }
    if (id.empty()) throw ObjectMissing("object " + name + " is missing from " + description_);
    note_kept(name, lock.until);
}

}  // namespace zvfd
