// E-signature verification of a backup kept in a client-defined local directory: the
// archive's signature is checked by the archiver, the metadata file's by openssl, and
// the client agent reads one "VERIFICATION RESULT:" line.
#include "modules_common/zv_modules_common.h"

#include "common/config_file.h"
#include "common/zv_logger.h"
#include "common/zv_shell.h"
#include "common/zv_utils_common.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/erase.hpp>
#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <new>
#include <sstream>

namespace fs = boost::filesystem;
namespace json = boost::json;

namespace {

const char* const verify_signature =
    "virtual bool ZvModuleUniversal::verify_in_client_defined_storage()";
const char* const parse_signature =
    "virtual bool ZvModuleUniversal::parse_esign_json(const string&, std::__cxx11::string&, "
    "std::__cxx11::string&, std::__cxx11::string&)";
const char* const write_signature =
    "bool ZvModuleUniversal::write_esign(const string&, const string&)";
const char* const check_signature =
    "bool ZvModuleUniversal::check_filename_by_esing(const string&, const string&, const string&, "
    "const string&, bool)";

const char* const openssl_program = "/usr/bin/openssl";

// Digests `openssl dgst` knows by name. The name becomes an option of its own ("-sha256"),
// so only these are passed on.
const char* const known_hashes[] = {
    "md5",        "sha1",          "sha224",        "sha256",      "sha384",      "sha512",
    "sha512-224", "sha512-256",    "sha3-224",      "sha3-256",    "sha3-384",    "sha3-512",
    "shake128",   "shake256",      "sm3",           "ripemd160",   "blake2b512",  "blake2s256",
    "md_gost94",  "md_gost12_256", "md_gost12_512", "streebog256", "streebog512",
};

bool is_known_hash(const std::string& name) {
    return std::find(std::begin(known_hashes), std::end(known_hashes), name) !=
           std::end(known_hashes);
}

std::string without_quotes(std::string text) {
    boost::algorithm::erase_all(text, "\"");
    return text;
}

std::string signature_file_path(const std::string& task_id, const char* kind) {
    return "/opt/zelvor/var/tasks/task_" + task_id + kind;
}

void remove_signature_file(const std::string& path) {
    fs::remove(path);
    ZvLogStream(ZvLogLvl::Debug) << "Remove obsoleted e-sign " << path << std::endl;
}

}  // namespace

bool ZvModuleUniversal::verify_in_client_defined_storage() {
    std::string archive_name, archive_sign, snapshot_sign;
    if (!parse_esign_json(options_.esign_json, archive_name, archive_sign, snapshot_sign)) {
        ZvLogStream(ZvLogLvl::Error)
            << verify_signature << ": can't parse json: " << options_.esign_json << std::endl;
        return false;
    }
    ClientDefinedArchiveInfo archive;
    if (!split_client_defined_archive_name(archive_name, archive) || archive.type != 1) {
        ZvLogStream(ZvLogLvl::Error)
            << verify_signature << ": unsupported client defined storage here: " << archive_name
            << std::endl;
        return false;
    }

    const std::string archive_sign_file = signature_file_path(options_.task_id, ".archive.sign");
    const std::string snapshot_sign_file = signature_file_path(options_.task_id, ".snapshot.sign");
    if (!write_esign(archive_sign, archive_sign_file)) return false;
    ZvLogStream(ZvLogLvl::Debug) << "Create e-sign " << archive_sign_file << std::endl;
    if (!write_esign(snapshot_sign, snapshot_sign_file)) {
        remove_signature_file(archive_sign_file);
        return false;
    }
    ZvLogStream(ZvLogLvl::Debug) << "Create e-sign " << snapshot_sign_file << std::endl;

    // Both checks run whatever the first one says.
    const bool archive_trusted = check_filename_by_esing(options_.key_file, options_.sign_hash,
                                                         archive_sign_file, archive.name, false);
    const bool snapshot_trusted = check_filename_by_esing(
        options_.key_file, options_.sign_hash, snapshot_sign_file, options_.meta_file, true);

    remove_signature_file(archive_sign_file);
    remove_signature_file(snapshot_sign_file);

    std::cout << "VERIFICATION RESULT:"
              << (archive_trusted && snapshot_trusted ? "Trusted" : "Wrong status") << std::endl;
    return true;
}

