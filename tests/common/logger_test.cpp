// The log line: level names and masks, filtering, colours and white space, the
// choice of destinations, and the size-rotated log file.
#include "common/zv_logger.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using ZvLogLvl::Level;

namespace {

// A destination that keeps what it was given, time stamp removed.
class Capture : public ZvDestination::ZvLogger {
public:
    explicit Capture(std::shared_ptr<std::vector<std::string>> sink) : sink_(std::move(sink)) {}

protected:
    int write_log_impl(const std::string& text) override {
        static const std::regex stamp(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
        EXPECT_TRUE(std::regex_search(text, stamp)) << text;
        sink_->push_back(std::regex_replace(text, stamp, ""));
        return 0;
    }

private:
    std::shared_ptr<std::vector<std::string>> sink_;
};

using Sink = std::shared_ptr<std::vector<std::string>>;
Sink make_sink() { return std::make_shared<std::vector<std::string>>(); }
std::unique_ptr<ZvDestination::ZvLogger> capture(const Sink& sink) {
    return std::make_unique<Capture>(sink);
}

const unsigned used_keys[] = {0x1, 0x3, 0x7, 0xf};

// Every test starts with nothing installed, the default mask and file settings, and
// the configuration file already "read", so no test touches /opt/zelvor.
class LoggerTest : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        ZvLogStream::read_config_ = false;
        ZvLogStream::global_log_level_ = ZvLogLvl::InfoMask;
        ZvLogStream::set_default_loggers();
        for (unsigned key : used_keys) ZvLogStream::set_log_level_logger(key);
        ZvDestination::FileLogger::set_max_size(1);
        ZvDestination::FileLogger::set_max_rotate(10);
    }
};

const std::string red = "\x1b[1;31m";
const std::string yellow = "\x1b[1;33m";
const std::string white = "\x1b[1;97m";
const std::string reset_seq = " \x1b[0m";

TEST(LogLevels, NamesMasksAndLookups) {
    struct Name {
        unsigned value;
        const char* name;
    };
    const Name names[] = {{0x1, "Error"},      {0x2, "Warning"},   {0x4, "Info"},
                          {0x8, "Debug"},      {0x80, "Debug4"},   {0x800, "FuncAny"},
                          {0x10000, "Measure"}, {0x20000, "SqlReq"}, {0x3, "WarningMask"},
                          {0x7, "InfoMask"},   {0x7f, "Debug3Mask"}, {0xff, "Debug4Mask"},
                          {0xf00, "FuncAll"},  {0x5, "Unknown"},   {0x0, "Unknown"}};
    for (const auto& n : names)
        EXPECT_EQ(ZvLogLvl::to_string(static_cast<Level>(n.value)), n.name) << n.value;

    struct Lookup {
        const char* text;
        bool found;
        unsigned value;
    };
    const Lookup lookups[] = {{"Error", true, 0x1},        {"Debug3Mask", true, 0x7f},
                              {"FuncAll", true, 0xf00},    {"SqlReq", true, 0x20000},
                              {"ErrorMask", false, 0},     {"info", false, 0},
                              {"Info ", false, 0},         {"", false, 0}};
    for (const auto& l : lookups) {
        Level level = static_cast<Level>(0x4242);
        EXPECT_EQ(ZvLogLvl::from_string(l.text, level), l.found) << l.text;
        EXPECT_EQ(static_cast<unsigned>(level), l.found ? l.value : 0x4242u) << l.text;
    }

    struct Mask {
        unsigned level;
        unsigned mask;
    };
    const Mask masks[] = {{0x1, 0x1},   {0x2, 0x3},         {0x4, 0x7},         {0x8, 0xf},
                          {0x10, 0x1f}, {0x20, 0x3f},       {0x40, 0x7f},       {0x80, 0xff},
                          {0x100, 0xf00}, {0x400, 0xf00},   {0x800, 0xf00},     {0x10000, 0x10000},
                          {0x20000, 0x20000}, {0x7, 0x7},   {0x6, 0x6},         {0x0, 0x0}};
    for (const auto& m : masks)
        EXPECT_EQ(ZvLogLvl::get_mask(static_cast<Level>(m.level)), m.mask) << m.level;

    static_assert(1_KB == 1024 && 3_KB == 3072 && 1_MB == 1048576 && 5_MB == 5 * 1048576);
    ZvDestination::FileLogger::set_max_size(7);
    EXPECT_EQ(ZvDestination::FileLogger::max_size(), 7 * 1048576ull);
    ZvDestination::FileLogger::set_max_size(1);
}

