#include "zvfd_format.h"

#include "zvfd_io.h"

#include <fstream>
#include <sstream>

namespace zvfd {

namespace {
constexpr char kIndexHeader[] = "zvfd-standin-index 1";
}

std::string Index::prop(const std::string& key) const {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

std::string escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\0': out += "\\0"; break;
            default: out += c;
        }
    }
    return out;
}

std::string unescape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case '0': out += '\0'; break;
            default: out += text[i];
        }
    }
    return out;
}

std::string index_text(const Index& index) {
    std::ostringstream out;
    out << kIndexHeader << '\n';
    for (const auto& [key, value] : index.props) out << key << ' ' << escape(value) << '\n';
    for (const auto& f : index.files) {
        out << "file " << f.offset << ' ' << f.size << ' ' << f.stored << ' ' << std::oct << f.mode
            << std::dec << ' ' << escape(f.name) << '\n';
    }
    return out.str();
}

Index parse_index(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kIndexHeader) throw Error("not a zvfd index");
    Index index;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        auto blank = line.find(' ');
        std::string key = line.substr(0, blank);
        std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        if (key != "file") {
            index.props[key] = unescape(rest);
            continue;
        }
        std::istringstream fields(rest);
        FileEntry f;
        fields >> f.offset >> f.size >> f.stored >> std::oct >> f.mode >> std::dec;
        if (!fields || fields.get() != ' ') throw Error("damaged index line: " + line);
        std::string name;
        std::getline(fields, name);
        f.name = unescape(name);
        index.files.push_back(f);
    }
    return index;
}

Index read_meta_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot read metadata file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return parse_index(text.str());
    } catch (const Error& e) {
        throw Error("metadata file " + path + " is damaged: " + e.what());
    }
}

void put_u64(unsigned char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t get_u64(const unsigned char* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

bool is_safe_name(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

bool is_path_component(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace zvfd
