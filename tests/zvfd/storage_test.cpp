// The object store under the repository: put-if-absent semantics, prefix listing,
// names it refuses, and what a killed writer leaves behind.
#include "zvfd/archive_file.h"
#include "zvfd/storage.h"

#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

namespace {

TEST(LocalStorage, PutIfAbsentKeepsTheFirstObject) {
    zv_test::ScratchDir dir;
    zvfd::LocalStorage store(dir.path().string());
    EXPECT_TRUE(store.put_if_absent("packs/ab/one", "first"));
    EXPECT_FALSE(store.put_if_absent("packs/ab/one", "second"));
    EXPECT_EQ(store.get("packs/ab/one"), "first");
    EXPECT_TRUE(store.put_if_absent("empty", ""));
    EXPECT_EQ(store.get("empty"), "");
    EXPECT_THROW(store.get("packs/ab/two"), zvfd::ObjectMissing);
    store.remove("packs/ab/one");
    store.remove("packs/ab/one");  // a missing object is no error
    EXPECT_THROW(store.get("packs/ab/one"), zvfd::ObjectMissing);
    EXPECT_TRUE(store.put_if_absent("packs/ab/one", "again"));
}

std::size_t files_in(const boost::filesystem::path& dir) {
    std::size_t n = 0;
    for (boost::filesystem::directory_iterator it(dir), end; it != end; ++it) ++n;
    return n;
}

// Deferred puts: nothing under a name before the sync, every object whole after it, a
// taken name keeps its object, and a store dropped without a sync leaves no name and
// no temporary file.
// What exists and a range read say is what get would give, in the directory and in
// an archive file alike.
TEST(Storage, ExistenceAndRangesAgreeWithGet) {
    zv_test::ScratchDir dir;
    zvfd::LocalStorage local((dir.path() / "repo").string());
    auto archive = zvfd::ArchiveFile::create((dir.path() / "a.zvfd").string());
    for (zvfd::Storage* store : {static_cast<zvfd::Storage*>(&local), static_cast<zvfd::Storage*>(archive.get())}) {
        SCOPED_TRACE(store->describe());
        ASSERT_TRUE(store->put_if_absent("packs/0a/pack-one", "the pack one"));
        EXPECT_TRUE(store->exists("packs/0a/pack-one"));
        EXPECT_FALSE(store->exists("packs/0a/pack-two"));
        EXPECT_FALSE(store->exists("packs/0a"));  // a prefix is no object
        EXPECT_EQ(store->get_range("packs/0a/pack-one", 4, 4), "pack");
        EXPECT_EQ(store->get_range("packs/0a/pack-one", 9, 100), "one");
        EXPECT_EQ(store->get_range("packs/0a/pack-one", 12, 4), "");
        EXPECT_THROW(store->get_range("packs/0a/pack-two", 0, 1), zvfd::ObjectMissing);
    }
    local.remove("packs/0a/pack-one");
    EXPECT_FALSE(local.exists("packs/0a/pack-one"));
    EXPECT_THROW(local.get_range("packs/0a/pack-one", 0, 4), zvfd::ObjectMissing);
}

TEST(LocalStorage, DeferredObjectsAppearWholeAtTheSync) {
    zv_test::ScratchDir dir;
    const std::string big(3u << 20, 'p');
    {
        zvfd::LocalStorage store(dir.path().string());
        ASSERT_TRUE(store.put_if_absent("index/taken", "first"));
        store.put_deferred("packs/ab/ab1", big);
        store.put_deferred("packs/cd/cd2", "");
        store.put_deferred("index/ab1", "index of ab1");
        store.put_deferred("index/taken", "second");
        EXPECT_EQ(store.list(""), (std::vector<std::string>{"index/taken"}));
        EXPECT_THROW(store.get("packs/ab/ab1"), zvfd::ObjectMissing);

        store.sync_deferred();
        EXPECT_EQ(store.list(""),
                  (std::vector<std::string>{"index/ab1", "index/taken", "packs/ab/ab1", "packs/cd/cd2"}));
        EXPECT_EQ(store.get("packs/ab/ab1"), big);
        EXPECT_EQ(store.get("packs/cd/cd2"), "");
        EXPECT_EQ(store.get("index/ab1"), "index of ab1");
        EXPECT_EQ(store.get("index/taken"), "first");
        EXPECT_EQ(files_in(dir.path() / ".tmp"), 0u);
        store.sync_deferred();  // nothing pending: nothing to do

        store.put_deferred("packs/ef/ef3", "never synced");
    }
    zvfd::LocalStorage again(dir.path().string());
    EXPECT_THROW(again.get("packs/ef/ef3"), zvfd::ObjectMissing);
    EXPECT_EQ(again.list("").size(), 4u);
    EXPECT_EQ(files_in(dir.path() / ".tmp"), 0u);
}

TEST(LocalStorage, ListsByPlainPrefixInOrder) {
    zv_test::ScratchDir dir;
    zvfd::LocalStorage store(dir.path().string());
    for (const char* name : {"tasks/7/records/b", "tasks/7/records/a", "tasks/70/records/c", "index/01", "index/00"})
        ASSERT_TRUE(store.put_if_absent(name, name));
    EXPECT_EQ(store.list("tasks/7/"), (std::vector<std::string>{"tasks/7/records/a", "tasks/7/records/b"}));
    EXPECT_EQ(store.list("tasks/7"),
              (std::vector<std::string>{"tasks/7/records/a", "tasks/7/records/b", "tasks/70/records/c"}));
    EXPECT_EQ(store.list("index/0"), (std::vector<std::string>{"index/00", "index/01"}));
    EXPECT_EQ(store.list("").size(), 5u);  // the private ".tmp" directory is not listed
    EXPECT_TRUE(store.list("nothing/").empty());
}

TEST(LocalStorage, RefusesNamesThatLeaveTheStore) {
    zv_test::ScratchDir dir;
    zvfd::LocalStorage store(dir.path().string());
    for (const char* bad : {"", "/abs", "a//b", "../up", "a/../b", ".tmp/x", "a/.hidden", "sp ace", "a/", "new\nline"}) {
        EXPECT_FALSE(zvfd::is_object_name(bad)) << bad;
        EXPECT_THROW(store.put_if_absent(bad, "x"), zvfd::StorageError) << bad;
    }
    for (const char* good : {"a", "packs/0f/0f1e", "tasks/vm-1_x.y/records/r"}) EXPECT_TRUE(zvfd::is_object_name(good));
}

TEST(LocalStorage, RacingWritersStoreOneObject) {
    zv_test::ScratchDir dir;
    zvfd::LocalStorage store(dir.path().string());
    std::atomic<int> won{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            if (store.put_if_absent("race/obj", std::string(100000, static_cast<char>('a' + t)))) ++won;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(won.load(), 1);
    const std::string data = store.get("race/obj");
    ASSERT_EQ(data.size(), 100000u);
    EXPECT_EQ(data.find_first_not_of(data[0]), std::string::npos);
}

// A writer killed at random moments never leaves a half object under a name.
TEST(LocalStorage, KilledWriterLeavesOnlyWholeObjects) {
    zv_test::ScratchDir dir;
    const std::string root = dir.path().string();
    for (int round = 0; round < 5; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            zvfd::LocalStorage store(root);
            for (int i = 0;; ++i) {
                const std::string name = "r" + std::to_string(round) + "/o" + std::to_string(i);
                store.put_if_absent(name, std::string(1 << 20, static_cast<char>('0' + i % 10)));
                if (i == 0 && ::write(ready[1], "x", 1) != 1) ::_exit(1);
            }
        }
        ::close(ready[1]);
        char c;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);  // one object is whole; kill during a later one
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * round));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    zvfd::LocalStorage store(root);
    const auto names = store.list("");
    EXPECT_FALSE(names.empty());
    for (const auto& name : names) {
        const std::string data = store.get(name);
        ASSERT_EQ(data.size(), 1u << 20) << name;
        EXPECT_EQ(data.find_first_not_of(data[0]), std::string::npos) << name;
    }
}