bool ZvModuleUniversal::parse_esign_json(const std::string& json, std::string& archive_name,
                                         std::string& archive_sign, std::string& snapshot_sign) {
    try {
        boost::system::error_code error;
        const json::value value = json::parse(json, error);
        if (error) {
            ZvLogStream(ZvLogLvl::Error) << parse_signature << ": " << error.message() << std::endl;
            return false;
        }
        if (!value.is_object()) {
            ZvLogStream(ZvLogLvl::Error)
                << parse_signature << ": json value is not an object" << std::endl;
            return false;
        }
        const json::object& object = value.get_object();
        if (object.empty()) {
            ZvLogStream(ZvLogLvl::Error)
                << parse_signature << ": json object value is empty" << std::endl;
            return false;
        }
        for (const auto& member : object) {
            const std::string key = without_quotes(json::serialize(json::string(member.key())));
            const std::string text = without_quotes(json::serialize(member.value()));
            if (key == "archive_name")
                archive_name = text;
            else if (key == "archive_sign")
                archive_sign = text;
            else if (key == "snapshot_sign")
                snapshot_sign = text;
        }
        return true;
    } catch (const std::bad_alloc& e) {
        ZvLogStream(ZvLogLvl::Error)
            << parse_signature << ": json parsing failed: " << e.what() << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << parse_signature << ": " << e.what() << std::endl;
    }
    return false;
}

bool ZvModuleUniversal::write_esign(const std::string& hex, const std::string& path) {
    try {
        std::string bytes;
        for (std::string::size_type at = 0; at + 2 <= hex.size(); at += 2) {
            std::istringstream pair(hex.substr(at, 2));
            int number = 0;
            if (pair >> std::hex >> number) bytes += static_cast<char>(number & 0xff);
        }
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        if (!file) {
            ZvLogStream(ZvLogLvl::Error)
                << write_signature << ": can't create: " << path << std::endl;
            return false;
        }
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            ZvLogStream(ZvLogLvl::Error)
                << write_signature << ": can't write: " << path << std::endl;
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << write_signature << ": " << e.what() << std::endl;
    }
    return false;
}

bool ZvModuleUniversal::check_filename_by_esing(const std::string& key, const std::string& hash,
                                                const std::string& signature_file,
                                                const std::string& file, bool is_meta) {
    try {
        ZvLogStream(ZvLogLvl::Debug) << "Verify the file: " << file << " by e-sing located in "
                                     << signature_file << ", public key: " << key << std::endl;
        std::string command;
        if (is_meta) {
            const std::string digest = boost::algorithm::to_lower_copy(hash);
            if (!is_known_hash(digest)) {
                ZvLogStream(ZvLogLvl::Error)
                    << check_signature << ": unknown signature hash "
                    << zelvor::as_quoted(hash, '"', '\\')
                    << ", give --sign_hash a digest name such as sha256" << std::endl;
                ZvLogStream(ZvLogLvl::Error)
                    << ": Verification of: '" << file << "': [ failed ]" << std::endl;
                return false;
            }
            command = zv_utils_common::shell_command(
                openssl_program,
                {"dgst", "-signature", signature_file, "-" + digest, "-verify", key, file});
        } else {
            command = zv_utils_common::shell_command(
                zvfd_program, {"-n", file, "-g", signature_file, "--verify", "--public-key", key});
        }
        std::string output;
        if (zv_utils_common::execute_command(command, output) == 0) {
            ZvLogStream(ZvLogLvl::Info) << "Verification of: '" << file << "': [ ok ]" << std::endl;
            return true;
        }
        ZvLogStream(ZvLogLvl::Error)
            << ": Verification of: '" << file << "': [ failed ]" << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << check_signature << ": " << e.what() << std::endl;
    }
    return false;
}
