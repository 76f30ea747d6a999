#pragma once
// Internals shared by the XML wrapper sources; not for use elsewhere.
#include <libxml/tree.h>

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "xml/miXMLDOMDocument.h"

// What a miXMLDOMDocument shares between its copies. The libxml2 document
// points back at it through _private, so node handles find their document.
struct miXMLDOMDocument::State {
    xmlDocPtr doc = nullptr;
    bool bAsync = true;
    bool bValidateOnParse = true;
    mcXmlAttributeLimits attributeLimits;
    // Nodes of this document that have no parent (created and not yet
    // attached, or removed): freed with the document.
    std::unordered_set<xmlNodePtr> orphans;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() { FreeTree(); }

    void FreeTree() {
        for (xmlNodePtr node : orphans) {
            if (node->parent == nullptr) xmlFreeNode(node);
        }
        orphans.clear();
        if (doc != nullptr) xmlFreeDoc(doc);
        doc = nullptr;
    }

    static State* Of(const xmlNode* node) {
        return (node != nullptr && node->doc != nullptr) ? static_cast<State*>(node->doc->_private)
                                                         : nullptr;
    }
};

namespace mnXmlDetail {

inline std::string_view View(const xmlChar* text) {
    return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text));
}

// The node's qualified name ("prefix:local" or "local") equals name. No copies.
inline bool QNameEquals(const xmlChar* local, const xmlNs* ns, std::string_view name) {
    std::string_view localName = View(local);
    if (ns != nullptr && ns->prefix != nullptr) {
        std::string_view prefix = View(ns->prefix);
        return name.size() == prefix.size() + 1 + localName.size() &&
               name.compare(0, prefix.size(), prefix) == 0 && name[prefix.size()] == ':' &&
               name.compare(prefix.size() + 1, std::string_view::npos, localName) == 0;
    }
    return name == localName;
}

// Tag-name match of the getElementsByTagName family: "*" matches every element.
inline bool ElementNameEquals(const xmlNode* node, std::string_view name) {
    return node->type == XML_ELEMENT_NODE && (name == "*" || QNameEquals(node->name, node->ns, name));
}

// Exact node-name match of the direct-child lookups.
inline bool ElementNameIs(const xmlNode* node, std::string_view name) {
    return node->type == XML_ELEMENT_NODE && QNameEquals(node->name, node->ns, name);
}

inline std::string QName(const xmlChar* local, const xmlNs* ns) {
    std::string result;
    if (ns != nullptr && ns->prefix != nullptr) {
        result = View(ns->prefix);
        result += ':';
    }
    result += View(local);
    return result;
}

// The next node of a pre-order walk of root's subtree (root excluded from the
// result; attributes, the DTD and entity contents not entered); nullptr at the end.
inline xmlNodePtr NextInSubtree(xmlNodePtr node, const xmlNode* root) {
    if (node->children != nullptr && node->type != XML_ENTITY_REF_NODE &&
        node->type != XML_DTD_NODE && node->type != XML_ENTITY_DECL) {
        return node->children;
    }
    while (node != root) {
        if (node->next != nullptr) return node->next;
        node = node->parent;
        if (node == nullptr) return nullptr;
    }
    return nullptr;
}

// The text is valid UTF-8 made only of characters XML 1.0 allows.
bool IsXmlText(std::string_view text) noexcept;

// libxml2 writes namespace names (xmlns="..." and xmlns:p="...") as they
// are kept: "&" stays in its reference form "&#38;" and quotes are taken care
// of, but a "<" comes out as markup that does not parse again, and white
// space would change. While alive, this gives every namespace declared in
// root's subtree (the whole document when root is the document) a name with
// those characters as references, for the writer; the destructor puts the
// real names back. The tree must not be used
// otherwise meanwhile. Throws mcXmlExc (out of memory) and then has restored
// everything.
class NamespaceEscape {
public:
    explicit NamespaceEscape(xmlNodePtr root);
    ~NamespaceEscape();
    NamespaceEscape(const NamespaceEscape&) = delete;
    NamespaceEscape& operator=(const NamespaceEscape&) = delete;

private:
    void PrvEscape(xmlNsPtr ns);
    void PrvRestore() noexcept;

    // The declarations changed, with the name each had before.
    std::vector<std::pair<xmlNsPtr, const xmlChar*>> m_vecChanged;
};
// The text is an XML 1.0 (fifth edition) Name, as the parser accepts names.
bool IsXmlName(std::string_view text) noexcept;

// Marks node as parentless (owned by its document until attached).
inline void AddOrphan(xmlNodePtr node) {
    if (miXMLDOMDocument::State* state = miXMLDOMDocument::State::Of(node)) state->orphans.insert(node);
}
inline void DropOrphan(xmlNodePtr node) {
    if (miXMLDOMDocument::State* state = miXMLDOMDocument::State::Of(node)) state->orphans.erase(node);
}

// The attribute of element with that qualified name (DTD defaults not included).
inline xmlAttrPtr FindAttribute(const xmlNode* element, std::string_view name) {
    for (xmlAttrPtr attr = element->properties; attr != nullptr; attr = attr->next) {
        if (QNameEquals(attr->name, attr->ns, name)) return attr;
    }
    return nullptr;
}

// The attribute's value with entity references expanded; false when out of memory.
inline bool AttributeValue(const xmlAttr* attr, std::string* out) {
    if (attr->children == nullptr) {
        if (out != nullptr) out->clear();
        return true;
    }
    // A single text child (the usual case) needs no libxml2 allocation.
    if (attr->children->next == nullptr && attr->children->type == XML_TEXT_NODE) {
        if (out != nullptr) *out = View(attr->children->content);
        return true;
    }
    xmlChar* value = xmlNodeListGetString(attr->doc, attr->children, 1);
    if (value == nullptr) return false;
    if (out != nullptr) *out = View(value);
    xmlFree(value);
    return true;
}

}  // namespace mnXmlDetail
