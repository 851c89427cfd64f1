// Small libxml2 helpers shared by the KVM module's readers of domain XML (the overlay
// merge of a stopped domain and the restore deployment).
#pragma once

#include <libxml/tree.h>

#include <string>

namespace kvm_xml {

inline bool named(xmlNodePtr node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// The attribute's text, or "" when the element has none.
inline std::string property(xmlNodePtr node, const char* name) {
    xmlChar* value = xmlGetProp(node, BAD_CAST name);
    if (value == nullptr) return std::string();
    std::string text = reinterpret_cast<const char*>(value);
    xmlFree(value);
    return text;
}

}  // namespace kvm_xml
