// The product version: text forms and the compatibility rule.
#include "common/zv_version.h"

namespace zelvor {

namespace {
// A field at the largest unsigned value has no successor: the difference alone
// would wrap and make 0 look one step above it.
bool is_successor(std::uint32_t next, std::uint32_t previous) {
    return next > previous && next - previous == 1u;
}
}  // namespace

const std::string version_current_string = version_current.to_string();
const std::wstring version_current_wstring = version_current.to_wstring();

std::string Version::to_string() const { return std_string_from<char>(*this); }
std::wstring Version::to_wstring() const { return std_string_from<wchar_t>(*this); }

bool Version::is_accessible_from(const Version& other) const {
    if (major == other.major && minor == other.minor)
        return patch == other.patch || is_successor(patch, other.patch);
    if (major == other.major && is_successor(minor, other.minor)) return patch == 0;
    if (is_successor(major, other.major)) return minor == 0 && patch == 0;
    return false;
}

}  // namespace zelvor
