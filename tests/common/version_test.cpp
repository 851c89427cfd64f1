// The product version's text forms and compatibility rule, and the quoting
// helpers used in messages and lock names.
#include "common/config_file.h"
#include "common/zv_version.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>

namespace {

using zelvor::Version;

TEST(Version, TextForms) {
    EXPECT_EQ(zelvor::version_current.to_string(), "2.1.0");
    EXPECT_EQ(zelvor::version_current_string, "2.1.0");
    EXPECT_EQ(zelvor::version_current_wstring, L"2.1.0");
    EXPECT_EQ(zelvor::version_unknown.to_string(), "0.0.0");
    EXPECT_EQ((Version{10, 0, 4294967295u}).to_wstring(), L"10.0.4294967295");

    std::ostringstream narrow;
    narrow << Version{3, 14, 15};
    EXPECT_EQ(narrow.str(), "3.14.15");
    std::wostringstream wide;
    wide << Version{1, 2, 3};
    EXPECT_EQ(wide.str(), L"1.2.3");
}

TEST(Version, AccessibleOnlyFromItselfOrOneStepBelow) {
    constexpr std::uint32_t max = 4294967295u;
    struct Case {
        Version to;
        Version from;
        bool accessible;
    };
    const Case cases[] = {
        {{2, 1, 0}, {2, 1, 0}, true},  {{2, 1, 1}, {2, 1, 0}, true},
        {{2, 1, 2}, {2, 1, 0}, false}, {{2, 2, 0}, {2, 1, 0}, true},
        {{2, 2, 0}, {2, 1, 7}, true},  {{2, 2, 1}, {2, 1, 0}, false},
        {{2, 3, 0}, {2, 1, 0}, false}, {{3, 0, 0}, {2, 1, 0}, true},
        {{3, 0, 1}, {2, 1, 0}, false}, {{3, 1, 0}, {2, 1, 0}, false},
        {{4, 0, 0}, {2, 1, 0}, false}, {{2, 0, 9}, {2, 1, 0}, false},
        {{2, 1, 0}, {2, 1, 1}, false}, {{1, 0, 0}, {2, 0, 0}, false},
        // A field at its largest value has no successor; 0 is not one step above it.
        {{2, 1, 0}, {2, 1, max}, false}, {{2, 0, 0}, {2, max, 0}, false},
        {{0, 0, 0}, {max, 0, 0}, false}, {{2, 1, max}, {2, 1, max - 1}, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.to.is_accessible_from(c.from), c.accessible)
            << c.to.to_string() << " from " << c.from.to_string();
}

TEST(Quoting, DelimiterAndEscapeAreEscapedNothingElse) {
    struct Case {
        std::string text;
        std::string double_quoted;  // as_quoted with '"' and '\\'
        std::string single_quoted;  // as_quoted_single and single_quoted
    };
    const Case cases[] = {
        {"", "\"\"", "''"},
        {"a\"b\\c", "\"a\\\"b\\\\c\"", "'a\"b\\\\c'"},
        {"it's", "\"it's\"", "'it\\'s'"},
        {"ends\\", "\"ends\\\\\"", "'ends\\\\'"},
        {"tab\tline\nend $x", "\"tab\tline\nend $x\"", "'tab\tline\nend $x'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(zelvor::as_quoted(c.text, '"', '\\'), c.double_quoted);
        EXPECT_EQ(zelvor::as_quoted_single(c.text), c.single_quoted);
        EXPECT_EQ(zelvor_common::single_quoted(c.text), c.single_quoted);
    }
    EXPECT_EQ(zelvor::as_quoted(std::wstring(L"w\"x"), L'"', L'\\'), L"\"w\\\"x\"");
    EXPECT_EQ(zelvor::make_quoted_std(std::string("a|b"), '|', '!'), "|a!|b|");
}

}  // namespace
