// miXMLDOMDocument: parsing, the parse-error report, hostile input (external
// entities, entity expansion bombs), crash-safe saving.
#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>

#include "XmlTestUtil.h"
#include "support/FsTestUtil.h"
#include "support/ScratchMachine.h"
#include "xml/miXMLDOMDocument.h"

namespace {

const char kReportHead[] = "ZRXML: Unable to load XML from buffer\r  Error Code: ";

bool StartsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }
bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A TCP port on 127.0.0.1 that notices any connection attempt.
class ConnectionTrap {
public:
    ConnectionTrap() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_fd, 4);
        socklen_t len = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &len);
        m_nPort = ntohs(address.sin_port);
    }
    ~ConnectionTrap() { ::close(m_fd); }
    int Port() const { return m_nPort; }
    bool Connected() const {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

private:
    int m_fd = -1;
    int m_nPort = 0;
};

}  // namespace

TEST(XmlLoadXmlTest, Utf8DeclarationIsDroppedAndMustBeClosed) {
    miXMLDOMDocument doc;
    doc.loadXML("<?xml version=\"1.0\" encoding=\"UTF-8\"?><root a=\"1\">caf\xC3\xA9</root>");
    EXPECT_EQ(doc.GetDocumentElement().GetTagName(), "root");
    EXPECT_EQ(doc.GetDocumentElement().GetTextNodeText(), "caf\xC3\xA9");

    std::string function;
    EXPECT_EQ(XmlFailure([&] { doc.loadXML("<?xml version=\"1.0\" encoding=\"UTF-8\"<root/>"); },
                         &function),
              "XML declaration not found in buffer");
    EXPECT_EQ(function, "miXMLDOMDocument::loadXML");
    EXPECT_TRUE(doc.GetDocumentElement().IsEmpty());  // a failed load leaves nothing behind
}

TEST(XmlLoadXmlTest, DeclarationTextInsideContentIsNotADeclaration) {
    // Only a leading declaration is dropped; the same words in content are data.
    miXMLDOMDocument doc;
    doc.loadXML("<cmd>--opt encoding=\"UTF-8\"</cmd>");
    EXPECT_EQ(doc.GetDocumentElement().GetTextNodeText(), "--opt encoding=\"UTF-8\"");
    doc.loadXML("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>x</r>");
    EXPECT_EQ(doc.GetDocumentElement().GetTextNodeText(), "x");
}

TEST(XmlLoadXmlTest, BufferIsUtf8WhateverItDeclares) {
    miXMLDOMDocument doc;
    doc.loadXML("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xC3\xA9\xE2\x82\xAC</r>");
    EXPECT_EQ(doc.GetDocumentElement().GetTextNodeText(), "\xC3\xA9\xE2\x82\xAC");
    // Not UTF-8 at all: a parse error, not garbage.
    EXPECT_TRUE(StartsWith(XmlFailure([&] { doc.loadXML("<r>\xE9</r>"); }), kReportHead));
}

TEST(XmlLoadXmlTest, ParseErrorReport) {
    miXMLDOMDocument doc;
    std::string function;
    std::string report = XmlFailure([&] { doc.loadXML("<a>\n<b>\n</a>"); }, &function);
    EXPECT_EQ(function, "miXMLDOMDocument::ThrowLoadXMLException");
    ASSERT_TRUE(StartsWith(report, kReportHead)) << report;
    EXPECT_TRUE(Contains(report, "  File Pos: ")) << report;
    EXPECT_TRUE(Contains(report, "  Line: 3  Line Pos: ")) << report;
    EXPECT_TRUE(Contains(report, "  Reason: Opening and ending tag mismatch")) << report;
    EXPECT_TRUE(Contains(report, "\r\tXML buffer:\t<a>\n<b>\n</a>")) << report;
    EXPECT_TRUE(doc.GetDocumentElement().IsEmpty());

    // A long malformed buffer: the report ends with its first 300 characters
    // (characters, not bytes).
    std::string buffer = "<r>";
    while (buffer.size() < 1000) buffer += "\xC3\xA9";
    std::string expectedHead = buffer.substr(0, 3 + 2 * 297);
    report = XmlFailure([&] { doc.loadXML(buffer); });
    EXPECT_TRUE(StartsWith(report, kReportHead));
    const std::string tail = "\r\tXML buffer:\t" + expectedHead;
    ASSERT_GE(report.size(), tail.size());
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail);

    // An empty buffer reports without the buffer part.
    report = XmlFailure([&] { doc.loadXML(""); });
    EXPECT_TRUE(StartsWith(report, kReportHead));
    EXPECT_FALSE(Contains(report, "XML buffer"));
}