// What one destination receives for a line: colours for Error, Warning and Debug
// only, with trimmed and collapsed white space; every other level verbatim.
TEST_F(LoggerTest, LineTextColoursAndWhiteSpace) {
    struct Case {
        const char* what;
        unsigned level;
        std::function<void(ZvLogStream&)> write;
        std::string expected;
    };
    const std::string with_nul("cut\0hidden", 10);
    const Case cases[] = {
        {"error", ZvLogLvl::Error, [](ZvLogStream& s) { s << "disk " << 3 << " failed" << std::endl; },
         red + "Error: disk 3 failed" + reset_seq + "\n"},
        {"warning", ZvLogLvl::Warning, [](ZvLogStream& s) { s << "careful" << std::endl; },
         yellow + "Warning: careful" + reset_seq + "\n"},
        {"info", ZvLogLvl::Info, [](ZvLogStream& s) { s << "  as   is  " << std::endl; },
         "Info: " "  as   is  \n"},
        {"info without endl", ZvLogLvl::Info, [](ZvLogStream& s) { s << "no end"; },
         "Info: no end"},
        {"coloured without endl", ZvLogLvl::Error, [](ZvLogStream& s) { s << "no end"; },
         red + "Error: no end" + reset_seq + "\n"},
        {"runs of white space", ZvLogLvl::Error,
         [](ZvLogStream& s) { s << "  a \t  b\t\tc  " << std::endl; },
         red + "Error: a b\tc" + reset_seq + "\n"},
        {"bare line break", ZvLogLvl::Error, [](ZvLogStream& s) { s << "one\ntwo" << std::endl; },
         red + "Error: one" + reset_seq + "\n" + red + "two" + reset_seq + "\n"},
        {"line break between blanks", ZvLogLvl::Warning,
         [](ZvLogStream& s) { s << "one \n two" << std::endl; },
         yellow + "Warning: one two" + reset_seq + "\n"},
        {"string cut at NUL", ZvLogLvl::Info, [&](ZvLogStream& s) { s << with_nul << "|" << std::endl; },
         "Info: cut|\n"},
        {"string rvalue cut at NUL", ZvLogLvl::Info,
         [&](ZvLogStream& s) { s << std::string(with_nul) << std::endl; }, "Info: cut\n"},
        {"hex, char, quoted, path", ZvLogLvl::Info,
         [](ZvLogStream& s) {
             s << std::hex << 255 << ' ' << std::quoted("a b") << ' '
               << fs::path("/x y/z") << std::endl;
         },
         "Info: ff \"a b\" \"/x y/z\"\n"},
        {"debug has its own colour", ZvLogLvl::Debug, [](ZvLogStream& s) { s << "d" << std::endl; },
         white + "Debug: d" + reset_seq + "\n"},
        {"debug1 has none", ZvLogLvl::Debug1, [](ZvLogStream& s) { s << "d" << std::endl; },
         "Debug1: d\n"},
        {"unnamed value", 0x5, [](ZvLogStream& s) { s << "x" << std::endl; }, "Unknown: x\n"},
    };
    ZvLogStream::global_log_level_ = ZvLogLvl::Debug1Mask;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Sink sink = make_sink();
        ZvLogStream::set_default_loggers(capture(sink));
        {
            ZvLogStream line(c.level);
            c.write(line);
        }
        ASSERT_EQ(sink->size(), 1u);
        EXPECT_EQ(sink->front(), c.expected);
    }
}

TEST_F(LoggerTest, GlobalMaskDropsLines) {
    struct Case {
        unsigned mask;
        unsigned level;
        bool written;
    };
    const Case cases[] = {
        {ZvLogLvl::InfoMask, ZvLogLvl::Error, true},   {ZvLogLvl::InfoMask, ZvLogLvl::Info, true},
        {ZvLogLvl::InfoMask, ZvLogLvl::Debug, false},  {ZvLogLvl::ErrorMask, ZvLogLvl::Warning, false},
        {ZvLogLvl::FuncAll, ZvLogLvl::Error, false},   {ZvLogLvl::FuncAll, ZvLogLvl::FuncCycle, true},
        {ZvLogLvl::Debug4Mask, ZvLogLvl::Debug4, true}, {ZvLogLvl::Debug4Mask, ZvLogLvl::Measure, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.mask << " level " << c.level);
        const Sink sink = make_sink();
        ZvLogStream::set_default_loggers(capture(sink));
        ZvLogStream::global_log_level_ = c.mask;
        ZvLogStream(c.level) << "x" << std::endl;
        EXPECT_EQ(sink->size(), c.written ? 1u : 0u);
    }
}

