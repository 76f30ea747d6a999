// Attribute limits checked before libxml2 builds the tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/mcXmlAttributeLimits.h"
#include "xml/mcXmlExc.h"
#include "xml/miXMLDOMDocument.h"

namespace {

// <e a0="0" a1="1" ... /> with n attributes, values quoted with q.
std::string Element(std::size_t n, char q = '"', const std::string& strSep = " ") {
    std::string s = "<e";
    for (std::size_t i = 0; i < n; ++i) s += strSep + "a" + std::to_string(i) + "=" + q + "v" + q;
    return s + "/>";
}

std::string Wrap(const std::string& strInner) { return "<root>" + strInner + "</root>"; }

TEST(XmlAttributeLimits, CountsWhatLibxml2WouldParseAndIgnoresTheRest) {
    const std::size_t kMax = mcXmlAttributeLimits::kMaxPerElement;
    std::string strMany;
    for (int i = 0; i < 40; ++i) strMany += Element(10);  // 400 in all, 10 per element
    struct Case {
        const char* pszWhat;
        std::string strText;
        std::size_t nMaxTotal;
        bool bAccepted;
    };
    const std::vector<Case> vecCases = {
        {"at the per-element bound", Wrap(Element(kMax)), 100000, true},
        {"one past the per-element bound", Wrap(Element(kMax + 1)), 100000, false},
        {"single quotes and newlines count too", Wrap(Element(kMax + 1, '\'', "\n ")), 100000, false},
        {"spaces around =", Wrap("<e" + std::string(" a = \"1\"") + Element(kMax).substr(2)), 100000, false},
        {"values holding > and =", Wrap("<e x=\"a>b=c\"" + Element(kMax).substr(2)), 100000, false},
        {"total at its bound", Wrap(strMany), 400, true},
        {"total one past its bound", Wrap(strMany + "<f z=\"1\"/>"), 400, false},
        {"comments, CDATA and PIs hold no attributes",
         Wrap("<!--" + Element(kMax + 1) + "--><![CDATA[" + Element(kMax + 1) + "]]><?pi " + Element(kMax + 1) +
              "?>"),
         10, true},
        {"text is not counted", Wrap("a=\"1\" b=\"2\" c=\"3\""), 1, true},
        {"internal DTD subset", "<!DOCTYPE root [<!ENTITY e \"x\">]><root>&e;</root>", 100000, false},
        {"DOCTYPE without internal subset", "<!DOCTYPE root SYSTEM \"r.dtd\"><root/>", 100000, true},
        {"UTF-16 text is refused, not left uncounted", std::string("\xFF\xFE<\0r\0/\0>\0", 10), 100000, false},
    };
    for (const Case& c : vecCases) {
        std::string strReason;
        int nLine = 0;
        EXPECT_EQ(mcXmlAttributeLimits(c.nMaxTotal).Check(c.strText, strReason, nLine), c.bAccepted) << c.pszWhat;
        if (!c.bAccepted) {
            EXPECT_FALSE(strReason.empty()) << c.pszWhat;
        }
        std::string strNone;
        EXPECT_TRUE(mcXmlAttributeLimits().Check(c.strText, strNone, nLine)) << "without limits: " << c.pszWhat;
    }
}

// A refused document is a parse error naming its line; the same text loads
// without limits, and a document within them loads whole.
TEST(XmlAttributeLimits, DocumentLoadRefusesBeforeParsing) {
    const std::string strText = "<root>\n<ok a=\"1\"/>\n" + Element(100000) + "</root>";
    miXMLDOMDocument limited;
    limited.SetAttributeLimits(mcXmlAttributeLimits::InstallData());
    try {
        limited.loadXML(strText);
        FAIL() << "loaded";
    } catch (const mcXmlExc& exc) {
        EXPECT_NE(exc.Description().find("attributes on one element"), std::string::npos) << exc.Description();
        EXPECT_NE(exc.Description().find("Line: 3"), std::string::npos) << exc.Description();
    }
    EXPECT_FALSE(limited.GetDocumentElement());

    limited.loadXML(Wrap(Element(3)));
    EXPECT_EQ(limited.GetElementsByTagName("e").at(0).GetAttributeText("a2"), "v");
}

}  // namespace
