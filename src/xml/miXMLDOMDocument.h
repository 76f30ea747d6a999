#pragma once
// An XML document (libxml2) with the load, parse, save and create operations
// the system's XML files go through.
//
// Ownership: the document owns its libxml2 tree and every node created for it,
// attached or not; copies of a miXMLDOMDocument share the same document, which
// is freed with the last copy. Element and node handles (miXMLDOMElement,
// miXMLDOMNode) are cheap, non-owning and valid while the document lives; a
// load or loadXML replaces the tree and invalidates every handle into it. One
// thread at a time per document.
//
// Parsing is local and bounded: no network access, no external entities or
// DTDs are ever loaded, libxml2's size limits stay in force, and entity
// expansion that would grow the text beyond ten times the input (at least
// 1 MB) is refused as a parse error. Whitespace-only text between elements is
// dropped on parsing.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xml/miXMLDOMElement.h"
#include "xml/mcXmlAttributeLimits.h"
#include "xml/miXMLDOMNode.h"

struct _xmlDoc;

class miXMLDOMDocument {
public:
    // A new, empty document. Creation failures raise mcXmlExc through HRToExc.
    miXMLDOMDocument();

    // Kept for callers; loading is always synchronous.
    void SetAsync(bool bAsync);
    // With validation on, a document whose DOCTYPE carries an internal subset
    // (and no external identifier) must be valid against it. External DTDs
    // are never loaded, so documents that name one are not validated.
    void SetValidateOnParse(bool bValidate);
    bool GetAsync() const;
    bool GetValidateOnParse() const;
    // Limits every later load and loadXML checks before building the tree
    // (see mcXmlAttributeLimits); a document past them fails as a parse
    // error. None by default.
    void SetAttributeLimits(const mcXmlAttributeLimits& limits);

    // Loads and parses the file (encoding from its declaration or byte order
    // mark). Any failure: mcXmlExc "ZRXML: Unable to load '<path>'" and the
    // document is left empty.
    void load(const std::string& path);
    // Parses UTF-8 text (a declaration naming another encoding is ignored). A
    // leading declaration naming encoding="UTF-8" is dropped first; when it is
    // not closed by "?>": mcXmlExc "XML declaration not found in buffer".
    // Parse errors: mcXmlExc with the parse-error report
    // ("ZRXML: Unable to load XML from buffer\r  Error Code: ..."). On failure
    // the document is left empty.
    void loadXML(std::string_view text);
    // Writes the document (indented, in the encoding of its declaration, UTF-8
    // when it has none) to a temporary file in the same folder, syncs it and
    // renames it over path, so path holds either the old or the new content.
    // Failure: mcXmlExc through HRToExc with the system error; the old file is
    // untouched and no temporary file is left.
    void save(const std::string& path) const;

    // The root element (an empty handle when there is none).
    miXMLDOMElement GetDocumentElement() const;
    // New nodes, owned by the document and not yet attached. Names must be XML
    // names and texts valid UTF-8 made of XML characters, else mcXmlExc
    // (invalid argument).
    miXMLDOMElement CreateElement(std::string_view name);
    miXMLDOMNode CreateTextNode(std::string_view text);
    miXMLDOMElement CreateTextElement(std::string_view name, std::string_view text);
    // All elements with that tag name ("*": all), in document order.
    std::vector<miXMLDOMElement> GetElementsByTagName(std::string_view name) const;

    // Node operations on the document node itself (see miXMLDOMNode).
    miXMLDOMNode AsNode() const;
    void AppendChild(const miXMLDOMNode& child);
    void RemoveChild(const miXMLDOMNode& child);
    std::vector<miXMLDOMNode> GetChildNodes() const;
    std::string GetNodeName() const;
    // The whole document as XML text, with its declaration.
    std::string GetXml() const;

    // Shared state of one document; defined in the implementation.
    struct State;

private:
    struct ParseError;
    // Replaces the tree with the parse of bytes (URL names a file being
    // loaded, nullptr for a buffer). False with *error filled on failure, and
    // the document is then empty.
    bool PrvParse(std::string_view bytes, const char* url, bool bForceUtf8, ParseError* error);
    void PrvReset();
    // Raises the parse-error report for the buffer that failed.
    [[noreturn]] static void ThrowLoadXMLException(const ParseError& error, std::string_view buffer);

    std::shared_ptr<State> m_pState;
};
