// The module-parameter string of option -e: "key:value" pieces joined by ",".
// Framework keys set members; every other key goes to special_params for the
// module. Values that end up on the archiver's command line are checked here so a
// value the archiver cannot take refuses the start instead of reaching a shell.
#include "modules_common/zv_modules_common.h"

#include "common/config_file.h"
#include "common/zv_logger.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cctype>

namespace {

const char* const param_signature = "void ZvModuleUniversal::parce_param_string()";
constexpr int default_os_snapshot_size = 10;

bool is_true(const std::string& value) { return value == "t" || value == "true"; }

// Names and values the archiver takes are plain words: letters, digits and a few
// punctuation marks that mean nothing to a shell or to the archiver's own
// "key:value,key:value" flag list.
bool is_archiver_word(const std::string& value, const std::string& extra) {
    return !value.empty() && std::all_of(value.begin(), value.end(), [&](unsigned char c) {
        return std::isalnum(c) || extra.find(static_cast<char>(c)) != std::string::npos;
    });
}

bool refuse(const std::string& key, const std::string& value, const std::string& reason) {
    ZvLogStream(ZvLogLvl::Error) << param_signature << ": wrong value of " << key << ": "
                                 << zelvor::as_quoted_single(value) << ", " << reason
                                 << std::endl;
    return false;
}

bool names_regular_file(const std::string& path) {
    boost::system::error_code error;
    return boost::filesystem::is_regular_file(path, error) && !error;
}

}  // namespace

void ZvModuleUniversal::init_zvfd_flags() {
    zvfd_flag_names = {"worker_parallelism", "network_parallelism", "enable_multithreading",
                       "enable_flexible_dedup"};
}

bool ZvModuleUniversal::parce_param_string() {
    std::vector<std::string> pieces;
    boost::split(pieces, options_.module_params, boost::is_any_of(","));
    for (const auto& piece : pieces) {
        if (piece.empty()) continue;
        const auto colon = piece.find(':');
        if (colon == std::string::npos || colon + 1 == piece.size()) {
            ZvLogStream(ZvLogLvl::Warning) << param_signature << ": Separator ':' is not found in string: "
                                           << piece << "\n" << std::endl;
            continue;
        }
        const std::string key = piece.substr(0, colon);
        const std::string value = piece.substr(colon + 1);

        if (key == "zvd_hash_algorithm") {
            if (!is_archiver_word(value, "-_"))
                return refuse(key, value,
                              "a hash algorithm name has only letters, digits, '-' and '_'");
            hash_algorithm = value;
        } else if (key == "zvd_hash_length" || key == "zvd_block_size") {
            // The archiver takes these as unsigned sizes: zero or a negative number
            // would reach it as a huge one. A numeric beginning counts ("512k" is 512).
            int number = 0;
            try {
                number = std::stoi(value);
            } catch (const std::exception&) {
                number = 0;
            }
            if (number < 1)
                return refuse(key, value, "it must be a positive number (at most 2147483647)");
            // The block sizes the archiver both backs up and restores.
            if (key == "zvd_block_size" && (number < 512 || number > 16777216))
                return refuse(key, value, "a block size lies between 512 and 16777216 bytes");
            (key == "zvd_hash_length" ? hash_length : block_size) = number;
        } else if (std::find(zvfd_flag_names.begin(), zvfd_flag_names.end(), key) !=
                   zvfd_flag_names.end()) {
            if (!is_archiver_word(value, "-_."))
                return refuse(key, value,
                              "an archiver flag value has only letters, digits, '-', '_' and '.'");
            zvfd_flags[key] = value;
        } else if (key == "termination_timeout") {
            // Plain digits only: a sign or a unit would be read as another number.
            if (value.size() > 10 || value.find_first_not_of("0123456789") != std::string::npos ||
                std::stoull(value) > 4294967295ULL)
                return refuse(key, value, "it must be a whole number of seconds from 0 to 4294967295");
            ZvModuleSignalHandler::set_termination_limit(static_cast<unsigned>(std::stoull(value)));
        } else if (key == "file_list") {
            file_list = is_true(value);
        } else if (key == "numeric_owner") {
            numeric_owner = is_true(value);
        } else if (key == "last") {
            last = value == "true";
        } else if (key == "tmp_catalog") {
            tmp_catalog = value;
        } else if (key == "without_deployment_restore") {
            if (value == "yes") without_deployment_restore = true;
        } else if (key == "use_snapshot") {
            if (is_true(value)) use_os_snapshot = true;
        } else if (key == "ignore_errors_snapshot") {
            if (value == "f" || value == "false") ignore_errors_snapshot = false;
        } else if (key == "snapshot_type") {
            if (value == "lvm" || value == "dattobd") {
                os_snapshot_type = value;
            } else {
                ZvLogStream(ZvLogLvl::Warning) << "Wrong value of " << "snapshot_type"
                                               << ", ignore..." << std::endl;
            }
        } else if (key == "snapshot_size" || key == "lvm_snapshot_size") {
            int size = 0;
            try {
                size = std::stoi(value);
            } catch (const std::exception&) {
                ZvLogStream(ZvLogLvl::Error) << param_signature << ": can't convert " << value
                                             << " to int" << std::endl;
                continue;
            }
            if (size < 1) {
                ZvLogStream(ZvLogLvl::Warning)
                    << "Wrong OS snaphot size: " << size
                    << ", set to default value: " << default_os_snapshot_size << "%" << std::endl;
                size = default_os_snapshot_size;
            }
            os_snapshot_size = size;
            if (key == "lvm_snapshot_size") {
                use_os_snapshot = true;
                os_snapshot_type = "lvm";
            }
        } else {
            if (key == "script_before_snapshot" && names_regular_file(value))
                before_snapshot_script = value;
            else if (key == "script_after_snapshot" && names_regular_file(value))
                after_snapshot_script = value;
            else if (key == "script_error_snapshot" && names_regular_file(value))
                error_snapshot_script = value;
            special_params.emplace(key, value);  // the first occurrence stays
        }
    }
    load_custom_module_parameters();
    return true;
}

bool ZvModuleUniversal::find_special_param(const std::string& key, std::string& value) const {
    const auto found = special_params.find(key);
    if (found == special_params.end()) return false;
    value = found->second;
    return !value.empty();
}

bool ZvModuleUniversal::has_special_param_passed_from_client(const std::string& key) const {
    return special_params.count(key) != 0;
}
