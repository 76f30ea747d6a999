#pragma once
// Handle to one element of a miXMLDOMDocument: lookups, attributes and their
// conversions. Same ownership rules as miXMLDOMNode (the document owns the
// tree; handles are cheap and valid while it lives). A handle built from a
// node that is not an element raises mcXmlExc (no such interface) on element
// operations.
//
// Two lookup families: GetChildElement, GetChildElementByAttrVal,
// FindChildElement and their text/int forms search the whole subtree by tag
// name (a name used at two depths is ambiguous); FindDirectChild and
// GetChildElementsByName look at direct children only. Every lookup is a
// single pass without copying names.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xml/miXMLDOMNode.h"

class miXMLDOMElement : public miXMLDOMNode {
public:
    miXMLDOMElement() = default;
    explicit miXMLDOMElement(_xmlNode* node) : miXMLDOMNode(node) {}
    explicit miXMLDOMElement(const miXMLDOMNode& node) : miXMLDOMNode(node.GetNode()) {}

    std::string GetTagName() const;

    // Creates or replaces the attribute. Names must be XML names and values
    // valid UTF-8 made of XML characters, else mcXmlExc (invalid argument).
    void SetAttributeText(std::string_view name, std::string_view value);
    // Removes the attribute; false when it was not there.
    bool RemoveAttribute(std::string_view name);
    // false when absent; otherwise true and the value through out (may be null).
    bool FindAttributeText(std::string_view name, std::string* out) const;
    // true exactly when the attribute exists and equals value (case-sensitive).
    bool HasAttributeText(std::string_view name, std::string_view value) const;
    // false when absent or when ToBool rejects the value; out may be null.
    bool FindAttributeBool(std::string_view name, bool* out) const;
    // Absent: mcXmlExc "GetAttributeInt: attribute not found". Not a 32-bit
    // number: mcXmlExc "XML Element: Attribute <name>: <conversion error>".
    std::int32_t GetAttributeInt(std::string_view name) const;
    // Absent: mcXmlExc "GetAttributeText: attribute not found".
    std::string GetAttributeText(std::string_view name) const;

    // The only descendant with that tag name; mcXmlExc "GetChildElement:
    // requested child not found" / "GetChildElement: ambiguous child found".
    miXMLDOMElement GetChildElement(std::string_view name) const;
    // The only descendant with that tag name whose attribute equals attrValue;
    // mcXmlExc "GetChildElementByAttrVal: ambiguous matches found" (at the
    // second match) / "GetChildElementByAttrVal: no matching child found".
    miXMLDOMElement GetChildElementByAttrVal(std::string_view tagName, std::string_view attrName,
                                             std::string_view attrValue) const;
    // true exactly when one descendant has that tag name; out may be null.
    bool FindChildElement(std::string_view name, miXMLDOMElement* out) const;
    // FindChildElement, then FindTextNodeText on the element.
    bool FindChildElementText(std::string_view name, std::string* out) const;
    std::string GetChildElementText(std::string_view name) const;
    std::int32_t GetChildElementInt(std::string_view name) const;
    // All descendants with that tag name ("*": all), in document order.
    std::vector<miXMLDOMElement> GetElementsByTagName(std::string_view name) const;

    // The first direct child element with that name; false when none.
    bool FindDirectChild(std::string_view name, miXMLDOMElement* out) const;
    // Counts (and appends to list when not null) the direct child elements with
    // that name, in order.
    std::size_t GetChildElementsByName(std::string_view name,
                                       std::vector<miXMLDOMElement>* list) const;

private:
    // The element, or mcXmlExc for an empty handle / a node of another kind.
    _xmlNode* PrvElement() const;
};

using miXMLDOMElementList = std::vector<miXMLDOMElement>;
