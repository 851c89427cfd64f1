// Ordering a test's events without guessing at times: a Hold keeps the archiver (its
// test aid word "hold=FILE") or a fake program (its shell lines) waiting at a known
// point until the test releases it, and wait_for polls for a state with a deadline so
// generous that only a fault reaches it.
//
//   zv_test::Hold hold(box.root() / "archiver");
//   options.env["ZVFD_TEST_AID"] = hold.aid();
//   auto run = box.start(args, options);
//   ASSERT_TRUE(hold.wait_held());   // the archiver has begun and cannot end
//   ...                              // what must happen while it works
//   hold.release();
#pragma once

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <functional>
#include <string>

namespace zv_test {

// Long enough for any step of a run on a machine loaded several times over.
constexpr std::chrono::seconds kGenerousDeadline{300};

// Polls `state` until it holds (true) or `deadline` has passed (false).
bool wait_for(const std::function<bool()>& state, std::chrono::seconds deadline = kGenerousDeadline);

class Hold {
public:
    // `file` must not exist yet; FILE.held and FILE.fifo go beside it.
    explicit Hold(boost::filesystem::path file);
    // Releases whatever is still held, so that a failing test leaves nothing waiting.
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    // The archiver's test aid word: it waits after every progress line until released.
    std::string aid() const;
    // Shell lines (sh or bash) that mark the program held and wait, without a child
    // process, until the release; every program that runs them waits.
    std::string shell() const;

    bool held() const;
    bool wait_held(std::chrono::seconds deadline = kGenerousDeadline) const;
    // From now on nothing waits at this hold.
    void release() const;

private:
    boost::filesystem::path file_;
};

}  // namespace zv_test