// Which installed destinations get a line of a given level. Receivers: 'D' the
// default list, '1' / '3' / '7' the lists installed for those mask keys, 'O' a
// destination passed to the line itself.
TEST_F(LoggerTest, DestinationChoice) {
    struct Case {
        const char* what;
        bool defaults;
        std::vector<std::pair<unsigned, bool>> keys;  // key, list filled
        bool own;
        unsigned level;
        std::string receivers;
    };
    const Case cases[] = {
        {"defaults take every level", true, {}, false, ZvLogLvl::Info, "D"},
        {"error pair replaces the defaults", true, {{0x1, true}}, false, ZvLogLvl::Error, "1"},
        {"other levels keep the defaults", true, {{0x1, true}}, false, ZvLogLvl::Warning, "D"},
        {"empty list for the level", true, {{0x1, false}}, false, ZvLogLvl::Error, "D"},
        {"every matching list from the first", true, {{0x1, true}, {0x3, true}, {0x7, true}},
         false, ZvLogLvl::Error, "137"},
        {"lists without the level's bit", true, {{0x1, true}, {0x3, true}, {0x7, true}}, false,
         ZvLogLvl::Warning, "37"},
        {"first match empty decides for defaults", true, {{0x1, false}, {0x3, true}}, false,
         ZvLogLvl::Error, "D"},
        {"later empty list skipped", true, {{0x1, true}, {0x3, false}, {0x7, true}}, false,
         ZvLogLvl::Error, "17"},
        {"own destinations only", true, {{0x1, true}}, true, ZvLogLvl::Error, "O"},
        {"map without defaults", false, {{0x1, true}}, false, ZvLogLvl::Error, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoggerTest::reset();
        std::map<char, Sink> sinks;
        if (c.defaults) ZvLogStream::set_default_loggers(capture(sinks['D'] = make_sink()));
        for (const auto& [key, filled] : c.keys) {
            if (!filled) continue;
            const char name = static_cast<char>('0' + key % 10);
            ZvLogStream::set_log_level_logger(key, capture(sinks[name] = make_sink()));
        }
        if (c.own) {
            ZvLogStream(c.level, capture(sinks['O'] = make_sink())) << "x" << std::endl;
        } else {
            ZvLogStream(c.level) << "x" << std::endl;
        }
        std::string got;
        for (const auto& [name, sink] : sinks) {
            EXPECT_LE(sink->size(), 1u) << name;
            if (!sink->empty()) got += name;
        }
        std::string expected = c.receivers;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(got, expected);
    }
}

TEST_F(LoggerTest, NothingInstalledWritesToStandardOutput) {
    testing::internal::CaptureStdout();
    ZvLogStream(ZvLogLvl::Error) << "to console" << std::endl;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )" +
                                                 std::string("\x1b\\[1;31mError: to console "
                                                             "\x1b\\[0m\n"))))
        << out;
}

// A log file per test in a scratch directory; lines go through a file destination.
class LogFileTest : public LoggerTest {
protected:
    void SetUp() override {
        LoggerTest::SetUp();
        char pattern[] = "/tmp/zvlogtest-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        boost::system::error_code ec;
        fs::remove_all(dir_, ec);
        LoggerTest::TearDown();
    }

