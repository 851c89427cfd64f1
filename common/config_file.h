// Quoting helpers for messages and lock names, and the configuration-file model
// (name-value lines and comments) used by the logger settings and the upgrade merge.
#pragma once

#include <iomanip>
#include <sstream>
#include <string>

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