TEST(XmlLoadXmlTest, ErrorPositionCountsCharacters) {
    miXMLDOMDocument doc;
    // Line 2 starts after 4 characters ("<a>" and the line feed); the bad
    // character '<' is the third of line 2 after two two-byte characters.
    std::string report = XmlFailure([&] { doc.loadXML("<a>\n\xC3\xA9\xC3\xA9<</a>"); });
    EXPECT_TRUE(Contains(report, "  Line: 2  Line Pos: ")) << report;
    auto pos = report.find("Line Pos: ");
    int linePos = std::stoi(report.substr(pos + 10));
    pos = report.find("File Pos: ");
    long filePos = std::stol(report.substr(pos + 10));
    EXPECT_EQ(filePos, 4 + linePos) << report;
}

TEST(XmlLoadTest, FilesLoadAndFailuresNameThePath) {
    testsupport::ScratchMachine dir;
    fstest::WriteFile(dir / "good.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r>caf\xE9</r>\n");
    miXMLDOMDocument doc;
    doc.load(dir / "good.xml");
    EXPECT_EQ(doc.GetDocumentElement().GetTextNodeText(), "caf\xC3\xA9");

    fstest::WriteFile(dir / "bad.xml", "<r><unclosed></r>");
    std::string function;
    for (const std::string& path : {dir / "bad.xml", dir / "missing.xml", dir.Path()}) {
        EXPECT_EQ(XmlFailure([&] { doc.load(path); }, &function), "ZRXML: Unable to load '" + path + "'");
        EXPECT_EQ(function, "miXMLDOMDocument::load");
        EXPECT_TRUE(doc.GetDocumentElement().IsEmpty());
    }
}

TEST(XmlSecurityTest, ExternalEntitiesAndDtdsAreNeverRead) {
    testsupport::ScratchMachine dir;
    const std::string secret = "TOP-SECRET-MARKER";
    fstest::WriteFile(dir / "secret.txt", secret);
    fstest::WriteFile(dir / "evil.dtd", "<!ENTITY leak SYSTEM \"file://" + (dir / "secret.txt") + "\">");
    fstest::WriteFile(dir / "evil.ent", "<!ENTITY inner \"" + secret + "\">");
    ConnectionTrap trap;
    const std::string net = "http://127.0.0.1:" + std::to_string(trap.Port()) + "/x";

    const std::string cases[] = {
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + (dir / "secret.txt") + "\">]><r>&x;</r>",
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + (dir / "secret.txt") + "\">]><r a=\"&x;\">&x;</r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + (dir / "evil.ent") + "\"> %p;]><r>&inner;</r>",
        "<!DOCTYPE r SYSTEM \"file://" + (dir / "evil.dtd") + "\"><r>&leak;</r>",
        "<!DOCTYPE r SYSTEM \"" + net + "\"><r/>",
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + net + "\">]><r>&x;</r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + net + "\"> %p;]><r/>",
        "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + (dir / "secret.txt") +
            "\" parse=\"text\"/></r>",
    };
    for (bool validate : {true, false}) {
        for (const std::string& text : cases) {
            miXMLDOMDocument doc;
            doc.SetValidateOnParse(validate);
            try {
                doc.loadXML(text);
            } catch (const mcXmlExc& exc) {
                EXPECT_FALSE(Contains(exc.Description(), secret));
                continue;  // refusing the document is as good as not reading
            }
            EXPECT_FALSE(Contains(doc.GetXml(), secret)) << text;
            miXMLDOMElement root = doc.GetDocumentElement();
            if (!root.IsEmpty()) {
                EXPECT_FALSE(Contains(root.GetTextNodeText(), secret)) << text;
                std::string a;
                if (root.FindAttributeText("a", &a)) {
                    EXPECT_FALSE(Contains(a, secret)) << text;
                }
            }
        }
        // The same through a file load.
        fstest::WriteFile(dir / "doc.xml", cases[0]);
        miXMLDOMDocument doc;
        doc.SetValidateOnParse(validate);
        try {
            doc.load(dir / "doc.xml");
            EXPECT_FALSE(Contains(doc.GetXml(), secret));
        } catch (const mcXmlExc&) {
        }
    }
    EXPECT_FALSE(trap.Connected());
}

