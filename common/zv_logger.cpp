// Log line composition, destination choice and the size-rotated log file.
#include "common/zv_logger.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim_all.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

#include <unistd.h>

#include <array>
#include <fstream>
#include <iostream>

namespace ZvLogLvl {
namespace {

std::map<unsigned, std::string> build_name_table() {
    static const std::array<unsigned, 23> values = {
        Error,      Warning,    Info,      Debug,      Debug1,      Debug2,
        Debug3,     Debug4,     FuncBase,  FuncDetail, FuncCycle,   FuncAny,
        Measure,    SqlReq,     ErrorMask, WarningMask, InfoMask,   DebugMask,
        Debug1Mask, Debug2Mask, Debug3Mask, Debug4Mask, FuncAll};
    const std::string names =
        "Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4, FuncBase, FuncDetail, "
        "FuncCycle, FuncAny, Measure, SqlReq, ErrorMask, WarningMask, InfoMask, DebugMask, "
        "Debug1Mask, Debug2Mask, Debug3Mask, Debug4Mask, FuncAll";
    std::vector<std::string> words;
    boost::split(words, names, boost::is_space(), boost::token_compress_on);
    std::map<unsigned, std::string> table;
    for (std::size_t i = 0; i < words.size() && i < values.size(); ++i) {
        boost::erase_all(words[i], ",");
        table.emplace(values[i], words[i]);  // first name of a value wins
    }
    return table;
}

constexpr std::array<unsigned, 14> single_levels = {
    Error,  Warning,  Info,       Debug,     Debug1,  Debug2,  Debug3,
    Debug4, FuncBase, FuncDetail, FuncCycle, FuncAny, Measure, SqlReq};

}  // namespace

const std::map<unsigned, std::string> log_levels_info_ = build_name_table();

unsigned get_mask(Level level) {
    bool single = false;
    for (unsigned l : single_levels) single = single || l == level;
    if (!single) return level;
    for (unsigned mask : {0x1u, 0x3u, 0x7u, 0xfu, 0x1fu, 0x3fu, 0x7fu, 0xffu, 0xf00u}) {
        if (mask & level) return mask;
    }
    return level;
}

std::string to_string(Level level) {
    auto it = log_levels_info_.find(level);
    return it == log_levels_info_.end() ? "Unknown" : it->second;
}

}  // namespace ZvLogLvl

std::ostream& zv_unicout() { return std::cout; }

namespace ZvDestination {

int ZvLogger::write_log(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!time_stamp_) return write_log_impl(text);
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %X", &local);
    return write_log_impl(std::string("[") + stamp + "] " + text);
}

int StdoutLogger::write_log_impl(const std::string& text) {
    zv_unicout() << text;
    zv_unicout().flush();
    return 0;
}

unsigned long long FileLogger::max_size_ = 1_MB;
unsigned long long FileLogger::max_rotate_ = 10;

FileLogger::FileLogger(std::string path) : path_(std::move(path)) {}

void FileLogger::set_max_size(unsigned long megabytes) { max_size_ = megabytes * 1_MB; }
void FileLogger::set_max_rotate(unsigned long count) { max_rotate_ = count; }
unsigned long long FileLogger::max_size() { return max_size_; }
unsigned long long FileLogger::max_rotate() { return max_rotate_; }

bool FileLogger::is_file_max_size_reached() const {
    boost::system::error_code ec;
    auto size = boost::filesystem::file_size(path_, ec);
    return !ec && size > max_size_;
}

int FileLogger::write_log_impl(const std::string& text) {
    boost::system::error_code ec;
    if (boost::filesystem::exists(path_, ec) && is_file_max_size_reached()) {
        int status = log_rotate();
        if (status != 0) return status;
    }
    std::ofstream out(path_, std::ios::app | std::ios::binary);
    if (!out) return 1;
    out << text;
    out.close();
    return 0;
}

