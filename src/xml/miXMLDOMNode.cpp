#include "xml/miXMLDOMNode.h"

#include "base/SystemMessages.h"
#include "xml/XMLUtil.h"
#include "xml/miXMLDOMDetail.h"
#include "xml/mcXmlExc.h"

using namespace mnXmlDetail;

namespace mnXmlDetail {

namespace {

// Decodes the UTF-8 sequence at text[i]; 0 when it is not valid UTF-8.
std::size_t PrvDecode(std::string_view text, std::size_t i, char32_t* cp) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len;
    char32_t value;
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        value = b0 & 0x1F;
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        value = b0 & 0x0F;
        len = 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        value = b0 & 0x07;
        len = 4;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        value = (value << 6) | (b & 0x3F);
    }
    if ((len == 3 && value < 0x800) || (len == 4 && (value < 0x10000 || value > 0x10FFFF))) return 0;
    *cp = value;
    return len;
}

bool PrvIsXmlChar(char32_t cp) {
    // Char ::= #x9 | #xA | #xD | [#x20-#xD7FF] | [#xE000-#xFFFD] | [#x10000-#x10FFFF]
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

bool PrvIsNameStartChar(char32_t c) {
    return c == ':' || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
           (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
           (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool PrvIsNameChar(char32_t c) {
    return PrvIsNameStartChar(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

}  // namespace

bool IsXmlText(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        std::size_t len = PrvDecode(text, i, &cp);
        if (len == 0 || !PrvIsXmlChar(cp)) return false;
        i += len;
    }
    return true;
}

bool IsXmlName(std::string_view text) noexcept {
    if (text.empty()) return false;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        std::size_t len = PrvDecode(text, i, &cp);
        if (len == 0 || !(i == 0 ? PrvIsNameStartChar(cp) : PrvIsNameChar(cp))) return false;
        i += len;
    }
    return true;
}

NamespaceEscape::NamespaceEscape(xmlNodePtr root) {
    try {
        for (xmlNodePtr node = root; node != nullptr; node = NextInSubtree(node, root)) {
            if (node->type != XML_ELEMENT_NODE) continue;
            for (xmlNsPtr ns = node->nsDef; ns != nullptr; ns = ns->next) PrvEscape(ns);
        }
    } catch (...) {
        PrvRestore();
        throw;
    }
}

NamespaceEscape::~NamespaceEscape() { PrvRestore(); }

void NamespaceEscape::PrvEscape(xmlNsPtr ns) {
    const std::string_view href = View(ns->href);
    if (href.find_first_of("<\t\n\r") == std::string_view::npos) return;
    std::string escaped;
    escaped.reserve(href.size() + 16);
    for (const char c : href) {
        switch (c) {
        case '<': escaped += "&lt;"; break;
        case '\t': escaped += "&#9;"; break;
        case '\n': escaped += "&#10;"; break;
        case '\r': escaped += "&#13;"; break;
        default: escaped += c; break;
        }
    }
    m_vecChanged.reserve(m_vecChanged.size() + 1);
    xmlChar* copy = xmlStrndup(reinterpret_cast<const xmlChar*>(escaped.data()), static_cast<int>(escaped.size()));
    if (copy == nullptr) HRToExc(E_OUTOFMEMORY);
    m_vecChanged.emplace_back(ns, ns->href);
    ns->href = copy;
}

void NamespaceEscape::PrvRestore() noexcept {
    for (auto& [ns, original] : m_vecChanged) {
        xmlFree(const_cast<xmlChar*>(ns->href));
        ns->href = original;
    }
    m_vecChanged.clear();
}

}  // namespace mnXmlDetail

namespace {

// The node's text: texts, CDATA, comments and PIs their content; elements and
// documents all text below them (entity references expanded).
bool PrvNodeText(const xmlNode* node, std::string* out) {
    switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        if (out != nullptr) *out = View(node->content);
        return true;
    case XML_ELEMENT_NODE:
        // An element holding one text (the usual case) needs no libxml2 buffer.
        if (node->children == nullptr) {
            if (out != nullptr) out->clear();
            return true;
        }
        if (node->children->next == nullptr && node->children->type == XML_TEXT_NODE) {
            if (out != nullptr) *out = View(node->children->content);
            return true;
        }
        break;
    default:
        break;
    }
    xmlChar* content = xmlNodeGetContent(node);
    if (content == nullptr) {
        // Nothing to convert for node kinds without text; a node with
        // children but no result means libxml2 ran out of memory.
        if (node->children != nullptr) return false;
        if (out != nullptr) out->clear();
        return true;
    }
    if (out != nullptr) *out = View(content);
    xmlFree(content);
    return true;
}

bool PrvIsAncestorOrSelf(const xmlNode* candidate, const xmlNode* node) {
    for (const xmlNode* p = node; p != nullptr; p = p->parent) {
        if (p == candidate) return true;
    }
    return false;
}

}  // namespace

_xmlNode* miXMLDOMNode::PrvNode() const {
    if (m_pNode == nullptr) HRToExc(E_POINTER);
    return m_pNode;
}

void miXMLDOMNode::AppendChild(const miXMLDOMNode& child) {
    xmlNodePtr parent = PrvNode();
    xmlNodePtr node = child.PrvNode();
    if (PrvIsAncestorOrSelf(node, parent)) HRToExc(E_INVALIDARG);
    switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_ENTITY_REF_NODE:
        break;
    default:
        HRToExc(E_INVALIDARG);  // documents, attributes, DTD parts
    }
    if (parent->type == XML_DOCUMENT_NODE) {
        // A document holds one element and no text.
        if (node->type != XML_ELEMENT_NODE && node->type != XML_COMMENT_NODE &&
            node->type != XML_PI_NODE) {
            HRToExc(E_INVALIDARG);
        }
        if (node->type == XML_ELEMENT_NODE) {
            xmlNodePtr root = xmlDocGetRootElement(reinterpret_cast<xmlDocPtr>(parent));
            if (root != nullptr && root != node) HRToExc(E_INVALIDARG);
        }
    } else if (parent->type != XML_ELEMENT_NODE) {
        HRToExc(E_INVALIDARG);
    }

    if (node->parent != nullptr) {
        xmlUnlinkNode(node);
    } else {
        DropOrphan(node);
    }
    if (node->doc != parent->doc) xmlSetTreeDoc(node, parent->doc);
    // Linked by hand: xmlAddChild would merge adjacent texts and free node.
    node->parent = parent;
    node->next = nullptr;
    node->prev = parent->last;
    if (parent->last != nullptr) {
        parent->last->next = node;
    } else {
        parent->children = node;
    }
    parent->last = node;
}

