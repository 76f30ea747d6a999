#include "xml/miXMLDOMDocument.h"

#include <fcntl.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "base/FileUtils.h"
#include "base/SystemMessages.h"
#include "base/Win32Error.h"
#include "xml/miXMLDOMDetail.h"
#include "xml/mcXmlExc.h"

using namespace mnXmlDetail;

struct miXMLDOMDocument::ParseError {
    int code = 0;
    long filePos = 0;
    int line = 0;
    int linePos = 0;
    std::string reason;
};

namespace {

constexpr const char* kLoadXmlFailed = "ZRXML: Unable to load XML from buffer";
constexpr const char* kUtf8Declaration = "encoding=\"UTF-8\"";
constexpr std::size_t kReportBufferChars = 300;
// Entity expansion may add at most this much text, or kAmplification times the
// input when that is more.
constexpr std::uint64_t kEntityAllowance = 1000000;
constexpr std::uint64_t kAmplification = 10;
constexpr const char* kAmplificationReason = "Maximum entity amplification factor exceeded";

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NODICT |
                              XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void PrvInitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// Collects the first libxml2 error raised on this thread while alive and keeps
// libxml2 from printing anything.
class ErrorCapture {
public:
    ErrorCapture() : m_pOldHandler(xmlStructuredError), m_pOldContext(xmlStructuredErrorContext) {
        xmlSetStructuredErrorFunc(this, &ErrorCapture::Handler);
    }
    ~ErrorCapture() { xmlSetStructuredErrorFunc(m_pOldContext, m_pOldHandler); }
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;

    bool HasError() const { return m_bHasError; }
    int code = 0;
    int line = 0;
    int column = 0;
    std::string message;

private:
    static void Handler(void* context, xmlErrorPtr error) {
        auto* self = static_cast<ErrorCapture*>(context);
        if (error == nullptr || error->level < XML_ERR_ERROR) return;
        // The first fatal error explains a failed parse best; a plain error
        // (a namespace slip, a validity error) only when there is no fatal one.
        const bool fatal = error->level == XML_ERR_FATAL;
        if (self->m_bHasError && (self->m_bFatal || !fatal)) return;
        self->m_bHasError = true;
        self->m_bFatal = fatal;
        self->code = error->code;
        self->line = error->line;
        self->column = error->int2;
        self->message = error->message != nullptr ? error->message : "";
    }

    xmlStructuredErrorFunc m_pOldHandler;
    void* m_pOldContext;
    bool m_bHasError = false;
    bool m_bFatal = false;
};

std::string PrvTrimReason(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

bool PrvIsLead(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// 1-based character position of (line, column) in the UTF-8 buffer.
long PrvCharPosition(std::string_view buffer, int line, int column) {
    long chars = 0;
    int currentLine = 1;
    std::size_t i = 0;
    for (; i < buffer.size() && currentLine < line; ++i) {
        if (PrvIsLead(buffer[i])) ++chars;
        if (buffer[i] == '\n') ++currentLine;
    }
    return chars + (column > 0 ? column : 1);
}

std::string PrvFirstChars(std::string_view text, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (PrvIsLead(text[i])) {
            if (chars == maxChars) return std::string(text.substr(0, i));
            ++chars;
        }
    }
    return std::string(text);
}

// Expanded text size of entity references, with a budget: stops counting once
// the budget is exceeded.
class EntityBudget {
public:
    EntityBudget(xmlDocPtr doc, std::uint64_t budget) : m_pDoc(doc), m_nBudget(budget) {}

    bool Exceeded() const { return m_nTotal > m_nBudget; }
    int FirstLine() const { return m_nLine; }

    // Counts every entity reference below node (attributes included).
    void CountTree(xmlNodePtr root) {
        for (xmlNodePtr node = root; node != nullptr && !Exceeded();
             node = NextInSubtree(node, root)) {
            if (node->type == XML_ENTITY_REF_NODE) {
                Add(ReferenceSize(node), node);
            } else if (node->type == XML_ELEMENT_NODE) {
                for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
                    for (xmlNodePtr part = attr->children; part != nullptr; part = part->next) {
                        if (part->type == XML_ENTITY_REF_NODE) Add(ReferenceSize(part), node);
                    }
                }
            }
        }
    }

private:
    void Add(std::uint64_t size, xmlNodePtr node) {
        m_nTotal += size;
        if (Exceeded() && m_nLine == 0) m_nLine = static_cast<int>(xmlGetLineNo(node));
    }

    std::uint64_t ReferenceSize(xmlNodePtr reference) {
        xmlEntityPtr entity = xmlGetDocEntity(m_pDoc, reference->name);
        if (entity == nullptr) return 0;
        auto found = m_mapSizes.find(entity);
        if (found != m_mapSizes.end()) return found->second;
        m_mapSizes[entity] = m_nBudget + 1;  // a reference loop counts as too much
        std::uint64_t size = ListSize(entity->children);
        m_mapSizes[entity] = size;
        return size;
    }

    std::uint64_t ListSize(xmlNodePtr list) {
        std::uint64_t size = 0;
        for (xmlNodePtr node = list; node != nullptr && size <= m_nBudget; node = node->next) {
            switch (node->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                size += xmlStrlen(node->content);
                break;
            case XML_ENTITY_REF_NODE:
                size += ReferenceSize(node);
                break;
            case XML_ELEMENT_NODE:
                size += ListSize(node->children);
                for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
                    size += ListSize(attr->children);
                }
                break;
            default:
                break;
            }
        }
        return size;
    }

