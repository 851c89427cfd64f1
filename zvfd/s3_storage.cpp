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
                               " days cannot be kept; use a bucket created with Object Lock");
    });
}

bool S3Storage::put_if_absent(const std::string& name, const std::string& data) {
    if (!is_object_name(name)) throw StorageError("'" + name + "' is not an object name");
    check_lock();
    const std::string key = key_of(name);
    const auto lock = retention();
    // A versioned bucket ignores If-None-Match and would store a second version.
    if (lock && client_.head_object(key)) return false;
    const bool stored = client_.put_object(key, data, lock ? &*lock : nullptr, true);
    if (stored && lock) {
        std::lock_guard<std::mutex> guard(kept_mutex_);
        kept_.insert(name);
    }
    return stored;
}

std::string S3Storage::get(const std::string& name) {
    auto data = client_.get_object(key_of(name), config_.retention_days != 0);
    if (!data) throw ObjectMissing("object " + name + " is missing from " + description_);
    return std::move(*data);
}

bool S3Storage::exists(const std::string& name) {
    const std::string key = key_of(name);
    if (client_.head_object(key)) return true;
    if (config_.retention_days == 0) return false;
    for (const S3Version& version : client_.list_versions(key))
        if (version.key == key && !version.delete_marker) return true;
    return false;
}

std::string S3Storage::get_range(const std::string& name, std::uint64_t offset, std::size_t length) {
    // Which version a read of a versioned bucket trusts is get()'s to choose.
    if (config_.retention_days != 0 || length == 0) return Storage::get_range(name, offset, length);
    const std::string key = key_of(name);
    S3Request request{"GET", key, {}, {{"Range", "bytes=" + std::to_string(offset) + "-" +
                                                     std::to_string(offset + length - 1)}}, {}};
    S3Response response = client_.perform(request);
    if (response.status == 206) return std::move(response.body);
    if (response.status == 200) {  // a store that ignores ranges sends it all
        if (offset >= response.body.size()) return {};
        return response.body.substr(static_cast<std::size_t>(offset), length);
    }
    if (response.status == 416) return {};  // the range begins past the end
    if (response.status == 404) throw ObjectMissing("object " + name + " is missing from " + description_);
    throw S3Error("S3 request " + client_.describe("GET", key) + " failed: " + std::to_string(response.status) + " " +
                  response.error_code());
}

std::vector<std::string> S3Storage::list(const std::string& prefix) {
    const std::string key_prefix = key_of(prefix);
    const std::size_t strip = config_.prefix.empty() ? 0 : config_.prefix.size() + 1;
    std::vector<std::string> names;
    if (config_.retention_days == 0) {
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
    if (config_.retention_days == 0) {
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
    if (!client_.extend_retention(key, lock)) {
        // Hidden by a delete marker: lock the newest real version, the one reads find.
        bool found = false;
        for (const S3Version& version : client_.list_versions(key)) {
            if (version.key != key || version.delete_marker) continue;
            found = client_.extend_retention(key, lock, version.version_id);
            break;
        }
        if (!found) throw ObjectMissing("object " + name + " is missing from " + description_);
    }
    std::lock_guard<std::mutex> guard(kept_mutex_);
    kept_.insert(name);
}

}  // namespace zvfd
