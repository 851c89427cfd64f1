// Text for an XML attribute or element as libvirt writes it into a domain XML: the
// five special characters escaped.
#pragma once

#include <string>

namespace zv_test {

inline std::string xml_escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '\'': escaped += "&apos;"; break;
            case '"': escaped += "&quot;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

}  // namespace zv_test