TEST(XmlSecurityTest, BillionLaughsFailsWithTheParseReport) {
    std::string dtd = "<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    std::string previous = "lol";
    for (int i = 1; i <= 9; ++i) {
        std::string name = "lol" + std::to_string(i);
        dtd += "<!ENTITY " + name + " \"";
        for (int k = 0; k < 10; ++k) dtd += "&" + previous + ";";
        dtd += "\">";
        previous = name;
    }
    dtd += "]>";
    miXMLDOMDocument doc;
    doc.SetValidateOnParse(false);
    for (const char* body : {"<lolz>&lol9;</lolz>", "<lolz a=\"&lol9;\"/>"}) {
        std::string report = XmlFailure([&] { doc.loadXML(dtd + body); });
        EXPECT_TRUE(StartsWith(report, kReportHead)) << report;
        EXPECT_TRUE(doc.GetDocumentElement().IsEmpty());
    }
}

TEST(XmlSecurityTest, QuadraticBlowupFailsWithTheParseReport) {
    // 50,000 references to a 50,000 character entity: 2.5 GB once expanded.
    const std::string entity(50000, 'a');
    std::string refs;
    for (int i = 0; i < 50000; ++i) refs += "&a;";
    const std::string dtd = "<!DOCTYPE k [<!ENTITY a \"" + entity + "\">]>";
    miXMLDOMDocument doc;
    doc.SetValidateOnParse(false);
    for (const std::string& body : {"<k>" + refs + "</k>", "<k><x>" + refs + "</x></k>"}) {
        std::string report = XmlFailure([&] { doc.loadXML(dtd + body); });
        EXPECT_TRUE(StartsWith(report, kReportHead)) << report.substr(0, 200);
        EXPECT_TRUE(Contains(report, "Reason: Maximum entity amplification factor exceeded"))
            << report.substr(0, 200);
        EXPECT_TRUE(doc.GetDocumentElement().IsEmpty());
    }
    // Nested a few levels, so no single entity is large.
    std::string nested = "<!DOCTYPE k [<!ENTITY e0 \"" + std::string(1000, 'x') + "\">";
    for (int i = 1; i <= 3; ++i) {
        nested += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 20; ++k) nested += "&e" + std::to_string(i - 1) + ";";
        nested += "\">";
    }
    nested += "]><k a=\"&e3;\">&e3;&e3;</k>";
    EXPECT_TRUE(StartsWith(XmlFailure([&] { doc.loadXML(nested); }), kReportHead));
}

TEST(XmlSecurityTest, ModestEntitiesStillWork) {
    miXMLDOMDocument doc;
    doc.loadXML("<!DOCTYPE r [<!ELEMENT r (#PCDATA)><!ATTLIST r a CDATA #IMPLIED>"
                "<!ENTITY who \"world\">]><r a=\"hello &who;\">hello &who; &amp; more</r>");
    EXPECT_EQ(doc.GetDocumentElement().GetTextNodeText(), "hello world & more");
    EXPECT_EQ(doc.GetDocumentElement().GetAttributeText("a"), "hello world");
}

