#include "xml/miXMLDOMElement.h"

#include "base/SystemMessages.h"
#include "xml/XMLUtil.h"
#include "xml/miXMLDOMDetail.h"
#include "xml/mcXmlExc.h"

using namespace mnXmlDetail;

namespace {

// E_POINTER for an empty handle, E_NOINTERFACE for a node that is no element.
HRESULT PrvCheck(const xmlNode* node) {
    if (node == nullptr) return E_POINTER;
    return node->type == XML_ELEMENT_NODE ? S_OK : E_NOINTERFACE;
}

std::string PrvAttributeError(std::string_view name, HRESULT hr) {
    return "XML Element: Attribute " + std::string(name) + ": " + mfHResultText(hr);
}

}  // namespace

_xmlNode* miXMLDOMElement::PrvElement() const {
    HRToExc(PrvCheck(m_pNode));
    return m_pNode;
}

std::string miXMLDOMElement::GetTagName() const {
    xmlNodePtr element = PrvElement();
    return QName(element->name, element->ns);
}

void miXMLDOMElement::SetAttributeText(std::string_view name, std::string_view value) {
    xmlNodePtr element = PrvElement();
    const std::string strName(name);
    const std::string strValue(value);
    if (!IsXmlName(strName) || !IsXmlText(strValue)) {
        HRToExc(E_INVALIDARG);
    }
    // Replace in place when present, so the attribute keeps its position.
    if (xmlAttrPtr attr = FindAttribute(element, name)) {
        xmlNodePtr text = xmlNewDocText(element->doc, reinterpret_cast<const xmlChar*>(strValue.c_str()));
        if (text == nullptr) HRToExc(E_OUTOFMEMORY);
        xmlFreeNodeList(attr->children);
        text->parent = reinterpret_cast<xmlNodePtr>(attr);
        attr->children = text;
        attr->last = text;
        return;
    }
    if (xmlNewProp(element, reinterpret_cast<const xmlChar*>(strName.c_str()),
                   reinterpret_cast<const xmlChar*>(strValue.c_str())) == nullptr) {
        HRToExc(E_OUTOFMEMORY);
    }
}

bool miXMLDOMElement::RemoveAttribute(std::string_view name) {
    xmlNodePtr element = PrvElement();
    xmlAttrPtr attr = FindAttribute(element, name);
    if (attr == nullptr) return false;
    xmlRemoveProp(attr);
    return true;
}

bool miXMLDOMElement::FindAttributeText(std::string_view name, std::string* out) const {
    HRESULT hr = PrvCheck(m_pNode);
    if (SUCCEEDED(hr)) {
        xmlAttrPtr attr = FindAttribute(m_pNode, name);
        if (attr == nullptr) return false;
        if (AttributeValue(attr, out)) return true;
        hr = E_OUTOFMEMORY;
    }
    KTHROW_AT(mcXmlExc, "miXMLDOMElement::FindAttributeText", 324, mfHResultText(hr));
}

bool miXMLDOMElement::HasAttributeText(std::string_view name, std::string_view value) const {
    HRESULT hr = PrvCheck(m_pNode);
    if (SUCCEEDED(hr)) {
        xmlAttrPtr attr = FindAttribute(m_pNode, name);
        if (attr == nullptr) return false;
        // Compare without copying when the value is one plain text.
        if (attr->children != nullptr && attr->children->next == nullptr &&
            attr->children->type == XML_TEXT_NODE) {
            return View(attr->children->content) == value;
        }
        std::string text;
        if (AttributeValue(attr, &text)) return text == value;
        hr = E_OUTOFMEMORY;
    }
    KTHROW_AT(mcXmlExc, "miXMLDOMElement::HasAttributeText", 364, mfHResultText(hr));
}

bool miXMLDOMElement::FindAttributeBool(std::string_view name, bool* out) const {
    std::string text;
    if (!FindAttributeText(name, &text)) return false;
    try {
        bool value = ToBool(std::string_view(text));
        if (out != nullptr) *out = value;
        return true;
    } catch (const mcExc&) {
        return false;
    }
}

std::int32_t miXMLDOMElement::GetAttributeInt(std::string_view name) const {
    xmlNodePtr element = PrvElement();
    xmlAttrPtr attr = FindAttribute(element, name);
    if (attr == nullptr) {
        KTHROW_AT(mcXmlExc, "miXMLDOMElement::GetAttributeInt", 695,
                  "GetAttributeInt: attribute not found");
    }
    std::string text;
    std::int32_t value = 0;
    HRESULT hr = AttributeValue(attr, &text) ? mfXmlTextToInt32(text, &value) : E_OUTOFMEMORY;
    if (FAILED(hr)) KTHROW_AT(mcXmlExc, "miXMLDOMElement::GetAttributeInt", 704,
                                PrvAttributeError(name, hr));
    return value;
}

