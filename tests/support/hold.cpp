#include "support/hold.h"

#include "common/zv_shell.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <thread>

namespace fs = boost::filesystem;

namespace zv_test {

bool wait_for(const std::function<bool()>& state, std::chrono::seconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (state()) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

namespace {
std::string with_suffix(const fs::path& file, const char* suffix) { return file.string() + suffix; }
}  // namespace

Hold::Hold(fs::path file) : file_(std::move(file)) {
    if (fs::exists(file_)) throw std::runtime_error("a hold's file exists already: " + file_.string());
    fs::create_directories(file_.parent_path());
    if (::mkfifo(with_suffix(file_, ".fifo").c_str(), 0600) != 0)
        throw std::runtime_error("cannot make the fifo of the hold " + file_.string());
}

Hold::~Hold() { release(); }

std::string Hold::aid() const { return "hold=" + file_.string(); }

std::string Hold::shell() const {
    const std::string file = zv_utils_common::shell_quote(file_.string());
    // The file is looked at again once the fifo is open: a release between the two
    // looks found no reader to wake, but has created the file by then.
    return ": > " + zv_utils_common::shell_quote(with_suffix(file_, ".held")) + "\nif [ ! -e " + file +
           " ]; then\n  exec 9<> " + zv_utils_common::shell_quote(with_suffix(file_, ".fifo")) + "\n  [ -e " +
           file + " ] || read _ <&9\n  exec 9<&-\nfi\n";
}

bool Hold::held() const { return fs::exists(with_suffix(file_, ".held")); }

bool Hold::wait_held(std::chrono::seconds deadline) const {
    return wait_for([this] { return held(); }, deadline);
}

void Hold::release() const {
    if (!fs::exists(file_)) std::ofstream(file_.string());
    // Every program that waits on the fifo reads one line of these.
    const int fd = ::open(with_suffix(file_, ".fifo").c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return;  // nobody waits there
    const std::string lines(256, '\n');
    const ssize_t written = ::write(fd, lines.data(), lines.size());
    (void)written;
    ::close(fd);
}

}  // namespace zv_test
