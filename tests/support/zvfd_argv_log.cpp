#include "support/zvfd_argv_log.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zv_test {

bool ZvfdInvocation::has(const std::string& option) const {
    return std::find(args.begin(), args.end(), option) != args.end();
}

std::optional<std::string> ZvfdInvocation::value(const std::string& option) const {
    auto it = std::find(args.begin(), args.end(), option);
    if (it == args.end() || it + 1 == args.end()) return std::nullopt;
    return *(it + 1);
}

namespace {

class Reader {
public:
    explicit Reader(std::string text) : text_(std::move(text)) {}
    bool done() const { return pos_ >= text_.size(); }

    void expect(const std::string& literal) {
        if (text_.compare(pos_, literal.size(), literal) != 0) fail("expected '" + literal + "'");
        pos_ += literal.size();
    }
    long number(char end) {
        std::size_t stop = text_.find(end, pos_);
        if (stop == std::string::npos || stop == pos_) fail("expected a number");
        std::string digits = text_.substr(pos_, stop - pos_);
        if (digits.find_first_not_of("0123456789") != std::string::npos) fail("expected a number");
        pos_ = stop + 1;
        return std::stol(digits);
    }
    std::string field() {
        std::size_t len = static_cast<std::size_t>(number(':'));
        if (pos_ + len + 1 > text_.size() || text_[pos_ + len] != '\n') fail("field runs past its record");
        std::string value = text_.substr(pos_, len);
        pos_ += len + 1;
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("zvfd argv log damaged at byte " + std::to_string(pos_) + ": " + what);
    }
    std::string text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::vector<ZvfdInvocation> read_zvfd_argv_log(const boost::filesystem::path& path) {
    std::vector<ZvfdInvocation> runs;
    if (!boost::filesystem::exists(path)) return runs;
    std::ifstream in(path.string(), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read zvfd argv log " + path.string());
    Reader reader(std::string(std::istreambuf_iterator<char>(in), {}));
    while (!reader.done()) {
        ZvfdInvocation run;
        reader.expect("zvfd-argv 1\npid ");
        run.pid = reader.number('\n');
        reader.expect("cwd ");
        run.cwd = reader.field();
        reader.expect("argc ");
        long argc = reader.number('\n');
        for (long i = 0; i < argc; ++i) {
            std::string arg = reader.field();
            if (i == 0)
                run.program = arg;
            else
                run.args.push_back(arg);
        }
        runs.push_back(std::move(run));
    }
    return runs;
}

}  // namespace zv_test
