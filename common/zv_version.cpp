#include "common/zv_version.h"

namespace zelvor {

const std::string version_current_string = version_current.to_string();
const std::wstring version_current_wstring = version_current.to_wstring();

std::string Version::to_string() const { return std_string_from<char>(*this); }
std::wstring Version::to_wstring() const { return std_string_from<wchar_t>(*this); }

bool Version::is_accessible_from(const Version& other) const {
    // Unsigned differences: a field at its largest value has no successor.
    if (major == other.major && minor == other.minor)
        return patch == other.patch || patch - other.patch == 1u;
    if (major == other.major && minor - other.minor == 1u) return patch == 0;
    if (major - other.major == 1u) return minor == 0 && patch == 0;
    return false;
}

}  // namespace zelvor
