// Quoting helpers for messages and lock names, and the configuration-file model
// (name-value lines and comments) used by the logger settings and the upgrade merge.
#pragma once

#include <exception>
#include <iomanip>
#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

namespace zelvor {

template <typename CharT, typename Text>
std::basic_string<CharT> make_quoted_std(Text&& text, CharT delimiter, CharT escape) {
    std::basic_ostringstream<CharT> stream;
    stream << std::quoted(std::forward<Text>(text), delimiter, escape);
    return stream.str();
}

template <typename CharT>
std::basic_string<CharT> as_quoted(const std::basic_string<CharT>& text, CharT delimiter,
                                   CharT escape) {
    return make_quoted_std<CharT>(text, delimiter, escape);
}

template <typename CharT>
std::basic_string<CharT> as_quoted_single(const std::basic_string<CharT>& text) {
    return as_quoted(text, CharT('\''), CharT('\\'));
}

}  // namespace zelvor

namespace zelvor_common {

inline std::string single_quoted(const std::string& text) {
    return zelvor::as_quoted_single(text);
}

}  // namespace zelvor_common

// The ordered model of a configuration file: comment lines ("#" and text) and
// variable lines (a name, white space, a value), kept in file order with an index
// of the variables by name.
//
//   zv_config::ConfigFile config("/opt/zelvor/etc/zv_logger.config");
//   std::string level = config["log_level"];   // VariableAbsentException if missing
//   config.addVariable("log_level", "Debug");
//   if (!config.save("/opt/zelvor/etc/zv_logger.config")) { /* nothing was replaced */ }
namespace zv_config {

constexpr char commentSign = '#';

enum ConfigEntityType { CommentType = 0, VariableType = 1 };

class ConfigEntity {
public:
    explicit ConfigEntity(ConfigEntityType type) : type_(type) {}
    virtual ~ConfigEntity() = default;
    // The entity's line in the file, without the line end.
    virtual std::string get() = 0;
    ConfigEntityType getType() const { return type_; }

private:
    ConfigEntityType type_;
};

class Comment : public ConfigEntity {
public:
    explicit Comment(const std::string& text) : ConfigEntity(CommentType), text_(text) {}
    std::string get() override { return commentSign + text_; }
    std::string getPure() const { return text_; }

private:
    std::string text_;
};

// The name is the owning file's index key: a variable is valid only while its
// ConfigFile holds it.
class Variable : public ConfigEntity {
public:
    Variable(const std::string* name, const std::string& value)
        : ConfigEntity(VariableType), name_(name), value_(value) {}
    std::string get() override { return *name_ + " " + value_; }
    std::string getName() const { return *name_; }
    std::string getValue() const { return value_; }

private:
    const std::string* name_;
    std::string value_;
};

class WrongConfigException : public std::exception {
public:
    explicit WrongConfigException(std::string message) : message_(std::move(message)) {}
    ~WrongConfigException() override = default;
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Carries the bare name of the variable that was asked for.
class VariableAbsentException : public std::exception {
public:
    explicit VariableAbsentException(std::string name) : name_(std::move(name)) {}
    ~VariableAbsentException() override = default;
    const char* what() const noexcept override { return name_.c_str(); }

private:
    std::string name_;
};

class ConfigFile {
public:
    using Entities = std::list<std::shared_ptr<ConfigEntity>>;

    ConfigFile() = default;
    // Reads the file; throws WrongConfigException when it cannot be opened or is
    // not a regular file (a FIFO or a device is never read).
    explicit ConfigFile(const std::string& path);
    // Copies have no path and entities of their own.
    ConfigFile(const ConfigFile& other);
    ConfigFile& operator=(const ConfigFile& other);
    virtual ~ConfigFile() = default;

    // Adds the file's lines to the entities already present; the path is set
    // even when reading fails (WrongConfigException).
    void load(const std::string& path);
    bool loadConfig(std::string& error);
    // Writes the entities through replace_file (below).
    bool save(const std::string& path);

    std::string operator[](const std::string& name) const;
    // A known name keeps its place and takes the value; a new one is appended.
    void addVariable(const std::string& name, const std::string& value);
    void addComment(const std::string& text);
    void removeVariable(const std::string& name);
    // `line` is the comment's whole line, "#" included.
    void removeComment(const std::string& line);
    bool commentExists(const std::string& line);
    bool variableExists(const std::string& name) const;
    void clear();

    Entities::const_iterator begin() const { return entities_.begin(); }
    Entities::const_iterator end() const { return entities_.end(); }

private:
    void copy_entities(const ConfigFile& other);

    std::string path_;
    Entities entities_;
    std::map<std::string, Entities::iterator> index_;
};

std::ostream& operator<<(std::ostream& stream, ConfigEntity& entity);

// Replaces the file at `path` with `text` only once the whole text is on disk: a
// failure (false) leaves the old file as it was, and no temporary file behind. A
// symbolic link is written through to its target, which keeps its owner, group
// and mode; a target that is not a regular file is refused.
bool replace_file(const std::string& path, const std::string& text);

}  // namespace zv_config