TEST(FaultyStorage, InjectsFailuresCrashesTruncationAndFlips) {
    zv_test::ScratchDir dir;
    zvfd::LocalStorage local(dir.path().string());
    zvfd::FaultyStorage store(local);

    store.fail_put(2);
    EXPECT_TRUE(store.put_if_absent("a", "aaaa"));
    EXPECT_THROW(store.put_if_absent("b", "bbbb"), zvfd::StorageError);
    EXPECT_THROW(local.get("b"), zvfd::ObjectMissing);
    EXPECT_TRUE(store.put_if_absent("b", "bbbb"));

    store.truncate_put(1);
    EXPECT_TRUE(store.put_if_absent("c", "cccccc"));
    EXPECT_EQ(local.get("c"), "ccc");

    store.flip_on_get("a", 1);
    EXPECT_EQ(store.get("a"), std::string("a") + static_cast<char>(~'a') + "aa");
    EXPECT_EQ(store.get("b"), "bbbb");

    store.crash_at_put(1);
    EXPECT_THROW(store.put_if_absent("d", "dddd"), zvfd::StorageError);
    EXPECT_THROW(store.get("a"), zvfd::StorageError);
    EXPECT_THROW(store.list(""), zvfd::StorageError);
    EXPECT_EQ(local.list(""), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(store.puts(), 5u);
}

}  // namespace
