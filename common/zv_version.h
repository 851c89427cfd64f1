// The product version value, its text form and the compatibility rule used by
// the configuration upgrade and the version reports.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

namespace zelvor {

struct Version {
    std::uint32_t major;
    std::uint32_t minor;
    std::uint32_t patch;

    std::string to_string() const;
    std::wstring to_wstring() const;
    // True when this version equals `other` or is exactly one step above it.
    bool is_accessible_from(const Version& other) const;
};

template <typename Stream>
Stream& operator<<(Stream& stream, const Version& version) {
    stream << version.major << "." << version.minor << "." << version.patch;
    return stream;
}

template <typename CharT, typename Traits = std::char_traits<CharT>,
          typename Alloc = std::allocator<CharT>>
std::basic_string<CharT, Traits, Alloc> std_string_from(const Version& version) {
    std::basic_ostringstream<CharT, Traits, Alloc> stream;
    stream << version;
    return stream.str();
}

inline constexpr Version version_current{2, 1, 0};
inline constexpr Version version_unknown{0, 0, 0};
extern const std::string version_current_string;
extern const std::wstring version_current_wstring;

}  // namespace zelvor
