// Reads the argument log that the archiver appends to when its test aid says
// "argv-log=FILE" (ZVFD_TEST_AID=argv-log=FILE): one record per run, so tests compare
// the arguments the archiver received instead of shell text.
//
//   auto runs = zv_test::read_zvfd_argv_log(log_path);
//   ASSERT_EQ(runs.size(), 1u);
//   EXPECT_EQ(runs[0].value("-N"), "vm1_full_1");
//   EXPECT_TRUE(runs[0].has("-E"));
//
// Record format, every text length-prefixed so any byte survives:
//   "zvfd-argv 1\n" "pid " N "\n" "cwd " LEN ":" BYTES "\n" "argc " N "\n"
//   then argc times LEN ":" BYTES "\n" (argv[0] first).
#pragma once

#include <boost/filesystem/path.hpp>

#include <optional>
#include <string>
#include <vector>

namespace zv_test {

struct ZvfdInvocation {
    long pid = 0;
    std::string cwd;                // working directory of the run
    std::string program;            // argv[0]
    std::vector<std::string> args;  // argv[1] onwards

    // True when `option` occurs as an argument.
    bool has(const std::string& option) const;
    // The argument after the first occurrence of `option`; empty when absent or last.
    std::optional<std::string> value(const std::string& option) const;
};

// Throws std::runtime_error when the file cannot be read or a record is damaged. A
// missing file yields no records: the archiver never ran.
std::vector<ZvfdInvocation> read_zvfd_argv_log(const boost::filesystem::path& path);

}  // namespace zv_test
