// Log line composition, destination choice and the size-rotated log file.
#include "common/zv_logger.h"

#include "common/zv_utils_common.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim_all.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
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

namespace {

std::atomic<int> signal_depth{0};
std::atomic<long> utc_offset_seconds{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free,
              "read and written by signal handlers");

// Local calendar time from the recorded offset, without localtime's time-zone lock
// (days to civil date after H. Hinnant's algorithm, proleptic Gregorian).
void local_time_without_lock(std::time_t now, std::tm& out) {
    long long seconds = static_cast<long long>(now) + utc_offset_seconds.load();
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long day_of_era = days - era * 146097;
    const long long year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long month_index = (5 * day_of_year + 2) / 153;
    const long long month = month_index < 10 ? month_index + 3 : month_index - 9;
    out = std::tm{};
    out.tm_year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0) - 1900);
    out.tm_mon = static_cast<int>(month - 1);
    out.tm_mday = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
    out.tm_hour = static_cast<int>(rest / 3600);
    out.tm_min = static_cast<int>(rest / 60 % 60);
    out.tm_sec = static_cast<int>(rest % 60);
    out.tm_isdst = -1;
}

}  // namespace

SignalContext::SignalContext() { ++signal_depth; }
SignalContext::~SignalContext() { --signal_depth; }
bool SignalContext::active() { return signal_depth.load() > 0; }

void SignalContext::note_time_zone() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) utc_offset_seconds = local.tm_gmtoff;
}

int ZvLogger::write_log(const std::string& text) {
    const bool in_handler = SignalContext::active();
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    // A mutex found busy by a handler is held by the very code the handler
    // interrupted: waiting for it would never end, so the line goes out regardless.
    if (in_handler)
        (void)lock.try_lock();
    else
        lock.lock();
    if (!time_stamp_) return write_log_impl(text);
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (in_handler) {
        local_time_without_lock(now, local);
    } else {
        localtime_r(&now, &local);
        utc_offset_seconds = local.tm_gmtoff;
    }
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
    // Rotation reads the local time through the C library's locks; a handler's few
    // lines may go past the size limit instead.
    if (!SignalContext::active() && boost::filesystem::is_regular_file(path_, ec) &&
        is_file_max_size_reached()) {
        int status = log_rotate();
        if (status != 0) return status;
    }
    // Only a regular file takes the lines: a FIFO without a reader would hold the
    // run (and its termination) for ever, a device would swallow them.
    std::string error;
    const int fd = zv_utils_common::open_regular_file(path_, O_WRONLY | O_APPEND | O_CREAT, error);
    if (fd < 0) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true)) {
            const std::string message =
                "Error: the log file '" + path_ + "' is not written: " + error + "\n";
            if (::write(STDERR_FILENO, message.data(), message.size()) < 0) return 1;
        }
        return 1;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    ::close(fd);
    return left == 0 ? 0 : 1;
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