void miXMLDOMNode::RemoveChild(const miXMLDOMNode& child) {
    xmlNodePtr parent = PrvNode();
    xmlNodePtr node = child.PrvNode();
    if (node->parent != parent) HRToExc(E_INVALIDARG);
    xmlUnlinkNode(node);
    AddOrphan(node);
}

std::vector<miXMLDOMNode> miXMLDOMNode::GetChildNodes() const {
    xmlNodePtr parent = PrvNode();
    std::vector<miXMLDOMNode> children;
    for (xmlNodePtr node = parent->children; node != nullptr; node = node->next) {
        children.emplace_back(node);
    }
    return children;
}

std::string miXMLDOMNode::GetNodeName() const {
    xmlNodePtr node = PrvNode();
    switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
        return QName(node->name, node->ns);
    case XML_TEXT_NODE: return "#text";
    case XML_CDATA_SECTION_NODE: return "#cdata-section";
    case XML_COMMENT_NODE: return "#comment";
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE: return "#document";
    case XML_DOCUMENT_FRAG_NODE: return "#document-fragment";
    default: return std::string(View(node->name));
    }
}

std::string miXMLDOMNode::GetXml() const {
    xmlNodePtr node = PrvNode();
    const NamespaceEscape escape(node);
    if (node->type == XML_DOCUMENT_NODE) {
        xmlChar* memory = nullptr;
        int size = 0;
        xmlDocDumpMemoryEnc(reinterpret_cast<xmlDocPtr>(node), &memory, &size, "UTF-8");
        if (memory == nullptr) HRToExc(E_OUTOFMEMORY);
        std::string text(reinterpret_cast<const char*>(memory), static_cast<std::size_t>(size));
        xmlFree(memory);
        return text;
    }
    xmlBufferPtr buffer = xmlBufferCreate();
    if (buffer == nullptr) HRToExc(E_OUTOFMEMORY);
    int written = xmlNodeDump(buffer, node->doc, node, 0, 0);
    std::string text;
    if (written >= 0) text.assign(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                                  static_cast<std::size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    if (written < 0) HRToExc(E_OUTOFMEMORY);
    return text;
}

std::string miXMLDOMNode::GetTextNodeText() const {
    std::string text;
    HRESULT hr = m_pNode == nullptr ? E_POINTER : (PrvNodeText(m_pNode, &text) ? S_OK : E_OUTOFMEMORY);
    if (FAILED(hr)) KTHROW_AT(mcXmlExc, "miXMLDOMNode::GetTextNodeText", 513, mfHResultText(hr));
    return text;
}

bool miXMLDOMNode::FindTextNodeText(std::string* out) const {
    if (m_pNode == nullptr) return false;
    return PrvNodeText(m_pNode, out);
}

std::int32_t miXMLDOMNode::GetTextNodeInt() const {
    std::string text;
    if (!FindTextNodeText(&text)) return 0;
    return mfXmlTextToUInt32Lenient(text);
}
