// The resource-list JSON file of a multi-resource backup and the host's local
// restriction list: which names are taken, and which resources a line restricts.
#include "support/scratch_dir.h"
#include "support/test_module.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>


#include <list>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using Names = std::list<std::string>;

namespace {

class ScratchDir : public zv_test::ScratchDirTest {
protected:
    zv_test::LogCapture log_;
};

using ResourceListFile = ScratchDir;
using LocalRestrictions = ScratchDir;

TEST_F(ResourceListFile, TakesPathMembersOneLevelDown) {
    const struct {
        const char* what;
        std::string json;
        Names names;
        bool warned;
    } cases[] = {
        {"array of objects", R"([{"path":"vm1","x":1},{"path":"vm2"}])", {"vm1", "vm2"}, false},
        {"object of objects", R"({"a":{"path":"vm1"},"b":{"other":"x","path":"vm2"}})",
         {"vm1", "vm2"}, false},
        {"path at the top level", R"({"path":"vm1"})", {}, true},
        {"path deeper down", R"([{"inner":{"path":"vm1"}}])", {}, true},
        {"object value of path", R"([{"path":{"a":1}}])", {""}, false},
        {"scalar values as written", R"([{"path":7},{"path":true},{"path":null}])", {"7", "true", "null"},
         false},
        {"scalar top level", R"("vm1")", {}, true},
        {"empty array", "[]", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log_.clear();
        ResourceList list;
        const std::string file = write("list.json", c.json);
        ASSERT_TRUE(list.parse_json_file(file));
        EXPECT_EQ(list.resources(), c.names);
        EXPECT_EQ(list.is_empty(), c.names.empty());
        EXPECT_EQ(log_.count("Warning: bool ResourceList::parse_json_file(const string&): there is "
                             "no any resource in json file: " + file),
                  c.warned ? 1 : 0);
    }
}

TEST_F(ResourceListFile, MissingOrBrokenFileFails) {
    ResourceList list;
    ASSERT_TRUE(list.parse_json_file(write("good.json", R"([{"path":"vm1"}])")));
    const std::string missing = (dir_ / "missing.json").string();
    EXPECT_FALSE(list.parse_json_file(missing));
    EXPECT_TRUE(list.is_empty()) << "an earlier list must not survive a failed read";
    EXPECT_EQ(log_.count("Error: bool ResourceList::parse_json_file(const string&): resource list "
                         "file does not exist: " + missing),
              1);
    const struct {
        const char* what;
        std::string json;
    } broken[] = {
        {"cut short", R"([{"path":"vm1"},)"},
        {"nested beyond the parser's depth", std::string(80000, '[') + std::string(80000, ']')},
        {"not JSON", "path = vm1"},
    };
    for (const auto& c : broken) {
        SCOPED_TRACE(c.what);
        log_.clear();
        const std::string file = write("bad.json", c.json);
        EXPECT_FALSE(list.parse_json_file(file));
        EXPECT_EQ(log_.count("ResourceList::parse_json_file(const string&): json parser error: " + file), 1);
    }
}

TEST_F(ResourceListFile, RestrictionOnAListedResourceRefuses) {
    ResourceList list;
    ASSERT_TRUE(list.parse_json_file(write("l.json", R"([{"path":"vm1"},{"path":"vm2"}])")));
    EXPECT_TRUE(list.check_local_restrictions({}));
    EXPECT_TRUE(list.check_local_restrictions({"vm3", "vm2 ", ""}));
    EXPECT_FALSE(list.check_local_restrictions({"vm3", "vm2"}));
    EXPECT_EQ(log_.count("Unable to backup this resource from ResourceList: vm2. Local restriction"),
              1);
}

TEST_F(LocalRestrictions, EachLineExactlyAsWritten) {
    const struct {
        const char* what;
        std::string list;  // nullptr-like: "-" means no file
        std::string resource;
        bool allowed;
    } cases[] = {
        {"listed", "vm0\nvm1\n", "vm1", false},
        {"last line without line end", "vm0\nvm1", "vm1", false},
        {"not listed", "vm0\nvm1\n", "vm2", true},
        {"trailing blank does not restrict", "vm1 \n", "vm1", true},
        {"CR LF line does not restrict", "vm1\r\n", "vm1", true},
        {"empty line restricts only the empty name", "vm0\n\nvm2\n", "vm1", true},
        {"empty line and empty name", "vm0\n\nvm2\n", "", false},
        {"empty file", "", "vm1", true},
        {"missing file", "-", "vm1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ZvModuleOptions options;
        options.restriction_list_path = (dir_ / "zelvor_restriction.list.kvm").string();
        fs::remove(options.restriction_list_path);
        if (c.list != "-") write("zelvor_restriction.list.kvm", c.list);
        options.resource = c.resource;
        zv_test::TestModule module(options);
        EXPECT_EQ(module.check_local_restrictions(), c.allowed);
    }
    EXPECT_TRUE(log_.lines().empty()) << log_.lines().front();
}

// A list that cannot be read may list the resource: it passes no resource.
TEST_F(LocalRestrictions, UnreadableListRestrictsEverything) {
    ZvModuleOptions options;
    options.restriction_list_path = write("zelvor_restriction.list.kvm", std::string(17 << 20, 'x'));
    options.resource = "vm1";
    zv_test::TestModule module(options);
    EXPECT_FALSE(module.check_local_restrictions());
    std::vector<std::string> lines = {"stale"};
    EXPECT_FALSE(module.read_local_restrictions(lines));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(log_.count("read_local_restrictions() const: unable to open " + options.restriction_list_path +
                         ": it is larger than"),
              2);
}

TEST_F(LocalRestrictions, ReadGivesTheLines) {
    ZvModuleOptions options;
    options.restriction_list_path = write("list", "a\r\n\nb \nc");
    zv_test::TestModule module(options);
    std::vector<std::string> lines = {"stale"};
    EXPECT_TRUE(module.read_local_restrictions(lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"a\r", "", "b ", "c"}));

    module.options_.restriction_list_path = (dir_ / "none").string();
    EXPECT_TRUE(module.read_local_restrictions(lines));
    EXPECT_TRUE(lines.empty());
}

}  // namespace
