// Reading and writing the configuration-file model.
#include "common/config_file.h"

#include <boost/algorithm/string/trim.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <locale>
#include <ostream>

namespace zv_config {

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
    std::ifstream in(path_);
    if (!in.is_open()) {
        error = "Can't open file " + zelvor_common::single_quoted(path_);
        return false;
    }
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

}  // namespace

bool ConfigFile::save(const std::string& path) {
    std::ostringstream text;
    for (const auto& entity : entities_) text << *entity;

    // The new text goes to a file beside the target and replaces it only once it is
    // complete on disk, so a full disk or a failed write never costs the old file.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) return false;
    // mkstemp makes the file private; give it the mode the target had, or the one
    // a newly created file would get.
    struct stat target {};
    mode_t mode;
    if (::stat(path.c_str(), &target) == 0) {
        mode = target.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = ::fchmod(fd, mode) == 0;
    ok = ok && write_all(fd, text.str()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
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
