// What a backup takes from "-c" under the exclusions of "-x" and "-X": a file that the
// list (or "-c" itself) names is always archived, exclusions only keep a walk from
// adding what it finds, and commas inside one line of "-X" do not split its entry.
#include "zvfd/io.h"
#include "zvfd/sources.h"

#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

namespace fs = boost::filesystem;
using zv_test::write_file;

class BackupSources : public zv_test::ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        for (const char* f : {"src/target_list", "src/disk.img", "src/sda.img", "keys/master-key",
                              "keys/secret-key.pem", "keys/other", "tree/vda", "tree/sda", "tree/target_list",
                              "tree/web", "tree/sub/vda", "tree/sub,old/x"})
            write_file(dir_ / f, f);
        // What the module lists for a domain with two disks, and the key it must never
        // name but might: a listed path is archived even when an exclusion names it.
        write_file(dir_ / "domain.list", "ZVFD file list:\n" + at("src/target_list") + " : target_list\n" +
                                             at("src/disk.img") + " : vda\n" + at("src/sda.img") + " : sda\n" +
                                             at("keys/master-key") + " : master-key\n");
        write_file(dir_ / "tree.list",
                   "ZVFD file list:\n" + at("src/target_list") + " : target_list\n" + at("tree") + " : tree\n");
    }
    std::string at(const std::string& relative) const { return (dir_ / relative).string(); }
    // The key-file pair the module puts first into every "-x".
    std::string keys() const { return at("keys/master-key") + "," + at("keys/secret-key.pem"); }

    std::vector<std::string> names(const std::string& content, const std::string& comma_list,
                                   const std::string& restriction_lines = "") const {
        std::string file;
        if (!restriction_lines.empty()) {
            file = at("restrictions");
            write_file(file, restriction_lines);
        }
        std::vector<std::string> result;
        for (const auto& s : zvfd::collect_sources(content, zvfd::Exclusions(comma_list, file)))
            result.push_back(s.name);
        std::sort(result.begin(), result.end());
        return result;
    }
};

using Names = std::vector<std::string>;

TEST_F(BackupSources, ExclusionsNeverDropAListedFileAndOnlyTrimWalks) {
    const Names whole_tree = {"sda", "sub,old/x", "sub/vda", "target_list", "vda", "web"};
    const Names domain = {"master-key", "sda", "target_list", "vda"};
    const struct {
        const char* what;
        std::string content, comma_list, restriction_lines;
        Names expected;
    } cases[] = {
        {"restricted domains named like the list's names", at("domain.list"), keys() + ",vda,sda,target_list",
         "vda\nsda\ntarget_list\n", domain},
        {"the same given without -X", at("domain.list"), keys() + ",vda,sda,target_list", "", domain},
        {"a restricted domain whose name holds a comma", at("domain.list"), keys() + ",a,vda", "a,vda\n", domain},
        {"bare names trim a walk by record name", at("tree"), keys() + ",vda,target_list", "",
         {"sda", "sub,old/x", "sub/vda", "web"}},
        {"a comma inside one -X line does not split it", at("tree"), keys() + ",web,sda", "web,sda\n", whole_tree},
        {"without -X a comma separates entries", at("tree"), keys() + ",web,sda", "",
         {"sub,old/x", "sub/vda", "target_list", "vda"}},
        {"an absolute path with a comma excludes only itself", at("tree"), keys() + "," + at("tree/sub") + ",old",
         at("tree/sub") + ",old\n", {"sda", "sub/vda", "target_list", "vda", "web"}},
        {"the same path given as two entries", at("tree"), keys() + "," + at("tree/sub") + ",old", "",
         {"sda", "sub,old/x", "target_list", "vda", "web"}},
        {"key-file paths are left out of a walk", at("keys"), keys(), "", {"other"}},
        {"-c naming one file takes it whatever excludes it", at("keys/master-key"), keys(), "", {"master-key"}},
        {"a listed directory is walked under the exclusions", at("tree.list"),
         keys() + ",target_list,tree/sda," + at("tree/sub"), "",
         {"target_list", "tree/sub,old/x", "tree/target_list", "tree/vda", "tree/web"}},
        {"the lone comma of an empty restriction list", at("domain.list"), keys() + ",", "", domain},
        {"a line of -X ended by a carriage return matches nothing", at("tree"), keys() + ",vda\r", "vda\r\n",
         whole_tree},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(names(c.content, c.comma_list, c.restriction_lines), c.expected);
    }
}

TEST_F(BackupSources, EntriesOfAnExclusionListAreWhatItsLinesSay) {
    write_file(dir_ / "restrictions", "a,vda\n/srv/x,y\nplain\n");
    const zvfd::Exclusions ex("/k1,/k2,a,vda,b,/srv/x,y,,plain,", at("restrictions"));
    EXPECT_EQ(ex.entries(), (Names{"/k1", "/k2", "a,vda", "b", "/srv/x,y", "plain", "a,vda", "/srv/x,y", "plain"}));
    EXPECT_THROW(zvfd::Exclusions("", at("no-such-file")), zvfd::Error);
}

}  // namespace
