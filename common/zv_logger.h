// Leveled log lines for every subsystem: a ZvLogStream collects one line and
// emits it, when destroyed, to the destinations chosen for its level.
// Usage: ZvLogStream(ZvLogLvl::Error) << "text " << value << std::endl;
#pragma once

#include <boost/filesystem/path.hpp>

#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace ZvLogLvl {

enum Level : unsigned {
    Error = 0x1,
    Warning = 0x2,
    Info = 0x4,
    Debug = 0x8,
    Debug1 = 0x10,
    Debug2 = 0x20,
    Debug3 = 0x40,
    Debug4 = 0x80,
    FuncBase = 0x100,
    FuncDetail = 0x200,
    FuncCycle = 0x400,
    FuncAny = 0x800,
    Measure = 0x10000,
    SqlReq = 0x20000,
};

enum MaskLevel : unsigned {
    ErrorMask = 0x1,
    WarningMask = 0x3,
    InfoMask = 0x7,
    DebugMask = 0xf,
    Debug1Mask = 0x1f,
    Debug2Mask = 0x3f,
    Debug3Mask = 0x7f,
    Debug4Mask = 0xff,
    FuncAll = 0xf00,
};

// Value-to-name table; the first name given to a value wins.
extern const std::map<unsigned, std::string> log_levels_info_;

unsigned get_mask(Level level);
std::string to_string(Level level);

template <typename L>
bool from_string(const std::string& text, L& level) {
    for (const auto& entry : log_levels_info_) {
        if (entry.second == text) {
            level = static_cast<L>(entry.first);
            return true;
        }
    }
    return false;
}

}  // namespace ZvLogLvl

namespace ZvDestination {

class ZvLogger {
public:
    ZvLogger() = default;
    ZvLogger(const ZvLogger&) = delete;
    ZvLogger& operator=(const ZvLogger&) = delete;
    virtual ~ZvLogger() = default;

    // Time-stamps the text and writes it while holding this destination's mutex.
    int write_log(const std::string& text);

protected:
    virtual int write_log_impl(const std::string& text) = 0;

private:
    std::mutex mutex_;
    bool time_stamp_ = true;
};

class StdoutLogger : public ZvLogger {
protected:
    int write_log_impl(const std::string& text) override;
};

class FileLogger : public ZvLogger {
public:
    explicit FileLogger(std::string path);

    static void set_max_size(unsigned long megabytes);
    static void set_max_rotate(unsigned long count);
    static unsigned long long max_size();
    static unsigned long long max_rotate();

    // Rotated copies of the log file in a directory, by last-write time.
    static std::multimap<std::time_t, boost::filesystem::path> get_files_by_mask(
        const boost::filesystem::path& directory, const std::string& mask);

protected:
    int write_log_impl(const std::string& text) override;

private:
    bool is_file_max_size_reached() const;
    int log_rotate();

    std::string path_;
    static unsigned long long max_size_;
    static unsigned long long max_rotate_;
};

std::unique_ptr<ZvLogger> Stdout();
std::unique_ptr<ZvLogger> File(const std::string& path);

// Marks the time a signal handler writes log lines (termination clean-up, pause,
// continue). The interrupted code may be inside a destination's write or inside
// localtime, and cannot go on before the handler returns: meanwhile a line does not
// wait for a busy destination mutex, its time stamp takes no C library lock, and the
// log file is not rotated. The program is single-threaded, so nothing else writes.
class SignalContext {
public:
    SignalContext();
    ~SignalContext();
    SignalContext(const SignalContext&) = delete;
    SignalContext& operator=(const SignalContext&) = delete;

    static bool active();
    // Records the local time zone's offset for the stamps written in a handler; each
    // ordinary line records it too.
    static void note_time_zone();
};

}  // namespace ZvDestination

constexpr unsigned long long operator"" _KB(unsigned long long n) { return n << 10; }
constexpr unsigned long long operator"" _MB(unsigned long long n) { return n * 1024_KB; }

std::ostream& zv_unicout();

class ZvLogStream {
public:
    using Destinations = std::vector<std::unique_ptr<ZvDestination::ZvLogger>>;

    template <typename L, typename... D>
    explicit ZvLogStream(L level, D&&... destinations)
        : level_(static_cast<ZvLogLvl::Level>(level)) {
        (own_.push_back(std::forward<D>(destinations)), ...);
        begin_line();
    }
    ZvLogStream(const ZvLogStream&) = delete;
    ZvLogStream& operator=(const ZvLogStream&) = delete;
    ~ZvLogStream();

    template <typename T>
    ZvLogStream& operator<<(T&& value) {
        if constexpr (std::is_same_v<std::decay_t<T>, std::string>) {
            // Only the characters before the first NUL arrive.
            text_ << value.c_str();
        } else {
            text_ << std::forward<T>(value);
        }
        return *this;
    }
    ZvLogStream& operator<<(std::ostream& (*manip)(std::ostream&)) {
        manip(text_);
        return *this;
    }
    ZvLogStream& operator<<(std::ios_base& (*manip)(std::ios_base&)) {
        manip(text_);
        return *this;
    }

    template <typename... D>
    static void set_default_loggers(D&&... destinations) {
        Destinations list;
        (list.push_back(std::forward<D>(destinations)), ...);
        default_loggers_ = std::move(list);
    }

    template <typename K, typename... D>
    static void set_log_level_logger(K key, D&&... destinations) {
        Destinations list;
        (list.push_back(std::forward<D>(destinations)), ...);
        log_level_mask_default_loggers_[static_cast<ZvLogLvl::MaskLevel>(key)] = std::move(list);
    }

    // Read and apply the logger configuration file; see zv_logger_config.cpp. False
    // only when there is no file: the caller then writes one with set_properties.
    // Missing keys take their defaults and are added to the file.
    static bool load_properties();
    static void set_properties(ZvLogLvl::Level level, unsigned long max_size_mb,
                               unsigned long max_rotate);

    static unsigned global_log_level_;
    static bool m_logging_enabled;
    static bool read_config_;
    static std::string tag_;

    // Composes what one destination receives for a line of the given level.
    static std::string compose(ZvLogLvl::Level level, const std::string& text);

private:
    void begin_line();

    std::stringstream text_;
    ZvLogLvl::Level level_;
    Destinations own_;

    static Destinations default_loggers_;
    static std::map<ZvLogLvl::MaskLevel, Destinations> log_level_mask_default_loggers_;
};
