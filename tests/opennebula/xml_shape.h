// The shape of an OpenNebula XML document as one line, for comparing what the
// restore documents keep: "NAME(text) DISK[IMAGE(x) SIZE(1)] ...".
#pragma once

#include "opennebula/opennebula.h"

#include <boost/filesystem.hpp>
#include <libxml/parser.h>

#include <string>

namespace one_test {

// The element's children: text elements as NAME(text), others as NAME[...].
inline std::string shape(xmlDoc* doc, const xmlNode* node) {
    std::string out;
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        if (!out.empty()) out += " ";
        out += reinterpret_cast<const char*>(child->name);
        bool elements = false;
        for (const xmlNode* c = child->children; c; c = c->next) elements |= c->type == XML_ELEMENT_NODE;
        out += elements ? "[" + shape(doc, child) + "]"
                        : "(" + zv_opennebula_common::element_text(doc, child) + ")";
    }
    return out;
}

// The shape of the file's root element, "not parsed" or "wrong root" instead.
inline std::string file_shape(const boost::filesystem::path& path, const char* root = "TEMPLATE") {
    xmlDoc* doc = xmlParseFile(path.c_str());
    if (!doc) return "not parsed";
    const xmlNode* top = xmlDocGetRootElement(doc);
    std::string out = zv_opennebula_common::has_name(top, root) ? shape(doc, top) : "wrong root";
    xmlFreeDoc(doc);
    return out;
}

}  // namespace one_test
