// The logger configuration file: read on the first log line of a process. A missing
// file is written with the defaults; a file that lacks keys keeps every line the
// administrator wrote and only gets the missing keys added. Its warnings go to
// standard error, since the logger they are about is not set up yet.
#include "common/config_file.h"
#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/algorithm/string/trim_all.hpp>

#include <cinttypes>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {
const char* const logger_config_path = "/opt/zelvor/etc/zv_logger.config";
constexpr std::size_t largest_logger_config = 1024 * 1024;

struct Key {
    const char* name;
    const char* comment;
    const char* default_value;
};

// In file order, with the comment written above each key.
const Key keys[] = {
    {"log_level", "Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4",
     "Info"},
    {"log_file_max_size", "Maximum size of log file in Mb", "1"},
    {"log_file_max_rotate", "Number of stored log file rotations, log file itself is not included",
     "10"},
};

unsigned long to_unsigned(const std::string& text) {
    return static_cast<unsigned long>(std::strtoumax(text.c_str(), nullptr, 10));
}

void apply(const std::string& level_text, const std::string& max_size,
           const std::string& max_rotate, unsigned& global_level) {
    ZvLogLvl::Level level = ZvLogLvl::Info;
    ZvLogLvl::from_string(boost::algorithm::trim_all_copy(level_text), level);
    global_level = ZvLogLvl::get_mask(level);
    ZvDestination::FileLogger::set_max_size(to_unsigned(max_size));
    ZvDestination::FileLogger::set_max_rotate(to_unsigned(max_rotate));
}

// The administrator's text stays byte for byte; the missing keys follow it.
void add_missing_keys(const std::vector<const Key*>& missing) {
    std::string text, error;
    if (!zv_utils_common::read_regular_file(logger_config_path, text, error, largest_logger_config))
        return;
    if (!text.empty() && text.back() != '\n') text += '\n';
    for (const Key* key : missing)
        text += std::string(1, zv_config::commentSign) + key->comment + "\n" + key->name + " " +
                key->default_value + "\n";
    // Without a writable configuration directory the same keys are added at the
    // next start.
    zv_config::replace_file(logger_config_path, text);
}

}  // namespace

bool ZvLogStream::load_properties() {
    zv_config::ConfigFile config;
    try {
        config.load(logger_config_path);
    } catch (const zv_config::WrongConfigException& e) {
        std::string reason;
        if (zv_utils_common::is_regular_file_or_absent(logger_config_path, reason)) {
            std::cerr << "Warning: ZvLogStream config file is absent: " << e.what() << std::endl;
            return false;
        }
        // Something else stands at the path (a FIFO, a device, a directory): it is
        // neither read nor replaced.
        std::cerr << "Warning: ZvLogStream config file is not used, the defaults apply: "
                  << e.what() << std::endl;
        apply(keys[0].default_value, keys[1].default_value, keys[2].default_value,
              global_log_level_);
        return true;
    }

    std::string values[3];
    std::vector<const Key*> missing;
    for (std::size_t i = 0; i < 3; ++i) {
        if (config.variableExists(keys[i].name)) {
            values[i] = config[keys[i].name];
        } else {
            std::cerr << "Warning: ZvLogStream config variable is absent: " << keys[i].name
                      << std::endl;
            values[i] = keys[i].default_value;
            missing.push_back(&keys[i]);
        }
    }
    // What this start applies is what the completed file holds for the next one.
    apply(values[0], values[1], values[2], global_log_level_);
    if (!missing.empty()) add_missing_keys(missing);
    return true;
}

void ZvLogStream::set_properties(ZvLogLvl::Level level, unsigned long max_size_mb,
                                 unsigned long max_rotate) {
    global_log_level_ = ZvLogLvl::get_mask(level);
    ZvDestination::FileLogger::set_max_size(max_size_mb);
    ZvDestination::FileLogger::set_max_rotate(max_rotate);

    const std::string values[3] = {ZvLogLvl::to_string(level), std::to_string(max_size_mb),
                                   std::to_string(max_rotate)};
    zv_config::ConfigFile config;
    for (std::size_t i = 0; i < 3; ++i) {
        config.addComment(keys[i].comment);
        config.addVariable(keys[i].name, values[i]);
    }
    // Without a writable configuration directory the defaults simply apply again
    // at the next start.
    config.save(logger_config_path);
}