    static void write_line(const fs::path& log, const std::string& text) {
        ZvLogStream(ZvLogLvl::Info, ZvDestination::File(log.string())) << text << std::endl;
    }
    static std::string read(const fs::path& path) {
        std::ifstream in(path.string(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void make_file(const fs::path& path, std::size_t size, std::time_t written) {
        std::ofstream(path.string(), std::ios::binary) << std::string(size, 'x');
        fs::last_write_time(path, written);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (fs::directory_iterator it(dir_), end; it != end; ++it)
            found.push_back(it->path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    }
    // Rotated copies of `log` other than the ones named in `old`.
    std::vector<std::string> fresh_rotations(const std::string& log) const {
        const std::regex suffix(R"(\.\d+-\d+-\d+H\d+-\d+-\d+)");
        std::vector<std::string> found;
        for (const auto& name : names())
            if (name.size() > log.size() && name.compare(0, log.size(), log) == 0 &&
                std::regex_match(name.substr(log.size()), suffix) &&
                name.find(".2001-") == std::string::npos)
                found.push_back(name);
        return found;
    }

    fs::path dir_;
};

TEST_F(LogFileTest, AppendsAndRotatesOnlyPastMaxSize) {
    const fs::path log = dir_ / "kvm.log";
    write_line(log, "first");
    EXPECT_TRUE(std::regex_match(read(log), std::regex(R"(\[[^\]]+\] Info: first\n)")));

    // Exactly the maximum is not too large: the line is appended.
    make_file(log, 1048576, std::time(nullptr));
    write_line(log, "at max");
    EXPECT_TRUE(fresh_rotations("kvm.log").empty());
    const auto grown = fs::file_size(log);
    EXPECT_GT(grown, 1048576u);

    // Now past the maximum: the file is rotated before the next line.
    write_line(log, "after rotation");
    const auto rotated = fresh_rotations("kvm.log");
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_EQ(fs::file_size(dir_ / rotated[0]), grown);
    EXPECT_TRUE(std::regex_match(read(log), std::regex(R"(\[[^\]]+\] Info: after rotation\n)")))
        << read(log);
}

TEST_F(LogFileTest, KeepsTheNewestRotationsOnly) {
    struct Case {
        unsigned long max_rotate;
        std::size_t old_kept;  // how many of the three old rotations survive
    };
    for (const Case c : {Case{0, 0}, Case{1, 0}, Case{2, 1}, Case{10, 3}}) {
        SCOPED_TRACE(c.max_rotate);
        for (fs::directory_iterator it(dir_), end; it != end; ++it) fs::remove(it->path());
        ZvDestination::FileLogger::set_max_rotate(c.max_rotate);
        const fs::path log = dir_ / "kvm.log";
        const std::time_t now = std::time(nullptr);
        for (int i = 1; i <= 3; ++i)
            make_file(dir_ / ("kvm.log.2001-1-1H0-0-" + std::to_string(i)), 10, now - 1000 + i);
        make_file(log, 1048577, now);

        write_line(log, "line");

        const auto all = names();
        std::vector<std::string> old;
        for (const auto& name : all)
            if (name.find(".2001-") != std::string::npos) old.push_back(name);
        ASSERT_EQ(old.size(), c.old_kept);
        // The survivors are the newest ones.
        for (std::size_t i = 0; i < old.size(); ++i)
            EXPECT_EQ(old[i], "kvm.log.2001-1-1H0-0-" + std::to_string(3 - c.old_kept + 1 + i));
        EXPECT_EQ(fresh_rotations("kvm.log").size(), c.max_rotate == 0 ? 0u : 1u);
        EXPECT_TRUE(fs::exists(log));
    }
}

// The log file's own name is matched literally when old rotations are counted:
// other files are never deleted, and a name that is not a valid pattern still works.
TEST_F(LogFileTest, RegexCharactersInTheLogFileName) {
    struct Case {
        std::string log;
        std::string lookalike;  // would match if the name were taken as a pattern
    };
    const Case cases[] = {
        {"kvm.log", "kvmXlog.2001-1-1H0-0-1"},
        {"kvm(1)+.log", "kvm11Xlog.2001-1-1H0-0-1"},
        {"kvm(.log", ""},
        {"kvm[1.log", ""},
        {"a*b?.log", "aaab.log.2001-1-1H0-0-1"},
        {"x\\d.log", ""},
    };
    ZvDestination::FileLogger::set_max_rotate(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        for (fs::directory_iterator it(dir_), end; it != end; ++it) fs::remove(it->path());
        const std::time_t now = std::time(nullptr);
        const std::string old = c.log + ".2001-1-1H0-0-2";
        make_file(dir_ / old, 10, now - 500);
        if (!c.lookalike.empty()) make_file(dir_ / c.lookalike, 10, now - 1000);
        make_file(dir_ / c.log, 1048577, now);

        write_line(dir_ / c.log, "line");

        EXPECT_FALSE(fs::exists(dir_ / old)) << "the older rotation must go";
        if (!c.lookalike.empty()) {
            EXPECT_TRUE(fs::exists(dir_ / c.lookalike));
        }
        EXPECT_EQ(fresh_rotations(c.log).size(), 1u);
        EXPECT_TRUE(std::regex_search(read(dir_ / c.log), std::regex("Info: line\n$")));
    }
}

// A destination that cannot be written loses the line; the others still get it.
TEST_F(LogFileTest, UnwritableFileLosesOnlyItsCopy) {
    const Sink sink = make_sink();
    ZvLogStream::set_default_loggers(ZvDestination::File((dir_ / "missing/dir/x.log").string()),
                                     capture(sink));
    ZvLogStream(ZvLogLvl::Info) << "kept" << std::endl;
    EXPECT_EQ(*sink, std::vector<std::string>{"Info: kept\n"});
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

}  // namespace
