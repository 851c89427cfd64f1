#include "zvfd/s3_storage.h"

#include <algorithm>
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
    return S3Retention{config_.retention_mode,
                       static_cast<std::int64_t>(std::time(nullptr)) + std::int64_t(config_.retention_days) * 86400};
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

std::optional<S3Version> S3Storage::first_version(const std::string& key) {
    std::vector<S3Version> versions = client_.versions_of(key);
    if (versions.empty()) return std::nullopt;
    return std::move(versions.front());
}

bool S3Storage::put_if_absent(const std::string& name, const std::string& data) {
    if (!is_object_name(name)) throw StorageError("'" + name + "' is not an object name");
    check_lock();
    const std::string key = key_of(name);
    const auto lock = retention();
    if (!versioned()) return client_.put_object(key, data, lock ? &*lock : nullptr, true);
    // A versioned bucket ignores If-None-Match and keeps every writer's version: the
    // first one is the object, the others are not stored as far as their writers go.
    if (first_version(key)) return false;
    client_.put_object(key, data, lock ? &*lock : nullptr, true);
    const auto first = first_version(key);
    if (!first) throw StorageError("object " + name + " was stored in " + description_ + " but its versions do not list it");
    // The same bytes are this call's own, also when a retry stored them twice.
    const bool stored = first->etag == s3::md5_hex(data);
    if (stored && lock) {
        std::lock_guard<std::mutex> guard(kept_mutex_);
        kept_.insert(name);
    }
    return stored;
}

std::string S3Storage::get(const std::string& name) {
    const std::string key = key_of(name);
    std::optional<std::string> data;
    if (!versioned()) {
        data = client_.get_object(key);
    } else if (const auto first = first_version(key)) {
        data = client_.get_version(key, first->version_id);
    }
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
    if (client_.head_object(key)) return true;
    // A delete marker hides the versions that reads still find.
    return versioned() && first_version(key);
}

std::string S3Storage::get_range(const std::string& name, std::uint64_t offset, std::size_t length) {
    const std::string key = key_of(name);
    std::optional<std::string> data;
    if (!versioned()) {
        data = client_.get_range(key, "", offset, length);
    } else if (const auto first = first_version(key)) {
        data = client_.get_range(key, first->version_id, offset, length);
    }
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
        std::set<std::string> present;
        for (const S3Version& version : client_.list_versions(key_prefix))
            if (!version.delete_marker) present.insert(version.key.substr(strip));
        names.assign(present.begin(), present.end());
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

void S3Storage::keep(const std::vector<std::string>& names) {
    const auto lock = retention();
    if (!lock) return;
    check_lock();
    std::vector<std::string> todo;
    {
        std::lock_guard<std::mutex> guard(kept_mutex_);
        for (const auto& name : names)
            if (!kept_.count(name)) todo.push_back(name);
    }
    // One request per object: run several at once so that round trips do not add up.
    for_each_at_once(todo.size(), parallel_requests(), [&](std::size_t i) { keep_one(todo[i], *lock); });
}

void S3Storage::keep_one(const std::string& name, const S3Retention& lock) {
    const std::string key = key_of(name);
    // The first version is the one reads take, whatever was put on top of it.
    const auto first = first_version(key);
    if (!first || !client_.extend_retention(key, lock, first->version_id))
        throw ObjectMissing("object " + name + " is missing from " + description_);
    std::lock_guard<std::mutex> guard(kept_mutex_);
    kept_.insert(name);
}

}  // namespace zvfd
