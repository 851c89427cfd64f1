// The test guest does what the backup tests rely on: it boots under TCG, its agent
// freezes and thaws the data disk and runs programs, a quiesced external snapshot of
// every disk merges back with a shallow commit, and the fixture cleans up after itself.
#include "libvirt/shared_guest.h"
#include "support/hold.h"
#include "support/test_guest.h"

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

namespace fs = boost::filesystem;
namespace json = boost::json;
using namespace zv_test;

namespace {

std::string sha256_of(const fs::path& file) {
    const auto result = run_program({"sha256sum", file.string()});
    return result.ok() ? result.out.substr(0, 64) : "unreadable: " + result.describe();
}

int line_count(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

std::string last_line(const std::string& text) {
    std::istringstream lines(text);
    std::string last;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) last = line;
    return last;
}

json::value agent_reply(const CommandResult& result) {
    boost::system::error_code ec;
    return json::parse(result.out, ec);
}

std::string freeze_status(const TestDomain& dom) {
    const json::value reply = agent_reply(dom.agent_command(R"({"execute":"guest-fsfreeze-status"})"));
    const auto* ret = reply.is_object() ? reply.as_object().if_contains("return") : nullptr;
    return ret && ret->is_string() ? std::string(ret->as_string()) : "no answer";
}

// Source images as `virsh domblklist` shows them, by target.
std::map<std::string, std::string> block_list(const std::string& domain) {
    std::map<std::string, std::string> sources;
    std::istringstream lines(virsh({"domblklist", domain}).out);
    std::string target, source;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        if (words >> target >> source && target.rfind("vd", 0) == 0) sources[target] = source;
    }
    return sources;
}

class RunningGuest : public SharedGuestSuite<RunningGuest> {
public:
    static std::unique_ptr<TestDomain> make_guest() {
        using clock = std::chrono::steady_clock;
        using seconds = std::chrono::duration<double>;
        const auto build_start = clock::now();
        test_guest_files();
        const auto define_start = clock::now();
        DomainOptions options;
        options.name_prefix = "smoke guest";  // a blank in the name, on purpose
        options.linked_clone = true;
        options.extra_disks = {{"8M", "more/extra.qcow2"}};
        options.start = false;
        auto domain = std::make_unique<TestDomain>(options);
        const auto start = clock::now();
        domain->start();  // waits for the agent
        const auto ready = clock::now();
        std::cout << "[ timing ] guest files " << seconds(define_start - build_start).count()
                  << " s, define " << seconds(start - define_start).count()
                  << " s, start to agent " << seconds(ready - start).count() << " s\n";
        return domain;
    }

protected:
    static TestDomain& dom() { return guest(); }
};

// Leaves the shared guest thawed whatever an assertion does.
struct ThawAtExit {
    const TestDomain& dom;
    ~ThawAtExit() { dom.agent_command(R"({"execute":"guest-fsfreeze-thaw"})"); }
};

TEST_F(RunningGuest, AgentOffersFreezeAndExecUnderANameWithABlank) {
    EXPECT_NE(dom().name().find(' '), std::string::npos);
    EXPECT_EQ(dom().state(), "running");
    const auto info = dom().agent_command(R"({"execute":"guest-info"})");
    ASSERT_TRUE(info.ok()) << info.describe();
    const json::value reply = agent_reply(info);
    const auto& ret = reply.at("return").as_object();
    EXPECT_FALSE(ret.at("version").as_string().empty());
    std::map<std::string, bool> enabled;
    for (const auto& command : ret.at("supported_commands").as_array()) {
        const auto& entry = command.as_object();
        enabled[std::string(entry.at("name").as_string())] = entry.at("enabled").as_bool();
    }
    for (const char* command : {"guest-fsfreeze-freeze", "guest-fsfreeze-thaw", "guest-exec",
                                "guest-exec-status"})
        EXPECT_TRUE(enabled[command]) << command;
}

TEST_F(RunningGuest, FreezeHoldsDataWritesUntilThaw) {
    {
        ThawAtExit thaw{dom()};
        const auto frozen = dom().agent_command(R"({"execute":"guest-fsfreeze-freeze"})");
        ASSERT_TRUE(frozen.ok()) << frozen.describe();
        EXPECT_GE(agent_reply(frozen).at("return").as_int64(), 1) << "the data disk is not frozen";
        EXPECT_EQ(freeze_status(dom()), "frozen");
        // Later tests count on this refusal: no in-guest program runs while frozen.
        const auto refused = dom().exec("/bin/true");
        EXPECT_FALSE(refused.started);
        EXPECT_NE(refused.error.find("frozen"), std::string::npos) << refused.error;
        const auto thawed = dom().agent_command(R"({"execute":"guest-fsfreeze-thaw"})");
        ASSERT_TRUE(thawed.ok()) << thawed.describe();
    }
    EXPECT_EQ(freeze_status(dom()), "thawed");
    const int before = line_count(dom().read_guest_file(kGuestCounter));
    int after = before;
    wait_for([&] {
        after = line_count(dom().read_guest_file(kGuestCounter));
        return after > before;
    });
    EXPECT_GT(after, before) << "the guest stopped writing to its data disk after the thaw";
}

