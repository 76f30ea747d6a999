#pragma once
// Handle to one node of a miXMLDOMDocument (libxml2 tree).
//
// Ownership: the document owns every node, attached or not. A node handle is
// one pointer: cheap to copy, never owning, valid while its document lives and
// until the document is loaded again. A default-constructed handle holds
// nothing; using it raises mcXmlExc (invalid pointer). One thread at a time
// per document.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct _xmlNode;

class miXMLDOMNode {
public:
    miXMLDOMNode() = default;
    explicit miXMLDOMNode(_xmlNode* node) : m_pNode(node) {}

    bool IsEmpty() const { return m_pNode == nullptr; }
    explicit operator bool() const { return m_pNode != nullptr; }
    // The libxml2 node (nullptr when empty), for code that needs the tree itself.
    _xmlNode* GetNode() const { return m_pNode; }
    bool operator==(const miXMLDOMNode& other) const { return m_pNode == other.m_pNode; }

    // Moves child (attached anywhere, or not yet attached) to the end of this
    // node's children; adjacent texts are not merged, so child stays valid.
    // Raises mcXmlExc (invalid argument) when child is this node or one of its
    // ancestors, or when a document would get a second element or text.
    void AppendChild(const miXMLDOMNode& child);
    // Detaches child, which must be a child of this node; it stays usable and
    // can be appended again.
    void RemoveChild(const miXMLDOMNode& child);
    // Direct children in order (elements, texts, comments, ...).
    std::vector<miXMLDOMNode> GetChildNodes() const;
    // Tag name for elements; "#text", "#comment", "#cdata-section",
    // "#document" for the others; the target for processing instructions.
    std::string GetNodeName() const;
    // The node and its subtree as XML text (no added indentation).
    std::string GetXml() const;

    // The node's text (for an element: all text below it, in order).
    std::string GetTextNodeText() const;
    // Same; false instead of raising. out may be null.
    bool FindTextNodeText(std::string* out) const;
    // The text read as wcstoul(text, 10) would on a 32-bit system: "12abc"
    // gives 12, "abc" 0. Never raises; an empty handle gives 0.
    std::int32_t GetTextNodeInt() const;

protected:
    // The node, or HRToExc(E_POINTER) when empty.
    _xmlNode* PrvNode() const;

    _xmlNode* m_pNode = nullptr;
};

using miXMLDOMNodeList = std::vector<miXMLDOMNode>;
