// The logger configuration file: read on the first log line of a process, and
// written with the defaults when it is missing or lacks a key. Its warnings go to
// standard error, since the logger they are about is not set up yet.
#include "common/config_file.h"
#include "common/zv_logger.h"

#include <boost/algorithm/string/trim_all.hpp>

#include <cinttypes>
#include <cstdlib>
#include <iostream>

namespace {
const char* const logger_config_path = "/opt/zelvor/etc/zv_logger.config";

unsigned long to_unsigned(const std::string& text) {
    return static_cast<unsigned long>(std::strtoumax(text.c_str(), nullptr, 10));
}
}  // namespace

bool ZvLogStream::load_properties() {
    try {
        zv_config::ConfigFile config(logger_config_path);
        // Everything is read before anything is applied: a missing key changes nothing.
        const std::string level_text = config["log_level"];
        const std::string max_size = config["log_file_max_size"];
        const std::string max_rotate = config["log_file_max_rotate"];

        ZvLogLvl::Level level = ZvLogLvl::Info;
        ZvLogLvl::from_string(boost::algorithm::trim_all_copy(level_text), level);
        global_log_level_ = ZvLogLvl::get_mask(level);
        ZvDestination::FileLogger::set_max_size(to_unsigned(max_size));
        ZvDestination::FileLogger::set_max_rotate(to_unsigned(max_rotate));
        return true;
    } catch (const zv_config::VariableAbsentException& e) {
        std::cerr << "Warning: ZvLogStream config variable is absent: " << e.what() << std::endl;
    } catch (const zv_config::WrongConfigException& e) {
        std::cerr << "Warning: ZvLogStream config file is absent: " << e.what() << std::endl;
    }
    return false;
}

void ZvLogStream::set_properties(ZvLogLvl::Level level, unsigned long max_size_mb,
                                 unsigned long max_rotate) {
    global_log_level_ = ZvLogLvl::get_mask(level);
    ZvDestination::FileLogger::set_max_size(max_size_mb);
    ZvDestination::FileLogger::set_max_rotate(max_rotate);

    zv_config::ConfigFile config;
    config.addComment("Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4");
    config.addVariable("log_level", ZvLogLvl::to_string(level));
    config.addComment("Maximum size of log file in Mb");
    config.addVariable("log_file_max_size", std::to_string(max_size_mb));
    config.addComment("Number of stored log file rotations, log file itself is not included");
    config.addVariable("log_file_max_rotate", std::to_string(max_rotate));
    // Without a writable configuration directory the defaults simply apply again
    // at the next start.
    config.save(logger_config_path);
}
