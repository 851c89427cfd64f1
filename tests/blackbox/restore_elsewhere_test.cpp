// A record restored through the module's restore command line on a host that did not
// make it: the backup's host is gone, the other host's /opt/zelvor holds only the
// media server's line and the key file, and the restore runs as a task of its own.
// Without "last" the restore only unpacks, so no libvirt domain is needed.
#include "support/module_sandbox.h"
#include "support/scratch_dir.h"

#include "common/zv_shell.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using namespace zv_test;

namespace {

const char* const kKey = "/opt/zelvor/keys/zvfd.key";

// Random bytes at the start and the end of a 16 MiB image, a hole between.
void write_image(const fs::path& path) {
    std::mt19937 gen(29);
    std::string data(1 << 20, '\0');
    for (auto& c : data) c = static_cast<char>(gen());
    std::string image = data;
    image.resize((16 << 20) - data.size(), '\0');
    image += data;
    write_file(path, image);
}

TEST(RestoreElsewhere, ModuleOfAnotherHostAndTaskUnpacksTheRecordByteExactly) {
    ZV_REQUIRE_NAMESPACES();
    // The host that made the backup, with the archiver as the module runs it.
    Sandbox first;
    first.install_zvfd();
    write_file(first.opt() / "var/tasks/task_secret_41", "secret of the backup task\n");
    write_file(first.opt() / "keys/zvfd.key", "key file of the site");
    const fs::path src = first.root() / "src";
    write_image(src / "vda.img");
    write_file(src / "target_list", "vda " + (src / "vda.img").string() + "\n");
    write_file(src / "vm1.xml", "<domain><name>vm1</name></domain>\n");
    write_file(first.root() / "zvfd.list", "ZVFD file list:\n" + (src / "target_list").string() +
                                               " : target_list\n" + (src / "vm1.xml").string() + " : vm1.xml\n" +
                                               (src / "vda.img").string() + " : vda\n");
    const fs::path snap_dir = first.root() / "op" / "vm1_full_1.snap_dir";
    fs::create_directories(snap_dir);
    const RunResult backup = first.shell(zv_utils_common::shell_command(
        "/opt/zelvor/bin/zvfd",
        {"-a", "sha2", "-2", "-b", "16384", "-c", (first.root() / "zvfd.list").string(), "-M", "media-1", "-N",
         "vm1_full_1", "-T", "41", "-s", "/opt/zelvor/var/tasks//task_secret_41", "-m",
         (snap_dir / "vm1_full_1.meta").string(), "-C", "aes-256-gcm", "-k", kKey}));
    ASSERT_EQ(backup.status, 0) << describe(backup);
    // The snapshot file the client agent keeps, packed as the module packs it.
    const fs::path snapshot = first.root() / "vm1_full_1.snap";
    const RunResult packed =
        first.shell(zv_utils_common::shell_command("tar", {"czf", snapshot.string(), "-C", snap_dir.string(), "."}));
    ASSERT_EQ(packed.status, 0) << describe(packed);

    Sandbox second;
    second.install_zvfd();
    // Nothing here may need libvirt: a restore without "last" only unpacks.
    second.fake_program("/usr/bin/virsh", "#!/bin/sh\necho 'error: failed to connect' >&2\nexit 1\n");
    write_file(second.opt() / "etc/zvfd-repositories.conf",
               "media-1 = " + (first.opt() / "var/repositories/media-1").string() + "\n");
    write_file(second.opt() / "keys/zvfd.key", "key file of the site");
    write_file(second.opt() / "var/tasks/task_secret_77", "secret of the restore task\n");
    fs::copy_file(snapshot, second.root() / "vm1_full_1.snap");

    const struct {
        const char* what;
        std::string record;
        std::vector<std::string> snapshot;
    } cases[] = {
        {"with the snapshot file", "1001", {"-M", (second.root() / "vm1_full_1.snap").string()}},
        {"by the record's name alone", "vm1_full_1", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path operation = second.root() / ("op-" + c.record);
        fs::create_directories(operation);
        std::vector<std::string> args = {"-r", c.record, "-d", operation.string(), "-m", "media-1", "-T", "77",
                                         "-C", "aes-256-gcm", "-k", kKey};
        args.insert(args.end(), c.snapshot.begin(), c.snapshot.end());
        const RunResult restore = second.run(args);
        ASSERT_EQ(restore.status, 0) << describe(restore);
        EXPECT_TRUE(restore.has_log("The archive '" + c.record + "' has been unpacked successfully"))
            << describe(restore);
        const fs::path rest = operation / (c.record + ".rest");
        for (const auto& [name, source] : {std::pair<std::string, std::string>{"vda", "vda.img"},
                                           {"target_list", "target_list"},
                                           {"vm1.xml", "vm1.xml"}})
            EXPECT_EQ(read_file(rest / name), read_file(src / source)) << name;
    }
}

}  // namespace