TEST_F(RunningGuest, QuiescedSnapshotMergesBackWithAShallowCommit) {
    const std::string base_sum = sha256_of(dom().base_image());
    std::vector<std::string> command = {"snapshot-create-as", dom().name(), "snap", "--disk-only",
                                        "--quiesce", "--atomic", "--no-metadata"};
    std::map<std::string, std::string> overlays;
    for (const auto& disk : dom().disks()) {
        const fs::path overlay = disk.image.parent_path() / ("snap.snapshot." + disk.target + ".qcow2");
        overlays[disk.target] = overlay.string();
        command.insert(command.end(), {"--diskspec", disk.target + ",file=" + overlay.string()});
    }
    const auto snapshot = virsh(command);
    ASSERT_TRUE(snapshot.ok()) << snapshot.describe();
    EXPECT_EQ(block_list(dom().name()), overlays);

    // Let the guest write into the overlay, then merge and look for that write in vdb.
    const int at_snapshot = line_count(dom().read_guest_file(kGuestCounter));
    std::string written;
    wait_for([&] {
        written = dom().read_guest_file(kGuestCounter);
        return line_count(written) >= at_snapshot + 2;
    });
    ASSERT_GE(line_count(written), at_snapshot + 2);

    for (const auto& disk : dom().disks()) {
        const auto commit = virsh({"blockcommit", dom().name(), disk.target, "--active", "--shallow"});
        EXPECT_TRUE(commit.ok()) << commit.describe();
        const auto pivot = pivot_when_ready(dom().name(), disk.target);
        EXPECT_TRUE(pivot.ok()) << pivot.describe();
    }
    std::map<std::string, std::string> originals;
    for (const auto& disk : dom().disks()) originals[disk.target] = disk.image.string();
    EXPECT_EQ(block_list(dom().name()), originals);
    for (const auto& overlay : overlays) fs::remove(overlay.second);

    EXPECT_EQ(dom().state(), "running");
    EXPECT_EQ(freeze_status(dom()), "thawed");
    EXPECT_EQ(sha256_of(dom().base_image()), base_sum) << "the commit went into the shared base";
    const auto chain = run_program({"qemu-img", "info", "-U", "--output=json",
                                    dom().image("vda").string()});
    ASSERT_TRUE(chain.ok()) << chain.describe();
    EXPECT_EQ(json::parse(chain.out).at("backing-filename").as_string(), dom().base_image().string());
    const std::string on_disk = read_ext4_file(dom().image("vdb"), "/counter");
    EXPECT_NE(on_disk.find(last_line(written) + "\n"), std::string::npos)
        << "a write made on the overlay is not in the data image after the merge";
}

TEST_F(RunningGuest, InGuestProgramRecordsEachCallAndFailsOnRequest) {
    EXPECT_EQ(dom().exec("/usr/bin/test", {"-f", kGuestScript}).exit_code, 0);
    EXPECT_EQ(dom().exec("/usr/bin/test", {"-f", "/opt/zelvor/scripts/missing.sh"}).exit_code, 1);

    const size_t calls_before = dom().script_calls().size();
    const auto before = dom().exec(kGuestScript, {"before"});
    ASSERT_TRUE(before.ok()) << before.describe();
    const auto calls = dom().script_calls();
    ASSERT_EQ(calls.size(), calls_before + 1);
    EXPECT_EQ(calls.back().substr(calls.back().find(' ')), " before");
    EXPECT_NE(dom().read_guest_file(kGuestDataScriptCalls).find(calls.back()), std::string::npos);

    dom().set_script_behaviour("after", 3);
    EXPECT_EQ(dom().exec(kGuestScript, {"after"}).exit_code, 3);
    dom().set_script_behaviour("after", 0);
    EXPECT_EQ(dom().exec(kGuestScript, {"after"}).exit_code, 0);

    // Arguments reach the guest program unchanged, quotes and shell text included.
    const std::string awkward = "it's \"quoted\" $(touch /tmp/x) \\ end";
    const auto echo = dom().exec("/bin/echo", {awkward});
    ASSERT_TRUE(echo.ok()) << echo.describe();
    EXPECT_EQ(echo.out, awkward + "\n");
}

TEST(ShutOffGuest, IsDefinedWithItsDisksAndLeavesNothingBehind) {
    ZV_REQUIRE_LIBVIRT();
    std::string name;
    fs::path directory;
    {
        DomainOptions options;
        options.start = false;
        options.extra_disks = {{}};
        TestDomain dom(options);
        name = dom.name();
        directory = dom.directory();
        EXPECT_EQ(dom.state(), "shut off");
        const std::map<std::string, std::string> expected = {
            {"vda", dom.image("vda").string()},
            {"vdb", dom.image("vdb").string()},
            {"vdc", dom.image("vdc").string()}};
        EXPECT_EQ(block_list(name), expected);
        for (const auto& disk : dom.disks()) EXPECT_TRUE(fs::exists(disk.image)) << disk.image;
        EXPECT_TRUE(dom.base_image().empty());
    }
    EXPECT_FALSE(virsh({"dominfo", name}).ok()) << "the domain is still defined";
    EXPECT_FALSE(fs::exists(directory));
}

}  // namespace
