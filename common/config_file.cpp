// Reading and writing the configuration-file model.
#include "common/config_file.h"

#include "common/zv_utils_common.h"

#include <boost/algorithm/string/trim.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <locale>
#include <ostream>

namespace zv_config {

namespace {
// Configuration files are a few lines; anything this large is not one.
constexpr std::size_t largest_config_file = 16 * 1024 * 1024;
}  // namespace

ConfigFile::ConfigFile(const std::string& path) { load(path); }

ConfigFile::ConfigFile(const ConfigFile& other) { copy_entities(other); }

ConfigFile& ConfigFile::operator=(const ConfigFile& other) {
    if (this == &other) return *this;
    clear();
    copy_entities(other);
    return *this;
}

void ConfigFile::copy_entities(const ConfigFile& other) {
    for (const auto& entity : other) {
        if (entity->getType() == CommentType) {
            addComment(static_cast<const Comment&>(*entity).getPure());
        } else {
            const auto& variable = static_cast<const Variable&>(*entity);
            addVariable(variable.getName(), variable.getValue());
        }
    }
}

void ConfigFile::load(const std::string& path) {
    path_ = path;
    std::string error;
    if (!loadConfig(error)) throw WrongConfigException(error);
}

bool ConfigFile::loadConfig(std::string& error) {
    std::string text, reason;
    if (!zv_utils_common::read_regular_file(path_, text, reason, largest_config_file)) {
        error = "Can't open file " + zelvor_common::single_quoted(path_);
        // A missing file keeps the plain message; anything else says why.
        if (reason != std::strerror(ENOENT)) error += ": " + reason;
        return false;
    }
    std::istringstream in(text);
    const std::locale& classic = std::locale::classic();
    std::string line;
    while (std::getline(in, line)) {
        boost::algorithm::trim(line, classic);
        if (line.empty()) continue;
        if (line[0] == commentSign) {
            addComment(line.substr(1));
            continue;
        }
        const auto gap = line.find_first_of(" \t");
        if (gap == std::string::npos) {
            addVariable(line, "");
            continue;
        }
        const auto value = line.find_first_not_of(" \t", gap);
        // The line is trimmed, so a gap is always followed by a value.
        addVariable(line.substr(0, gap), line.substr(value));
    }
    return true;
}

bool ConfigFile::save(const std::string& path) {
    std::ostringstream text;
    for (const auto& entity : entities_) text << *entity;
    return replace_file(path, text.str());
}

namespace {

// Writes all of `text` to `fd`, resuming after partial writes and signals.
bool write_all(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path finally names: symbolic links are followed (a relative target
// from the link's own directory), also to a target that does not exist yet.
bool resolve_links(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT;
        if (!S_ISLNK(info.st_mode)) return true;
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
        target.resize(static_cast<std::size_t>(length));
        path = target[0] == '/' ? target : directory_of(path) + "/" + target;
    }
    return false;
}

// Gives the written, still nameless file a hidden name beside the target, for the
// moment until it is renamed over the target.
bool link_nameless_file(int fd, const std::string& target, std::string& named) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        named = directory_of(target) + "/." + base_name(target) + ".new-" +
                std::to_string(::getpid()) + "-" + std::to_string(attempt);
        if (::linkat(fd, "", AT_FDCWD, named.c_str(), AT_EMPTY_PATH) == 0) return true;
        if (errno != EEXIST &&
            ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST) break;
    }
    named.clear();
    return false;
}

}  // namespace

bool replace_file(const std::string& path, const std::string& text) {
    // A link is written through: the administrator's link stays, and its target
    // gets the text with the owner, group and mode it had.
    std::string target = path;
    if (!resolve_links(target)) return false;
    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) return false;
    mode_t mode;
    if (existed) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    const std::string directory = directory_of(target);

    // The text goes into a file without a name (O_TMPFILE) that gets one only once
    // it is complete, just before the rename: a crash while writing leaves nothing
    // behind. Where the file system cannot do that, a hidden named file stands in,
    // removed on every failure this process lives to see.
    std::string named;
    int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    const bool nameless = fd >= 0;
    if (!nameless) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
        named = directory + "/." + base_name(target) + ".XXXXXX";
        fd = ::mkostemp(&named[0], O_CLOEXEC);
        if (fd < 0) return false;
    }
    // The owner first: changing it clears set-id bits, which the mode then restores.
    bool ok = !existed || ::fchown(fd, old.st_uid, old.st_gid) == 0;
    ok = ok && ::fchmod(fd, mode) == 0;
    ok = ok && write_all(fd, text) && ::fsync(fd) == 0;
    if (ok && nameless) ok = link_nameless_file(fd, target, named);
    ok = (::close(fd) == 0) && ok;
    ok = ok && std::rename(named.c_str(), target.c_str()) == 0;
    if (!ok && !named.empty()) ::unlink(named.c_str());
    if (!ok) return false;
    const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::string ConfigFile::operator[](const std::string& name) const {
    const auto found = index_.find(name);
    if (found == index_.end()) throw VariableAbsentException(name);
    return static_cast<const Variable&>(**found->second).getValue();
}

void ConfigFile::addVariable(const std::string& name, const std::string& value) {
    auto [slot, added] = index_.emplace(name, entities_.end());
    auto variable = std::make_shared<Variable>(&slot->first, value);
    if (added) {
        slot->second = entities_.insert(entities_.end(), std::move(variable));
    } else {
        *slot->second = std::move(variable);
    }
}

void ConfigFile::addComment(const std::string& text) {
    entities_.push_back(std::make_shared<Comment>(text));
}

void ConfigFile::removeVariable(const std::string& name) {
    const auto found = index_.find(name);
    if (found == index_.end()) throw VariableAbsentException(name);
    entities_.erase(found->second);
    index_.erase(found);
}

void ConfigFile::removeComment(const std::string& line) {
    for (auto it = entities_.begin(); it != entities_.end(); ++it) {
        if ((*it)->getType() == CommentType && (*it)->get() == line) {
            entities_.erase(it);
            return;
        }
    }
}

bool ConfigFile::commentExists(const std::string& line) {
    for (const auto& entity : entities_) {
        if (entity->getType() == CommentType && entity->get() == line) return true;
    }
    return false;
}

bool ConfigFile::variableExists(const std::string& name) const {
    return index_.count(name) != 0;
}

void ConfigFile::clear() {
    entities_.clear();
    index_.clear();
    path_.clear();
}

std::ostream& operator<<(std::ostream& stream, ConfigEntity& entity) {
    return stream << entity.get() << std::endl;
}

}  // namespace zv_config
