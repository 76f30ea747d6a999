// miXMLDOMElement and miXMLDOMNode: lookups, attributes and conversions, tree
// changes; ToBool and the number conversions; the exception's XML record.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "XmlTestUtil.h"
#include "xml/XMLUtil.h"
#include "xml/miXMLDOMDocument.h"
#include "base/mcExc.h"

namespace {

miXMLDOMDocument Parse(const std::string& text) {
    miXMLDOMDocument doc;
    doc.loadXML(text);
    return doc;
}

std::vector<std::string> Texts(const std::vector<miXMLDOMElement>& list) {
    std::vector<std::string> texts;
    for (const auto& e : list) texts.push_back(e.GetTextNodeText());
    return texts;
}

}  // namespace

TEST(XmlLookupTest, SubtreeLookupsFindGrandchildrenAndRejectAmbiguity) {
    miXMLDOMDocument doc = Parse("<r><x><a>deep</a></x><b/></r>");
    miXMLDOMElement root = doc.GetDocumentElement();
    EXPECT_EQ(root.GetChildElement("a").GetTextNodeText(), "deep");
    EXPECT_EQ(root.GetChildElementText("a"), "deep");
    miXMLDOMElement found;
    EXPECT_TRUE(root.FindChildElement("a", &found));
    EXPECT_EQ(found.GetTagName(), "a");
    EXPECT_TRUE(root.FindChildElement("b", nullptr));

    std::string function;
    EXPECT_EQ(XmlFailure([&] { root.GetChildElement("zz"); }, &function),
              "GetChildElement: requested child not found");
    EXPECT_EQ(function, "miXMLDOMElement::GetChildElement");
    EXPECT_FALSE(root.FindChildElement("zz", &found));

    doc = Parse("<r><a>1</a><x><a>2</a></x></r>");
    root = doc.GetDocumentElement();
    EXPECT_EQ(XmlFailure([&] { root.GetChildElement("a"); }), "GetChildElement: ambiguous child found");
    EXPECT_FALSE(root.FindChildElement("a", &found));
    std::string text = "unchanged";
    EXPECT_FALSE(root.FindChildElementText("a", &text));
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(Texts(root.GetElementsByTagName("a")), (std::vector<std::string>{"1", "2"}));
    // The element itself is not among its descendants.
    EXPECT_TRUE(root.GetElementsByTagName("r").empty());
    EXPECT_EQ(doc.GetElementsByTagName("r").size(), 1u);
}