std::string miXMLDOMElement::GetAttributeText(std::string_view name) const {
    xmlNodePtr element = PrvElement();
    xmlAttrPtr attr = FindAttribute(element, name);
    if (attr == nullptr) {
        KTHROW_AT(mcXmlExc, "miXMLDOMElement::GetAttributeText", 728,
                  "GetAttributeText: attribute not found");
    }
    std::string text;
    if (!AttributeValue(attr, &text)) {
        KTHROW_AT(mcXmlExc, "miXMLDOMElement::GetAttributeText", 737,
               PrvAttributeError(name, E_OUTOFMEMORY));
    }
    return text;
}

miXMLDOMElement miXMLDOMElement::GetChildElement(std::string_view name) const {
    xmlNodePtr root = PrvElement();
    xmlNodePtr found = nullptr;
    for (xmlNodePtr node = NextInSubtree(root, root); node != nullptr;
         node = NextInSubtree(node, root)) {
        if (!ElementNameEquals(node, name)) continue;
        if (found != nullptr) {
            KTHROW_AT(mcXmlExc, "miXMLDOMElement::GetChildElement", 764,
                   "GetChildElement: ambiguous child found");
        }
        found = node;
    }
    if (found == nullptr) {
        KTHROW_AT(mcXmlExc, "miXMLDOMElement::GetChildElement", 760,
               "GetChildElement: requested child not found");
    }
    return miXMLDOMElement(found);
}

miXMLDOMElement miXMLDOMElement::GetChildElementByAttrVal(std::string_view tagName,
                                                          std::string_view attrName,
                                                          std::string_view attrValue) const {
    xmlNodePtr root = PrvElement();
    miXMLDOMElement match;
    for (xmlNodePtr node = NextInSubtree(root, root); node != nullptr;
         node = NextInSubtree(node, root)) {
        if (!ElementNameEquals(node, tagName)) continue;
        miXMLDOMElement candidate(node);
        if (!candidate.HasAttributeText(attrName, attrValue)) continue;
        if (!match.IsEmpty()) {
            KTHROW_AT(mcXmlExc, "miXMLDOMElement::GetChildElementByAttrVal", 831,
                   "GetChildElementByAttrVal: ambiguous matches found");
        }
        match = candidate;
    }
    if (match.IsEmpty()) {
        KTHROW_AT(mcXmlExc, "miXMLDOMElement::GetChildElementByAttrVal", 848,
               "GetChildElementByAttrVal: no matching child found");
    }
    return match;
}

bool miXMLDOMElement::FindChildElement(std::string_view name, miXMLDOMElement* out) const {
    xmlNodePtr root = PrvElement();
    xmlNodePtr found = nullptr;
    for (xmlNodePtr node = NextInSubtree(root, root); node != nullptr;
         node = NextInSubtree(node, root)) {
        if (!ElementNameEquals(node, name)) continue;
        if (found != nullptr) return false;  // two or more
        found = node;
    }
    if (found == nullptr) return false;
    if (out != nullptr) *out = miXMLDOMElement(found);
    return true;
}

bool miXMLDOMElement::FindChildElementText(std::string_view name, std::string* out) const {
    miXMLDOMElement child;
    return FindChildElement(name, &child) && child.FindTextNodeText(out);
}

std::string miXMLDOMElement::GetChildElementText(std::string_view name) const {
    return GetChildElement(name).GetTextNodeText();
}

std::int32_t miXMLDOMElement::GetChildElementInt(std::string_view name) const {
    return GetChildElement(name).GetTextNodeInt();
}

std::vector<miXMLDOMElement> miXMLDOMElement::GetElementsByTagName(std::string_view name) const {
    xmlNodePtr root = PrvElement();
    std::vector<miXMLDOMElement> list;
    for (xmlNodePtr node = NextInSubtree(root, root); node != nullptr;
         node = NextInSubtree(node, root)) {
        if (ElementNameEquals(node, name)) list.emplace_back(node);
    }
    return list;
}

bool miXMLDOMElement::FindDirectChild(std::string_view name, miXMLDOMElement* out) const {
    xmlNodePtr parent = PrvElement();
    for (xmlNodePtr node = parent->children; node != nullptr; node = node->next) {
        if (ElementNameIs(node, name)) {
            if (out != nullptr) *out = miXMLDOMElement(node);
            return true;
        }
    }
    return false;
}

std::size_t miXMLDOMElement::GetChildElementsByName(std::string_view name,
                                                    std::vector<miXMLDOMElement>* list) const {
    xmlNodePtr parent = PrvElement();
    std::size_t count = 0;
    for (xmlNodePtr node = parent->children; node != nullptr; node = node->next) {
        if (!ElementNameIs(node, name)) continue;
        ++count;
        if (list != nullptr) list->emplace_back(node);
    }
    return count;
}