    xmlDocPtr m_pDoc;
    std::uint64_t m_nBudget;
    std::uint64_t m_nTotal = 0;
    int m_nLine = 0;
    std::unordered_map<xmlEntityPtr, std::uint64_t> m_mapSizes;
};

bool PrvReadFile(const std::string& path, std::string* bytes) {
    // Non-blocking: a FIFO or device in its place must not hold the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < INT_MAX;
    if (ok) {
        bytes->resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (ok && done < bytes->size()) {
            ssize_t n = ::read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                bytes->resize(done);  // the file shrank meanwhile
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

miXMLDOMDocument::miXMLDOMDocument() : m_pState(std::make_shared<State>()) {
    PrvInitLibrary();
    PrvReset();
}

void miXMLDOMDocument::PrvReset() {
    m_pState->FreeTree();
    xmlDocPtr doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    if (doc == nullptr) HRToExc(E_OUTOFMEMORY);
    doc->_private = m_pState.get();
    m_pState->doc = doc;
}

void miXMLDOMDocument::SetAsync(bool bAsync) { m_pState->bAsync = bAsync; }
void miXMLDOMDocument::SetValidateOnParse(bool bValidate) { m_pState->bValidateOnParse = bValidate; }
bool miXMLDOMDocument::GetAsync() const { return m_pState->bAsync; }
bool miXMLDOMDocument::GetValidateOnParse() const { return m_pState->bValidateOnParse; }
void miXMLDOMDocument::SetAttributeLimits(const mcXmlAttributeLimits& limits) { m_pState->attributeLimits = limits; }

bool miXMLDOMDocument::PrvParse(std::string_view bytes, const char* url, bool bForceUtf8,
                                ParseError* error) {
    PrvReset();
    if (bytes.size() >= static_cast<std::size_t>(INT_MAX)) {
        error->code = XML_ERR_DOCUMENT_END;
        error->reason = "Document too large";
        return false;
    }
    if (!m_pState->attributeLimits.Check(bytes, error->reason, error->line)) {
        error->code = XML_ERR_USER_STOP;
        error->linePos = 1;
        error->filePos = PrvCharPosition(bytes, error->line, error->linePos);
        return false;
    }
    ErrorCapture capture;
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (ctxt == nullptr) HRToExc(E_OUTOFMEMORY);
    const int options = kParseOptions | (bForceUtf8 ? XML_PARSE_IGNORE_ENC : 0);
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), url,
                                      bForceUtf8 ? "UTF-8" : nullptr, options);
    if (doc == nullptr) {
        const xmlError* last = xmlCtxtGetLastError(ctxt);
        if (capture.HasError() || last == nullptr || last->code == XML_ERR_OK) {
            error->code = capture.code;
            error->line = capture.line;
            error->linePos = capture.column;
            error->reason = PrvTrimReason(capture.message);
        } else {
            error->code = last->code;
            error->line = last->line;
            error->linePos = last->int2;
            error->reason = PrvTrimReason(last->message != nullptr ? last->message : "");
        }
        xmlFreeParserCtxt(ctxt);
        error->filePos = PrvCharPosition(bytes, error->line, error->linePos);
        return false;
    }
    xmlFreeParserCtxt(ctxt);
    doc->_private = m_pState.get();
    xmlFreeDoc(m_pState->doc);
    m_pState->doc = doc;

    // Entity references are kept as references; their expansion (when the
    // text is read) must stay in proportion to the input.
    const std::uint64_t budget = std::max<std::uint64_t>(kEntityAllowance, kAmplification * bytes.size());
    EntityBudget entityBudget(doc, budget);
    entityBudget.CountTree(reinterpret_cast<xmlNodePtr>(doc));
    if (entityBudget.Exceeded()) {
        error->code = XML_ERR_ENTITY_LOOP;
        error->line = entityBudget.FirstLine();
        error->linePos = 1;
        error->reason = kAmplificationReason;
        error->filePos = PrvCharPosition(bytes, error->line, error->linePos);
        PrvReset();
        return false;
    }

    // Validation against an internal subset only: external DTDs are never read.
    xmlDtdPtr dtd = doc->intSubset;
    if (m_pState->bValidateOnParse && dtd != nullptr && dtd->ExternalID == nullptr &&
        dtd->SystemID == nullptr) {
        ErrorCapture validityCapture;
        xmlValidCtxtPtr valid = xmlNewValidCtxt();
        if (valid == nullptr) HRToExc(E_OUTOFMEMORY);
        valid->error = nullptr;
        valid->warning = nullptr;
        int ok = xmlValidateDtd(valid, doc, dtd);
        xmlFreeValidCtxt(valid);
        if (ok != 1) {
            error->code = validityCapture.HasError() ? validityCapture.code : XML_ERR_INTERNAL_ERROR;
            error->line = validityCapture.line;
            error->linePos = validityCapture.column;
            error->reason = PrvTrimReason(validityCapture.message);
            error->filePos = PrvCharPosition(bytes, error->line, error->linePos);
            PrvReset();
            return false;
        }
    }
    return true;
}

void miXMLDOMDocument::load(const std::string& path) {
    std::string bytes;
    ParseError error;
    if (!PrvReadFile(path, &bytes) || !PrvParse(bytes, path.c_str(), false, &error)) {
        PrvReset();
        KTHROW_AT(mcXmlExc, "miXMLDOMDocument::load", 292, "ZRXML: Unable to load '" + path + "'");
    }
}

void miXMLDOMDocument::loadXML(std::string_view text) {
    // A leading declaration naming UTF-8 is dropped: the buffer is parsed as
    // UTF-8 whatever it declares.
    if (text.find(kUtf8Declaration) != std::string_view::npos) {
        std::size_t start = 0;
        if (text.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
        while (start < text.size() &&
               (text[start] == ' ' || text[start] == '\t' || text[start] == '\r' || text[start] == '\n')) {
            ++start;
        }
        if (text.substr(start, 5) == "<?xml") {
            std::size_t end = text.find("?>", start);
            if (end == std::string_view::npos) {
                PrvReset();
                KTHROW_AT(mcXmlExc, "miXMLDOMDocument::loadXML", 366,
                          "XML declaration not found in buffer");
            }
            text.remove_prefix(end + 2);
        }
    }
    ParseError error;
    if (!PrvParse(text, nullptr, true, &error)) ThrowLoadXMLException(error, text);
}

void miXMLDOMDocument::ThrowLoadXMLException(const ParseError& error, std::string_view buffer) {
    std::string report = std::string(kLoadXmlFailed) + "\r" + "  Error Code: " +
                         std::to_string(error.code) + "  File Pos: " + std::to_string(error.filePos) +
                         "  Line: " + std::to_string(error.line) +
                         "  Line Pos: " + std::to_string(error.linePos) + "  Reason: " + error.reason;
    if (!buffer.empty()) report += "\r\tXML buffer:\t" + PrvFirstChars(buffer, kReportBufferChars);
    KTHROW_AT(mcXmlExc, "miXMLDOMDocument::ThrowLoadXMLException", 543, report);
}

void miXMLDOMDocument::save(const std::string& path) const {
    xmlDocPtr doc = m_pState->doc;
    xmlChar* memory = nullptr;
    int size = 0;
    {
        ErrorCapture capture;
        const NamespaceEscape escape(reinterpret_cast<xmlNodePtr>(doc));
        const char* encoding =
            doc->encoding != nullptr ? reinterpret_cast<const char*>(doc->encoding) : "UTF-8";
        xmlDocDumpFormatMemoryEnc(doc, &memory, &size, encoding, 1);
        if (memory == nullptr && doc->encoding != nullptr) {
            xmlDocDumpFormatMemoryEnc(doc, &memory, &size, "UTF-8", 1);
        }
    }
    if (memory == nullptr) HRToExc(E_OUTOFMEMORY);
    std::string bytes(reinterpret_cast<const char*>(memory), static_cast<std::size_t>(size));
    xmlFree(memory);

    // Through the crash-safe writer; a new file gets 0644 (less the umask).
    if (!mfWriteFileAtomic(path, bytes, 0644)) HRToExc(HRESULT_FROM_WIN32(mfGetLastError()));
}

miXMLDOMElement miXMLDOMDocument::GetDocumentElement() const {
    return miXMLDOMElement(xmlDocGetRootElement(m_pState->doc));
}

miXMLDOMElement miXMLDOMDocument::CreateElement(std::string_view name) {
    const std::string strName(name);
    if (!IsXmlName(strName)) {
        HRToExc(E_INVALIDARG);
    }
    xmlNodePtr node =
        xmlNewDocNode(m_pState->doc, nullptr, reinterpret_cast<const xmlChar*>(strName.c_str()), nullptr);
    if (node == nullptr) HRToExc(E_OUTOFMEMORY);
    AddOrphan(node);
    return miXMLDOMElement(node);
}

miXMLDOMNode miXMLDOMDocument::CreateTextNode(std::string_view text) {
    if (!IsXmlText(text) || text.size() >= static_cast<std::size_t>(INT_MAX)) HRToExc(E_INVALIDARG);
    xmlNodePtr node = xmlNewDocTextLen(m_pState->doc, reinterpret_cast<const xmlChar*>(text.data()),
                                       static_cast<int>(text.size()));
    if (node == nullptr) HRToExc(E_OUTOFMEMORY);
    AddOrphan(node);
    return miXMLDOMNode(node);
}

miXMLDOMElement miXMLDOMDocument::CreateTextElement(std::string_view name, std::string_view text) {
    miXMLDOMElement element = CreateElement(name);
    element.AppendChild(CreateTextNode(text));
    return element;
}

std::vector<miXMLDOMElement> miXMLDOMDocument::GetElementsByTagName(std::string_view name) const {
    std::vector<miXMLDOMElement> list;
    auto root = reinterpret_cast<xmlNodePtr>(m_pState->doc);
    for (xmlNodePtr node = NextInSubtree(root, root); node != nullptr; node = NextInSubtree(node, root)) {
        if (ElementNameEquals(node, name)) list.emplace_back(node);
    }
    return list;
}

miXMLDOMNode miXMLDOMDocument::AsNode() const {
    return miXMLDOMNode(reinterpret_cast<xmlNodePtr>(m_pState->doc));
}

void miXMLDOMDocument::AppendChild(const miXMLDOMNode& child) { AsNode().AppendChild(child); }
void miXMLDOMDocument::RemoveChild(const miXMLDOMNode& child) { AsNode().RemoveChild(child); }
std::vector<miXMLDOMNode> miXMLDOMDocument::GetChildNodes() const { return AsNode().GetChildNodes(); }
std::string miXMLDOMDocument::GetNodeName() const { return AsNode().GetNodeName(); }
std::string miXMLDOMDocument::GetXml() const { return AsNode().GetXml(); }