TEST(XmlLookupTest, DirectChildLookupsIgnoreDeeperElements) {
    miXMLDOMDocument doc =
        Parse("<Config><x><ClientList>deep</ClientList></x><!--c--><ClientList>first</ClientList>"
              "<ClientList>second</ClientList></Config>");
    miXMLDOMElement root = doc.GetDocumentElement();
    miXMLDOMElement list;
    ASSERT_TRUE(root.FindDirectChild("ClientList", &list));
    EXPECT_EQ(list.GetTextNodeText(), "first");
    EXPECT_FALSE(root.FindDirectChild("clientlist", nullptr));  // exact names
    EXPECT_FALSE(root.FindDirectChild("*", nullptr));           // no wildcard here
    EXPECT_EQ(root.GetElementsByTagName("*").size(), 4u);       // but here
    std::vector<miXMLDOMElement> all;
    EXPECT_EQ(root.GetChildElementsByName("ClientList", &all), 2u);
    EXPECT_EQ(Texts(all), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(root.GetChildElementsByName("ClientList", nullptr), 2u);
    EXPECT_EQ(root.GetChildElementsByName("none", &all), 0u);
    EXPECT_EQ(all.size(), 2u);  // appended to, never cleared
}

TEST(XmlLookupTest, LookupByAttributeValue) {
    miXMLDOMDocument doc = Parse(
        "<r><c name=\"a\">1</c><g><c name=\"b\">2</c></g><c name=\"B\">3</c><c>4</c></r>");
    miXMLDOMElement root = doc.GetDocumentElement();
    EXPECT_EQ(root.GetChildElementByAttrVal("c", "name", "b").GetTextNodeText(), "2");
    std::string function;
    EXPECT_EQ(XmlFailure([&] { root.GetChildElementByAttrVal("c", "name", "z"); }, &function),
              "GetChildElementByAttrVal: no matching child found");
    EXPECT_EQ(function, "miXMLDOMElement::GetChildElementByAttrVal");
    doc = Parse("<r><c name=\"a\"/><c name=\"a\"/></r>");
    EXPECT_EQ(XmlFailure([&] { doc.GetDocumentElement().GetChildElementByAttrVal("c", "name", "a"); }),
              "GetChildElementByAttrVal: ambiguous matches found");
}

TEST(XmlLookupTest, PrefixedNamesMatchAsWritten) {
    miXMLDOMDocument doc = Parse("<r xmlns:p=\"urn:x\"><p:item p:k=\"v\">1</p:item><item>2</item></r>");
    miXMLDOMElement root = doc.GetDocumentElement();
    EXPECT_EQ(root.GetChildElement("p:item").GetTextNodeText(), "1");
    EXPECT_EQ(root.GetChildElement("item").GetTextNodeText(), "2");
    EXPECT_EQ(root.GetChildElement("p:item").GetAttributeText("p:k"), "v");
    EXPECT_EQ(root.GetChildElement("p:item").GetTagName(), "p:item");
}

TEST(XmlAttributeTest, TextAndPresence) {
    miXMLDOMDocument doc = Parse("<r a=\"true\" e=\"\" amp=\"x &amp; y\"/>");
    miXMLDOMElement r = doc.GetDocumentElement();
    std::string value;
    EXPECT_TRUE(r.FindAttributeText("a", &value));
    EXPECT_EQ(value, "true");
    EXPECT_TRUE(r.FindAttributeText("e", &value));
    EXPECT_EQ(value, "");
    EXPECT_TRUE(r.FindAttributeText("amp", nullptr));
    EXPECT_EQ(r.GetAttributeText("amp"), "x & y");
    EXPECT_FALSE(r.FindAttributeText("zz", &value));
    std::string function;
    EXPECT_EQ(XmlFailure([&] { r.GetAttributeText("zz"); }, &function),
              "GetAttributeText: attribute not found");
    EXPECT_EQ(function, "miXMLDOMElement::GetAttributeText");

    EXPECT_TRUE(r.HasAttributeText("a", "true"));
    EXPECT_FALSE(r.HasAttributeText("a", "True"));  // case-sensitive
    EXPECT_FALSE(r.HasAttributeText("zz", ""));

    r.SetAttributeText("a", "replaced");
    r.SetAttributeText("new", "<&>\"'");
    EXPECT_EQ(r.GetAttributeText("a"), "replaced");
    EXPECT_EQ(r.GetAttributeText("new"), "<&>\"'");
    EXPECT_TRUE(r.RemoveAttribute("a"));
    EXPECT_FALSE(r.RemoveAttribute("a"));
    EXPECT_FALSE(r.FindAttributeText("a", nullptr));
}

TEST(XmlAttributeTest, IntegerConversion) {
    miXMLDOMDocument doc = Parse(
        "<r n=\" 42 \" neg=\"-7\" bad=\"12abc\" big=\"99999999999\" empty=\"\" frac=\"2.5\"/>");
    miXMLDOMElement r = doc.GetDocumentElement();
    EXPECT_EQ(r.GetAttributeInt("n"), 42);
    EXPECT_EQ(r.GetAttributeInt("neg"), -7);
    EXPECT_EQ(r.GetAttributeInt("frac"), 2);
    std::string function;
    EXPECT_EQ(XmlFailure([&] { r.GetAttributeInt("bad"); }, &function),
              "XML Element: Attribute bad: Type mismatch.");
    EXPECT_EQ(function, "miXMLDOMElement::GetAttributeInt");
    EXPECT_EQ(XmlFailure([&] { r.GetAttributeInt("big"); }),
              "XML Element: Attribute big: Out of present range.");
    EXPECT_EQ(XmlFailure([&] { r.GetAttributeInt("empty"); }),
              "XML Element: Attribute empty: Type mismatch.");
    EXPECT_EQ(XmlFailure([&] { r.GetAttributeInt("zz"); }), "GetAttributeInt: attribute not found");
}

TEST(XmlAttributeTest, BooleanConversion) {
    miXMLDOMDocument doc = Parse(
        "<r a=\"YES\" b=\"On\" c=\"1\" d=\"Off\" e=\"0\" f=\"maybe\" g=\"FALSE\" h=\"-3\"/>");
    miXMLDOMElement r = doc.GetDocumentElement();
    auto get = [&](const char* name) {
        bool value = false;
        bool present = r.FindAttributeBool(name, &value);
        return present ? (value ? 1 : 0) : -1;
    };
    EXPECT_EQ(get("a"), 1);
    EXPECT_EQ(get("b"), 1);
    EXPECT_EQ(get("c"), 1);
    EXPECT_EQ(get("d"), 0);
    EXPECT_EQ(get("e"), 0);
    EXPECT_EQ(get("f"), -1);  // rejected, not propagated
    EXPECT_EQ(get("g"), 0);
    EXPECT_EQ(get("h"), 1);
    EXPECT_EQ(get("absent"), -1);
    EXPECT_TRUE(r.FindAttributeBool("a", nullptr));
}

TEST(XmlConversionTest, ToBool) {
    EXPECT_TRUE(ToBool("true"));
    EXPECT_TRUE(ToBool(std::string("TrUe")));
    EXPECT_TRUE(ToBool("oN"));
    EXPECT_FALSE(ToBool("No"));
    EXPECT_FALSE(ToBool(" 0 "));
    EXPECT_TRUE(ToBool("2"));
    EXPECT_TRUE(ToBool(5));
    EXPECT_FALSE(ToBool(0));
    std::string function;
    EXPECT_EQ(XmlFailure([] { ToBool(static_cast<const char*>(nullptr)); }, &function), "ToBool: null");
    EXPECT_EQ(function, "ToBool");
    EXPECT_EQ(XmlFailure([] { ToBool("maybe"); }), "Type mismatch.");
    EXPECT_EQ(XmlFailure([] { ToBool(""); }), "Type mismatch.");
    EXPECT_EQ(XmlFailure([] { ToBool("yes please"); }), "Type mismatch.");
}

TEST(XmlConversionTest, VariantIntegerRules) {
    struct Case {
        const char* text;
        HRESULT hr;
        std::int32_t value;
    };
    const Case cases[] = {
        {"0", S_OK, 0},           {"+15", S_OK, 15},          {"\t-15\n", S_OK, -15},
        {"1.5", S_OK, 2},         {"2.5", S_OK, 2},           {"-2.5", S_OK, -2},
        {"2.51", S_OK, 3},        {"0.4999", S_OK, 0},        {".5", S_OK, 0},
        {"7.", S_OK, 7},          {"1e3", S_OK, 1000},        {"15E-1", S_OK, 2},
        {"000000000000012", S_OK, 12},
        {"2147483647", S_OK, 2147483647},
        {"-2147483648", S_OK, static_cast<std::int32_t>(0x80000000u)},
        {"2147483648", DISP_E_OVERFLOW, 0},
        {"-2147483649", DISP_E_OVERFLOW, 0},
        {"1e10", DISP_E_OVERFLOW, 0},
        {"&HFF", S_OK, 255},      {"&hffffffff", S_OK, -1},   {"&O17", S_OK, 15},
        {"&H100000000", DISP_E_OVERFLOW, 0},
        {"&HG", DISP_E_TYPEMISMATCH, 0},
        {"", DISP_E_TYPEMISMATCH, 0},      {"   ", DISP_E_TYPEMISMATCH, 0},
        {".", DISP_E_TYPEMISMATCH, 0},     {"12abc", DISP_E_TYPEMISMATCH, 0},
        {"1 2", DISP_E_TYPEMISMATCH, 0},   {"1e", DISP_E_TYPEMISMATCH, 0},
        {"--1", DISP_E_TYPEMISMATCH, 0},   {"0x10", DISP_E_TYPEMISMATCH, 0},
    };
    for (const Case& c : cases) {
        std::int32_t value = 12345;
        EXPECT_EQ(mfXmlTextToInt32(c.text, &value), c.hr) << c.text;
        EXPECT_EQ(value, c.hr == S_OK ? c.value : 12345) << c.text;
    }
}

TEST(XmlNodeTest, TextAndLenientIntegers) {
    miXMLDOMDocument doc = Parse(
        "<r><a>12abc</a><b>abc</b><c>  7</c><d>-1</d><e>4294967296</e><f>x<i>y</i>z</f><g/></r>");
    miXMLDOMElement r = doc.GetDocumentElement();
    EXPECT_EQ(r.GetChildElementInt("a"), 12);
    EXPECT_EQ(r.GetChildElementInt("b"), 0);
    EXPECT_EQ(r.GetChildElementInt("c"), 7);
    EXPECT_EQ(r.GetChildElementInt("d"), -1);
    EXPECT_EQ(r.GetChildElementInt("e"), -1);  // saturates at 0xFFFFFFFF
    // Several text nodes in one element read as one text.
    EXPECT_EQ(r.GetChildElementText("f"), "xyz");
    EXPECT_EQ(r.GetChildElementText("g"), "");
    std::string text;
    EXPECT_TRUE(r.FindChildElementText("f", &text));
    EXPECT_EQ(text, "xyz");
}

TEST(XmlNodeTest, EmptyHandlesAndWrongKinds) {
    miXMLDOMElement empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(XmlFailure([&] { empty.GetTagName(); }), "Error: Invalid pointer");
    EXPECT_EQ(XmlFailure([&] { empty.GetChildElement("a"); }), "Error: Invalid pointer");
    std::string function;
    EXPECT_EQ(XmlFailure([&] { empty.GetTextNodeText(); }, &function), "Invalid pointer");
    EXPECT_EQ(function, "miXMLDOMNode::GetTextNodeText");
    EXPECT_EQ(XmlFailure([&] { empty.FindAttributeText("a", nullptr); }), "Invalid pointer");
    EXPECT_FALSE(empty.FindTextNodeText(nullptr));
    EXPECT_EQ(empty.GetTextNodeInt(), 0);

    miXMLDOMDocument doc;
    miXMLDOMElement notElement(doc.CreateTextNode("t"));
    EXPECT_EQ(XmlFailure([&] { notElement.GetTagName(); }), "Error: No such interface supported");
    EXPECT_EQ(notElement.GetNodeName(), "#text");
    EXPECT_EQ(notElement.GetTextNodeText(), "t");
}

TEST(XmlNodeTest, BuildMoveAndRemove) {
    miXMLDOMDocument doc;
    miXMLDOMElement root = doc.CreateElement("root");
    doc.AppendChild(root);
    miXMLDOMElement a = doc.CreateTextElement("a", "1");
    root.AppendChild(a);
    miXMLDOMNode t1 = doc.CreateTextNode("x");
    miXMLDOMNode t2 = doc.CreateTextNode("y");
    root.AppendChild(t1);
    root.AppendChild(t2);  // adjacent texts stay two nodes; both handles stay valid
    EXPECT_EQ(t2.GetTextNodeText(), "y");
    EXPECT_EQ(root.GetXml(), "<root><a>1</a>xy</root>");
    EXPECT_EQ(root.GetChildNodes().size(), 3u);

    // Moving: appending an attached node moves it.
    miXMLDOMElement b = doc.CreateElement("b");
    root.AppendChild(b);
    b.AppendChild(a);
    EXPECT_EQ(root.GetXml(), "<root>xy<b><a>1</a></b></root>");
    // No cycles: a node cannot go below itself.
    EXPECT_EQ(XmlFailure([&] { a.AppendChild(b); }), "Error: The parameter is incorrect.");
    EXPECT_EQ(XmlFailure([&] { b.AppendChild(b); }), "Error: The parameter is incorrect.");

    root.RemoveChild(b);
    EXPECT_EQ(root.GetXml(), "<root>xy</root>");
    EXPECT_EQ(XmlFailure([&] { root.RemoveChild(b); }), "Error: The parameter is incorrect.");
    EXPECT_EQ(b.GetXml(), "<b><a>1</a></b>");  // still usable after removal
    root.AppendChild(b);
    EXPECT_EQ(root.GetChildElement("a").GetTextNodeText(), "1");
    EXPECT_EQ(doc.GetChildNodes().size(), 1u);
}

TEST(XmlNodeTest, NodesMoveBetweenDocuments) {
    miXMLDOMDocument target;
    target.AppendChild(target.CreateElement("t"));
    {
        miXMLDOMDocument source = Parse("<s><moved k=\"v\">text</moved></s>");
        miXMLDOMElement moved = source.GetDocumentElement().GetChildElement("moved");
        target.GetDocumentElement().AppendChild(moved);
        miXMLDOMElement orphan = source.CreateTextElement("orphan", "o");
        target.GetDocumentElement().AppendChild(orphan);
    }  // the source document is gone; what moved lives on in the target
    EXPECT_EQ(target.GetDocumentElement().GetXml(),
              "<t><moved k=\"v\">text</moved><orphan>o</orphan></t>");
}

TEST(XmlNodeTest, InvalidNamesAndTextsAreRefused) {
    miXMLDOMDocument doc;
    const std::string invalid = "Error: The parameter is incorrect.";
    EXPECT_EQ(XmlFailure([&] { doc.CreateElement(""); }), invalid);
    EXPECT_EQ(XmlFailure([&] { doc.CreateElement("a b"); }), invalid);
    EXPECT_EQ(XmlFailure([&] { doc.CreateElement("1a"); }), invalid);
    EXPECT_EQ(XmlFailure([&] { doc.CreateTextNode("bell\x07"); }), invalid);
    EXPECT_EQ(XmlFailure([&] { doc.CreateTextNode(std::string("nul\0x", 5)); }), invalid);
    EXPECT_EQ(XmlFailure([&] { doc.CreateTextElement("a", "bad \xFF utf8"); }), invalid);
    miXMLDOMElement e = doc.CreateElement("e");
    EXPECT_EQ(XmlFailure([&] { e.SetAttributeText("x y", "v"); }), invalid);
    EXPECT_EQ(XmlFailure([&] { e.SetAttributeText("x", "\x01"); }), invalid);
    EXPECT_EQ(XmlFailure([&] { e.SetAttributeText("x", "\xC0\x80"); }), invalid);
    // Names follow the parser's rules: whatever it read can be written again.
    miXMLDOMDocument parsed = Parse("<r a\xEF\xBB\xBF=\"1\" \xC3\xA9t\xC3\xA9=\"2\"/>");
    miXMLDOMElement pr = parsed.GetDocumentElement();
    pr.SetAttributeText("a\xEF\xBB\xBF", "x");
    pr.SetAttributeText("\xC3\xA9t\xC3\xA9", "y");
    EXPECT_EQ(Parse(parsed.GetXml()).GetDocumentElement().GetAttributeText("a\xEF\xBB\xBF"), "x");
    EXPECT_EQ(XmlFailure([&] { doc.CreateElement("-a"); }), invalid);
    EXPECT_EQ(XmlFailure([&] { doc.CreateElement(std::string("a\0b", 3)); }), invalid);
    // Everything XML can carry is accepted and comes back unchanged.
    const std::string rich = "tab\tcr\rlf\n \xF0\x9F\x98\x80 \xEF\xBF\xBD";
    e.SetAttributeText("x", rich);
    doc.AppendChild(e);
    miXMLDOMDocument again = Parse(doc.GetXml());
    EXPECT_EQ(again.GetDocumentElement().GetAttributeText("x"), rich);
}

TEST(XmlExcRecordTest, SaveThenLoadRestoresEverythingButTheHresult) {
    mcExc original("mcComponentConfig::PrvLoadFile", "src/store/mcComponentConfig.cpp", 178,
                   "bad <config> & \"file\"", E_FAIL);
    miXMLDOMDocument doc;
    original.SaveToXml(doc);
    miXMLDOMElement root = doc.GetDocumentElement();
    EXPECT_EQ(root.GetTagName(), "zr_cli_exception");
    EXPECT_EQ(root.GetAttributeText("type"), "class mcExc");
    EXPECT_EQ(root.GetXml(),
              "<zr_cli_exception type=\"class mcExc\"><desc>bad &lt;config&gt; &amp; \"file\"</desc>"
              "<throw_loc><func>mcComponentConfig::PrvLoadFile</func>"
              "<file>src/store/mcComponentConfig.cpp</file><line>178</line></throw_loc>"
              "</zr_cli_exception>");

    miXMLDOMDocument reread = Parse(doc.GetXml());
    mcExc restored("f", "g", 1, "h", E_NOTIMPL);
    restored.LoadFromXml(reread, "fallback");
    EXPECT_EQ(restored.Function(), original.Function());
    EXPECT_EQ(restored.File(), original.File());
    EXPECT_EQ(restored.Line(), 178);
    EXPECT_EQ(restored.Description(), original.Description());
    EXPECT_EQ(restored.GetHResult(), E_NOTIMPL);  // untouched

    // A second record cannot join: the document already has its root.
    EXPECT_THROW(original.SaveToXml(doc), mcXmlExc);
}

TEST(XmlExcRecordTest, LoadFailuresRaiseTheFallback) {
    auto load = [](const std::string& text, mcExc& into) -> std::string {
        miXMLDOMDocument doc;
        if (!text.empty()) doc.loadXML(text);
        try {
            into.LoadFromXml(doc, "record unreadable");
        } catch (const mcExc& exc) {
            EXPECT_EQ(exc.Function(), "mcExc::LoadFromXml");
            EXPECT_EQ(exc.GetHResult(), 0);
            return exc.Description();
        }
        return "";
    };
    mcExc target("f", "g", 1, "h");
    EXPECT_EQ(load("<x><desc>a</desc><desc>b</desc><throw_loc/></x>", target), "record unreadable");
    EXPECT_EQ(load("", target), "record unreadable");  // no root at all
    // Fields read before the failure stay changed.
    EXPECT_EQ(load("<x><desc>new</desc><throw_loc><func>fn</func><file>fl</file>"
                   "<line>12abc</line></throw_loc></x>",
                   target),
              "record unreadable");
    EXPECT_EQ(target.Description(), "new");
    EXPECT_EQ(target.Function(), "fn");
    EXPECT_EQ(target.File(), "fl");
    EXPECT_EQ(target.Line(), 1);
}

TEST(XmlRecordLinesTest, EveryDocumentedFailureCarriesItsLine) {
    miXMLDOMDocument doc = Parse("<r n=\"12abc\"><a/><x><a/></x><c k=\"v\"/><c k=\"v\"/></r>");
    miXMLDOMElement r = doc.GetDocumentElement();
    miXMLDOMElement empty;
    miXMLDOMElement text(doc.CreateTextNode("t"));
    miXMLDOMDocument other;  // loads replace the tree: keep them off doc
    struct Case {
        std::function<void()> call;
        const char* function;
        int line;
    };
    const Case cases[] = {
        {[&] { other.load("/nonexistent/kettrin.xml"); }, "miXMLDOMDocument::load", 292},
        {[&] { other.loadXML("<?xml encoding=\"UTF-8\"<r/>"); }, "miXMLDOMDocument::loadXML", 366},
        {[&] { other.loadXML("<r>"); }, "miXMLDOMDocument::ThrowLoadXMLException", 543},
        {[&] { text.FindAttributeText("a", nullptr); }, "miXMLDOMElement::FindAttributeText", 324},
        {[&] { text.HasAttributeText("a", "b"); }, "miXMLDOMElement::HasAttributeText", 364},
        {[&] { r.GetAttributeInt("zz"); }, "miXMLDOMElement::GetAttributeInt", 695},
        {[&] { r.GetAttributeInt("n"); }, "miXMLDOMElement::GetAttributeInt", 704},
        {[&] { r.GetAttributeText("zz"); }, "miXMLDOMElement::GetAttributeText", 728},
        {[&] { r.GetChildElement("zz"); }, "miXMLDOMElement::GetChildElement", 760},
        {[&] { r.GetChildElement("a"); }, "miXMLDOMElement::GetChildElement", 764},
        {[&] { r.GetChildElementByAttrVal("c", "k", "v"); }, "miXMLDOMElement::GetChildElementByAttrVal", 831},
        {[&] { r.GetChildElementByAttrVal("c", "k", "w"); }, "miXMLDOMElement::GetChildElementByAttrVal", 848},
        {[&] { empty.GetTextNodeText(); }, "miXMLDOMNode::GetTextNodeText", 513},
        {[&] { ToBool(static_cast<const char*>(nullptr)); }, "ToBool", 125},
        {[&] { ToBool("maybe"); }, "ToBool", 156},
        {[&] { HRToExc(E_FAIL); }, "HRToExc", 95},
    };
    for (const Case& c : cases) {
        std::string function;
        int line = 0;
        EXPECT_NE(XmlFailure(c.call, &function, &line), "") << c.function;
        EXPECT_EQ(function, c.function);
        EXPECT_EQ(line, c.line) << c.function;
    }
    mcExc target("f", "g", 1, "h");
    miXMLDOMDocument none;
    try {
        target.LoadFromXml(none, "fallback");
        FAIL() << "LoadFromXml on an empty document returned";
    } catch (const mcExc& exc) {
        EXPECT_EQ(exc.Line(), 178);
    }
}