int FileLogger::log_rotate() {
    namespace fs = boost::filesystem;
    const auto now = boost::posix_time::second_clock::local_time();
    const auto date = now.date();
    const auto time = now.time_of_day();
    const std::string rotated = path_ + "." + std::to_string(int(date.year())) + "-" +
                                std::to_string(int(date.month())) + "-" +
                                std::to_string(int(date.day())) + "H" +
                                std::to_string(time.hours()) + "-" +
                                std::to_string(time.minutes()) + "-" +
                                std::to_string(time.seconds());
    boost::system::error_code ec;
    fs::rename(path_, rotated, ec);
    if (ec) return ec.value() != 0 ? ec.value() : 1;

    // The log file's own name is matched literally: a name with "." or "+" must
    // not match other files, nor make the pattern invalid.
    const fs::path log_path(path_);
    const std::string mask = boost::regex_replace(
                                 log_path.filename().string(),
                                 boost::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\\$&)",
                                 boost::match_default | boost::format_perl) +
                             R"(\.[0-9]+\-[0-9]+\-[0-9]+H[0-9]+\-[0-9]+\-[0-9]+)";
    try {
        const auto files = get_files_by_mask(log_path.parent_path(), mask);
        if (files.size() > max_rotate_) {
            unsigned long long kept = 0;
            for (auto it = files.rbegin(); it != files.rend(); ++it) {
                if (kept < max_rotate_) {
                    ++kept;
                    continue;
                }
                fs::remove(it->second, ec);
            }
        }
    } catch (const std::exception&) {
        // Listing old rotations is housekeeping; the line itself must still be written.
    }
    return 0;
}

std::multimap<std::time_t, boost::filesystem::path> FileLogger::get_files_by_mask(
    const boost::filesystem::path& directory, const std::string& mask) {
    namespace fs = boost::filesystem;
    std::multimap<std::time_t, fs::path> files;
    boost::system::error_code ec;
    const fs::path dir = directory.empty() ? fs::path(".") : directory;
    if (!fs::is_directory(dir, ec)) return files;
    const boost::regex pattern(mask);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!fs::is_regular_file(it->path(), ec)) continue;
        if (!boost::regex_match(it->path().filename().string(), pattern)) continue;
        const std::time_t written = fs::last_write_time(it->path(), ec);
        if (ec) continue;
        files.emplace(written, it->path());
    }
    return files;
}

std::unique_ptr<ZvLogger> Stdout() { return std::make_unique<StdoutLogger>(); }
std::unique_ptr<ZvLogger> File(const std::string& path) {
    return std::make_unique<FileLogger>(path);
}

}  // namespace ZvDestination

unsigned ZvLogStream::global_log_level_ = ZvLogLvl::InfoMask;
bool ZvLogStream::m_logging_enabled = true;
bool ZvLogStream::read_config_ = true;
std::string ZvLogStream::tag_;
ZvLogStream::Destinations ZvLogStream::default_loggers_;
std::map<ZvLogLvl::MaskLevel, ZvLogStream::Destinations>
    ZvLogStream::log_level_mask_default_loggers_;

void ZvLogStream::begin_line() {
    if (read_config_) {
        if (!load_properties()) set_properties(ZvLogLvl::Info, 1, 10);
        read_config_ = false;
    }
    if (!tag_.empty()) text_ << tag_ << "[" << getpid() << "] ";
    text_ << ZvLogLvl::to_string(level_) << ": ";
}

std::string ZvLogStream::compose(ZvLogLvl::Level level, const std::string& text) {
    const char* colour = nullptr;
    switch (static_cast<unsigned>(level)) {
        case ZvLogLvl::Error: colour = "\x1b[1;31m"; break;
        case ZvLogLvl::Warning: colour = "\x1b[1;33m"; break;
        case ZvLogLvl::Debug: colour = "\x1b[1;97m"; break;
        default: return text;
    }
    static const std::string reset = " \x1b[0m";
    std::string body = boost::algorithm::trim_all_copy(text, std::locale::classic());
    boost::replace_all(body, "\n", reset + "\n" + colour);
    return colour + body + reset + "\n";
}

ZvLogStream::~ZvLogStream() {
    if (!(level_ & global_log_level_) || !m_logging_enabled) return;

    bool use_defaults = true;
    auto first = log_level_mask_default_loggers_.end();
    for (auto it = log_level_mask_default_loggers_.begin();
         it != log_level_mask_default_loggers_.end(); ++it) {
        if (it->first & level_) {
            first = it;
            if (!it->second.empty()) use_defaults = false;
            break;
        }
    }
    if (own_.empty() && default_loggers_.empty() && use_defaults) {
        own_.push_back(ZvDestination::Stdout());
    }

    const std::string text = text_.str();
    auto write_all = [&](const Destinations& list) {
        for (const auto& destination : list) destination->write_log(compose(level_, text));
    };
    if (!own_.empty()) {
        write_all(own_);
    } else if (use_defaults) {
        write_all(default_loggers_);
    } else {
        for (auto it = first; it != log_level_mask_default_loggers_.end(); ++it) {
            if ((it->first & level_) && !it->second.empty()) write_all(it->second);
        }
    }
}