TEST(XmlValidationTest, InternalSubsetIsCheckedOnlyWhenAskedFor) {
    const std::string invalid = "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><b/></r>";
    miXMLDOMDocument doc;
    EXPECT_TRUE(doc.GetValidateOnParse());
    EXPECT_TRUE(StartsWith(XmlFailure([&] { doc.loadXML(invalid); }), kReportHead));
    doc.SetValidateOnParse(false);
    doc.loadXML(invalid);
    EXPECT_EQ(doc.GetDocumentElement().GetTagName(), "r");
    doc.SetValidateOnParse(true);
    doc.loadXML("<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><a/></r>");
    // Documents without a DOCTYPE are never validated.
    doc.loadXML("<r><anything/></r>");
    EXPECT_EQ(doc.GetDocumentElement().GetTagName(), "r");
}

TEST(XmlSaveTest, SaveReplacesAtomicallyAndRoundTrips) {
    testsupport::ScratchMachine dir;
    const std::string path = dir / "ComponentMgrConfig.xml";
    miXMLDOMDocument doc;
    miXMLDOMElement root = doc.CreateElement("Config");
    doc.AppendChild(root);
    miXMLDOMElement component = doc.CreateElement("Component");
    component.SetAttributeText("name", "a<b>&\"c\"\n\ttab");
    component.AppendChild(doc.CreateTextElement("InstallPath", "  /opt/x y/\xE2\x82\xAC  "));
    root.AppendChild(component);
    doc.save(path);

    fstest::WriteFile(dir / "unrelated.txt", "x");
    ::chmod(path.c_str(), 0640);
    component.SetAttributeText("version", "1.00.0073");
    doc.save(path);  // over an existing file
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the file keeps its permissions
    EXPECT_EQ(FolderEntries(dir.Path()).size(), 2u);      // no temporary file left behind

    const std::string saved = fstest::ReadFile(dir / "ComponentMgrConfig.xml");
    EXPECT_TRUE(StartsWith(saved, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>")) << saved;
    EXPECT_TRUE(Contains(saved, "\n  <Component")) << saved;  // indented for people

    miXMLDOMDocument copy;
    copy.load(path);
    miXMLDOMElement loaded = copy.GetDocumentElement().GetChildElement("Component");
    EXPECT_EQ(loaded.GetAttributeText("name"), "a<b>&\"c\"\n\ttab");
    EXPECT_EQ(loaded.GetAttributeText("version"), "1.00.0073");
    EXPECT_EQ(loaded.GetChildElementText("InstallPath"), "  /opt/x y/\xE2\x82\xAC  ");
    // Indentation does not come back as text nodes.
    for (const miXMLDOMNode& child : copy.GetDocumentElement().GetChildNodes()) {
        EXPECT_EQ(child.GetNodeName(), "Component");
    }
}

TEST(XmlSaveTest, NamespaceNamesWithMarkupCharactersRoundTrip) {
    // A namespace name may hold an escaped "<" and character references for
    // white space. They were written back as they are, so a loaded and saved
    // file did not load again (a store would then have set its configuration
    // aside as damaged), and white space turned into blanks.
    testsupport::ScratchMachine dir;
    const std::string path = dir / "ns.xml";
    miXMLDOMDocument doc;
    doc.loadXML("<a:root xmlns:a=\"urn:a&lt;b&amp;c=&quot;d&quot;'e'\"><item xmlns=\"urn:x&#9;y&#10;z\">"
                "<a:leaf>t</a:leaf></item></a:root>");
    const auto namespaceOf = [](const miXMLDOMElement& element) {
        const _xmlNs* ns = element.GetNode()->ns;
        return ns != nullptr && ns->href != nullptr ? std::string(reinterpret_cast<const char*>(ns->href))
                                                    : std::string("(none)");
    };
    const std::string nameA = namespaceOf(doc.GetDocumentElement());
    const std::string nameDefault = namespaceOf(doc.GetDocumentElement().GetChildElement("item"));
    EXPECT_TRUE(Contains(nameA, "urn:a<b")) << nameA;
    EXPECT_EQ(nameDefault, "urn:x\ty\nz");
    doc.save(path);

    miXMLDOMDocument reloaded;
    ASSERT_NO_THROW(reloaded.load(path)) << fstest::ReadFile(dir / "ns.xml");
    EXPECT_EQ(namespaceOf(reloaded.GetDocumentElement()), nameA);
    EXPECT_EQ(namespaceOf(reloaded.GetDocumentElement().GetChildElement("item")), nameDefault);
    EXPECT_EQ(reloaded.GetDocumentElement().GetChildElementText("a:leaf"), "t");

    // The markup of the document and of one element; the names in the tree
    // are the real ones again afterwards.
    miXMLDOMDocument fromMarkup;
    ASSERT_NO_THROW(fromMarkup.loadXML(doc.GetXml()));
    EXPECT_EQ(namespaceOf(fromMarkup.GetDocumentElement()), nameA);
    const std::string itemXml = doc.GetDocumentElement().GetChildElement("item").GetXml();
    EXPECT_TRUE(Contains(itemXml, "xmlns=\"urn:x&#9;y&#10;z\"")) << itemXml;
    EXPECT_EQ(namespaceOf(doc.GetDocumentElement()), nameA);
    EXPECT_EQ(namespaceOf(doc.GetDocumentElement().GetChildElement("item")), nameDefault);
}

TEST(XmlSaveTest, FailedSaveLeavesTheOldFileAndNoTemporary) {
    testsupport::ScratchMachine dir;
    miXMLDOMDocument doc;
    doc.loadXML("<r/>");

    const std::string missing = dir / "no/such/folder/x.xml";
    EXPECT_EQ(XmlFailure([&] { doc.save(missing); }),
              "Error: The system cannot find the file specified.");

    // The target is a folder: the rename fails after the temporary was written.
    ::mkdir((dir / "target.xml").c_str(), 0755);
    fstest::WriteFile(dir / "target.xml/keep", "old");
    EXPECT_TRUE(StartsWith(XmlFailure([&] { doc.save(dir / "target.xml"); }), "Error: "));
    EXPECT_EQ(fstest::ReadFile(dir / "target.xml/keep"), "old");
    EXPECT_EQ(FolderEntries(dir.Path()).size(), 1u);

    if (::geteuid() != 0) {  // root may write anywhere
        fstest::WriteFile(dir / "old.xml", "<old/>");
        ::chmod(dir.Path().c_str(), 0555);
        EXPECT_EQ(XmlFailure([&] { doc.save(dir / "old.xml"); }), "Error: Access is denied.");
        ::chmod(dir.Path().c_str(), 0755);
        EXPECT_EQ(fstest::ReadFile(dir / "old.xml"), "<old/>");
    }
}

TEST(XmlDocumentTest, CopiesShareOneDocument) {
    miXMLDOMDocument doc;
    miXMLDOMDocument copy = doc;
    copy.AppendChild(copy.CreateElement("shared"));
    EXPECT_EQ(doc.GetDocumentElement().GetTagName(), "shared");
    EXPECT_EQ(doc.GetNodeName(), "#document");
    EXPECT_TRUE(Contains(doc.GetXml(), "<shared/>"));
    EXPECT_TRUE(doc.GetAsync());
    doc.SetAsync(false);
    EXPECT_FALSE(copy.GetAsync());
}

TEST(XmlDocumentTest, DocumentHoldsOneRootElement) {
    miXMLDOMDocument doc;
    doc.AppendChild(doc.CreateElement("a"));
    EXPECT_EQ(XmlFailure([&] { doc.AppendChild(doc.CreateElement("b")); }),
              "Error: The parameter is incorrect.");
    EXPECT_EQ(XmlFailure([&] { doc.AppendChild(doc.CreateTextNode("t")); }),
              "Error: The parameter is incorrect.");
    // Removing the root makes room for another.
    doc.RemoveChild(doc.GetDocumentElement());
    EXPECT_TRUE(doc.GetDocumentElement().IsEmpty());
    doc.AppendChild(doc.CreateElement("b"));
    EXPECT_EQ(doc.GetDocumentElement().GetTagName(), "b");
}
