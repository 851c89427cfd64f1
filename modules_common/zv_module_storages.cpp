// Client-defined storages: the enciphered storage list the client agent leaves in the
// task directory, its records, archive names inside a storage, the choice of storage
// and the deletion request.
#include "modules_common/zv_modules_common.h"

#include "common/config_file.h"
#include "common/zv_logger.h"
#include "common/zv_utils_common.h"
#include "zvcrypto/crypto_hash.h"
#include "zvcrypto/ctr.h"
#include "zvcrypto/kuznyechik.h"
#include "zvcrypto/machine_id.h"

#include <boost/algorithm/string/erase.hpp>
#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <limits>
#include <new>

namespace fs = boost::filesystem;
namespace json = boost::json;

namespace {

const char* const load_signature = "bool ZvModuleUniversal::load_client_defined_storages()";
const char* const record_signature =
    "static bool ZvModuleUniversal::split_client_defined_storage_record(const string&, "
    "ZvModuleUniversal::ClientDefinedStorageInfo&)";
const char* const prepare_signature = "bool ZvModuleUniversal::client_defined_storage_prepare()";
const char* const deletion_signature =
    "bool ZvModuleUniversal::parse_json_of_client_defined_storage(const string&, "
    "std::vector<std::pair<int, std::__cxx11::basic_string<char> > >&)";

const char* const task_directory = "/opt/zelvor/var/tasks/";
const std::string local_directory_word = "local-directory";
const std::string s3_word = "s3";

// A task secret is one line of a few dozen characters.
constexpr std::size_t largest_secret_file = 64 * 1024;

// The client agent counts the file in a signed 32-bit size.
constexpr std::uintmax_t largest_storage_file = std::numeric_limits<std::int32_t>::max();

std::string without_quotes(std::string text) {
    boost::algorithm::erase_all(text, "\"");
    return text;
}

std::string key_text(json::string_view key) {
    return without_quotes(json::serialize(json::string(key)));
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Kuznyechik-CTR under the task secret, cut or padded with zero bytes to the key size;
// the counter starts with the first two bytes of the program's IV text.
std::string decipher_storage_file(const std::string& secret, const std::string& ciphertext) {
    const zvcrypto::kuznyechik cipher;
    zvcrypto::ctr stream(cipher);
    std::string key(stream.keysize() / 8, '\0');
    key.replace(0, std::min(secret.size(), key.size()), secret, 0, key.size());
    stream.init(
        reinterpret_cast<const unsigned char*>(key.data()), key.size(),
        reinterpret_cast<const unsigned char*>(zv_utils_common::server::stored_iv_text().data()),
        2);
    zvcrypto::secure_zero(&key[0], key.size());
    std::string plaintext(ciphertext.size(), '\0');
    stream.decrypt(reinterpret_cast<const unsigned char*>(ciphertext.data()), ciphertext.size(),
                   reinterpret_cast<unsigned char*>(&plaintext[0]));
    // The text ends at its first zero byte, or with the buffer.
    const auto end = plaintext.find('\0');
    if (end != std::string::npos) plaintext.resize(end);
    return plaintext;
}

// A directory of one run, removed with its content when the run is over.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (fs::temp_directory_path() / "zv_module_XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr)
            throw fs::filesystem_error(
                "can't create a scratch directory", pattern,
                boost::system::error_code(errno, boost::system::system_category()));
        path_ = pattern;
    }
    ~ScratchDirectory() {
        boost::system::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

bool ZvModuleUniversal::load_client_defined_storages() {
    if (options_.task_id.empty()) {
        ZvLogStream(ZvLogLvl::Debug)
            << "No task id -  client defined storages loading skipped" << std::endl;
        return true;
    }
    try {
        const std::string secret_path = get_task_secret();
        ZvLogStream(ZvLogLvl::Debug)
            << "Check method of access to client defined storage" << std::endl;
        if (!fs::exists(secret_path)) {
            ZvLogStream(ZvLogLvl::Error)
                << load_signature << ": task secret file doesn't exist: " << secret_path
                << std::endl;
            return false;
        }
        std::string secret;
        {
            // The secret is one short line; a FIFO or a device is refused, since the
            // archiver would read the same path.
            std::string text, reason;
            if (!zv_utils_common::read_regular_file(secret_path, text, reason, largest_secret_file)) {
                boost::system::error_code ignored;
                if (!fs::is_regular_file(secret_path, ignored)) {
                    ZvLogStream(ZvLogLvl::Error) << load_signature << ": task secret file "
                                                 << secret_path << " can't be used: " << reason
                                                 << std::endl;
                    return false;
                }
                ZvLogStream(ZvLogLvl::Error)
                    << load_signature << ": can't open task secret file: " << secret_path
                    << std::endl;
                return true;
            }
            secret = text.substr(0, text.find('\n'));
            zvcrypto::secure_zero(&text[0], text.size());
        }
        if (secret.empty()) {
            ZvLogStream(ZvLogLvl::Error) << load_signature << ": task secret is empty" << std::endl;
            return true;
        }

        const std::string storage_path =
            task_directory + options_.task_id + ".client_defined_storages";
        if (!fs::exists(storage_path)) {
            zvcrypto::secure_zero(&secret[0], secret.size());
            return true;
        }
        const std::uintmax_t size = fs::file_size(storage_path);
        ZvLogStream(ZvLogLvl::Debug)
            << "Found the file of methods: " << storage_path << ", size: " << size << std::endl;
        std::ifstream storage_file(storage_path, std::ios::binary);
        if (!storage_file) {
            ZvLogStream(ZvLogLvl::Error)
                << load_signature << ": can't open: " << storage_path << std::endl;
            zvcrypto::secure_zero(&secret[0], secret.size());
            return true;
        }
        if (size > largest_storage_file) {
            ZvLogStream(ZvLogLvl::Error)
                << load_signature << ": the file " << storage_path
                << " is too large for a storage list (" << size << " bytes, at most "
                << largest_storage_file << ")" << std::endl;
            zvcrypto::secure_zero(&secret[0], secret.size());
            return false;
        }
        std::string ciphertext(size, '\0');
        storage_file.read(&ciphertext[0], static_cast<std::streamsize>(size));
        if (static_cast<std::uintmax_t>(storage_file.gcount()) != size) {
            ZvLogStream(ZvLogLvl::Error)
                << load_signature << ": read error from " << storage_path << std::endl;
            zvcrypto::secure_zero(&secret[0], secret.size());
            return false;
        }
        const std::string plaintext = decipher_storage_file(secret, ciphertext);
        zvcrypto::secure_zero(&secret[0], secret.size());

        std::string::size_type start = 0;
        while (start < plaintext.size()) {
            auto end = plaintext.find('\n', start);
            if (end == std::string::npos) end = plaintext.size();
            if (end > start) {
                ClientDefinedStorageInfo info;
                if (split_client_defined_storage_record(plaintext.substr(start, end - start), info))
                    client_defined_storages.push_back(std::move(info));
            }
            start = end + 1;
        }

        if (!client_defined_storages.empty()) {
            ZvLogStream(ZvLogLvl::Debug) << "CLient defined methods of access to the storage: "
                                         << client_defined_storages.size() << std::endl;
        } else {
            ZvLogStream(ZvLogLvl::Debug)
                << 0 << " methods of access to client defined storage loaded" << std::endl;
        }
        return true;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << load_signature << ": " << e.what() << std::endl;
    }
    return false;
}

bool ZvModuleUniversal::split_client_defined_storage_record(const std::string& record,
                                                            ClientDefinedStorageInfo& info) {
    try {
        boost::system::error_code error;
        const json::value value = json::parse(record, error);
        if (error) {
            ZvLogStream(ZvLogLvl::Error) << record_signature << ": boost::json: " << error.message()
                                         << ": " << record << std::endl;
            return false;
        }
        if (!value.is_object()) {
            ZvLogStream(ZvLogLvl::Error)
                << record_signature << ": json value is not an object" << std::endl;
            return false;
        }
        const json::object& object = value.get_object();
        const json::value* id = object.if_contains("id");
        const json::value* method = object.if_contains("method");
        if (id == nullptr || method == nullptr) {
            ZvLogStream(ZvLogLvl::Error)
                << record_signature << ": storage record format is invalid: " << record
                << std::endl;
            return false;
        }
        if (!id->is_int64()) {
            ZvLogStream(ZvLogLvl::Error)
                << record_signature << ": id is not a number: " << record << std::endl;
            return false;
        }
        if (!method->is_object()) {
            ZvLogStream(ZvLogLvl::Error)
                << record_signature << ": method is not an object" << std::endl;
            return false;
        }
        const json::object& access = method->get_object();
        const int record_id = static_cast<int>(static_cast<std::uint32_t>(id->get_int64()));
        if (access.empty()) {
            info.type = 3;
            info.id = record_id;
            info.location.clear();
            return true;
        }
        for (const auto& member : access) {
            const std::string key = key_text(member.key());
            if (key == local_directory_word) {
                info.type = 1;
                info.id = record_id;
                info.location = without_quotes(json::serialize(member.value()));
                return true;
            }
            if (key == s3_word) {
                info.type = 2;
                info.id = record_id;
                info.location = json::serialize(member.value());
                return true;
            }
        }
        ZvLogStream(ZvLogLvl::Error)
            << record_signature << ": can't parse client defined storage json string: " << record
            << std::endl;
    } catch (const std::bad_alloc& e) {
        ZvLogStream(ZvLogLvl::Error)
            << record_signature << ": json parsing failed: " << e.what() << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << record_signature << ": " << e.what() << std::endl;
    }
    return false;
}

bool ZvModuleUniversal::split_client_defined_archive_name(const std::string& name,
                                                          ClientDefinedArchiveInfo& info) {
    static const std::pair<std::string, int> type_words[] = {
        {local_directory_word, 1}, {"default", 3}, {s3_word, 2}};
    std::string::size_type position = std::string::npos;
    for (const auto& [word, type] : type_words) {
        if (starts_with(name, word)) {
            info.type = type;
            position = word.size();
            break;
        }
    }
    if (position == std::string::npos) return false;
    // One separator character of any kind, then the id.
    if (name.size() <= position + 1) return false;
    ++position;
    try {
        std::size_t used = 0;
        info.id = std::stoi(name.substr(position), &used);
        position += used;
    } catch (const std::logic_error&) {
        return false;
    }
    const auto at = name.find('@', position);
    info.name = at == std::string::npos ? std::string() : name.substr(at + 1);
    return !info.name.empty();
}

bool ZvModuleUniversal::client_defined_storage_prepare() {
    if (client_defined_storages.empty()) {
        ZvLogStream(ZvLogLvl::Warning)
            << prepare_signature << "No client defined storage" << std::endl;
        return true;
    }
    for (const auto& storage : client_defined_storages) {
        if (!check_supported_client_defined_storage(storage.type)) {
            ZvLogStream(ZvLogLvl::Info)
                << "The module doesn't support client defined storage type: " << storage.type
                << std::endl;
            return false;
        }
        chosen_storage_type = storage.type;
        chosen_storage_id = storage.id;
        switch (storage.type) {
            case 1: {
                ZvLogStream(ZvLogLvl::Info)
                    << "Use client defined storage '" << local_directory_word << "'@"
                    << storage.location << std::endl;
                boost::system::error_code error;
                if (!fs::exists(storage.location, error)) {
                    ZvLogStream(ZvLogLvl::Error)
                        << storage.location << " doen't exist" << std::endl;
                    continue;
                }
                if (!fs::is_directory(storage.location, error)) {
                    ZvLogStream(ZvLogLvl::Error)
                        << storage.location << " is not a directory" << std::endl;
                    continue;
                }
                if (options_.operation != ZvModuleOperations::Restore)
                    options_.tmp_operation_directory = storage.location;
                if (!options_.supports_autonomous) {
                    ZvLogStream(ZvLogLvl::Error)
                        << "To use client defined storage the module MUST support autonomous mode"
                        << std::endl;
                    return false;
                }
                options_.autonomous = true;
                ClientDefinedArchiveInfo archive;
                switch (options_.operation) {
                    case ZvModuleOperations::Backup:
                        if (!options_.remote_host.empty()) {
                            ZvLogStream(ZvLogLvl::Info)
                                << "Unable to use remote backup host while you use client defined "
                                   "storage"
                                << std::endl;
                            options_.remote_host.clear();
                        }
                        if (!options_.reference_snapshot.empty() &&
                            split_client_defined_archive_name(options_.reference_snapshot,
                                                              archive)) {
                            options_.reference_snapshot = archive.name;
                            ZvLogStream(ZvLogLvl::Info)
                                << "Rename reference snapshot to: " << options_.reference_snapshot
                                << std::endl;
                        }
                        break;
                    case ZvModuleOperations::Restore:
                        if (!options_.meta_file.empty() &&
                            split_client_defined_archive_name(options_.meta_file, archive)) {
                            options_.meta_file = archive.name;
                            ZvLogStream(ZvLogLvl::Info)
                                << "Rename snapshot to: " << options_.meta_file << std::endl;
                        }
                        break;
                    case ZvModuleOperations::DeleteFromClientDefinedStorage:
                    case ZvModuleOperations::VerifyInClientDefinedStorage:
                        break;
                    default:
                        ZvLogStream(ZvLogLvl::Info)
                            << prepare_signature << ", line: " << 960
                            << ": unsupported operation: " << static_cast<int>(options_.operation)
                            << std::endl;
                        return false;
                }
                return true;
            }
            case 3:
                ZvLogStream(ZvLogLvl::Info)
                    << prepare_signature << " Using module default storage." << std::endl;
                options_.autonomous = true;
                return true;
            default:
                ZvLogStream(ZvLogLvl::Error)
                    << prepare_signature
                    << ": unsupported client defined storage type: " << storage.type << std::endl;
                return false;
        }
    }
    ZvLogStream(ZvLogLvl::Error) << "There is no good client defined storage" << std::endl;
    return false;
}

bool ZvModuleUniversal::parse_json_of_client_defined_storage(
    const std::string& json, std::vector<std::pair<int, std::string>>& list) {
    try {
        const json::value value = json::parse(json);
        if (!value.is_object()) {
            ZvLogStream(ZvLogLvl::Error)
                << deletion_signature << ": json value is not an object" << std::endl;
            return false;
        }
        const json::object& object = value.get_object();
        if (object.empty()) {
            list.emplace_back(3, std::string());
            return true;
        }
        for (const auto& member : object) {
            const std::string key = key_text(member.key());
            const std::string text = without_quotes(json::serialize(member.value()));
            ZvLogStream(ZvLogLvl::Debug) << "Key: " << key << ", value: " << text << std::endl;
            if (text.empty()) continue;
            // The type word and one separator character come before the path.
            if (starts_with(text, local_directory_word)) {
                const auto skip = local_directory_word.size() + 1;
                list.emplace_back(1, text.size() > skip ? text.substr(skip) : std::string());
            } else if (starts_with(text, s3_word)) {
                const auto skip = s3_word.size() + 1;
                list.emplace_back(2, text.size() > skip ? text.substr(skip) : std::string());
            } else {
                ZvLogStream(ZvLogLvl::Error)
                    << deletion_signature << ": wrong client defined storage type here: " << text
                    << std::endl;
            }
        }
        return true;
    } catch (const std::bad_alloc& e) {
        ZvLogStream(ZvLogLvl::Error)
            << deletion_signature << ": json parsing failed: " << e.what() << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error)
            << deletion_signature << ": exception: " << e.what() << std::endl;
    }
    return false;
}

bool ZvModuleUniversal::delete_from_client_defined_storage(
    std::vector<std::pair<int, std::string>> list) {
    ZvLogStream(ZvLogLvl::Warning)
        << "The module doesn't support deletion from client defined storage" << std::endl;
    for (const auto& [type, path] : list)
        ZvLogStream(ZvLogLvl::Warning) << "Type: " << type << " " << path << std::endl;
    return true;
}

unsigned int ZvModuleUniversal::run_with_meta_file_unpacked_aside(
    const std::function<unsigned int()>& operation) {
    if (options_.meta_file.empty()) return operation();
    // Unpacking into the operation directory would replace a "<stem>.snap_dir" of the
    // client's there (or in "/" when no directory was given); the scratch directory is
    // this run's own.
    const ScratchDirectory scratch;
    const std::string operation_directory = options_.tmp_operation_directory;
    options_.tmp_operation_directory = scratch.path();
    int status = 12;
    try {
        status = unpack_snapshot_file(options_.meta_file);
    } catch (...) {
        options_.tmp_operation_directory = operation_directory;
        throw;
    }
    options_.tmp_operation_directory = operation_directory;
    // The client's file is an input here, never an obsolete reference.
    obsolete_snapshot_file.clear();
    if (status != 0) {
        ZvLogStream(ZvLogLvl::Error)
            << "Unable to unpack snapshot file: "
            << zelvor::as_quoted(options_.meta_file, '"', '\\') << "." << std::endl;
        return 2;
    }
    const unsigned int result = operation();
    reference_snapshot_directory.clear();
    return result;
}
